// Starting a child process for tests: an executable with arguments and environment additions,
// waited for its exit code. fork and execve on POSIX, CreateProcessW on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct SpawnRequest {
    std::string exe;                                      // path of the executable
    std::vector<std::string> args;                        // arguments after the program name
    std::vector<std::pair<std::string, std::string>> env; // added to (or replacing in) the parent's
    std::string work_dir;                                 // the parent's when empty
    std::string output_path; // file that takes the child's stdout and stderr; inherited when empty
};

struct SpawnedProcess {
    std::intptr_t handle = -1; // pid or process HANDLE; -1 when nothing runs
};

// Starts the process; false when it could not be started (`proc` then holds nothing).
bool spawn_start(const SpawnRequest& request, SpawnedProcess& proc);

// Waits for the process to end and returns its exit code; -1 when nothing was started or it ended
// by a signal.
int spawn_wait(SpawnedProcess& proc);

// Starts, then waits; the exit code, or -1 when it could not be started.
int spawn_run(const SpawnRequest& request);

// Full path of the running executable ("" when it cannot be found), for a test that re-runs
// its own binary as a child.
std::string spawn_self_path();
