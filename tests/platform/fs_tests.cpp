#include "platform/fs.h"

#include "support/spawn.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char kSep[] = "\\";
const char kTextNewline[] = "\r\n";
#else
const char kSep[] = "/";
const char kTextNewline[] = "\n";
#endif

// Checks through the standard library, independently of the code under test, that a UTF-8 path
// names a real file under its true (not code-page mangled) name.
bool exists_u8(const std::string& path) {
    return fs::exists(fs::u8path(path));
}

} // namespace

TEST(PlatformFs, DataDirPathFollowsLocalAppData) {
    TempDataDir tmp;
    struct Row {
        const char* what;
        bool set;
        std::string value;
        std::string expected;
    } rows[] = {
        {"set", true, tmp.root, tmp.root + kSep + "Kestrava"},
        {"empty", true, "", std::string(".") + kSep + "Kestrava"},
        {"unset", false, "", std::string(".") + kSep + "Kestrava"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.set)
            test_set_env("LOCALAPPDATA", row.value);
        else
            test_unset_env("LOCALAPPDATA");
        EXPECT_EQ(platform_data_dir_path(), row.expected);
    }
}

TEST(PlatformFs, ReadWriteModesAndFailures) {
    TempDataDir tmp;
    const std::string path = tmp.root + "/f.txt";

    ASSERT_TRUE(platform_write_file(path, "a\nb\r\n", false));
    EXPECT_EQ(test_read_file(path), "a\nb\r\n");
    ASSERT_TRUE(platform_write_file(path, "x\ny\n", true));
    EXPECT_EQ(test_read_file(path), std::string("x") + kTextNewline + "y" + kTextNewline);
    ASSERT_TRUE(platform_write_file(path, "z", false));
    EXPECT_EQ(test_read_file(path), "z") << "a rewrite must truncate";

    std::string out = "stale";
    EXPECT_FALSE(platform_read_file(tmp.root + "/missing", out));
    EXPECT_EQ(out, "");
    out = "stale";
    EXPECT_FALSE(platform_read_file(tmp.root, out)) << "a folder is not a file";
    EXPECT_EQ(out, "");
    EXPECT_FALSE(platform_write_file(tmp.root + "/no/such/folder/f", "x", false));
    EXPECT_FALSE(platform_write_file(tmp.root, "x", false));
}

TEST(PlatformFs, Utf8PathsKeepTheirNames) {
    TempDataDir tmp;
    const std::string dir = tmp.root + "/K\xC3\xBCnstler \xE7\x94\xBB/sub";
    const std::string a = dir + "/w\xC3\xA4llet \xE2\x82\xAC.json";
    const std::string b = dir + "/copy \xF0\x9F\x8E\xA8.json";
    const std::string c = dir + "/moved.json";

    ASSERT_TRUE(platform_make_dirs(dir));
    EXPECT_TRUE(exists_u8(dir));
    ASSERT_TRUE(platform_write_file(a, "{}", false));
    EXPECT_TRUE(exists_u8(a));
    EXPECT_TRUE(platform_file_exists(a));
    EXPECT_EQ(test_read_file(a), "{}");

    ASSERT_TRUE(platform_copy_file(a, b));
    EXPECT_TRUE(exists_u8(b));
    ASSERT_TRUE(platform_move_file(b, c));
    EXPECT_FALSE(platform_file_exists(b));
    EXPECT_EQ(test_read_file(c), "{}");
    ASSERT_TRUE(platform_remove_file(a));
    EXPECT_FALSE(exists_u8(a));
    EXPECT_FALSE(platform_remove_file(a));
}

TEST(PlatformFs, MoveCopyAndAtomicReplace) {
    TempDataDir tmp;
    const std::string from = tmp.root + "/from";
    const std::string to = tmp.root + "/to";
    struct Row {
        const char* what;
        bool (*op)(const std::string&, const std::string&);
        bool source_stays;
    } rows[] = {
        {"atomic replace", platform_atomic_replace, false},
        {"move", platform_move_file, false},
        {"copy", platform_copy_file, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        platform_remove_file(to);
        test_write_file(from, "first");
        ASSERT_TRUE(row.op(from, to)) << "target missing";
        EXPECT_EQ(test_read_file(to), "first");

        test_write_file(from, "second");
        ASSERT_TRUE(row.op(from, to)) << "target present";
        EXPECT_EQ(test_read_file(to), "second");
        EXPECT_EQ(platform_file_exists(from), row.source_stays);

        platform_remove_file(from);
        EXPECT_FALSE(row.op(from, to)) << "source missing";
        EXPECT_EQ(test_read_file(to), "second");
    }
}

TEST(PlatformFs, ProgramDirHoldsTheExecutable) {
    const std::string self = spawn_self_path();
    ASSERT_FALSE(self.empty());
    const std::string dir = platform_program_dir();
    ASSERT_LT(dir.size(), self.size());
    EXPECT_EQ(self.compare(0, dir.size(), dir), 0);
    EXPECT_NE(std::string("/\\").find(self[dir.size()]), std::string::npos);
    EXPECT_EQ(self.find_first_of("/\\", dir.size() + 1), std::string::npos);
    EXPECT_TRUE(fs::is_directory(fs::u8path(dir)));
}

TEST(PlatformFs, WriteAsideReplacesWholeOrNotAtAll) {
    TempDataDir tmp;
    const std::string path = tmp.root + "/doc.json";
    const std::string big(100000, 'n');
    struct Row {
        const char* what;
        std::int64_t budget; // bytes the disk takes; -1 for no limit
        bool folder_at_tmp;  // the temporary file cannot be created
        int held_moves;      // moves refused before the file is let go
        int attempts;
        int failing_flushes; // flushes to disk that fail
        bool ok;
        int flushes_first = 0;    // flushes that succeed before those fail
        int failing_folders = 0;  // flushes of the folder that fail
        bool link_at_tmp = false; // another account's file is linked at the temporary's name
    } rows[] = {
        {"plain replace", -1, false, 0, 1, 0, true},
        {"disk full halfway", 50000, false, 0, 1, 0, false},
        {"disk full at once", 0, false, 0, 1, 0, false},
        {"temporary file cannot be made", -1, true, 0, 1, 0, false},
        {"held twice, three attempts", -1, false, 2, 3, 0, true},
        {"held three times, three attempts", -1, false, 3, 3, 0, false},
        {"flush fails", -1, false, 0, 1, 1, false},
        {"flush fails, three attempts", -1, false, 0, 3, 1, false},
        {"a later flush fails, three attempts", -1, false, 0, 3, 1, true, 1},
        {"a later flush fails while held", -1, false, 1, 3, 1, true, 1},
        {"folder flush fails after the move", -1, false, 0, 3, 0, true, 0, 1},
        {"another file is linked at the temporary's name", -1, true, 0, 1, 0, true, 0, 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test_write_file(path, "old");
        const std::string theirs = tmp.root + "/theirs";
        if (row.folder_at_tmp && !row.link_at_tmp) {
            ASSERT_TRUE(platform_make_dirs(path + ".tmp"));
        }
        if (row.link_at_tmp) {
            test_write_file(theirs, "theirs");
            fs::create_hard_link(fs::u8path(theirs), fs::u8path(path + ".tmp"));
        }
        // Holding the file: a folder with a file in it takes its place, so the move fails, and the
        // pause between attempts puts the old file back once enough moves were refused.
        int pauses = 0;
        const std::string held = path + ".held";
        if (row.held_moves > 0) {
            ASSERT_TRUE(platform_move_file(path, held));
            ASSERT_TRUE(platform_make_dirs(path));
            test_write_file(path + "/inside", "x");
        }
        const auto pause = [&] {
            if (++pauses == row.held_moves) {
                fs::remove_all(fs::u8path(path));
                ASSERT_TRUE(platform_move_file(held, path));
            }
        };
        platform_set_write_budget_for_tests(row.budget);
        platform_fail_flushes_for_tests(row.failing_flushes, row.flushes_first, row.failing_folders);
        const bool ok =
            platform_write_file_aside(path, big, false, row.attempts, pause, row.folder_at_tmp ? ".tmp" : "");
        const int failures_left = platform_fail_flushes_for_tests(0);
        platform_set_write_budget_for_tests(-1);
        EXPECT_EQ(ok, row.ok);
        EXPECT_FALSE(ok && failures_left < row.failing_flushes) << "a flush failed, and the save was reported done";
        if (row.link_at_tmp) {
            EXPECT_EQ(test_read_file(theirs), "theirs") << "written into another's file";
        }
        EXPECT_EQ(pauses, std::max(0, std::min(row.held_moves, row.attempts - 1)));
        if (row.held_moves > row.attempts - 1 && row.held_moves > 0) {
            fs::remove_all(fs::u8path(path));
            ASSERT_TRUE(platform_move_file(held, path));
        }
        EXPECT_EQ(test_read_file(path), row.ok ? big : "old");
        fs::remove_all(fs::u8path(path + ".tmp"));
        EXPECT_EQ(temporary_files_beside(path), 0);
    }
}

// Temporary files that a crash left behind go at start, however fresh once their writer has ended;
// a fresh one of a running writer may belong to a write under way, and a name of another
// program's making is not this program's to remove.
TEST(PlatformFs, SweepTakesOnlyStaleTemporaryFilesOfItsOwnNaming) {
    TempDataDir tmp;
    const std::string own = "wallet.json" + platform_own_tmp_suffix();
    ASSERT_TRUE(platform_is_own_tmp_name(own));
    struct Row {
        std::string name;
        int age_s;
        bool removed;
    } rows[] = {
        {own, 3600, true},
        {"wallets/w1/" + own, 3600, true},
        {"wallets/w1/" + own + "x", 3600, false},
        {"a/b/c/" + own, 3600, false}, // deeper than any file the program writes
        {"fresh" + own, 5, false},
        {"wallets.json.tmp", 3600, false}, // the name the wallet program writes too
        {"doc.json.0.tmp", 3600, false},
        {"doc.json.0123456789ab-.tmp", 3600, false},
        {".0123456789ab-1.tmp", 3600, false},
        {"doc.json.0123456789AB-1.tmp", 3600, false},
        {"doc.json.0123456789ab-2147483644-1.tmp", 5, true}, // its writer has ended
        {"doc.json.0123456789ab-2147483644-.tmp", 5, false},
        {"doc.json.0123456789ab-" + std::to_string(platform_process_id()) + "-1.tmp", 3600, true},
    };
    for (const Row& row : rows) {
        const std::string path = tmp.root + "/" + row.name;
        test_write_file(path, "seed words");
        fs::last_write_time(fs::u8path(path), fs::file_time_type::clock::now() - std::chrono::seconds(row.age_s));
    }
    EXPECT_EQ(platform_sweep_stale_tmp_files(tmp.root, 600), 4);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(exists_u8(tmp.root + "/" + row.name), !row.removed);
    }
}

#ifndef _WIN32
// The copy beside a private file is as private as the file, from its first byte to the move.
TEST(PlatformFs, WriteAsideKeepsTheReplacedFilesPermissions) {
    TempDataDir tmp;
    const std::string path = tmp.root + "/wallet.json";
    for (const fs::perms mode : {fs::perms::owner_read | fs::perms::owner_write, fs::perms::owner_read}) {
        test_write_file(path, "old");
        fs::permissions(fs::u8path(path), mode);
        ASSERT_TRUE(platform_write_file_aside(path, "new", false));
        EXPECT_EQ(test_read_file(path), "new");
        EXPECT_EQ(fs::status(fs::u8path(path)).permissions() & fs::perms::all, mode);
        fs::permissions(fs::u8path(path), fs::perms::owner_all);
    }
}
#endif

#ifdef _WIN32
// The access list in SDDL, or "" when it cannot be read.
std::wstring access_list_of(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t* text = nullptr;
    std::wstring sddl;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr))
        sddl = text;
    LocalFree(text);
    LocalFree(descriptor);
    return sddl;
}

// Attributes and an access list the user set stay on the file through a save.
TEST(PlatformFs, WriteAsideKeepsTheReplacedFilesAttributes) {
    TempDataDir tmp;
    const std::string path = tmp.root + "\\hidden.json";
    test_write_file(path, "old");
    const std::wstring wide = fs::u8path(path).wstring();
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN));
    const std::wstring inherited = access_list_of(wide);
    PSECURITY_DESCRIPTOR own_list = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1, &own_list, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(own_list, &present, &dacl, &defaulted);
    ASSERT_EQ(SetNamedSecurityInfoW(&std::wstring(wide)[0], SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(own_list);
    const std::wstring before = access_list_of(wide);
    ASSERT_NE(before, inherited);
    ASSERT_TRUE(platform_write_file_aside(path, "new", false));
    EXPECT_EQ(test_read_file(path), "new");
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(access_list_of(wide), before);
}
#endif
