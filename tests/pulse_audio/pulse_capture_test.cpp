// Capture from a real private sound server: what is played into the test desktop's output and
// microphone feed must come back in the right capture, at the right host time, without gaps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "tests/pulse_audio/buffer_collector.hpp"
#include "tests/pulse_audio/tone_player.hpp"
#include "tests/support/desktop/test_desktop.hpp"

namespace {

using namespace std::chrono_literals;
using recorder::linux_backend::AudioSourceKind;
using recorder::linux_backend::startAudioSource;
using pulsetest::BufferCollector;
using pulsetest::Buffers;

// A tone must be found within this distance of the moment it was played.
constexpr int64_t kOnsetToleranceNs = 20'000'000;
// Consecutive buffers must follow on within this distance.
constexpr int64_t kContinuityToleranceNs = 1'000'000;

int64_t nowNs() { return common::hostTimeNow().nanoseconds(); }

class PulseCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::DesktopOptions options;
        options.windowManager = false;
        options.pulseAudio = true;
        desktop_ = testsupport::TestDesktop::start(options);
        // The capture finds its server the way the recorder does: through the environment.
        for (const auto& [name, value] : desktop_->environment()) setenv(name.c_str(), value.c_str(), 1);
    }

    // Records the test microphone until its audio flows, then unplugs it.
    void recordMicrophoneThenUnplugIt(BufferCollector& microphone,
                                      std::unique_ptr<recorder::linux_backend::AudioSource>& source) {
        auto started = startAudioSource(AudioSourceKind::microphone, std::string("mic"), microphone.handler());
        ASSERT_TRUE(started.ok()) << started.error().message;
        source = std::move(started).value();
        ASSERT_TRUE(microphone.waitUntilCovered(nowNs(), 5s));
        const auto unplug = desktop_->run("pactl unload-module module-remap-source");
        ASSERT_EQ(unplug.status, 0) << unplug.output;
    }

    std::unique_ptr<testsupport::TestDesktop> desktop_;
};

TEST_F(PulseCaptureTest, ListsTheMicrophoneButNoMonitor) {
    EXPECT_TRUE(recorder::linux_backend::audioServerAnswers());
    const auto microphones = recorder::linux_backend::listMicrophones();
    bool foundTestMic = false;
    for (const auto& device : microphones) {
        if (device.localizedName == "TestMic" && device.uniqueID == "mic") foundTestMic = true;
        EXPECT_EQ(device.uniqueID.find(".monitor"), std::string::npos) << device.uniqueID;
    }
    EXPECT_TRUE(foundTestMic);
}

TEST_F(PulseCaptureTest, MissingSourceIsReportedByName) {
    BufferCollector collector;
    const auto source = startAudioSource(AudioSourceKind::microphone, std::string("xyz"), collector.handler());
    ASSERT_FALSE(source.ok());
    EXPECT_EQ(source.error().message, "the audio source 'xyz' does not exist");
    EXPECT_TRUE(collector.snapshot().empty());
}

TEST_F(PulseCaptureTest, EachToneArrivesInItsOwnCaptureAtTheTimeItPlayed) {
    BufferCollector system;
    BufferCollector microphone;
    auto systemSource = startAudioSource(AudioSourceKind::systemAudio, std::nullopt, system.handler());
    ASSERT_TRUE(systemSource.ok()) << systemSource.error().message;
    auto microphoneSource = startAudioSource(AudioSourceKind::microphone, std::nullopt, microphone.handler());
    ASSERT_TRUE(microphoneSource.ok()) << microphoneSource.error().message;
    ASSERT_TRUE(system.waitUntilCovered(nowNs(), 5s));
    ASSERT_TRUE(microphone.waitUntilCovered(nowNs(), 5s));
    const int64_t listenFromNs = nowNs();

    auto outputPlayer = pulsetest::TonePlayer::open("sysout");
    auto microphonePlayer = pulsetest::TonePlayer::open("micfeed");
    const int64_t systemToneNs = outputPlayer->playTone(1000.0, 300ms);
    ASSERT_TRUE(system.waitUntilCovered(systemToneNs + 500'000'000, 5s));
    const int64_t microphoneToneNs = microphonePlayer->playTone(440.0, 300ms);
    ASSERT_TRUE(microphone.waitUntilCovered(microphoneToneNs + 500'000'000, 5s));
    ASSERT_TRUE(system.waitUntilCovered(microphoneToneNs + 500'000'000, 5s));
    systemSource.value()->stop();
    microphoneSource.value()->stop();

    const Buffers systemBuffers = system.snapshot();
    const Buffers microphoneBuffers = microphone.snapshot();
    const int64_t systemOnset = pulsetest::firstOnset(systemBuffers, listenFromNs);
    const int64_t microphoneOnset = pulsetest::firstOnset(microphoneBuffers, listenFromNs);
    ASSERT_GE(systemOnset, 0) << "the tone played into the output never arrived";
    ASSERT_GE(microphoneOnset, 0) << "the tone played into the microphone never arrived";
    EXPECT_NEAR(static_cast<double>(systemOnset - systemToneNs), 0.0, kOnsetToleranceNs) << "ns off";
    // The microphone heard nothing of the output's tone: its first sound is its own tone.
    EXPECT_NEAR(static_cast<double>(microphoneOnset - microphoneToneNs), 0.0, kOnsetToleranceNs) << "ns off";
    // And the output heard nothing of the microphone's tone.
    EXPECT_EQ(pulsetest::firstOnset(systemBuffers, systemToneNs + 400'000'000), -1);
}

TEST_F(PulseCaptureTest, AMonoMicrophoneFillsBothChannels) {
    BufferCollector microphone;
    auto source = startAudioSource(AudioSourceKind::microphone, std::string("mic"), microphone.handler());
    ASSERT_TRUE(source.ok()) << source.error().message;
    ASSERT_TRUE(microphone.waitUntilCovered(nowNs(), 5s));
    auto player = pulsetest::TonePlayer::open("micfeed");
    const int64_t toneNs = player->playTone(440.0, 300ms);
    ASSERT_TRUE(microphone.waitUntilCovered(toneNs + 400'000'000, 5s));
    source.value()->stop();

    float left = 0.0f;
    float right = 0.0f;
    for (const auto& buffer : microphone.snapshot()) {
        const auto& audio = *buffer->audioData();
        ASSERT_EQ(audio.channelCount, 2);
        ASSERT_EQ(audio.sampleRate, 48000);
        for (size_t frame = 0; frame < audio.frameCount(); ++frame) {
            left = std::max(left, std::abs(audio.samples[frame * 2]));
            right = std::max(right, std::abs(audio.samples[frame * 2 + 1]));
        }
    }
    EXPECT_GT(left, 0.2f);
    EXPECT_GT(right, 0.2f);
}

TEST_F(PulseCaptureTest, BuffersFollowOnWithoutGapsOrOverlaps) {
    BufferCollector system;
    auto source = startAudioSource(AudioSourceKind::systemAudio, std::nullopt, system.handler());
    ASSERT_TRUE(source.ok()) << source.error().message;
    ASSERT_TRUE(system.waitUntil([](const Buffers& buffers) { return pulsetest::coveredNs(buffers) >= 3'000'000'000; },
                                 10s));
    source.value()->stop();

    const Buffers buffers = system.snapshot();
    ASSERT_GT(buffers.size(), 50u);
    for (size_t i = 0; i < buffers.size(); ++i) {
        const auto& buffer = *buffers[i];
        ASSERT_TRUE(buffer.isValid());
        EXPECT_FALSE(buffer.decodeTimeStamp().isValid());
        EXPECT_EQ(buffer.duration(),
                  common::MediaTime::make(static_cast<int64_t>(buffer.audioData()->frameCount()), 48000));
        if (i == 0) continue;
        const int64_t expectedNs = BufferCollector::endNs(*buffers[i - 1]);
        EXPECT_NEAR(static_cast<double>(buffer.presentationTimeStamp().nanoseconds() - expectedNs), 0.0,
                    kContinuityToleranceNs)
            << "buffer " << i;
    }
}

TEST_F(PulseCaptureTest, ALostServerLeavesSilenceUntilStop) {
    BufferCollector system;
    auto source = startAudioSource(AudioSourceKind::systemAudio, std::nullopt, system.handler());
    ASSERT_TRUE(source.ok()) << source.error().message;
    ASSERT_TRUE(system.waitUntilCovered(nowNs(), 5s));
    desktop_->killPulseAudio();
    const size_t beforeLoss = system.snapshot().size();
    const int64_t lostAtNs = nowNs();

    // Silence keeps the timeline going for longer than a reconnect attempt takes.
    ASSERT_TRUE(system.waitUntilCovered(lostAtNs + 1'500'000'000, 5s));
    source.value()->stop();
    const Buffers buffers = system.snapshot();
    ASSERT_GT(buffers.size(), beforeLoss);
    for (size_t i = beforeLoss; i < buffers.size(); ++i) {
        for (float sample : buffers[i]->audioData()->samples) ASSERT_EQ(sample, 0.0f) << "buffer " << i;
    }
    // The silence follows the host clock: its end is close to the moment capture was stopped.
    EXPECT_NEAR(static_cast<double>(BufferCollector::endNs(*buffers.back()) - nowNs()), 0.0, 100'000'000);
}

TEST_F(PulseCaptureTest, AnUnpluggedMicrophoneIsSilentAndComesBack) {
    BufferCollector microphone;
    std::unique_ptr<recorder::linux_backend::AudioSource> source;
    ASSERT_NO_FATAL_FAILURE(recordMicrophoneThenUnplugIt(microphone, source));
    const int64_t unpluggedNs = nowNs();
    ASSERT_TRUE(microphone.waitUntilCovered(unpluggedNs + 500'000'000, 5s));
    const auto replug = desktop_->run(
        "pactl load-module module-remap-source source_name=mic master=micfeed.monitor "
        "source_properties=device.description=TestMic");
    ASSERT_EQ(replug.status, 0) << replug.output;

    // Within a reconnect interval or two the same microphone is recorded again.
    auto player = pulsetest::TonePlayer::open("micfeed");
    int64_t heardNs = -1;
    int64_t toneNs = 0;
    const int64_t giveUpNs = nowNs() + 5'000'000'000;
    while (heardNs < 0 && nowNs() < giveUpNs) {
        toneNs = player->playTone(440.0, 200ms);
        ASSERT_TRUE(microphone.waitUntilCovered(toneNs + 400'000'000, 5s));
        heardNs = pulsetest::firstOnset(microphone.snapshot(), toneNs - 100'000'000);
    }
    source->stop();
    ASSERT_GE(heardNs, 0) << "the microphone was not recorded again after it came back";

    // While it was gone, the buffers kept the timeline going without a gap.
    const Buffers buffers = microphone.snapshot();
    for (size_t i = 1; i < buffers.size(); ++i) {
        const int64_t startNs = buffers[i]->presentationTimeStamp().nanoseconds();
        if (startNs < unpluggedNs || startNs > unpluggedNs + 500'000'000) continue;
        EXPECT_NEAR(static_cast<double>(startNs - BufferCollector::endNs(*buffers[i - 1])), 0.0, kContinuityToleranceNs);
    }
}

// Audio reaches the capture a little after it was played; a capture that is finished rather than
// stopped still delivers everything up to the finishing moment, so a recording's sound does not
// end short of its picture.
TEST_F(PulseCaptureTest, AFinishedCaptureDeliversTheSoundUpToTheFinishingMoment) {
    auto player = pulsetest::TonePlayer::open("sysout");
    BufferCollector system;
    auto source = startAudioSource(AudioSourceKind::systemAudio, std::nullopt, system.handler());
    ASSERT_TRUE(source.ok()) << source.error().message;
    const int64_t toneNs = player->playTone(440.0, 8s);
    ASSERT_TRUE(system.waitUntilCovered(toneNs + 500'000'000, 5s));
    for (int round = 0; round < 5; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * round));  // anywhere in a buffer
        const int64_t finishNs = nowNs();
        source.value()->finishAt(finishNs);
        source.value()->stop();
        const Buffers buffers = system.snapshot();
        const int64_t endNs = BufferCollector::endNs(*buffers.back());
        EXPECT_GE(endNs, finishNs) << "round " << round << ": sound ends " << (finishNs - endNs) / 1e6
                                   << " ms before the finishing moment";
        // Nothing but the buffer that holds the finishing moment is delivered beyond it.
        EXPECT_LT(buffers.back()->presentationTimeStamp().nanoseconds(), finishNs) << "round " << round;
        // What was delivered last is the tone itself, not silence standing in for it.
        EXPECT_GE(pulsetest::firstOnset({buffers.back()}, 0), 0) << "round " << round;
        system.clear();
        source = startAudioSource(AudioSourceKind::systemAudio, std::nullopt, system.handler());
        ASSERT_TRUE(source.ok()) << source.error().message;
        ASSERT_TRUE(system.waitUntilCovered(nowNs() + 50'000'000, 5s));
    }
    source.value()->stop();
}

// A source with nothing to hand over (its device is gone) cannot hold a finishing capture up.
TEST_F(PulseCaptureTest, AFinishedCaptureWhoseSourceIsGoneStillEnds) {
    BufferCollector microphone;
    std::unique_ptr<recorder::linux_backend::AudioSource> source;
    ASSERT_NO_FATAL_FAILURE(recordMicrophoneThenUnplugIt(microphone, source));
    const auto stopping = std::chrono::steady_clock::now();
    source->finishAt(nowNs() + 60'000'000'000);  // far beyond anything it could deliver
    source->stop();
    // Generous: the capture gives up after a fraction of a second; this only tells a hang apart.
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    const size_t delivered = microphone.snapshot().size();
    source.reset();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(microphone.snapshot().size(), delivered) << "audio was delivered after the capture ended";
}

TEST_F(PulseCaptureTest, NoHandlerCallStartsAfterStopReturns) {
    std::atomic<bool> stopped{false};
    std::atomic<int> callsAfterStop{0};
    std::atomic<int> calls{0};
    auto source = startAudioSource(AudioSourceKind::systemAudio, std::nullopt,
                                   [&](std::shared_ptr<recorder::platform::SampleBuffer>) {
                                       if (stopped) ++callsAfterStop;
                                       // A slow consumer widens the window in which a late call could slip in.
                                       std::this_thread::sleep_for(2ms);
                                       ++calls;
                                   });
    ASSERT_TRUE(source.ok()) << source.error().message;
    const int64_t giveUpNs = nowNs() + 5'000'000'000;
    while (calls < 20 && nowNs() < giveUpNs) std::this_thread::sleep_for(1ms);
    ASSERT_GE(calls, 20);
    source.value()->stop();
    stopped = true;
    source.value().reset();
    EXPECT_EQ(callsAfterStop, 0);
}

TEST(PulseWithoutServerTest, NothingAnswersAndCaptureCannotStart) {
    // A server address where nothing listens.
    setenv("PULSE_SERVER", "unix:/nonexistent/pulse/native", 1);
    EXPECT_FALSE(recorder::linux_backend::audioServerAnswers());
    EXPECT_TRUE(recorder::linux_backend::listMicrophones().empty());
    BufferCollector collector;
    const auto source = startAudioSource(AudioSourceKind::systemAudio, std::nullopt, collector.handler());
    ASSERT_FALSE(source.ok());
    EXPECT_EQ(source.error().message.rfind("no sound server answers", 0), 0u) << source.error().message;
}

}  // namespace
