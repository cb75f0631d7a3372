#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/linux/pipewire/frame_clock.hpp"
#include "recorder/platform/linux/pipewire/pipewire_stream.hpp"
#include "recorder/platform/linux/pixels/frame_fitting.hpp"
#include "recorder/platform/linux/portal/screencast_session.hpp"
#include "recorder/platform/linux/portal/source_choice.hpp"
#include "recorder/platform/linux/wayland/wayland_request.hpp"
#include "recorder/platform/pixel_buffer.hpp"
#include "recorder/platform/sample_buffer.hpp"

namespace recorder::linux_backend::wayland {

inline constexpr const char* kErrorDomain = "WaylandCapture";

// The frames a stream wants: one size and format for the whole recording.
struct FrameTarget {
    uint32_t pixelFormat = platform::kPixelFormat420v;
    int width = 0;
    int height = 0;
    int queueDepth = 3;
    common::MediaTime frameInterval = common::MediaTime::make(1, 60);
};

// The desktop's screen cast for this process: the portal session (its consent is the permission
// to record), the PipeWire stream it grants, and the frames from that stream for whichever capture
// stream is attached. Desktops send a frame only when the picture changed, so the last picture is
// held and shown again while the screen is still; a recording then ends at its stop, not at the
// last change.
class ScreenCast {
public:
    using FrameSink = std::function<void(std::shared_ptr<platform::SampleBuffer>)>;
    using LossHandler = std::function<void(const common::Error&)>;

    ScreenCast(ScreenCastPlan plan, NoticeSink notice);
    ~ScreenCast();
    ScreenCast(const ScreenCast&) = delete;
    ScreenCast& operator=(const ScreenCast&) = delete;

    // Asks the desktop once (its dialog, or the kept restore token); later calls repeat the answer.
    common::Status grant();
    // The granted source as a PipeWire stream: its picture size.
    common::Result<std::pair<int, int>> open();
    // False once the desktop ended the session or the stream.
    bool live() const { return live_.load(); }
    // Whether the end of the source means a window went away rather than a failure: the desktop
    // was asked for a window (not a screen in its place).
    bool endsLikeAWindow() const { return windowSource_.load(); }

    // Frames go to `sink` from now until detach; `lost` hears once of an end that is not a window's.
    common::Status attach(const FrameTarget& target, FrameSink sink, LossHandler lost);
    void detach();

private:
    void onFrame(const pipewire::ArrivedFrame& frame);
    void onEnded(const common::Error& error);
    void deliverLocked(std::shared_ptr<platform::PixelBuffer> buffer, int64_t hostNs);
    void keepStillPicture();
    common::Result<std::pair<int, int>> sourceSize(const pipewire::NegotiatedFormat& format);

    const ScreenCastPlan plan_;
    const NoticeSink notice_;

    std::mutex setupMutex_;  // grant and open
    std::optional<common::Status> grantAnswer_;
    std::unique_ptr<portal::ScreenCastSession> session_;
    std::unique_ptr<pipewire::PipeWireStream> stream_;
    std::optional<std::pair<int, int>> size_;
    std::atomic<bool> live_ = true;
    std::atomic<bool> windowSource_ = false;

    // Frame state, shared by the PipeWire thread, the keeper and attach/detach.
    std::mutex frameMutex_;
    std::condition_variable frameEvent_;
    bool attached_ = false;
    bool detached_ = false;  // a screen cast feeds one capture stream in its life
    bool keeperStopping_ = false;
    FrameTarget target_;
    FrameSink sink_;
    LossHandler lost_;
    FrameFitter fitter_;
    pipewire::FrameClock clock_;
    std::shared_ptr<platform::PixelBufferPool> pool_;
    std::shared_ptr<platform::PixelBuffer> held_;
    bool heldIsLatest_ = false;  // held_ shows the desktop's newest picture, not an older one
    int64_t lastDeliveryNs_ = 0;
    int64_t attachedAtNs_ = 0;
    // Before attach: a copy of the newest picture, since a still desktop may never send another.
    std::vector<uint8_t> early_;
    SourcePicture earlyPicture_;
    bool sawFrame_ = false;
    std::optional<common::Error> endError_;
    std::thread keeper_;
};

}  // namespace recorder::linux_backend::wayland
