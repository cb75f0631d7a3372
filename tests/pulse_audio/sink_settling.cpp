#include "tests/pulse_audio/sink_settling.hpp"

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>

namespace pulsetest {

namespace {

constexpr long long kSettledLatencyUs = 100'000;

// The largest latency any sink reports, in microseconds; -1 when unknown.
long long largestSinkLatencyUs(const testsupport::TestDesktop& desktop) {
    const auto listing = desktop.run("pactl list sinks");
    if (listing.status != 0) return -1;
    long long largest = -1;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find("Latency: ");
        if (at == std::string::npos) continue;
        largest = std::max(largest, std::stoll(line.substr(at + 9)));
    }
    return largest;
}

}  // namespace

bool waitUntilSinksSettle(const testsupport::TestDesktop& desktop, std::chrono::milliseconds timeout) {
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const long long latencyUs = largestSinkLatencyUs(desktop);
        if (latencyUs >= 0 && latencyUs < kSettledLatencyUs) return true;
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace pulsetest
