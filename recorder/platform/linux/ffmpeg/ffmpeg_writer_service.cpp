#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"

#include <csignal>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"
#include "recorder/platform/linux/ffmpeg/ffmpeg_asset_writer.hpp"
#include "recorder/platform/linux/ffmpeg/h264_settings.hpp"
#include "recorder/platform/linux/ffmpeg/pixel_buffer_adaptor.hpp"
#include "recorder/platform/linux/ffmpeg/writer_input.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace recorder::linux_backend {
namespace {

class FfmpegWriterService final : public platform::MediaWriterService {
public:
    common::Result<std::shared_ptr<platform::AssetWriter>> makeAssetWriter(const std::string& path,
                                                                           platform::FileType type) override {
        auto writer = FfmpegAssetWriter::create(path, type);
        if (!writer) return writer.error();
        return std::shared_ptr<platform::AssetWriter>(std::move(writer).value());
    }

    std::shared_ptr<platform::OutputSettingsAssistant> makeOutputSettingsAssistant(const std::string& preset) override {
        return makeH264SettingsAssistant(preset);
    }

    common::Result<platform::VideoFormatDescription> makeVideoFormatDescription(uint32_t mediaSubtype, int width,
                                                                                int height) override {
        if (mediaSubtype != platform::kPixelFormat420v && mediaSubtype != platform::kPixelFormatBGRA) {
            return common::Error{kWriterErrorDomain, 0, "unsupported pixel format " + std::to_string(mediaSubtype)};
        }
        if (width <= 0 || height <= 0) {
            return common::Error{kWriterErrorDomain, 0,
                                 "invalid video size " + std::to_string(width) + "x" + std::to_string(height)};
        }
        return platform::VideoFormatDescription{mediaSubtype, width, height};
    }

    std::shared_ptr<platform::WriterInput> makeVideoInput(const platform::VideoSettings& settings,
                                                          const std::optional<platform::VideoFormatDescription>&) override {
        // Both source formats are taken as they come (NV12 as is, BGRA converted), so the hint
        // changes nothing.
        return std::make_shared<FfmpegWriterInput>(settings);
    }

    std::shared_ptr<platform::WriterInput> makeAudioInput(const platform::AudioSettings& settings) override {
        return std::make_shared<FfmpegWriterInput>(settings);
    }

    std::shared_ptr<platform::PixelBufferAdaptor> makePixelBufferAdaptor(
        std::shared_ptr<platform::WriterInput> videoInput, const platform::PixelBufferAttributes& attributes) override {
        auto ours = std::dynamic_pointer_cast<FfmpegWriterInput>(videoInput);
        if (!ours || ours->mediaType() != platform::MediaType::video) return nullptr;
        return std::make_shared<FfmpegPixelBufferAdaptor>(std::move(ours), attributes);
    }
};

}  // namespace

std::shared_ptr<platform::MediaWriterService> makeFfmpegWriterService() {
    // A file size limit must end a recording with an error, not end the process: with SIGXFSZ
    // ignored, the write that crosses the limit fails with EFBIG and the writer reports it.
    std::signal(SIGXFSZ, SIG_IGN);
    // The writer reports its own errors; FFmpeg's log lines would reach the parent's stderr.
    av_log_set_level(AV_LOG_QUIET);
    return std::make_shared<FfmpegWriterService>();
}

}  // namespace recorder::linux_backend
