#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <variant>

#include "recorder/platform/media_writer.hpp"
#include "recorder/platform/linux/ffmpeg/writer_core.hpp"

namespace recorder::linux_backend {

// One track's intake: a bounded queue between the caller (who must never block) and the
// writer's encoding thread. Nothing is encoded here.
class FfmpegWriterInput final : public platform::WriterInput {
public:
    using Settings = std::variant<platform::VideoSettings, platform::AudioSettings>;
    explicit FfmpegWriterInput(Settings settings);

    platform::MediaType mediaType() const override;
    // Every input here behaves as a real-time one: it never blocks and says when it is full.
    void setExpectsMediaDataInRealTime(bool) override {}
    bool isReadyForMoreMediaData() override;
    bool appendSampleBuffer(const std::shared_ptr<platform::SampleBuffer>& sample) override;
    void markAsFinished() override;

    const Settings& settings() const { return settings_; }
    // Called once by the writer that takes this input; false when another writer has it.
    bool attach(std::shared_ptr<WriterCore> core);
    bool isAttached();
    // Whether the writer that took this input is writing (and not finishing).
    bool isWriting();

    // For the encoding thread, with the core's lock held.
    bool hasQueuedLocked() const { return !queue_.empty(); }
    std::shared_ptr<platform::SampleBuffer> popLocked();
    void clearLocked();

private:
    std::shared_ptr<WriterCore> core();
    bool hasRoomLocked() const;

    const Settings settings_;
    std::mutex attachMutex_;
    std::shared_ptr<WriterCore> core_;
    // Guarded by core_->mutex.
    std::deque<std::shared_ptr<platform::SampleBuffer>> queue_;
    double queuedAudioSeconds_ = 0;
    bool finished_ = false;
};

}  // namespace recorder::linux_backend
