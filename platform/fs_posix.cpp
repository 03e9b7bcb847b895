#include "platform/fs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

bool platform_remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool platform_read_file(const std::string& path, std::string& out) {
    out.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    out.swap(data);
    return true;
}

bool platform_write_file(const std::string& path, const std::string& data, bool /*text_mode*/) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    f.flush();
    return static_cast<bool>(f);
}

namespace {

void fsync_path(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string parent_of(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace

bool platform_atomic_replace(const std::string& from, const std::string& to) {
    fsync_path(from, O_RDONLY);
    if (std::rename(from.c_str(), to.c_str()) != 0) return false;
    fsync_path(parent_of(to), O_RDONLY | O_DIRECTORY);
    return true;
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
