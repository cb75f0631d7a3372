#pragma once

#include <functional>

namespace pointer {

// Reads command lines from `fd` until "stop" (in any letter case, nothing else on the line) or the
// end of input, then calls `onStop` once. Blocks the calling thread.
void readUntilStop(int fd, const std::function<void()>& onStop);

}  // namespace pointer
