// Which sound ends up in which file: the routing of system audio and the microphone into the video
// file's audio track and the two separate audio files, the choice of microphone, and the request
// that asks for system audio without saying where to put it.
#include <filesystem>

#include "tests/e2e_audio/audio_desktop_test.hpp"

namespace e2eaudio {
namespace {

using namespace std::chrono_literals;

// Where the two markers of one recording show in its video.
struct PlayedTones {
    std::optional<PictureChange> systemPicture;
    std::optional<PictureChange> microphonePicture;
};

class AudioRoutingTest : public AudioDesktopTest {
protected:
    // Records about three seconds with a system-tone marker and, later, a microphone-tone marker.
    PlayedTones recordBothTones(RecordingRun& run) {
        PlayedTones tones;
        EXPECT_TRUE(run.waitUntilStarted()) << run.transcript();
        waitFor(700ms);
        const auto systemMoment = marker_->fire(*systemPlayer_, kSystemToneHz);
        waitFor(400ms);
        EXPECT_TRUE(marker_->darken());
        waitFor(400ms);
        const auto microphoneMoment = marker_->fire(*microphonePlayer_, kMicrophoneToneHz);
        waitFor(700ms);
        EXPECT_EQ(run.stop(), 0) << run.transcript();
        if (!systemMoment || !microphoneMoment) return tones;

        const auto frames = markerTimeline(files_.file("video.mp4"));
        tones.systemPicture = findBrightening(frames, 0, SyncMarker::kBrightLuma);
        if (!tones.systemPicture) return tones;
        const TimelineAnchor anchor(systemMoment->pictureFromNs, *tones.systemPicture);
        // The next change after the first marker went dark again.
        tones.microphonePicture =
            findBrightening(frames, tones.systemPicture->firstBrightSeconds + 0.1, SyncMarker::kBrightLuma);
        if (tones.microphonePicture) {
            expectChangeAt(*tones.microphonePicture, anchor, microphoneMoment->pictureFromNs, "second marker");
        }
        return tones;
    }

    // `audio` holds the tone shown at `heard`, in sync with its picture, and is silent around `silent`.
    static void expectOnlyTone(const std::optional<AudioOnTimeline>& audio, const std::string& track,
                               const std::optional<PictureChange>& heard, const std::optional<PictureChange>& silent) {
        ASSERT_TRUE(audio.has_value()) << track << " cannot be decoded";
        ASSERT_TRUE(heard) << "the marker of " << track << "'s own tone did not show in the video";
        ASSERT_TRUE(silent) << "the marker of the other tone did not show in the video";
        expectMarkerInSync(*audio, track, heard);
        EXPECT_LT(audio->peakBetween(silent->firstBrightSeconds - 0.1, silent->firstBrightSeconds + 0.3), kSilencePeak)
            << track << " holds the other source's tone; " << audio->describeSounds();
    }
};

struct Routing {
    bool systemAudio = false;
    bool microphone = false;
};

class AudioRoutingTableTest : public AudioRoutingTest, public ::testing::WithParamInterface<Routing> {};

TEST_P(AudioRoutingTableTest, ProducesExactlyTheFilesAndTracksOfTheTable) {
    const Routing routing = GetParam();
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, routing.systemAudio, routing.microphone));
    const PlayedTones tones = recordBothTones(*run);
    const std::string video = files_.file("video.mp4");
    EXPECT_NE(run->standardOutput().find("Recording stopped. Output path: " + video + "\n"), std::string::npos)
        << run->transcript();

    const auto info = testsupport::probeMedia(video);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(countStreams(*info, "video"), 1);
    const bool anyAudio = routing.systemAudio || routing.microphone;
    ASSERT_EQ(countStreams(*info, "audio"), anyAudio ? 1 : 0);
    EXPECT_EQ(std::filesystem::exists(files_.file("system.m4a")), routing.systemAudio);
    // The microphone has a file of its own only next to system audio; alone it goes into the video file.
    EXPECT_EQ(std::filesystem::exists(files_.file("microphone.m4a")), routing.systemAudio && routing.microphone);

    if (routing.systemAudio) {
        expectOnlyTone(decodeAudioOnTimeline(video), "inline track", tones.systemPicture, tones.microphonePicture);
        expectOnlyTone(decodeAudioOnTimeline(files_.file("system.m4a")), "system-audio file", tones.systemPicture,
                       tones.microphonePicture);
        const auto systemInfo = testsupport::probeMedia(files_.file("system.m4a"));
        ASSERT_TRUE(systemInfo.has_value());
        EXPECT_EQ(countStreams(*systemInfo, "audio"), 1);
        EXPECT_EQ(countStreams(*systemInfo, "video"), 0);
    } else if (routing.microphone) {
        expectOnlyTone(decodeAudioOnTimeline(video), "inline track", tones.microphonePicture, tones.systemPicture);
    }
    if (routing.systemAudio && routing.microphone) {
        expectOnlyTone(decodeAudioOnTimeline(files_.file("microphone.m4a")), "microphone file", tones.microphonePicture,
                       tones.systemPicture);
    }
    for (const auto& stream : info->streams) {
        if (stream.codecType != "audio") continue;
        EXPECT_EQ(stream.codecName, "aac");
        EXPECT_EQ(stream.sampleRate, kAudioRate);
        EXPECT_EQ(stream.channels, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCombination, AudioRoutingTableTest,
                         ::testing::Values(Routing{false, false}, Routing{true, false}, Routing{false, true},
                                           Routing{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.systemAudio ? "System" : "NoSystem") +
                                    (info.param.microphone ? "Microphone" : "NoMicrophone");
                         });

// A second microphone, "OtherMic" (identifier "othermic"), hears the system output and is made the
// server's default input: a recording that takes it, or falls back to the default, hears the system
// tone, and one that took "TestMic" hears the microphone tone.
struct MicrophoneChoice {
    const char* name;
    nlohmann::json requestKeys;
    bool recordsTestMic;
};

class MicrophoneChoiceTest : public AudioRoutingTest, public ::testing::WithParamInterface<MicrophoneChoice> {};

TEST_P(MicrophoneChoiceTest, RecordsTheChosenSource) {
    ASSERT_EQ(desktop_
                  ->run("pactl load-module module-remap-source source_name=othermic master=sysout.monitor "
                        "source_properties=device.description=OtherMic && pactl set-default-source othermic")
                  .status,
              0);
    auto request = audioRequest(files_, false, true);
    request.update(GetParam().requestKeys);
    auto run = RecordingRun::launch(*desktop_, request);
    const PlayedTones tones = recordBothTones(*run);
    const auto inlineAudio = decodeAudioOnTimeline(files_.file("video.mp4"));
    if (GetParam().recordsTestMic)
        expectOnlyTone(inlineAudio, "inline track", tones.microphonePicture, tones.systemPicture);
    else
        expectOnlyTone(inlineAudio, "inline track", tones.systemPicture, tones.microphonePicture);
}

INSTANTIATE_TEST_SUITE_P(
    ByLabelAndIdentifier, MicrophoneChoiceTest,
    ::testing::Values(MicrophoneChoice{"Label", {{"microphoneLabel", "TestMic"}}, true},
                      MicrophoneChoice{"Identifier", {{"microphoneDeviceId", "mic"}}, true},
                      MicrophoneChoice{"LabelWithBlanks", {{"microphoneLabel", "  TestMic\n"}}, true},
                      MicrophoneChoice{"LabelBeforeIdentifier",
                                       {{"microphoneLabel", "TestMic"}, {"microphoneDeviceId", "othermic"}},
                                       true},
                      MicrophoneChoice{"IdentifierOfTheOtherDevice", {{"microphoneDeviceId", "othermic"}}, false},
                      MicrophoneChoice{"LabelInOtherCaseFallsBackToDefault", {{"microphoneLabel", "testmic"}}, false},
                      MicrophoneChoice{"NoChoiceTakesDefault", nlohmann::json::object(), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioRoutingTest, SystemAudioWithoutItsPathDoesNotStart) {
    auto request = audioRequest(files_, true, false);
    request.erase("systemAudioOutputPath");
    auto run = RecordingRun::launch(*desktop_, request);
    ASSERT_EQ(run->waitForExit(15s), 1) << run->transcript();
    EXPECT_EQ(run->standardError(), "Error starting capture: Missing system audio output path for audio capture\n");
    EXPECT_EQ(run->standardOutput(), "");
}

TEST_F(AudioRoutingTest, SystemAudioWithAnEmptyPathDoesNotStart) {
    auto request = audioRequest(files_, true, true);
    request["systemAudioOutputPath"] = "";
    auto run = RecordingRun::launch(*desktop_, request);
    ASSERT_EQ(run->waitForExit(15s), 1) << run->transcript();
    EXPECT_EQ(run->standardError(), "Error starting capture: Missing system audio output path for audio capture\n");
}

}  // namespace
}  // namespace e2eaudio
