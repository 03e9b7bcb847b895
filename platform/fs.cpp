#include "platform/fs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::atomic<std::int64_t> g_write_budget{-1};
std::atomic<int> g_failing_flushes{0};

constexpr std::size_t kMarkDigits = 12;

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Drawn once per process, so that this program's own processes never share a temporary name.
const std::string& process_mark() {
    static const std::string mark = [] {
        static const char* const kHex = "0123456789abcdef";
        std::string text;
        try {
            std::random_device device;
            while (text.size() < kMarkDigits) {
                unsigned int bits = device();
                for (int i = 0; i < 8 && text.size() < kMarkDigits; ++i, bits >>= 4)
                    text += kHex[bits & 0xF];
            }
        } catch (...) {
            // No source of randomness: the clock still keeps two runs apart.
            const auto now =
                static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
            text.clear();
            for (std::size_t i = 0; i < kMarkDigits; ++i)
                text += kHex[(now >> (4 * i)) & 0xF];
        }
        return text;
    }();
    return mark;
}

} // namespace

std::string platform_own_tmp_suffix() {
    static std::atomic<std::uint64_t> next{0};
    return "." + process_mark() + "-" + std::to_string(next.fetch_add(1)) + ".tmp";
}

bool platform_is_own_tmp_name(const std::string& name) {
    static const std::string kEnd = ".tmp";
    if (name.size() < kEnd.size() || name.compare(name.size() - kEnd.size(), kEnd.size(), kEnd) != 0) return false;
    std::size_t i = name.size() - kEnd.size();
    const std::size_t digits_end = i;
    while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9')
        --i;
    if (i == digits_end || i == 0 || name[i - 1] != '-') return false;
    --i;
    if (i < kMarkDigits + 1) return false;
    for (std::size_t k = i - kMarkDigits; k < i; ++k)
        if (!is_hex_digit(name[k])) return false;
    // Something must stand before the mark: the name of the file being replaced.
    return name[i - kMarkDigits - 1] == '.' && i - kMarkDigits - 1 > 0;
}

int platform_sweep_stale_tmp_files(const std::string& dir, std::int64_t min_age_s) {
    std::error_code ec;
    fs::recursive_directory_iterator it(fs::u8path(dir), fs::directory_options::skip_permission_denied, ec);
    if (ec) return 0;
    const auto now = fs::file_time_type::clock::now();
    int removed = 0;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        if (it.depth() >= 2) it.disable_recursion_pending();
        std::error_code entry_ec;
        if (!it->is_regular_file(entry_ec) || !platform_is_own_tmp_name(it->path().filename().u8string())) continue;
        const auto written = fs::last_write_time(it->path(), entry_ec);
        if (entry_ec || now - written < std::chrono::seconds(min_age_s)) continue;
        if (fs::remove(it->path(), entry_ec)) ++removed;
    }
    return removed;
}

void platform_fail_flushes_for_tests(int count) {
    g_failing_flushes.store(count < 0 ? 0 : count);
}

bool platform_flush_fails_for_tests() {
    int left = g_failing_flushes.load();
    while (left > 0) {
        if (g_failing_flushes.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

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
    const std::string tmp = path + (tmp_suffix.empty() ? platform_own_tmp_suffix() : tmp_suffix);
    // The copy beside a private file (the wallet file holds the seed) must be no easier to read than
    // the file itself, from its first byte on: it is made empty, given the file's permissions, and
    // only then filled; a read-only file's own mode comes back once the copy is full.
    if (platform_write_file(tmp, std::string(), false) && platform_copy_permissions(path, tmp, true) &&
        platform_write_file(tmp, data, text_mode) && platform_copy_permissions(path, tmp, false) &&
        platform_flush_file(tmp)) {
        for (int attempt = 1;; ++attempt) {
            if (platform_atomic_replace(tmp, path)) return true;
            if (attempt >= attempts) break;
            if (pause) pause();
        }
    }
    platform_remove_file(tmp);
    return false;
}
