#include "common/output_lines.hpp"
#include "recorder/control/process_entry.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"
#include "recorder/platform/linux/linux_permissions.hpp"
#include "recorder/platform/linux/linux_platform.hpp"

int main(int argc, char** argv) {
    common::StdioLineSink lines;
    recorder::ProcessEntryServices services;
    services.lines = &lines;
    services.permissions = [] { return recorder::linux_backend::makeLinuxPermissionService(); };
    services.makeRecorder = [&lines] {
        return recorder::ScreenCaptureRecorder::make(recorder::linux_backend::makeLinuxPlatform(), lines);
    };
    recorder::exitProcess(recorder::runRecorderAgent(argc, argv, services));
}
