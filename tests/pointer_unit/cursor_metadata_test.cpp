// Cursor metadata blocks as a Wayland desktop writes them into screen-cast buffers.

#include <spa/param/video/raw.h>

#include <gtest/gtest.h>

#include <cstring>

#include "pointer/classify/accessibility_inference.hpp"
#include "pointer/classify/cursor_classifier.hpp"
#include "pointer/classify/known_cursors.hpp"
#include "pointer/classify/signature_thresholds.hpp"
#include "pointer/platform/linux/cairo_image_renderer.hpp"
#include "pointer/platform/linux/cursor_metadata.hpp"
#include "pointer/platform/linux/xcursor_theme_library.hpp"
#include "pointer_fakes.hpp"

namespace pointer::platform::linux_wayland {
namespace {

constexpr size_t kPixelsAt = sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap);

// One metadata block: the cursor at (x, y), and the picture in `format` with 4-byte pixels.
std::vector<uint8_t> block(const CursorImage& image, uint32_t format, int x, int y) {
    std::vector<uint8_t> bytes(cursorMetadataSize(kLargestCursorSide));
    spa_meta_cursor cursor{};
    cursor.id = 1;
    cursor.position = {x, y};
    cursor.hotspot = {int32_t(image.hotSpot.x), int32_t(image.hotSpot.y)};
    cursor.bitmap_offset = sizeof(spa_meta_cursor);
    spa_meta_bitmap bitmap{};
    bitmap.format = format;
    bitmap.size = {uint32_t(image.pixelWidth), uint32_t(image.pixelHeight)};
    bitmap.stride = image.pixelWidth * 4 + 8;  // rows padded, as producers may
    bitmap.offset = sizeof(spa_meta_bitmap);
    std::memcpy(bytes.data(), &cursor, sizeof cursor);
    std::memcpy(bytes.data() + sizeof cursor, &bitmap, sizeof bitmap);
    for (int row = 0; row < image.pixelHeight; ++row) {
        for (int column = 0; column < image.pixelWidth; ++column) {
            const uint32_t argb = image.pixels[size_t(row * image.pixelWidth + column)];
            const uint8_t a = argb >> 24, r = argb >> 16, g = argb >> 8, b = argb;
            const uint8_t rgba[4] = {r, g, b, a}, bgra[4] = {b, g, r, a};
            std::memcpy(bytes.data() + kPixelsAt + size_t(row * bitmap.stride + column * 4),
                        format == SPA_VIDEO_FORMAT_RGBA ? rgba : bgra, 4);
        }
    }
    return bytes;
}

const spa_meta_cursor& cursorOf(const std::vector<uint8_t>& bytes) {
    return *reinterpret_cast<const spa_meta_cursor*>(bytes.data());
}

class CursorFromMetadata : public ::testing::Test {
protected:
    CursorFromMetadata()
        : theme("Adwaita", 24),
          known(classify::computeKnownCursorSignatures(theme, cairo)),
          inference(accessibility, pointer),
          classifier(pointer, cairo, known, classify::SignatureThresholds{}, inference) {}

    std::string classify(const CursorReport& report) {
        EXPECT_TRUE(report.picture);
        if (!report.picture) return {};
        pointer.show(ShownCursor{++serial, *report.picture});
        return classifier.currentSystemCursorType();
    }

    linux_x11::XcursorThemeLibrary theme;
    linux_x11::CairoImageRenderer cairo;
    std::vector<classify::KnownCursorSignature> known;
    pointer::testing::ScriptedScreenPointer pointer;
    pointer::testing::FakeAccessibilityService accessibility;
    classify::AccessibilityInference inference;
    classify::CursorClassifier classifier;
    uint64_t serial = 0;
};

TEST_F(CursorFromMetadata, PicturesInEitherChannelOrderAreClassifiedAsTheThemeDrawsThem) {
    const std::pair<StandardCursor, const char*> cases[] = {
        {StandardCursor::iBeam, "text"},
        {StandardCursor::pointingHand, "pointer"},
        {StandardCursor::resizeLeftRight, "resize-ew"},
        {StandardCursor::arrow, "arrow"},
    };
    for (const uint32_t format : {SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_BGRA}) {
        for (const auto& [shape, name] : cases) {
            const auto image = *theme.cursor(shape);
            const auto bytes = block(image, format, 640, 360);
            const auto report = readCursorMetadata(cursorOf(bytes), bytes.size());
            ASSERT_TRUE(report.shown);
            EXPECT_EQ(report.position.x, 640);
            EXPECT_EQ(report.position.y, 360);
            ASSERT_TRUE(report.hasPicture);
            ASSERT_TRUE(report.picture);
            EXPECT_EQ(report.picture->pixels, image.pixels) << name;
            EXPECT_EQ(report.picture->hotSpot.x, image.hotSpot.x);
            EXPECT_EQ(classify(report), name) << format;
        }
    }
}

TEST(CursorMetadata, PositionOnlyHiddenAndAbsentCursors) {
    std::vector<uint8_t> bytes(cursorMetadataSize(4));
    spa_meta_cursor cursor{};
    cursor.id = 1;
    cursor.position = {-3, 7};  // partly off the monitor's edge is still on it
    std::memcpy(bytes.data(), &cursor, sizeof cursor);
    auto report = readCursorMetadata(cursorOf(bytes), bytes.size());
    EXPECT_TRUE(report.shown);
    EXPECT_EQ(report.position.x, -3);
    EXPECT_FALSE(report.hasPicture);  // the picture did not change

    // An invisible cursor comes as a fully transparent picture.
    CursorImage clear;
    clear.pixelWidth = clear.pixelHeight = 2;
    clear.pixels.assign(4, 0x00FFFFFFu);
    const auto hidden = block(clear, SPA_VIDEO_FORMAT_RGBA, 1, 1);
    report = readCursorMetadata(cursorOf(hidden), hidden.size());
    EXPECT_TRUE(report.hasPicture);
    EXPECT_FALSE(report.picture);

    cursor.id = 0;  // the pointer is on another monitor
    std::memcpy(bytes.data(), &cursor, sizeof cursor);
    EXPECT_FALSE(readCursorMetadata(cursorOf(bytes), bytes.size()).shown);
    EXPECT_FALSE(readCursorMetadata(cursorOf(bytes), sizeof(spa_meta_cursor) - 1).shown);
}

TEST(CursorMetadata, OffsetsAndSizesThatLeaveTheBlockGiveNoPicture) {
    CursorImage image;
    image.pixelWidth = image.pixelHeight = 8;
    image.pixels.assign(64, 0xFF000000u);
    const auto good = block(image, SPA_VIDEO_FORMAT_RGBA, 0, 0);
    ASSERT_TRUE(readCursorMetadata(cursorOf(good), good.size()).picture);
    // Exactly as large as the last row needs is enough; a byte less is not.
    const size_t needed = kPixelsAt + size_t(7 * (8 * 4 + 8) + 8 * 4);
    EXPECT_TRUE(readCursorMetadata(cursorOf(good), needed).picture);
    EXPECT_FALSE(readCursorMetadata(cursorOf(good), needed - 1).picture);

    const auto broken = [&](const std::function<void(spa_meta_cursor&, spa_meta_bitmap&)>& damage) {
        auto bytes = good;
        auto& cursor = *reinterpret_cast<spa_meta_cursor*>(bytes.data());
        auto& bitmap = *reinterpret_cast<spa_meta_bitmap*>(bytes.data() + sizeof(spa_meta_cursor));
        damage(cursor, bitmap);
        const auto report = readCursorMetadata(cursorOf(bytes), bytes.size());
        return report.shown && report.hasPicture && !report.picture;
    };
    EXPECT_TRUE(broken([](auto& c, auto&) { c.bitmap_offset = 0x7FFFFFF0; }));
    EXPECT_TRUE(broken([](auto& c, auto&) { c.bitmap_offset = 4; }));  // inside the cursor header
    EXPECT_TRUE(broken([](auto&, auto& b) { b.offset = 0xFFFFFFF0; }));
    EXPECT_TRUE(broken([](auto&, auto& b) { b.stride = -32; }));
    EXPECT_TRUE(broken([](auto&, auto& b) { b.stride = 16; }));  // narrower than a row
    EXPECT_TRUE(broken([](auto&, auto& b) { b.size.height = 0x40000000; }));
    EXPECT_TRUE(broken([](auto&, auto& b) { b.size.width = kLargestCursorSide + 1; }));
    EXPECT_TRUE(broken([](auto&, auto& b) { b.format = SPA_VIDEO_FORMAT_I420; }));
}

}  // namespace
}  // namespace pointer::platform::linux_wayland
