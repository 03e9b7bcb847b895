#include "wallet/session.h"

#include "chain/balance.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_snapshots.h"
#include "chain/coin_state.h"
#include "chain/outpoints.h"
#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/codecs.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

using nlohmann::json;

namespace {

// m/44'/236'/100'/0/0 and m/44'/236'/102'/0/0 of the test mnemonic (wallet-paths.json).
const std::string kReceive0 = kTestReceive0;
const char* kIdentityPub = "02ded4e1e697bc768d79dd3f5c95cd56f332fdcf483c2a36933ba6c81d29bcf8b4";
const char* kBnPub = "029f598f75b22c752ad76ffef61df815e33ad708979cfb78df367ab01f10d8a946";
const char* kBnPriv = "26730c0524560bf2b4d4e37c6edfb4b485fda753d6b6ab9b2697a027a0ae7dd0";
const char* kBnAddress = "1ABrFiXQwh562nmCK4rfBdQEJj9DQbgw9x";
const std::string kSep(1, '\x1f');

json hd_doc() {
    return json{{"version", 2}, {"mnemonic", kTestMnemonic}, {"backup", false},    {"recv", {0, 2, 0, 0, 0, 0}},
                {"show", 0},    {"address", kReceive0},      {"paymail", "alice"}, {"ord_avatar", "avatar_0"}};
}

struct SessionTest : testing::Test, SinkCapture {
    TempDataDir dir;
    FakeClock clock;

    SessionTest() {
        reset_wallet_state_for_tests();
        clear_wallet_session();
    }
    ~SessionTest() override {
        set_wallet_binding(WalletBinding{});
        reset_wallet_state_for_tests();
        clear_wallet_session();
    }

    void write_wallet(const std::string& id, const json& doc) {
        test_write_file(wallet_file_path_for_id(id), doc.dump(2));
    }
    void select(const std::string& id) {
        WalletLock lock = lock_wallet();
        kv_wallet().wallet_id = id;
        note_wallet_state_changed();
    }
    void load_hd(const json& doc = hd_doc()) {
        write_wallet("w1", doc);
        select("w1");
        ASSERT_TRUE(is_cofferly_connected());
    }
};

} // namespace

TEST(StatusEvents, ByteExactTexts) {
    struct Row {
        const char* name;
        std::string text;
        std::string expected;
    } rows[] = {
        {"status without fields", build_status_event(kCofferlyTag, "status"), "[KV-COFFERLY]" + kSep + "status"},
        {"empty field kept before a later one", build_status_event(kCofferlyTag, "status", "1Addr", "", "hd"),
         "[KV-COFFERLY]" + kSep + "status" + kSep + "1Addr" + kSep + kSep + "hd"},
        {"trailing empties dropped", build_status_event(kCofferlyTag, "status", "1Addr", "-", ""),
         "[KV-COFFERLY]" + kSep + "status" + kSep + "1Addr" + kSep + "-"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.text, row.expected);
    }
}

TEST(StatusEvents, SinksRunOutsideTheirLockAndEmptySlotsDrop) {
    set_status_sink(nullptr);
    set_log_sink(nullptr);
    emit_status_event(kCofferlyTag, "status");
    emit_log_line("dropped\n");
    EXPECT_EQ(emit_cofferly_error(""), "");

    std::vector<std::string> seen;
    // A sink that sends a further line would deadlock if the slot's mutex were held during the call.
    set_status_sink([&](const std::string& text) {
        seen.push_back(text);
        emit_log_line("after " + text);
    });
    set_log_sink([&](const std::string& text) { seen.push_back(text); });
    EXPECT_EQ(emit_cofferly_error("boom"), "boom");
    emit_cofferly_error("");
    set_status_sink(nullptr);
    set_log_sink(nullptr);

    const std::string boom = "[KV-COFFERLY]" + kSep + "error" + kSep + "boom";
    const std::string empty = "[KV-COFFERLY]" + kSep + "error";
    EXPECT_EQ(seen, (std::vector<std::string>{boom, "after " + boom, empty, "after " + empty}));
}

TEST_F(SessionTest, OnlyAnHdWalletThatLoadsCountsAsConnected) {
    const std::string legacy_priv = to_hex(Bytes(32, 0x11));
    std::string legacy_pub;
    ASSERT_TRUE(priv_hex_to_pub_hex(legacy_priv, legacy_pub));
    struct Row {
        const char* name;
        std::string file; // empty: no file
        std::string id;
        bool connected;
        std::string identity;
        std::string sign_error;
    } rows[] = {
        {"hd wallet", hd_doc().dump(), "w1", true, kIdentityPub, ""},
        {"legacy wallet", json{{"priv", legacy_priv}}.dump(), "w1", false, legacy_pub,
         "Cofferly HD wallet not connected"},
        {"lock record", json{{"lock", "KV-LOCK1"}, {"ct", "00"}}.dump(), "w1", false, "",
         "Cofferly HD wallet not connected"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            WalletLock lock = lock_wallet();
            clear_wallet_session();
        }
        platform_remove_file(wallet_file_path_for_id("w1"));
        if (!row.file.empty()) test_write_file(wallet_file_path_for_id("w1"), row.file);
        select(row.id);
        EXPECT_EQ(is_cofferly_connected(), row.connected);
        EXPECT_EQ(current_identity_pubkey(), row.identity);
        std::string pub = "x", sig = "x", error;
        EXPECT_EQ(sign_with_identity("hello", pub, sig, error), row.sign_error.empty());
        EXPECT_EQ(error, row.sign_error);
        std::string bn_pub, bn_priv, bn_address;
        EXPECT_EQ(derive_bn_key(bn_pub, bn_priv, bn_address, error), row.connected);
        EXPECT_EQ(bn_pub, row.connected ? kBnPub : "");
        EXPECT_EQ(bn_address, row.connected ? kBnAddress : "");
    }
}

TEST_F(SessionTest, AddressInfoFromStateOrStraightFromTheFile) {
    struct Row {
        const char* name;
        json file;
        bool seal;
        bool ok;
        std::string address, paymail;
        bool hd;
    } rows[] = {
        {"hd file", hd_doc(), false, true, kReceive0, "alice@kestrava.net", true},
        {"sealed side file", hd_doc(), true, false, "", "", false},
        {"lock record", json{{"lock", "KV-LOCK1"}}, false, false, "", "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        write_wallet("w1", row.file);
        const std::string seal = wallet_file_path_for_id("w1") + ".seal";
        if (row.seal) test_write_file(seal, "{}");
        select("w1");
        std::string address = "x", paymail = "x";
        bool hd = true;
        EXPECT_EQ(wallet_address_info(address, paymail, hd), row.ok);
        EXPECT_EQ(address, row.address);
        EXPECT_EQ(paymail, row.paymail);
        EXPECT_EQ(hd, row.hd);
        EXPECT_TRUE(kv_wallet().priv.empty()) << "read without loading";
        platform_remove_file(seal);
    }

    std::string address, paymail;
    bool hd = false;
    load_hd();
    ASSERT_TRUE(wallet_address_info(address, paymail, hd));
    EXPECT_EQ(address, kReceive0);
    EXPECT_EQ(paymail, "alice@kestrava.net");
    EXPECT_TRUE(hd);
}

TEST_F(SessionTest, SyncRaisesCountersAndTakesAvatarAndAlias) {
    load_hd();
    json doc = hd_doc();
    // Lower, negative, fractional and text counters never lower or wrap the loaded ones.
    doc["recv"] = json::array({3, 1, -1, 2.5, "7", 9, 12});
    doc.erase("ord_avatar");
    doc.erase("paymail");
    write_wallet("w1", doc);
    {
        WalletLock lock = lock_wallet();
        sync_wallet_from_file();
        const KvCofferlyWallet& w = kv_wallet();
        EXPECT_EQ(w.recv, (std::array<std::uint32_t, 6>{3, 2, 0, 0, 0, 9}));
        EXPECT_EQ(w.ord_avatar, "");
        EXPECT_EQ(w.paymail, "alice") << "a missing alias keeps the loaded one";
    }

    doc["recv"] = json::array({0, 40});
    doc["paymail"] = "carol";
    doc["ord_avatar"] = 7;
    write_wallet("w1", doc);
    {
        WalletLock lock = lock_wallet();
        sync_wallet_from_file();
        EXPECT_EQ(kv_wallet().recv[1], 40u);
        EXPECT_EQ(kv_wallet().paymail, "carol");
        EXPECT_EQ(kv_wallet().address, kReceive0) << "the shown receive key stays";
    }

    test_write_file(wallet_file_path_for_id("w1"), "{\"lock\":\"KV-LOCK1\",\"paymail\":\"eve\"}");
    WalletLock lock = lock_wallet();
    sync_wallet_from_file();
    EXPECT_EQ(kv_wallet().paymail, "carol") << "a sealed file changes nothing";
}

TEST_F(SessionTest, DisconnectWipesTheSessionAndDropsTheBind) {
    set_wallet_binding(WalletBinding{"Corvane", dir.root, true});
    write_wallet("w1", hd_doc());
    write_bind("w1");
    ASSERT_TRUE(is_cofferly_connected());
    const std::string txid(64, 'a');
    {
        WalletLock lock = lock_wallet();
        spent_outpoints().insert(outpoint_key(txid, 0));
        ChangeCoin coin;
        coin.txid = txid;
        coin.vout = 1;
        coin.sats = 500;
        coin.priv_hex = kBnPriv;
        change_coins().push_back(coin);
        address_coins().push_back(AddressCoins{kReceive0, {Utxo{txid, 2, 700, 1}}, 1, true});
        last_sent_txid() = txid;
        receive_scan_mark() = 77;
        shown_balance(1234, 0);
    }
    events.clear();

    EXPECT_EQ(disconnect_cofferly(), "success");
    EXPECT_FALSE(platform_file_exists(bind_file_path()));
    EXPECT_FALSE(is_cofferly_connected());
    WalletLock lock = lock_wallet();
    const KvCofferlyWallet& w = kv_wallet();
    EXPECT_TRUE(w.wallet_id.empty() && w.mnemonic.empty() && w.priv.empty() && w.identity_pub.empty());
    EXPECT_EQ(w.secrets.master_key, (std::array<std::uint8_t, 32>{}));
    EXPECT_TRUE(spent_outpoints().empty() && change_coins().empty() && address_coins().empty());
    EXPECT_TRUE(last_sent_txid().empty());
    EXPECT_EQ(receive_scan_mark(), 0u);
    EXPECT_EQ(displayed_balance().shown, -1);
    EXPECT_EQ(events, (std::vector<std::string>{"[KV-COFFERLY]" + kSep + "status"}));
    EXPECT_EQ(lines, (std::vector<std::string>{"This app is no longer connected to a Cofferly wallet.\n"}));
    EXPECT_TRUE(platform_file_exists(wallet_file_path_for_id("w1"))) << "the wallet file is not touched";
}

// The window thread asks these while a payment holds the wallet mutex for its whole run.
TEST_F(SessionTest, ConnectionAndBalanceAnswerWhileAnotherThreadHoldsTheWallet) {
    load_hd();
    {
        WalletLock lock = lock_wallet();
        shown_balance(54321, 0);
    }
    std::mutex m;
    std::condition_variable cv;
    bool held = false, release = false;
    std::thread holder([&] {
        WalletLock lock = lock_wallet();
        std::unique_lock<std::mutex> wait(m);
        held = true;
        cv.notify_all();
        cv.wait(wait, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> wait(m);
        cv.wait(wait, [&] { return held; });
    }
    const auto let_go = [&] {
        {
            std::lock_guard<std::mutex> wait(m);
            release = true;
        }
        cv.notify_all();
    };
    // Each answers while the holder still holds the mutex; one that waited for it would answer
    // only once the holder lets go, which it does after a generous time-out so that the test ends.
    const auto timed = [&](auto call) {
        auto answer = std::async(std::launch::async, call);
        if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "waited for the wallet mutex";
            let_go();
        }
        return answer.get();
    };
    EXPECT_TRUE(timed([] { return is_cofferly_connected(); }));
    EXPECT_EQ(timed([] { return cached_history_face(); }), 54321);
    // With no figure in memory the face file of the wallet answers.
    reset_displayed_balance();
    EXPECT_EQ(timed([] { return cached_history_face(); }), 54321);
    let_go();
    holder.join();

    EXPECT_EQ(cached_history_face(), 54321);
    {
        WalletLock lock = lock_wallet();
        clear_wallet_session();
    }
    EXPECT_FALSE(wallet_view().loaded) << "the view follows a clear";
}
