#include "art/backup_doc.h"

#include "art/art_folders.h"
#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

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
        R"({"app":"Corvane","folders":[{"name":"A","arts":)" + std::string(75000, '[') + std::string(75000, ']') +
            "}]}",
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_EQ(art_restore_backup(document), "error: that file is not an Corvane backup.");
    }
    EXPECT_EQ(test_read_file(art_folders_path()), before);
}

std::size_t filed_ids(const std::vector<ArtFolder>& list) {
    std::size_t n = 0;
    for (const ArtFolder& folder : list)
        n += folder.certs.size() + folder.arts.size();
    return n;
}

// Mutated backups from a fixed seed, nesting past the JSON bound among them: every restore either
// counts exactly what it added or is refused with the folders file as it was, and the file always
// loads afterwards.
TEST_F(BackupDocTest, MutatedBackupsRestoreExactlyOrChangeNothing) {
    ASSERT_EQ(art_folder_create("Sea"), "success");
    ASSERT_EQ(art_folder_add("Sea", "aa", false), "success");
    const std::string seed = backup_of(json::parse(R"([{"name":"Sea","certs":["AA","bb"],"arts":["cc"]},
        {"name":"Hills","arts":["dd",5,"D\u00e9"]},{"name":" x ","certs":[]}])"));
    const std::string alphabet = "[]{}\",:\\ aZ5";
    std::mt19937 rng(511);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    int restored = 0, refused = 0;
    for (int round = 0; round < 400; ++round) {
        std::string text = seed;
        for (std::size_t edits = 1 + pick(3); edits > 0; --edits) {
            const std::size_t at = pick(text.size() + 1);
            switch (pick(4)) {
            case 0:
                text.insert(at, 1, alphabet[pick(alphabet.size())]);
                break;
            case 1:
                if (at < text.size()) text.erase(at, 1);
                break;
            case 2:
                text.insert(at, std::string(1 + pick(80), '['));
                break;
            default:
                if (at < text.size()) text[at] = alphabet[pick(alphabet.size())];
                break;
            }
        }
        SCOPED_TRACE(text.substr(0, 200));
        const std::string before_text = test_read_file(art_folders_path());
        const std::vector<ArtFolder> before = folders();
        const std::string result = art_restore_backup(text);
        const std::vector<ArtFolder> after = folders();
        std::size_t new_folders = 0, new_ids = 0;
        if (std::sscanf(result.c_str(), "success: restored %zu folder(s) and %zu filing(s).", &new_folders, &new_ids) ==
            2) {
            ++restored;
            EXPECT_EQ(after.size(), before.size() + new_folders);
            EXPECT_EQ(filed_ids(after), filed_ids(before) + new_ids);
        } else {
            ++refused;
            EXPECT_EQ(result, "error: that file is not an Corvane backup.");
            EXPECT_EQ(test_read_file(art_folders_path()), before_text);
        }
    }
    EXPECT_GT(restored, 20);
    EXPECT_GT(refused, 20);
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
