#pragma once

#include <pipewire/pipewire.h>

#include <functional>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "recorder/platform/linux/pipewire/pipewire_handles.hpp"

namespace recorder::linux_backend::pipewire {

// What every consumer of a screen cast owns: a PipeWire loop thread of its own, the connection
// on the portal's descriptor, a watch on the registry (the stream itself merely waits for another
// node when the desktop's goes away) and one input stream. The owner's callbacks get `data` and
// run on the loop thread.
class ConsumerConnection {
public:
    struct Events {
        pw_stream_events stream{};  // the version is filled in here
        void (*nodeRemoved)(void* data, uint32_t id) = nullptr;
        void (*coreError)(void* data, uint32_t id, int seq, int res, const char* message) = nullptr;
    };

    // Starts the loop and connects on `fd`, which it takes in every case. Nothing calls back
    // until connectStream, so the owner can keep the result first.
    static common::Result<std::unique_ptr<ConsumerConnection>> open(int fd, const char* threadName,
                                                                    const std::string& errorDomain);
    ~ConsumerConnection() { close(); }
    ConsumerConnection(const ConsumerConnection&) = delete;
    ConsumerConnection& operator=(const ConsumerConnection&) = delete;

    // Creates the stream named `name` and connects it to `nodeId`, offering `format`.
    common::Status connectStream(uint32_t nodeId, const char* name, const Events& events, void* data,
                                 pw_stream_flags flags, const spa_pod* format);
    // Runs `whileLocked` with the loop locked (where the owner marks itself stopping), disconnects,
    // stops the loop thread and releases everything. No callback runs after it returns.
    void close(const std::function<void()>& whileLocked = {});

    pw_stream* stream() const { return stream_.get(); }

private:
    ConsumerConnection(std::string errorDomain) : errorDomain_(std::move(errorDomain)) {}

    std::string errorDomain_;
    // Declared in the order they are built; released in reverse by close().
    ThreadLoopHandle loop_;
    ContextHandle context_;
    CoreHandle core_;
    RegistryHandle registry_;
    StreamHandle stream_;
    Events events_;
    pw_core_events coreEvents_{};
    pw_registry_events registryEvents_{};
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook streamListener_{};
    bool listening_ = false;  // core and registry listeners added
};

}  // namespace recorder::linux_backend::pipewire
