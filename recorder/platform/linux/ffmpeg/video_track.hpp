#pragma once

#include <memory>
#include <optional>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/linux/ffmpeg/av_handles.hpp"
#include "recorder/platform/media_writer.hpp"

namespace recorder::linux_backend {

// The H.264 track of a file: takes NV12 or BGRA images at their output times, encodes them
// with libx264 and hands the packets to the muxer, each lasting until the next frame and the
// last one until the session end. Runs on the writer's encoding thread only.
class VideoTrack {
public:
    // Frame times are kept at this resolution: fine enough for any capture clock, and the
    // usual clock of MPEG video.
    static constexpr int kTimescale = 90000;

    // Adds the stream to `muxer` (before its header is written) and opens the encoder.
    static common::Result<std::unique_ptr<VideoTrack>> open(AVFormatContext* muxer,
                                                            const platform::VideoSettings& settings);

    // Encodes one frame at `time` (on the file's timeline). Frames that cannot be placed (not
    // after the previous one, at or past the known session end, of another size) are skipped.
    common::Status encode(const platform::SampleBuffer& sample, const common::MediaTime& time,
                          const std::optional<common::MediaTime>& sessionEnd);
    // Drains the encoder and writes the last frame, cut to end at `sessionEnd` when given.
    common::Status finish(const std::optional<common::MediaTime>& sessionEnd);

    // The latest frame time taken so far, in seconds; the session cannot end before it.
    std::optional<double> latestFrameSeconds() const;

private:
    VideoTrack(AVFormatContext* muxer, AVStream* stream, av::CodecContext encoder, int64_t keyframeIntervalTicks);
    common::Status sendFrame(AVFrame* frame);
    common::Status drainPackets();
    common::Status takePacket(av::Packet packet, const std::optional<int64_t>& endTicks);
    common::Status writePacket(av::Packet packet);
    av::Frame wrapNV12(const std::shared_ptr<platform::PixelBuffer>& image);
    av::Frame convertBGRA(const platform::PixelBuffer& image);

    AVFormatContext* muxer_;
    AVStream* stream_;
    av::CodecContext encoder_;
    std::optional<int64_t> lastInputTicks_;
    int64_t keyframeIntervalTicks_;  // a keyframe at least this often on the timeline
    std::optional<int64_t> lastKeyframeTicks_;
    int64_t lastFrameDurationTicks_ = kTimescale / 60;
    std::optional<int64_t> endTicks_;  // the session end as known when packets come out
    av::Packet heldPacket_;            // written once the next frame's time gives its duration
};

}  // namespace recorder::linux_backend
