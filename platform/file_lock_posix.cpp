#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool file_lock_acquire(const std::string& path, FileLock& lock) {
    lock.handle = -1;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    int rc;
    do {
        rc = ::fcntl(fd, F_SETLKW, &fl);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return false;
    }
    lock.handle = fd;
    return true;
}

void file_lock_release(FileLock& lock) {
    if (lock.handle < 0) return;
    int fd = static_cast<int>(lock.handle);
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    ::fcntl(fd, F_SETLK, &fl);
    ::close(fd);
    lock.handle = -1;
}
