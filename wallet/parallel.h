// Runs independent, mostly network-bound calls on a bounded number of threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// Calls `body` once for every index 0 .. count-1 on at most `threads` threads and returns when all
// calls have ended. With count 1 or threads 0 or 1 every call runs in order on the calling thread.
// `body` must guard what it shares. When a call throws, no index is handed out after it, and once
// the calls under way have ended the first exception is thrown again on the calling thread.
void parallel_for(std::uint64_t count, std::uint32_t threads, const std::function<void(std::uint64_t)>& body);

// parallel_for that runs every index even after a call threw: the first exception is thrown again
// on the caller's thread once all calls have ended, as if the loop had run there.
void parallel_for_rethrow(std::uint64_t count, std::uint32_t threads, const std::function<void(std::uint64_t)>& body);

// Runs `beside` on one more thread while `here` runs on the calling thread, and returns when both
// have ended; without a thread to spare, runs them one after the other. An exception of either is
// thrown again on the calling thread once both have ended.
void run_beside(const std::function<void()>& beside, const std::function<void()>& here);
