#pragma once

#include <string>
#include <variant>

#include "common/error.hpp"

namespace recorder {

// The outcome of one finalisation, shared by every party that asked for it.
struct CaptureFinalizationResult {
    // The path of the video file, or why the recording could not be finalised.
    std::variant<std::string, common::Error> outputResult;
    // True when an interactive stop started or joined the finalisation.
    bool interactiveStopParticipated = false;

    bool succeeded() const { return outputResult.index() == 0; }
    const std::string& outputPath() const { return std::get<0>(outputResult); }
    const common::Error& error() const { return std::get<1>(outputResult); }
};

// The four operations of the capture engine that the command service drives. Each blocks its
// caller until the operation has completed.
class RecorderOperations {
public:
    virtual ~RecorderOperations() = default;
    // No error means the capture is running.
    virtual common::Status startCapture(const std::string& configJSON) = 0;
    // False when no recording is in progress.
    virtual bool pauseCapture() = 0;
    virtual bool resumeCapture() = 0;
    virtual CaptureFinalizationResult finalizeCapture(bool interactive) = 0;
};

}  // namespace recorder
