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
std::atomic<int> g_skipped_flushes{0};
std::atomic<int> g_failing_flushes{0};
std::atomic<int> g_failing_folder_flushes{0};
std::atomic<int> g_flushes{0};
std::atomic<int> g_reads{0};

// Takes one from a positive count; false when it is spent.
bool take_one(std::atomic<int>& count) {
    int left = count.load();
    while (left > 0) {
        if (count.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

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
    return "." + process_mark() + "-" + std::to_string(platform_process_id()) + "-" +
           std::to_string(next.fetch_add(1)) + ".tmp";
}

bool platform_is_own_tmp_name(const std::string& name, std::uint64_t* pid) {
    static const std::string kEnd = ".tmp";
    if (pid) *pid = 0;
    if (name.size() < kEnd.size() || name.compare(name.size() - kEnd.size(), kEnd.size(), kEnd) != 0) return false;
    std::size_t i = name.size() - kEnd.size();
    // Steps back over "-" and a run of digits; false when there is no such run.
    auto dash_and_digits = [&name](std::size_t& at) {
        std::size_t k = at;
        while (k > 0 && name[k - 1] >= '0' && name[k - 1] <= '9')
            --k;
        if (k == at || k == 0 || name[k - 1] != '-') return false;
        at = k - 1;
        return true;
    };
    if (!dash_and_digits(i)) return false;
    // The process id stands between two dashes; a mark of digits alone follows a ".".
    std::size_t before_pid = i;
    if (dash_and_digits(before_pid)) {
        if (pid) {
            const std::string digits = name.substr(before_pid + 1, i - before_pid - 1);
            *pid = digits.size() <= 18 ? std::stoull(digits) : 0;
        }
        i = before_pid;
    }
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
        std::uint64_t pid = 0;
        if (!it->is_regular_file(entry_ec) || !platform_is_own_tmp_name(it->path().filename().u8string(), &pid))
            continue;
        // A writer that is gone left its copy for good, however fresh; a running one may still
        // move it into place. An id that a new process took keeps the copy until it is old.
        const bool writer_gone = pid != 0 && !platform_process_running(pid);
        const auto written = fs::last_write_time(it->path(), entry_ec);
        if (!writer_gone && (entry_ec || now - written < std::chrono::seconds(min_age_s))) continue;
        if (fs::remove(it->path(), entry_ec)) ++removed;
    }
    return removed;
}

int platform_fail_flushes_for_tests(int count, int skip, int folders) {
    const int unused = g_failing_flushes.exchange(count < 0 ? 0 : count);
    g_skipped_flushes.store(skip < 0 ? 0 : skip);
    g_failing_folder_flushes.store(folders < 0 ? 0 : folders);
    return unused;
}

bool platform_flush_fails_for_tests(bool folder) {
    if (folder) return take_one(g_failing_folder_flushes);
    g_flushes.fetch_add(1);
    if (take_one(g_skipped_flushes)) return false;
    return take_one(g_failing_flushes);
}

int platform_flushes_for_tests() {
    return g_flushes.load();
}

int platform_reads_for_tests() {
    return g_reads.load();
}

void platform_count_read() {
    g_reads.fetch_add(1);
}

std::vector<std::string> platform_file_names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(fs::u8path(dir), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code entry_ec;
        if (it->is_regular_file(entry_ec)) names.push_back(it->path().filename().u8string());
    }
    return names;
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
    // The copy beside a private file (the wallet file holds the seed) is born with the file's
    // permissions, so it is never easier to read than the file. What stands at its name (a copy a
    // crash left under a fixed name, whose writers take turns) is removed, never written into.
    platform_remove_file(tmp);
    if (!platform_write_file_new(tmp, data, text_mode, path)) return false;
    // A device that failed a flush may have dropped the data and report the next flush clean.
    if (platform_flush_file(tmp)) {
        for (int attempt = 1;; ++attempt) {
            if (platform_replace_file(tmp, path)) {
                platform_flush_folder_of(path);
                return true;
            }
            if (attempt >= attempts) break;
            if (pause) pause();
        }
    }
    platform_remove_file(tmp);
    return false;
}
