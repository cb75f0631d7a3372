#include "recorder/platform/linux/ffmpeg/pixel_buffer_adaptor.hpp"

namespace recorder::linux_backend {

FfmpegPixelBufferAdaptor::FfmpegPixelBufferAdaptor(std::shared_ptr<FfmpegWriterInput> input,
                                                   platform::PixelBufferAttributes attributes)
    : input_(std::move(input)), attributes_(attributes) {}

std::shared_ptr<platform::PixelBufferPool> FfmpegPixelBufferAdaptor::pixelBufferPool() {
    std::lock_guard lock(mutex_);
    if (!pool_) {
        // The pool exists once the writer writes, as callers expect; before that there is
        // nothing to render for.
        if (!input_->isWriting()) return nullptr;
        pool_ = platform::PixelBufferPool::make(attributes_.pixelFormatType, attributes_.width, attributes_.height);
    }
    return pool_;
}

bool FfmpegPixelBufferAdaptor::appendPixelBuffer(const std::shared_ptr<platform::PixelBuffer>& buffer,
                                                 const common::MediaTime& presentationTime) {
    if (!buffer) return false;
    platform::SampleTimingInfo timing;
    timing.presentationTimeStamp = presentationTime;
    return input_->appendSampleBuffer(platform::SampleBuffer::makeVideo(buffer, timing, std::nullopt));
}

}  // namespace recorder::linux_backend
