#include "recorder/platform/linux/ffmpeg/audio_track.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

namespace recorder::linux_backend {
namespace {

// Capture timestamps jitter by a few samples from buffer to buffer. Differences up to this many
// seconds are taken as contiguous audio; only real gaps and overlaps are filled or trimmed, so
// jitter never inserts clicks while the track stays within 5 ms of the timeline.
constexpr double kPlacementToleranceSeconds = 0.005;
// Silence is placed in blocks of this many frames to keep the temporary buffer small.
constexpr int64_t kSilenceBlockFrames = 4096;

}  // namespace

common::Result<std::unique_ptr<AudioTrack>> AudioTrack::open(AVFormatContext* muxer,
                                                             const platform::AudioSettings& settings) {
    if (settings.formatID != platform::kAudioFormatMPEG4AAC) {
        return common::Error{kWriterErrorDomain, 0, "unsupported audio format " + std::to_string(settings.formatID)};
    }
    if (settings.sampleRate <= 0 || settings.numberOfChannels < 1 || settings.numberOfChannels > 2) {
        return common::Error{kWriterErrorDomain, 0, "unsupported audio layout: " + std::to_string(settings.sampleRate) +
                                                        " Hz, " + std::to_string(settings.numberOfChannels) + " channels"};
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) return common::Error{kWriterErrorDomain, 0, "the AAC encoder is not available"};
    av::CodecContext encoder(avcodec_alloc_context3(codec));
    if (!encoder) return common::Error{kWriterErrorDomain, 0, "out of memory for the audio encoder"};
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = settings.sampleRate;
    av_channel_layout_default(&encoder->ch_layout, settings.numberOfChannels);
    encoder->bit_rate = settings.encoderBitRate > 0 ? settings.encoderBitRate : 128000;
    encoder->time_base = AVRational{1, settings.sampleRate};
    if (muxer->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int result = avcodec_open2(encoder.get(), codec, nullptr); result < 0) {
        return writerError("cannot open the AAC encoder", result);
    }
    AVStream* stream = avformat_new_stream(muxer, nullptr);
    if (!stream) return common::Error{kWriterErrorDomain, 0, "out of memory for the audio stream"};
    if (const int result = avcodec_parameters_from_context(stream->codecpar, encoder.get()); result < 0) {
        return writerError("cannot describe the audio stream", result);
    }
    stream->time_base = encoder->time_base;
    AVAudioFifo* fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, settings.numberOfChannels, encoder->frame_size * 4);
    if (!fifo) return common::Error{kWriterErrorDomain, 0, "out of memory for audio"};
    return std::unique_ptr<AudioTrack>(new AudioTrack(muxer, stream, std::move(encoder), fifo));
}

AudioTrack::AudioTrack(AVFormatContext* muxer, AVStream* stream, av::CodecContext encoder, AVAudioFifo* fifo)
    : muxer_(muxer), stream_(stream), encoder_(std::move(encoder)), fifo_(fifo) {}

AudioTrack::~AudioTrack() { av_audio_fifo_free(fifo_); }

int64_t AudioTrack::toSamples(const common::MediaTime& time) const {
    return time.convertScale(encoder_->sample_rate).value;
}

common::Status AudioTrack::append(const platform::AudioData& audio, const common::MediaTime& time,
                                  const std::optional<common::MediaTime>& sessionEnd) {
    // Buffers at another rate cannot be placed sample-exactly; the sources deliver at the rate
    // the inputs are made with.
    if (audio.sampleRate != encoder_->sample_rate || audio.channelCount < 1) return std::nullopt;
    if (sessionEnd) endSamples_ = toSamples(*sessionEnd);
    const int channels = audio.channelCount;
    const float* data = audio.samples.data();
    int64_t frames = static_cast<int64_t>(audio.frameCount());
    int64_t start = toSamples(time);
    const auto tolerance = static_cast<int64_t>(kPlacementToleranceSeconds * encoder_->sample_rate);

    if (start > placedSamples_ + tolerance) {
        if (auto failed = pushSilence(start - placedSamples_)) return failed;
    } else if (start < placedSamples_ - tolerance) {
        const int64_t overlap = std::min(frames, placedSamples_ - start);
        data += overlap * channels;
        frames -= overlap;
    }
    if (endSamples_) frames = std::min(frames, std::max<int64_t>(0, *endSamples_ - placedSamples_));
    if (frames <= 0) return std::nullopt;
    if (auto failed = push(data, channels, frames)) return failed;
    return encodeFullFrames(false);
}

common::Status AudioTrack::push(const float* interleaved, int channels, int64_t frames) {
    const int outputChannels = encoder_->ch_layout.nb_channels;
    std::vector<float> left(static_cast<size_t>(frames)), right(static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i) {
        const float* frame = interleaved + i * channels;
        left[static_cast<size_t>(i)] = frame[0];
        // A mono source feeds both channels; channels past the second are not recorded.
        right[static_cast<size_t>(i)] = channels > 1 ? frame[1] : frame[0];
    }
    void* planes[2] = {left.data(), right.data()};
    if (outputChannels == 1) planes[1] = nullptr;
    if (av_audio_fifo_write(fifo_, planes, static_cast<int>(frames)) < frames) {
        return common::Error{kWriterErrorDomain, 0, "out of memory for audio"};
    }
    placedSamples_ += frames;
    return std::nullopt;
}

common::Status AudioTrack::pushSilence(int64_t frames) {
    const std::vector<float> silence(static_cast<size_t>(kSilenceBlockFrames) * 2, 0.0f);
    while (frames > 0) {
        const int64_t block = std::min(frames, kSilenceBlockFrames);
        if (auto failed = push(silence.data(), 2, block)) return failed;
        frames -= block;
        if (auto failed = encodeFullFrames(false)) return failed;
    }
    return std::nullopt;
}

common::Status AudioTrack::encodeFullFrames(bool includePartial) {
    const int frameSize = encoder_->frame_size;
    while (av_audio_fifo_size(fifo_) >= frameSize || (includePartial && av_audio_fifo_size(fifo_) > 0)) {
        av::Frame frame = av::makeFrame();
        if (!frame) return common::Error{kWriterErrorDomain, 0, "out of memory for audio"};
        frame->nb_samples = std::min(frameSize, av_audio_fifo_size(fifo_));
        frame->format = encoder_->sample_fmt;
        frame->sample_rate = encoder_->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout);
        if (av_frame_get_buffer(frame.get(), 0) < 0) return common::Error{kWriterErrorDomain, 0, "out of memory for audio"};
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame->data), frame->nb_samples);
        frame->pts = encodedSamples_;
        encodedSamples_ += frame->nb_samples;
        if (const int result = avcodec_send_frame(encoder_.get(), frame.get()); result < 0) {
            return writerError("cannot encode audio", result);
        }
        if (auto failed = drainPackets()) return failed;
    }
    return std::nullopt;
}

common::Status AudioTrack::drainPackets() {
    for (;;) {
        av::Packet packet = av::makePacket();
        if (!packet) return common::Error{kWriterErrorDomain, 0, "out of memory for an audio packet"};
        const int result = avcodec_receive_packet(encoder_.get(), packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return std::nullopt;
        if (result < 0) return writerError("cannot encode audio", result);
        pending_.push_back(std::move(packet));
    }
}

common::Status AudioTrack::release(double horizonSeconds) {
    const double horizon = horizonSeconds * encoder_->sample_rate;
    while (!pending_.empty() && static_cast<double>(pending_.front()->pts + pending_.front()->duration) <= horizon) {
        av::Packet packet = std::move(pending_.front());
        pending_.pop_front();
        if (auto failed = writePacket(std::move(packet))) return failed;
    }
    return std::nullopt;
}

common::Status AudioTrack::finish(const std::optional<common::MediaTime>& sessionEnd) {
    if (sessionEnd) endSamples_ = toSamples(*sessionEnd);
    // A source that fell silent (or never delivered) still lasts to the end of the session.
    if (endSamples_ && *endSamples_ > placedSamples_) {
        if (auto failed = pushSilence(*endSamples_ - placedSamples_)) return failed;
    }
    if (auto failed = encodeFullFrames(true)) return failed;
    if (const int result = avcodec_send_frame(encoder_.get(), nullptr); result < 0 && result != AVERROR_EOF) {
        return writerError("cannot encode audio", result);
    }
    if (auto failed = drainPackets()) return failed;
    while (!pending_.empty()) {
        av::Packet packet = std::move(pending_.front());
        pending_.pop_front();
        if (endSamples_) {
            if (packet->pts >= *endSamples_) continue;
            packet->duration = std::min(packet->duration, *endSamples_ - packet->pts);
        }
        if (auto failed = writePacket(std::move(packet))) return failed;
    }
    return std::nullopt;
}

common::Status AudioTrack::writePacket(av::Packet packet) {
    packet->stream_index = stream_->index;
    av_packet_rescale_ts(packet.get(), encoder_->time_base, stream_->time_base);
    if (const int result = av_write_frame(muxer_, packet.get()); result < 0) {
        return writerError("cannot write audio", result);
    }
    return std::nullopt;
}

}  // namespace recorder::linux_backend
