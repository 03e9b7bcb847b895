#include "art/backup_doc.h"

#include "art/art_folders.h"
#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

struct BackupDocTest : testing::Test {
    TempDataDir data_dir;
    FakeClock clock;

    BackupDocTest() {
        write_test_wallet_file("w1");
        WalletLock lock = lock_wallet();
        reset_wallet_state_for_tests();
        kv_wallet().wallet_id = "w1";
    }
    ~BackupDocTest() override { reset_wallet_state_for_tests(); }

    static std::vector<ArtFolder> folders() {
        std::vector<ArtFolder> list;
        std::string error;
        EXPECT_TRUE(load_art_folders(list, error)) << error;
        return list;
    }
};

std::string backup_of(const json& folders) {
    return json{{"app", "Corvane"}, {"folders", folders}}.dump();
}

TEST_F(BackupDocTest, DocumentCarriesTheFolders) {
    ASSERT_EQ(art_folder_create("Sea"), "success");
    ASSERT_EQ(art_folder_add("Sea", "AB", true), "success");
    const json doc = json::parse(art_backup_json());
    EXPECT_EQ(doc["app"], "Corvane");
    EXPECT_EQ(doc["version"], "0.001");
    EXPECT_EQ(doc["date"], "2026-01-01T00:00:00Z");
    EXPECT_TRUE(doc["wallet"].is_string());
    EXPECT_EQ(doc["folders"], json::parse(R"([{"name":"Sea","certs":[],"arts":["ab"]}])"));
}

TEST_F(BackupDocTest, RestoreMergesAndCountsOnlyWhatIsNew) {
    ASSERT_EQ(art_folder_create("Sea"), "success");
    ASSERT_EQ(art_folder_add("Sea", "aa", false), "success");
    const std::string backup = backup_of(json::parse(R"([
        {"name":" SEA ","certs":["AA","bb"],"arts":["cc",""]},
        {"name":"Hills","arts":["cc",5]},
        {"name":"  "}, {"name":3,"arts":["dd"]}, "x", {"arts":["ee"]}])"));
    EXPECT_EQ(art_restore_backup(backup), "success: restored 1 folder(s) and 3 filing(s).");
    EXPECT_EQ(art_restore_backup(backup), "success: restored 0 folder(s) and 0 filing(s).");
    const std::vector<ArtFolder> list = folders();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "Sea");
    EXPECT_EQ(list[0].certs, (std::vector<std::string>{"aa", "bb"}));
    EXPECT_EQ(list[0].arts, std::vector<std::string>{"cc"});
    EXPECT_EQ(list[1].name, "Hills");
    EXPECT_EQ(list[1].arts, std::vector<std::string>{"cc"});
}

TEST_F(BackupDocTest, RestoreOfAVeryLargeFolderTakesEachIdOnce) {
    // Each id used to be sought through the whole folder: a restore of the million ids that the size
    // limit allows froze for minutes.
    constexpr int kIds = 30000;
    ASSERT_EQ(art_folder_create("Sea"), "success");
    ASSERT_EQ(art_folder_add("Sea", "id7", true), "success");
    json ids = json::array();
    for (int i = 0; i < kIds; ++i)
        ids.push_back("ID" + std::to_string(i));
    for (int i = 0; i < kIds; i += 1000)
        ids.push_back("id" + std::to_string(i)); // repeated within the backup
    const json backup = json::array({{{"name", "sea"}, {"arts", ids}}, {{"name", "Hills"}, {"certs", ids}}});
    EXPECT_EQ(art_restore_backup(backup_of(backup)),
              "success: restored 1 folder(s) and " + std::to_string(2 * kIds - 1) + " filing(s).");
    const std::vector<ArtFolder> list = folders();
    ASSERT_EQ(list.size(), 2u);
    ASSERT_EQ(list[0].arts.size(), std::size_t(kIds));
    EXPECT_EQ(list[0].arts[0], "id7");
    EXPECT_EQ(list[0].arts[1], "id0");
    EXPECT_EQ(list[0].arts[8], "id8");
    EXPECT_EQ(list[0].arts.back(), "id" + std::to_string(kIds - 1));
    ASSERT_EQ(list[1].certs.size(), std::size_t(kIds));
    EXPECT_EQ(list[1].certs[7], "id7");
    EXPECT_EQ(art_restore_backup(backup_of(backup)), "success: restored 0 folder(s) and 0 filing(s).");
}

TEST_F(BackupDocTest, EmptyFolderListRewritesUnchanged) {
    ASSERT_EQ(art_folder_create("Sea"), "success");
    const std::string before = test_read_file(art_folders_path());
    EXPECT_EQ(art_restore_backup(backup_of(json::array())), "success: restored 0 folder(s) and 0 filing(s).");
    EXPECT_EQ(test_read_file(art_folders_path()), before);
}

TEST_F(BackupDocTest, ForeignOrBrokenDocumentsAreRefusedAndChangeNothing) {
    ASSERT_EQ(art_folder_create("Sea"), "success");
    const std::string before = test_read_file(art_folders_path());
    const std::string documents[] = {
        "",
        "{",
        R"({"app":"Corvane","folders":[)",
        "[]",
        "\"Corvane\"",
        R"({"folders":[]})",
        R"({"app":"Corvane ","folders":[]})",
        R"({"app":"corvane","folders":[]})",
        R"({"app":1,"folders":[]})",
        R"({"app":"Corvane"})",
        R"({"app":"Corvane","folders":{}})",
        R"({"app":"Corvane","folders":null})",
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_EQ(art_restore_backup(document), "error: that file is not an Corvane backup.");
    }
    EXPECT_EQ(test_read_file(art_folders_path()), before);
}

TEST_F(BackupDocTest, UnreadableFoldersFileStopsBackupAndRestore) {
    test_write_file(art_folders_path(), "{\"folders\":[");
    EXPECT_EQ(art_backup_json(), "error: could not read the folder file");
    EXPECT_EQ(art_restore_backup(backup_of(json::array({{{"name", "A"}}}))), "error: could not read the folder file");
    EXPECT_EQ(test_read_file(art_folders_path()), "{\"folders\":[");
}

TEST(BackupDocNoWallet, NeedsAConnectedWallet) {
    TempDataDir data_dir;
    reset_wallet_state_for_tests();
    EXPECT_EQ(art_backup_json(), "error: Connect Cofferly first.");
    EXPECT_EQ(art_restore_backup(backup_of(json::array())), "error: Connect Cofferly first.");
}

TEST(MergeIdArray, IgnoresWhatIsNotAnArrayOfTexts) {
    std::vector<std::string> target = {"a"};
    std::size_t added = 0;
    merge_id_array(json::parse(R"({"arts":"a"})"), "arts", target, added);
    merge_id_array(json::array(), "arts", target, added);
    merge_id_array(json::parse(R"({"arts":["A","b",{},"B"]})"), "arts", target, added);
    EXPECT_EQ(target, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(added, 1u);
}

} // namespace
