// The one thread owner: a stop wakes every pause and joins every thread, twice is once, from
// one of its own threads it only asks, and it starts again after a stop.

#include "network/worker_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace telmora {
namespace {

using namespace std::chrono_literals;

TEST(WorkerThreads, AStopWakesEveryPauseJoinsAndIsIdempotent) {
    WorkerThreads threads;
    std::atomic<int> ended{0};
    for (int i = 0; i < 3; ++i)
        threads.Start([&] {
            while (!threads.PauseFor(1h)) {
            }
            ++ended;
        });
    EXPECT_TRUE(threads.Running());
    EXPECT_TRUE(threads.Stop());  // an hour's pause would hang here without the wake
    EXPECT_EQ(ended.load(), 3);
    EXPECT_FALSE(threads.Running());
    EXPECT_TRUE(threads.Stop());
}

TEST(WorkerThreads, FromItsOwnThreadAStopOnlyAsksAndTheOwnersStopJoins) {
    WorkerThreads threads;
    std::atomic<bool> askedOnOwnThread{false};
    std::atomic<bool> joinedFromOwnThread{true};
    threads.Start([&] {
        askedOnOwnThread = threads.OnOwnThread();
        joinedFromOwnThread = threads.Stop();
    });
    // The thread's own stop leaves it joinable; the owner's joins it.
    EXPECT_TRUE(threads.Stop());
    EXPECT_TRUE(askedOnOwnThread.load());
    EXPECT_FALSE(joinedFromOwnThread.load());
    EXPECT_FALSE(threads.OnOwnThread());
}

TEST(WorkerThreads, StartsAfreshAfterAStop) {
    WorkerThreads threads;
    threads.Start([] {});
    threads.Stop();
    std::promise<bool> stoppingAtStart;
    threads.Start([&] { stoppingAtStart.set_value(threads.Stopping()); });
    EXPECT_FALSE(stoppingAtStart.get_future().get());
    threads.Stop();
}

}  // namespace
}  // namespace telmora
