// File-system services whose working differs between Windows and POSIX. Every path is UTF-8 text;
// the Windows side converts at the API edge.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Adds the data at the end of a file (created when missing), in binary mode. False when it could not
// be opened or written whole; a write cut short leaves what was written.
bool platform_append_file(const std::string& path, const std::string& data);

// Moves `from` over `to` atomically and durably: `from` is flushed to disk, then moved with
// platform_replace_file, then on POSIX the folder is flushed. False, with nothing moved, when
// `from` could not be flushed or moved. Once moved the replace is done: a folder flush that fails
// after it is logged, not reported, since the new file already stands in the old one's place.
bool platform_atomic_replace(const std::string& from, const std::string& to);

// Moves `from` over `to` in one step, without flushing anything: MoveFileEx with replace-existing
// and write-through on Windows (the replaced file's attributes and access list stay on the new
// one); rename on POSIX. False, with nothing moved, when the move failed, or on Windows when `to`
// is read-only or its access list could not be given to `from`.
bool platform_replace_file(const std::string& from, const std::string& to);

// True when the file carries the mark that makes platform_replace_file refuse it: Windows's
// read-only attribute. POSIX has no such mark (a rename replaces a file whatever its mode).
bool platform_file_read_only(const std::string& path);

// Flushes the folder that holds `path`, so that a move into it lasts; logs one line when it fails.
// Nothing to do on Windows, whose moves are written through.
void platform_flush_folder_of(const std::string& path);

// Creates `path`, which must not exist yet, with the access permissions of `model` from the first
// byte on (its mode bits on POSIX; on Windows the access list the shared folder hands down, as
// `model` has it), then writes the data. False when something stands at `path` (left as it was) or
// the data could not be written (the file made is removed).
bool platform_write_file_new(const std::string& path, const std::string& data, bool text_mode,
                             const std::string& model);

// True unless the process with this id is known to have ended: a process that cannot be asked
// about counts as running.
bool platform_process_running(std::uint64_t pid);

// The id of this process.
std::uint64_t platform_process_id();

// One line for the program's log; defined above the platform, where the log is.
void platform_log_line(const std::string& text);

// True once the data of the file is on the disk (fsync, FlushFileBuffers). A failed flush is not
// tried again: the system may have dropped the data and would then report the next one clean.
bool platform_flush_file(const std::string& path);

// Replaces a file whole so that it is never seen cut short: the data is written to `path` +
// `tmp_suffix` beside it (an empty suffix takes platform_own_tmp_suffix), created new, after a file
// left at that name is removed, with the permissions of the file it replaces
// (platform_write_file_new), flushed to disk once, and moved
// over `path` in one step (platform_replace_file), then the folder is flushed. A move that fails
// (another program holds the file) is tried up to `attempts` times, with `pause` run between
// tries; a failed flush is not tried again. False when the data could not be written, flushed or
// moved; the old file is then as it was and no temporary file of this call is left. True once the
// new file stands in place. Two writers of one file must use different suffixes unless they
// serialise their writes.
bool platform_write_file_aside(const std::string& path, const std::string& data, bool text_mode, int attempts = 1,
                               const std::function<void()>& pause = nullptr, const std::string& tmp_suffix = "");

// A temporary-file suffix of this program's own naming: ".", 12 hex digits that mark this
// process, "-", the process id, "-", a running number and ".tmp". No two calls in any process give
// the same one. Earlier versions wrote the same without the process id.
std::string platform_own_tmp_suffix();

// True when a file name ends in a suffix of that naming (with or without the process id),
// whichever process made it; `pid`, when given, receives the process id, 0 where the name has none.
bool platform_is_own_tmp_name(const std::string& name, std::uint64_t* pid = nullptr);

// Removes the files of the own temporary naming in `dir` and in its folders up to two levels down
// that no running writer owns: those whose process has ended, whatever their age, and any whose
// last write is at least `min_age_s` seconds old (no write takes that long). Returns how many
// were removed.
int platform_sweep_stale_tmp_files(const std::string& dir, std::int64_t min_age_s);

// Moves `from` to `to` only when nothing stands at `to`; false, with both as they were, otherwise.
bool platform_move_file_new(const std::string& from, const std::string& to);

// Tests only: after the next `skip` flushes of files to disk, `count` fail, as on a failing device;
// `folders` fail the next flushes of folders. Returns how many failures of files set before were
// not handed out.
int platform_fail_flushes_for_tests(int count, int skip = 0, int folders = 0);

// For the platform's own flushes: true when the test seam above fails this one. Every call counts
// towards platform_flushes_for_tests.
bool platform_flush_fails_for_tests(bool folder = false);

// Tests only: how many flushes of files to disk were asked for since the process started.
int platform_flushes_for_tests();

// Tests only: how many whole-file reads (platform_read_file) were asked for since the process
// started; the platform's readers count each through platform_count_read.
int platform_reads_for_tests();
void platform_count_read();

// The names of the plain files in the folder `dir` (not those of its folders), in no set order;
// empty when it is missing or cannot be read.
std::vector<std::string> platform_file_names(const std::string& dir);

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
