#pragma once

#include <memory>

#include "recorder/platform/media_writer.hpp"

namespace recorder::linux_backend {

// Writers on FFmpeg: H.264 (libx264) and AAC in MPEG-4, QuickTime and M4A files.
std::shared_ptr<platform::MediaWriterService> makeFfmpegWriterService();

}  // namespace recorder::linux_backend
