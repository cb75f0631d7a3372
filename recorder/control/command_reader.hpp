#pragma once

#include <functional>

#include "common/line_reader.hpp"

namespace recorder {

// What the command reader asks for. Each call only enqueues; the reader never waits for a command.
struct CommandHandlers {
    std::function<void()> pause;
    std::function<void()> resume;
    std::function<void()> stop;
};

// Reads line commands from `fd` until "stop" or end of input. A line is compared, lower-cased and
// whole, with "pause", "resume" and "stop"; anything else (blanks included) is ignored. End of
// input asks for nothing. Lines longer than the reader's limit are dropped unread.
void runCommandReader(int fd, const CommandHandlers& handlers);
void runCommandReader(common::LineReader& reader, const CommandHandlers& handlers);

}  // namespace recorder
