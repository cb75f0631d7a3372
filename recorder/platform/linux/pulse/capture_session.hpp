#pragma once

#include <pulse/introspect.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "recorder/platform/linux/pulse/audio_timeline.hpp"
#include "recorder/platform/linux/pulse/pulse_handles.hpp"

namespace recorder::linux_backend::pulse {

// What one capture records from, and how to describe it when it is missing.
struct CaptureTarget {
    std::string sourceName;       // a server source name or "@DEFAULT_MONITOR@" / "@DEFAULT_SOURCE@"
    std::string streamName;       // shown by the server's tools
    bool followsDefault = false;  // may the server move the stream when the device goes away
    std::string missingMessage;   // the error when the server has no such source
    // May the stream record a monitor (what an output plays)? Not a microphone: when the last real
    // input goes away, the server's fallback input is a monitor, and the computer's own sound must
    // not end up in the microphone's recording.
    bool monitorsAccepted = true;
};

// One capture from the sound server, run entirely on one thread (`run`): the connection, the
// record stream, the timestamps, and the silence that stands in for the source while it is gone.
// Keeping every libpulse object on that one thread means no lock is needed around them; the only
// things other threads touch are the stop flag and the loop's wake-up.
class CaptureSession {
public:
    // Audio is delivered in this format whatever the source's own format is; the server converts.
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannelCount = 2;

    CaptureSession(CaptureTarget target, AudioHandler handler);
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // Connects, records and delivers until `requestStop`. `started` receives the outcome of the
    // first connection: nothing once audio can flow, or the error that prevents it (and `run`
    // returns). After a successful start, losing the source or the server never ends `run`.
    void run(std::promise<common::Status> started);

    // Makes `run` return soon; callable from any thread.
    void requestStop();
    // Makes `run` deliver the audio captured before `hostNs` (the sound server hands it over a
    // little later than it was captured) and then return; it gives up waiting for it after
    // kFinishLimitNs from the request. Callable from any thread.
    void requestFinish(int64_t hostNs);
    static constexpr int64_t kFinishLimitNs = 150'000'000;

private:
    enum class Phase { starting, running };

    static void onContextState(pa_context* context, void* userdata);
    static void onStreamState(pa_stream* stream, void* userdata);
    static void onReadable(pa_stream* stream, size_t bytes, void* userdata);
    static void onMoved(pa_stream* stream, void* userdata);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int endOfList, void* userdata);

    bool connectContext();
    // Asks the server what the stream now records from; a monitor that is not accepted ends the stream.
    void checkSourceKind();
    bool openStream();
    void readAvailable();
    void discardAvailable();
    void deliverPending();
    int64_t measureStart(int64_t nowNs, int64_t firstChunkFrames) const;
    void dropBrokenObjects();
    common::Status startupFailure() const;
    bool streaming() const;
    // Connected, and past the first moments in which the stream's timing is not yet trustworthy.
    bool settled(int64_t nowNs) const;
    void deliverDueSilence(int64_t nowNs);
    // Silence for the time the source did not deliver, from where its audio stopped to `untilNs`.
    void deliverSilenceUntil(int64_t untilNs);
    void retryIfDue(int64_t nowNs);
    std::chrono::microseconds waitBudget(int64_t nowNs, int64_t startDeadlineNs) const;
    // After requestFinish: whether the delivered audio reaches the finishing moment.
    bool reachedFinish() const;
    // After requestFinish: whether everything owed has been delivered, or waiting is over.
    bool finishedDelivering(int64_t nowNs) const;
    void deliver(int64_t startNs, std::vector<float> samples);

    CaptureTarget target_;
    AudioHandler handler_;
    std::atomic<bool> stopRequested_{false};
    static constexpr int64_t kNoFinish = INT64_MAX;
    std::atomic<int64_t> finishAtNs_{kNoFinish};
    std::atomic<int64_t> finishGiveUpNs_{kNoFinish};
    Phase phase_ = Phase::starting;
    AudioTimeline timeline_{kSampleRate};
    int64_t streamReadyNs_ = 0;    // when the current stream became ready
    std::vector<float> pending_;   // audio read but not yet delivered
    int64_t pendingStartNs_ = 0;   // measured host time of its first sample
    int64_t nextRetryNs_ = 0;
    bool streamFailedAtStart_ = false;
    int streamFailureCode_ = 0;
    std::string streamFailureText_;

    // The loop outlives the context and the stream attached to it.
    MainloopHandle loop_;
    ContextHandle context_;
    StreamHandle stream_;
};

}  // namespace recorder::linux_backend::pulse
