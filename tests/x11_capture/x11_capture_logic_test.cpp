#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "recorder/platform/linux/pixels/nv12_block.hpp"
#include "recorder/platform/linux/x11/damage_region.hpp"
#include "recorder/platform/linux/x11/exclusion_area.hpp"
#include "recorder/platform/linux/x11/frame_history.hpp"
#include "recorder/platform/linux/x11/frame_pixels.hpp"
#include "recorder/platform/linux/x11/grab_target.hpp"
#include "recorder/platform/linux/x11/monitors.hpp"
#include "recorder/platform/linux/x11/pixel_region.hpp"
#include "recorder/platform/linux/x11/window_selection.hpp"
#include "recorder/platform/pixel_buffer.hpp"

namespace recorder::linux_backend::x11 {
namespace {

int64_t areaOf(const std::vector<PixelRect>& rects) {
    int64_t total = 0;
    for (const auto& r : rects) total += static_cast<int64_t>(r.width) * r.height;
    return total;
}

bool pairwiseDisjoint(const std::vector<PixelRect>& rects) {
    for (size_t i = 0; i < rects.size(); ++i)
        for (size_t j = i + 1; j < rects.size(); ++j)
            if (overlaps(rects[i], rects[j])) return false;
    return true;
}

bool covers(const std::vector<PixelRect>& rects, int x, int y) {
    return std::any_of(rects.begin(), rects.end(),
                       [&](const PixelRect& r) { return x >= r.x && x < r.right() && y >= r.y && y < r.bottom(); });
}

TEST(PixelRegion, SubtractingAHoleInTheMiddleLeavesAFrameOfFourDisjointPieces) {
    const auto pieces = subtract({{0, 0, 100, 100}}, {40, 40, 20, 20});
    EXPECT_EQ(areaOf(pieces), 100 * 100 - 20 * 20);
    EXPECT_TRUE(pairwiseDisjoint(pieces));
    EXPECT_FALSE(covers(pieces, 45, 45));
    EXPECT_TRUE(covers(pieces, 39, 45));
    EXPECT_TRUE(covers(pieces, 60, 59));
}

TEST(PixelRegion, SubtractingSomethingDisjointOrCoveringEverything) {
    EXPECT_EQ(subtract({{0, 0, 10, 10}}, {10, 0, 5, 5}), (std::vector<PixelRect>{{0, 0, 10, 10}}));
    EXPECT_TRUE(subtract({{0, 0, 10, 10}}, {-5, -5, 30, 30}).empty());
    // A hole over one edge cuts only that side.
    EXPECT_EQ(subtract({{0, 0, 10, 10}}, {5, -3, 20, 20}), (std::vector<PixelRect>{{0, 0, 5, 10}}));
}

TEST(PixelRegion, IntersectionOfRectanglesThatOnlyTouchIsEmpty) {
    EXPECT_TRUE(intersect({0, 0, 10, 10}, {10, 0, 10, 10}).isEmpty());
    EXPECT_EQ(intersect({0, 0, 10, 10}, {5, 5, 10, 10}), (PixelRect{5, 5, 5, 5}));
}

TEST(ExcludedArea, AnExcludedWindowIsHiddenExceptWhereAWindowAboveCoversIt) {
    // Bottom to top: excluded 100x100 at the origin, then another program's window over its corner.
    const std::vector<TopLevelFacts> windows{{1, {0, 0, 100, 100}, 7}, {2, {50, 50, 100, 100}, 8}};
    const auto area = excludedArea(windows, {7});
    EXPECT_EQ(areaOf(area), 100 * 100 - 50 * 50);
    EXPECT_TRUE(covers(area, 10, 10));
    EXPECT_FALSE(covers(area, 60, 60));  // the window above shows there
}

TEST(ExcludedArea, AWindowBelowAnExcludedOneDoesNotReduceIt) {
    const std::vector<TopLevelFacts> windows{{2, {50, 50, 100, 100}, 8}, {1, {0, 0, 100, 100}, 7}};
    const auto area = excludedArea(windows, {7});
    EXPECT_EQ(areaOf(area), 100 * 100);
}

TEST(ExcludedArea, OverlappingExcludedWindowsGiveDisjointPieces) {
    const std::vector<TopLevelFacts> windows{
        {1, {0, 0, 100, 100}, 7}, {2, {50, 0, 100, 100}, 9}, {3, {20, 20, 10, 10}, std::nullopt}};
    const auto area = excludedArea(windows, {7, 9});
    EXPECT_TRUE(pairwiseDisjoint(area));
    EXPECT_EQ(areaOf(area), 150 * 100 - 10 * 10);
    EXPECT_FALSE(covers(area, 25, 25));  // a window of unknown owner is never hidden
}

TEST(ExcludedArea, NothingExcludedOrNoMatchingProcessHidesNothing) {
    const std::vector<TopLevelFacts> windows{{1, {0, 0, 100, 100}, 7}};
    EXPECT_TRUE(excludedArea(windows, {}).empty());
    EXPECT_TRUE(excludedArea(windows, {8}).empty());
}

ClientWindowFacts window(uint32_t id, std::optional<int32_t> pid, bool viewable = true, bool hidden = false,
                         bool desktop = false) {
    ClientWindowFacts facts;
    facts.id = id;
    facts.frame = common::Rect{static_cast<double>(id), 0, 10, 10};
    facts.viewable = viewable;
    facts.hidden = hidden;
    facts.desktop = desktop;
    facts.pid = pid;
    return facts;
}

std::vector<uint32_t> idsOf(const WindowSelection& selection) {
    std::vector<uint32_t> ids;
    for (const auto& w : selection.windows) ids.push_back(w.windowID);
    return ids;
}

std::vector<int32_t> pidsOf(const WindowSelection& selection) {
    std::vector<int32_t> pids;
    for (const auto& a : selection.applications) pids.push_back(a.processID);
    return pids;
}

TEST(WindowSelection, TopmostWindowComesFirstAndApplicationsFollowWindowOrderWithoutRepeats) {
    const std::vector<ClientWindowFacts> bottomToTop{window(1, 100), window(2, 200), window(3, 100),
                                                     window(4, std::nullopt)};
    const auto selection = selectShareableWindows(bottomToTop, {}, false, true);
    EXPECT_EQ(idsOf(selection), (std::vector<uint32_t>{4, 3, 2, 1}));
    EXPECT_EQ(pidsOf(selection), (std::vector<int32_t>{100, 200}));
    EXPECT_EQ(selection.windows[0].owningProcessID, std::nullopt);
    EXPECT_EQ(selection.windows[1].frame, (common::Rect{3, 0, 10, 10}));
}

TEST(WindowSelection, OnScreenOnlyDropsUnmappedAndHiddenWindowsAndTheirApplications) {
    const std::vector<ClientWindowFacts> bottomToTop{window(1, 100, false), window(2, 200, true, true),
                                                     window(3, 300)};
    const auto onScreen = selectShareableWindows(bottomToTop, {}, false, true);
    EXPECT_EQ(idsOf(onScreen), (std::vector<uint32_t>{3}));
    EXPECT_EQ(pidsOf(onScreen), (std::vector<int32_t>{300}));
    const auto all = selectShareableWindows(bottomToTop, {}, false, false);
    EXPECT_EQ(idsOf(all), (std::vector<uint32_t>{3, 2, 1}));
}

TEST(WindowSelection, ClientsWithoutAShownWindowFollowTheWindowOwnersInProcessIdOrder) {
    // 100 owns a hidden window, 300 and 50 no window at all; 200 shows one and is a client too.
    const std::vector<ClientWindowFacts> bottomToTop{window(1, 100, true, true), window(2, 200)};
    const auto selection = selectShareableWindows(bottomToTop, {300, 200, 100, 50, 300}, false, true);
    EXPECT_EQ(idsOf(selection), (std::vector<uint32_t>{2}));
    EXPECT_EQ(pidsOf(selection), (std::vector<int32_t>{200, 50, 100, 300}));
}

TEST(WindowSelection, DesktopWindowsAreDroppedOnlyWhenAskedAndDuplicatesCollapse) {
    const std::vector<ClientWindowFacts> bottomToTop{window(1, 100, true, false, true), window(2, 200),
                                                     window(2, 200)};
    EXPECT_EQ(idsOf(selectShareableWindows(bottomToTop, {}, true, true)), (std::vector<uint32_t>{2}));
    EXPECT_EQ(idsOf(selectShareableWindows(bottomToTop, {}, false, true)), (std::vector<uint32_t>{2, 1}));
}

TEST(Monitors, MainMonitorIsThePrimaryElseTheFirst) {
    std::vector<Monitor> monitors{{11, {0, 0, 1920, 1080}, false}, {12, {1920, 0, 1920, 1080}, true}};
    EXPECT_EQ(mainMonitorID(monitors), 12u);
    monitors[1].primary = false;
    EXPECT_EQ(mainMonitorID(monitors), 11u);
    EXPECT_EQ(mainMonitorID({}), std::nullopt);
    EXPECT_EQ(findMonitor(monitors, 13), nullptr);
}

TEST(GrabTarget, ADisplayIsLimitedToTheScreenAndCarriesTheExcludedProcesses) {
    platform::ContentFilter filter;
    filter.display = {5, common::Rect{1920, 0, 1920, 1080}};
    filter.excludedApplications = {{42}, {43}, {42}};
    auto target = grabTargetFor(filter, 3000, 1000);
    ASSERT_TRUE(target.ok());
    EXPECT_EQ(target->rect, (PixelRect{1920, 0, 1080, 1000}));
    EXPECT_EQ(target->excludedPids, (std::unordered_set<int32_t>{42, 43}));
    EXPECT_EQ(target->displayID, 5u);
}

TEST(GrabTarget, ADisplayEntirelyOffTheScreenIsAnErrorNamingIt) {
    platform::ContentFilter filter;
    filter.display = {5, common::Rect{4000, 0, 100, 100}};
    auto target = grabTargetFor(filter, 3840, 1080);
    ASSERT_FALSE(target.ok());
    EXPECT_NE(target.error().message.find("display 5"), std::string::npos);
}

TEST(FramePacing, DeadlinesAdvanceByOneIntervalWhileOnTime) {
    EXPECT_EQ(nextFrameDeadline(1000, 1002, 16), 1016);
    EXPECT_EQ(nextFrameDeadline(1000, 1015, 16), 1016);
}

TEST(FramePacing, ALateFrameSkipsMissedTicksButStaysOnTheGrid) {
    // Started 40 units late with a 16 unit interval: ticks 1016 and 1032 are gone, 1048 is next.
    EXPECT_EQ(nextFrameDeadline(1000, 1040, 16), 1048);
    EXPECT_EQ(nextFrameDeadline(1000, 1016, 16), 1032);
}

TEST(FramesInFlight, LargeFramesAreCutToTheBudgetButNeverBelowTwoNorAboveTheQueueDepth) {
    using platform::framesInFlight;
    using platform::PixelBuffer;
    constexpr size_t budget = 32 * 1024 * 1024;
    const size_t frame1440 = PixelBuffer::byteCount(platform::kPixelFormat420v, 2560, 1440);
    const size_t bgra1080 = PixelBuffer::byteCount(platform::kPixelFormatBGRA, 1920, 1080);
    const size_t frame2160 = PixelBuffer::byteCount(platform::kPixelFormat420v, 3840, 2160);
    const size_t bgra2160 = PixelBuffer::byteCount(platform::kPixelFormatBGRA, 3840, 2160);
    EXPECT_EQ(PixelBuffer::byteCount(platform::kPixelFormat420v, 1920, 1080), 1920u * 1080 * 3 / 2);
    EXPECT_EQ(bgra2160, 3840u * 2160 * 4);
    EXPECT_EQ(framesInFlight(6, frame1440, budget), 6u);  // 33.2 MB of 33.5: the whole queue fits
    EXPECT_EQ(framesInFlight(6, bgra1080, budget), 4u);   // four of 8.3 MB
    EXPECT_EQ(framesInFlight(6, frame2160, budget), 2u);  // two of 12.4 MB
    EXPECT_EQ(framesInFlight(6, bgra2160, budget), 2u);   // not even one fits; two are the fewest that flow
    EXPECT_EQ(framesInFlight(1, frame2160, budget), 1u);  // a shallower queue is never deepened
    EXPECT_EQ(framesInFlight(4, 0, budget), 4u);
    EXPECT_EQ(framesInFlight(6, frame1440, 0), 2u);
}

TEST(FramesInFlight, OddSizesCountTheRoundedUpChromaAndAPoolHandsOutNoMoreThanItsBound) {
    using platform::PixelBuffer;
    // 5x3 in NV12: 15 luma bytes, then 2 chroma rows of 3 pairs.
    EXPECT_EQ(PixelBuffer::byteCount(platform::kPixelFormat420v, 5, 3), 15u + 2 * 6);
    auto single = PixelBuffer::allocate(platform::kPixelFormat420v, 5, 3);
    ASSERT_TRUE(single);
    size_t planeBytes = 0;
    for (size_t i = 0; i < single->planeCount(); ++i)
        planeBytes += static_cast<size_t>(single->plane(i).stride) * static_cast<size_t>(single->plane(i).height);
    EXPECT_EQ(planeBytes, PixelBuffer::byteCount(platform::kPixelFormat420v, 5, 3));

    auto pool = platform::PixelBufferPool::make(platform::kPixelFormat420v, 64, 36, 2);
    auto first = pool->createPixelBuffer();
    auto second = pool->createPixelBuffer();
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_FALSE(pool->createPixelBuffer().ok());
    std::shared_ptr<platform::PixelBuffer> released = std::move(first).value();
    const uint8_t* firstPixels = released->plane(0).data;
    released.reset();
    auto again = pool->createPixelBuffer();
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value()->plane(0).data, firstPixels);  // the same memory, not a third buffer
}

TEST(FramePixels, CopiesAreOpaqueAndExactForEveryWidthIncludingOddTails) {
    for (int width : {1, 3, 4, 7, 33}) {
        std::vector<uint8_t> source(static_cast<size_t>(width) * 4 * 2 + 8);
        for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 37 + 11);
        const int destinationStride = width * 4 + 12;  // padded rows must keep their padding
        std::vector<uint8_t> destination(static_cast<size_t>(destinationStride) * 2, 0xEE);
        copyBGRXToOpaqueBGRA(source.data(), width * 4 + 8, destination.data(), destinationStride, width, 2);
        for (int row = 0; row < 2; ++row) {
            for (int x = 0; x < width; ++x) {
                const uint8_t* from = source.data() + row * (width * 4 + 8) + x * 4;
                const uint8_t* to = destination.data() + row * destinationStride + x * 4;
                ASSERT_EQ(to[0], from[0]);
                ASSERT_EQ(to[1], from[1]);
                ASSERT_EQ(to[2], from[2]);
                ASSERT_EQ(to[3], 0xFF) << "width " << width;
            }
            EXPECT_EQ(destination[row * destinationStride + width * 4], 0xEE);
        }
    }
}

TEST(FramePixels, FillIsClippedToTheImage) {
    std::vector<uint8_t> image(4 * 4 * 4, 0);
    fillRect(image.data(), 16, 4, 4, PixelRect{2, -1, 10, 2}, kNeutralFillPixel);
    auto at = [&](int x, int y) { return image[y * 16 + x * 4]; };
    EXPECT_EQ(at(2, 0), 0x80);
    EXPECT_EQ(at(3, 0), 0x80);
    EXPECT_EQ(at(1, 0), 0);
    EXPECT_EQ(at(2, 1), 0);
}

TEST(DamageBlocks, OddRectanglesGrowToWholeChromaBlocksInTheCapturesCoordinates) {
    const PixelRect capture{100, 50, 401, 301};  // odd size, so the last chroma block is a half one
    EXPECT_TRUE(blocksToRefresh({}, capture, 8).empty());
    EXPECT_TRUE(blocksToRefresh({{0, 0, 100, 50}, {501, 351, 10, 10}}, capture, 8).empty());  // only touching
    EXPECT_EQ(blocksToRefresh({{151, 61, 3, 3}}, capture, 8), (std::vector<PixelRect>{{50, 10, 4, 4}}));
    // Across the right and bottom edges: clipped there, with the odd last column and row kept.
    EXPECT_EQ(blocksToRefresh({{499, 340, 10, 20}}, capture, 8), (std::vector<PixelRect>{{398, 290, 3, 11}}));
    // Across the top-left corner.
    EXPECT_EQ(blocksToRefresh({{90, 40, 13, 13}}, capture, 8), (std::vector<PixelRect>{{0, 0, 4, 4}}));
}

TEST(DamageBlocks, AScreenFullOfChangesOrHalfTheCaptureIsOneWholeBlock) {
    const PixelRect capture{0, 0, 3840, 2160};
    EXPECT_EQ(blocksToRefresh({{-5, -5, 4000, 2200}}, capture, 8), (std::vector<PixelRect>{{0, 0, 3840, 2160}}));
    EXPECT_EQ(blocksToRefresh({{0, 0, 3840, 1080}}, capture, 8), (std::vector<PixelRect>{{0, 0, 3840, 2160}}));
    EXPECT_EQ(blocksToRefresh({{0, 0, 3840, 1078}}, capture, 8), (std::vector<PixelRect>{{0, 0, 3840, 1078}}));
}

TEST(DamageBlocks, ManyRectanglesMergeNearestFirstAndStillCoverEveryChangedPixel) {
    const PixelRect capture{0, 0, 1920, 1080};
    // Two far-apart groups of glyphs: merged within each group, never across.
    std::vector<PixelRect> glyphs;
    for (int i = 0; i < 30; ++i) glyphs.push_back({100 + i * 9, 200, 7, 13});
    for (int i = 0; i < 30; ++i) glyphs.push_back({1500 + i * 9, 900, 7, 13});
    const auto blocks = blocksToRefresh(glyphs, capture, 2);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_LT(areaOf(blocks), 2 * 280 * 14);
    for (const auto& glyph : glyphs)
        for (int y = glyph.y; y < glyph.bottom(); ++y)
            for (int x = glyph.x; x < glyph.right(); ++x) ASSERT_TRUE(covers(blocks, x, y)) << x << "," << y;
    // More rectangles than are worth sorting out: their bounds.
    std::vector<PixelRect> text;
    for (int i = 0; i < 100; ++i) text.push_back({10 + i * 8, 31, 6, 10});
    EXPECT_EQ(blocksToRefresh(text, capture, 8), (std::vector<PixelRect>{{10, 30, 798, 12}}));
}

TEST(FrameHistory, EachBufferKnowsWhatChangedSinceItLastHeldThePicture) {
    auto pool = platform::PixelBufferPool::make(platform::kPixelFormat420v, 64, 32, 3);
    auto first = pool->createPixelBuffer().value();
    auto second = pool->createPixelBuffer().value();
    auto third = pool->createPixelBuffer().value();
    FrameHistory history;
    EXPECT_FALSE(history.latest());
    EXPECT_FALSE(history.staleParts(*first));  // never filled: whole

    history.delivered(first, {{0, 0, 64, 32}});
    history.delivered(second, {{2, 2, 4, 4}});
    history.delivered(third, {{10, 10, 2, 2}});
    EXPECT_EQ(history.latest(), third);
    EXPECT_EQ(history.staleParts(*first), (std::vector<PixelRect>{{2, 2, 4, 4}, {10, 10, 2, 2}}));
    EXPECT_EQ(history.staleParts(*second), (std::vector<PixelRect>{{10, 10, 2, 2}}));
    EXPECT_EQ(history.staleParts(*third), std::vector<PixelRect>{});
    history.delivered(first, {});  // a still refresh: caught up, nothing new for the others
    EXPECT_EQ(history.staleParts(*first), std::vector<PixelRect>{});
    EXPECT_EQ(history.staleParts(*second), (std::vector<PixelRect>{{10, 10, 2, 2}}));

    // A buffer left in the pool for long keeps few parts, still covering every change.
    for (int i = 0; i < 40; ++i) history.delivered(i % 2 ? first : third, {{(i % 16) * 4, (i / 16) * 4, 2, 2}});
    const auto parts = history.staleParts(*second).value();
    EXPECT_LE(parts.size(), 16u);
    EXPECT_TRUE(covers(parts, 10, 10));
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(covers(parts, (i % 16) * 4 + 1, (i / 16) * 4 + 1)) << i;

    history.reset();
    EXPECT_FALSE(history.latest());
    EXPECT_FALSE(history.staleParts(*second));
}

// Frames made the way the capture thread makes them, from a pool whose buffers the consumer drops
// at once, holds for many frames, or all of them (frames then skipped, their changes kept pending):
// every frame made must show exactly the current picture. Each change paints a new value, so a
// part missed anywhere shows as an old value.
TEST(FrameHistory, FramesMadeFromChangesShowThePictureWhateverTheConsumerHoldsOrDrops) {
    constexpr int kWidth = 37, kHeight = 23;  // odd: half chroma blocks at the right and bottom
    const PixelRect whole{0, 0, kWidth, kHeight};
    auto pool = platform::PixelBufferPool::make(platform::kPixelFormat420v, kWidth, kHeight, 4);
    std::vector<uint8_t> picture(kWidth * kHeight, 0);
    FrameHistory history;
    std::vector<PixelRect> pending{whole};
    std::vector<std::shared_ptr<platform::PixelBuffer>> held;
    std::mt19937 random(14);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto nv12 = [](const platform::PixelBuffer& b) {
        return Nv12Image{b.plane(0).data, b.plane(0).stride, b.plane(1).data, b.plane(1).stride, b.width(), b.height()};
    };
    int made = 0, partial = 0, skipped = 0;
    for (int step = 1; step <= 3000; ++step) {
        const int changes = below(4);  // none: an idle tick, unless the consumer lets go of the picture
        for (int i = 0; i < changes; ++i) {
            const bool everything = below(50) == 0;
            const int x = below(kWidth), y = below(kHeight);
            const PixelRect changed = everything ? whole : PixelRect{x, y, 1 + below(kWidth - x), 1 + below(kHeight - y)};
            for (int row = changed.y; row < changed.bottom(); ++row)
                for (int column = changed.x; column < changed.right(); ++column)
                    picture[row * kWidth + column] = static_cast<uint8_t>(step % 251 + 1);
            pending.push_back(changed);
        }
        if (pending.size() > 8) pending = blocksToRefresh(pending, whole, 8);
        // The consumer: lets go of some frames it held; sometimes everything.
        std::erase_if(held, [&](const auto&) { return below(below(20) == 0 ? 1 : 6) == 0; });
        if (pending.empty()) continue;

        auto buffer = pool->createPixelBuffer();
        if (!buffer && history.latest()) {
            history.reset();
            buffer = pool->createPixelBuffer();
        }
        if (!buffer) {
            ++skipped;
            continue;
        }
        const auto blocks = history.latest() ? blocksToRefresh(pending, whole, 8) : std::vector<PixelRect>{whole};
        const Nv12Image to = nv12(*buffer.value());
        if (history.latest()) {
            ++partial;
            const auto stale = history.staleParts(*buffer.value());
            for (const PixelRect& part : stale.value_or(std::vector<PixelRect>{whole}))
                copyNV12Block(nv12(*history.latest()), to, Nv12Block{part.x, part.y, part.width, part.height});
        }
        for (const PixelRect& block : blocks)
            for (int row = block.y; row < block.bottom(); ++row)
                for (int column = block.x; column < block.right(); ++column)
                    to.y[row * to.yStride + column] = picture[row * kWidth + column];
        history.delivered(buffer.value(), blocks);
        pending.clear();
        ++made;
        for (int row = 0; row < kHeight; ++row)
            for (int column = 0; column < kWidth; ++column)
                ASSERT_EQ(to.y[row * to.yStride + column], picture[row * kWidth + column])
                    << "frame " << made << " at " << column << "," << row;
        if (below(3) != 0) held.push_back(std::move(buffer).value());  // else dropped at once
    }
    // Every way through was taken many times.
    EXPECT_GT(partial, 500);
    EXPECT_GT(skipped, 50);
}

}  // namespace
}  // namespace recorder::linux_backend::x11
