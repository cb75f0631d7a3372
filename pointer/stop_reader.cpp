#include "pointer/stop_reader.hpp"

#include "common/line_reader.hpp"

namespace pointer {

void readUntilStop(int fd, const std::function<void()>& onStop) {
    common::LineReader reader(fd);
    while (auto line = reader.next()) {
        if (!line->overlong && common::lowercaseForCommandMatch(line->text) == "stop") break;
    }
    onStop();
}

}  // namespace pointer
