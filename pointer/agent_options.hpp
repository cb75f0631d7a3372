#pragma once

#include <string>
#include <vector>

namespace pointer {

struct AgentOptions {
    bool exportImages = false;  // "--export-images": print the cursor images and exit
    bool pollButtons = false;   // "--poll-buttons": count button events instead of tapping them
    bool help = false;          // "--help": print the usage and exit; nothing else runs
    bool version = false;       // "--version": print the version and exit; nothing else runs
};

// What `pointer-agent --help` prints.
std::string pointerAgentUsage();

// Options are matched as whole arguments anywhere on the line; anything else is ignored.
AgentOptions parseAgentOptions(const std::vector<std::string>& arguments);

}  // namespace pointer
