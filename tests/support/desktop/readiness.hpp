#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// How often readiness is checked: often enough that a part ready in 0.1 s costs no more than that.
inline constexpr std::chrono::milliseconds readinessPollInterval{10};

// Calls `ready` every readinessPollInterval until it returns true (true) or `timeout` has passed (false).
template <typename Predicate>
bool pollUntil(Predicate&& ready, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(readinessPollInterval);
    }
}

}  // namespace testsupport
