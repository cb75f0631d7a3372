#pragma once

#include "common/output_lines.hpp"
#include "pointer/agent_options.hpp"
#include "pointer/platform/pointer_platform.hpp"

namespace pointer {

// The whole monitor on a given platform: exports the cursor images, or reports cursor states and
// button events until "stop" or the end of `commandFd`. Returns the exit status (always 0).
int runPointerAgent(const AgentOptions& options, platform::PointerPlatform& platform, common::LineSink& sink,
                    int commandFd);

}  // namespace pointer
