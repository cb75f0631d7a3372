#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pointer {

struct AgentOptions {
    bool exportImages = false;  // "--export-images": print the cursor images and exit
    bool pollButtons = false;   // "--poll-buttons": count button events instead of tapping them
    bool help = false;          // "--help": print the usage and exit; nothing else runs
    bool version = false;       // "--version": print the version and exit; nothing else runs
    // "--restore-token-path FILE": where the desktop's permission for the cursor screen cast is
    // kept, so that a Wayland desktop asks once.
    std::optional<std::string> restoreTokenPath;
};

// What `pointer-agent --help` prints.
std::string pointerAgentUsage();

// Options are matched as whole arguments anywhere on the line; anything else is ignored. An option
// that takes a value takes the argument after it, whatever that is.
AgentOptions parseAgentOptions(const std::vector<std::string>& arguments);

}  // namespace pointer
