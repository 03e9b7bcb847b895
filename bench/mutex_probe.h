// Another thread of the program while a step runs: takes the wallet mutex every millisecond and
// keeps the longest it waited for it.
#pragma once

#include "wallet/kv_cofferly_wallet.h"

#include <atomic>
#include <chrono>
#include <thread>

struct MutexWaitProbe {
    std::atomic<bool> stop{false};
    std::atomic<long long> longest_us{0};
    std::thread thread;

    void start() {
        thread = std::thread([this] {
            while (!stop) {
                const auto asked = std::chrono::steady_clock::now();
                kv_wallet_mutex().lock();
                const auto waited = std::chrono::steady_clock::now() - asked;
                kv_wallet_mutex().unlock();
                const long long us = std::chrono::duration_cast<std::chrono::microseconds>(waited).count();
                if (us > longest_us) longest_us = us;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    double finish_ms() {
        stop = true;
        thread.join();
        return static_cast<double>(longest_us) / 1000.0;
    }
};
