#pragma once

#include <memory>
#include <mutex>

#include "recorder/platform/linux/ffmpeg/writer_input.hpp"
#include "recorder/platform/media_writer.hpp"

namespace recorder::linux_backend {

// Lets a caller render frames into buffers of the input's size and append them with a time;
// a frame appended here is a video sample like any other.
class FfmpegPixelBufferAdaptor final : public platform::PixelBufferAdaptor {
public:
    FfmpegPixelBufferAdaptor(std::shared_ptr<FfmpegWriterInput> input, platform::PixelBufferAttributes attributes);

    std::shared_ptr<platform::PixelBufferPool> pixelBufferPool() override;
    bool appendPixelBuffer(const std::shared_ptr<platform::PixelBuffer>& buffer,
                           const common::MediaTime& presentationTime) override;

private:
    std::shared_ptr<FfmpegWriterInput> input_;
    platform::PixelBufferAttributes attributes_;
    std::mutex mutex_;
    std::shared_ptr<platform::PixelBufferPool> pool_;
};

}  // namespace recorder::linux_backend
