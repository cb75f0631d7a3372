#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace common {

// Reads text lines from a file descriptor without ever holding more than `maxLineBytes` of one
// line: commands are a few bytes long, so a longer line is reported as overlong and its bytes are
// dropped instead of growing memory without bound.
class LineReader {
public:
    static constexpr size_t kDefaultMaxLineBytes = 64 * 1024;

    struct Line {
        std::string text;       // without its terminator ("\n" or "\r\n")
        bool overlong = false;  // the line was longer than the limit; `text` is empty
    };

    // Reads up to `capacity` bytes into `buffer`; returns the count, 0 at end of input, -1 on error.
    using ByteSource = std::function<ssize_t(char* buffer, size_t capacity)>;

    explicit LineReader(int fd, size_t maxLineBytes = kDefaultMaxLineBytes);
    explicit LineReader(ByteSource source, size_t maxLineBytes = kDefaultMaxLineBytes);

    // The next line, or none at end of input (or a read error). A last line without a terminator
    // is still a line.
    std::optional<Line> next();

private:
    bool fill();  // replaces the buffer with the next bytes; false at end of input

    ByteSource source_;
    size_t maxLineBytes_;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
};

// Lower-cases text as full Unicode case mapping does for every character that can lower-case into
// ASCII letters (A-Z, KELVIN SIGN, LATIN CAPITAL I WITH DOT ABOVE); every other character is kept.
// Command words are ASCII, so comparing this result with them gives exactly the answer that
// comparing a fully lower-cased line would.
std::string lowercaseForCommandMatch(const std::string& text);

}  // namespace common
