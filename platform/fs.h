// File-system services whose working differs between Windows and POSIX. Every path is UTF-8 text;
// the Windows side converts at the API edge.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Value of an environment variable, or "" when it is unset.
std::string platform_env(const char* name);

// The folder "Kestrava" under the folder that LOCALAPPDATA names ("." when it is unset or empty),
// joined with the platform's separator. The folder is not created here.
std::string platform_data_dir_path();

// Folder that holds the running executable (no trailing separator); "." when it cannot be found.
std::string platform_program_dir();

// Creates a folder with its missing parents; true when it exists afterwards.
bool platform_make_dirs(const std::string& path);

bool platform_file_exists(const std::string& path);
bool platform_remove_file(const std::string& path);

// Reads a whole file in binary mode; false (and `out` empty) when it is missing, a folder or
// unreadable.
bool platform_read_file(const std::string& path, std::string& out);

// Rewrites a file in place (truncate, then write). Text mode turns "\n" into "\r\n" on Windows.
bool platform_write_file(const std::string& path, const std::string& data, bool text_mode);

// Writes a file whole in binary mode, as platform_write_file, and flushes its data to disk through
// the same handle before closing it.
bool platform_write_file_flushed(const std::string& path, const std::string& data);

// Moves `from` over `to` atomically and durably: MoveFileEx with replace-existing and
// write-through on Windows (the replaced file's attributes stay on the new one); rename, then
// fsync of the file and its folder on POSIX.
bool platform_atomic_replace(const std::string& from, const std::string& to);

// Replaces a file whole so that it is never seen cut short: the data is written to `path` +
// `tmp_suffix` beside it, flushed to disk, and moved over `path` in one step
// (platform_atomic_replace). A move that fails (another program holds the file) is tried up to
// `attempts` times, with `pause` run between tries. False when the data could not be written or
// moved; the old file is then as it was and no temporary file is left. Two writers of one file
// must use different suffixes unless they serialise their writes.
bool platform_write_file_aside(const std::string& path, const std::string& data, bool text_mode, int attempts = 1,
                               const std::function<void()>& pause = nullptr, const std::string& tmp_suffix = ".tmp");

// Tests only: writes through platform_write_file fail once `bytes` more bytes have been written,
// as on a full disk, leaving what was written so far; a negative value lifts the limit.
void platform_set_write_budget_for_tests(std::int64_t bytes);

// For the platform's own writers: how many of `wanted` bytes the test budget above lets through;
// all of them when there is none.
std::size_t platform_write_budgeted(std::size_t wanted);

// Rename that replaces an existing target and may copy across volumes.
bool platform_move_file(const std::string& from, const std::string& to);

// Copies a file, overwriting the target.
bool platform_copy_file(const std::string& from, const std::string& to);

// True when the process's standard output is a terminal.
bool platform_stdout_is_terminal();
