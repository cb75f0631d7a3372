#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "recorder/platform/capture_service.hpp"
#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "recorder/platform/linux/x11/frame_grabber.hpp"

namespace recorder::linux_backend::x11 {

// A capture stream of one display: frames from a FrameGrabber on its own X connection, system
// audio and microphone from the sound server, each delivered on the queue its output was
// registered with.
class X11CaptureStream final : public platform::CaptureStream {
public:
    X11CaptureStream(const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration,
                     std::weak_ptr<platform::StreamDelegate> delegate);
    ~X11CaptureStream() override;

    common::Status addStreamOutput(std::weak_ptr<platform::StreamOutput> output, platform::StreamOutputType type,
                                   common::SerialQueue& sampleHandlerQueue) override;
    common::Status startCapture() override;
    common::Status updateContentFilter(const platform::ContentFilter& filter) override;
    common::Status stopCapture() override;

    // Frame counts and costs of the running (or last) capture; none before the first start.
    std::optional<FrameGrabberStatistics> frameStatistics() const;

private:
    struct Registration {
        std::weak_ptr<platform::StreamOutput> output;
        platform::StreamOutputType type;
        common::SerialQueue* queue;
    };

    bool hasOutput(platform::StreamOutputType type) const;
    void deliver(platform::StreamOutputType type, const std::shared_ptr<platform::SampleBuffer>& sample);
    common::Status startAudio(platform::StreamOutputType type);
    void reportLoss(const common::Error& error);
    void stopEverything();
    void stopLocked();  // with controlMutex_ held

    const platform::StreamConfiguration configuration_;
    const std::weak_ptr<platform::StreamDelegate> delegate_;

    // Serialises start, update and stop against each other.
    mutable std::mutex controlMutex_;
    platform::ContentFilter filter_;
    bool started_ = false;
    bool stopped_ = false;
    std::unique_ptr<FrameGrabber> grabber_;
    std::vector<std::unique_ptr<AudioSource>> audioSources_;

    // Read by the capture and audio threads for every sample.
    mutable std::mutex outputsMutex_;
    std::vector<Registration> registrations_;
    // Cleared by stopCapture before it flushes the queues: a delivery block that runs later
    // sees it and drops its sample, so nothing arrives after stopCapture returns.
    std::shared_ptr<std::atomic<bool>> delivering_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> lossReported_ = false;
};

}  // namespace recorder::linux_backend::x11
