// Waiting in a test for what another thread or process does: polled until it holds, or until a
// time-out far beyond any machine's scheduling passes, so a busy machine only makes a test slower,
// never fail. (Ten seconds were passed under Wine on a machine loaded to seven times its cores.)
#pragma once

#include <chrono>
#include <thread>

template <typename Met> bool eventually(Met met) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!met()) {
        if (std::chrono::steady_clock::now() > until) return met();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
