#include "pointer/pointer_agent.hpp"

#include <memory>

#include "common/background_task.hpp"
#include "common/group.hpp"
#include "pointer/classify/accessibility_inference.hpp"
#include "pointer/classify/cursor_classifier.hpp"
#include "pointer/classify/known_cursors.hpp"
#include "pointer/classify/signature_thresholds.hpp"
#include "pointer/export/cursor_export.hpp"
#include "pointer/input/button_poll.hpp"
#include "pointer/input/button_tap.hpp"
#include "pointer/output_lines.hpp"
#include "pointer/state_reporter.hpp"
#include "pointer/stop_reader.hpp"

namespace pointer {

int runPointerAgent(const AgentOptions& options, platform::PointerPlatform& platform, common::LineSink& sink,
                    int commandFd) {
    const classify::SignatureThresholds thresholds;
    auto known = classify::computeKnownCursorSignatures(*platform.standardCursors, *platform.renderer);

    if (options.exportImages) {
        exporting::exportCursorImages(*platform.standardCursors, *platform.renderer, sink);
        return 0;
    }

    std::unique_ptr<input::ButtonPoller> poller;
    if (options.pollButtons) {
        poller = std::make_unique<input::ButtonPoller>(*platform.buttons, sink);
        poller->start();
    } else if (!input::installButtonTap(*platform.buttons, sink)) {
        sink.err(std::string(kTapUnavailableWarning));
    }

    classify::AccessibilityInference accessibility(*platform.accessibility, *platform.screenPointer);
    classify::CursorClassifier classifier(*platform.screenPointer, *platform.renderer, std::move(known), thresholds,
                                          accessibility);
    StateReporter reporter([&classifier] { return classifier.currentSystemCursorType(); }, sink);
    reporter.start();

    // The reader stays blocked in read() until input ends or "stop" arrives; it owns its share of
    // the semaphore, so it may finish after this function has returned.
    auto stopped = std::make_shared<common::Semaphore>();
    common::dispatchGlobal(common::QualityOfService::utility,
                           [commandFd, stopped] { readUntilStop(commandFd, [&stopped] { stopped->signal(); }); });
    stopped->wait();
    return 0;
}

}  // namespace pointer
