#pragma once

#include <functional>
#include <memory>

#include "common/host_clock.hpp"

#include "recorder/platform/capture_service.hpp"
#include "recorder/platform/image_context.hpp"
#include "recorder/platform/media_writer.hpp"
#include "recorder/platform/system_services.hpp"

namespace recorder::platform {

// Every service the recorder uses. `main` fills it with the Linux backends; tests with fakes.
struct Platform {
    std::shared_ptr<CaptureService> capture;
    std::shared_ptr<MediaWriterService> writer;
    std::shared_ptr<ImageContext> imageContext;
    std::shared_ptr<PermissionService> permissions;
    std::shared_ptr<CaptureDeviceService> devices;
    // The clock captured samples are stamped on.
    std::function<common::MediaTime()> hostClock = common::hostTimeNow;
};

}  // namespace recorder::platform
