#include "recorder/platform/linux/pulse/pulse_connection.hpp"

#include <pulse/error.h>

#include <algorithm>

namespace recorder::linux_backend::pulse {

namespace {

constexpr int64_t kNoTimeout = -1;

}  // namespace

bool iterateLoop(pa_mainloop* loop, std::chrono::microseconds timeout) {
    const int timeoutUs = timeout.count() < 0
                              ? static_cast<int>(kNoTimeout)
                              : static_cast<int>(std::min<int64_t>(timeout.count(), 1'000'000'000));
    if (pa_mainloop_prepare(loop, timeoutUs) < 0) return false;
    if (pa_mainloop_poll(loop) < 0) return false;
    return pa_mainloop_dispatch(loop) >= 0;
}

std::string lastErrorText(pa_context* context) { return pa_strerror(pa_context_errno(context)); }

bool beginConnect(pa_context* context) {
    return pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

common::Result<BlockingConnection> BlockingConnection::open(SteadyDeadline deadline) {
    BlockingConnection connection;
    connection.loop_.reset(pa_mainloop_new());
    if (!connection.loop_) return common::Error{"PulseAudio", 1, "cannot create a sound server event loop"};
    connection.context_.reset(pa_context_new(pa_mainloop_get_api(connection.loop_.get()), kClientName));
    if (!connection.context_) return common::Error{"PulseAudio", 1, "cannot create a sound server connection"};
    pa_context* context = connection.context_.get();
    if (!beginConnect(context)) {
        return common::Error{"PulseAudio", pa_context_errno(context),
                             "no sound server answers (" + lastErrorText(context) + ")"};
    }
    const bool ready =
        connection.runUntil([context] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, deadline);
    if (!ready) {
        const bool failed = !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
        return common::Error{"PulseAudio", pa_context_errno(context),
                             failed ? "no sound server answers (" + lastErrorText(context) + ")"
                                    : std::string("no sound server answers in time")};
    }
    return connection;
}

bool BlockingConnection::runUntil(const std::function<bool()>& done, SteadyDeadline deadline) {
    while (!done()) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()))) return false;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!iterateLoop(loop_.get(), left)) return false;
    }
    return true;
}

}  // namespace recorder::linux_backend::pulse
