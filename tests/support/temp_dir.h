// A fresh temporary folder per test, set as LOCALAPPDATA so the data folder lands inside it.
#pragma once

#include <string>

struct TempDataDir {
    std::string root;      // the temporary folder (LOCALAPPDATA)
    std::string data_dir;  // root + the data folder's own name
    std::string saved_env; // LOCALAPPDATA as it was
    bool had_env = false;

    TempDataDir();
    ~TempDataDir();
    TempDataDir(const TempDataDir&) = delete;
    TempDataDir& operator=(const TempDataDir&) = delete;
};

// Sets or clears an environment variable on every platform.
void test_set_env(const char* name, const std::string& value);
void test_unset_env(const char* name);

// Writes a whole file, creating its folders.
void test_write_file(const std::string& path, const std::string& data);
std::string test_read_file(const std::string& path);

// How many temporary files of an interrupted or finished write (names ending ".tmp") lie in the
// folder of `path`.
int temporary_files_beside(const std::string& path);
