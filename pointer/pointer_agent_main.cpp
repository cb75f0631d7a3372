#include <string>
#include <unistd.h>
#include <vector>

#include "common/output_lines.hpp"
#include "pointer/agent_options.hpp"
#include "pointer/platform/linux/linux_platform.hpp"
#include "pointer/pointer_agent.hpp"

int main(int argc, char** argv) {
    const auto options = pointer::parseAgentOptions(std::vector<std::string>(argv + 1, argv + argc));
    common::StdioLineSink sink;
    if (options.help) {
        sink.out(pointer::pointerAgentUsage());
        return 0;
    }
    if (options.version) {
        sink.out(std::string("pointer-agent ") + AGENTS_VERSION);
        return 0;
    }
    pointer::platform::linux_x11::LinuxPlatformOptions platformOptions;
    platformOptions.restoreTokenPath = options.restoreTokenPath;
    platformOptions.watchPointer = !options.exportImages;
    platformOptions.notice = [&sink](const std::string& line) { sink.err(line); };
    auto platform = pointer::platform::linux_x11::openLinuxPlatform(platformOptions);
    return pointer::runPointerAgent(options, platform, sink, STDIN_FILENO);
}
