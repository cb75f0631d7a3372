// The source list's logic on the scripted platform: what a real X11 desktop cannot show on demand
// (a desktop whose own dialog chooses, displays with more than one pixel per point, failures).

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "recorder/engine/source_listing.hpp"
#include "tests/support/fake/fake_platform.hpp"

namespace recorder {
namespace {

using nlohmann::json;
using platform::Display;
using platform::ShareableContent;
using platform::Window;

json describe(fakeplatform::FakePlatform& fake) {
    const auto document = describeCaptureSources(*fake.capture, *fake.devices);
    EXPECT_TRUE(document.ok()) << (document.ok() ? "" : document.error().message);
    return document.ok() ? json::parse(document.value()) : json();
}

TEST(SourceListing, ListsOnlyWindowsOnADisplayWithTheDisplayTheyAreRecordedFrom) {
    fakeplatform::FakePlatform fake;
    ShareableContent content;
    content.displays = {Display{7, {0, 0, 1000, 800}, "left"}, Display{9, {1000, 0, 500, 400}, "right"}};
    content.windows = {Window{21, {1100, 50, 200, 100}, 400, "Top", "Editor"},
                       Window{22, {5000, 5000, 100, 100}, std::nullopt, "Off every display", ""},
                       // Mostly on the right display: recorded from there, like a window capture would be.
                       Window{23, {900, 10, 300, 100}, std::nullopt, "Straddling", ""}};
    fake.capture->setContent(content);
    fake.capture->mainDisplay = 9;
    fake.capture->modes[7] = platform::DisplayMode{2000, 1000};  // two pixels per point

    const json sources = describe(fake);
    EXPECT_EQ(sources.at("sourceSelection"), "list");
    const json& displays = sources.at("displays");
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0].at("name"), "left");
    EXPECT_EQ(displays[0].at("scale"), 2);
    EXPECT_EQ(displays[0].at("pixelWidth"), 2000);
    EXPECT_EQ(displays[0].at("pixelHeight"), 1600);
    EXPECT_EQ(displays[0].at("primary"), false);
    EXPECT_EQ(displays[1].at("scale"), 1);
    EXPECT_EQ(displays[1].at("primary"), true);

    const json& windows = sources.at("windows");
    ASSERT_EQ(windows.size(), 2u) << windows.dump();
    EXPECT_EQ(windows[0], (json{{"windowId", 21},
                                {"title", "Top"},
                                {"applicationName", "Editor"},
                                {"processId", 400},
                                {"frame", {{"x", 1100}, {"y", 50}, {"width", 200}, {"height", 100}}},
                                {"displayId", 9}}));
    EXPECT_EQ(windows[1].at("windowId"), 23);
    EXPECT_TRUE(windows[1].at("processId").is_null());
    EXPECT_EQ(windows[1].at("displayId"), 9);
}

TEST(SourceListing, MicrophonesAndSystemAudioAreListedAsTheRequestNamesThem) {
    fakeplatform::FakePlatform fake;
    fake.devices->devices = {{"Built-in", "alsa_input.pci", false}, {"USB Headset", "alsa_input.usb", true}};
    fake.capture->systemAudioCapturable = false;
    const json sources = describe(fake);
    EXPECT_EQ(sources.at("microphones"),
              (json::array({{{"microphoneDeviceId", "alsa_input.pci"}, {"microphoneLabel", "Built-in"}, {"default", false}},
                            {{"microphoneDeviceId", "alsa_input.usb"}, {"microphoneLabel", "USB Headset"}, {"default", true}}})));
    EXPECT_EQ(sources.at("systemAudioAvailable"), false);
}

TEST(SourceListing, WhereTheDesktopsDialogChoosesNothingIsAskedOrListed) {
    fakeplatform::FakePlatform fake;
    fake.capture->selection = platform::SourceSelection::desktopDialog;
    fake.devices->devices = {{"Mic", "mic", true}};
    const json sources = describe(fake);
    EXPECT_EQ(sources.at("sourceSelection"), "desktop-dialog");
    EXPECT_TRUE(sources.at("displays").empty());
    EXPECT_TRUE(sources.at("windows").empty());
    EXPECT_EQ(sources.at("microphones").size(), 1u);
    EXPECT_EQ(fake.capture->contentQueries(), 0) << "asking for content could open the desktop's dialog";
}

TEST(SourceListing, AFailedQueryIsTheListingsErrorAndTextThatIsNotUtf8IsReplaced) {
    fakeplatform::FakePlatform fake;
    fake.capture->setContentError(common::Error{"X11Capture", 1, "the X display connection was lost"});
    const auto failed = describeCaptureSources(*fake.capture, *fake.devices);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message, "the X display connection was lost");

    fake.capture->setContentError(std::nullopt);
    ShareableContent content;
    content.displays = {Display{1, {0, 0, 100, 100}, "screen"}};
    content.windows = {Window{5, {10, 10, 20, 20}, 1, "Latin-1 caf\xE9", "app"}};
    fake.capture->setContent(content);
    const json sources = describe(fake);
    EXPECT_EQ(sources.at("windows")[0].at("title"), "Latin-1 caf\xEF\xBF\xBD");
}

}  // namespace
}  // namespace recorder
