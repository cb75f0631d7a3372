#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/stream.h>

#include <memory>

// Owning handles for the libpulse objects. Each deleter first silences the object's callbacks, so
// that nothing can call back into an owner that is going away.
namespace recorder::linux_backend::pulse {

struct MainloopDeleter {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
using MainloopHandle = std::unique_ptr<pa_mainloop, MainloopDeleter>;

struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_set_state_callback(context, nullptr, nullptr);
        if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
using ContextHandle = std::unique_ptr<pa_context, ContextDeleter>;

struct StreamDeleter {
    void operator()(pa_stream* stream) const {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};
using StreamHandle = std::unique_ptr<pa_stream, StreamDeleter>;

struct OperationDeleter {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};
using OperationHandle = std::unique_ptr<pa_operation, OperationDeleter>;

}  // namespace recorder::linux_backend::pulse
