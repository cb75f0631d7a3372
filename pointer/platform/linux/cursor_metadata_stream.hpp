#pragma once

#include <pipewire/pipewire.h>

#include <functional>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "recorder/platform/linux/pipewire/consumer_connection.hpp"
#include "pointer/platform/linux/cursor_metadata.hpp"

namespace pointer::platform::linux_wayland {

// A consumer of a screen cast that reads only its cursor metadata: the pictures are never mapped
// or read, and the fewest frames the producer allows are asked for. Its own loop thread calls the
// handlers, one at a time, never after destruction.
class CursorMetadataStream {
public:
    using ReportHandler = std::function<void(const CursorReport&)>;
    using EndHandler = std::function<void(const std::string&)>;  // once, when the stream ends by itself

    // Takes `fd` (a PipeWire connection from the portal) in every case.
    static common::Result<std::unique_ptr<CursorMetadataStream>> connect(int fd, uint32_t nodeId,
                                                                         ReportHandler reports, EndHandler ended);
    ~CursorMetadataStream();
    CursorMetadataStream(const CursorMetadataStream&) = delete;
    CursorMetadataStream& operator=(const CursorMetadataStream&) = delete;

private:
    CursorMetadataStream() = default;
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
    static void onParamChanged(void* data, uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    static void onGlobalRemoved(void* data, uint32_t id);
    void end(const std::string& message);

    std::unique_ptr<recorder::linux_backend::pipewire::ConsumerConnection> connection_;
    uint32_t nodeId_ = 0;

    ReportHandler reports_;
    EndHandler ended_;
    bool stopping_ = false;  // touched with the loop locked or on its thread
    bool endReported_ = false;
};

}  // namespace pointer::platform::linux_wayland
