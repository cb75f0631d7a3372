#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "common/output_lines.hpp"
#include "recorder/control/recorder_operations.hpp"
#include "recorder/platform/system_services.hpp"

namespace recorder {

struct ProcessEntryServices {
    std::function<std::shared_ptr<platform::PermissionService>()> permissions;
    // Creates the capture engine; called once, after the permission checks.
    std::function<std::shared_ptr<RecorderOperations>()> makeRecorder;
    common::LineSink* lines = nullptr;
    int commandInputFd = 0;
    // Finalise on SIGTERM, SIGINT and SIGHUP, and on the death of the parent process.
    bool finalizeOnTerminationSignals = true;
    // The sources a request can name, as one JSON document ("--list-sources").
    std::function<common::Result<std::string>()> listSources;
    std::string version;
};

// The recorder-agent process from its first instruction to its exit status.
int runRecorderAgent(int argc, const char* const* argv, const ProcessEntryServices& services);

// Ends the process at once with `status`, after flushing the standard streams. Used where the
// recording's outcome is known and no other thread must be waited for.
[[noreturn]] void exitProcess(int status);

}  // namespace recorder
