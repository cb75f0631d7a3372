#include "tests/unit/recorder/recorder_test_fixture.hpp"

#include <future>

using namespace recorder::platform;
using common::Rect;
using R = recorder::ScreenCaptureRecorder;
using namespace std::chrono_literals;

namespace {

ShareableContent desktopWith(std::vector<Window> windows, std::vector<Application> applications = {Application{41}}) {
    ShareableContent content;
    content.displays = {Display{1, Rect{0, 0, 1000, 1000}}, Display{2, Rect{1000, 0, 1000, 1000}}};
    content.windows = std::move(windows);
    content.applications = std::move(applications);
    return content;
}

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return predicate();
}

}  // namespace

class WindowTrackingTest : public RecorderTest {
protected:
    void startWindowRecording() {
        fake.capture->setContent(desktopWith({Window{5, Rect{100, 100, 200, 100}, 41}}));
        startRecording(R"({"windowId":5,"excludedProcessIds":[41,77],"outputPath":"/out/w.mp4"})");
        deliverVideo(1.0);
    }
    std::optional<Rect> crop() { return recorder->withStateOnQueue([](R& r) { return r.windowCropRect; }); }
};

TEST_F(WindowTrackingTest, DisplayCaptureStartsNoTracker) {
    startRecording();
    EXPECT_FALSE(recorder->withStateOnQueue([](R& r) { return r.windowValidationTask.has_value(); }));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(fake.capture->contentQueries(), 1);  // only the start's own query
}

TEST_F(WindowTrackingTest, CropFollowsAMovedWindow) {
    startWindowRecording();
    fake.capture->setContent(desktopWith({Window{5, Rect{500, 250, 300, 100}, 41}}));
    ASSERT_TRUE(eventually([&] { return crop() == Rect{0.5, 0.25, 0.3, 0.1}; }));
    EXPECT_TRUE(stream->filterUpdates.empty());  // same display: no filter change
}

TEST_F(WindowTrackingTest, MoveToAnotherDisplaySwitchesTheStreamFirst) {
    startWindowRecording();
    // An excluded application started after the recording began is excluded on the new filter.
    fake.capture->setContent(desktopWith({Window{5, Rect{1200, 0, 400, 500}, 41}},
                                         {Application{41}, Application{77}, Application{78}}));
    ASSERT_TRUE(eventually([&] { return recorder->withStateOnQueue([](R& r) { return r.windowCropDisplayId; }) == 2u; }));
    ASSERT_EQ(stream->filterUpdates.size(), 1u);
    EXPECT_EQ(stream->filterUpdates[0].display.displayID, 2u);
    ASSERT_EQ(stream->filterUpdates[0].excludedApplications.size(), 2u);
    EXPECT_EQ(stream->filterUpdates[0].excludedApplications[1].processID, 77);
    EXPECT_EQ(crop(), (Rect{0.2, 0.0, 0.4, 0.5}));
}

TEST_F(WindowTrackingTest, FailedFilterUpdateKeepsTheCropAndRetries) {
    startWindowRecording();
    const auto before = crop();
    stream->setUpdateError(common::Error{"X11Capture", 3, "cannot capture that display"});
    fake.capture->setContent(desktopWith({Window{5, Rect{1200, 0, 400, 500}, 41}}));
    const int queries = fake.capture->contentQueries();
    ASSERT_TRUE(eventually([&] { return fake.capture->contentQueries() >= queries + 2; }));
    EXPECT_EQ(crop(), before);
    stream->setUpdateError(std::nullopt);
    ASSERT_TRUE(eventually([&] { return recorder->withStateOnQueue([](R& r) { return r.windowCropDisplayId; }) == 2u; }));
}

TEST_F(WindowTrackingTest, VanishedWindowFinalisesAndExits) {
    startWindowRecording();
    fake.capture->setContent(desktopWith({}));
    ASSERT_TRUE(eventually([&] { return exitStatus.load() != -1; }));
    EXPECT_EQ(exitStatus.load(), 0);
    EXPECT_EQ(lines.outLines(), (std::vector<std::string>{"Recording started", "WINDOW_UNAVAILABLE",
                                                          "Recording stopped. Output path: /out/w.mp4"}));
    EXPECT_EQ(videoWriter()->finishCount, 1);
}

TEST_F(WindowTrackingTest, StopThatJoinsSilencesTheTracker) {
    startWindowRecording();
    stream->holdStop();
    fake.capture->setContent(desktopWith({}));
    ASSERT_TRUE(lines.waitForOutLine("WINDOW_UNAVAILABLE", 3000ms));
    ASSERT_TRUE(stream->waitUntilStopRequested(2000ms));
    auto stop = std::async(std::launch::async, [&] { return recorder->finalizeCapture(true); });
    ASSERT_TRUE(eventually([&] { return recorder->withStateOnQueue([](R& r) { return r.finalizationWaiters.size(); }) == 2; }));
    stream->releaseStop();
    const auto result = stop.get();
    EXPECT_TRUE(result.succeeded());
    EXPECT_TRUE(result.interactiveStopParticipated);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(exitStatus.load(), -1);  // the stop command reports and ends the process
    EXPECT_EQ(lines.outLines(), (std::vector<std::string>{"Recording started", "WINDOW_UNAVAILABLE"}));
}

TEST_F(WindowTrackingTest, FinalisationFailureExitsWithStatusOne) {
    startWindowRecording();
    videoWriter()->statusAfterFinish = WriterStatus::failed;
    fake.capture->setContent(desktopWith({}));
    ASSERT_TRUE(eventually([&] { return exitStatus.load() != -1; }));
    EXPECT_EQ(exitStatus.load(), 1);
    EXPECT_EQ(lines.errLines(), std::vector<std::string>{"Error stopping capture: Recording could not be finalized (writer status 3)"});
}

TEST_F(WindowTrackingTest, TrackerEndsAfterAStop) {
    startWindowRecording();
    ASSERT_TRUE(recorder->finalizeCapture(true).succeeded());
    const int queries = fake.capture->contentQueries();
    std::this_thread::sleep_for(1200ms);
    EXPECT_LE(fake.capture->contentQueries(), queries + 1);  // at most the cycle already under way
    EXPECT_EQ(exitStatus.load(), -1);
}
