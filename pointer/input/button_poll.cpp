#include "pointer/input/button_poll.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

#include "pointer/output_lines.hpp"

namespace pointer::input {
namespace {

// Short enough that a click line follows the click without a delay a person would notice.
constexpr std::chrono::milliseconds kPollInterval{10};

}  // namespace

std::vector<std::string> pollLinesForButton(CounterPair before, CounterPair now, int64_t button) {
    // Unsigned subtraction is modulo 2^32: a counter that wrapped still gives the small increment.
    const uint32_t downs = now.down - before.down;
    const uint32_t ups = now.up - before.up;
    const uint32_t reports = std::min(std::max(downs, ups), kMaxReportsPerTick);
    std::vector<std::string> lines;
    for (uint32_t k = 0; k < reports; ++k) {
        if (k < downs) lines.push_back(interactionLine(InteractionKind::mouseDown, button));
        if (k < ups) lines.push_back(interactionLine(InteractionKind::mouseUp, button));
    }
    return lines;
}

ButtonPoller::ButtonPoller(platform::ButtonEventSource& source, common::LineSink& sink)
    : source_(source), sink_(sink) {
    for (size_t i = 0; i < kPollDescriptors.size(); ++i) counters_[i] = read(kPollDescriptors[i]);
}

CounterPair ButtonPoller::read(const PollDescriptor& descriptor) const {
    return {source_.counterForEventType(descriptor.downType), source_.counterForEventType(descriptor.upType)};
}

void ButtonPoller::poll() {
    for (size_t i = 0; i < kPollDescriptors.size(); ++i) {
        const auto now = read(kPollDescriptors[i]);
        const auto before = std::exchange(counters_[i], now);
        // Every line goes out whole and flushed, so no separate flush per button is needed.
        for (const auto& line : pollLinesForButton(before, now, kPollDescriptors[i].button)) sink_.out(line);
    }
}

void ButtonPoller::start() {
    timer_ = std::make_unique<common::RepeatingTimer>(kPollInterval, [this] { poll(); },
                                                      common::QualityOfService::userInteractive);
}

}  // namespace pointer::input
