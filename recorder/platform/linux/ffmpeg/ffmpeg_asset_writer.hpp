#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "recorder/platform/linux/ffmpeg/av_handles.hpp"
#include "recorder/platform/linux/ffmpeg/hybrid_movie.hpp"
#include "recorder/platform/linux/ffmpeg/output_file.hpp"
#include "recorder/platform/linux/ffmpeg/writer_core.hpp"
#include "recorder/platform/linux/ffmpeg/writer_input.hpp"
#include "recorder/platform/media_writer.hpp"

namespace recorder::linux_backend {

class VideoTrack;
class AudioTrack;

// A media file written by one encoding thread. While recording, the file is fragmented MPEG-4
// (or QuickTime) with a fragment every half second, synced to disk every second together with
// a header that says how long it is: whatever happens to the process or the machine, the file
// plays up to about half a second before it happened. Finishing makes it a regular file with
// one complete movie header at its end (see HybridMovie), without moving any media, so it
// takes the time of writing the sample tables however long the recording was.
class FfmpegAssetWriter final : public platform::AssetWriter {
public:
    static common::Result<std::shared_ptr<FfmpegAssetWriter>> create(const std::string& path, platform::FileType type);
    ~FfmpegAssetWriter() override;

    bool canAddInput(const platform::WriterInput& input) override;
    void addInput(std::shared_ptr<platform::WriterInput> input) override;
    bool startWriting() override;
    void startSessionAtSourceTime(const common::MediaTime& time) override;
    void endSessionAtSourceTime(const common::MediaTime& time) override;
    void finishWriting() override;
    platform::WriterStatus status() override;
    std::optional<common::Error> error() override;

private:
    struct Track;
    FfmpegAssetWriter(std::unique_ptr<OutputFile> file, platform::FileType type);
    common::Status openMuxer();
    void run();
    common::Status encode(Track& track, const platform::SampleBuffer& sample,
                          const common::MediaTime& sessionStart, const std::optional<common::MediaTime>& sessionEnd);
    common::Status releaseAudio();
    common::Status finishFile(const std::optional<common::MediaTime>& sessionEnd);
    void fail(common::Error failure);

    std::unique_ptr<OutputFile> file_;
    HybridMovie movie_{*file_};
    platform::FileType type_;
    std::shared_ptr<WriterCore> core_ = std::make_shared<WriterCore>();
    std::vector<std::shared_ptr<FfmpegWriterInput>> inputs_;
    // Used by the encoding thread only once it runs.
    av::OutputFormat muxer_;
    std::vector<Track> tracks_;
    std::thread thread_;
};

}  // namespace recorder::linux_backend
