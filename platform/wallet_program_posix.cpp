#include "platform/wallet_program.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Writes one errno value to the pipe; used between fork and exec, so only async-signal-safe calls.
void report_errno(int fd, int err) {
    ssize_t ignored = write(fd, &err, sizeof(err));
    (void)ignored;
}

} // namespace

const char* wallet_program_file_name() {
    return "Cofferly";
}

bool raise_wallet_program_window() {
    return false;
}

bool start_wallet_program(const std::string& exe_path, const std::string& work_dir) {
    if (exe_path.empty() || access(exe_path.c_str(), X_OK) != 0) return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;

    char* const argv[] = {const_cast<char*>(exe_path.c_str()), nullptr};
    // Two forks: the program is handed to init at once, so it never lingers here as a zombie. The
    // pipe closes on a successful exec, or carries the errno of whatever failed first.
    const pid_t child = fork();
    if (child == 0) {
        const pid_t grandchild = fork();
        if (grandchild < 0) {
            report_errno(fds[1], errno);
            _exit(1);
        }
        if (grandchild > 0) _exit(0);
        if (!work_dir.empty() && chdir(work_dir.c_str()) != 0) {
            report_errno(fds[1], errno);
            _exit(127);
        }
        execve(exe_path.c_str(), argv, environ);
        report_errno(fds[1], errno);
        _exit(127);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t got;
    do {
        got = read(fds[0], &err, sizeof(err));
    } while (got < 0 && errno == EINTR);
    close(fds[0]);
    return got == 0;
}
