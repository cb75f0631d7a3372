#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/rect.hpp"
#include "common/serial_queue.hpp"
#include "recorder/platform/sample_buffer.hpp"
#include "recorder/platform/shareable_content.hpp"
#include "recorder/platform/stream_configuration.hpp"

namespace recorder::platform {

// Kinds of samples a capture stream delivers; the numbers are fixed.
enum class StreamOutputType : int { screen = 0, audio = 1, microphone = 2 };

class CaptureStream;

// Receives the samples of the outputs it was registered for, one at a time, on the queue given
// at registration, in capture order.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void streamDidOutputSampleBuffer(CaptureStream& stream, std::shared_ptr<SampleBuffer> sample,
                                             int outputType) = 0;
};

// Told when the stream stops by itself because of an error. May be called on any thread.
class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void streamDidStopWithError(CaptureStream& stream, const common::Error& error) = 0;
};

// A running capture of one display (and audio). Every operation blocks its caller until the
// service has done it; none may be called from the sample queue given to addStreamOutput.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // `output` and `queue` must outlive the stream's capture (until stopCapture returns).
    virtual common::Status addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                           common::SerialQueue& sampleHandlerQueue) = 0;
    // Samples may arrive from the moment this returns without error.
    virtual common::Status startCapture() = 0;
    // The new filter's display is captured from the return on.
    virtual common::Status updateContentFilter(const ContentFilter& filter) = 0;
    // No sample is delivered after this returns; called at most once.
    virtual common::Status stopCapture() = 0;
};

// Displays, windows and applications, and streams that capture them.
class CaptureService {
public:
    virtual ~CaptureService() = default;
    virtual uint32_t mainDisplayID() = 0;
    virtual common::Rect displayBounds(uint32_t displayID) = 0;
    virtual std::optional<DisplayMode> displayMode(uint32_t displayID) = 0;
    virtual common::Result<ShareableContent> shareableContent(bool excludingDesktopWindows,
                                                              bool onScreenWindowsOnly) = 0;
    // Whether a stream can capture the microphone at all on this machine.
    virtual bool canCaptureMicrophone() = 0;
    // Whether a stream can capture the system audio at all on this machine.
    virtual bool canCaptureSystemAudio() { return false; }
    virtual SourceSelection sourceSelection() { return SourceSelection::list; }
    virtual common::Result<std::shared_ptr<CaptureStream>> makeStream(const ContentFilter& filter,
                                                                      const StreamConfiguration& configuration,
                                                                      std::weak_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace recorder::platform
