#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "common/error.hpp"
#include "recorder/platform/linux/pulse/pulse_handles.hpp"

namespace recorder::linux_backend::pulse {

using SteadyDeadline = std::chrono::steady_clock::time_point;

// The name this program gives itself on the sound server (shown by pactl and mixers).
inline constexpr const char* kClientName = "recorder-agent";

// Runs one pass of `loop`, waiting at most `timeout` for something to happen (negative: no limit).
// False when the loop has been told to quit.
bool iterateLoop(pa_mainloop* loop, std::chrono::microseconds timeout);

// The server's reason for the context's last failure, e.g. "Connection refused".
std::string lastErrorText(pa_context* context);

// Starts connecting `context` to the server named by the environment, never spawning one.
// False when the attempt fails at once.
bool beginConnect(pa_context* context);

// A connection used for one short question to the server, on the calling thread.
class BlockingConnection {
public:
    // Connects to the server in the environment; fails when none answers before `deadline`.
    static common::Result<BlockingConnection> open(SteadyDeadline deadline);

    // Runs the loop until `done()` holds; false when the deadline passes or the connection breaks first.
    bool runUntil(const std::function<bool()>& done, SteadyDeadline deadline);

    pa_context* context() const { return context_.get(); }

private:
    BlockingConnection() = default;

    // Declared first so that it outlives the context attached to it.
    MainloopHandle loop_;
    ContextHandle context_;
};

}  // namespace recorder::linux_backend::pulse
