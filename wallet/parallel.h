// Runs independent, mostly network-bound calls on a bounded number of threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// Calls `body` once for every index 0 .. count-1 on at most `threads` threads and returns when all
// calls have ended. With count 1 or threads 0 or 1 every call runs in order on the calling thread.
// `body` must guard what it shares and must not throw on the threaded path.
void parallel_for(std::uint64_t count, std::uint32_t threads, const std::function<void(std::uint64_t)>& body);

// The loop of one thread of parallel_for: takes indices from `next` until they run out.
void parallel_for_worker(std::atomic<std::uint64_t>& next, std::uint64_t count,
                         const std::function<void(std::uint64_t)>& body);

// parallel_for whose body may throw: the first exception is carried out of the worker threads and
// thrown again on the caller's, as if the loop had run there.
void parallel_for_rethrow(std::uint64_t count, std::uint32_t threads, const std::function<void(std::uint64_t)>& body);
