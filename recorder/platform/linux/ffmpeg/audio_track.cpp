#include "recorder/platform/linux/ffmpeg/audio_track.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace recorder::linux_backend {
namespace {

// A buffer that starts further than this from where the track has got to marks a real gap or
// overlap (a source that was gone, a stream that started again, the cut of a pause), which is
// filled or trimmed at once so that the sound stays with its picture. Closer than that, the
// difference is the jitter of the capture timestamps or the drift of the source's clock, which a
// sound card shows at some hundred parts per million (about 23 ms a minute on the test server): it
// is absorbed by steering, which keeps drift from ever growing to this size.
constexpr double kGapToleranceSeconds = 0.005;
// Steering closes a difference by this time constant: long enough to average out the jitter of
// the timestamps, short enough to keep the sound within a fraction of a video frame of them.
constexpr double kSteeringSeconds = 1.0;
// The sound is never stretched or squeezed by more than this share: 0.5 % is a twelfth of a
// semitone, below what a listener notices, and ten times the drift measured on the test server.
constexpr double kMaxStretch = 0.005;
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
    // Same rate and layout in and out: the resampler only stretches. It runs as a resampler from
    // the start, so that steering never switches it over in the middle of the sound.
    SwrContext* resampler = nullptr;
    if (swr_alloc_set_opts2(&resampler, &encoder->ch_layout, AV_SAMPLE_FMT_FLTP, settings.sampleRate,
                            &encoder->ch_layout, AV_SAMPLE_FMT_FLTP, settings.sampleRate, 0, nullptr) < 0) {
        return common::Error{kWriterErrorDomain, 0, "out of memory for the audio resampler"};
    }
    av::Resampler ownedResampler(resampler);
    av_opt_set_int(resampler, "flags", SWR_FLAG_RESAMPLE, 0);
    if (const int result = swr_init(resampler); result < 0) return writerError("cannot set up audio resampling", result);
    AVAudioFifo* fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, settings.numberOfChannels, encoder->frame_size * 4);
    if (!fifo) return common::Error{kWriterErrorDomain, 0, "out of memory for audio"};
    return std::unique_ptr<AudioTrack>(
        new AudioTrack(muxer, stream, std::move(encoder), std::move(ownedResampler), fifo));
}

AudioTrack::AudioTrack(AVFormatContext* muxer, AVStream* stream, av::CodecContext encoder, av::Resampler resampler,
                       AVAudioFifo* fifo)
    : muxer_(muxer), stream_(stream), encoder_(std::move(encoder)), resampler_(std::move(resampler)), fifo_(fifo) {}

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
    const int64_t error = toSamples(time) - nextSample();
    const auto tolerance = static_cast<int64_t>(kGapToleranceSeconds * encoder_->sample_rate);

    // The first sound is placed exactly: what lies before the session start is cut, and a late
    // start is led in with silence.
    if (!placing_ || error > tolerance) {
        if (error > 0) {
            if (auto failed = pushSilence(error)) return failed;
        }
    }
    if (error < 0 && (!placing_ || error < -tolerance)) {
        const int64_t overlap = std::min(frames, -error);
        data += overlap * channels;
        frames -= overlap;
    } else if (placing_ && std::abs(error) <= tolerance) {
        steer(error, frames);
    }
    if (endSamples_) frames = std::min(frames, std::max<int64_t>(0, *endSamples_ - nextSample()));
    if (frames <= 0) return std::nullopt;
    placing_ = true;
    if (auto failed = push(data, channels, frames)) return failed;
    return encodeFullFrames(false);
}

int64_t AudioTrack::nextSample() const {
    return placedSamples_ + swr_get_delay(resampler_.get(), encoder_->sample_rate);
}

void AudioTrack::steer(int64_t errorSamples, int64_t frames) {
    const double share = static_cast<double>(frames) / (kSteeringSeconds * encoder_->sample_rate);
    const double limit = kMaxStretch * static_cast<double>(frames);
    steering_ += std::clamp(static_cast<double>(errorSamples) * share, -limit, limit);
    // The resampler takes whole samples; the fractions add up over the following buffers.
    const auto whole = static_cast<int>(std::trunc(steering_));
    if (whole == 0) return;
    if (swr_set_compensation(resampler_.get(), whole, static_cast<int>(frames)) < 0) return;
    steering_ -= whole;
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
    const uint8_t* planes[2] = {reinterpret_cast<const uint8_t*>(left.data()),
                                reinterpret_cast<const uint8_t*>(right.data())};
    if (outputChannels == 1) planes[1] = nullptr;
    return store(planes, frames);
}

common::Status AudioTrack::store(const uint8_t** planes, int64_t frames) {
    // Stretching adds at most a few samples; the resampler keeps what does not fit for the next call.
    const int capacity = static_cast<int>(frames + frames / 50 + 256);
    const int channels = encoder_->ch_layout.nb_channels;
    std::vector<std::vector<float>> output(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(capacity)));
    uint8_t* outputPlanes[2] = {reinterpret_cast<uint8_t*>(output[0].data()),
                                channels > 1 ? reinterpret_cast<uint8_t*>(output[1].data()) : nullptr};
    const int converted = swr_convert(resampler_.get(), outputPlanes, capacity, planes, static_cast<int>(frames));
    if (converted < 0) return writerError("cannot resample audio", converted);
    void* fifoPlanes[2] = {outputPlanes[0], outputPlanes[1]};
    if (av_audio_fifo_write(fifo_, fifoPlanes, converted) < converted) {
        return common::Error{kWriterErrorDomain, 0, "out of memory for audio"};
    }
    placedSamples_ += converted;
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
    if (endSamples_ && *endSamples_ > nextSample()) {
        if (auto failed = pushSilence(*endSamples_ - nextSample())) return failed;
    }
    // The resampler's last few samples.
    if (auto failed = store(nullptr, 0)) return failed;
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
