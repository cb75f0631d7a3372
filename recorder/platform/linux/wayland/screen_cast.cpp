#include "recorder/platform/linux/wayland/screen_cast.hpp"

#include <chrono>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/portal/restore_token_file.hpp"
#include "recorder/platform/linux/portal/source_choice.hpp"

namespace recorder::linux_backend::wayland {
namespace {


// A desktop agrees on a format as soon as the stream links, whatever the screen shows.
constexpr std::chrono::milliseconds kFormatWait{10'000};
// A window source's size is the crop of its first picture when the portal does not say it.
constexpr std::chrono::milliseconds kFirstPictureWait{3'000};

}  // namespace

ScreenCast::ScreenCast(ScreenCastPlan plan, NoticeSink notice) : plan_(std::move(plan)), notice_(std::move(notice)) {}

ScreenCast::~ScreenCast() {
    detach();
    // The stream's and the session's threads end here, before the state their callbacks use.
    std::lock_guard setup(setupMutex_);
    stream_.reset();
    session_.reset();
}

common::Status ScreenCast::grant() {
    std::lock_guard setup(setupMutex_);
    if (grantAnswer_) return *grantAnswer_;
    if (plan_.excludesApplications) {
        notice_("Wayland: a screen cast cannot leave applications out; the excluded applications are recorded too");
    }
    portal::SessionOptions options;
    options.sourceType = plan_.sourceType;
    if (plan_.restoreTokenPath) options.restoreToken = portal::readRestoreToken(*plan_.restoreTokenPath);
    auto session = portal::ScreenCastSession::start(options, [this] {
        onEnded(common::Error{kErrorDomain, 1, "the desktop closed the screen-cast session"});
    });
    if (!session) {
        grantAnswer_ = session.error();
        return *grantAnswer_;
    }
    session_ = std::move(session).value();
    windowSource_ = session_->granted().askedSourceType == portal::kSourceWindow;
    for (const std::string& line : session_->granted().notices) notice_(line);
    const auto& token = session_->granted().restoreToken;
    if (plan_.restoreTokenPath && token && options.restoreToken != token) {
        if (auto error = portal::writeRestoreToken(*plan_.restoreTokenPath, *token)) {
            notice_("Wayland: " + error->message + "; the desktop will ask again next time");
        }
    }
    grantAnswer_.emplace();  // granted: an answer without an error
    return std::nullopt;
}

common::Result<std::pair<int, int>> ScreenCast::open() {
    if (auto refused = grant()) return *refused;
    std::lock_guard setup(setupMutex_);
    if (size_) return *size_;
    if (!live_) return common::Error{kErrorDomain, 1, "the desktop closed the screen-cast session"};
    if (!stream_) {
        auto fd = session_->openPipeWireRemote();
        if (!fd) return fd.error();
        auto stream = pipewire::PipeWireStream::connect(
            fd.value(), session_->granted().nodeId, [this](const pipewire::ArrivedFrame& frame) { feed_.arrive(frame, common::hostTimeNow().nanoseconds()); },
            [this](const common::Error& error) { onEnded(error); });
        if (!stream) return stream.error();
        stream_ = std::move(stream).value();
    }
    auto format = stream_->waitForFormat(kFormatWait);
    if (!format) return format.error();
    size_ = sourceSize(format.value());
    return *size_;
}

std::pair<int, int> ScreenCast::sourceSize(const pipewire::NegotiatedFormat& format) {
    const std::pair<int, int> whole{format.width, format.height};
    if (!endsLikeAWindow()) return whole;
    // A window may come in a buffer the size of its monitor, cut out by crop metadata.
    if (const auto& announced = session_->granted().size) return *announced;
    return feed_.firstPictureSize(kFirstPictureWait).value_or(whole);
}

common::Status ScreenCast::attach(const FrameTarget& target, FrameFeed::Sink sink, LossHandler lost) {
    if (auto opened = open(); !opened) return opened.error();
    std::lock_guard lock(endMutex_);
    if (endError_) return *endError_;
    if (auto refused = feed_.attach(target, std::move(sink))) return refused;
    attached_ = true;
    lost_ = std::move(lost);
    return std::nullopt;
}

void ScreenCast::detach() {
    {
        std::lock_guard lock(endMutex_);
        attached_ = false;
        lost_ = nullptr;
    }
    feed_.detach();
}

void ScreenCast::onEnded(const common::Error& error) {
    live_ = false;
    feed_.end();
    LossHandler lost;
    {
        std::lock_guard lock(endMutex_);
        if (endError_) return;
        endError_ = error;
        // A window that closed is the engine's to notice, as a window that is no longer listed.
        if (attached_ && !endsLikeAWindow()) lost = lost_;
    }
    if (lost) lost(error);
}

}  // namespace recorder::linux_backend::wayland
