// recorder-agent --list-sources on a desktop with two monitors, two windows and a sound server:
// the document names what is there, and every display and window id it lists records exactly the
// source it names.

#include <nlohmann/json.hpp>

#include "tests/e2e_window/window_recording_harness.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace e2ewindow {
namespace {

using nlohmann::json;
using testsupport::DesktopOptions;
using testsupport::MonitorSpec;

constexpr uint32_t kLeftColour = 0xCC2020, kRightColour = 0x2040D0;

class SourceListing : public WindowRecordingTest {
protected:
    void SetUp() override {
        WindowRecordingTest::SetUp();
        DesktopOptions options;
        options.screenWidth = 1280;
        options.screenHeight = 480;
        options.monitors = {MonitorSpec{"LEFT", 0, 0, 640, 480}, MonitorSpec{"RIGHT", 640, 0, 640, 480}};
        options.pulseAudio = true;
        startDesktop(options);
    }

    // The document, after checking that it came alone on standard output with status 0.
    json listSources() {
        auto agent = testsupport::ChildProcess::spawn({testsupport::testProgramPath("recorder-agent"), "--list-sources"},
                                                      desktop().environment());
        agent->closeStdin();
        const auto status = agent->waitForExit(30s);
        EXPECT_EQ(status, 0) << agent->stderrSoFar();
        EXPECT_EQ(agent->stderrSoFar(), "");
        return json::parse(agent->stdoutSoFar());
    }

    // Records `field`: `id` for a moment; the first frame of the file.
    testsupport::RgbFrame recordFirstFrame(const std::string& field, uint32_t id) {
        const std::string path = outputPath(field + "-" + std::to_string(id) + ".mp4");
        auto run = startRecording(R"({")" + field + R"(":)" + std::to_string(id) + R"(,"outputPath":")" + path + R"("})");
        EXPECT_TRUE(run->waitForLine("Recording started", 15s)) << field << " " << id << ": " << run->errorOutput();
        run->sendCommand("stop");
        EXPECT_EQ(run->waitForExit(30s), 0) << run->errorOutput();
        auto frame = testsupport::decodeFrameAt(path, 0.0);
        if (!frame) {
            ADD_FAILURE() << "no picture in " << path;
            return {};
        }
        return *frame;
    }
};

const json* findById(const json& list, const char* key, uint32_t id) {
    for (const auto& entry : list) {
        if (entry.at(key).get<uint32_t>() == id) return &entry;
    }
    return nullptr;
}

TEST_F(SourceListing, EveryListedIdRecordsTheSourceItNames) {
    auto left = openTestWindow({"--x", "100", "--y", "100", "--width", "200", "--height", "150", "--color", "CC2020",
                                "--title", "Left window"});
    auto right = openTestWindow({"--x", "800", "--y", "150", "--width", "160", "--height", "120", "--color", "2040D0",
                                 "--title", "Right window \xC3\xA9t\xC3\xA9"});
    ASSERT_NE(left.id, 0u);
    ASSERT_NE(right.id, 0u);

    const json sources = listSources();
    EXPECT_EQ(sources.at("sourceSelection"), "list");

    // Displays: both monitors by name, exactly one of them the one recorded by default.
    const json& displays = sources.at("displays");
    ASSERT_EQ(displays.size(), 2u) << displays.dump();
    std::map<std::string, json> byName;
    int primaries = 0;
    for (const auto& display : displays) {
        byName[display.at("name")] = display;
        primaries += display.at("primary").get<bool>() ? 1 : 0;
        EXPECT_EQ(display.at("scale"), 1);
        EXPECT_EQ(display.at("pixelWidth"), 640);
        EXPECT_EQ(display.at("pixelHeight"), 480);
    }
    EXPECT_EQ(primaries, 1);
    ASSERT_TRUE(byName.count("LEFT") && byName.count("RIGHT")) << displays.dump();
    EXPECT_EQ(byName["RIGHT"].at("frame"), (json{{"x", 640}, {"y", 0}, {"width", 640}, {"height", 480}}));
    const uint32_t leftDisplay = byName["LEFT"].at("displayId"), rightDisplay = byName["RIGHT"].at("displayId");

    // Windows: ours with their titles, application, process and place; the newer one on top.
    const json& windows = sources.at("windows");
    const json* leftEntry = findById(windows, "windowId", left.id);
    const json* rightEntry = findById(windows, "windowId", right.id);
    ASSERT_TRUE(leftEntry && rightEntry) << windows.dump();
    EXPECT_LT(rightEntry - &windows[0], leftEntry - &windows[0]) << "topmost first";
    EXPECT_EQ(leftEntry->at("title"), "Left window");
    EXPECT_EQ(rightEntry->at("title"), "Right window \xC3\xA9t\xC3\xA9");
    EXPECT_EQ(leftEntry->at("applicationName"), "TestWindow");
    EXPECT_EQ(leftEntry->at("processId"), left.pid());
    EXPECT_EQ(rightEntry->at("processId"), right.pid());
    const PixelRect leftRect = clientRect(left.id);
    EXPECT_EQ(leftEntry->at("frame"),
              (json{{"x", leftRect.x}, {"y", leftRect.y}, {"width", 200}, {"height", 150}}));
    EXPECT_EQ(leftEntry->at("displayId"), leftDisplay);
    EXPECT_EQ(rightEntry->at("displayId"), rightDisplay);

    // Audio: the desktop's microphone, its default, and an output whose sound can be recorded.
    EXPECT_EQ(sources.at("microphones"),
              (json::array({{{"microphoneDeviceId", "mic"}, {"microphoneLabel", "TestMic"}, {"default", true}}})));
    EXPECT_EQ(sources.at("systemAudioAvailable"), true);

    // Every display: a picture of its size showing the window that lies on it, where it lies.
    for (const auto& display : displays) {
        const uint32_t id = display.at("displayId");
        const auto picture = recordFirstFrame("displayId", id);
        ASSERT_EQ(picture.width, 640);
        ASSERT_EQ(picture.height, 480);
        const bool isLeft = id == leftDisplay;
        const json& window = isLeft ? *leftEntry : *rightEntry;
        const int centreX = window.at("frame").at("x").get<int>() + window.at("frame").at("width").get<int>() / 2 -
                            display.at("frame").at("x").get<int>();
        const int centreY = window.at("frame").at("y").get<int>() + window.at("frame").at("height").get<int>() / 2;
        const uint32_t colour = picture.at(centreX, centreY);
        EXPECT_TRUE(colourNear(colour, isLeft ? kLeftColour : kRightColour))
            << display.at("name") << " shows " << hexColour(colour) << " where its window is";
    }
    // Every window: a picture of its size and colour.
    for (const auto& window : windows) {
        const uint32_t id = window.at("windowId");
        const auto picture = recordFirstFrame("windowId", id);
        EXPECT_EQ(picture.width, window.at("frame").at("width").get<int>() & ~1) << window.dump();
        EXPECT_EQ(picture.height, window.at("frame").at("height").get<int>() & ~1) << window.dump();
        if (id != left.id && id != right.id) continue;
        const uint32_t colour = picture.at(picture.width / 2, picture.height / 2);
        EXPECT_TRUE(colourNear(colour, id == left.id ? kLeftColour : kRightColour))
            << window.at("title") << " recorded as " << hexColour(colour);
    }

    // A window that has closed is no longer offered.
    left.process->closeStdin();
    ASSERT_EQ(left.process->waitForExit(10s), 0);
    const json after = listSources();
    EXPECT_EQ(findById(after.at("windows"), "windowId", left.id), nullptr);
    EXPECT_NE(findById(after.at("windows"), "windowId", right.id), nullptr);
}

}  // namespace
}  // namespace e2ewindow
