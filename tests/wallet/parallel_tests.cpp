#include "wallet/parallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

TEST(ParallelTest, HandsOutEveryIndexOnce) {
    struct Row {
        std::uint64_t count;
        std::uint32_t threads;
        std::size_t meet; // bodies that must be running at once; 0 for the serial path
    } rows[] = {{0, 4, 0}, {1, 8, 0}, {5, 0, 0}, {5, 1, 0}, {3, 6, 3}, {100, 4, 4}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.count) + " on " + std::to_string(row.threads));
        std::mutex m;
        std::condition_variable cv;
        std::vector<std::uint64_t> order;
        std::vector<int> calls(row.count, 0);
        std::size_t active = 0;
        std::size_t peak = 0;
        std::size_t met = 0;
        bool on_caller = true;
        const std::thread::id caller = std::this_thread::get_id();
        parallel_for(row.count, row.threads, [&](std::uint64_t i) {
            std::unique_lock<std::mutex> lock(m);
            order.push_back(i);
            ++calls[i];
            on_caller = on_caller && std::this_thread::get_id() == caller;
            peak = std::max(peak, ++active);
            // The first bodies wait for one another, which only as many threads as expected can do.
            if (met < row.meet) {
                ++met;
                cv.notify_all();
                cv.wait_for(lock, std::chrono::seconds(10), [&] { return met == row.meet; });
            }
            --active;
        });
        EXPECT_EQ(calls, std::vector<int>(row.count, 1));
        if (row.meet == 0) {
            EXPECT_TRUE(on_caller);
            EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        } else {
            EXPECT_FALSE(on_caller);
            EXPECT_EQ(peak, row.meet);
        }
    }
    parallel_for(5, 4, std::function<void(std::uint64_t)>());
}

// A call that throws on a worker thread must not end the program: the caller gets the exception
// once every call under way has ended, and no index is started after it.
TEST(ParallelTest, ThrowingCallReachesTheCaller) {
    for (const std::uint32_t threads : {1u, 4u}) {
        SCOPED_TRACE(threads);
        std::atomic<int> calls{0};
        EXPECT_THROW(parallel_for(1000, threads,
                                  [&](std::uint64_t i) {
                                      ++calls;
                                      if (i == 3) throw std::runtime_error("read failed");
                                  }),
                     std::runtime_error);
        // On one thread nothing is handed out after the throw; with more, how many others took
        // meanwhile depends on the scheduler.
        if (threads == 1) {
            EXPECT_EQ(calls.load(), 4);
        }
    }
    // Two calls side by side: both run to the end whichever throws, and the caller gets it.
    for (const int thrower : {0, 1}) {
        SCOPED_TRACE(thrower);
        std::atomic<int> ended{0};
        const auto call = [&](int which) {
            ++ended;
            if (which == thrower) throw std::runtime_error("read failed");
        };
        EXPECT_THROW(run_beside([&] { call(0); }, [&] { call(1); }), std::runtime_error);
        EXPECT_EQ(ended.load(), 2);
    }
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32) // a death test re-runs the whole program, too slow under Wine
TEST(ParallelTest, HugeCountStartsThreads) {
    // 2^32 indices are far too many to run here; the first call ending the process shows that
    // work was handed out at all, where a count cut to 32 bits would start nothing.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(parallel_for(std::uint64_t{1} << 32, 4, [](std::uint64_t) { std::_Exit(3); }),
                ::testing::ExitedWithCode(3), "");
}
#endif
