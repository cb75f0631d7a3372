#include "tests/pulse_audio/tone_player.hpp"

#include <pulse/error.h>
#include <pulse/thread-mainloop.h>
#include <pulse/stream.h>

#include <cmath>
#include <ctime>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace pulsetest {

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;

int64_t monotonicNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct ThreadedLoopDeleter {
    void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct StreamDeleter {
    void operator()(pa_stream* stream) const {
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};

// Holds the loop's lock for one scope.
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

}  // namespace

class TonePlayer::Impl {
public:
    std::unique_ptr<pa_threaded_mainloop, ThreadedLoopDeleter> loop;
    std::unique_ptr<pa_context, ContextDeleter> context;
    std::unique_ptr<pa_stream, StreamDeleter> stream;

    ~Impl() {
        // Members are destroyed in reverse order, which would free the loop last; stop it first so
        // no callback runs while the stream and context are released.
        if (loop) pa_threaded_mainloop_stop(loop.get());
        stream.reset();
        context.reset();
    }

    static void signalLoop(pa_context*, void* userdata) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
    }
    static void signalLoopFromStream(pa_stream*, void* userdata) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
    }
    static void signalLoopOnSuccess(pa_stream*, int, void* userdata) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
    }
    // The endless tone, if one was asked for; touched only under the loop's lock.
    double continuousFrequencyHz = 0;
    float continuousAmplitude = 0;
    int64_t continuousFrame = 0;

    // Keeps the sink fed between bursts: with silence, or with the endless tone.
    static void writeFill(pa_stream* stream, size_t bytes, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        std::vector<float> fill(bytes / sizeof(float), 0.0f);
        if (self->continuousFrequencyHz > 0) {
            for (size_t i = 0; i + 1 < fill.size(); i += kChannels) {
                // The phase is reduced to one period each time, so it stays exact over any length.
                const double cycles =
                    std::fmod(self->continuousFrequencyHz * static_cast<double>(self->continuousFrame++), kRate) / kRate;
                const auto value = static_cast<float>(self->continuousAmplitude * std::sin(2.0 * std::numbers::pi * cycles));
                fill[i] = value;
                fill[i + 1] = value;
            }
        }
        pa_stream_write(stream, fill.data(), fill.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
    }
};

std::unique_ptr<TonePlayer> TonePlayer::open(const std::string& sinkName, std::chrono::microseconds bufferLength) {
    auto impl = std::make_unique<Impl>();
    impl->loop.reset(pa_threaded_mainloop_new());
    pa_threaded_mainloop* loop = impl->loop.get();
    impl->context.reset(pa_context_new(pa_threaded_mainloop_get_api(loop), "tone-player"));
    pa_context* context = impl->context.get();
    pa_context_set_state_callback(context, &Impl::signalLoop, loop);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        throw std::runtime_error(std::string("tone player: no sound server: ") + pa_strerror(pa_context_errno(context)));
    }
    if (pa_threaded_mainloop_start(loop) < 0) throw std::runtime_error("tone player: cannot start its loop");

    const LoopLock lock(loop);
    while (pa_context_get_state(context) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            throw std::runtime_error(std::string("tone player: connection failed: ") +
                                     pa_strerror(pa_context_errno(context)));
        }
        pa_threaded_mainloop_wait(loop);
    }
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kRate, kChannels};
    impl->stream.reset(pa_stream_new(context, "tone", &format, nullptr));
    pa_stream* stream = impl->stream.get();
    pa_stream_set_state_callback(stream, &Impl::signalLoopFromStream, loop);
    pa_stream_set_write_callback(stream, &Impl::writeFill, impl.get());
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(bufferLength.count()), &format));
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream, sinkName.c_str(), &attributes, flags, nullptr, nullptr) < 0) {
        throw std::runtime_error("tone player: cannot play into " + sinkName);
    }
    while (pa_stream_get_state(stream) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            throw std::runtime_error("tone player: cannot play into " + sinkName + ": " +
                                     pa_strerror(pa_context_errno(context)));
        }
        pa_threaded_mainloop_wait(loop);
    }
    // The latency is only known once the server has reported the stream's timing.
    pa_usec_t latency = 0;
    int negative = 0;
    while (pa_stream_get_latency(stream, &latency, &negative) < 0) {
        pa_operation* update = pa_stream_update_timing_info(stream, &Impl::signalLoopOnSuccess, loop);
        if (update == nullptr) throw std::runtime_error("tone player: no timing information");
        while (pa_operation_get_state(update) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
        pa_operation_unref(update);
    }
    return std::unique_ptr<TonePlayer>(new TonePlayer(std::move(impl)));
}

TonePlayer::TonePlayer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TonePlayer::~TonePlayer() = default;

int64_t TonePlayer::playTone(double frequencyHz, std::chrono::milliseconds length, float amplitude) {
    const auto frames = static_cast<size_t>(length.count()) * kRate / 1000;
    std::vector<float> tone(frames * kChannels);
    for (size_t i = 0; i < frames; ++i) {
        const auto value = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequencyHz * i / kRate));
        tone[i * kChannels] = value;
        tone[i * kChannels + 1] = value;
    }
    const LoopLock lock(impl_->loop.get());
    pa_stream* stream = impl_->stream.get();
    // The playback latency is the time until the next sample written is played.
    pa_usec_t latency = 0;
    int negative = 0;
    pa_stream_get_latency(stream, &latency, &negative);
    const int64_t nowNs = monotonicNowNs();
    pa_stream_write(stream, tone.data(), tone.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
    const auto latencyNs = static_cast<int64_t>(latency) * 1000;
    return negative != 0 ? nowNs - latencyNs : nowNs + latencyNs;
}

void TonePlayer::playContinuousTone(double frequencyHz, float amplitude) {
    const LoopLock lock(impl_->loop.get());
    impl_->continuousFrequencyHz = frequencyHz;
    impl_->continuousAmplitude = amplitude;
}

int64_t findOnset(const float* samples, size_t frameCount, int64_t startNs, float threshold) {
    for (size_t frame = 0; frame < frameCount; ++frame) {
        for (int channel = 0; channel < kChannels; ++channel) {
            if (std::abs(samples[frame * kChannels + channel]) >= threshold) {
                return startNs + static_cast<int64_t>(frame) * 1'000'000'000 / kRate;
            }
        }
    }
    return -1;
}

}  // namespace pulsetest
