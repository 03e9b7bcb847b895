#include "shell/backup_files.h"

#include "platform/fs.h"
#include "platform/win_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

const std::string kDoc = R"({"app":"Corvane","folders":[]})";

void set_u16(std::string& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<char>(value & 0xff);
    bytes[at + 1] = static_cast<char>((value >> 8) & 0xff);
}

void set_u32(std::string& bytes, std::size_t at, std::uint32_t value) {
    set_u16(bytes, at, value & 0xffff);
    set_u16(bytes, at + 2, value >> 16);
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

// A local header of a deflated entry with `data` as its (opaque) body, followed by nothing else.
std::string deflated_entry(const std::string& data) {
    std::string entry = zip_stored_bytes("x.bin", data).substr(0, 30 + 5 + data.size());
    set_u16(entry, 8, 8);
    return entry;
}

TEST(BackupCrc, PublishedCheckValues) {
    EXPECT_EQ(crc32_of(""), 0u);
    EXPECT_EQ(crc32_of("a"), 0xE8B7BE43u);
    EXPECT_EQ(crc32_of("123456789"), 0xCBF43926u);
}

TEST(BackupZip, OneStoredEntryWithTheDirectoryWhereItBelongs) {
    const std::string zip = zip_stored_bytes(kBackupEntryName, kDoc);
    const std::size_t d = kDoc.size();
    ASSERT_EQ(zip.size(), d + 128);
    EXPECT_EQ(u32_at(zip, 0), 0x04034b50u);
    EXPECT_EQ(u32_at(zip, 14), crc32_of(kDoc));
    EXPECT_EQ(zip.substr(30, 15), kBackupEntryName);
    EXPECT_EQ(u32_at(zip, 45 + d), 0x02014b50u);
    EXPECT_EQ(u32_at(zip, 45 + d + 46 + 15), 0x06054b50u);
    EXPECT_EQ(u32_at(zip, zip.size() - 6), 45 + d); // offset of the central directory
    std::string document;
    ASSERT_TRUE(backup_text_from_file(zip, document));
    EXPECT_EQ(document, kDoc);
}

TEST(BackupZip, RestoreTextFromJsonOrTheFirstStoredEntry) {
    const std::string zip = zip_stored_bytes(kBackupEntryName, kDoc);
    std::string cut_data = zip;
    set_u32(cut_data, 18, 0xffffffffu); // stored size runs past the end
    std::string long_name = zip;
    set_u16(long_name, 26, 0xffff);
    std::string long_extra = zip;
    set_u16(long_extra, 28, 0xffff);
    std::string bad_signature = zip;
    bad_signature[2] = 5;
    std::string empty_entry = zip_stored_bytes(kBackupEntryName, "");

    struct Row {
        const char* what;
        std::string bytes;
        bool ok;
        std::string document;
    } rows[] = {
        {"json", "{}", true, "{}"},
        {"json with any name", kDoc, true, kDoc},
        {"lone brace", "{", false, ""},
        {"empty", "", false, ""},
        {"PK only", "PK", false, ""},
        {"header cut short", zip.substr(0, 29), false, ""},
        {"data cut short", zip.substr(0, 30 + 15 + 3), false, ""},
        {"stored size past end", cut_data, false, ""},
        {"name length past end", long_name, false, ""},
        {"extra length past end", long_extra, false, ""},
        {"bad signature", bad_signature, false, ""},
        {"empty entry", empty_entry, false, ""},
        {"deflated only", deflated_entry("zzzz"), false, ""},
        {"deflated then stored", deflated_entry("zzzz") + zip, true, kDoc},
        {"deflated then a short tail", deflated_entry("zzzz") + zip.substr(0, 29), false, ""},
        {"text", std::string(40, 'x'), false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string document = "left over";
        EXPECT_EQ(backup_text_from_file(row.bytes, document), row.ok);
        EXPECT_EQ(document, row.document);
    }
}

TEST(BackupRestore, StatusLineSpeaksInSentences) {
    EXPECT_EQ(restore_status_text("success: restored 2 folder(s) and 5 filing(s)."),
              "Restored 2 folder(s) and 5 filing(s).");
    EXPECT_EQ(restore_status_text("success"), "Cabinet restored.");
    EXPECT_EQ(restore_status_text("error: could not write the folder file"), "error: could not write the folder file");
}

TEST(BackupNames, JsonSuffixInAnyCaseAndDefaultName) {
    EXPECT_TRUE(is_json_backup_path(L"C:\\a\\b.JsOn"));
    EXPECT_TRUE(is_json_backup_path(L".json"));
    EXPECT_FALSE(is_json_backup_path(L"b.json.zip"));
    EXPECT_FALSE(is_json_backup_path(L"json"));
    SYSTEMTIME day = {};
    day.wYear = 2026;
    day.wMonth = 3;
    day.wDay = 7;
    EXPECT_EQ(backup_default_file_name(day), L"Corvane-backup-20260307.zip");
}

TEST(BackupFiles, WrittenArchiveReadsBackAndSizesAreBounded) {
    TempDataDir dir;
    const std::string zip_path = dir.root + "/backup.zip";
    ASSERT_TRUE(write_zip_stored(utf8_to_wide(zip_path), kBackupEntryName, kDoc));
    std::string bytes;
    ASSERT_TRUE(read_backup_file(utf8_to_wide(zip_path), bytes));
    EXPECT_EQ(bytes, zip_stored_bytes(kBackupEntryName, kDoc));

    struct Row {
        const char* name;
        std::size_t size;
        bool ok;
    } rows[] = {{"empty", 0, false}, {"largest", 8388608, true}, {"too large", 8388609, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.root + "/" + row.name;
        test_write_file(path, std::string(row.size, '{'));
        EXPECT_EQ(read_backup_file(utf8_to_wide(path), bytes), row.ok);
        EXPECT_EQ(bytes.size(), row.ok ? row.size : 0u);
    }
    EXPECT_FALSE(read_backup_file(utf8_to_wide(dir.root + "/missing.zip"), bytes));
    EXPECT_FALSE(write_zip_stored(utf8_to_wide(dir.root + "/no/such/folder.zip"), kBackupEntryName, kDoc));
}

TEST(BackupFiles, AFailedWriteLeavesTheEarlierBackupWhole) {
    TempDataDir dir;
    const std::string zip_path = dir.root + "/backup.zip";
    ASSERT_TRUE(write_zip_stored(utf8_to_wide(zip_path), kBackupEntryName, kDoc));
    const std::string good = test_read_file(zip_path);

    platform_set_write_budget_for_tests(40); // the disk fills up 40 bytes into the new archive
    const bool written = write_zip_stored(utf8_to_wide(zip_path), kBackupEntryName, kDoc + std::string(500, ' '));
    platform_set_write_budget_for_tests(-1);
    EXPECT_FALSE(written);
    EXPECT_EQ(test_read_file(zip_path), good);
    EXPECT_FALSE(platform_file_exists(zip_path + ".tmp"));
}

} // namespace
