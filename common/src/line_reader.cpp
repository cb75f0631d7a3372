#include "common/line_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace common {

LineReader::LineReader(int fd, size_t maxLineBytes)
    : LineReader([fd](char* buffer, size_t capacity) { return ::read(fd, buffer, capacity); }, maxLineBytes) {}

LineReader::LineReader(ByteSource source, size_t maxLineBytes)
    : source_(std::move(source)),
      maxLineBytes_(maxLineBytes),
      buffer_(std::min<size_t>(64 * 1024, std::max<size_t>(4096, maxLineBytes + 2))) {}

bool LineReader::fill() {
    begin_ = end_ = 0;
    if (eof_) return false;
    for (;;) {
        const ssize_t n = source_(buffer_.data(), buffer_.size());
        if (n > 0) {
            end_ = static_cast<size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        eof_ = true;
        return false;
    }
}

std::optional<LineReader::Line> LineReader::next() {
    Line line;
    bool sawBytes = false;
    // One extra byte is allowed while reading: it may be the '\r' of a "\r\n" terminator.
    const auto keep = [&](const char* bytes, size_t count) {
        if (line.overlong) return;
        if (line.text.size() + count > maxLineBytes_ + 1) {
            line.overlong = true;
            line.text.clear();
            line.text.shrink_to_fit();
            return;
        }
        line.text.append(bytes, count);
    };
    const auto finish = [&](bool terminated) {
        if (terminated && !line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        if (line.text.size() > maxLineBytes_) {
            line.overlong = true;
            line.text.clear();
        }
        return line;
    };
    for (;;) {
        if (begin_ == end_ && !fill()) break;
        sawBytes = true;
        const char* start = buffer_.data() + begin_;
        const size_t available = end_ - begin_;
        const void* newline = std::memchr(start, '\n', available);
        const size_t take = newline ? static_cast<size_t>(static_cast<const char*>(newline) - start) : available;
        keep(start, take);
        begin_ += take;
        if (newline) {
            begin_ += 1;
            return finish(true);
        }
    }
    if (!sawBytes) return std::nullopt;
    return finish(false);
}

std::string lowercaseForCommandMatch(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 'A' && c <= 'Z') {
            result.push_back(static_cast<char>(c - 'A' + 'a'));
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x84 &&
                   static_cast<unsigned char>(text[i + 2]) == 0xAA) {
            result.push_back('k');  // U+212A KELVIN SIGN
            i += 2;
        } else if (c == 0xC4 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xB0) {
            result += "i\xCC\x87";  // U+0130 lower-cases to i + U+0307 COMBINING DOT ABOVE
            i += 1;
        } else {
            result.push_back(static_cast<char>(c));
        }
    }
    return result;
}

}  // namespace common
