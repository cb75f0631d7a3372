#include "recorder/platform/linux/x11/frame_grabber.hpp"

#include <chrono>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"
#include "recorder/platform/linux/pixels/nv12_block.hpp"
#include "recorder/platform/linux/x11/damage_region.hpp"
#include "recorder/platform/linux/pixels/still_picture.hpp"
#include "recorder/platform/linux/x11/exclusion_area.hpp"
#include "recorder/platform/linux/x11/frame_pixels.hpp"

namespace recorder::linux_backend::x11 {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the host clock of every sample

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Structure events of the root's children say that some window appeared, moved or vanished.
// The excluded area is then read afresh before the next frame is painted. Without events, it is
// still re-read this often, for a process id that a program sets after mapping its window.
constexpr int64_t kExclusionRefreshNanoseconds = 250'000'000;

// Blocks grabbed per frame at most: each is a request to the server, pipelined, and a call of
// the converter; a few well-chosen blocks cover what a desktop usually redraws.
constexpr size_t kMostBlocks = 8;

Nv12Image nv12ImageOf(const platform::PixelBuffer& buffer) {
    const auto& luma = buffer.plane(0);
    const auto& chroma = buffer.plane(1);
    return Nv12Image{luma.data, luma.stride, chroma.data, chroma.stride, buffer.width(), buffer.height()};
}

Nv12Block blockOf(const PixelRect& rect) { return Nv12Block{rect.x, rect.y, rect.width, rect.height}; }

bool isWindowStructureEvent(uint8_t type) {
    switch (type) {
        case XCB_MAP_NOTIFY:
        case XCB_UNMAP_NOTIFY:
        case XCB_CONFIGURE_NOTIFY:
        case XCB_REPARENT_NOTIFY:
        case XCB_DESTROY_NOTIFY:
        case XCB_GRAVITY_NOTIFY:
        case XCB_CIRCULATE_NOTIFY:
        case XCB_PROPERTY_NOTIFY:
            return true;
        default:
            return false;
    }
}

uint32_t bufferFormatFor(uint32_t pixelFormat) {
    return pixelFormat == platform::kPixelFormat420v ? platform::kPixelFormat420v : platform::kPixelFormatBGRA;
}

}  // namespace

common::Result<std::unique_ptr<FrameGrabber>> FrameGrabber::start(std::unique_ptr<X11Connection> connection,
                                                                  GrabTarget target, FrameGrabberOptions options,
                                                                  FrameSink sink, LossHandler lossHandler) {
    if (auto layout = checkPixelLayout(*connection)) return *layout;
    std::unique_ptr<FrameGrabber> grabber(new FrameGrabber());
    grabber->screenWidth_ = connection->screenWidth();
    grabber->screenHeight_ = connection->screenHeight();
    // Large enough for any monitor of the screen, so a change of display never reallocates.
    auto image = ShmImage::create(*connection, static_cast<size_t>(grabber->screenWidth_) * grabber->screenHeight_ * 4);
    if (!image) return image.error();
    auto damage = DamageTracker::create(*connection);
    if (!damage) return damage.error();

    const uint32_t rootEvents = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection->get(), connection->root(), XCB_CW_EVENT_MASK, &rootEvents);
    xcb_flush(connection->get());

    grabber->inspector_ = std::make_unique<WindowInspector>(*connection);
    grabber->connection_ = std::move(connection);
    grabber->image_ = std::move(image).value();
    grabber->damage_ = std::move(damage).value();
    grabber->options_ = options;
    if (grabber->options_.queueDepth < 1) grabber->options_.queueDepth = 1;
    grabber->sink_ = std::move(sink);
    grabber->lossHandler_ = std::move(lossHandler);
    grabber->target_ = std::move(target);
    grabber->pool_ = platform::PixelBufferPool::make(bufferFormatFor(options.pixelFormat), grabber->target_.rect.width,
                                                     grabber->target_.rect.height,
                                                     static_cast<size_t>(grabber->options_.queueDepth));
    grabber->thread_ = std::thread([raw = grabber.get()] { raw->run(); });
    return grabber;
}

FrameGrabber::~FrameGrabber() { stop(); }

void FrameGrabber::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void FrameGrabber::retarget(GrabTarget target) {
    std::unique_lock lock(mutex_);
    if (!running_ || stopping_) {
        return;
    }
    pendingTarget_ = std::move(target);
    const uint64_t request = ++targetsRequested_;
    wake_.notify_all();
    wake_.wait(lock, [&] { return targetsApplied_ >= request || !running_; });
}

FrameGrabberStatistics FrameGrabber::statistics() const {
    std::lock_guard lock(mutex_);
    return statistics_;
}

void FrameGrabber::waitForNextTick(int64_t deadline) {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (pendingTarget_) {
            GrabTarget next = std::move(*pendingTarget_);
            pendingTarget_.reset();
            const uint64_t request = targetsRequested_;
            lock.unlock();
            if (next.rect.width != target_.rect.width || next.rect.height != target_.rect.height) {
                // Frames of the old size still held downstream keep their own memory alive.
                pool_ = platform::PixelBufferPool::make(bufferFormatFor(options_.pixelFormat), next.rect.width,
                                                        next.rect.height, static_cast<size_t>(options_.queueDepth));
            }
            target_ = std::move(next);
            history_.reset();
            pendingChanges_.clear();
            mustDeliverComplete_ = true;
            settledAt_ = nowNanoseconds() + kStillSettlingNanoseconds;
            windowsChanged_ = true;
            lock.lock();
            targetsApplied_ = request;
            wake_.notify_all();
            continue;
        }
        if (nowNanoseconds() >= deadline) return;
        wake_.wait_until(lock, Clock::time_point(std::chrono::nanoseconds(deadline)));
    }
}

bool FrameGrabber::processEvents() {
    xcb_connection_t* c = connection_->get();
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
        XcbReply<xcb_generic_event_t> event(raw);
        if (damage_->handleEvent(*event)) continue;
        // What lies beneath an excluded window became known: the screen itself need not have changed.
        if (underlay_ && underlay_->handleEvent(*event)) {
            mustDeliverComplete_ = true;
            continue;
        }
        if (isWindowStructureEvent(event->response_type & 0x7f)) windowsChanged_ = true;
    }
    return !connection_->isBroken();
}

void FrameGrabber::refreshExcludedArea() {
    windowsChanged_ = false;
    lastExclusionRefresh_ = nowNanoseconds();
    if (target_.excludedPids.empty()) {
        excludedArea_.clear();
        underlay_.reset();  // gives the windows back to the server's own drawing
        return;
    }
    xcb_connection_t* c = connection_->get();
    // Held from the redirection until every window's repaints are followed: a program that drew
    // in between would leave its window grey where an excluded one covered it, until it draws again.
    const bool redirecting = !underlay_ && options_.showBeneathExcluded && connection_->extensions().compositePixmaps;
    if (redirecting) {
        xcb_grab_server(c);
        underlay_ = CompositeUnderlay::create(*connection_);
    }
    const std::vector<TopLevelFacts> topLevels = inspector_->topLevels();
    excludedArea_ = excludedArea(topLevels, target_.excludedPids);
    if (underlay_) underlay_->refresh(topLevels, target_.excludedPids);
    if (redirecting) {
        xcb_ungrab_server(c);
        xcb_flush(c);
    }
    std::lock_guard lock(mutex_);
    ++statistics_.exclusionRefreshes;
}

void FrameGrabber::hideExcludedArea(const std::vector<PixelRect>& area) {
    const PixelRect& rect = target_.rect;
    // A broken connection shows up at the next event poll; the fill below is never skipped.
    if (underlay_ && underlay_->paint(image_->pixels(), rect, area)) return;
    for (const PixelRect& piece : area) {
        fillRect(image_->pixels(), rect.width * 4, rect.width, rect.height,
                 PixelRect{piece.x - rect.x, piece.y - rect.y, piece.width, piece.height}, kNeutralFillPixel);
    }
}

std::shared_ptr<platform::SampleBuffer> FrameGrabber::makeIdleFrame(const common::MediaTime& time) const {
    platform::SampleAttachments attachments{
        {{platform::kFrameInfoStatusKey, static_cast<int64_t>(platform::FrameStatus::idle)}}};
    return platform::SampleBuffer::makeVideo(nullptr, {options_.frameInterval, time, common::MediaTime::invalid()},
                                             std::move(attachments));
}

std::shared_ptr<platform::SampleBuffer> FrameGrabber::convertFrame(std::shared_ptr<platform::PixelBuffer> buffer,
                                                                   const common::MediaTime& time) {
    const PixelRect& rect = target_.rect;
    const uint8_t* pixels = image_->pixels();
    const platform::PixelBuffer::Plane& first = buffer->plane(0);
    if (buffer->pixelFormat() == platform::kPixelFormat420v) {
        const platform::PixelBuffer::Plane& chroma = buffer->plane(1);
        convertBGRAToNV12BT709(pixels, rect.width * 4, rect.width, rect.height, first.data, first.stride,
                               chroma.data, chroma.stride);
    } else {
        copyBGRXToOpaqueBGRA(pixels, rect.width * 4, first.data, first.stride, rect.width, rect.height);
    }
    return completeFrame(std::move(buffer), time);
}

std::shared_ptr<platform::SampleBuffer> FrameGrabber::completeFrame(std::shared_ptr<platform::PixelBuffer> buffer,
                                                                    const common::MediaTime& time) const {
    platform::SampleAttachments attachments{
        {{platform::kFrameInfoStatusKey, static_cast<int64_t>(platform::FrameStatus::complete)}}};
    return platform::SampleBuffer::makeVideo(std::move(buffer),
                                             {options_.frameInterval, time, common::MediaTime::invalid()},
                                             std::move(attachments));
}

ShmImage::GrabResult FrameGrabber::refreshFrame(const std::shared_ptr<platform::PixelBuffer>& buffer) {
    const PixelRect whole = wholeCapture(target_.rect);
    // Without pending changes this frame is the still picture's refresh. It is grabbed whole, as
    // it would be without DAMAGE: drawing the server did not report (none is known to go unreported)
    // would otherwise stay out of the recording until that area changes again.
    const std::vector<PixelRect> blocks = history_.latest() && !pendingChanges_.empty()
                                              ? blocksToRefresh(pendingChanges_, whole, kMostBlocks)
                                              : std::vector<PixelRect>{whole};
    const int64_t grabStarted = nowNanoseconds();
    const ShmImage::GrabResult grab = image_->grabBlocks(target_.rect, blocks, blockOffsets_);
    const int64_t grabEnded = nowNanoseconds();
    if (grab != ShmImage::GrabResult::grabbed) return grab;

    const Nv12Image to = nv12ImageOf(*buffer);
    const bool partial = blocks.size() != 1 || blocks.front() != whole;
    if (partial) {
        // What changed since this buffer last held a picture, taken from the latest frame.
        const Nv12Image from = nv12ImageOf(*history_.latest());
        const auto stale = history_.staleParts(*buffer);
        if (!stale) copyNV12Block(from, to, blockOf(whole));
        for (const PixelRect& part : stale.value_or(std::vector<PixelRect>{})) copyNV12Block(from, to, blockOf(part));
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        convertBGRAToNV12BT709Block(image_->pixels() + blockOffsets_[i], blocks[i].width * 4, blockOf(blocks[i]), to);
    }
    history_.delivered(buffer, blocks);
    pendingChanges_.clear();
    const int64_t conversionEnded = nowNanoseconds();
    std::lock_guard lock(mutex_);
    if (partial) ++statistics_.partialFrames;
    statistics_.grabNanoseconds += grabEnded - grabStarted;
    statistics_.conversionNanoseconds += conversionEnded - grabEnded;
    return grab;
}

void FrameGrabber::run() {
    const int64_t interval = options_.frameInterval.nanoseconds();
    int64_t deadline = nowNanoseconds();
    settledAt_ = deadline + kStillSettlingNanoseconds;
    bool lost = false;
    while (true) {
        waitForNextTick(deadline);
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        const int64_t started = nowNanoseconds();
        // Frames are stamped with the tick they belong to, not the moment the grab happened to
        // start: a late grab followed by an on-time one would otherwise be a few milliseconds
        // apart, far closer than the frame interval, and players then misjudge the frame rate.
        const int64_t tick =
            interval > 0 && started > deadline ? deadline + (started - deadline) / interval * interval : deadline;
        deadline = nextFrameDeadline(deadline, started, interval);
        if (!captureFrame(started, tick)) {
            lost = true;
            break;
        }
    }
    if (lost) lossHandler_(connection_->lostError());
    std::lock_guard lock(mutex_);
    running_ = false;
    wake_.notify_all();
}

bool FrameGrabber::captureFrame(int64_t started, int64_t tick) {
    if (!processEvents()) return false;
    const bool excluding = !target_.excludedPids.empty() || !excludedArea_.empty();
    int64_t exclusionCost = 0;
    if (excluding && (windowsChanged_ || started - lastExclusionRefresh_ >= kExclusionRefreshNanoseconds)) {
        refreshExcludedArea();
        exclusionCost += nowNanoseconds() - started;
    }
    // Frames with excluded windows are grabbed whole: the hidden area is painted over the whole picture.
    const bool fromChanges =
        options_.framesFromChanges && options_.pixelFormat == platform::kPixelFormat420v && !excluding;
    if (fromChanges) {
        const auto damaged = damage_->takeDamage();
        const auto changed = damaged ? blocksToRefresh(*damaged, target_.rect, kMostBlocks)
                                     : std::vector<PixelRect>{wholeCapture(target_.rect)};
        if (!changed.empty()) {
            mustDeliverComplete_ = true;
            pendingChanges_.insert(pendingChanges_.end(), changed.begin(), changed.end());
            // Changes held over skipped frames stay few: merged, they cover at least as much.
            if (pendingChanges_.size() > kMostBlocks) {
                pendingChanges_ = blocksToRefresh(pendingChanges_, wholeCapture(target_.rect), kMostBlocks);
            }
        }
    } else {
        history_.reset();
        pendingChanges_.clear();
        if (damage_->takeChangesWithin(target_.rect)) mustDeliverComplete_ = true;
    }
    if (connection_->isBroken()) return false;
    // While settling every frame is complete, even on a still screen.
    if (stillPictureDue(started, lastCompleteAt_, settledAt_, 0)) mustDeliverComplete_ = true;

    const common::MediaTime time = common::hostTimeFromNanoseconds(tick);
    if (!mustDeliverComplete_) {
        sink_(makeIdleFrame(time));
        std::lock_guard lock(mutex_);
        ++statistics_.idleFrames;
        return true;
    }
    auto buffer = pool_->createPixelBuffer();
    if (!buffer && history_.latest()) {
        // The latest frame, kept to copy from, may be the pool's last free buffer (a consumer
        // holding all the others, or a pool of one): it is given up, and the next frame is whole.
        history_.reset();
        buffer = pool_->createPixelBuffer();
    }
    if (!buffer) {
        // The consumer holds every frame in flight: this one is skipped, and the change it
        // carried is delivered with the next frame that finds a buffer.
        std::lock_guard lock(mutex_);
        ++statistics_.skippedFrames;
        return true;
    }
    if (fromChanges) {
        const ShmImage::GrabResult refreshed = refreshFrame(buffer.value());
        if (refreshed == ShmImage::GrabResult::connectionLost) return false;
        if (refreshed == ShmImage::GrabResult::failed) {
            // The changes stay pending for the next frame.
            std::lock_guard lock(mutex_);
            ++statistics_.failedGrabs;
            return true;
        }
        sink_(completeFrame(std::move(buffer).value(), time));
        mustDeliverComplete_ = false;
        lastCompleteAt_ = started;
        std::lock_guard lock(mutex_);
        ++statistics_.completeFrames;
        return true;
    }
    const int64_t grabStarted = nowNanoseconds();
    const ShmImage::GrabResult grab = image_->grab(target_.rect);
    const int64_t grabEnded = nowNanoseconds();
    if (grab == ShmImage::GrabResult::connectionLost) return false;
    if (grab == ShmImage::GrabResult::failed) {
        std::lock_guard lock(mutex_);
        ++statistics_.failedGrabs;
        return true;
    }
    if (excluding) {
        // A window that appeared or moved while the server copied the picture: its events came
        // before the reply. The picture may show it at either place, so both are hidden.
        if (!processEvents()) return false;
        if (windowsChanged_) {
            hideExcludedArea(excludedArea_);
            refreshExcludedArea();
        }
        hideExcludedArea(excludedArea_);
        exclusionCost += nowNanoseconds() - grabEnded;
    }
    const int64_t conversionStarted = nowNanoseconds();
    auto frame = convertFrame(std::move(buffer).value(), time);
    const int64_t conversionEnded = nowNanoseconds();
    sink_(std::move(frame));
    mustDeliverComplete_ = false;
    lastCompleteAt_ = started;
    std::lock_guard lock(mutex_);
    ++statistics_.completeFrames;
    statistics_.grabNanoseconds += grabEnded - grabStarted;
    statistics_.conversionNanoseconds += conversionEnded - conversionStarted;
    statistics_.exclusionNanoseconds += exclusionCost;
    return true;
}

}  // namespace recorder::linux_backend::x11
