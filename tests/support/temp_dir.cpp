#include "support/temp_dir.h"

#include "platform/fs.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

void test_set_env(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void test_unset_env(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

TempDataDir::TempDataDir() {
    static std::atomic<unsigned> counter{0};
    const char* env = std::getenv("LOCALAPPDATA");
    had_env = env != nullptr;
    if (had_env) saved_env = env;
    // A folder that no other test made, in this process or in another part run beside it (each
    // counts from 0): a name already taken is passed over.
    fs::path dir;
    std::error_code ec;
    do {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir = fs::temp_directory_path() / ("corvane-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    } while (!fs::create_directory(dir, ec) && !ec);
    fs::create_directories(dir);
    root = dir.string();
    test_set_env("LOCALAPPDATA", root);
    data_dir = platform_data_dir_path();
    fs::create_directories(data_dir);
}

TempDataDir::~TempDataDir() {
    if (had_env)
        test_set_env("LOCALAPPDATA", saved_env);
    else
        test_unset_env("LOCALAPPDATA");
    std::error_code ec;
    fs::remove_all(root, ec);
}

void test_write_file(const std::string& path, const std::string& data) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f << data;
}

std::string test_read_file(const std::string& path) {
    std::string out;
    platform_read_file(path, out);
    return out;
}

int temporary_files_beside(const std::string& path) {
    const fs::path folder = fs::u8path(path).parent_path();
    std::error_code ec;
    int count = 0;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().u8string();
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) ++count;
    }
    return count;
}
