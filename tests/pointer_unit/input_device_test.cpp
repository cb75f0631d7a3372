// Buttons read from the kernel's input devices: recorded event streams carried by pipes stand in
// for the devices, which this machine cannot create.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pointer/input/button_poll.hpp"
#include "pointer/input/button_tap.hpp"
#include "pointer/input/mouse_events.hpp"
#include "pointer/platform/linux/evdev_button_events.hpp"
#include "pointer/platform/linux/evdev_decoding.hpp"
#include "pointer_fakes.hpp"

namespace pointer::platform::linux_evdev {
namespace {

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

input_event record(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

// A click as a mouse reports it: the button, then the end of the report.
std::vector<input_event> click(uint16_t button) {
    return {record(EV_KEY, button, 1), record(EV_SYN, SYN_REPORT, 0), record(EV_KEY, button, 0),
            record(EV_SYN, SYN_REPORT, 0)};
}

std::optional<std::string> tapLine(uint16_t type, uint16_t code, int32_t value) {
    const auto event = mouseEventForInputEvent(record(type, code, value));
    return event ? input::interactionLineForEvent(*event) : std::nullopt;
}

TEST(InputEventDecoding, MouseButtonsBecomeTheMonitorsEventsAndNothingElseDoes) {
    const auto left = mouseEventForInputEvent(record(EV_KEY, BTN_LEFT, 1));
    ASSERT_TRUE(left);
    EXPECT_EQ(left->type, mouse_event_type::leftDown);
    EXPECT_EQ(tapLine(EV_KEY, BTN_LEFT, 0), "INTERACTION:mouseup:1");
    EXPECT_EQ(tapLine(EV_KEY, BTN_RIGHT, 1), "INTERACTION:mousedown:2");
    EXPECT_EQ(tapLine(EV_KEY, BTN_MIDDLE, 1), "INTERACTION:mousedown:3");
    EXPECT_EQ(tapLine(EV_KEY, BTN_MIDDLE, 0), "INTERACTION:mouseup:3");

    // Extra buttons are other-button events numbered on from the middle one; the tap prints none.
    const auto side = mouseEventForInputEvent(record(EV_KEY, BTN_SIDE, 1));
    ASSERT_TRUE(side);
    EXPECT_EQ(side->type, mouse_event_type::otherDown);
    EXPECT_EQ(side->buttonNumber, 3);
    EXPECT_EQ(mouseEventForInputEvent(record(EV_KEY, BTN_TASK, 0))->buttonNumber, 7);
    EXPECT_EQ(tapLine(EV_KEY, BTN_EXTRA, 1), std::nullopt);

    // Repeats, the wheel, motion, touch, keys and joystick buttons are no clicks.
    for (const auto& other : {record(EV_KEY, BTN_LEFT, 2), record(EV_REL, REL_WHEEL, -1), record(EV_REL, REL_X, 5),
                              record(EV_KEY, BTN_TOUCH, 1), record(EV_KEY, BTN_TOOL_FINGER, 1),
                              record(EV_KEY, KEY_A, 1), record(EV_KEY, BTN_TRIGGER, 1), record(EV_SYN, SYN_REPORT, 0),
                              record(EV_MSC, MSC_SCAN, BTN_LEFT)}) {
        EXPECT_FALSE(mouseEventForInputEvent(other)) << other.type << " " << other.code << " " << other.value;
    }
}

TEST(InputEventDecoding, ARecordSplitAcrossReadsWaitsForItsRest) {
    InputEventStream stream;
    const auto events = click(BTN_LEFT);
    const auto* bytes = reinterpret_cast<const std::byte*>(events.data());
    const size_t total = events.size() * sizeof(input_event);
    std::vector<uint16_t> codes;
    const auto collect = [&](const input_event& event) { codes.push_back(event.code); };
    stream.feed(std::span(bytes, 5), collect);
    EXPECT_TRUE(codes.empty());
    stream.feed(std::span(bytes + 5, sizeof(input_event) + 3), collect);
    EXPECT_EQ(codes, (std::vector<uint16_t>{BTN_LEFT}));
    stream.feed(std::span(bytes + 8 + sizeof(input_event), total - 8 - sizeof(input_event)), collect);
    EXPECT_EQ(codes, (std::vector<uint16_t>{BTN_LEFT, SYN_REPORT, BTN_LEFT, SYN_REPORT}));
    EXPECT_EQ(stream.pendingBytes(), 0u);
}

// Two pipes standing in for two mice.
class PipedMice : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<OwnedFd> readEnds;
        for (auto& writeEnd : writeEnds) {
            int ends[2];
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
            readEnds.emplace_back(ends[0]);
            writeEnd = OwnedFd(ends[1]);
        }
        source = EvdevButtonEvents::forDescriptors(std::move(readEnds));
    }
    void send(int mouse, const std::vector<input_event>& events) {
        const auto size = events.size() * sizeof(input_event);
        ASSERT_EQ(write(writeEnds[mouse].get(), events.data(), size), ssize_t(size));
    }
    bool waitFor(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    std::array<OwnedFd, 2> writeEnds;
    std::unique_ptr<EvdevButtonEvents> source;
    pointer::testing::RecordingLineSink sink;
};

TEST_F(PipedMice, TapPrintsLeftRightAndMiddleOfEveryMouse) {
    ASSERT_TRUE(input::installButtonTap(*source, sink));
    send(0, click(BTN_LEFT));
    ASSERT_TRUE(waitFor([&] { return sink.outLines().size() == 2; }));
    auto events = click(BTN_SIDE);  // nothing in tap mode
    events.push_back(record(EV_REL, REL_WHEEL, 1));
    for (const auto& event : click(BTN_MIDDLE)) events.push_back(event);
    send(1, events);
    send(0, {record(EV_KEY, BTN_RIGHT, 1), record(EV_SYN, SYN_REPORT, 0)});
    ASSERT_TRUE(waitFor([&] { return sink.outLines().size() == 5; })) << sink.outLines().size();
    const auto lines = sink.outLines();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2), (Lines{"INTERACTION:mousedown:1", "INTERACTION:mouseup:1"}));
    // The two mice are read independently; each one's order is kept.
    Lines rest(lines.begin() + 2, lines.end());
    std::erase(rest, "INTERACTION:mousedown:2");
    EXPECT_EQ(rest, (Lines{"INTERACTION:mousedown:3", "INTERACTION:mouseup:3"}));
    EXPECT_EQ(lines.size(), 5u);
}

TEST_F(PipedMice, PollingCountsEveryExtraButtonAsButtonThreeAndSurvivesAMouseGoingAway) {
    input::ButtonPoller poller(*source, sink);
    poller.poll();
    send(1, click(BTN_EXTRA));
    writeEnds[1] = OwnedFd();  // unplugged
    ASSERT_TRUE(waitFor([&] { return source->counterForEventType(mouse_event_type::otherUp) == 1; }));
    poller.poll();
    EXPECT_EQ(sink.outLines(), (Lines{"INTERACTION:mousedown:3", "INTERACTION:mouseup:3"}));

    // A record written in two pieces still counts once, on the mouse that is left.
    const auto events = click(BTN_RIGHT);
    const auto* bytes = reinterpret_cast<const char*>(events.data());
    ASSERT_EQ(write(writeEnds[0].get(), bytes, 7), 7);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(source->counterForEventType(mouse_event_type::rightDown), 0u);
    const auto rest = events.size() * sizeof(input_event) - 7;
    ASSERT_EQ(write(writeEnds[0].get(), bytes + 7, rest), ssize_t(rest));
    ASSERT_TRUE(waitFor([&] { return source->counterForEventType(mouse_event_type::rightUp) == 1; }));
    EXPECT_EQ(source->counterForEventType(mouse_event_type::rightDown), 1u);
    EXPECT_EQ(source->counterForEventType(mouse_event_type::leftDown), 0u);
}

// A private directory of device nodes; regular files stand in for them.
class DeviceDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/input-devices-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        ASSERT_EQ(chmod(pattern, 0755), 0);
    }
    void TearDown() override { std::filesystem::remove_all(directory); }
    void addNode(const std::string& name, mode_t mode) {
        std::ofstream(directory + "/" + name) << "";
        ASSERT_EQ(chmod((directory + "/" + name).c_str(), mode), 0);
    }
    std::string directory;
};

TEST_F(DeviceDirectory, UnreadableDevicesMeanNoTapAndSaySo) {
    addNode("event0", 0600);
    addNode("event1", 0600);
    addNode("mice", 0644);  // the legacy multiplexer is no event device
    // Root reads every file, so the refusal is seen by an ordinary user in a child process.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        auto opened = EvdevButtonEvents::open(directory);
        if (opened) _exit(11);
        if (opened.error().code != EACCES) _exit(12);
        if (opened.error().message.find("Permission denied") == std::string::npos) _exit(13);
        if (opened.error().message.find("input group") == std::string::npos) _exit(14);
        auto fallback = openInputDeviceButtons(directory);
        if (fallback->installTap(input::kMouseEventMask, [](const MouseEvent&) {})) _exit(15);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DeviceDirectory, ReadableNodesThatAreNoMiceOrNoDirectoryAtAllGiveAnError) {
    addNode("event0", 0644);
    auto noMouse = EvdevButtonEvents::open(directory);
    ASSERT_FALSE(noMouse);
    EXPECT_EQ(noMouse.error().message, "no mouse among the input devices in " + directory);
    auto noDirectory = EvdevButtonEvents::open(directory + "/absent");
    ASSERT_FALSE(noDirectory);
    EXPECT_EQ(noDirectory.error().code, ENOENT);
    EXPECT_FALSE(openInputDeviceButtons(directory)->installTap(input::kMouseEventMask, [](const MouseEvent&) {}));
}

}  // namespace
}  // namespace pointer::platform::linux_evdev
