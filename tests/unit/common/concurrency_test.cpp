#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/background_task.hpp"
#include "common/group.hpp"
#include "common/repeating_timer.hpp"
#include "common/serial_queue.hpp"

using namespace std::chrono_literals;

TEST(SerialQueue, RunsItemsOneAtATimeInOrder) {
    common::SerialQueue queue("test.serial");
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    // Submitted from several threads at once: each item must still run alone.
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                queue.async([&, value = t * 1000 + i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    order.push_back(value);
                    running.fetch_sub(1);
                });
            }
        });
    }
    for (auto& thread : submitters) thread.join();
    const size_t count = queue.sync([&] { return order.size(); });
    EXPECT_EQ(count, 800u);
    EXPECT_FALSE(overlapped);
    // Per submitter, the submission order is kept.
    std::vector<int> lastSeen(4, -1);
    for (int value : order) {
        EXPECT_GT(value % 1000, lastSeen[value / 1000]);
        lastSeen[value / 1000] = value % 1000;
    }
}

TEST(SerialQueue, SyncFromTheQueueItselfRunsInline) {
    common::SerialQueue queue("test.reentrant");
    const int result = queue.sync([&] { return queue.sync([] { return 7; }) + 1; });
    EXPECT_EQ(result, 8);
    EXPECT_EQ(queue.label(), "test.reentrant");
}

TEST(SerialQueue, DestructionRunsEverythingAlreadySubmitted) {
    std::atomic<int> ran{0};
    {
        common::SerialQueue queue("test.drain");
        for (int i = 0; i < 50; ++i) queue.async([&] { ran.fetch_add(1); });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST(Group, WaitReturnsWhenEveryEnterIsLeft) {
    common::Group group;
    group.enter();
    group.enter();
    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        group.wait();
        waited = true;
    });
    group.leave();
    EXPECT_FALSE(group.waitFor(20ms));
    EXPECT_FALSE(waited.load());
    group.leave();
    waiter.join();
    EXPECT_TRUE(waited.load());
    // Never left more often than entered.
    EXPECT_FALSE(group.leave());
    EXPECT_EQ(group.count(), 0);
}

TEST(Semaphore, CountsSignalsAcrossThreads) {
    common::Semaphore semaphore(0);
    EXPECT_FALSE(semaphore.waitFor(5ms));
    std::thread signaller([&] {
        for (int i = 0; i < 100; ++i) semaphore.signal();
    });
    for (int i = 0; i < 100; ++i) semaphore.wait();
    signaller.join();
    EXPECT_FALSE(semaphore.waitFor(1ms));
}

TEST(BackgroundTask, CancellationCutsSleepShort) {
    std::atomic<bool> sleptFully{true};
    auto task = common::BackgroundTask::start([&](const common::TaskContext& context) {
        sleptFully = context.sleepFor(10s);
    });
    std::this_thread::sleep_for(10ms);
    task.cancel();
    ASSERT_TRUE(task.joinFor(2s));
    EXPECT_FALSE(sleptFully.load());
    EXPECT_TRUE(task.isCancelled());
    EXPECT_TRUE(task.isFinished());
}

TEST(BackgroundTask, DroppingTheHandleLetsTheTaskFinish) {
    std::atomic<bool> finished{false};
    common::Semaphore done(0);
    {
        auto task = common::BackgroundTask::start([&](const common::TaskContext& context) {
            context.sleepFor(20ms);
            finished = true;
            done.signal();
        });
    }
    EXPECT_TRUE(done.waitFor(2s));
    EXPECT_TRUE(finished.load());
}

TEST(RepeatingTimer, FiresAtOnceThenAtTheInterval) {
    std::atomic<int> fired{0};
    const auto start = std::chrono::steady_clock::now();
    std::atomic<int64_t> firstAfterMicros{-1};
    common::RepeatingTimer timer(20ms, [&] {
        if (fired.fetch_add(1) == 0)
            firstAfterMicros = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    });
    while (fired.load() < 3) std::this_thread::sleep_for(1ms);
    timer.stop();
    const int afterStop = fired.load();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fired.load(), afterStop);  // no call after stop()
    EXPECT_GE(firstAfterMicros.load(), 0);
    EXPECT_LT(firstAfterMicros.load(), 15000);  // the first deadline is now, not one interval away
}

TEST(RepeatingTimer, StopFromItsOwnHandlerDoesNotDeadlock) {
    std::atomic<int> fired{0};
    std::atomic<common::RepeatingTimer*> self{nullptr};
    common::Semaphore stopped(0);
    common::Semaphore published(0);
    auto timer = std::make_unique<common::RepeatingTimer>(5ms, [&] {
        if (fired.fetch_add(1) == 1) {
            published.wait();
            self.load()->stop();
            stopped.signal();
        }
    });
    self = timer.get();
    published.signal();
    EXPECT_TRUE(stopped.waitFor(2s));
    timer.reset();
    EXPECT_EQ(fired.load(), 2);
}
