#include "platform/fs.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string platform_env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

std::string platform_data_dir_path() {
    std::string base = platform_env("LOCALAPPDATA");
    if (base.empty()) base = ".";
    return base + "/Kestrava";
}

std::string platform_program_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool platform_make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

bool platform_file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool platform_remove_file(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool platform_read_file(const std::string& path, std::string& out) {
    out.clear();
    platform_count_read();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    // A folder opens for reading here, but it is no file.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        data.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    out.swap(data);
    return true;
}

namespace {

// Writes all of the data and closes the descriptor; false when any of it failed.
bool write_and_close(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    bool ok = true;
    while (left > 0) {
        const std::size_t allowed = platform_write_budgeted(left);
        if (allowed == 0) {
            ok = false;
            break;
        }
        ssize_t n = ::write(fd, p, allowed);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    return ok;
}

} // namespace

bool platform_write_file(const std::string& path, const std::string& data, bool /*text_mode*/) {
    // Close-on-exec, so that a child process started meanwhile does not inherit the descriptor.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    return write_and_close(fd, data);
}

bool platform_append_file(const std::string& path, const std::string& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    return write_and_close(fd, data);
}

bool platform_write_file_new(const std::string& path, const std::string& data, bool /*text_mode*/,
                             const std::string& model) {
    struct stat st;
    const bool has_model = ::stat(model.c_str(), &st) == 0;
    if (!has_model && errno != ENOENT) return false;
    const mode_t mode = has_model ? (st.st_mode & 07777) : 0666;
    // Exclusive, so that no file another account made in its place is filled; no link is followed.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return false;
    // The umask only ever narrows; the model's own bits are set whole before any data goes in.
    if (has_model && ::fchmod(fd, mode) != 0) {
        ::close(fd);
        platform_remove_file(path);
        return false;
    }
    if (write_and_close(fd, data)) return true;
    platform_remove_file(path);
    return false;
}

namespace {

// True once the data of `path` is on the disk. A folder whose file system cannot sync folders
// (EINVAL) counts as synced: it has nothing more to give.
bool fsync_path(const std::string& path, int flags) {
    if (platform_flush_fails_for_tests((flags & O_DIRECTORY) != 0)) return false;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0 || ((flags & O_DIRECTORY) != 0 && errno == EINVAL);
    ::close(fd);
    return synced;
}

std::string parent_of(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace

bool platform_flush_file(const std::string& path) {
    return fsync_path(path, O_RDONLY);
}

bool platform_atomic_replace(const std::string& from, const std::string& to) {
    // A device that did not take the data may hand back anything after a crash: that save failed.
    if (!fsync_path(from, O_RDONLY) || !platform_replace_file(from, to)) return false;
    platform_flush_folder_of(to);
    return true;
}

bool platform_replace_file(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool platform_file_read_only(const std::string& path) {
    (void)path;
    return false;
}

void platform_flush_folder_of(const std::string& path) {
    const std::string folder = parent_of(path);
    if (!fsync_path(folder, O_RDONLY | O_DIRECTORY))
        platform_log_line("Could not flush the folder " + folder + " to disk; " + path +
                          " is saved but may read as before after a power cut.\n");
}

bool platform_process_running(std::uint64_t pid) {
    if (pid == 0 || pid > static_cast<std::uint64_t>(INT_MAX)) return true;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

std::uint64_t platform_process_id() {
    return static_cast<std::uint64_t>(::getpid());
}

bool platform_move_file_new(const std::string& from, const std::string& to) {
    // A hard link fails when the name is taken, where a rename would replace what stands there.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    if (platform_remove_file(from)) return true;
    platform_remove_file(to);
    return false;
}

bool platform_move_file(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV) return false;
    if (!platform_copy_file(from, to)) return false;
    return platform_remove_file(from);
}

bool platform_copy_file(const std::string& from, const std::string& to) {
    std::error_code ec;
    return fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
}

bool platform_stdout_is_terminal() {
    return isatty(fileno(stdout)) != 0;
}
