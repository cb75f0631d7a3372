#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/group.hpp"
#include "common/output_lines.hpp"
#include "common/repeating_timer.hpp"

namespace pointer {

// Prints a "STATE:" line whenever the cursor type differs from the last one printed.
class StateReporter {
public:
    using CursorTypeQuery = std::function<std::string()>;
    StateReporter(CursorTypeQuery query, common::LineSink& sink) : query_(std::move(query)), sink_(sink) {}

    // One tick. Only ever called from one thread at a time, so `lastState_` needs no lock.
    void emitStateIfNeeded();

    // Ticks at once and then every 50 ms on a utility thread until destroyed. Returns after the
    // first tick, so the first state line is out before anything else can end the process.
    void start();

private:
    CursorTypeQuery query_;
    common::LineSink& sink_;
    std::string lastState_;  // empty at start, so the first tick always prints
    std::atomic<bool> ticked_{false};
    common::Semaphore firstTick_;
    std::unique_ptr<common::RepeatingTimer> timer_;
};

}  // namespace pointer
