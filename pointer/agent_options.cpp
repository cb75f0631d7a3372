#include "pointer/agent_options.hpp"

namespace pointer {

AgentOptions parseAgentOptions(const std::vector<std::string>& arguments) {
    AgentOptions options;
    for (const auto& argument : arguments) {
        if (argument == "--export-images") options.exportImages = true;
        if (argument == "--poll-buttons") options.pollButtons = true;
    }
    return options;
}

}  // namespace pointer
