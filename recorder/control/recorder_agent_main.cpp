#include "common/output_lines.hpp"
#include "recorder/control/process_entry.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"
#include "recorder/engine/source_listing.hpp"
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
    services.listSources = [] {
        const auto platform = recorder::linux_backend::makeLinuxPlatform();
        return recorder::describeCaptureSources(*platform.capture, *platform.devices);
    };
    services.version = AGENTS_VERSION;
    recorder::exitProcess(recorder::runRecorderAgent(argc, argv, services));
}
