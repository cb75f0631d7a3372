#include "pointer/export/cursor_export.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "pointer/export/base64.hpp"
#include "pointer/export/number_text.hpp"
#include "pointer/platform/linux/cairo_image_renderer.hpp"
#include "pointer_fakes.hpp"

namespace pointer::exporting {
namespace {

using platform::StandardCursor;

std::string base64Of(std::string_view text) {
    return base64Encode(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == separator) fields.emplace_back();
        else fields.back() += c;
    }
    return fields;
}

TEST(ShortestDecimal, ReadsBackExactlyAndKeepsAFractionDigit) {
    EXPECT_EQ(shortestDecimal(4.0 / 17.0), "0.23529411764705882");
    EXPECT_EQ(shortestDecimal(4.0 / 23.0), "0.17391304347826086");
    EXPECT_EQ(shortestDecimal(17.0 / 23.0), "0.7391304347826086");
    EXPECT_EQ(shortestDecimal(1.0), "1.0");
    EXPECT_EQ(shortestDecimal(0.5), "0.5");
    EXPECT_EQ(shortestDecimal(0.0), "0.0");
    EXPECT_EQ(shortestDecimal(48.0), "48.0");
    EXPECT_EQ(shortestDecimal(1e-7), "0.0000001");  // never in exponent form
    for (double value : {1.0 / 3.0, 2.0 / 3.0, 0.1, 5.0 / 24.0}) {
        EXPECT_EQ(std::stod(shortestDecimal(value)), value);
    }
}

TEST(Base64, StandardAlphabetWithPadding) {
    EXPECT_EQ(base64Of(""), "");
    EXPECT_EQ(base64Of("f"), "Zg==");
    EXPECT_EQ(base64Of("fo"), "Zm8=");
    EXPECT_EQ(base64Of("foo"), "Zm9v");
    EXPECT_EQ(base64Of("foob"), "Zm9vYg==");
    EXPECT_EQ(base64Of("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64Of("foobar"), "Zm9vYmFy");
    const uint8_t high[] = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64Encode(high), "+/+/");
}

// Width and height from a PNG's header chunk.
std::pair<uint32_t, uint32_t> pngSize(const std::vector<uint8_t>& png) {
    auto be32 = [&](size_t at) { return uint32_t(png[at]) << 24 | uint32_t(png[at + 1]) << 16 | uint32_t(png[at + 2]) << 8 | png[at + 3]; };
    return {be32(16), be32(20)};
}

TEST(CursorImageLine, SixFieldsWithRatiosAndAPng) {
    const platform::linux_x11::CairoImageRenderer renderer;
    const auto image = testing::solidImage(17, 23, {4, 4});
    const auto line = cursorImageLineFor("arrow", image, renderer);
    ASSERT_TRUE(line);
    const auto fields = split(*line, ':');
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(fields[0], "CURSOR_IMAGE");
    EXPECT_EQ(fields[1], "arrow");
    EXPECT_EQ(fields[2], "0.23529411764705882");
    EXPECT_EQ(fields[3], "0.17391304347826086");
    EXPECT_EQ(fields[4], "0.7391304347826086");
    const auto png = renderer.encodePng(image);
    ASSERT_TRUE(png);
    EXPECT_EQ(fields[5], base64Encode(*png));
    ASSERT_GE(png->size(), 24u);
    EXPECT_EQ(std::memcmp(png->data(), "\x89PNG\r\n\x1a\n", 8), 0);
    EXPECT_EQ(pngSize(*png), (std::pair<uint32_t, uint32_t>{17, 23}));
}

TEST(CursorImageLine, HotSpotAtTheOriginIsZeroPointZero) {
    const platform::linux_x11::CairoImageRenderer renderer;
    const auto line = cursorImageLineFor("text", testing::solidImage(8, 16), renderer);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->rfind("CURSOR_IMAGE:text:0.0:0.0:0.5:", 0), 0u);
}

TEST(ExportCursorImages, NineNamesInOrderSkippingWhatCannotBeExported) {
    const platform::linux_x11::CairoImageRenderer renderer;
    testing::TableCursorLibrary library;
    for (auto cursor : {StandardCursor::arrow, StandardCursor::iBeam, StandardCursor::pointingHand,
                        StandardCursor::crosshair, StandardCursor::openHand, StandardCursor::closedHand,
                        StandardCursor::resizeLeftRight, StandardCursor::resizeUpDown,
                        StandardCursor::operationNotAllowed, StandardCursor::resizeLeft}) {
        library.images[cursor] = testing::solidImage(24, 24, {1, 2});
    }
    library.images[StandardCursor::crosshair].width = 0;  // no area: skipped
    testing::RecordingLineSink sink;
    exportCursorImages(library, renderer, sink);
    std::vector<std::string> names;
    for (const auto& line : sink.outLines()) names.push_back(split(line, ':')[1]);
    EXPECT_EQ(names, (std::vector<std::string>{"arrow", "text", "pointer", "open-hand", "closed-hand", "resize-ew",
                                                "resize-ns", "not-allowed"}));
}

}  // namespace
}  // namespace pointer::exporting
