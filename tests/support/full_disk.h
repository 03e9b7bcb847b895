// The data folder refusing writes, as on a full disk (POSIX only: the service tests run natively).
#pragma once

#include <signal.h>
#include <sys/resource.h>

// Every write to a file fails for the life of the object: the file size limit is 0, and the
// signal a write past it raises is ignored, so the write answers an error instead.
struct FullDisk {
    struct sigaction old_action = {};
    rlimit old_limit{};
    FullDisk() {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &old_action);
        getrlimit(RLIMIT_FSIZE, &old_limit);
        rlimit none = old_limit;
        none.rlim_cur = 0;
        setrlimit(RLIMIT_FSIZE, &none);
    }
    ~FullDisk() {
        setrlimit(RLIMIT_FSIZE, &old_limit);
        sigaction(SIGXFSZ, &old_action, nullptr);
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;
};
