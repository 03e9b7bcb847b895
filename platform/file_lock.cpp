#include "platform/file_lock.h"

#include "platform/fs.h"

SharedFileLock::SharedFileLock(const std::string& path) {
    const std::string lock_path = path + ".lock";
    const std::size_t slash = lock_path.find_last_of("/\\");
    if (slash != std::string::npos) platform_make_dirs(lock_path.substr(0, slash));
    if (!file_lock_acquire(lock_path, lock_))
        platform_log_line("Could not lock " + lock_path + "; other processes are not kept out.");
}
