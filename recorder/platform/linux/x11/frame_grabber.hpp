#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/linux/x11/composite_underlay.hpp"
#include "recorder/platform/linux/x11/damage_tracker.hpp"
#include "recorder/platform/linux/x11/frame_history.hpp"
#include "recorder/platform/linux/x11/grab_target.hpp"
#include "recorder/platform/linux/x11/shm_image.hpp"
#include "recorder/platform/linux/x11/window_inspector.hpp"
#include "recorder/platform/linux/x11/x11_connection.hpp"
#include "recorder/platform/pixel_buffer.hpp"
#include "recorder/platform/sample_buffer.hpp"

namespace recorder::linux_backend::x11 {

struct FrameGrabberOptions {
    uint32_t pixelFormat = platform::kPixelFormat420v;
    common::MediaTime frameInterval = common::MediaTime::make(1, 60);
    int queueDepth = 6;
    // Show the windows beneath an excluded one (Composite) rather than only the neutral fill.
    bool showBeneathExcluded = true;
    // Make NV12 frames from what DAMAGE reports changed plus older frames (see FrameHistory), so
    // that the copying and converting scale with the changed area instead of the screen. Off in
    // the recorder for now: such frames reach it a few milliseconds sooner than whole grabs, and
    // at a stop the video then runs up to ~25 ms past the last sound delivered to a separate
    // system-audio file (sound comes in 10 ms periods, 7-10 ms late), more than one frame.
    bool framesFromChanges = false;
};

// Counts since the start, for tests and measurements.
struct FrameGrabberStatistics {
    uint64_t completeFrames = 0;
    uint64_t idleFrames = 0;
    uint64_t skippedFrames = 0;   // no free buffer: the consumer still holds queueDepth frames
    uint64_t failedGrabs = 0;
    uint64_t partialFrames = 0;  // complete frames made from the previous one plus what changed
    uint64_t exclusionRefreshes = 0;
    int64_t exclusionNanoseconds = 0;  // refreshing the excluded area and painting it
    int64_t grabNanoseconds = 0;       // the server's copy into shared memory
    int64_t conversionNanoseconds = 0;
};

// The capture thread of one stream: grabs its target rectangle with MIT-SHM at the frame rate,
// hides excluded windows, converts into a bounded pool and hands each frame to `sink`.
class FrameGrabber {
public:
    using FrameSink = std::function<void(std::shared_ptr<platform::SampleBuffer>)>;
    // Called once, from the capture thread, when the X connection breaks; the thread then ends.
    using LossHandler = std::function<void(const common::Error&)>;

    static common::Result<std::unique_ptr<FrameGrabber>> start(std::unique_ptr<X11Connection> connection,
                                                               GrabTarget target, FrameGrabberOptions options,
                                                               FrameSink sink, LossHandler lossHandler);
    ~FrameGrabber();
    FrameGrabber(const FrameGrabber&) = delete;
    FrameGrabber& operator=(const FrameGrabber&) = delete;

    // Every frame grabbed after this returns shows the new target.
    void retarget(GrabTarget target);
    // Ends the thread; no frame reaches the sink after this returns.
    void stop();
    FrameGrabberStatistics statistics() const;
    int screenWidth() const { return screenWidth_; }
    int screenHeight() const { return screenHeight_; }

private:
    FrameGrabber() = default;
    void run();
    // One tick: an idle frame, a complete one, or a skip. False when the connection is gone.
    // `started` is when this grab began; `tick` the frame's place on the frame-interval grid,
    // which becomes its presentation time.
    bool captureFrame(int64_t started, int64_t tick);
    void waitForNextTick(int64_t deadline);
    void applyPendingTarget();
    // Reads every queued event; false when the connection is gone.
    bool processEvents();
    void refreshExcludedArea();
    void hideExcludedArea(const std::vector<PixelRect>& area);
    std::shared_ptr<platform::SampleBuffer> makeIdleFrame(const common::MediaTime& time) const;
    std::shared_ptr<platform::SampleBuffer> convertFrame(std::shared_ptr<platform::PixelBuffer> buffer,
                                                         const common::MediaTime& time);
    // Grabs and converts only the pending changes into `buffer`, copying the rest from the latest
    // frame. When the grab fails the changes stay pending.
    ShmImage::GrabResult refreshFrame(const std::shared_ptr<platform::PixelBuffer>& buffer);
    std::shared_ptr<platform::SampleBuffer> completeFrame(std::shared_ptr<platform::PixelBuffer> buffer,
                                                          const common::MediaTime& time) const;

    // Owned by the capture thread once it runs.
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<ShmImage> image_;
    std::unique_ptr<DamageTracker> damage_;
    std::unique_ptr<WindowInspector> inspector_;
    std::unique_ptr<CompositeUnderlay> underlay_;  // only while windows are excluded
    std::shared_ptr<platform::PixelBufferPool> pool_;
    GrabTarget target_;
    FrameGrabberOptions options_;
    FrameSink sink_;
    LossHandler lossHandler_;
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    bool mustDeliverComplete_ = true;  // first frame, new target, or a change not yet delivered
    int64_t settledAt_ = 0;            // until then every frame is complete
    int64_t lastCompleteAt_ = 0;
    bool windowsChanged_ = true;
    int64_t lastExclusionRefresh_ = 0;
    std::vector<PixelRect> excludedArea_;
    // NV12 frames without excluded windows are made from what changed; see FrameHistory.
    FrameHistory history_;
    std::vector<PixelRect> pendingChanges_;  // capture coordinates, not yet in any delivered frame
    std::vector<size_t> blockOffsets_;

    // Shared with the threads that call retarget and stop; guarded by mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool running_ = true;
    std::optional<GrabTarget> pendingTarget_;
    uint64_t targetsRequested_ = 0;
    uint64_t targetsApplied_ = 0;
    FrameGrabberStatistics statistics_;

    std::thread thread_;
};

}  // namespace recorder::linux_backend::x11
