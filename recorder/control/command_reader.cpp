#include "recorder/control/command_reader.hpp"

#include "common/line_reader.hpp"

namespace recorder {

void runCommandReader(int fd, const CommandHandlers& handlers) {
    common::LineReader reader(fd);
    runCommandReader(reader, handlers);
}

void runCommandReader(common::LineReader& reader, const CommandHandlers& handlers) {
    while (const auto line = reader.next()) {
        if (line->overlong) continue;  // far too long to be a command
        const std::string command = common::lowercaseForCommandMatch(line->text);
        if (command == "pause") {
            handlers.pause();
        } else if (command == "resume") {
            handlers.resume();
        } else if (command == "stop") {
            handlers.stop();
            return;
        }
    }
}

}  // namespace recorder
