#include "recorder/platform/linux/wayland/frame_feed.hpp"

#include <cstring>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/wayland/wayland_request.hpp"
#include "recorder/platform/linux/pixels/still_picture.hpp"

namespace recorder::linux_backend::wayland {
namespace {

int64_t nowNanoseconds() { return common::hostTimeNow().nanoseconds(); }

std::shared_ptr<platform::SampleBuffer> completeFrame(std::shared_ptr<platform::PixelBuffer> buffer,
                                                      const common::MediaTime& duration, int64_t hostNs) {
    platform::SampleAttachments attachments{
        {{platform::kFrameInfoStatusKey, static_cast<int64_t>(platform::FrameStatus::complete)}}};
    return platform::SampleBuffer::makeVideo(
        std::move(buffer), {duration, common::hostTimeFromNanoseconds(hostNs), common::MediaTime::invalid()},
        std::move(attachments));
}

}  // namespace

FrameFeed::~FrameFeed() { detach(); }

std::optional<std::pair<int, int>> FrameFeed::firstPictureSize(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    event_.wait_for(lock, timeout, [this] { return sawPicture_ || ended_; });
    if (!sawPicture_) return std::nullopt;
    return std::make_pair(earlyPicture_.width, earlyPicture_.height);
}

common::Status FrameFeed::attach(const FrameTarget& target, Sink sink) {
    std::lock_guard lock(mutex_);
    if (attached_ || detached_) return common::Error{kErrorDomain, 2, "the screen cast already fed a capture stream"};
    if (target.width < 1 || target.height < 1) {
        return common::Error{kErrorDomain, 3, "the capture stream has no frame size"};
    }
    target_ = target;
    if (target_.queueDepth < 1) target_.queueDepth = 1;
    sink_ = std::move(sink);
    const uint32_t format =
        target_.pixelFormat == platform::kPixelFormat420v ? platform::kPixelFormat420v : platform::kPixelFormatBGRA;
    // As deep as the consumer asks within the byte budget (two frames at 3840x2160), and one
    // buffer more: the picture kept for a still screen.
    const size_t frameBytes = platform::PixelBuffer::byteCount(format, target_.width, target_.height);
    const size_t inFlight = platform::framesInFlight(static_cast<size_t>(target_.queueDepth), frameBytes);
    pool_ = platform::PixelBufferPool::make(format, target_.width, target_.height, inFlight + 1);
    attached_ = true;
    attachedAtNs_ = nowNanoseconds();
    lastDeliveryNs_ = attachedAtNs_;
    if (sawPicture_) {
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

void FrameFeed::detach() {
    std::thread keeper;
    {
        std::lock_guard lock(mutex_);
        if (!attached_) return;
        attached_ = false;
        detached_ = true;
        sink_ = nullptr;
        held_.reset();
        keeper = std::move(keeper_);
    }
    event_.notify_all();
    if (keeper.joinable()) keeper.join();
}

void FrameFeed::end() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    event_.notify_all();
}

void FrameFeed::deliverLocked(std::shared_ptr<platform::PixelBuffer> buffer, int64_t hostNs) {
    held_ = buffer;
    lastDeliveryNs_ = nowNanoseconds();
    if (sink_) sink_(completeFrame(std::move(buffer), target_.frameInterval, hostNs));
}

void FrameFeed::arrive(const pipewire::ArrivedFrame& frame, int64_t arrivalNs) {
    std::unique_lock lock(mutex_);
    if (detached_ || ended_) return;
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
        const bool first = !sawPicture_;
        sawPicture_ = true;
        lock.unlock();
        if (first) event_.notify_all();
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
    deliverLocked(std::move(buffer).value(), clock_.stamp(frame.presentationNs, arrivalNs));
}

void FrameFeed::keepStillPicture() {
    std::unique_lock lock(mutex_);
    const int64_t interval = target_.frameInterval.nanoseconds();
    const int64_t settledAt = attachedAtNs_ + kStillSettlingNanoseconds;
    while (attached_) {
        event_.wait_for(lock, std::chrono::nanoseconds(interval > 0 ? interval : 16'666'667));
        if (!attached_) break;
        const int64_t now = nowNanoseconds();
        // While settling, a picture is repeated only when the desktop has been quiet for two frames,
        // so a moving screen's own frames are never interleaved with repeats.
        if (held_ && !ended_ && stillPictureDue(now, lastDeliveryNs_, settledAt, 2 * interval)) {
            deliverLocked(held_, clock_.stampRepeat(now));
        }
    }
}

}  // namespace recorder::linux_backend::wayland
