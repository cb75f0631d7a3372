#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/linux/pipewire/frame_clock.hpp"
#include "recorder/platform/linux/pipewire/pipewire_stream.hpp"
#include "recorder/platform/linux/pixels/frame_fitting.hpp"
#include "recorder/platform/pixel_buffer.hpp"
#include "recorder/platform/sample_buffer.hpp"

namespace recorder::linux_backend::wayland {

// The frames a capture stream wants: one size and format for the whole recording.
struct FrameTarget {
    uint32_t pixelFormat = platform::kPixelFormat420v;
    int width = 0;
    int height = 0;
    int queueDepth = 3;
    common::MediaTime frameInterval = common::MediaTime::make(1, 60);
};

// Turns the pictures a desktop sends into the frames of one capture stream. Desktops send a
// picture only when something changed, so the last one is held and shown again while the screen
// is still (often while the consumer settles, then four times a second): a recording then ends at
// its stop, not at the last change. Before a stream is attached the newest picture is kept, since
// a still desktop may never send another.
class FrameFeed {
public:
    using Sink = std::function<void(std::shared_ptr<platform::SampleBuffer>)>;

    FrameFeed() = default;
    ~FrameFeed();
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // A picture from the desktop that came in at `arrivalNs` (host clock); from the producer's thread.
    void arrive(const pipewire::ArrivedFrame& frame, int64_t arrivalNs);
    // The size of the first picture, waiting at most `timeout` for one; none when none came.
    std::optional<std::pair<int, int>> firstPictureSize(std::chrono::milliseconds timeout);
    // Frames go to `sink` from now until detach; a feed serves one stream in its life.
    common::Status attach(const FrameTarget& target, Sink sink);
    void detach();
    // No picture will come any more: nothing is repeated, no one waits for a first picture.
    void end();

private:
    void keepStillPicture();
    void deliverLocked(std::shared_ptr<platform::PixelBuffer> buffer, int64_t hostNs);

    std::mutex mutex_;
    std::condition_variable event_;
    bool attached_ = false;
    bool detached_ = false;
    bool ended_ = false;
    FrameTarget target_;
    Sink sink_;
    FrameFitter fitter_;
    pipewire::FrameClock clock_;
    std::shared_ptr<platform::PixelBufferPool> pool_;
    std::shared_ptr<platform::PixelBuffer> held_;
    bool heldIsLatest_ = false;  // held_ shows the desktop's newest picture, not an older one
    int64_t lastDeliveryNs_ = 0;
    int64_t attachedAtNs_ = 0;
    std::vector<uint8_t> early_;
    SourcePicture earlyPicture_;
    bool sawPicture_ = false;
    std::thread keeper_;
};

}  // namespace recorder::linux_backend::wayland
