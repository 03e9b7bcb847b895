#include "chain/coin_snapshots.h"

#include "chain/outpoints.h"
#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

const std::string kTxid = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kReversed = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";
// Receive key m/44'/236'/1'/0/0 of the test mnemonic (tests/data/wallet-paths.json).
const std::string kReceive0 = kTestReceive0;
const std::string kReceive0Priv = "f55396199026d5ce4254e139f9eb4165f52f24eb634372fac7bdff8c075bba12";

struct CoinSnapshotsTest : ::testing::Test {
    TempDataDir dir;

    void SetUp() override {
        reset_wallet_state_for_tests();
        kv_wallet().wallet_id = "w1";
    }
    void TearDown() override { reset_wallet_state_for_tests(); }

    // Loads the published test wallet, so the change coins' addresses are its own.
    void load_test_wallet() {
        write_test_wallet_file("w1");
        ASSERT_TRUE(load_wallet());
    }
    // Drops the in-memory lists as a restart would, keeping the wallet.
    void forget_memory() {
        clear_spent_state();
        clear_change_coins();
    }
};

} // namespace

TEST_F(CoinSnapshotsTest, FileStem) {
    struct Row {
        std::string id;
        std::string identity;
        std::string address;
        std::string stem;
    } rows[] = {
        {"w 1#", "1Id", "1Addr", "w_1_"}, {std::string(100, 'a'), "", "", std::string(80, 'a')},
        {"", "1Id", "1Addr", "1Id"},      {"", "", kReceive0, kReceive0},
        {"\xC3\xA9", "", "", "__"},       {"", "", "", "wallet"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stem);
        kv_wallet().wallet_id = row.id;
        kv_wallet().identity_address = row.identity;
        kv_wallet().address = row.address;
        EXPECT_EQ(wallet_file_stem(), row.stem);
    }
    EXPECT_EQ(spent_file_path(), dir.data_dir + "/ord_snap/wallet_spent.json");

    // A stem that names no wallet keeps no file.
    spent_outpoints().insert(kTxid + ":0");
    change_coins().push_back({kTxid, 0, 10, 0, "", "", {}});
    save_spent_outpoints();
    save_change_coins();
    EXPECT_FALSE(platform_file_exists(spent_file_path()));
    EXPECT_FALSE(platform_file_exists(change_file_path()));
}

TEST_F(CoinSnapshotsTest, SpentSetSurvivesARestart) {
    mark_outpoint_spent(kTxid, 1);
    json saved = json::parse(test_read_file(spent_file_path()));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved["outpoints"].size(), 2u);
    EXPECT_EQ(saved["version"], 2);
    EXPECT_EQ(test_read_file(spent_file_path()).find(' '), std::string::npos);

    forget_memory();
    load_spent_outpoints();
    EXPECT_TRUE(is_outpoint_spent(kReversed, 1));

    // A file that names a coin both spent and given back at one count holds it spent.
    forget_memory();
    test_write_file(spent_file_path(),
                    R"({"version":2,"outpoints":["ab:1"],"given_back":[{"k":"ab:1","n":1,"at":0}]})");
    load_spent_outpoints();
    EXPECT_EQ(spent_outpoints(), (std::unordered_set<std::string>{"ab:1"}));

    // Stored entries go in as they are: no lower-casing, and non-texts or empty texts skipped.
    forget_memory();
    test_write_file(spent_file_path(), R"({"outpoints":[5,"","ABCD:0",null]})");
    load_spent_outpoints();
    EXPECT_EQ(spent_outpoints(), (std::unordered_set<std::string>{"ABCD:0"}));
    EXPECT_FALSE(is_outpoint_spent("abcd", 0));
    // A damaged file is kept aside whole, with its held payments, and the user is told.
    FakeClock clock;
    for (const std::string bad : {"", "{", "[]", R"({"outpoints":"x"})", R"({"outpoints":[],"held":{}})",
                                  R"({"version":2,"outpoInts":["ABCD:0"]})", R"({"outpoints":[],"all_held":1})"}) {
        SCOPED_TRACE(bad);
        SinkCapture sink;
        test_write_file(spent_file_path(), bad);
        load_spent_outpoints();
        EXPECT_EQ(spent_outpoints().size(), 1u);
        EXPECT_EQ(test_read_file(spent_file_path() + ".damaged-" + std::to_string(clock.system_ms)), bad);
        ASSERT_EQ(sink.events.size(), 1u);
        EXPECT_NE(sink.events[0].find("error: the list of spent coins was damaged"), std::string::npos);
        EXPECT_EQ(take_spent_file_notice(), sink.events[0].substr(sink.events[0].find("error:")));
        EXPECT_EQ(take_spent_file_notice(), "");
        save_spent_outpoints();
        EXPECT_EQ(json::parse(test_read_file(spent_file_path()))["outpoints"], json::array({"ABCD:0"}));
        // It may have named any coin: every coin is held, in this process and after a restart.
        forget_memory();
        load_spent_outpoints();
        EXPECT_NE(spent_file_hold_text(), "");
    }
    end_spent_file_hold();
    save_spent_outpoints();
    load_spent_outpoints();
    EXPECT_EQ(spent_file_hold_text(), "");
}

TEST_F(CoinSnapshotsTest, ChangeCoinsSurviveARestart) {
    load_test_wallet();
    const Hash160 h = test_hash_of(kReceive0);
    change_coins().push_back({kTxid, 1, 5000, 0, kReceive0Priv, "", h});
    change_coins().push_back({kTxid.substr(1), 2, 5000, 0, "", "", h}); // bad txid: memory only
    change_coins().push_back({kTxid, 3, 0, 0, "", "", h});              // no value
    save_change_coins();
    EXPECT_EQ(test_read_file(change_file_path()),
              R"({"coins":[{"addr":")" + kReceive0 + R"(","sats":5000,"txid":")" + kTxid + R"(","vout":1}]})");
    EXPECT_EQ(change_coins().size(), 3u);

    forget_memory();
    load_change_coins();
    ASSERT_EQ(change_coins().size(), 1u);
    EXPECT_EQ(change_coins()[0].priv_hex, kReceive0Priv);
    EXPECT_EQ(change_coins()[0].hash160, h);
    EXPECT_EQ(change_coins()[0].vout, 1u);
    EXPECT_EQ(change_coins()[0].sats, 5000);
}

TEST_F(CoinSnapshotsTest, ChangeLoadSkipsAndStops) {
    load_test_wallet();
    mark_outpoint_spent(kTxid, 9);
    const auto entry = [](const std::string& txid, json vout, json sats, const std::string& addr) {
        return json{{"txid", txid}, {"vout", std::move(vout)}, {"sats", std::move(sats)}, {"addr", addr}};
    };
    const json coins = json::array({
        entry(kTxid, -1, 100, kReceive0),
        entry(kTxid, 4294967295u, 100, kReceive0),
        entry(kTxid, 1, 0, kReceive0),
        entry(kTxid.substr(1), 1, 100, kReceive0),
        entry(kTxid, 1, 100, "1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g5"),
        entry(kTxid, 1, 100, "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"), // another wallet's
        entry(kTxid, 9, 100, kReceive0),                            // spent
        "not an object",
        entry(kTxid, 1, 100, kReceive0),     // the one good coin
        entry(kReversed, 1, 100, kReceive0), // the same outpoint
        entry(kTxid, "2", 100, kReceive0),   // wrong type: stops here
        entry(kTxid, 3, 100, kReceive0),
    });
    test_write_file(change_file_path(), json{{"coins", coins}}.dump());
    load_change_coins();
    ASSERT_EQ(change_coins().size(), 1u);
    EXPECT_EQ(change_coins()[0].vout, 1u);
    EXPECT_EQ(change_coins()[0].txid, kTxid);
}

namespace {

// The outpoint key of coin `i` of a group: the group's letter, repeated, as its txid.
std::string group_key(char group, int i) {
    return outpoint_key(std::string(64, group), static_cast<std::uint32_t>(i));
}

constexpr int kGroupCoins = 120;
constexpr std::int64_t kMonthMs = 31LL * 24 * 60 * 60 * 1000;

} // namespace

// Runs only as the child of the two-process test: another process of this program on the same
// data folder, marking its own coins spent one payment at a time and giving back group 'a' (or, as
// "mark again", marking it spent again as a held payment's inputs are once it went out), its clock
// CORVANE_SPENT_CHILD_AHEAD ms ahead of the parent's.
TEST(SpentChild, DISABLED_MarkAndGiveBack) {
    const std::string role = platform_env("CORVANE_SPENT_CHILD");
    if (role.empty()) return;
    FakeClock clock;
    clock.advance(std::stoll(platform_env("CORVANE_SPENT_CHILD_AHEAD")));
    kv_wallet().wallet_id = "w1";
    load_spent_outpoints();
    for (int i = 0; i < kGroupCoins; ++i) {
        mark_outpoint_spent(std::string(64, 'c'), static_cast<std::uint32_t>(i));
        if (role == "mark again") mark_outpoint_spent(std::string(64, 'a'), static_cast<std::uint32_t>(i));
        if (role == "mark" || role == "mark again") continue;
        WalletLock lock = lock_wallet();
        load_spent_outpoints();
        unmark_spent_key(group_key('a', i));
        save_spent_outpoints();
    }
    if (role != "give back, then pay a month later") return;
    clock.advance(kMonthMs);
    mark_outpoint_spent(std::string(64, 'e'), 0);
}

// Two processes on one data folder, each marking coins spent while the other does: every mark
// either wrote stays, and a coin one of them gave back is not marked spent again by the other's
// older copy of the set, whichever process ends first and whatever either clock says; a coin
// paid with again after it came back stays spent.
TEST_F(CoinSnapshotsTest, TwoProcessesShareTheSpentSet) {
    constexpr std::int64_t kDayMs = 24LL * 60 * 60 * 1000;
    struct Row {
        const char* name;
        const char* role;
        std::int64_t child_ahead_ms = 0; // the other's clock against this one's
        std::int64_t later_ms = 0;       // this clock moves on after the other ended
        bool meanwhile = true;           // this one marks its coins while the other runs
        bool pays_with_a0 = false;       // then pays with a coin the other gave back
        bool gives_back = false;         // this one gives group 'a' back before the other starts, unsaved
    } rows[] = {
        {"both mark coins spent", "mark"},
        {"the other gives coins back", "give back"},
        {"the other's clock is a day ahead", "give back", kDayMs, 0, true, true},
        {"this clock is set back an hour", "give back", 0, -kDayMs / 24, true, true},
        {"this copy is older than a give-back's life", "give back, then pay a month later", 0, kMonthMs, false},
        // Both start from one count: the other's payment went out on the coins this one gave back.
        {"given back here, marked again there at the same count", "mark again", 0, 0, false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        platform_remove_file(spent_file_path());
        reset_wallet_state_for_tests();
        FakeClock clock;
        kv_wallet().wallet_id = "w1";
        for (int i = 0; i < kGroupCoins; ++i)
            spent_outpoints().insert(group_key('a', i));
        save_spent_outpoints();
        const auto mark_own_coins = [] {
            for (int i = 0; i < kGroupCoins; ++i)
                mark_outpoint_spent(std::string(64, 'b'), static_cast<std::uint32_t>(i));
        };
        if (!row.meanwhile) mark_own_coins();
        if (row.gives_back) {
            WalletLock lock = lock_wallet();
            for (int i = 0; i < kGroupCoins; ++i)
                unmark_spent_key(group_key('a', i));
        }

        SpawnRequest child;
        child.exe = spawn_self_path();
        child.args = {"--gtest_filter=SpentChild.DISABLED_MarkAndGiveBack", "--gtest_also_run_disabled_tests"};
        child.env = {{"CORVANE_SPENT_CHILD", row.role},
                     {"CORVANE_SPENT_CHILD_AHEAD", std::to_string(row.child_ahead_ms)}};
        child.output_path = dir.root + "/child.log";
        SpawnedProcess proc;
        ASSERT_TRUE(spawn_start(child, proc));
        if (row.meanwhile) mark_own_coins();
        ASSERT_EQ(spawn_wait(proc), 0) << test_read_file(child.output_path);
        clock.advance(row.later_ms);
        if (row.pays_with_a0) {
            load_spent_outpoints();
            ASSERT_FALSE(is_outpoint_spent(std::string(64, 'a'), 0));
            mark_outpoint_spent(std::string(64, 'a'), 0);
            EXPECT_TRUE(is_outpoint_spent(std::string(64, 'a'), 0)) << "a coin paid with again is spent at once";
        }
        // This process ends last, with the copy of the set it read before the other gave coins back.
        mark_outpoint_spent(std::string(64, 'd'), 0);

        forget_memory();
        load_spent_outpoints();
        int marked = 0, given_back_marked = 0;
        for (int i = 0; i < kGroupCoins; ++i) {
            marked += is_outpoint_spent(std::string(64, 'b'), i) + is_outpoint_spent(std::string(64, 'c'), i);
            given_back_marked += is_outpoint_spent(std::string(64, 'a'), i);
        }
        EXPECT_EQ(marked, 2 * kGroupCoins) << "no mark is lost";
        // At one count the mark stands: the coin stays out.
        const bool gives_back = std::string(row.role).rfind("mark", 0) != 0;
        EXPECT_EQ(given_back_marked, !gives_back ? kGroupCoins : row.pays_with_a0 ? 1 : 0);
        EXPECT_EQ(is_outpoint_spent(std::string(64, 'a'), 0), !gives_back || row.pays_with_a0) << "and after a restart";
        const json doc = json::parse(test_read_file(spent_file_path()));
        EXPECT_EQ(doc["outpoints"].size(), spent_outpoints().size()) << "sibling programs still read the list";
        for (const json& back : doc.value("given_back", json::array()))
            EXPECT_LE(back["at"].get<std::int64_t>(), clock.system_ms) << "no give-back is kept dated past now";
    }
}
