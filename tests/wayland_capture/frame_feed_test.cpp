// The feed from a desktop's pictures to a capture stream's frames: pictures from before the start,
// the desktop's time stamps, a still screen's repeats, a consumer that holds every buffer, the end.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/wayland/frame_feed.hpp"

namespace recorder::linux_backend::wayland {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 64;
constexpr int kHeight = 32;

// A picture of one BGRx colour.
struct Picture {
    explicit Picture(uint32_t colour, int width = kWidth, int height = kHeight)
        : width(width), height(height), pixels(static_cast<size_t>(width) * height, colour) {}
    pipewire::ArrivedFrame frame(std::optional<int64_t> stamp = std::nullopt,
                                 std::optional<pipewire::RowBand> changed = std::nullopt) const {
        pipewire::ArrivedFrame arrived;
        arrived.picture = SourcePicture{reinterpret_cast<const uint8_t*>(pixels.data()), width * 4, width, height,
                                        ChannelOrder::bgr};
        arrived.presentationNs = stamp;
        arrived.changedRows = changed;
        return arrived;
    }
    int width, height;
    std::vector<uint32_t> pixels;
};

// Collects what the feed delivers; `keep` false releases each frame at once, as a writer does.
class Collector {
public:
    FrameFeed::Sink sink() {
        return [this](std::shared_ptr<platform::SampleBuffer> sample) {
            std::lock_guard lock(mutex_);
            frames_.push_back(sample);
            changed_.notify_all();
        };
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
    }
    // Until two frames have come that both are stamped at `hostNs` or later.
    bool waitForTwoAfter(int64_t hostNs, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return frames_.size() >= 3 && frames_[frames_.size() - 2]->presentationTimeStamp().nanoseconds() >= hostNs;
        });
    }
    std::vector<std::shared_ptr<platform::SampleBuffer>> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        frames_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<platform::SampleBuffer>> frames_;
};

uint32_t firstPixel(const platform::SampleBuffer& sample) {
    uint32_t value;
    std::memcpy(&value, sample.imageBuffer()->plane(0).data, 4);
    return value;
}

uint8_t lumaAt(const platform::SampleBuffer& sample, int x, int y) {
    const auto& plane = sample.imageBuffer()->plane(0);
    return plane.data[y * plane.stride + x];
}

FrameTarget target(uint32_t format = platform::kPixelFormatBGRA, int queueDepth = 3) {
    FrameTarget result;
    result.pixelFormat = format;
    result.width = kWidth;
    result.height = kHeight;
    result.queueDepth = queueDepth;
    return result;
}

int64_t now() { return common::hostTimeNow().nanoseconds(); }

TEST(FrameFeed, TheNewestPictureFromBeforeTheStartIsTheFirstFrame) {
    FrameFeed feed;
    EXPECT_FALSE(feed.firstPictureSize(20ms));
    feed.arrive(Picture(0x00112233u, 80, 40).frame(), now());
    feed.arrive(Picture(0x000000FFu).frame(), now());
    EXPECT_EQ(feed.firstPictureSize(0ms), std::make_pair(kWidth, kHeight));
    Collector collector;
    const int64_t before = now();
    ASSERT_FALSE(feed.attach(target(), collector.sink()));
    const auto frames = collector.frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(firstPixel(*frames[0]), 0xFF0000FFu);
    EXPECT_GE(frames[0]->presentationTimeStamp().nanoseconds(), before);
    // One stream per feed.
    Collector other;
    EXPECT_TRUE(feed.attach(target(), other.sink()));
}

TEST(FrameFeed, PicturesKeepTheDesktopsStampsAndAStillScreenIsShownAgainUntilTheEnd) {
    FrameFeed feed;
    Collector collector;
    const int64_t attachedAt = now();
    ASSERT_FALSE(feed.attach(target(), collector.sink()));
    const int64_t drawn = now() - 3'000'000;
    feed.arrive(Picture(0x0000FF00u).frame(drawn), now());
    ASSERT_TRUE(collector.waitFor(1, 1s));
    EXPECT_EQ(collector.frames()[0]->presentationTimeStamp().nanoseconds(), drawn);
    EXPECT_EQ(firstPixel(*collector.frames()[0]), 0xFF00FF00u);
    const auto attachments = collector.frames()[0]->sampleAttachments();
    ASSERT_TRUE(attachments.has_value());

    // Nothing more from the desktop: the same picture comes again, later each time; while the
    // consumer settles after two quiet frame intervals, afterwards after a quarter of a second.
    const int64_t settledAt = attachedAt + 500'000'000;
    ASSERT_TRUE(collector.waitForTwoAfter(settledAt, 5s));
    const auto frames = collector.frames();
    int slowRepeats = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]->imageBuffer(), frames[0]->imageBuffer());
        const int64_t previous = frames[i - 1]->presentationTimeStamp().nanoseconds();
        const int64_t current = frames[i]->presentationTimeStamp().nanoseconds();
        EXPECT_GE(current - previous, 33'000'000) << i;
        if (previous >= settledAt) {
            EXPECT_GE(current - previous, 250'000'000) << i;
            ++slowRepeats;
        }
    }
    EXPECT_GE(slowRepeats, 1);

    // Once the desktop has gone, a picture is not made to look alive.
    feed.end();
    std::this_thread::sleep_for(50ms);
    collector.clear();
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(collector.frames().empty());
    feed.arrive(Picture(0x00FFFFFFu).frame(), now());
    EXPECT_TRUE(collector.frames().empty());
}

TEST(FrameFeed, NothingArrivesAfterDetach) {
    FrameFeed feed;
    Collector collector;
    ASSERT_FALSE(feed.attach(target(), collector.sink()));
    feed.arrive(Picture(0x00FF0000u).frame(), now());
    feed.detach();
    const size_t delivered = collector.frames().size();
    EXPECT_EQ(delivered, 1u);
    feed.arrive(Picture(0x000000FFu).frame(), now());
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(collector.frames().size(), delivered);
}

TEST(FrameFeed, AfterAPictureWasSkippedTheNextIsConvertedWholeWhateverItsDamageSays) {
    FrameFeed feed;
    Collector collector;
    ASSERT_FALSE(feed.attach(target(platform::kPixelFormat420v, 1), collector.sink()));
    feed.arrive(Picture(0x00000000u).frame(), now());  // black
    feed.arrive(Picture(0x00FFFFFFu).frame(), now());  // white
    ASSERT_TRUE(collector.waitFor(2, 1s));
    // The consumer holds both buffers the feed may use: the grey picture finds none and is skipped.
    feed.arrive(Picture(0x00808080u).frame(), now());
    EXPECT_EQ(collector.frames().size(), 2u);
    collector.clear();
    // Released. The next picture is still grey and says only its top rows changed since the grey
    // one, which the recording never got: it must come out grey all over, not white below.
    feed.arrive(Picture(0x00808080u).frame(std::nullopt, pipewire::RowBand{0, 2}), now());
    ASSERT_TRUE(collector.waitFor(1, 1s));
    const auto frame = collector.frames().front();
    const uint8_t grey = lumaAt(*frame, 5, 0);
    EXPECT_GT(grey, 100);
    EXPECT_LT(grey, 150);
    EXPECT_EQ(lumaAt(*frame, 5, kHeight - 1), grey);
}

// The consumer holds every frame it gets: the feed hands out as many buffers as it asked for, and
// one for the still picture, but never more pixels than the budget allows (two 3840x2160 frames).
TEST(FrameFeed, AConsumerHoldingEveryFrameGetsItsQueueDepthWithinTheByteBudget) {
    const auto distinctBuffersDelivered = [](int width, int height, int queueDepth) {
        FrameFeed feed;
        Collector collector;
        FrameTarget large = target(platform::kPixelFormat420v, queueDepth);
        large.width = width;
        large.height = height;
        EXPECT_FALSE(feed.attach(large, collector.sink()));
        for (uint32_t i = 0; i < 8; ++i) feed.arrive(Picture(0x00101010u * i).frame(), now());
        std::set<const platform::PixelBuffer*> buffers;
        for (const auto& frame : collector.frames()) buffers.insert(frame->imageBuffer().get());
        feed.detach();
        return buffers.size();
    };
    EXPECT_EQ(distinctBuffersDelivered(kWidth, kHeight, 3), 4u);
    EXPECT_EQ(distinctBuffersDelivered(kWidth, kHeight, 6), 7u);
    EXPECT_EQ(distinctBuffersDelivered(3840, 2160, 6), 3u);
}

TEST(FrameFeed, ChangedRowsAreTakenOverFromThePictureBefore) {
    FrameFeed feed;
    Collector collector;
    ASSERT_FALSE(feed.attach(target(platform::kPixelFormat420v), collector.sink()));
    feed.arrive(Picture(0x00000000u).frame(), now());
    ASSERT_TRUE(collector.waitFor(1, 1s));
    // The desktop says only rows 0..3 changed; the recorder trusts it, so rows below keep the old
    // picture even though this buffer is white everywhere.
    feed.arrive(Picture(0x00FFFFFFu).frame(std::nullopt, pipewire::RowBand{0, 4}), now());
    ASSERT_TRUE(collector.waitFor(2, 1s));
    const auto frame = collector.frames()[1];
    EXPECT_EQ(lumaAt(*frame, 5, 1), 235);
    EXPECT_EQ(lumaAt(*frame, 5, kHeight - 1), 16);
}

}  // namespace
}  // namespace recorder::linux_backend::wayland
