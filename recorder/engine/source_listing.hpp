#pragma once

#include <string>

#include "common/error.hpp"
#include "recorder/platform/capture_service.hpp"
#include "recorder/platform/system_services.hpp"

namespace recorder {

// What a parent can offer a person to record, as one JSON document: the displays and windows a
// request can name (only those a recording would accept), the microphones, and whether system
// audio can be recorded. Where the desktop's own dialog picks the source, it says so instead of
// listing displays and windows, and asks the desktop nothing that could open that dialog.
common::Result<std::string> describeCaptureSources(platform::CaptureService& capture,
                                                   platform::CaptureDeviceService& devices);

}  // namespace recorder
