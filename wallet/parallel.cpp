#include "wallet/parallel.h"

#include "wallet/step_scope.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// What the threads of one parallel_for share.
struct ParallelRun {
    std::atomic<std::uint64_t> next{0};
    std::mutex mutex;
    std::exception_ptr failure; // the first exception a call threw
};

void parallel_for_worker(ParallelRun& run, std::uint64_t count, const std::function<void(std::uint64_t)>& body,
                         StepAnswers* step) {
    // A worker works for the step of the thread that started it: what the step was told serves it.
    const StepJoin join(step);
    // Indices are handed out one at a time rather than split up front: each call is a network
    // request, and a thread stuck on a slow one must not hold back a share of the rest.
    for (std::uint64_t i = run.next.fetch_add(1); i < count; i = run.next.fetch_add(1)) {
        try {
            body(i);
        } catch (...) {
            // An exception that left a thread would end the program; it is handed to the caller,
            // and the indices left are not started.
            std::lock_guard<std::mutex> hold(run.mutex);
            if (!run.failure) run.failure = std::current_exception();
            run.next.store(count);
            return;
        }
    }
}

} // namespace

void parallel_for(std::uint64_t count, std::uint32_t threads, const std::function<void(std::uint64_t)>& body) {
    if (count == 0 || !body) return;
    if (count == 1 || threads <= 1) {
        for (std::uint64_t i = 0; i < count; ++i)
            body(i);
        return;
    }
    // Compared on the whole count: a count whose low 32 bits are small (2^32, say) still gets
    // every thread it is allowed.
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, threads));
    ParallelRun run;
    std::vector<std::thread> pool;
    pool.reserve(n);
    for (std::size_t t = 0; t < n; ++t) {
        try {
            pool.emplace_back(parallel_for_worker, std::ref(run), count, std::cref(body), step_answers());
        } catch (const std::system_error&) {
            // Out of threads: the ones already running take every index, and a vector of
            // joinable threads must never be destroyed unjoined.
            break;
        }
    }
    if (pool.empty()) parallel_for_worker(run, count, body, step_answers());
    for (std::thread& thread : pool)
        thread.join();
    if (run.failure) std::rethrow_exception(run.failure);
}

void parallel_for_rethrow(std::uint64_t count, std::uint32_t threads, const std::function<void(std::uint64_t)>& body) {
    std::mutex mutex;
    std::exception_ptr failure;
    parallel_for(count, threads, [&](std::uint64_t i) {
        try {
            body(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure) failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

void run_beside(const std::function<void()>& beside, const std::function<void()>& here) {
    std::exception_ptr beside_failure;
    StepAnswers* const step = step_answers();
    const auto guarded = [&] {
        const StepJoin join(step);
        try {
            beside();
        } catch (...) {
            beside_failure = std::current_exception();
        }
    };
    std::thread thread;
    try {
        thread = std::thread(guarded);
    } catch (const std::system_error&) {
        guarded();
    }
    std::exception_ptr here_failure;
    try {
        here();
    } catch (...) {
        here_failure = std::current_exception();
    }
    if (thread.joinable()) thread.join();
    if (here_failure) std::rethrow_exception(here_failure);
    if (beside_failure) std::rethrow_exception(beside_failure);
}
