#pragma once

#include <pipewire/pipewire.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "recorder/platform/linux/pipewire/consumer_connection.hpp"
#include "recorder/platform/linux/pipewire/video_format.hpp"
#include "recorder/platform/linux/pixels/frame_fitting.hpp"

namespace recorder::linux_backend::pipewire {

inline constexpr const char* kErrorDomain = "PipeWire";

// One picture as it arrived: the visible part of the buffer (the producer's crop applied) and
// the producer's time stamp. Valid only during the handler call.
struct ArrivedFrame {
    SourcePicture picture;
    std::optional<int64_t> presentationNs;  // CLOCK_MONOTONIC nanoseconds
    // The rows that differ from the frame before, when the producer says so and that frame was
    // handed over too; none means the whole picture may have changed.
    std::optional<RowBand> changedRows;
};

struct NegotiatedFormat {
    int width = 0;
    int height = 0;
    ChannelOrder order = ChannelOrder::bgr;
};

// A video consumer of one node on a PipeWire connection of its own (the fd the portal gave), with
// its own loop thread. Handlers run on that thread, one at a time, and never after stop returns.
class PipeWireStream {
public:
    using FrameHandler = std::function<void(const ArrivedFrame&)>;
    // Once, when the stream ends by itself: the producer went away or PipeWire broke.
    using EndHandler = std::function<void(const common::Error&)>;

    // Takes `fd` in every case.
    static common::Result<std::unique_ptr<PipeWireStream>> connect(int fd, uint32_t nodeId, FrameHandler frames,
                                                                   EndHandler ended);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // The first negotiated format, waiting at most `timeout` for it; an error if the stream ended
    // or nothing was agreed in time.
    common::Result<NegotiatedFormat> waitForFormat(std::chrono::milliseconds timeout);
    void stop();

private:
    PipeWireStream() = default;
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
    static void onParamChanged(void* data, uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
    static void onGlobalRemoved(void* data, uint32_t id);
    void end(const std::string& message);
    void requestMetadata();

    std::unique_ptr<ConsumerConnection> connection_;
    uint32_t nodeId_ = 0;

    FrameHandler frames_;
    EndHandler ended_;
    // Touched only on the loop thread (or with the loop locked).
    bool stopping_ = false;
    bool endReported_ = false;
    bool wasStreaming_ = false;
    bool lastFrameSkipped_ = true;  // a picture went unread: the next one's damage is incomplete

    std::mutex formatMutex_;
    std::condition_variable formatChanged_;
    std::optional<NegotiatedFormat> format_;
    std::optional<std::string> endMessage_;
};

}  // namespace recorder::linux_backend::pipewire
