#pragma once

#include <pipewire/pipewire.h>

#include <memory>

namespace recorder::linux_backend::pipewire {

// Owners of the PipeWire objects a consumer stream is built from. Declared in the order a stream
// builds them (loop, context, core, registry, stream), they are released in reverse.
struct ThreadLoopRelease {
    void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextRelease {
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreRelease {
    void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct RegistryRelease {
    void operator()(pw_registry* registry) const { pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry)); }
};
struct StreamRelease {
    void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

using ThreadLoopHandle = std::unique_ptr<pw_thread_loop, ThreadLoopRelease>;
using ContextHandle = std::unique_ptr<pw_context, ContextRelease>;
using CoreHandle = std::unique_ptr<pw_core, CoreRelease>;
using RegistryHandle = std::unique_ptr<pw_registry, RegistryRelease>;
using StreamHandle = std::unique_ptr<pw_stream, StreamRelease>;

}  // namespace recorder::linux_backend::pipewire
