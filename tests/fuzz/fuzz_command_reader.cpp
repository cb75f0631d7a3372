// Any bytes as standard input: lines never exceed the bound, never contain a line feed, and
// nothing is asked for after "stop".
#include <cstdint>
#include <cstring>
#include <string>

#include "recorder/control/command_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kLimit = 32;  // small, so that overlong lines are common
    size_t offset = 0;
    // Deliver in uneven pieces, as a pipe would.
    common::LineReader reader(
        [&](char* buffer, size_t capacity) -> ssize_t {
            const size_t piece = std::min({capacity, size - offset, static_cast<size_t>(offset % 7 + 1)});
            std::memcpy(buffer, data + offset, piece);
            offset += piece;
            return static_cast<ssize_t>(piece);
        },
        kLimit);
    bool stopped = false;
    int asked = 0;
    recorder::runCommandReader(reader, recorder::CommandHandlers{
                                           [&] { if (stopped) __builtin_trap(); ++asked; },
                                           [&] { if (stopped) __builtin_trap(); ++asked; },
                                           [&] { if (stopped) __builtin_trap(); stopped = true; }});
    // A second pass through the raw reader checks the line invariants on the same input.
    offset = 0;
    common::LineReader lines(
        [&](char* buffer, size_t capacity) -> ssize_t {
            const size_t piece = std::min(capacity, size - offset);
            std::memcpy(buffer, data + offset, piece);
            offset += piece;
            return static_cast<ssize_t>(piece);
        },
        kLimit);
    size_t total = 0;
    while (const auto line = lines.next()) {
        if (line->text.size() > kLimit) __builtin_trap();
        if (line->text.find('\n') != std::string::npos) __builtin_trap();
        if (line->overlong && !line->text.empty()) __builtin_trap();
        total += line->text.size();
        if (total > size) __builtin_trap();
        (void)common::lowercaseForCommandMatch(line->text);
    }
    (void)asked;
    return 0;
}
