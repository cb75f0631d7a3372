#include "recorder/platform/linux/ffmpeg/writer_input.hpp"

namespace recorder::linux_backend {
namespace {

// Queue bounds. Video: three frames (50 ms at 60 fps) absorb a slow encode or a disk sync
// without holding many capture buffers, whose pool is small; a deeper queue would only make
// the capture run out of buffers instead. Audio: a few seconds, so that even an encoding thread
// starved for seconds on an overloaded machine (measured beside other busy processes: over a
// second) never costs audio, at about a megabyte and a half of memory.
constexpr size_t kMaxQueuedVideoFrames = 3;
constexpr double kMaxQueuedAudioSeconds = 4.0;

double audioSeconds(const platform::SampleBuffer& sample) {
    const auto& audio = sample.audioData();
    if (!audio || audio->sampleRate <= 0) return 0;
    return static_cast<double>(audio->frameCount()) / audio->sampleRate;
}

}  // namespace

FfmpegWriterInput::FfmpegWriterInput(Settings settings) : settings_(std::move(settings)) {}

platform::MediaType FfmpegWriterInput::mediaType() const {
    return std::holds_alternative<platform::VideoSettings>(settings_) ? platform::MediaType::video
                                                                     : platform::MediaType::audio;
}

bool FfmpegWriterInput::attach(std::shared_ptr<WriterCore> core) {
    std::lock_guard lock(attachMutex_);
    if (core_) return false;
    core_ = std::move(core);
    return true;
}

bool FfmpegWriterInput::isAttached() {
    std::lock_guard lock(attachMutex_);
    return core_ != nullptr;
}

bool FfmpegWriterInput::isWriting() {
    const auto shared = core();
    if (!shared) return false;
    std::lock_guard lock(shared->mutex);
    return shared->status == platform::WriterStatus::writing;
}

std::shared_ptr<WriterCore> FfmpegWriterInput::core() {
    std::lock_guard lock(attachMutex_);
    return core_;
}

bool FfmpegWriterInput::hasRoomLocked() const {
    if (mediaType() == platform::MediaType::video) return queue_.size() < kMaxQueuedVideoFrames;
    return queuedAudioSeconds_ < kMaxQueuedAudioSeconds;
}

bool FfmpegWriterInput::isReadyForMoreMediaData() {
    const auto shared = core();
    if (!shared) return false;
    std::lock_guard lock(shared->mutex);
    return shared->status == platform::WriterStatus::writing && !shared->finishing && !finished_ && hasRoomLocked();
}

bool FfmpegWriterInput::appendSampleBuffer(const std::shared_ptr<platform::SampleBuffer>& sample) {
    if (!sample || !sample->isValid() || !sample->presentationTimeStamp().isNumeric()) return false;
    const bool isVideo = mediaType() == platform::MediaType::video;
    if (isVideo ? !sample->imageBuffer() : !sample->audioData()) return false;
    const auto shared = core();
    if (!shared) return false;
    {
        std::lock_guard lock(shared->mutex);
        if (shared->status != platform::WriterStatus::writing || shared->finishing || finished_) return false;
        if (!hasRoomLocked()) return false;
        queue_.push_back(sample);
        if (!isVideo) queuedAudioSeconds_ += audioSeconds(*sample);
    }
    shared->wake.notify_one();
    return true;
}

void FfmpegWriterInput::markAsFinished() {
    const auto shared = core();
    if (!shared) {
        finished_ = true;
        return;
    }
    std::lock_guard lock(shared->mutex);
    finished_ = true;
}

std::shared_ptr<platform::SampleBuffer> FfmpegWriterInput::popLocked() {
    auto sample = std::move(queue_.front());
    queue_.pop_front();
    if (mediaType() == platform::MediaType::audio) {
        queuedAudioSeconds_ = queue_.empty() ? 0 : queuedAudioSeconds_ - audioSeconds(*sample);
    }
    return sample;
}

void FfmpegWriterInput::clearLocked() {
    queue_.clear();
    queuedAudioSeconds_ = 0;
}

}  // namespace recorder::linux_backend
