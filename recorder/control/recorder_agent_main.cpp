#include <cstdlib>
#include <string_view>

#include "common/output_lines.hpp"
#include "recorder/control/capture_config.hpp"
#include "recorder/control/process_entry.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"
#include "recorder/engine/source_listing.hpp"
#include "recorder/platform/linux/backend_choice.hpp"
#include "recorder/platform/linux/linux_platform.hpp"

namespace {

// A Wayland desktop picks the source in its own dialog, before the engine asks for anything: the
// request's choice of source is read here. An undecodable request asks for a monitor; the engine
// reports the request's fault when it starts.
recorder::linux_backend::wayland::WaylandRequest waylandRequestFrom(int argc, char** argv) {
    recorder::linux_backend::wayland::WaylandRequest request;
    if (argc < 2) return request;
    const auto config = recorder::decodeCaptureConfig(argv[1]);
    if (!config) return request;
    request.displayId = config->displayId;
    request.windowId = config->windowId;
    if (config->windowX && config->windowY && config->windowWidth && config->windowHeight &&
        *config->windowWidth > 0 && *config->windowHeight > 0) {
        request.region = common::Rect{*config->windowX, *config->windowY, *config->windowWidth, *config->windowHeight};
    }
    request.restoreTokenPath = config->restoreTokenPath;
    request.excludesApplications = config->excludedProcessIds && !config->excludedProcessIds->empty();
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    common::StdioLineSink lines;
    using recorder::linux_backend::CaptureBackend;
    const bool wayland =
        recorder::linux_backend::chooseCaptureBackend([](const char* name) { return std::getenv(name); }) ==
        CaptureBackend::wayland;
    const auto platform = wayland ? recorder::linux_backend::makeWaylandPlatform(
                                        waylandRequestFrom(argc, argv),
                                        [&lines](const std::string& line) { lines.err(line); })
                                  : recorder::linux_backend::makeLinuxPlatform();
    const bool listing = argc >= 2 && std::string_view(argv[1]) == "--list-sources";
    recorder::ProcessEntryServices services;
    services.lines = &lines;
    services.permissions = [&platform, listing, wayland] {
        return listing && wayland ? recorder::linux_backend::makeWaylandListingPermissionService() : platform.permissions;
    };
    services.makeRecorder = [&lines, &platform] { return recorder::ScreenCaptureRecorder::make(platform, lines); };
    services.listSources = [&platform] { return recorder::describeCaptureSources(*platform.capture, *platform.devices); };
    services.version = AGENTS_VERSION;
    recorder::exitProcess(recorder::runRecorderAgent(argc, argv, services));
}
