#include "pointer/state_reporter.hpp"

#include <chrono>

#include "pointer/output_lines.hpp"

namespace pointer {
namespace {

// Fast enough that a cursor change reaches the parent within a frame or three of a recording.
constexpr std::chrono::milliseconds kStateInterval{50};

}  // namespace

void StateReporter::emitStateIfNeeded() {
    auto state = query_();
    if (state == lastState_) return;
    lastState_ = std::move(state);
    sink_.out(stateLine(lastState_));
}

void StateReporter::start() {
    timer_ = std::make_unique<common::RepeatingTimer>(kStateInterval, [this] {
        emitStateIfNeeded();
        if (!ticked_.exchange(true)) firstTick_.signal();
    },
                                                      common::QualityOfService::utility);
    firstTick_.wait();
}

}  // namespace pointer
