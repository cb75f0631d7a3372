// Which backend a process uses, what it asks the portal for, and the file that keeps the portal's
// restore token between recordings.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "recorder/platform/linux/backend_choice.hpp"
#include "recorder/platform/linux/portal/restore_token_file.hpp"
#include "recorder/platform/linux/portal/source_choice.hpp"
#include "recorder/platform/linux/wayland/wayland_request.hpp"

namespace recorder::linux_backend {
namespace {

CaptureBackend backendFor(const std::map<std::string, std::string>& variables) {
    return chooseCaptureBackend([&variables](const char* name) -> const char* {
        const auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    });
}

TEST(BackendChoice, TheSessionDecidesUnlessOurVariableSaysOtherwise) {
    EXPECT_EQ(backendFor({}), CaptureBackend::x11);
    EXPECT_EQ(backendFor({{"DISPLAY", ":0"}}), CaptureBackend::x11);
    EXPECT_EQ(backendFor({{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":0"}}), CaptureBackend::wayland);
    EXPECT_EQ(backendFor({{"XDG_SESSION_TYPE", "wayland"}}), CaptureBackend::wayland);
    EXPECT_EQ(backendFor({{"XDG_SESSION_TYPE", "x11"}}), CaptureBackend::x11);
    // An empty WAYLAND_DISPLAY names no compositor.
    EXPECT_EQ(backendFor({{"WAYLAND_DISPLAY", ""}}), CaptureBackend::x11);

    EXPECT_EQ(backendFor({{"WAYLAND_DISPLAY", "wayland-1"}, {kBackendVariable, "x11"}}), CaptureBackend::x11);
    EXPECT_EQ(backendFor({{kBackendVariable, "Wayland"}}), CaptureBackend::wayland);
    // A value we do not know leaves the choice to the session rather than guessing.
    EXPECT_EQ(backendFor({{"WAYLAND_DISPLAY", "wayland-1"}, {kBackendVariable, "gnome"}}), CaptureBackend::wayland);
    EXPECT_EQ(backendFor({{kBackendVariable, "auto"}}), CaptureBackend::x11);
}

TEST(PortalChoices, AWindowIsAskedForOnlyWithoutARegionAndOnlyWhereTheDesktopOffersWindows) {
    using wayland::WaylandRequest;
    EXPECT_EQ(wayland::screenCastPlanFor(WaylandRequest{}).sourceType, portal::kSourceMonitor);
    WaylandRequest window;
    window.windowId = 7;
    window.restoreTokenPath = "/tmp/token";
    EXPECT_EQ(wayland::screenCastPlanFor(window).sourceType, portal::kSourceWindow);
    EXPECT_EQ(wayland::screenCastPlanFor(window).restoreTokenPath, "/tmp/token");
    WaylandRequest region = window;
    region.region = common::Rect{10, 20, 300, 200};
    EXPECT_EQ(wayland::screenCastPlanFor(region).sourceType, portal::kSourceMonitor);

    const auto offered = portal::chooseSourceType(portal::kSourceWindow, portal::kSourceMonitor | portal::kSourceWindow);
    EXPECT_EQ(offered.value, portal::kSourceWindow);
    EXPECT_FALSE(offered.notice);
    const auto fallback = portal::chooseSourceType(portal::kSourceWindow, portal::kSourceMonitor);
    EXPECT_EQ(fallback.value, portal::kSourceMonitor);
    EXPECT_TRUE(fallback.notice);
    EXPECT_EQ(portal::chooseSourceType(portal::kSourceMonitor, portal::kSourceMonitor).value, portal::kSourceMonitor);
}

TEST(PortalChoices, ThePointerStaysOutOfTheFramesWheneverTheDesktopCanDoThat) {
    const auto hidden = portal::chooseCursorMode(portal::kCursorHidden | portal::kCursorEmbedded);
    EXPECT_EQ(hidden.value, portal::kCursorHidden);
    EXPECT_FALSE(hidden.notice);
    const auto metadata = portal::chooseCursorMode(portal::kCursorEmbedded | portal::kCursorMetadata);
    EXPECT_EQ(metadata.value, portal::kCursorMetadata);
    EXPECT_FALSE(metadata.notice);
    const auto embedded = portal::chooseCursorMode(portal::kCursorEmbedded);
    EXPECT_EQ(embedded.value, portal::kCursorEmbedded);
    ASSERT_TRUE(embedded.notice);
    EXPECT_NE(embedded.notice->find("pointer"), std::string::npos);
    const auto unknown = portal::chooseCursorMode(0);
    EXPECT_EQ(unknown.value, 0u);
    EXPECT_TRUE(unknown.notice);
}

class RestoreTokenFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/restore-token-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string path(const std::string& name) const { return (directory_ / name).string(); }
    static void writeText(const std::string& file, const std::string& text) { std::ofstream(file) << text; }
    static std::string readText(const std::string& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::filesystem::path directory_;
};

TEST_F(RestoreTokenFile, OnlyOneWordOfPrintableTextIsAToken) {
    EXPECT_FALSE(portal::readRestoreToken(path("missing")));
    writeText(path("empty"), "");
    EXPECT_FALSE(portal::readRestoreToken(path("empty")));
    writeText(path("blank"), " \n\t\n");
    EXPECT_FALSE(portal::readRestoreToken(path("blank")));
    writeText(path("kept"), "  5f1c-42ab-9e\n");
    EXPECT_EQ(portal::readRestoreToken(path("kept")), "5f1c-42ab-9e");
    writeText(path("two"), "one two\n");
    EXPECT_FALSE(portal::readRestoreToken(path("two")));
    writeText(path("binary"), std::string("ab\0cd", 5));
    EXPECT_FALSE(portal::readRestoreToken(path("binary")));
    writeText(path("huge"), std::string(100'000, 'a'));
    EXPECT_FALSE(portal::readRestoreToken(path("huge")));
    // Not a file at all: a directory, and a FIFO nobody writes to (which must not block the start).
    EXPECT_FALSE(portal::readRestoreToken(directory_.string()));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(portal::readRestoreToken(path("fifo")));
}

TEST_F(RestoreTokenFile, AWrittenTokenReplacesTheOldOneAndOnlyItsOwnerMayReadIt) {
    const std::string file = path("token");
    writeText(file, "old-token\n");
    ::chmod(file.c_str(), 0644);
    const mode_t previous = ::umask(0);
    const auto written = portal::writeRestoreToken(file, "new-token");
    ::umask(previous);
    ASSERT_FALSE(written) << written->message;
    EXPECT_EQ(readText(file), "new-token\n");
    EXPECT_EQ(portal::readRestoreToken(file), "new-token");
    struct stat status{};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory_), {}), 1);
}

TEST_F(RestoreTokenFile, AnUnwritablePlaceFailsWithTheReasonAndLeavesTheOldTokenAlone) {
    // A directory that cannot exist (its parent is a file): fails for root too.
    writeText(path("plain"), "x");
    const auto nowhere = portal::writeRestoreToken(path("plain") + "/token", "abc");
    ASSERT_TRUE(nowhere);
    EXPECT_NE(nowhere->message.find(path("plain")), std::string::npos) << nowhere->message;
    EXPECT_NE(nowhere->message.find("Not a directory"), std::string::npos) << nowhere->message;

    // The target is a directory: the rename fails, the temporary file goes, the directory stays.
    std::filesystem::create_directory(path("occupied"));
    const auto occupied = portal::writeRestoreToken(path("occupied"), "abc");
    ASSERT_TRUE(occupied);
    EXPECT_TRUE(std::filesystem::is_directory(path("occupied")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory_), {}), 2);

    if (::geteuid() != 0) {
        // Without root's privilege a read-only directory refuses the new file; the old token survives.
        const std::string file = path("token");
        writeText(file, "kept\n");
        ::chmod(directory_.c_str(), 0555);
        const auto refused = portal::writeRestoreToken(file, "lost");
        ::chmod(directory_.c_str(), 0755);
        ASSERT_TRUE(refused);
        EXPECT_EQ(portal::readRestoreToken(file), "kept");
    }
}

}  // namespace
}  // namespace recorder::linux_backend
