#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "recorder/platform/capture_service.hpp"
#include "recorder/platform/linux/pulse/audio_source.hpp"

namespace recorder::linux_backend {

// Streams deliver '420v' or 'BGRA'; anything else is refused with `errorDomain`.
common::Status checkDeliverablePixelFormat(uint32_t pixelFormat, const std::string& errorDomain);

// What every Linux capture stream shares, whatever produces its frames: the registered outputs
// and their queues, system audio and microphone from the sound server, the one-time loss report,
// and the guarantee that nothing is delivered after stopCapture returns. A backend supplies the
// video side through the three hooks.
class LinuxCaptureStream : public platform::CaptureStream {
public:
    // The stream's own errors (misuse of the interface) carry the backend's `errorDomain`.
    LinuxCaptureStream(const platform::StreamConfiguration& configuration,
                       std::weak_ptr<platform::StreamDelegate> delegate, std::string errorDomain);
    ~LinuxCaptureStream() override;

    common::Status addStreamOutput(std::weak_ptr<platform::StreamOutput> output, platform::StreamOutputType type,
                                   common::SerialQueue& sampleHandlerQueue) final;
    common::Status startCapture() final;
    common::Status updateContentFilter(const platform::ContentFilter& filter) final;
    common::Status stopCapture() final;

protected:
    // Starts the frames when a screen output is registered; called with the control lock held.
    virtual common::Status startVideo() = 0;
    virtual common::Status retargetVideo(const platform::ContentFilter& filter) = 0;
    // No frame reaches `deliver` after this returns; must be idempotent.
    virtual void stopVideo() = 0;

    // Every subclass calls this first in its destructor, while its video side still exists.
    void stopEverything();
    // Hands a sample to every output of its type, each on its own queue.
    void deliver(platform::StreamOutputType type, const std::shared_ptr<platform::SampleBuffer>& sample);
    // The configured frame interval, or 1/60 s when it sets none.
    common::MediaTime frameInterval() const;
    // Tells the delegate once, however many times the stream breaks.
    void reportLoss(const common::Error& error);

    const platform::StreamConfiguration configuration_;

private:
    struct Registration {
        std::weak_ptr<platform::StreamOutput> output;
        platform::StreamOutputType type;
        common::SerialQueue* queue;
    };

    bool hasOutput(platform::StreamOutputType type) const;
    common::Status startAudio(platform::StreamOutputType type);
    void stopLocked();  // with controlMutex_ held

    const std::weak_ptr<platform::StreamDelegate> delegate_;
    const std::string errorDomain_;

    // Serialises start, update and stop against each other.
    std::mutex controlMutex_;
    bool started_ = false;
    bool stopped_ = false;
    std::vector<std::unique_ptr<AudioSource>> audioSources_;

    // Read by the capture and audio threads for every sample.
    mutable std::mutex outputsMutex_;
    std::vector<Registration> registrations_;
    // Cleared by stopCapture before it flushes the queues: a delivery block that runs later
    // sees it and drops its sample, so nothing arrives after stopCapture returns.
    std::shared_ptr<std::atomic<bool>> delivering_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> lossReported_ = false;
};

}  // namespace recorder::linux_backend
