#include "platform/fs.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<std::int64_t> g_write_budget{-1};

} // namespace

void platform_set_write_budget_for_tests(std::int64_t bytes) {
    g_write_budget.store(bytes < 0 ? -1 : bytes);
}

std::size_t platform_write_budgeted(std::size_t wanted) {
    std::int64_t left = g_write_budget.load();
    while (left >= 0) {
        const std::int64_t take = std::min<std::int64_t>(left, static_cast<std::int64_t>(wanted));
        if (g_write_budget.compare_exchange_weak(left, left - take)) return static_cast<std::size_t>(take);
    }
    return wanted;
}

bool platform_write_file_aside(const std::string& path, const std::string& data, bool text_mode, int attempts,
                               const std::function<void()>& pause, const std::string& tmp_suffix) {
    const std::string tmp = path + tmp_suffix;
    if (platform_write_file(tmp, data, text_mode)) {
        for (int attempt = 1;; ++attempt) {
            if (platform_atomic_replace(tmp, path)) return true;
            if (attempt >= attempts) break;
            if (pause) pause();
        }
    }
    platform_remove_file(tmp);
    return false;
}
