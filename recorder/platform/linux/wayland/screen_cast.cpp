#include "recorder/platform/linux/wayland/screen_cast.hpp"

#include <chrono>
#include <cstring>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/pixels/still_picture.hpp"
#include "recorder/platform/linux/portal/restore_token_file.hpp"
#include "recorder/platform/linux/portal/source_choice.hpp"

namespace recorder::linux_backend::wayland {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the host clock

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// A desktop agrees on a format as soon as the stream links, whatever the screen shows.
constexpr std::chrono::milliseconds kFormatWait{10'000};
// A window source's size is the crop of its first picture when the portal does not say it.
constexpr std::chrono::milliseconds kFirstPictureWait{3'000};

std::shared_ptr<platform::SampleBuffer> completeFrame(std::shared_ptr<platform::PixelBuffer> buffer,
                                                      const common::MediaTime& duration, int64_t hostNs) {
    platform::SampleAttachments attachments{
        {{platform::kFrameInfoStatusKey, static_cast<int64_t>(platform::FrameStatus::complete)}}};
    return platform::SampleBuffer::makeVideo(
        std::move(buffer), {duration, common::hostTimeFromNanoseconds(hostNs), common::MediaTime::invalid()},
        std::move(attachments));
}

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
            fd.value(), session_->granted().nodeId, [this](const pipewire::ArrivedFrame& frame) { onFrame(frame); },
            [this](const common::Error& error) { onEnded(error); });
        if (!stream) return stream.error();
        stream_ = std::move(stream).value();
    }
    auto format = stream_->waitForFormat(kFormatWait);
    if (!format) return format.error();
    auto size = sourceSize(format.value());
    if (!size) return size.error();
    size_ = size.value();
    return *size_;
}

common::Result<std::pair<int, int>> ScreenCast::sourceSize(const pipewire::NegotiatedFormat& format) {
    const std::pair<int, int> whole{format.width, format.height};
    if (!endsLikeAWindow()) return whole;
    // A window may come in a buffer the size of its monitor, cut out by crop metadata.
    if (const auto& announced = session_->granted().size) return *announced;
    std::unique_lock lock(frameMutex_);
    frameEvent_.wait_for(lock, kFirstPictureWait, [this] { return sawFrame_ || endError_.has_value(); });
    if (sawFrame_) return std::make_pair(earlyPicture_.width, earlyPicture_.height);
    return whole;
}

common::Status ScreenCast::attach(const FrameTarget& target, FrameSink sink, LossHandler lost) {
    if (auto opened = open(); !opened) return opened.error();
    std::lock_guard lock(frameMutex_);
    if (attached_ || detached_) return common::Error{kErrorDomain, 2, "the screen cast already fed a capture stream"};
    if (endError_) return *endError_;
    if (target.width < 1 || target.height < 1) {
        return common::Error{kErrorDomain, 3, "the capture stream has no frame size"};
    }
    target_ = target;
    if (target_.queueDepth < 1) target_.queueDepth = 1;
    sink_ = std::move(sink);
    lost_ = std::move(lost);
    // One buffer more than the consumer may hold: the picture kept for a still screen.
    pool_ = platform::PixelBufferPool::make(
        target_.pixelFormat == platform::kPixelFormat420v ? platform::kPixelFormat420v : platform::kPixelFormatBGRA,
        target_.width, target_.height, static_cast<size_t>(target_.queueDepth) + 1);
    attached_ = true;
    keeperStopping_ = false;
    attachedAtNs_ = nowNanoseconds();
    lastDeliveryNs_ = attachedAtNs_;
    if (sawFrame_ && !early_.empty()) {
        // The desktop's newest picture came before the start; it may be the only one for a while.
        if (auto buffer = pool_->createPixelBuffer()) {
            fitter_.fit(earlyPicture_, *buffer.value());
            deliverLocked(std::move(buffer).value(), clock_.stampRepeat(attachedAtNs_));
        }
    }
    early_.clear();
    early_.shrink_to_fit();
    keeper_ = std::thread([this] { keepStillPicture(); });
    return std::nullopt;
}

void ScreenCast::detach() {
    std::thread keeper;
    {
        std::lock_guard lock(frameMutex_);
        if (!attached_) return;
        attached_ = false;
        detached_ = true;
        keeperStopping_ = true;
        sink_ = nullptr;
        lost_ = nullptr;
        held_.reset();
        keeper = std::move(keeper_);
    }
    frameEvent_.notify_all();
    if (keeper.joinable()) keeper.join();
}

void ScreenCast::deliverLocked(std::shared_ptr<platform::PixelBuffer> buffer, int64_t hostNs) {
    held_ = buffer;
    lastDeliveryNs_ = nowNanoseconds();
    if (sink_) sink_(completeFrame(std::move(buffer), target_.frameInterval, hostNs));
}

void ScreenCast::onFrame(const pipewire::ArrivedFrame& frame) {
    const int64_t arrival = nowNanoseconds();
    std::unique_lock lock(frameMutex_);
    if (detached_) return;
    if (!attached_) {
        const SourcePicture& picture = frame.picture;
        const size_t rowBytes = static_cast<size_t>(picture.width) * 4;
        early_.resize(rowBytes * static_cast<size_t>(picture.height));
        for (int row = 0; row < picture.height; ++row) {
            std::memcpy(early_.data() + rowBytes * static_cast<size_t>(row),
                        picture.pixels + static_cast<ptrdiff_t>(row) * picture.stride, rowBytes);
        }
        earlyPicture_ = SourcePicture{early_.data(), static_cast<int>(rowBytes), picture.width, picture.height,
                                      picture.order};
        const bool first = !sawFrame_;
        sawFrame_ = true;
        lock.unlock();
        if (first) frameEvent_.notify_all();
        return;
    }
    auto buffer = pool_->createPixelBuffer();
    if (!buffer) {
        // The consumer holds every buffer: this picture is skipped, the next one carries the change
        // (all of it: the held picture no longer is the one the next damage is relative to).
        heldIsLatest_ = false;
        return;
    }
    // Where the desktop says which rows changed, the rest is taken from the picture before.
    const bool band = frame.changedRows && heldIsLatest_ && held_ &&
                      fitter_.fitChangedRows(frame.picture, *held_, frame.changedRows->first,
                                             frame.changedRows->count, *buffer.value());
    if (!band) fitter_.fit(frame.picture, *buffer.value());
    heldIsLatest_ = true;
    deliverLocked(std::move(buffer).value(), clock_.stamp(frame.presentationNs, arrival));
}

void ScreenCast::onEnded(const common::Error& error) {
    live_ = false;
    LossHandler lost;
    {
        std::lock_guard lock(frameMutex_);
        if (endError_) return;
        endError_ = error;
        // A window that closed is the engine's to notice, as a window that is no longer listed.
        if (attached_ && !endsLikeAWindow()) lost = lost_;
    }
    frameEvent_.notify_all();
    if (lost) lost(error);
}

void ScreenCast::keepStillPicture() {
    std::unique_lock lock(frameMutex_);
    const int64_t interval = target_.frameInterval.nanoseconds();
    const int64_t settledAt = attachedAtNs_ + kStillSettlingNanoseconds;
    while (!keeperStopping_) {
        frameEvent_.wait_for(lock, std::chrono::nanoseconds(interval > 0 ? interval : 16'666'667));
        if (keeperStopping_) break;
        const int64_t now = nowNanoseconds();
        // While settling, a picture is repeated only when the desktop has been quiet for two frames,
        // so a moving screen's own frames are never interleaved with repeats.
        if (held_ && !endError_ && stillPictureDue(now, lastDeliveryNs_, settledAt, 2 * interval)) {
            deliverLocked(held_, clock_.stampRepeat(now));
        }
    }
}

}  // namespace recorder::linux_backend::wayland
