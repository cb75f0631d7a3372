#include "tests/pointer_e2e/virtual_pointer.hpp"

#include <chrono>
#include <stdexcept>

namespace pointertest {
namespace {

using namespace std::chrono_literals;
constexpr auto kReadyTimeout = 20s;

}  // namespace

VirtualPointer::VirtualPointer(testsupport::WaylandDesktop& desktop)
    : driver_(desktop.spawn({"python3", desktop.reachableCopy(VIRTUAL_POINTER_SCRIPT)})) {
    if (driver_->readStdoutLine(kReadyTimeout) != "READY") {
        throw std::runtime_error("the virtual pointer did not start: " + driver_->stderrSoFar());
    }
}

void VirtualPointer::moveTo(int x, int y) {
    driver_->writeStdin("move " + std::to_string(x) + " " + std::to_string(y) + "\n");
    if (driver_->readStdoutLine(kReadyTimeout) != "DONE") {
        throw std::runtime_error("the virtual pointer did not move: " + driver_->stderrSoFar());
    }
}

std::unique_ptr<testsupport::ChildProcess> showCursorZones(testsupport::WaylandDesktop& desktop,
                                                           const std::vector<std::string>& cursorNames) {
    std::vector<std::string> argv{"python3", desktop.reachableCopy(CURSOR_ZONES_SCRIPT)};
    argv.insert(argv.end(), cursorNames.begin(), cursorNames.end());
    auto window = desktop.spawn(argv);
    if (window->readStdoutLine(kReadyTimeout) != "READY") {
        throw std::runtime_error("the cursor zones did not come up: " + window->stderrSoFar() + desktop.logs());
    }
    return window;
}

}  // namespace pointertest
