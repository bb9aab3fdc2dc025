// The concurrency kit the engines build on: serial queues, semaphores,
// repeating timers.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "frame/host_clock.h"
#include "frame/kit/repeating_timer.h"
#include "frame/kit/semaphore.h"
#include "frame/kit/serial_queue.h"
#include "tests/support/eventually.h"

namespace tarnwick::kit {
namespace {

using namespace std::chrono_literals;

using tarnwick::testing::eventually;

TEST(SerialQueue, RunsAsyncItemsInSubmissionOrderAndSyncAfterThem) {
    SerialQueue queue("test.order");
    std::vector<int> seen;  // touched only by items of the queue
    for (int i = 0; i < 500; ++i) queue.async([&seen, i] { seen.push_back(i); });
    // sync waits for everything submitted before it, as a serial dispatch
    // queue does; a barrier built on it must see all earlier items.
    std::vector<int> snapshot;
    queue.sync([&] { snapshot = seen; });
    ASSERT_EQ(snapshot.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(snapshot[static_cast<std::size_t>(i)], i);
}

TEST(SerialQueue, SyncAndAsyncItemsNeverOverlap) {
    SerialQueue queue("test.exclusive");
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> ran{0};
    auto item = [&] {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        std::this_thread::yield();
        inside.fetch_sub(1);
        ran.fetch_add(1);
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                queue.async(item);
                queue.sync(item);
            }
        });
    }
    for (auto& c : callers) c.join();
    queue.sync([] {});
    EXPECT_EQ(ran.load(), 800);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(SerialQueue, KnowsWhenTheCallerRunsOneOfItsItems) {
    SerialQueue queue("test.current");
    SerialQueue other("test.other");
    EXPECT_FALSE(queue.isCurrent());
    bool inSync = false, otherInSync = true, nestedRan = false;
    queue.sync([&] {
        inSync = queue.isCurrent();
        otherInSync = other.isCurrent();
        // A sync from inside the queue's own item runs in place instead of
        // waiting for itself.
        queue.sync([&] { nestedRan = true; });
    });
    EXPECT_TRUE(inSync);
    EXPECT_FALSE(otherInSync);
    EXPECT_TRUE(nestedRan);
    std::atomic<bool> inAsync{false};
    queue.async([&] { inAsync = queue.isCurrent(); });
    queue.sync([] {});
    EXPECT_TRUE(inAsync.load());
    EXPECT_FALSE(queue.isCurrent());
}

#ifdef __linux__
std::set<std::string> threadIds() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(entry.path().filename().string());
    }
    return ids;
}

long voluntarySwitches(const std::string& tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return -1;
}

// An IO cycle takes an idle queue on its own thread: the queue's thread
// must neither be woken for it (a thread switch per cycle) nor miss an item
// submitted while the turn lasted.
TEST(SerialQueue, SyncOnAnIdleQueueLeavesItsThreadAsleepAndItemsStillRun) {
    const auto before = threadIds();
    SerialQueue queue("test.idle");
    std::string queueThread;
    ASSERT_TRUE(eventually([&] {
        for (const auto& id : threadIds()) {
            if (!before.count(id)) queueThread = id;
        }
        return !queueThread.empty();
    }));
    queue.sync([] {});  // once its thread has gone to sleep
    const long asleep = voluntarySwitches(queueThread);
    // Spaced as IO cycles are, so that a wake-up would find the thread asleep.
    int ran = 0;
    for (int i = 0; i < 50; ++i) {
        queue.sync([&] { ++ran; });
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(ran, 50);
    EXPECT_LE(voluntarySwitches(queueThread) - asleep, 5);

    std::atomic<bool> late{false};
    queue.sync([&] { std::thread([&] { queue.async([&] { late = true; }); }).join(); });
    EXPECT_TRUE(eventually([&] { return late.load(); }));
}
#endif

TEST(SerialQueue, GlobalQueueRunsWorkOffTheCallingThread) {
    std::atomic<bool> ran{false};
    std::atomic<bool> sameThread{true};
    auto caller = std::this_thread::get_id();
    globalAsync([&] {
        sameThread = std::this_thread::get_id() == caller;
        ran = true;
    });
    ASSERT_TRUE(eventually([&] { return ran.load(); }));
    EXPECT_FALSE(sameThread.load());
}

TEST(Semaphore, WaitForTimesOutWithoutSignalAndReturnsOnSignal) {
    Semaphore semaphore;
    EXPECT_FALSE(semaphore.tryWait());
    EXPECT_FALSE(semaphore.waitFor(0.05));

    std::thread signaller([&] {
        std::this_thread::sleep_for(50ms);
        semaphore.signal();
    });
    EXPECT_TRUE(semaphore.waitFor(60));
    signaller.join();
    // The signal was taken: nothing is left over.
    EXPECT_FALSE(semaphore.tryWait());

    semaphore.signal();
    semaphore.signal();
    EXPECT_TRUE(semaphore.waitFor(0));
    EXPECT_TRUE(semaphore.tryWait());
    EXPECT_FALSE(semaphore.waitFor(0));
}

TEST(RepeatingTimer, TicksOnItsQueueUntilCancelled) {
    SerialQueue queue("test.timer");
    std::atomic<int> ticks{0};
    std::atomic<bool> onQueue{true};
    RepeatingTimer timer(queue, 5ms, 5ms, 1ms, [&] {
        if (!queue.isCurrent()) onQueue = false;
        ticks.fetch_add(1);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks.load(), 0) << "a timer stays quiet until resumed";
    timer.resume();
    ASSERT_TRUE(eventually([&] { return ticks.load() >= 3; }));
    timer.cancel();
    queue.sync([] {});  // a tick already submitted has run (or been skipped)
    const int atCancel = ticks.load();
    std::this_thread::sleep_for(100ms);
    queue.sync([] {});
    EXPECT_EQ(ticks.load(), atCancel);
    EXPECT_TRUE(onQueue.load());
}

TEST(HostClock, ConvertsTicksToSeconds) {
    initHostClock();
    EXPECT_EQ(machSeconds(0), 0.0);
    const auto a = hostTicks();
    std::this_thread::sleep_for(20ms);
    const auto b = hostTicks();
    EXPECT_GT(b, a);
    EXPECT_GE(machSeconds(b - a), 0.019);
}

}  // namespace
}  // namespace tarnwick::kit
