#include "recorder/platform/linux/linux_platform.hpp"

#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"
#include "recorder/platform/linux/linux_permissions.hpp"
#include "recorder/platform/linux/pixels/crop_scale_image_context.hpp"
#include "recorder/platform/linux/x11/x11_capture_service.hpp"

namespace recorder::linux_backend {

platform::Platform makeLinuxPlatform() {
    platform::Platform services;
    services.capture = makeX11CaptureService();
    services.writer = makeFfmpegWriterService();
    services.imageContext = makeCropScaleImageContext();
    services.permissions = makeLinuxPermissionService();
    services.devices = makeLinuxCaptureDeviceService();
    return services;
}

}  // namespace recorder::linux_backend
