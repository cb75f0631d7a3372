#include "recorder/platform/linux/pipewire/consumer_connection.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace recorder::linux_backend::pipewire {

common::Result<std::unique_ptr<ConsumerConnection>> ConsumerConnection::open(int fd, const char* threadName,
                                                                             const std::string& errorDomain) {
    pw_init(nullptr, nullptr);
    std::unique_ptr<ConsumerConnection> connection(new ConsumerConnection(errorDomain));
    const auto failBeforeConnecting = [&](const char* message) -> common::Error {
        ::close(fd);
        return common::Error{errorDomain, 1, message};
    };
    connection->loop_.reset(pw_thread_loop_new(threadName, nullptr));
    if (!connection->loop_) return failBeforeConnecting("cannot create the PipeWire loop");
    connection->context_.reset(pw_context_new(pw_thread_loop_get_loop(connection->loop_.get()), nullptr, 0));
    if (!connection->context_) return failBeforeConnecting("cannot create the PipeWire context");
    if (pw_thread_loop_start(connection->loop_.get()) < 0) return failBeforeConnecting("cannot start the PipeWire loop");

    pw_thread_loop_lock(connection->loop_.get());
    connection->core_.reset(pw_context_connect_fd(connection->context_.get(), fd, nullptr, 0));
    const int connectError = errno;
    pw_thread_loop_unlock(connection->loop_.get());
    if (!connection->core_) {
        return common::Error{errorDomain, 2, std::string("cannot connect to PipeWire: ") + std::strerror(connectError)};
    }
    return connection;
}

common::Status ConsumerConnection::connectStream(uint32_t nodeId, const char* name, const Events& events, void* data,
                                                 pw_stream_flags flags, const spa_pod* format) {
    pw_thread_loop_lock(loop_.get());
    const auto fail = [this](const std::string& message) -> common::Error {
        pw_thread_loop_unlock(loop_.get());
        return common::Error{errorDomain_, 2, message};
    };
    events_ = events;
    events_.stream.version = PW_VERSION_STREAM_EVENTS;
    coreEvents_.version = PW_VERSION_CORE_EVENTS;
    coreEvents_.error = events_.coreError;
    pw_core_add_listener(core_.get(), &coreListener_, &coreEvents_, data);
    registry_.reset(pw_core_get_registry(core_.get(), PW_VERSION_REGISTRY, 0));
    listening_ = true;
    if (!registry_) return fail(std::string("cannot watch the PipeWire nodes: ") + std::strerror(errno));
    registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents_.global_remove = events_.nodeRemoved;
    pw_registry_add_listener(registry_.get(), &registryListener_, &registryEvents_, data);

    stream_.reset(pw_stream_new(core_.get(), name,
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                  PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
    if (!stream_) return fail(std::string("cannot create a PipeWire stream: ") + std::strerror(errno));
    pw_stream_add_listener(stream_.get(), &streamListener_, &events_.stream, data);
    const spa_pod* params[] = {format};
    const int connected = pw_stream_connect(stream_.get(), PW_DIRECTION_INPUT, nodeId, flags, params, 1);
    if (connected < 0) return fail(std::string("cannot connect the PipeWire stream: ") + std::strerror(-connected));
    pw_thread_loop_unlock(loop_.get());
    return std::nullopt;
}

void ConsumerConnection::close(const std::function<void()>& whileLocked) {
    if (!loop_) return;
    pw_thread_loop_lock(loop_.get());
    if (whileLocked) whileLocked();
    if (stream_) pw_stream_disconnect(stream_.get());
    pw_thread_loop_unlock(loop_.get());
    pw_thread_loop_stop(loop_.get());
    if (stream_) spa_hook_remove(&streamListener_);
    stream_.reset();
    if (registry_) spa_hook_remove(&registryListener_);
    registry_.reset();
    if (listening_) spa_hook_remove(&coreListener_);
    core_.reset();
    context_.reset();
    loop_.reset();
}

}  // namespace recorder::linux_backend::pipewire
