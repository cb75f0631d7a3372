// pointer-agent as its parent runs it, on a private headless desktop.

#include <gtest/gtest.h>

#include <cairo.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::TestDesktop;

constexpr auto kLineTimeout = 5s;
// The test window's client area on screen (openbox adds 1 px on the left and 20 on top).
constexpr int kWindowX = 100, kWindowY = 100, kWindowWidth = 400, kWindowHeight = 300;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == separator) fields.emplace_back();
        else fields.back() += c;
    }
    return fields;
}

class PointerAgentDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop = TestDesktop::start();
        window = ChildProcess::spawn({testsupport::testProgramPath("test-window"), "--x", std::to_string(kWindowX),
                                      "--y", std::to_string(kWindowY), "--width", std::to_string(kWindowWidth),
                                      "--height", std::to_string(kWindowHeight)},
                                     desktop->environment());
        const auto ready = window->readStdoutLine(kLineTimeout);
        ASSERT_TRUE(ready && ready->rfind("READY ", 0) == 0) << window->stderrSoFar();
        moveOffWindow();
    }

    std::unique_ptr<ChildProcess> startAgent(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), testsupport::testProgramPath("pointer-agent"));
        return ChildProcess::spawn(arguments, desktop->environment());
    }

    void xdotool(const std::string& arguments) {
        const auto result = desktop->run("xdotool " + arguments);
        ASSERT_EQ(result.status, 0) << "xdotool " << arguments << ": " << result.errorOutput;
    }
    void moveOntoWindow() { xdotool("mousemove " + std::to_string(kWindowX + 200) + " " + std::to_string(kWindowY + 170)); }
    void moveOffWindow() { xdotool("mousemove 1500 900"); }
    // Clicks of each button, a held button, a wheel step and an extra button, in this order.
    void clickEverything() {
        xdotool("click 1");
        xdotool("click 3");
        xdotool("click 2");
        xdotool("click 4");  // the wheel: no line
        xdotool("mousedown 1");
        xdotool("mouseup 1");
        xdotool("click 8");  // an extra button: a line in poll mode only
    }
    void showCursor(const std::string& name) {
        window->writeStdin("cursor " + name + "\n");
        ASSERT_TRUE(window->waitForStdoutLine("OK", kLineTimeout)) << name << ": " << window->stdoutSoFar();
    }

    // The next line, failing the test when none comes in time.
    static std::string nextLine(ChildProcess& agent) {
        auto line = agent.readStdoutLine(kLineTimeout);
        EXPECT_TRUE(line) << "no line from pointer-agent; stderr: " << agent.stderrSoFar();
        return line.value_or("<none>");
    }

    static void expectExitZero(ChildProcess& agent) {
        const auto status = agent.waitForExit(kLineTimeout);
        ASSERT_TRUE(status) << "pointer-agent did not end";
        EXPECT_EQ(*status, 0);
    }

    std::unique_ptr<TestDesktop> desktop;
    std::unique_ptr<ChildProcess> window;
};

TEST_F(PointerAgentDesktopTest, StateLinesFollowTheShownCursor) {
    auto agent = startAgent({"--poll-buttons"});
    EXPECT_EQ(nextLine(*agent), "STATE:arrow");
    showCursor("left_ptr");
    moveOntoWindow();
    // Each change prints once; a cursor of the same kind (hand2 then pointer, w-resize then
    // ew-resize) prints nothing.
    const std::vector<std::pair<std::string, std::string>> steps{
        {"xterm", "STATE:text"},           {"hand2", "STATE:pointer"},
        {"pointer", ""},                   {"crosshair", "STATE:crosshair"},
        {"openhand", "STATE:open-hand"},   {"grabbing", "STATE:closed-hand"},
        {"w-resize", "STATE:resize-ew"},   {"ew-resize", ""},
        {"ns-resize", "STATE:resize-ns"},  {"not-allowed", "STATE:not-allowed"},
        {"vertical-text", "STATE:text"},   {"context-menu", "STATE:pointer"},
        {"left_ptr", "STATE:arrow"},
    };
    for (const auto& [cursor, expected] : steps) {
        showCursor(cursor);
        if (expected.empty()) continue;
        EXPECT_EQ(nextLine(*agent), expected) << "after cursor " << cursor;
    }
    showCursor("xterm");
    EXPECT_EQ(nextLine(*agent), "STATE:text");
    moveOffWindow();  // back over the root window's arrow
    EXPECT_EQ(nextLine(*agent), "STATE:arrow");
    EXPECT_FALSE(agent->readStdoutLine(300ms)) << "a state line without a change";

    agent->writeStdin("STOP\n");
    expectExitZero(*agent);
}

const std::vector<std::string> kClickLines{
    "INTERACTION:mousedown:1", "INTERACTION:mouseup:1", "INTERACTION:mousedown:2", "INTERACTION:mouseup:2",
    "INTERACTION:mousedown:3", "INTERACTION:mouseup:3", "INTERACTION:mousedown:1", "INTERACTION:mouseup:1",
};

TEST_F(PointerAgentDesktopTest, ClicksAreTappedFromRawEvents) {
    auto agent = startAgent();
    ASSERT_EQ(nextLine(*agent), "STATE:arrow");
    clickEverything();
    for (const auto& expected : kClickLines) EXPECT_EQ(nextLine(*agent), expected);
    EXPECT_FALSE(agent->readStdoutLine(300ms)) << "the wheel or the eighth button printed a line";
    EXPECT_EQ(agent->stderrSoFar(), "");
    agent->closeStdin();
    expectExitZero(*agent);
}

TEST_F(PointerAgentDesktopTest, ClicksAreCountedInPollMode) {
    auto agent = startAgent({"--poll-buttons"});
    ASSERT_EQ(nextLine(*agent), "STATE:arrow");
    clickEverything();
    auto expected = kClickLines;
    expected.push_back("INTERACTION:mousedown:3");  // the eighth button counts as an other button
    expected.push_back("INTERACTION:mouseup:3");
    for (const auto& line : expected) EXPECT_EQ(nextLine(*agent), line);
    agent->writeStdin("stop\n");
    expectExitZero(*agent);
}

TEST_F(PointerAgentDesktopTest, OnlyAWholeStopLineEndsIt) {
    auto agent = startAgent();
    ASSERT_EQ(nextLine(*agent), "STATE:arrow");
    agent->writeStdin("stop \n stop\nstopping\n");
    EXPECT_FALSE(agent->waitForExit(300ms)) << "ended on a line that is not exactly stop";
    agent->writeStdin("Stop\r\n");
    expectExitZero(*agent);
}

struct DecodedPng {
    int width = 0;
    int height = 0;
};

std::vector<uint8_t> base64Decode(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const int v = value(c);
        if (v < 0) return {};
        bits = bits << 6 | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(uint8_t(bits >> count & 0xFF));
        }
    }
    return bytes;
}

// Decodes the PNG with cairo; width 0 when it is no PNG.
DecodedPng decodePng(const std::vector<uint8_t>& png) {
    struct Reader {
        const std::vector<uint8_t>& data;
        size_t offset = 0;
    } reader{png};
    auto read = [](void* closure, unsigned char* out, unsigned int length) {
        auto* r = static_cast<Reader*>(closure);
        if (r->offset + length > r->data.size()) return CAIRO_STATUS_READ_ERROR;
        std::copy_n(r->data.begin() + std::ptrdiff_t(r->offset), length, out);
        r->offset += length;
        return CAIRO_STATUS_SUCCESS;
    };
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(read, &reader);
    DecodedPng decoded;
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        decoded = {cairo_image_surface_get_width(surface), cairo_image_surface_get_height(surface)};
    }
    cairo_surface_destroy(surface);
    return decoded;
}

// Runs the export and checks every line; returns the decoded sizes by name.
std::vector<std::pair<std::string, DecodedPng>> checkedExport(ChildProcess& agent) {
    const std::vector<std::string> names{"arrow",       "text",      "pointer",   "crosshair", "open-hand",
                                         "closed-hand", "resize-ew", "resize-ns", "not-allowed"};
    std::vector<std::pair<std::string, DecodedPng>> decoded;
    for (const auto& name : names) {
        const auto line = agent.readStdoutLine(kLineTimeout);
        if (!line) {
            ADD_FAILURE() << "no line for " << name << "; stderr: " << agent.stderrSoFar();
            break;
        }
        const auto fields = split(*line, ':');
        if (fields.size() != 6) {
            ADD_FAILURE() << "not six fields: " << line->substr(0, 80);
            continue;
        }
        EXPECT_EQ(fields[0], "CURSOR_IMAGE");
        EXPECT_EQ(fields[1], name);
        const auto png = decodePng(base64Decode(fields[5]));
        EXPECT_GT(png.width, 0) << name << ": the base64 field is no PNG";
        if (png.width == 0) continue;
        // The numbers are ratios of the picture's own size.
        const double aspect = std::stod(fields[4]);
        EXPECT_DOUBLE_EQ(aspect, double(png.width) / png.height) << name;
        for (const auto& ratio : {fields[2], fields[3]}) {
            EXPECT_NE(ratio.find('.'), std::string::npos) << name << ": " << ratio;
            const double value = std::stod(ratio);
            EXPECT_GE(value, 0.0);
            EXPECT_LE(value, 1.0);
        }
        decoded.emplace_back(name, png);
    }
    const auto status = agent.waitForExit(kLineTimeout);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(agent.stdoutSoFar().find("STATE:"), std::string::npos) << "the export also monitored";
    return decoded;
}

TEST_F(PointerAgentDesktopTest, ExportWithADisplayPrintsNineCursors) {
    auto agent = startAgent({"--export-images", "--poll-buttons"});
    EXPECT_EQ(checkedExport(*agent).size(), 9u);
}

TEST(PointerAgentWithoutDisplay, ExportUsesTheThemeNamedInTheEnvironment) {
    auto agent = ChildProcess::spawn({testsupport::testProgramPath("pointer-agent"), "--export-images"},
                                     {{"DISPLAY", ""}, {"XCURSOR_THEME", "Adwaita"}, {"XCURSOR_SIZE", "48"}});
    const auto decoded = checkedExport(*agent);
    ASSERT_EQ(decoded.size(), 9u);
    for (const auto& [name, png] : decoded) {
        EXPECT_EQ(png.width, 48) << name;
        EXPECT_EQ(png.height, 48) << name;
    }
}

TEST(PointerAgentWithoutDisplay, MonitorsArrowAndWarnsThatNoTapExists) {
    auto agent = ChildProcess::spawn({testsupport::testProgramPath("pointer-agent")}, {{"DISPLAY", ""}});
    const auto line = agent->readStdoutLine(kLineTimeout);
    EXPECT_EQ(line, "STATE:arrow");
    agent->closeStdin();
    const auto status = agent->waitForExit(kLineTimeout);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(agent->stderrSoFar(), "Mouse interaction event tap unavailable; click telemetry disabled\n");
}

}  // namespace
