#include "platform/file_lock.h"

#include "platform/win_text.h"

#include <windows.h>

bool file_lock_acquire(const std::string& path, FileLock& lock) {
    lock.handle = -1;
    std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty()) return false;
    HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    OVERLAPPED at{}; // offset 0
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        CloseHandle(h);
        return false;
    }
    lock.handle = reinterpret_cast<std::intptr_t>(h);
    return true;
}

void file_lock_release(FileLock& lock) {
    if (lock.handle == -1) return;
    HANDLE h = reinterpret_cast<HANDLE>(lock.handle);
    OVERLAPPED at{};
    UnlockFileEx(h, 0, 1, 0, &at);
    CloseHandle(h);
    lock.handle = -1;
}
