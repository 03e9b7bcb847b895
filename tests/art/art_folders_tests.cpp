#include "art/art_folders.h"

#include "support/temp_dir.h"
#include "support/wallet_reset.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace {

const std::string kTxid = "AB" + std::string(62, 'c');

struct ArtFoldersTest : testing::Test {
    TempDataDir data_dir;

    ArtFoldersTest() { use_wallet("w1"); }
    ~ArtFoldersTest() override { reset_wallet_state_for_tests(); }

    static void use_wallet(const std::string& id) {
        WalletLock lock = lock_wallet();
        reset_wallet_state_for_tests();
        kv_wallet().wallet_id = id;
    }

    static std::vector<ArtFolder> folders() {
        std::vector<ArtFolder> list;
        std::string error;
        EXPECT_TRUE(load_art_folders(list, error)) << error;
        return list;
    }
};

TEST(ArtFoldersKey, FileNameSafeAndCut) {
    struct Row {
        std::string id, key;
    } rows[] = {
        {"", "none"},
        {"w-1_A", "w-1_A"},
        {"../a\\b:c", "___a_b_c"},
        {"\xc3\xa9", "__"},
        {std::string(70, 'x'), std::string(64, 'x')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(art_folders_wallet_key(row.id), row.key);
    }
}

TEST_F(ArtFoldersTest, CreateChecksNameLengthAndCaseBlindDuplicates) {
    struct Row {
        std::string name, result;
    } rows[] = {
        {"", "error: folder name must be 1 to 48 characters."},
        {"   \t ", "error: folder name must be 1 to 48 characters."},
        {std::string(49, 'n'), "error: folder name must be 1 to 48 characters."},
        {"  " + std::string(48, 'n') + " ", "success"},
        {"  Landscapes ", "success"},
        {"LANDSCAPES", "error: that folder already exists."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(art_folder_create(row.name), row.result);
    }
    const std::vector<ArtFolder> list = folders();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].name, "Landscapes");
}

TEST_F(ArtFoldersTest, FilingMovesBetweenFoldersAndStoresTheTxidOfAnOrigin) {
    ASSERT_EQ(art_folder_create("A"), "success");
    ASSERT_EQ(art_folder_create("B"), "success");
    EXPECT_EQ(art_folder_add("a", " " + kTxid + "_0 ", true), "success");
    EXPECT_EQ(art_folder_add(" b ", kTxid, true), "success");
    EXPECT_EQ(art_folder_add("B", "ff_1", false), "success");
    EXPECT_EQ(art_folder_add("C", "ff", false), "error: no folder by that name.");
    EXPECT_EQ(art_folder_add("A", " ", true), "error: pick an artwork.");
    EXPECT_EQ(art_folder_add("A", "", false), "error: pick a certificate.");

    std::vector<ArtFolder> list = folders();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[0].arts.empty());
    EXPECT_EQ(list[1].arts, std::vector<std::string>{std::string("ab") + std::string(62, 'c')});
    EXPECT_EQ(list[1].certs, std::vector<std::string>{"ff_1"});

    EXPECT_EQ(art_folder_remove("A", kTxid), "error: that is not in this folder.");
    EXPECT_EQ(art_folder_remove("A", ""), "error: pick a certificate or an artwork.");
    EXPECT_EQ(art_folder_remove("nope", kTxid), "error: no folder by that name.");
    EXPECT_EQ(art_folder_remove("b", kTxid + "_3"), "success");
    EXPECT_TRUE(folders()[1].arts.empty());
}

// The filing worker and the window thread change the file at the same time: no change may be lost.
TEST_F(ArtFoldersTest, ConcurrentChangesAreAllKept) {
    ASSERT_EQ(art_folder_create("Shelf"), "success");
    constexpr int kThreads = 4;
    constexpr int kEach = 12;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kEach; ++i) {
                const std::string id = std::string(60, 'a') + std::to_string(10 + t) + std::to_string(10 + i);
                if (art_folder_add("Shelf", id, (i % 2) == 0) != "success") ++failures;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    const std::vector<ArtFolder> list = folders();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].arts.size() + list[0].certs.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST_F(ArtFoldersTest, WalletsKeepSeparateFiles) {
    ASSERT_EQ(art_folder_create("Mine"), "success");
    use_wallet("");
    EXPECT_NE(art_folders_path().find("folders_none.json"), std::string::npos);
    EXPECT_TRUE(folders().empty());
    use_wallet("w1");
    EXPECT_EQ(folders().size(), 1u);
}

TEST_F(ArtFoldersTest, LoadSkipsMalformedEntries) {
    test_write_file(art_folders_path(), R"({"folders":[1,{"name":""},{"name":7},{"certs":["a"]},
        {"name":"Keep","certs":["AA",3,null],"arts":"x"}],"extra":true})");
    const std::vector<ArtFolder> list = folders();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "Keep");
    EXPECT_EQ(list[0].certs, std::vector<std::string>{"aa"});
    EXPECT_TRUE(list[0].arts.empty());
}

// A file that cannot be read as folders must make every operation fail and never be replaced,
// or the next save would wipe the user's folders.
TEST_F(ArtFoldersTest, UnreadableFileIsNeverOverwritten) {
    const std::string texts[] = {R"({"folders":[{"name":"A","arts":[)",
                                 "not json",
                                 R"([{"name":"A"}])",
                                 R"({"folders":{"name":"A"}})",
                                 R"({"folders":"A"})",
                                 R"({"folders":[],"x":)" + std::string(75000, '[') + std::string(75000, ']') + "}"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        const std::string path = art_folders_path();
        test_write_file(path, text);
        std::vector<ArtFolder> list;
        std::string error;
        EXPECT_FALSE(load_art_folders(list, error));
        EXPECT_EQ(error, "could not read the folder file");
        EXPECT_EQ(art_folder_create("New"), "error: could not read the folder file");
        EXPECT_EQ(art_folder_add("A", "ab", true), "error: could not read the folder file");
        EXPECT_EQ(art_folder_remove("A", "ab"), "error: could not read the folder file");
        EXPECT_EQ(test_read_file(path), text);
    }
}

TEST_F(ArtFoldersTest, SavedFileIsIndentedWithoutTrailingNewline) {
    ASSERT_EQ(art_folder_create("A"), "success");
    const std::string text = test_read_file(art_folders_path());
    EXPECT_EQ(text, "{\n  \"folders\": [\n    {\n      \"arts\": [],\n      \"certs\": [],\n      \"name\": \"A\"\n"
                    "    }\n  ]\n}");
}

TEST(ArtFolderRemoveId, KeepsTheOrderOfTheRest) {
    std::vector<std::string> ids = {"a", " B ", "c", "b", "b_1"};
    ids.erase(folder_remove_id(ids.begin(), ids.end(), "b"), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "c", "b_1"}));
}

} // namespace
