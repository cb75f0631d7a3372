#include <gtest/gtest.h>

#include <algorithm>

#include "recorder/platform/linux/x11/exclusion_area.hpp"
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

}  // namespace
}  // namespace recorder::linux_backend::x11
