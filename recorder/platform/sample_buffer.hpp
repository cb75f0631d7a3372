#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/pixel_buffer.hpp"

namespace recorder::platform {

struct SampleTimingInfo {
    common::MediaTime duration = common::MediaTime::invalid();
    common::MediaTime presentationTimeStamp = common::MediaTime::invalid();
    common::MediaTime decodeTimeStamp = common::MediaTime::invalid();
};

// Per-frame information that the capture stream attaches to a screen sample.
using AttachmentValue = std::variant<int64_t, double, std::string>;
using AttachmentDictionary = std::map<std::string, AttachmentValue>;
using SampleAttachments = std::vector<AttachmentDictionary>;

// Key of the frame status in a screen sample's first attachment dictionary, and its values.
inline constexpr const char* kFrameInfoStatusKey = "SCStreamFrameInfoStatus";
enum class FrameStatus : int64_t { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

// Interleaved 32-bit float PCM, as the audio sources deliver it.
struct AudioData {
    int sampleRate = 48000;
    int channelCount = 2;
    std::vector<float> samples;  // frameCount() * channelCount values
    size_t frameCount() const { return channelCount > 0 ? samples.size() / static_cast<size_t>(channelCount) : 0; }
};

// One captured sample: a video frame (an image buffer) or a run of audio, with its timing.
// Immutable once made; copies with new timing share the media data.
class SampleBuffer {
public:
    static std::shared_ptr<SampleBuffer> makeVideo(std::shared_ptr<PixelBuffer> image, SampleTimingInfo timing,
                                                   std::optional<SampleAttachments> attachments);
    static std::shared_ptr<SampleBuffer> makeAudio(std::shared_ptr<const AudioData> audio, SampleTimingInfo timing);
    // A sample that reports itself invalid (a capture service may hand out such samples).
    static std::shared_ptr<SampleBuffer> makeInvalid(SampleTimingInfo timing);

    bool isValid() const { return valid_; }
    const common::MediaTime& presentationTimeStamp() const { return timing_.presentationTimeStamp; }
    const common::MediaTime& duration() const { return timing_.duration; }
    const common::MediaTime& decodeTimeStamp() const { return timing_.decodeTimeStamp; }
    const SampleTimingInfo& timing() const { return timing_; }
    // Without creating any: none when the sample carries no attachments.
    const std::optional<SampleAttachments>& sampleAttachments() const { return attachments_; }
    const std::shared_ptr<PixelBuffer>& imageBuffer() const { return image_; }
    const std::shared_ptr<const AudioData>& audioData() const { return audio_; }

    // A copy carrying `timing` and the same media data; fails for an invalid sample.
    common::Result<std::shared_ptr<SampleBuffer>> copyWithNewTiming(const SampleTimingInfo& timing) const;

private:
    SampleBuffer() = default;

    bool valid_ = true;
    SampleTimingInfo timing_;
    std::optional<SampleAttachments> attachments_;
    std::shared_ptr<PixelBuffer> image_;
    std::shared_ptr<const AudioData> audio_;
};

}  // namespace recorder::platform
