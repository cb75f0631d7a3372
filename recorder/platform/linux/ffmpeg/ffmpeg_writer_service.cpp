#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"

namespace recorder::linux_backend {

std::shared_ptr<platform::MediaWriterService> makeFfmpegWriterService() { return nullptr; }

}  // namespace recorder::linux_backend
