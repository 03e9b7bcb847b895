#include "platform/fs.h"

#include "platform/win_text.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>
#include <windows.h>

#include <aclapi.h>

#include <cstdio>
#include <io.h>

namespace fs = std::filesystem;

namespace {

struct HandleCloser {
    void operator()(void* h) const { CloseHandle(h); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

// Wraps a CreateFileW result; empty when the open failed.
ScopedHandle own_handle(HANDLE h) {
    return ScopedHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// Readers share every access, delete included, to stand in the way of other processes as little as
// possible; a replace over a file open here may still fail until it closes (the registry retries).
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool write_all(HANDLE h, const char* data, std::size_t size) {
    while (size > 0) {
        const std::size_t allowed = platform_write_budgeted(size > 0x10000000u ? 0x10000000u : size);
        if (allowed == 0) return false;
        DWORD chunk = static_cast<DWORD>(allowed);
        DWORD written = 0;
        if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

std::string crlf_lines(const std::string& data) {
    std::string out;
    out.reserve(data.size() + data.size() / 16);
    for (char c : data) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

// Gives `to_file` the access list `from_file` has, and the same choice of taking what its
// folder hands down. True when `from_file` has none that can be read (nothing to keep) or it was
// copied.
bool copy_access_list(const std::wstring& from_file, const std::wstring& to_file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(from_file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return true;
    std::unique_ptr<void, decltype(&LocalFree)> owned(descriptor, LocalFree);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) return false;
    const SECURITY_INFORMATION which =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(to_file.c_str()), SE_FILE_OBJECT, which, nullptr, nullptr, dacl,
                                 nullptr) == ERROR_SUCCESS;
}

} // namespace

std::string platform_env(const char* name) {
    std::wstring wname = utf8_to_wide(name != nullptr ? std::string(name) : std::string());
    if (wname.empty()) return std::string();
    DWORD need = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (need == 0) return std::string();
    std::wstring value(need, L'\0');
    DWORD got = GetEnvironmentVariableW(wname.c_str(), &value[0], need);
    if (got == 0 || got >= need) return std::string();
    value.resize(got);
    return wide_to_utf8(value);
}

std::string platform_data_dir_path() {
    std::string base = platform_env("LOCALAPPDATA");
    if (base.empty()) base = ".";
    return base + "\\Kestrava";
}

std::string platform_program_dir() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return ".";
        if (n < buf.size()) {
            std::string path = wide_to_utf8(std::wstring(buf.data(), n));
            std::size_t cut = path.find_last_of("\\/");
            if (cut == std::string::npos || cut == 0) return ".";
            return path.substr(0, cut);
        }
        if (buf.size() >= 32768) return ".";
        buf.resize(buf.size() * 2);
    }
}

bool platform_make_dirs(const std::string& path) {
    std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty()) return false;
    std::error_code ec;
    fs::create_directories(fs::path(wpath), ec);
    return fs::is_directory(fs::path(wpath), ec);
}

bool platform_file_exists(const std::string& path) {
    std::wstring wpath = utf8_to_wide(path);
    return !wpath.empty() && GetFileAttributesW(wpath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool platform_remove_file(const std::string& path) {
    std::wstring wpath = utf8_to_wide(path);
    return !wpath.empty() && DeleteFileW(wpath.c_str()) != 0;
}

bool platform_read_file(const std::string& path, std::string& out) {
    out.clear();
    platform_count_read();
    std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty()) return false;
    ScopedHandle h = own_handle(
        CreateFileW(wpath.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return false;
    std::string data;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h.get(), chunk, sizeof(chunk), &got, nullptr)) return false;
        if (got == 0) break;
        data.append(chunk, got);
    }
    out.swap(data);
    return true;
}

bool platform_write_file(const std::string& path, const std::string& data, bool text_mode) {
    std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty()) return false;
    // OPEN_ALWAYS and an explicit truncation rather than CREATE_ALWAYS, which refuses files that
    // carry the hidden or system attribute.
    ScopedHandle h = own_handle(CreateFileW(wpath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return false;
    if (!SetEndOfFile(h.get())) return false;
    if (text_mode) {
        std::string converted = crlf_lines(data);
        return write_all(h.get(), converted.data(), converted.size());
    }
    return write_all(h.get(), data.data(), data.size());
}

bool platform_append_file(const std::string& path, const std::string& data) {
    std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty()) return false;
    ScopedHandle h = own_handle(CreateFileW(wpath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return false;
    return write_all(h.get(), data.data(), data.size());
}

bool platform_write_file_new(const std::string& path, const std::string& data, bool text_mode,
                             const std::string& model) {
    (void)model; // both take the access list of their shared folder
    std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty()) return false;
    // CREATE_NEW, so that no file another account made in its place is filled.
    bool ok = false;
    {
        ScopedHandle h = own_handle(CreateFileW(wpath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!h) return false;
        if (text_mode) {
            const std::string converted = crlf_lines(data);
            ok = write_all(h.get(), converted.data(), converted.size());
        } else {
            ok = write_all(h.get(), data.data(), data.size());
        }
    }
    if (!ok) DeleteFileW(wpath.c_str());
    return ok;
}

bool platform_flush_file(const std::string& path) {
    std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty() || platform_flush_fails_for_tests()) return false;
    ScopedHandle h = own_handle(
        CreateFileW(wpath.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return h && FlushFileBuffers(h.get()) != 0;
}

bool platform_atomic_replace(const std::string& from, const std::string& to) {
    // Write-through covers the rename itself; the new file's data must reach the disk first, and
    // a device that did not take it may hand back anything after a crash: that save failed.
    return platform_flush_file(from) && platform_replace_file(from, to);
}

bool platform_replace_file(const std::string& from, const std::string& to) {
    std::wstring wfrom = utf8_to_wide(from);
    std::wstring wto = utf8_to_wide(to);
    if (wfrom.empty() || wto.empty()) return false;
    const DWORD old_attributes = GetFileAttributesW(wto.c_str());
    // Windows refuses to replace a read-only file; Wine would replace it and drop the mark.
    if (platform_file_read_only(to)) return false;
    // The moved file brings its own attributes; a file the user or the wallet program marked hidden
    // stays hidden.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    // So does its access list, which came from the folder; a file the user narrowed would lose its
    // own at every save. It is set before the move, so the new file is never open wider.
    if (old_attributes != INVALID_FILE_ATTRIBUTES && !copy_access_list(wto, wfrom)) return false;
    if (MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) return false;
    if (old_attributes != INVALID_FILE_ATTRIBUTES && (old_attributes & kept) != 0) {
        const DWORD now = GetFileAttributesW(wto.c_str());
        if (now != INVALID_FILE_ATTRIBUTES)
            SetFileAttributesW(wto.c_str(), (now & ~FILE_ATTRIBUTE_NORMAL) | (old_attributes & kept));
    }
    return true;
}

bool platform_file_read_only(const std::string& path) {
    const std::wstring wpath = utf8_to_wide(path);
    if (wpath.empty()) return false;
    const DWORD attributes = GetFileAttributesW(wpath.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void platform_flush_folder_of(const std::string& path) {
    (void)path; // MOVEFILE_WRITE_THROUGH has written the move
}

bool platform_process_running(std::uint64_t pid) {
    if (pid == 0 || pid > 0xFFFFFFFFull) return true;
    ScopedHandle h(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    // No such process answers "invalid parameter"; one of another account may refuse to be asked.
    if (!h) return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    return !GetExitCodeProcess(h.get(), &code) || code == STILL_ACTIVE;
}

std::uint64_t platform_process_id() {
    return GetCurrentProcessId();
}

bool platform_move_file_new(const std::string& from, const std::string& to) {
    std::wstring wfrom = utf8_to_wide(from);
    std::wstring wto = utf8_to_wide(to);
    if (wfrom.empty() || wto.empty()) return false;
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
    return MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_COPY_ALLOWED) != 0;
}

bool platform_move_file(const std::string& from, const std::string& to) {
    std::wstring wfrom = utf8_to_wide(from);
    std::wstring wto = utf8_to_wide(to);
    if (wfrom.empty() || wto.empty()) return false;
    return MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

bool platform_copy_file(const std::string& from, const std::string& to) {
    std::wstring wfrom = utf8_to_wide(from);
    std::wstring wto = utf8_to_wide(to);
    if (wfrom.empty() || wto.empty()) return false;
    return CopyFileW(wfrom.c_str(), wto.c_str(), FALSE) != 0;
}

bool platform_stdout_is_terminal() {
    return _isatty(_fileno(stdout)) != 0;
}
