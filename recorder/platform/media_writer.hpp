#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/pixel_buffer.hpp"
#include "recorder/platform/sample_buffer.hpp"

namespace recorder::platform {

enum class FileType { mpeg4, quickTimeMovie, appleM4A };
enum class MediaType { video, audio };
enum class WriterStatus : int { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

inline constexpr uint32_t kAudioFormatMPEG4AAC = 1633772320;  // 'aac '
inline constexpr const char* kColorPrimariesITU_R_709_2 = "ITU_R_709_2";
inline constexpr const char* kTransferFunctionITU_R_709_2 = "ITU_R_709_2";
inline constexpr const char* kVideoPreset3840x2160 = "3840x2160";

struct ColorProperties {
    std::string colorPrimaries;
    std::string transferFunction;
    std::string yCbCrMatrix;
};

// Video output settings. `codec` and `compression` are whatever the settings assistant proposes
// (encoder options by name); width, height and colour are set by the caller.
struct VideoSettings {
    std::string codec;
    int width = 0;
    int height = 0;
    std::optional<ColorProperties> colorProperties;
    std::map<std::string, std::string> compression;
};

struct AudioSettings {
    uint32_t formatID = kAudioFormatMPEG4AAC;
    int sampleRate = 48000;
    int numberOfChannels = 2;
    int encoderBitRate = 0;
};

struct VideoFormatDescription {
    uint32_t mediaSubtype = 0;
    int width = 0;
    int height = 0;
};

struct PixelBufferAttributes {
    uint32_t pixelFormatType = kPixelFormatBGRA;
    int width = 0;
    int height = 0;
};

// One track of a writer. Appends never block: an input that cannot take more says so through
// isReadyForMoreMediaData.
class WriterInput {
public:
    virtual ~WriterInput() = default;
    virtual MediaType mediaType() const = 0;
    virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
    virtual bool isReadyForMoreMediaData() = 0;
    virtual bool appendSampleBuffer(const std::shared_ptr<SampleBuffer>& sample) = 0;
    virtual void markAsFinished() = 0;
};

// Feeds a video input with pixel buffers from a pool of the input's size and format.
class PixelBufferAdaptor {
public:
    virtual ~PixelBufferAdaptor() = default;
    // None until the writer is writing.
    virtual std::shared_ptr<PixelBufferPool> pixelBufferPool() = 0;
    virtual bool appendPixelBuffer(const std::shared_ptr<PixelBuffer>& buffer,
                                   const common::MediaTime& presentationTime) = 0;
};

// Writes one media file. Its operations are called from one thread at a time.
class AssetWriter {
public:
    virtual ~AssetWriter() = default;
    virtual bool canAddInput(const WriterInput& input) = 0;
    virtual void addInput(std::shared_ptr<WriterInput> input) = 0;
    virtual bool startWriting() = 0;
    virtual void startSessionAtSourceTime(const common::MediaTime& time) = 0;
    // The written timeline ends exactly at `time`.
    virtual void endSessionAtSourceTime(const common::MediaTime& time) = 0;
    // Blocks until everything appended is written and the file is complete (or has failed);
    // the status is final afterwards.
    virtual void finishWriting() = 0;
    virtual WriterStatus status() = 0;
    virtual std::optional<common::Error> error() = 0;
};

// Proposes encoder settings for a preset once told the source format.
class OutputSettingsAssistant {
public:
    virtual ~OutputSettingsAssistant() = default;
    virtual void setSourceVideoFormat(const VideoFormatDescription& format) = 0;
    virtual std::optional<VideoSettings> videoSettings() = 0;
};

class MediaWriterService {
public:
    virtual ~MediaWriterService() = default;
    // Fails with a description a person can act on, e.g. "cannot create /x/a.mp4: Permission denied".
    virtual common::Result<std::shared_ptr<AssetWriter>> makeAssetWriter(const std::string& path, FileType type) = 0;
    // None when the preset is unknown.
    virtual std::shared_ptr<OutputSettingsAssistant> makeOutputSettingsAssistant(const std::string& preset) = 0;
    virtual common::Result<VideoFormatDescription> makeVideoFormatDescription(uint32_t mediaSubtype, int width,
                                                                              int height) = 0;
    virtual std::shared_ptr<WriterInput> makeVideoInput(const VideoSettings& settings,
                                                        const std::optional<VideoFormatDescription>& formatHint) = 0;
    virtual std::shared_ptr<WriterInput> makeAudioInput(const AudioSettings& settings) = 0;
    virtual std::shared_ptr<PixelBufferAdaptor> makePixelBufferAdaptor(std::shared_ptr<WriterInput> videoInput,
                                                                       const PixelBufferAttributes& attributes) = 0;
};

}  // namespace recorder::platform
