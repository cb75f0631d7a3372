#include "recorder/platform/linux/linux_platform.hpp"

#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"
#include "recorder/platform/linux/linux_permissions.hpp"
#include "recorder/platform/linux/pixels/crop_scale_image_context.hpp"
#include "recorder/platform/linux/wayland/wayland_capture_service.hpp"
#include "recorder/platform/linux/x11/x11_capture_service.hpp"

namespace recorder::linux_backend {
namespace {

platform::Platform commonServices() {
    platform::Platform services;
    services.writer = makeFfmpegWriterService();
    services.imageContext = makeCropScaleImageContext();
    services.devices = makeLinuxCaptureDeviceService();
    return services;
}

}  // namespace

platform::Platform makeLinuxPlatform() {
    platform::Platform services = commonServices();
    services.capture = makeX11CaptureService({.framesFromChanges = true});
    services.permissions = makeLinuxPermissionService();
    return services;
}

platform::Platform makeWaylandPlatform(const wayland::WaylandRequest& request, wayland::NoticeSink notice) {
    auto cast = std::make_shared<wayland::ScreenCast>(wayland::screenCastPlanFor(request), std::move(notice));
    platform::Platform services = commonServices();
    services.capture = wayland::makeWaylandCaptureService(cast, request);
    services.permissions = makeWaylandPermissionService(cast);
    return services;
}

}  // namespace recorder::linux_backend
