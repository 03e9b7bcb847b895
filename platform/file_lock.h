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
