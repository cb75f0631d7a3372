#include "recorder/platform/sample_buffer.hpp"

namespace recorder::platform {

std::shared_ptr<SampleBuffer> SampleBuffer::makeVideo(std::shared_ptr<PixelBuffer> image, SampleTimingInfo timing,
                                                      std::optional<SampleAttachments> attachments) {
    std::shared_ptr<SampleBuffer> sample(new SampleBuffer());
    sample->timing_ = timing;
    sample->image_ = std::move(image);
    sample->attachments_ = std::move(attachments);
    return sample;
}

std::shared_ptr<SampleBuffer> SampleBuffer::makeAudio(std::shared_ptr<const AudioData> audio, SampleTimingInfo timing) {
    std::shared_ptr<SampleBuffer> sample(new SampleBuffer());
    sample->timing_ = timing;
    sample->audio_ = std::move(audio);
    return sample;
}

std::shared_ptr<SampleBuffer> SampleBuffer::makeInvalid(SampleTimingInfo timing) {
    std::shared_ptr<SampleBuffer> sample(new SampleBuffer());
    sample->valid_ = false;
    sample->timing_ = timing;
    return sample;
}

common::Result<std::shared_ptr<SampleBuffer>> SampleBuffer::copyWithNewTiming(const SampleTimingInfo& timing) const {
    if (!valid_) return common::Error{"SampleBuffer", 1, "cannot copy an invalid sample buffer"};
    std::shared_ptr<SampleBuffer> copy(new SampleBuffer(*this));
    copy->timing_ = timing;
    return copy;
}

}  // namespace recorder::platform
