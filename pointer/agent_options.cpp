#include "pointer/agent_options.hpp"

namespace pointer {

AgentOptions parseAgentOptions(const std::vector<std::string>& arguments) {
    AgentOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--export-images") options.exportImages = true;
        if (argument == "--poll-buttons") options.pollButtons = true;
        if (argument == "--help") options.help = true;
        if (argument == "--version") options.version = true;
        if (argument == "--restore-token-path" && i + 1 < arguments.size()) {
            options.restoreTokenPath = arguments[++i];
            if (options.restoreTokenPath->empty()) options.restoreTokenPath.reset();
        }
    }
    return options;
}

std::string pointerAgentUsage() {
    return R"(Usage: pointer-agent [--poll-buttons] [--restore-token-path FILE]
       pointer-agent --export-images
       pointer-agent --help | --version

Reports the mouse cursor that is showing and the mouse buttons, one line each on standard output:
  STATE:TYPE                  the cursor changed (arrow, text, pointer, crosshair, open-hand,
                              closed-hand, resize-ew, resize-ns, not-allowed); the first always
  INTERACTION:mousedown:N     button N went down (1 left, 2 right, 3 middle or other)
  INTERACTION:mouseup:N       button N went up
The line "stop" on standard input, or its end, ends the program with status 0.

  --poll-buttons   count button events instead of listening to them
  --restore-token-path FILE
                   on Wayland, where the desktop's permission for the cursor screen cast is kept,
                   so that the desktop asks once
  --export-images  print one line per cursor, CURSOR_IMAGE:NAME:HOTX:HOTY:ASPECT:BASE64PNG, and exit
  --help           print this help
  --version        print the version

Every line and option: man pointer-agent, or docs/protocol.md.)";
}

}  // namespace pointer
