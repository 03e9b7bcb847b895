// The Backup and Restore buttons of the Settings panel: the cabinet backup written as plain JSON
// or as a ZIP archive with one stored entry, and read back from either. The ZIP codec is the
// program's own and handles stored (uncompressed) entries only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

constexpr const char* kBackupEntryName = "art-backup.json";
// A restore reads files of 1 byte up to this size.
constexpr std::uint64_t kBackupMaxFileBytes = 8388608;

// Reflected CRC-32 (polynomial 0xEDB88320); 0 for no bytes.
std::uint32_t crc32_of(const std::string& data);

// The whole archive with one stored entry, or "" when the name or data is too long for its fields.
std::string zip_stored_bytes(const std::string& entry_name, const std::string& data);
// Writes zip_stored_bytes to a new file; true only when every byte was written.
bool write_zip_stored(const std::wstring& path, const std::string& entry_name, const std::string& data);

// The backup document inside a restore file: the whole file when it starts with "{" (2 bytes at
// least), else the data of the first stored entry of a ZIP archive. False when neither is found or
// the text is empty.
bool backup_text_from_file(const std::string& bytes, std::string& document);

// True when the path ends in ".json" in any case.
bool is_json_backup_path(const std::wstring& path);
// "Corvane-backup-YYYYMMDD.zip".
std::wstring backup_default_file_name(const SYSTEMTIME& utc);

// Reads a restore file whole; false when it cannot be opened or has 0 or more than
// kBackupMaxFileBytes bytes.
bool read_backup_file(const std::wstring& path, std::string& bytes);

// The two buttons; every outcome is one status-line text.
void backup_cabinet_dialog();
void restore_cabinet_dialog();
// The status line's sentence for a restore result: "Restored N folder(s) and M filing(s)." for the
// engine's "success: restored ...", the error text itself otherwise.
std::string restore_status_text(const std::string& result);
