#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "recorder/control/process_entry.hpp"
#include "tests/support/fake/fake_platform.hpp"

namespace {

class StubRecorder final : public recorder::RecorderOperations {
public:
    common::Status startCapture(const std::string&) override { return startError; }
    bool pauseCapture() override { return true; }
    bool resumeCapture() override { return true; }
    recorder::CaptureFinalizationResult finalizeCapture(bool interactive) override {
        return {std::string("/tmp/x.mp4"), interactive};
    }
    std::optional<common::Error> startError;
};

struct EntryRun {
    int status = -1;
    bool recorderCreated = false;
};

EntryRun runEntry(std::vector<const char*> argv, const std::shared_ptr<fakeplatform::FakePermissionService>& permissions,
                  fakeplatform::RecordingLineSink& lines, const std::string& input = "stop\n",
                  std::optional<common::Error> startError = std::nullopt,
                  std::function<common::Result<std::string>()> listSources = {}) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    EntryRun run;
    recorder::ProcessEntryServices services;
    services.lines = &lines;
    services.permissions = [permissions] { return permissions; };
    services.makeRecorder = [&run, startError] {
        run.recorderCreated = true;
        auto stub = std::make_shared<StubRecorder>();
        stub->startError = startError;
        return stub;
    };
    services.commandInputFd = fds[0];
    services.finalizeOnTerminationSignals = false;
    services.listSources = std::move(listSources);
    services.version = "1.2.3";
    run.status = recorder::runRecorderAgent(static_cast<int>(argv.size()), argv.data(), services);
    return run;
}

}  // namespace

TEST(ProcessEntry, MissingArgumentQueriesNothing) {
    auto permissions = std::make_shared<fakeplatform::FakePermissionService>();
    fakeplatform::RecordingLineSink lines;
    const EntryRun run = runEntry({"recorder-agent"}, permissions, lines);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(lines.errLines(), std::vector<std::string>{"Missing config JSON"});
    EXPECT_EQ(permissions->preflights.load(), 0);
    EXPECT_FALSE(run.recorderCreated);
}

TEST(ProcessEntry, ScreenPermissionIsRequestedOnlyWhenPreflightFails) {
    auto permissions = std::make_shared<fakeplatform::FakePermissionService>();
    fakeplatform::RecordingLineSink lines;
    EXPECT_EQ(runEntry({"recorder-agent", "{}", "ignored"}, permissions, lines).status, 0);
    EXPECT_EQ(permissions->screenRequests.load(), 0);
    EXPECT_EQ(lines.outLines(), std::vector<std::string>{"Recording stopped. Output path: /tmp/x.mp4"});

    permissions->screenPreflight = false;
    permissions->screenRequest = false;
    fakeplatform::RecordingLineSink denied;
    const EntryRun run = runEntry({"recorder-agent", "{}"}, permissions, denied);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(permissions->screenRequests.load(), 1);
    EXPECT_EQ(denied.errLines(), std::vector<std::string>{"SCREEN_RECORDING_PERMISSION_DENIED"});
    EXPECT_FALSE(run.recorderCreated);
}

TEST(ProcessEntry, ListingSourcesPassesTheScreenGateAndReportsItsOutcome) {
    auto permissions = std::make_shared<fakeplatform::FakePermissionService>();
    int listings = 0;
    const auto listing = [&listings]() -> common::Result<std::string> {
        ++listings;
        return std::string(R"({"displays":[]})");
    };
    fakeplatform::RecordingLineSink listed;
    const EntryRun run = runEntry({"recorder-agent", "--list-sources"}, permissions, listed, "", std::nullopt, listing);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(listed.outLines(), std::vector<std::string>{R"({"displays":[]})"});
    EXPECT_FALSE(run.recorderCreated);

    fakeplatform::RecordingLineSink failed;
    const auto failing = []() -> common::Result<std::string> {
        return common::Error{"X11Capture", 7, "the X display connection was lost"};
    };
    EXPECT_EQ(runEntry({"recorder-agent", "--list-sources"}, permissions, failed, "", std::nullopt, failing).status, 1);
    EXPECT_EQ(failed.errLines(), std::vector<std::string>{"Error listing sources: the X display connection was lost"});

    permissions->screenPreflight = false;
    permissions->screenRequest = false;
    fakeplatform::RecordingLineSink denied;
    EXPECT_EQ(runEntry({"recorder-agent", "--list-sources"}, permissions, denied, "", std::nullopt, listing).status, 1);
    EXPECT_EQ(denied.errLines(), std::vector<std::string>{"SCREEN_RECORDING_PERMISSION_DENIED"});
    EXPECT_EQ(listings, 1) << "nothing is listed without the screen";
}

TEST(ProcessEntry, InformationOptionsCountOnlyAsTheFirstArgument) {
    auto permissions = std::make_shared<fakeplatform::FakePermissionService>();
    fakeplatform::RecordingLineSink version;
    EXPECT_EQ(runEntry({"recorder-agent", "--version", "{}"}, permissions, version).status, 0);
    EXPECT_EQ(version.outLines(), std::vector<std::string>{"recorder-agent 1.2.3"});
    EXPECT_EQ(permissions->preflights.load(), 0);

    // After the request they are further arguments, ignored: the recording runs as asked.
    fakeplatform::RecordingLineSink recorded;
    const EntryRun run = runEntry({"recorder-agent", "{}", "--help", "--list-sources"}, permissions, recorded);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.recorderCreated);
    EXPECT_EQ(recorded.outLines(), std::vector<std::string>{"Recording stopped. Output path: /tmp/x.mp4"});
}

TEST(ProcessEntry, MicrophoneStatusIsReadOnlyWhenTheMicrophoneIsWanted) {
    auto permissions = std::make_shared<fakeplatform::FakePermissionService>();
    permissions->microphoneStatus = 2;  // denied
    fakeplatform::RecordingLineSink lines;
    EXPECT_EQ(runEntry({"recorder-agent", R"({"capturesMicrophone":false})"}, permissions, lines).status, 0);
    EXPECT_EQ(runEntry({"recorder-agent", "not json"}, permissions, lines).status, 0);
    EXPECT_EQ(permissions->microphoneReads.load(), 0);

    fakeplatform::RecordingLineSink denied;
    EXPECT_EQ(runEntry({"recorder-agent", R"({"capturesMicrophone":true})"}, permissions, denied).status, 1);
    EXPECT_EQ(denied.errLines(), std::vector<std::string>{"MICROPHONE_PERMISSION_DENIED"});
    EXPECT_EQ(permissions->microphoneRequests.load(), 0);
}

TEST(ProcessEntry, UndeterminedMicrophoneIsAskedOnceThenReadAgain) {
    auto permissions = std::make_shared<fakeplatform::FakePermissionService>();
    permissions->microphoneStatus = recorder::platform::kAuthorizationNotDetermined;
    permissions->statusAfterRequest = recorder::platform::kAuthorizationAuthorized;
    fakeplatform::RecordingLineSink lines;
    EXPECT_EQ(runEntry({"recorder-agent", R"({"capturesMicrophone":true})"}, permissions, lines).status, 0);
    EXPECT_EQ(permissions->microphoneRequests.load(), 1);
    EXPECT_EQ(permissions->microphoneReads.load(), 2);
}

TEST(ProcessEntry, StartFailureEndsWithStatusOneAndEndOfInputDoesNotStop) {
    auto permissions = std::make_shared<fakeplatform::FakePermissionService>();
    fakeplatform::RecordingLineSink lines;
    const EntryRun run = runEntry({"recorder-agent", "{}"}, permissions, lines, "",
                                  common::Error{"CaptureConfigDecoding", 2, "the request is not valid JSON"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(lines.errLines(), std::vector<std::string>{"Error starting capture: the request is not valid JSON"});
    EXPECT_TRUE(lines.outLines().empty());
}
