#pragma once

#include <string>

namespace common {

// Where a program's lines to its parent go. Each line is written whole, with its line feed, and
// the stream is flushed at once, so the parent sees every line as soon as it exists.
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void out(const std::string& line) = 0;
    virtual void err(const std::string& line) = 0;
};

// Standard output and standard error.
class StdioLineSink final : public LineSink {
public:
    void out(const std::string& line) override;
    void err(const std::string& line) override;
};

}  // namespace common
