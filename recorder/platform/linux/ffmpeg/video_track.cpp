#include "recorder/platform/linux/ffmpeg/video_track.hpp"

#include <sys/prctl.h>

#include <algorithm>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"
#include "recorder/platform/linux/ffmpeg/h264_settings.hpp"
#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
}

namespace recorder::linux_backend {
namespace {

// The frame rate told to the encoder. Frames really come whenever the screen changes; the
// encoder uses this only to pick its level and rate-control defaults, and 60 is the rate the
// recorder captures at.
constexpr int kNominalFrameRate = 60;

int64_t toTicks(const common::MediaTime& time) { return time.convertScale(VideoTrack::kTimescale).value; }

// x264 asks for 2 MB pages for each of its larger buffers, and touches some of them only in part
// (per-thread scratch, weighted references): at 3840x2160, ordinary pages took about 10 MB less
// resident memory for the same encoding time. The choice is the process's, for every thread, and
// a kernel that refuses it only costs that memory.
void keepEncoderBuffersInSmallPages() { ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0); }

// Keeps a pixel buffer alive for as long as FFmpeg references its planes.
void releasePixelBuffer(void* opaque, uint8_t*) {
    std::unique_ptr<std::shared_ptr<platform::PixelBuffer>> holder(static_cast<std::shared_ptr<platform::PixelBuffer>*>(opaque));
}

}  // namespace

common::Result<std::unique_ptr<VideoTrack>> VideoTrack::open(AVFormatContext* muxer,
                                                             const platform::VideoSettings& settings) {
    if (!settings.codec.empty() && settings.codec != "h264") {
        return common::Error{kWriterErrorDomain, 0, "unsupported video codec " + settings.codec};
    }
    if (settings.width <= 0 || settings.height <= 0 || settings.width % 2 || settings.height % 2) {
        return common::Error{kWriterErrorDomain, 0,
                             "cannot encode H.264 at " + std::to_string(settings.width) + "x" +
                                 std::to_string(settings.height) + ": width and height must be even and positive"};
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return common::Error{kWriterErrorDomain, 0, "the H.264 encoder libx264 is not available"};
    av::CodecContext encoder(avcodec_alloc_context3(codec));
    if (!encoder) return common::Error{kWriterErrorDomain, 0, "out of memory for the video encoder"};
    encoder->width = settings.width;
    encoder->height = settings.height;
    encoder->pix_fmt = AV_PIX_FMT_NV12;  // 4:2:0 keeps the profile one that every player decodes
    encoder->time_base = AVRational{1, kTimescale};
    encoder->framerate = AVRational{kNominalFrameRate, 1};
    encoder->max_b_frames = 0;
    encoder->gop_size = kNominalFrameRate;
    // BT.709 as the frames are converted; tagged in the stream (VUI) and, through the stream
    // parameters, in the container's colour box.
    encoder->color_primaries = AVCOL_PRI_BT709;
    encoder->color_trc = AVCOL_TRC_BT709;
    encoder->colorspace = AVCOL_SPC_BT709;
    encoder->color_range = AVCOL_RANGE_MPEG;
    encoder->chroma_sample_location = AVCHROMA_LOC_LEFT;
    if (auto failed = applyH264Compression(encoder.get(), settings.compression)) return *failed;
    if (muxer->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    keepEncoderBuffersInSmallPages();
    if (const int result = avcodec_open2(encoder.get(), codec, nullptr); result < 0) {
        std::string described;
        for (const auto& [key, value] : settings.compression) described += " " + key + "=" + value;
        return writerError("cannot open the H.264 encoder with" + described, result);
    }
    AVStream* stream = avformat_new_stream(muxer, nullptr);
    if (!stream) return common::Error{kWriterErrorDomain, 0, "out of memory for the video stream"};
    if (const int result = avcodec_parameters_from_context(stream->codecpar, encoder.get()); result < 0) {
        return writerError("cannot describe the video stream", result);
    }
    stream->time_base = encoder->time_base;
    stream->avg_frame_rate = encoder->framerate;
    // Frames come only when the screen changes, so x264's own interval (in frames) could leave a
    // still screen without a keyframe for minutes: the same interval is also forced on the
    // timeline, as if every frame at the nominal rate had come.
    const int64_t keyframeIntervalTicks =
        std::max<int64_t>(1, static_cast<int64_t>(encoder->gop_size) * kTimescale / kNominalFrameRate);
    return std::unique_ptr<VideoTrack>(new VideoTrack(muxer, stream, std::move(encoder), keyframeIntervalTicks));
}

VideoTrack::VideoTrack(AVFormatContext* muxer, AVStream* stream, av::CodecContext encoder,
                       int64_t keyframeIntervalTicks)
    : muxer_(muxer), stream_(stream), encoder_(std::move(encoder)), keyframeIntervalTicks_(keyframeIntervalTicks) {}

av::Frame VideoTrack::wrapNV12(const std::shared_ptr<platform::PixelBuffer>& image) {
    av::Frame frame = av::makeFrame();
    if (!frame || image->planeCount() < 2) return nullptr;
    // The encoder copies the picture in; referencing the captured planes saves a copy here, and
    // the frame's buffer reference keeps the pixel buffer alive for as long as FFmpeg holds it.
    auto holder = std::make_unique<std::shared_ptr<platform::PixelBuffer>>(image);
    const auto& luma = image->plane(0);
    const auto& chroma = image->plane(1);
    frame->buf[0] = av_buffer_create(luma.data, 1, &releasePixelBuffer, holder.get(), AV_BUFFER_FLAG_READONLY);
    if (!frame->buf[0]) return nullptr;
    holder.release();
    frame->format = AV_PIX_FMT_NV12;
    frame->width = encoder_->width;
    frame->height = encoder_->height;
    frame->data[0] = luma.data;
    frame->linesize[0] = luma.stride;
    frame->data[1] = chroma.data;
    frame->linesize[1] = chroma.stride;
    return frame;
}

av::Frame VideoTrack::convertBGRA(const platform::PixelBuffer& image) {
    av::Frame frame = av::makeFrame();
    if (!frame) return nullptr;
    frame->format = AV_PIX_FMT_NV12;
    frame->width = encoder_->width;
    frame->height = encoder_->height;
    if (av_frame_get_buffer(frame.get(), 64) < 0) return nullptr;
    const auto& plane = image.plane(0);
    convertBGRAToNV12BT709(plane.data, plane.stride, encoder_->width, encoder_->height, frame->data[0],
                           frame->linesize[0], frame->data[1], frame->linesize[1]);
    return frame;
}

common::Status VideoTrack::encode(const platform::SampleBuffer& sample, const common::MediaTime& time,
                                  const std::optional<common::MediaTime>& sessionEnd) {
    const auto& image = sample.imageBuffer();
    if (!image || image->width() < encoder_->width || image->height() < encoder_->height) return std::nullopt;
    const int64_t ticks = toTicks(time);
    if (ticks < 0) return std::nullopt;
    if (lastInputTicks_ && ticks <= *lastInputTicks_) return std::nullopt;
    if (sessionEnd) {
        endTicks_ = toTicks(*sessionEnd);
        if (ticks >= *endTicks_) return std::nullopt;
    }

    av::Frame frame;
    if (image->pixelFormat() == platform::kPixelFormat420v) {
        frame = wrapNV12(image);
    } else if (image->pixelFormat() == platform::kPixelFormatBGRA) {
        frame = convertBGRA(*image);
    } else {
        return std::nullopt;
    }
    if (!frame) return common::Error{kWriterErrorDomain, 0, "out of memory for a video frame"};
    frame->pts = ticks;
    frame->color_primaries = encoder_->color_primaries;
    frame->color_trc = encoder_->color_trc;
    frame->colorspace = encoder_->colorspace;
    frame->color_range = encoder_->color_range;
    if (!lastKeyframeTicks_ || ticks - *lastKeyframeTicks_ >= keyframeIntervalTicks_) {
        frame->pict_type = AV_PICTURE_TYPE_I;
        lastKeyframeTicks_ = ticks;
    }
    const auto& ownDuration = sample.duration();
    if (ownDuration.isNumeric() && ownDuration > common::MediaTime::zero()) {
        lastFrameDurationTicks_ = std::max<int64_t>(1, toTicks(ownDuration));
    } else if (lastInputTicks_) {
        lastFrameDurationTicks_ = ticks - *lastInputTicks_;
    }
    lastInputTicks_ = ticks;
    return sendFrame(frame.get());
}

common::Status VideoTrack::sendFrame(AVFrame* frame) {
    if (const int result = avcodec_send_frame(encoder_.get(), frame); result < 0 && result != AVERROR_EOF) {
        return writerError("cannot encode video", result);
    }
    return drainPackets();
}

common::Status VideoTrack::drainPackets() {
    for (;;) {
        av::Packet packet = av::makePacket();
        if (!packet) return common::Error{kWriterErrorDomain, 0, "out of memory for a video packet"};
        const int result = avcodec_receive_packet(encoder_.get(), packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return std::nullopt;
        if (result < 0) return writerError("cannot encode video", result);
        if (packet->flags & AV_PKT_FLAG_KEY) lastKeyframeTicks_ = std::max(lastKeyframeTicks_.value_or(0), packet->pts);
        if (auto failed = takePacket(std::move(packet), endTicks_)) return failed;
    }
}

common::Status VideoTrack::takePacket(av::Packet packet, const std::optional<int64_t>& endTicks) {
    if (heldPacket_) {
        // Each frame lasts until the next one, and never past the session end.
        int64_t until = packet->pts;
        if (endTicks) until = std::min(until, *endTicks);
        heldPacket_->duration = std::max<int64_t>(1, until - heldPacket_->pts);
        if (auto failed = writePacket(std::move(heldPacket_))) return failed;
    }
    heldPacket_ = std::move(packet);
    return std::nullopt;
}

common::Status VideoTrack::writePacket(av::Packet packet) {
    packet->stream_index = stream_->index;
    av_packet_rescale_ts(packet.get(), encoder_->time_base, stream_->time_base);
    if (const int result = av_write_frame(muxer_, packet.get()); result < 0) {
        return writerError("cannot write video", result);
    }
    return std::nullopt;
}

common::Status VideoTrack::finish(const std::optional<common::MediaTime>& sessionEnd) {
    if (sessionEnd) endTicks_ = toTicks(*sessionEnd);
    if (auto failed = sendFrame(nullptr)) return failed;
    if (!heldPacket_) return std::nullopt;
    if (endTicks_) {
        // The frame appended at the session end only marks where the last one stops.
        if (heldPacket_->pts >= *endTicks_) {
            heldPacket_.reset();
            return std::nullopt;
        }
        heldPacket_->duration = *endTicks_ - heldPacket_->pts;
    } else {
        heldPacket_->duration = lastFrameDurationTicks_;
    }
    return writePacket(std::move(heldPacket_));
}

std::optional<double> VideoTrack::latestFrameSeconds() const {
    if (!lastInputTicks_) return std::nullopt;
    return static_cast<double>(*lastInputTicks_) / kTimescale;
}

}  // namespace recorder::linux_backend
