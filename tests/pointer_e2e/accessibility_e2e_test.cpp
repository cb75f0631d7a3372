// The accessibility inference against a real GTK 3 application on a private accessibility bus.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "pointer/classify/accessibility_inference.hpp"
#include "pointer/platform/linux/atspi_accessibility.hpp"
#include "pointer/platform/linux/xcb_handles.hpp"
#include "pointer/platform/linux/xfixes_screen_pointer.hpp"
#include "tests/support/desktop/test_desktop.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::TestDesktop;

constexpr auto kStartTimeout = 10s;
// AT-SPI learns of a new application and of focus changes by messages between three processes.
constexpr auto kSettleTimeout = 5s;

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    std::string centre() const { return std::to_string(x + width / 2) + " " + std::to_string(y + height / 2); }
};

class AccessibilityInferenceOnGtk : public ::testing::Test {
protected:
    void SetUp() override {
        desktop = TestDesktop::start();
        sessionBus = ChildProcess::spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"});
        const auto address = sessionBus->readStdoutLine(kStartTimeout);
        ASSERT_TRUE(address && !address->empty()) << sessionBus->stderrSoFar();

        // Start the accessibility bus and wait until it answers before the application starts:
        // an application that cannot register within D-Bus's reply timeout (a slow, loaded
        // machine) stays invisible to AT-SPI for the rest of the test.
        const std::string askForBus = "DBUS_SESSION_BUS_ADDRESS='" + *address +
                                      "' dbus-send --session --print-reply --reply-timeout=20000 --dest=org.a11y.Bus "
                                      "/org/a11y/bus org.a11y.Bus.GetAddress";
        const auto busDeadline = std::chrono::steady_clock::now() + 30s;
        TestDesktop::CommandResult bus;
        do {
            bus = desktop->run(askForBus);
        } while (bus.status != 0 && std::chrono::steady_clock::now() < busDeadline);
        ASSERT_EQ(bus.status, 0) << bus.output << bus.errorOutput;

        auto environment = desktop->environment();
        environment["DBUS_SESSION_BUS_ADDRESS"] = *address;
        environment["NO_AT_BRIDGE"] = "0";
        environment["GTK_A11Y"] = "atspi";
        application = ChildProcess::spawn({"/usr/bin/python3", ACCESSIBLE_CONTROLS_SCRIPT}, environment);
        while (auto line = application->readStdoutLine(kStartTimeout)) {
            if (*line == "READY") break;
            std::istringstream fields(*line);
            std::string name;
            Box box;
            fields >> name >> box.x >> box.y >> box.width >> box.height;
            controls[name] = box;
        }
        ASSERT_EQ(controls.size(), 7u) << application->stdoutSoFar() << application->stderrSoFar();

        // This process asks the questions, so it joins the same display and buses.
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        auto connection = pointer::platform::linux_x11::XcbConnection::open();
        ASSERT_TRUE(connection) << connection.error().message;
        auto opened = pointer::platform::linux_x11::XFixesScreenPointer::open(std::move(connection.value()));
        ASSERT_TRUE(opened) << opened.error().message;
        screenPointer = std::move(opened.value());
        inference = std::make_unique<pointer::classify::AccessibilityInference>(service, *screenPointer);
    }

    void TearDown() override {
        if (application) application->closeStdin();
        if (application) application->waitForExit(2s);
    }

    void command(const std::string& line) {
        application->writeStdin(line + "\n");
        ASSERT_TRUE(application->waitForStdoutLine("OK", kStartTimeout)) << line;
    }

    // Moves the pointer and asks until the answer is `expected` or time runs out; returns the last answer.
    std::string answerAt(const std::string& position, const std::string& expected) {
        const auto result = desktop->run("xdotool mousemove " + position);
        EXPECT_EQ(result.status, 0) << result.errorOutput;
        std::string answer;
        const auto deadline = std::chrono::steady_clock::now() + kSettleTimeout;
        do {
            answer = inference->cursorMatch().value_or("(none)");
            if (answer == expected) break;
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return answer;
    }

    std::unique_ptr<TestDesktop> desktop;
    std::unique_ptr<ChildProcess> sessionBus;
    std::unique_ptr<ChildProcess> application;
    std::map<std::string, Box> controls;
    pointer::platform::linux_x11::AtspiAccessibility service;
    std::unique_ptr<pointer::platform::ScreenPointer> screenPointer;
    std::unique_ptr<pointer::classify::AccessibilityInference> inference;
};

TEST_F(AccessibilityInferenceOnGtk, AnswersOverEachControl) {
    command("focus save");  // a button has the focus: only what lies under the pointer counts
    EXPECT_EQ(answerAt(controls["entry"].centre(), "text"), "text");
    EXPECT_EQ(answerAt(controls["crop"].centre(), "crosshair"), "crosshair");
    EXPECT_EQ(answerAt(controls["save"].centre(), "pointer"), "pointer");
    EXPECT_EQ(answerAt(controls["check"].centre(), "not-allowed"), "not-allowed");
    EXPECT_EQ(answerAt(controls["paned-handle"].centre(), "resize-ew"), "resize-ew");
    EXPECT_EQ(answerAt(controls["label"].centre(), "(none)"), "(none)");
    EXPECT_EQ(answerAt("1500 900", "(none)"), "(none)");  // the desktop
}

TEST_F(AccessibilityInferenceOnGtk, FocusedTextFieldMakesALabelText) {
    command("focus entry");
    EXPECT_EQ(answerAt(controls["label"].centre(), "text"), "text");
}

TEST(AccessibilityWithoutBus, EveryQuestionReadsAsAbsent) {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    pointer::platform::linux_x11::AtspiAccessibility service;
    EXPECT_EQ(service.elementAt({10, 10}), nullptr);
    EXPECT_EQ(service.focusedElement(), nullptr);
}

}  // namespace
