#pragma once

#include <deque>
#include <memory>
#include <optional>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/linux/ffmpeg/av_handles.hpp"
#include "recorder/platform/media_writer.hpp"

struct AVAudioFifo;

namespace recorder::linux_backend {

// An AAC track placed by presentation time: buffers land where their times say, so the track never
// drifts from the timeline however the source delivers. A real gap is filled with silence and a
// real overlap is trimmed; the small differences of a source whose clock runs a little fast or slow
// against the timeline are absorbed by stretching or squeezing the sound imperceptibly, because
// cutting or padding a few samples would break the waveform audibly. Runs on the writer's encoding
// thread only.
class AudioTrack {
public:
    static common::Result<std::unique_ptr<AudioTrack>> open(AVFormatContext* muxer,
                                                            const platform::AudioSettings& settings);
    ~AudioTrack();
    AudioTrack(const AudioTrack&) = delete;
    AudioTrack& operator=(const AudioTrack&) = delete;

    // Places and encodes one buffer of interleaved float samples that starts at `time`.
    common::Status append(const platform::AudioData& audio, const common::MediaTime& time,
                          const std::optional<common::MediaTime>& sessionEnd);
    // Writes the encoded packets that end at or before `horizonSeconds`; later ones wait, since
    // the session might still end before them.
    common::Status release(double horizonSeconds);
    // Fills silence up to the session end (when given), drains the encoder and writes every
    // packet that starts before the end, the last one cut to it.
    common::Status finish(const std::optional<common::MediaTime>& sessionEnd);


private:
    AudioTrack(AVFormatContext* muxer, AVStream* stream, av::CodecContext encoder, av::Resampler resampler,
               AVAudioFifo* fifo);
    int64_t toSamples(const common::MediaTime& time) const;
    // Where the next sample goes if it follows on: what was placed plus what the resampler holds.
    int64_t nextSample() const;
    // Asks the resampler to move the track a share of `errorSamples` while it takes `frames`.
    void steer(int64_t errorSamples, int64_t frames);
    common::Status push(const float* interleaved, int channels, int64_t frames);
    common::Status store(const uint8_t** planes, int64_t frames);
    common::Status pushSilence(int64_t frames);
    common::Status encodeFullFrames(bool includePartial);
    common::Status drainPackets();
    common::Status writePacket(av::Packet packet);

    AVFormatContext* muxer_;
    AVStream* stream_;
    av::CodecContext encoder_;
    av::Resampler resampler_;
    AVAudioFifo* fifo_;
    bool placing_ = false;        // whether a buffer has been placed since the start
    double steering_ = 0;         // samples of stretch asked for but not yet handed to the resampler
    int64_t placedSamples_ = 0;   // timeline position of the next sample out of the resampler
    int64_t encodedSamples_ = 0;  // samples handed to the encoder so far
    std::optional<int64_t> endSamples_;
    std::deque<av::Packet> pending_;  // encoded, not yet known to lie within the session
};

}  // namespace recorder::linux_backend
