#include "common/output_lines.hpp"

#include <cstdio>

namespace common {
namespace {

void writeWhole(FILE* stream, const std::string& line) {
    // One write per line (stdio locks the stream for it): lines from different threads never
    // interleave, and the flush hands each line to the parent at once.
    const std::string whole = line + '\n';
    std::fwrite(whole.data(), 1, whole.size(), stream);
    std::fflush(stream);
}

}  // namespace

void StdioLineSink::out(const std::string& line) { writeWhole(stdout, line); }
void StdioLineSink::err(const std::string& line) { writeWhole(stderr, line); }

}  // namespace common
