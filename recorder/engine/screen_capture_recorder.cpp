#include "recorder/engine/screen_capture_recorder.hpp"

#include "recorder/control/process_entry.hpp"

namespace recorder {

std::shared_ptr<ScreenCaptureRecorder> ScreenCaptureRecorder::make(platform::Platform platform,
                                                                   common::LineSink& lines, ProcessExit processExit) {
    if (!processExit) processExit = [](int status) { exitProcess(status); };
    return std::shared_ptr<ScreenCaptureRecorder>(
        new ScreenCaptureRecorder(std::move(platform), lines, std::move(processExit)));
}

ScreenCaptureRecorder::ScreenCaptureRecorder(platform::Platform platform, common::LineSink& lines,
                                             ProcessExit processExit)
    : imageContext(platform.imageContext),
      platform_(std::move(platform)),
      lines_(lines),
      processExit_(std::move(processExit)) {}

ScreenCaptureRecorder::~ScreenCaptureRecorder() = default;

}  // namespace recorder
