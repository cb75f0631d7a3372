#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/error.hpp"
#include "recorder/platform/linux/pipewire/pipewire_stream.hpp"
#include "recorder/platform/linux/portal/screencast_session.hpp"
#include "recorder/platform/linux/wayland/frame_feed.hpp"
#include "recorder/platform/linux/wayland/wayland_request.hpp"

namespace recorder::linux_backend::wayland {

// The desktop's screen cast for this process: the portal session (its consent is the permission
// to record), the PipeWire stream it grants, and the feed of its pictures to whichever capture
// stream is attached.
class ScreenCast {
public:
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
    common::Status attach(const FrameTarget& target, FrameFeed::Sink sink, LossHandler lost);
    void detach();

private:
    void onEnded(const common::Error& error);
    std::pair<int, int> sourceSize(const pipewire::NegotiatedFormat& format);

    const ScreenCastPlan plan_;
    const NoticeSink notice_;

    std::mutex setupMutex_;  // grant and open
    std::optional<common::Status> grantAnswer_;
    std::unique_ptr<portal::ScreenCastSession> session_;
    std::unique_ptr<pipewire::PipeWireStream> stream_;
    std::optional<std::pair<int, int>> size_;
    std::atomic<bool> live_ = true;
    std::atomic<bool> windowSource_ = false;

    FrameFeed feed_;
    std::mutex endMutex_;
    bool attached_ = false;
    LossHandler lost_;
    std::optional<common::Error> endError_;
};

}  // namespace recorder::linux_backend::wayland
