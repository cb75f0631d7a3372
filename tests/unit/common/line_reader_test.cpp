#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/line_reader.hpp"

namespace {

// Feeds `input` through a pipe and collects what the reader makes of it.
std::vector<common::LineReader::Line> readAll(const std::string& input, size_t maxLineBytes = 64) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        size_t written = 0;
        while (written < input.size()) {
            const ssize_t n = write(fds[1], input.data() + written, std::min<size_t>(7, input.size() - written));
            if (n <= 0) break;
            written += static_cast<size_t>(n);
        }
        close(fds[1]);
    });
    common::LineReader reader(fds[0], maxLineBytes);
    std::vector<common::LineReader::Line> lines;
    while (auto line = reader.next()) lines.push_back(*line);
    writer.join();
    close(fds[0]);
    return lines;
}

}  // namespace

TEST(LineReader, RemovesOnlyTheTerminator) {
    const auto lines = readAll("pause\r\n resume\nstop \n\n\tx\r\r\nlast");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].text, "pause");
    EXPECT_EQ(lines[1].text, " resume");
    EXPECT_EQ(lines[2].text, "stop ");
    EXPECT_EQ(lines[3].text, "");
    EXPECT_EQ(lines[4].text, "\tx\r");  // only one "\r\n" pair is a terminator
    EXPECT_EQ(lines[5].text, "last");   // a last line without terminator still counts
}

TEST(LineReader, OverlongLinesAreDroppedWithoutLosingTheNext) {
    const std::string huge(10000, 'a');
    const auto lines = readAll(huge + "\nstop\n" + std::string(65, 'b') + "\r\n" + std::string(64, 'c') + "\r\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].overlong);
    EXPECT_TRUE(lines[0].text.empty());
    EXPECT_EQ(lines[1].text, "stop");
    EXPECT_TRUE(lines[2].overlong);
    EXPECT_FALSE(lines[3].overlong);  // exactly the limit, with "\r\n"
    EXPECT_EQ(lines[3].text.size(), 64u);
}

TEST(LineReader, EmptyInputHasNoLines) {
    EXPECT_TRUE(readAll("").empty());
    const auto one = readAll("\n");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].text, "");
}

TEST(LowercaseForCommandMatch, MatchesFullUnicodeLowercasingOfCommands) {
    EXPECT_EQ(common::lowercaseForCommandMatch("STOP"), "stop");
    EXPECT_EQ(common::lowercaseForCommandMatch("Pause"), "pause");
    EXPECT_EQ(common::lowercaseForCommandMatch("\xE2\x84\xAA"), "k");  // KELVIN SIGN
    EXPECT_EQ(common::lowercaseForCommandMatch("\xC4\xB0"), "i\xCC\x87");
    // Other characters (and invalid UTF-8) stay as they are, so they never match a command.
    EXPECT_EQ(common::lowercaseForCommandMatch("ST\xC3\x96P"), "st\xC3\x96p");
    EXPECT_EQ(common::lowercaseForCommandMatch(std::string("s\0top", 5)), std::string("s\0top", 5));
    EXPECT_EQ(common::lowercaseForCommandMatch("\xFF\xFE"), "\xFF\xFE");
}
