#include "shell/backup_files.h"

#include "art/backup_doc.h"
#include "platform/fs.h"
#include "platform/win_text.h"
#include "shell/shell.h"
#include "shell/status_line.h"
#include "wallet/session.h"

#include <commdlg.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <type_traits>

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint16_t kZipVersion = 20;
constexpr std::size_t kLocalHeaderBytes = 30;
constexpr std::size_t kCentralHeaderBytes = 46;
constexpr DWORD kPathBufferChars = 260;

constexpr const char* kNotConnected = "error: Connect Cofferly first.";
constexpr const char* kNotABackup = "error: that file is not an Corvane backup.";

using FileHolder = std::unique_ptr<std::remove_pointer<HANDLE>::type, decltype(&CloseHandle)>;

FileHolder hold_file(HANDLE file) {
    return FileHolder(file == INVALID_HANDLE_VALUE ? nullptr : file, &CloseHandle);
}

void put_u16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xff));
    out.push_back(static_cast<char>((value >> 8) & 0xff));
}

void put_u32(std::string& out, std::uint32_t value) {
    put_u16(out, value & 0xffff);
    put_u16(out, value >> 16);
}

// The caller has checked that the bytes lie inside `bytes`.
std::uint32_t get_u16(const std::string& bytes, std::uint64_t at) {
    return static_cast<std::uint8_t>(bytes[at]) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 1])) << 8);
}

std::uint32_t get_u32(const std::string& bytes, std::uint64_t at) {
    return get_u16(bytes, at) | (get_u16(bytes, at + 2) << 16);
}

// The data of the first stored entry, walking local headers only: the central directory is not
// needed to find it, and a file cut short after that entry still restores.
bool first_stored_entry(const std::string& bytes, std::string& data) {
    const std::uint64_t size = bytes.size();
    std::uint64_t pos = 0;
    while (size - pos >= kLocalHeaderBytes) {
        if (get_u32(bytes, pos) != kLocalHeaderSignature) return false;
        const std::uint32_t method = get_u16(bytes, pos + 8);
        const std::uint64_t stored_size = get_u32(bytes, pos + 18);
        const std::uint64_t data_start = pos + kLocalHeaderBytes + get_u16(bytes, pos + 26) + get_u16(bytes, pos + 28);
        const std::uint64_t next = data_start + stored_size;
        if (next > size) return false;
        if (method == 0) {
            data.assign(bytes, static_cast<std::size_t>(data_start), static_cast<std::size_t>(stored_size));
            return true;
        }
        pos = next;
    }
    return false;
}

// Written beside the chosen file and moved over it, so a write that fails part-way never leaves a
// cut-off file where a good backup was.
bool write_whole_file(const std::wstring& path, const std::string& bytes) {
    return platform_write_file_aside(wide_to_utf8(path), bytes, false);
}

} // namespace

std::uint32_t crc32_of(const std::string& data) {
    std::uint32_t crc = 0xffffffffu;
    for (char c : data) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string zip_stored_bytes(const std::string& entry_name, const std::string& data) {
    // The fields are 16 and 32 bits wide; a longer name or document would be written cut short.
    const std::uint64_t total = kLocalHeaderBytes + kCentralHeaderBytes + 22 + 2 * std::uint64_t(entry_name.size()) +
                                std::uint64_t(data.size());
    if (entry_name.size() > 0xffff || total > 0xffffffffu) return std::string();
    const std::uint32_t name_size = static_cast<std::uint32_t>(entry_name.size());
    const std::uint32_t data_size = static_cast<std::uint32_t>(data.size());
    const std::uint32_t crc = crc32_of(data);

    std::string out;
    out.reserve(static_cast<std::size_t>(total));
    put_u32(out, kLocalHeaderSignature);
    put_u16(out, kZipVersion);
    put_u16(out, 0); // flags
    put_u16(out, 0); // stored
    put_u16(out, 0); // time
    put_u16(out, 0); // date
    put_u32(out, crc);
    put_u32(out, data_size);
    put_u32(out, data_size);
    put_u16(out, name_size);
    put_u16(out, 0);
    out += entry_name;
    out += data;

    const std::uint32_t directory_offset = static_cast<std::uint32_t>(out.size());
    put_u32(out, kCentralHeaderSignature);
    put_u16(out, kZipVersion); // made by
    put_u16(out, kZipVersion); // needed
    put_u16(out, 0);           // flags
    put_u16(out, 0);           // stored
    put_u16(out, 0);           // time
    put_u16(out, 0);           // date
    put_u32(out, crc);
    put_u32(out, data_size);
    put_u32(out, data_size);
    put_u16(out, name_size);
    put_u16(out, 0); // extra
    put_u16(out, 0); // comment
    put_u16(out, 0); // disk
    put_u16(out, 0); // internal attributes
    put_u32(out, 0); // external attributes
    put_u32(out, 0); // local header offset
    out += entry_name;

    put_u32(out, kEndRecordSignature);
    put_u16(out, 0);
    put_u16(out, 0);
    put_u16(out, 1);
    put_u16(out, 1);
    put_u32(out, static_cast<std::uint32_t>(kCentralHeaderBytes + name_size));
    put_u32(out, directory_offset);
    put_u16(out, 0);
    return out;
}

bool write_zip_stored(const std::wstring& path, const std::string& entry_name, const std::string& data) {
    const std::string archive = zip_stored_bytes(entry_name, data);
    return !archive.empty() && write_whole_file(path, archive);
}

bool backup_text_from_file(const std::string& bytes, std::string& document) {
    document.clear();
    if (bytes.size() >= 2 && bytes[0] == '{') {
        document = bytes;
    } else if (bytes.size() >= kLocalHeaderBytes && bytes[0] == 'P' && bytes[1] == 'K') {
        if (!first_stored_entry(bytes, document)) document.clear();
    }
    return !document.empty();
}

bool is_json_backup_path(const std::wstring& path) {
    if (path.size() < 5) return false;
    static const wchar_t kSuffix[] = L".json";
    for (std::size_t i = 0; i < 5; ++i) {
        wchar_t c = path[path.size() - 5 + i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kSuffix[i]) return false;
    }
    return true;
}

std::wstring backup_default_file_name(const SYSTEMTIME& utc) {
    wchar_t name[64] = {};
    std::swprintf(name, 64, L"Corvane-backup-%04u%02u%02u.zip", unsigned(utc.wYear), unsigned(utc.wMonth),
                  unsigned(utc.wDay));
    return name;
}

bool read_backup_file(const std::wstring& path, std::string& bytes) {
    bytes.clear();
    FileHolder file = hold_file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size)) return false;
    if (size.QuadPart < 1 || static_cast<std::uint64_t>(size.QuadPart) > kBackupMaxFileBytes) return false;
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), &bytes[done], static_cast<DWORD>(bytes.size() - done), &got, nullptr) || got == 0) {
            bytes.clear();
            return false;
        }
        done += got;
    }
    return true;
}

void backup_cabinet_dialog() {
    if (!is_cofferly_connected()) {
        set_status_text(std::string(kNotConnected));
        return;
    }
    const std::string document = art_backup_json();
    if (document.compare(0, 5, "error") == 0) {
        set_status_text(document);
        return;
    }
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    wchar_t path[kPathBufferChars] = {};
    const std::wstring proposed = backup_default_file_name(now);
    wcsncpy(path, proposed.c_str(), kPathBufferChars - 1);

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = main_window;
    dialog.lpstrFilter = L"Zip (*.zip)\0*.zip\0JSON (*.json)\0*.json\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = kPathBufferChars;
    dialog.lpstrDefExt = L"zip";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&dialog)) return;

    const std::wstring chosen = path;
    const bool written = is_json_backup_path(chosen) ? write_whole_file(chosen, document)
                                                     : write_zip_stored(chosen, kBackupEntryName, document);
    set_status_text(std::string(written ? "Cabinet backup written." : "error: could not write that backup."));
}

void restore_cabinet_dialog() {
    if (!is_cofferly_connected()) {
        set_status_text(std::string(kNotConnected));
        return;
    }
    wchar_t path[kPathBufferChars] = {};
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = main_window;
    dialog.lpstrFilter = L"Backup (*.zip;*.json)\0*.zip;*.json\0Zip (*.zip)\0*.zip\0JSON (*.json)\0*.json\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = kPathBufferChars;
    dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameW(&dialog)) return;

    std::string bytes;
    if (!read_backup_file(path, bytes)) {
        set_status_text(std::string("error: could not read that backup."));
        return;
    }
    std::string document;
    if (!backup_text_from_file(bytes, document)) {
        set_status_text(std::string(kNotABackup));
        return;
    }
    set_status_text(restore_status_text(art_restore_backup(document)));
}

std::string restore_status_text(const std::string& result) {
    static const std::string kRestored = "success: restored ";
    if (result.compare(0, kRestored.size(), kRestored) == 0) return "Restored " + result.substr(kRestored.size());
    if (result.compare(0, 7, "success") == 0) return "Cabinet restored.";
    return result;
}
