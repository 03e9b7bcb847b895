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

// Moves `from` over `to` atomically and durably: MoveFileEx with replace-existing and
// write-through on Windows (the replaced file's attributes stay on the new one); rename, then
// fsync of the file and its folder on POSIX. False, with nothing moved, when `from` could not be
// flushed to disk, or on Windows when `to` is read-only.
bool platform_atomic_replace(const std::string& from, const std::string& to);

// True once the data of the file is on the disk (fsync, FlushFileBuffers). A failed flush is not
// tried again: the system may have dropped the data and would then report the next one clean.
bool platform_flush_file(const std::string& path);

// Replaces a file whole so that it is never seen cut short: the data is written to `path` +
// `tmp_suffix` beside it (an empty suffix takes platform_own_tmp_suffix), with the permissions of
// the file it replaces, flushed to disk, and moved over `path` in one step
// (platform_atomic_replace). A move that fails (another program holds the file) is tried up to
// `attempts` times, with `pause` run between tries. False when the data could not be written,
// flushed or moved; the old file is then as it was and no temporary file is left. Two writers of
// one file must use different suffixes unless they serialise their writes.
bool platform_write_file_aside(const std::string& path, const std::string& data, bool text_mode, int attempts = 1,
                               const std::function<void()>& pause = nullptr, const std::string& tmp_suffix = "");

// A temporary-file suffix of this program's own naming: ".", 12 hex digits that mark this
// process, "-", a running number and ".tmp". No two calls in any process give the same one.
std::string platform_own_tmp_suffix();

// True when a file name ends in a suffix of that naming, whichever process made it.
bool platform_is_own_tmp_name(const std::string& name);

// Removes the files of the own temporary naming in `dir` and in its folders up to two levels down
// whose last write is at least `min_age_s` seconds old: no write takes that long, so no running
// writer owns them. Returns how many were removed.
int platform_sweep_stale_tmp_files(const std::string& dir, std::int64_t min_age_s);

// Gives `path` the access permissions of `model`: its mode bits on POSIX (with the owner's write
// permission added when `owner_writes`, so the copy can still be filled); on Windows both take the
// access list their shared folder hands down, so nothing is changed. True when `model` does not
// exist; false when its permissions could not be copied.
bool platform_copy_permissions(const std::string& model, const std::string& path, bool owner_writes);

// Moves `from` to `to` only when nothing stands at `to`; false, with both as they were, otherwise.
bool platform_move_file_new(const std::string& from, const std::string& to);

// Tests only: the next `count` flushes to disk fail, as on a failing device.
void platform_fail_flushes_for_tests(int count);

// For the platform's own flushes: true when the test seam above fails this one.
bool platform_flush_fails_for_tests();

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
