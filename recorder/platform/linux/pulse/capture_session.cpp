#include "recorder/platform/linux/pulse/capture_session.hpp"

#include <pulse/error.h>

#include <algorithm>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/pulse/pulse_connection.hpp"

namespace recorder::linux_backend::pulse {

namespace {

// Small record fragments make audio start promptly and keep each buffer's span short. The last
// buffer before a stop ends up to a fragment before it, so a separate audio file can end that much
// before the picture; 10 ms keeps that under a video frame at 60 fps.
constexpr int64_t kFragmentNs = 10'000'000;
// How long the start may take before the caller gets an error instead of waiting on.
constexpr int64_t kStartTimeoutNs = 3'000'000'000;
// A vanished source or server is looked for again this often; more often only adds load to a
// server that is restarting.
constexpr int64_t kRetryIntervalNs = 1'000'000'000;
// Silence never fills more than this much of the past at once (after the process was stopped
// in a debugger, say); beyond it the timeline simply starts again at the present.
constexpr int64_t kMaxSilenceCatchUpNs = 2'000'000'000;
// A new stream's first timing reports are unreliable: a monitor's first report can carry the
// output's latency from before the stream was set up (tens of ms), and libpulse then glides to
// the true value. Audio read in this time is dropped rather than stamped wrongly; the first
// timing updates come after 10, 20, 40 and 80 ms, so this covers them.
constexpr int64_t kWarmUpNs = 200'000'000;
// The server can hand a monitor's audio over in pieces of a millisecond or less; they are
// gathered into buffers of at least this many frames (10 ms), so that the consumer is not called
// a thousand times a second.
constexpr int64_t kMinimumBufferFrames = CaptureSession::kSampleRate / 100;
constexpr int64_t kSilenceFrames = kFragmentNs * CaptureSession::kSampleRate / 1'000'000'000;
constexpr size_t kBytesPerFrame = sizeof(float) * CaptureSession::kChannelCount;

int64_t hostNowNs() { return common::hostTimeNow().nanoseconds(); }

int64_t framesToNs(int64_t frames) { return frames * 1'000'000'000 / CaptureSession::kSampleRate; }

pa_sample_spec deliveredFormat() {
    return pa_sample_spec{PA_SAMPLE_FLOAT32LE, CaptureSession::kSampleRate, CaptureSession::kChannelCount};
}

}  // namespace

CaptureSession::CaptureSession(CaptureTarget target, AudioHandler handler)
    : target_(std::move(target)), handler_(std::move(handler)), loop_(pa_mainloop_new()) {}

CaptureSession::~CaptureSession() = default;

void CaptureSession::requestStop() {
    stopRequested_ = true;
    if (loop_) pa_mainloop_wakeup(loop_.get());
}

void CaptureSession::requestFinish(int64_t hostNs) {
    // Set before the finishing moment, so that the capture thread never sees one without the other.
    finishGiveUpNs_ = hostNowNs() + kFinishLimitNs;
    finishAtNs_ = hostNs;
    if (loop_) pa_mainloop_wakeup(loop_.get());
}

bool CaptureSession::reachedFinish() const {
    const int64_t finishAtNs = finishAtNs_;
    const auto nextStartNs = timeline_.nextStartNs();
    return finishAtNs != kNoFinish && nextStartNs && *nextStartNs >= finishAtNs;
}

bool CaptureSession::finishedDelivering(int64_t nowNs) const {
    const int64_t finishAtNs = finishAtNs_;
    if (finishAtNs == kNoFinish) return false;
    if (phase_ != Phase::running || nowNs >= finishGiveUpNs_) return true;
    const auto nextStartNs = timeline_.nextStartNs();
    if (!nextStartNs) return false;
    const int64_t pendingFrames = static_cast<int64_t>(pending_.size() / kChannelCount);
    return *nextStartNs + framesToNs(pendingFrames) >= finishAtNs;
}

void CaptureSession::run(std::promise<common::Status> started) {
    std::optional<std::promise<common::Status>> pendingStart(std::move(started));
    const auto reportStart = [&pendingStart](common::Status status) {
        if (!pendingStart) return;
        pendingStart->set_value(std::move(status));
        pendingStart.reset();
    };
    if (!loop_) {
        reportStart(common::Error{"PulseAudio", PA_ERR_INTERNAL, "cannot create a sound server event loop"});
        return;
    }
    if (!connectContext()) {
        const int code = context_ ? pa_context_errno(context_.get()) : PA_ERR_INTERNAL;
        reportStart(common::Error{"PulseAudio", code, std::string("no sound server answers (") + pa_strerror(code) + ")"});
        return;
    }
    const int64_t startDeadlineNs = hostNowNs() + kStartTimeoutNs;
    while (!stopRequested_) {
        const int64_t nowNs = hostNowNs();
        if (phase_ == Phase::starting) {
            if (settled(nowNs)) {
                phase_ = Phase::running;
                reportStart(std::nullopt);
            } else if (auto failure = startupFailure()) {
                reportStart(std::move(failure));
                return;
            } else if (nowNs >= startDeadlineNs) {
                reportStart(common::Error{"PulseAudio", PA_ERR_TIMEOUT,
                                          "the sound server did not open '" + target_.sourceName + "' in time"});
                return;
            }
        } else {
            dropBrokenObjects();
            deliverDueSilence(nowNs);
            retryIfDue(nowNs);
        }
        if (finishedDelivering(nowNs)) {
            // The last piece may be shorter than a buffer usually is; it is real audio all the same.
            deliverPending();
            // What the source has not delivered by now will not be part of the recording: the
            // recording still lasts to its end.
            if (phase_ == Phase::running) deliverSilenceUntil(finishAtNs_);
            break;
        }
        if (!iterateLoop(loop_.get(), waitBudget(nowNs, startDeadlineNs))) break;
    }
    reportStart(common::Error{"PulseAudio", PA_ERR_KILLED, "the audio capture was stopped while it started"});
}

bool CaptureSession::connectContext() {
    stream_.reset();
    context_.reset(pa_context_new(pa_mainloop_get_api(loop_.get()), kClientName));
    if (!context_) return false;
    pa_context_set_state_callback(context_.get(), &CaptureSession::onContextState, this);
    return beginConnect(context_.get());
}

bool CaptureSession::openStream() {
    const pa_sample_spec format = deliveredFormat();
    pa_channel_map stereo;
    pa_channel_map_init_stereo(&stereo);
    // The server converts to this format and spreads a mono source over both channels.
    stream_.reset(pa_stream_new(context_.get(), target_.streamName.c_str(), &format, &stereo));
    if (!stream_) return false;
    pa_stream_set_state_callback(stream_.get(), &CaptureSession::onStreamState, this);
    pa_stream_set_read_callback(stream_.get(), &CaptureSession::onReadable, this);
    pa_stream_set_moved_callback(stream_.get(), &CaptureSession::onMoved, this);

    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentNs / 1000, &format));
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                PA_STREAM_ADJUST_LATENCY);
    // A chosen device must not be swapped for another one when it is unplugged: the server then
    // ends the stream, and silence stands in until that very device is back.
    if (!target_.followsDefault) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_.get(), target_.sourceName.c_str(), &attributes, flags) < 0) {
        onStreamState(stream_.get(), this);
        stream_.reset();
        return false;
    }
    return true;
}

void CaptureSession::onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<CaptureSession*>(userdata);
    if (pa_context_get_state(context) == PA_CONTEXT_READY && !self->stream_) self->openStream();
}

void CaptureSession::onStreamState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<CaptureSession*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        self->streamReadyNs_ = hostNowNs();
        // A stream connected again after a loss goes to whatever the default is by then.
        if (self->phase_ == Phase::running) self->checkSourceKind();
    }
    if (self->phase_ == Phase::starting && !PA_STREAM_IS_GOOD(state)) {
        self->streamFailedAtStart_ = true;
        self->streamFailureCode_ = pa_context_errno(self->context_.get());
        self->streamFailureText_ = pa_strerror(self->streamFailureCode_);
    }
}

void CaptureSession::onMoved(pa_stream*, void* userdata) {
    auto* self = static_cast<CaptureSession*>(userdata);
    if (self->phase_ == Phase::running) self->checkSourceKind();
}

void CaptureSession::checkSourceKind() {
    if (target_.monitorsAccepted || !stream_ || !context_) return;
    pa_operation* query = pa_context_get_source_info_by_index(context_.get(), pa_stream_get_device_index(stream_.get()),
                                                              &CaptureSession::onSourceInfo, this);
    if (query != nullptr) pa_operation_unref(query);
}

void CaptureSession::onSourceInfo(pa_context*, const pa_source_info* info, int endOfList, void* userdata) {
    auto* self = static_cast<CaptureSession*>(userdata);
    if (endOfList != 0 || info == nullptr || !self->stream_) return;
    // An answer about a source the stream has since left is stale.
    if (pa_stream_get_device_index(self->stream_.get()) != info->index) return;
    if (info->monitor_of_sink == PA_INVALID_INDEX) return;
    // Ending the stream makes it a lost source: silence stands in, and the default is tried again
    // later, when it may be a real input once more. The answer comes long before the new stream's
    // warm-up has passed, so none of the monitor's audio has been delivered.
    self->discardAvailable();
    pa_stream_disconnect(self->stream_.get());
}

void CaptureSession::onReadable(pa_stream*, size_t, void* userdata) {
    static_cast<CaptureSession*>(userdata)->readAvailable();
}

void CaptureSession::readAvailable() {
    // Until the start has been reported, the caller has no capture object yet to receive audio for.
    if (phase_ == Phase::starting || !settled(hostNowNs())) {
        discardAvailable();
        return;
    }
    while (stream_ && !stopRequested_) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream_.get(), &data, &bytes) < 0 || bytes == 0) break;
        const int64_t nowNs = hostNowNs();
        if (pending_.empty()) pendingStartNs_ = measureStart(nowNs, static_cast<int64_t>(bytes / kBytesPerFrame));
        // A hole (no data) is a stretch the server has no audio for: it is silence.
        const size_t count = bytes / kBytesPerFrame * kChannelCount;
        if (data != nullptr) {
            const auto* values = static_cast<const float*>(data);
            pending_.insert(pending_.end(), values, values + count);
        } else {
            pending_.resize(pending_.size() + count, 0.0f);
        }
        pa_stream_drop(stream_.get());
    }
    if (pending_.size() >= static_cast<size_t>(kMinimumBufferFrames) * kChannelCount) deliverPending();
}

void CaptureSession::deliverPending() {
    if (pending_.empty()) return;
    // Read in the same pass as the audio that reached the finishing moment: it is past the end.
    if (reachedFinish()) {
        pending_.clear();
        return;
    }
    const auto frames = static_cast<int64_t>(pending_.size() / kChannelCount);
    std::vector<float> samples;
    samples.swap(pending_);
    deliver(timeline_.place(pendingStartNs_, frames), std::move(samples));
}

void CaptureSession::discardAvailable() {
    const void* data = nullptr;
    size_t bytes = 0;
    while (stream_ && pa_stream_peek(stream_.get(), &data, &bytes) == 0 && bytes > 0) pa_stream_drop(stream_.get());
}

int64_t CaptureSession::measureStart(int64_t nowNs, int64_t firstChunkFrames) const {
    // Asked before the first drop: the stream's read position is then the first sample about to
    // be read, and its latency is how long ago that sample was captured (for a monitor: played).
    pa_usec_t latencyUs = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_.get(), &latencyUs, &negative) == 0) {
        const auto latencyNs = static_cast<int64_t>(latencyUs) * 1000;
        return negative != 0 ? nowNs + latencyNs : nowNs - latencyNs;
    }
    // No timing information yet (only at the very start): the chunk has only just arrived.
    return nowNs - framesToNs(firstChunkFrames);
}

void CaptureSession::dropBrokenObjects() {
    const bool streamBroken = stream_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()));
    const bool contextBroken = context_ && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()));
    // What was read before the loss is real audio: it goes out before any silence.
    if (streamBroken || contextBroken) deliverPending();
    if (streamBroken) stream_.reset();
    if (contextBroken) {
        stream_.reset();
        context_.reset();
    }
}

common::Status CaptureSession::startupFailure() const {
    if (!context_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()))) {
        const int code = context_ ? pa_context_errno(context_.get()) : PA_ERR_CONNECTIONREFUSED;
        return common::Error{"PulseAudio", code, std::string("no sound server answers (") + pa_strerror(code) + ")"};
    }
    if (!streamFailedAtStart_) return std::nullopt;
    if (streamFailureCode_ == PA_ERR_NOENTITY) return common::Error{"PulseAudio", PA_ERR_NOENTITY, target_.missingMessage};
    return common::Error{"PulseAudio", streamFailureCode_,
                         "cannot record from '" + target_.sourceName + "': " + streamFailureText_};
}

bool CaptureSession::streaming() const {
    return stream_ && pa_stream_get_state(stream_.get()) == PA_STREAM_READY;
}

bool CaptureSession::settled(int64_t nowNs) const { return streaming() && nowNs - streamReadyNs_ >= kWarmUpNs; }

void CaptureSession::deliverDueSilence(int64_t nowNs) {
    // A connected source is waited for however late its audio comes (a loaded machine, a server
    // that hands a monitor over in large blocks): silence for that time would take the place of
    // the sound that is still on its way. Only a source that is gone, or not yet back, gets it.
    if (settled(nowNs)) return;
    deliverSilenceUntil(nowNs);
}

void CaptureSession::deliverSilenceUntil(int64_t untilNs) {
    deliverPending();
    if (!timeline_.nextStartNs() || untilNs - *timeline_.nextStartNs() > kMaxSilenceCatchUpNs) {
        timeline_.restartAt(untilNs - kFragmentNs);
    }
    // Silence is handed out as its time passes, so it follows the host clock like real audio.
    for (int64_t startNs = *timeline_.nextStartNs(); !stopRequested_ && !reachedFinish() && startNs + kFragmentNs <= untilNs;
         startNs = *timeline_.nextStartNs()) {
        deliver(timeline_.place(startNs, kSilenceFrames),
                std::vector<float>(static_cast<size_t>(kSilenceFrames) * kChannelCount, 0.0f));
    }
}

void CaptureSession::retryIfDue(int64_t nowNs) {
    if (streaming() || nowNs < nextRetryNs_) return;
    nextRetryNs_ = nowNs + kRetryIntervalNs;
    if (!context_) {
        connectContext();
    } else if (pa_context_get_state(context_.get()) == PA_CONTEXT_READY && !stream_) {
        openStream();
    }
}

std::chrono::microseconds CaptureSession::waitBudget(int64_t nowNs, int64_t startDeadlineNs) const {
    int64_t untilNs = 0;
    if (phase_ == Phase::starting) {
        untilNs = streaming() ? std::min(startDeadlineNs, streamReadyNs_ + kWarmUpNs) : startDeadlineNs;
    } else if (streaming() && !settled(nowNs)) {
        untilNs = std::min(streamReadyNs_ + kWarmUpNs, timeline_.nextStartNs().value_or(nowNs) + kFragmentNs);
    } else if (streaming()) {
        // Reads and state changes wake the loop; nothing is due until then.
        untilNs = nowNs + kRetryIntervalNs;
    } else {
        untilNs = std::min(nextRetryNs_, timeline_.nextStartNs().value_or(nowNs) + kFragmentNs);
    }
    if (finishAtNs_ != kNoFinish) untilNs = std::min<int64_t>(untilNs, finishGiveUpNs_);
    return std::chrono::microseconds(std::max<int64_t>(0, (untilNs - nowNs) / 1000) + 1);
}

void CaptureSession::deliver(int64_t startNs, std::vector<float> samples) {
    if (stopRequested_) return;
    auto audio = std::make_shared<platform::AudioData>();
    audio->sampleRate = kSampleRate;
    audio->channelCount = kChannelCount;
    audio->samples = std::move(samples);
    platform::SampleTimingInfo timing;
    timing.duration = common::MediaTime::make(static_cast<int64_t>(audio->frameCount()), kSampleRate);
    timing.presentationTimeStamp = common::hostTimeFromNanoseconds(startNs);
    handler_(platform::SampleBuffer::makeAudio(std::move(audio), timing));
}

}  // namespace recorder::linux_backend::pulse
