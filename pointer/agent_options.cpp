#include "pointer/agent_options.hpp"

namespace pointer {

AgentOptions parseAgentOptions(const std::vector<std::string>& arguments) {
    AgentOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--export-images") options.exportImages = true;
        if (argument == "--poll-buttons") options.pollButtons = true;
        if (argument == "--restore-token-path" && i + 1 < arguments.size()) {
            options.restoreTokenPath = arguments[++i];
            if (options.restoreTokenPath->empty()) options.restoreTokenPath.reset();
        }
    }
    return options;
}

}  // namespace pointer
