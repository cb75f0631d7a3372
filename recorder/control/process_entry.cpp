#include "recorder/control/process_entry.hpp"

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <thread>

#include "common/background_task.hpp"
#include "common/group.hpp"
#include "recorder/control/capture_config.hpp"
#include "recorder/control/command_reader.hpp"
#include "recorder/control/recorder_service.hpp"
#include "recorder/control/usage.hpp"

namespace recorder {
namespace {

// True when the request asks for the microphone; an undecodable request counts as not asking
// (its start reports the decoding error).
bool requestAsksForMicrophone(const std::string& request) {
    const auto config = decodeCaptureConfig(request);
    return config.ok() && config->capturesMicrophone.value_or(false);
}

bool microphoneAuthorized(platform::PermissionService& permissions) {
    int status = permissions.microphoneAuthorizationStatus();
    if (status == platform::kAuthorizationNotDetermined) {
        common::Semaphore answered(0);
        permissions.requestMicrophoneAccess([&answered](bool) { answered.signal(); });
        answered.wait();
        status = permissions.microphoneAuthorizationStatus();
    }
    return status == platform::kAuthorizationAuthorized;
}

// Termination requests become a "stop": a recording must never be lost because its parent closed
// the terminal, was killed, or crashed. The signals are blocked in every thread and taken here.
void blockTerminationSignals(sigset_t& signals) {
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void stopOnTerminationSignals(const sigset_t& signals, RecorderService& service) {
    std::thread([signals, &service] {
        int received = 0;
        if (sigwait(&signals, &received) == 0) service.stop();
        // Further signals stay blocked and pending: the stop is already under way.
    }).detach();
}

bool screenCaptureAllowed(platform::PermissionService& permissions) {
    permissions.touchMainDisplay();
    return permissions.preflightScreenCaptureAccess() || permissions.requestScreenCaptureAccess();
}

// The options that only inform: each answers on its own and ends the process, before any
// recording could begin. None of them is JSON, so no request is mistaken for one.
std::optional<int> answerInformationOption(const std::string& argument, const ProcessEntryServices& services) {
    common::LineSink& lines = *services.lines;
    if (argument == "--help") {
        lines.out(recorderAgentUsage());
        return 0;
    }
    if (argument == "--version") {
        lines.out("recorder-agent " + services.version);
        return 0;
    }
    if (argument != "--list-sources") return std::nullopt;
    if (!screenCaptureAllowed(*services.permissions())) {
        lines.err("SCREEN_RECORDING_PERMISSION_DENIED");
        return 1;
    }
    const auto document = services.listSources();
    if (!document) {
        lines.err("Error listing sources: " + document.error().description());
        return 1;
    }
    lines.out(document.value());
    return 0;
}

void askForSignalWhenParentDies() {
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have died before the request was in place.
    if (getppid() != parent) kill(getpid(), SIGTERM);
}

}  // namespace

void exitProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

int runRecorderAgent(int argc, const char* const* argv, const ProcessEntryServices& services) {
    common::LineSink& lines = *services.lines;
    if (argc < 2) {
        lines.err("Missing config JSON");
        return 1;
    }
    const std::string request = argv[1];
    if (const auto status = answerInformationOption(request, services)) return *status;
    // A parent that has gone away must not kill the recording through a write to its closed pipe:
    // the recording is finalised all the same, and the lines simply go nowhere.
    std::signal(SIGPIPE, SIG_IGN);

    sigset_t terminationSignals;
    if (services.finalizeOnTerminationSignals) blockTerminationSignals(terminationSignals);

    const auto permissions = services.permissions();
    if (!screenCaptureAllowed(*permissions)) {
        lines.err("SCREEN_RECORDING_PERMISSION_DENIED");
        return 1;
    }
    if (requestAsksForMicrophone(request) && !microphoneAuthorized(*permissions)) {
        lines.err("MICROPHONE_PERMISSION_DENIED");
        return 1;
    }

    // The one service of the process. It lives until the process ends: its threads and the
    // recorder's may still be running when the exit status is decided, so it is never destroyed
    // while they could use it (the program ends through exitProcess, without static destructors).
    static std::shared_ptr<RecorderService> processService;
    processService = std::make_shared<RecorderService>(services.makeRecorder(), lines);
    RecorderService* service = processService.get();
    service->start(request);
    if (services.finalizeOnTerminationSignals) {
        stopOnTerminationSignals(terminationSignals, *service);
        askForSignalWhenParentDies();
    }
    const int inputFd = services.commandInputFd;
    common::dispatchGlobal(common::QualityOfService::utility, [service, inputFd] {
        runCommandReader(inputFd, CommandHandlers{[service] { service->pause(); },
                                                  [service] { service->resume(); },
                                                  [service] { service->stop(); }});
    });
    return service->waitUntilFinished() ? 0 : 1;
}

}  // namespace recorder
