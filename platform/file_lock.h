// An exclusive lock on the first byte of a file, shared with other processes (LockFileEx on
// Windows, fcntl record locks on POSIX). Waits without a time-out.
#pragma once

#include <cstdint>
#include <string>

struct FileLock {
    std::intptr_t handle = -1; // HANDLE or file descriptor; -1 when not held
};

// Opens (creating) the file for reading and writing, shared, and locks byte 0. False when the file
// cannot be opened or locked; `lock` then holds nothing.
bool file_lock_acquire(const std::string& path, FileLock& lock);

// Unlocks and closes; does nothing when nothing is held.
void file_lock_release(FileLock& lock);

// The lock every file that processes on one data folder share is changed under: "<path>.lock"
// beside the file (its folder created first), held for the life of the object. When it cannot be
// taken a line of the log says so and taken() is false: the caller decides whether its file may
// be read or written without keeping the other processes out.
struct SharedFileLock {
    explicit SharedFileLock(const std::string& path);
    ~SharedFileLock() { file_lock_release(lock_); }
    SharedFileLock(const SharedFileLock&) = delete;
    SharedFileLock& operator=(const SharedFileLock&) = delete;
    bool taken() const { return lock_.handle != -1; }

private:
    FileLock lock_;
};
