#include "common/output_lines.hpp"

#include <cstdio>

namespace common {
namespace {

void writeWhole(FILE* stream, const std::string& line) {
    // One locked write per line: lines from different threads never interleave.
    flockfile(stream);
    fwrite_unlocked(line.data(), 1, line.size(), stream);
    fputc_unlocked('\n', stream);
    fflush_unlocked(stream);
    funlockfile(stream);
}

}  // namespace

void StdioLineSink::out(const std::string& line) { writeWhole(stdout, line); }
void StdioLineSink::err(const std::string& line) { writeWhole(stderr, line); }

}  // namespace common
