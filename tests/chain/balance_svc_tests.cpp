#include "chain/balance.h"

#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/coin_state.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "platform/fs.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

#include <unistd.h>

using nlohmann::json;

namespace {

const std::string kReceive0 = kTestReceive0;
const std::string kReceive1 = kTestReceive1;

struct BalanceTest : FakeChainTest {
    WalletLock lock = lock_wallet();

    BalanceTest() {
        clear_wallet_session();
        write_test_wallet_file("w1", 1, 0);
        EXPECT_TRUE(load_wallet_id("w1"));
    }
    ~BalanceTest() override { clear_wallet_session(); }
    std::string face_text() {
        std::string text;
        platform_read_file(history_face_path(), text);
        return text;
    }
};

} // namespace

TEST_F(BalanceTest, ShownFigureHoldsTheExpectedValueAroundAPayment) {
    EXPECT_EQ(history_face_path(), data_dir.data_dir + "/tx_hist/w1_face.json");
    struct Row {
        const char* name;
        std::int64_t previous; // shown before the payment; -1 none
        std::int64_t sent;
        std::int64_t fetched;
        std::int64_t shown;
        std::int64_t expected; // stored expected value afterwards
    } rows[] = {
        {"inside the band", 50000, 20000, 45000, 45000, 30000},
        {"above the band", 50000, 20000, 60000, 30000, 30000},
        {"below the band", 50000, 20000, 20000, 30000, 30000},
        {"payment above the shown figure", 50000, 70000, 5000, 5000, 0},
        {"no figure before", -1, 20000, 60000, 60000, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reset_displayed_balance();
        if (row.previous >= 0) shown_balance(row.previous, 0);
        EXPECT_EQ(shown_balance(row.fetched, row.sent), row.shown);
        EXPECT_EQ(displayed_balance().shown, row.shown);
        EXPECT_EQ(displayed_balance().expected, row.expected);
        EXPECT_EQ(face_text(), "{\"address\":\"" + kReceive0 + "\",\"sats\":" + std::to_string(row.shown) + "}");
    }

    reset_displayed_balance();
    shown_balance(50000, 0);
    shown_balance(30000, 20000);
    clock.advance(10000);
    EXPECT_EQ(shown_balance(1030001, 0), 30000) << "a late jump of more than 1,000,000 is held back";
    EXPECT_EQ(shown_balance(1030000, 0), 1030000);
    EXPECT_EQ(shown_balance(-1, 0), -1);
    EXPECT_EQ(displayed_balance().shown, 1030000) << "a missing figure changes nothing";
    EXPECT_EQ(load_history_face(kReceive0), 1030000);
    clock.advance(35000);
    EXPECT_EQ(shown_balance(1030001, 0), 1030001) << "45 s after the payment";
}

TEST_F(BalanceTest, FaceFileAnswersOnlyForItsOwnAddress) {
    save_history_face(-5);
    EXPECT_FALSE(platform_file_exists(history_face_path()));
    save_history_face(777);
    EXPECT_EQ(load_history_face(kReceive0), 777);
    EXPECT_EQ(load_history_face(kReceive1), -1) << "written for another address";
    EXPECT_EQ(load_history_face(""), -1);

    struct Row {
        const char* name;
        std::string text;
    } rows[] = {
        {"not json", "{\"address\":"},
        {"sats fractional", "{\"address\":\"" + kReceive0 + "\",\"sats\":5.5}"},
        {"address in other case", "{\"address\":\"" + to_lower_copy(kReceive0) + "\",\"sats\":5}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test_write_file(history_face_path(), row.text);
        EXPECT_EQ(load_history_face(kReceive0), -1);
    }

    platform_remove_file(history_face_path());
    EXPECT_EQ(cached_history_face(), -1);
    shown_balance(4242, 0);
    EXPECT_EQ(cached_history_face(), 4242);
    reset_displayed_balance();
    EXPECT_EQ(cached_history_face(), 4242) << "from the face file";
}

TEST_F(BalanceTest, SpendableBalanceCountsEachCoinOnceAndHoldsOrdinalsBack) {
    EXPECT_EQ(spendable_balance_sats(), -1) << "nothing known";
    const Hash160 main_hash = test_hash_of(kReceive0), other_hash = test_hash_of(kReceive1);
    const std::string a = hex_id('a'), b = hex_id('b'), c = "0f" + std::string(62, 'c');
    address_coins_store(kReceive0, {Utxo{a, 0, 5000, 10}, Utxo{b, 0, 800, 10}, Utxo{b, 1, 1, 10}, Utxo{c, 2, 3000, 0}},
                        true, false);
    spent_outpoints().insert(outpoint_key(b, 0));
    store_ord_outpoints(kReceive0, {}, false);
    auto change = [](const std::string& txid, std::uint32_t vout, std::int64_t sats, const Hash160& h) {
        ChangeCoin coin;
        coin.txid = txid;
        coin.vout = vout;
        coin.sats = sats;
        coin.hash160 = h;
        return coin;
    };
    change_coins() = {change(reverse_txid_hex(c), 2, 3000, main_hash), change(hex_id('d'), 0, 400, main_hash),
                      change(hex_id('e'), 0, 2500, other_hash), change(hex_id('f'), 0, 999, other_hash)};
    // 5000 + 3000 (cached, and again as change in the other byte order) + 400 + 2500; the spent
    // coin, the 1-sat coin and the small change of another address are left out.
    EXPECT_EQ(spendable_balance_sats(), 10900);
    EXPECT_EQ(held_balance_sats(), 0);
    // Coins held for a damaged spent file are no money to spend, but the wallet's all the same; a
    // step's held inputs are neither.
    unsettled_inputs() = {{"", 0, {outpoint_key(a, 0), outpoint_key(b, 1)}}, {hex_id('9'), 0, {outpoint_key(c, 2)}}};
    for (const UnsettledInputs& row : unsettled_inputs())
        spent_outpoints().insert(row.outpoints.begin(), row.outpoints.end());
    EXPECT_EQ(spendable_balance_sats(), 2900);
    EXPECT_EQ(held_balance_sats(), 5000);

    address_coins().clear();
    change_coins().clear();
    address_coins_store(kReceive0, {}, true, false);
    EXPECT_EQ(spendable_balance_sats(), 0) << "a loaded empty list is a known zero";
}

TEST(JsonSats, SatoshisBeforeValueInBsv) {
    struct Row {
        const char* name;
        json output;
        std::int64_t sats;
    } rows[] = {
        {"one satoshi in BSV", {{"value", 0.00000001}}, 1},
        {"satoshis wins", {{"satoshis", 5}, {"value", 1}}, 5},
        {"neither", {{"n", 0}}, 0},
        {"satoshis not a number", {{"satoshis", "5"}, {"value", 0.0000001}}, 10},
        {"huge", {{"value", 1e300}}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(json_sats(row.output), row.sats);
    }
}

TEST(AddressHistory, TakesNewIdsNewestFirstUpToTheLimit) {
    TempDataDir dir;
    FakeClock clock;
    FakeServer woc;
    std::vector<std::string> ids;
    for (char ch : {'1', '2', '3', '4', '5'})
        ids.push_back(hex_id(ch));
    woc.on("GET", std::string(kWocPrefix) + "/address/([^/]+)/(.*)", [&](const FakeRequest& req) {
        const std::string which = req.matches[2];
        if (which == "object") return json_reply({{"items", json::array()}});
        if (which == "missing") return json_reply({{"error", "not found"}}, 404);
        json list = json::array();
        for (const std::string& id : ids)
            list.push_back({{"tx_hash", id}, {"height", 1}});
        list.push_back({{"tx_hash", "short"}});
        list.push_back({{"txid", hex_id('6')}});
        list.push_back({{"tx_hash", 7}});
        if (which == "array") return json_reply(list);
        return json_reply({{"result", list}});
    });
    ServiceSettings settings;
    settings.woc_base = woc.base_url() + kWocPrefix;
    ScopedServiceSettings scoped(settings);

    HistoryContext ctx;
    ctx.limit = 3;
    ctx.address = kReceive0;
    woc_address_history(ctx, "/object");
    woc_address_history(ctx, "/missing");
    EXPECT_TRUE(ctx.out.empty());
    woc_address_history(ctx, "/result");
    EXPECT_EQ(ctx.out, (std::vector<std::string>{hex_id('6'), ids[4], ids[3]}));
    ctx.limit = 10;
    woc_address_history(ctx, "/array");
    EXPECT_EQ(ctx.out, (std::vector<std::string>{hex_id('6'), ids[4], ids[3], ids[2], ids[1], ids[0]}))
        << "ids seen before are not taken twice";

    ctx.address = "1a/../../tx";
    woc.reset_counts();
    woc_address_history(ctx, "/array");
    EXPECT_EQ(woc.request_count(), 0) << "an address that would change the path is not sent";
}

// A history listed newest first (as some of the service's listings are) gives the same newest ids
// as one listed oldest first: the scan orders by block height, not by the listing's order.
TEST(AddressHistory, NewestIdsWhicheverOrderTheServiceLists) {
    TempDataDir dir;
    FakeClock clock;
    FakeServer woc;
    json oldest_first = json::array();
    for (int height = 1; height <= 30; ++height)
        oldest_first.push_back(
            {{"tx_hash", hex_id(static_cast<char>('a' + height % 6)).substr(0, 60) + std::to_string(1000 + height)},
             {"height", height}});
    json newest_first = json::array();
    for (auto it = oldest_first.rbegin(); it != oldest_first.rend(); ++it)
        newest_first.push_back(*it);
    woc.on("GET", std::string(kWocPrefix) + "/address/([^/]+)/(old|new)/history", [&](const FakeRequest& req) {
        return json_reply({{"result", req.matches[2] == "old" ? oldest_first : newest_first}});
    });
    ServiceSettings settings;
    settings.woc_base = woc.base_url() + kWocPrefix;
    ScopedServiceSettings scoped(settings);

    std::vector<std::string> newest;
    for (int height = 30; height > 6; --height)
        newest.push_back(oldest_first[height - 1]["tx_hash"].get<std::string>());
    for (const char* order : {"/old/history", "/new/history"}) {
        SCOPED_TRACE(order);
        HistoryContext ctx;
        ctx.limit = 24;
        ctx.address = kReceive0;
        woc_address_history(ctx, order);
        EXPECT_EQ(ctx.out, newest);
    }
}

TEST_F(BalanceTest, PaymentSendsTheBalanceLineToTheStatusSink) {
    if (isatty(fileno(stdout))) GTEST_SKIP() << "the line is sent only when standard output is not a terminal";
    std::vector<std::string> events;
    set_status_sink([&](const std::string& text) { events.push_back(text); });
    address_coins_store(kReceive0, {Utxo{hex_id('a'), 0, 50000, 10}}, true, false);
    shown_balance(spendable_balance_sats(), 0);
    address_coins().clear();
    address_coins_store(kReceive0, {Utxo{hex_id('b'), 0, 70000, 10}}, true, false);
    note_balance_after_send(20000);
    set_status_sink(nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"[KV-BALANCE]\x1f"
                                                "30000\x1f"
                                                "w1"}));
}

// Runs only as the child of the restart test: a fresh process on the same data folder.
TEST(BalanceRestartChild, DISABLED_Report) {
    const std::string report = platform_env("CORVANE_BALANCE_REPORT");
    if (report.empty()) return;
    FakeClock clock; // the restart comes moments after the payment, not at today's date
    ServiceSettings settings;
    settings.woc_base = platform_env("CORVANE_BALANCE_WOC");
    settings.gorillapool_base = settings.woc_base + "/no-gorillapool";
    set_service_settings(settings);
    const std::string spent_txid = platform_env("CORVANE_BALANCE_SPENT");

    json doc;
    doc["face_before_load"] = cached_history_face();
    doc["loaded"] = load_wallet_id("w1");
    WalletLock lock = lock_wallet();
    load_change_coins();
    doc["spent"] = is_outpoint_spent(spent_txid, 0);
    doc["change"] = change_coins().size() == 1 ? change_coins()[0].sats : -1;
    doc["spendable_before_refresh"] = spendable_balance_sats();
    doc["face"] = cached_history_face();
    std::string error;
    doc["refreshed"] = refresh_wallet_coins(lock, error);
    bool listed = false;
    for (const AddressCoins& e : address_coins())
        for (const Utxo& u : e.utxos)
            listed = listed || u.txid == spent_txid;
    doc["spent_coin_in_cache"] = listed;
    ASSERT_TRUE(platform_write_file(report, doc.dump(), false));
}

TEST_F(BalanceTest, SpentSetChangeCoinsAndFaceSurviveARestart) {
    const std::string funded = chain.ledger.fund(kReceive0, 10000);
    std::string error;
    ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
    EXPECT_EQ(shown_balance(spendable_balance_sats(), 0), 10000);

    // A payment the services have not listed yet: 3000 out, 6900 change back, 100 fee.
    Hash160 main_hash = test_hash_of(kReceive0), foreign_hash{};
    foreign_hash.fill(0x42);
    TxInput in;
    in.txid = funded;
    in.sats = 10000;
    in.hash160 = main_hash;
    const std::vector<TxOutput> outputs = {{3000, p2pkh_script(foreign_hash)}, {6900, p2pkh_script(main_hash)}};
    record_sent_tx({in}, outputs, hex_id('9'), &main_hash);
    EXPECT_EQ(shown_balance(spendable_balance_sats(), 3100), 6900);

    SpawnRequest child;
    child.exe = spawn_self_path();
    child.args = {"--gtest_filter=BalanceRestartChild.DISABLED_Report", "--gtest_also_run_disabled_tests"};
    const std::string report = data_dir.root + "/report.json";
    child.env = {{"CORVANE_BALANCE_REPORT", report},
                 {"CORVANE_BALANCE_WOC", chain.woc.base_url() + kWocPrefix},
                 {"CORVANE_BALANCE_SPENT", funded}};
    child.output_path = data_dir.root + "/child.log";
    ASSERT_EQ(spawn_run(child), 0) << test_read_file(child.output_path);
    const json doc = json::parse(test_read_file(report), nullptr, false);
    ASSERT_TRUE(doc.is_object()) << test_read_file(child.output_path);
    EXPECT_EQ(doc["face_before_load"], -1) << "no wallet chosen yet";
    EXPECT_EQ(doc["loaded"], true);
    EXPECT_EQ(doc["spent"], true);
    EXPECT_EQ(doc["change"], 6900);
    EXPECT_EQ(doc["spendable_before_refresh"], 6900);
    EXPECT_EQ(doc["face"], 6900);
    EXPECT_EQ(doc["refreshed"], true);
    EXPECT_EQ(doc["spent_coin_in_cache"], false) << "still listed by the service, but spent";
}

// The combined history names nothing its two halves did not: it is asked only when one of them
// could not be read, and the ids come out the same either way.
TEST(AddressHistory, CombinedListingOnlyWhenAHalfFailed) {
    TempDataDir data_dir;
    FakeChain chain;
    ScopedServiceSettings scoped(settings_for(chain));
    const std::string address = kReceive0;
    const std::string mined = chain.ledger.fund(address, 700);
    const std::string pending = chain.ledger.fund(address, 800, false);
    const std::string prefix = std::string(kWocPrefix) + "/address/" + address;
    struct Row {
        const char* name;
        const char* failing; // suffix answered with 500, or ""
        int combined_requests;
    } rows[] = {
        {"both halves read", "", 0},
        {"unconfirmed half failed", "/unconfirmed/history", 1},
        {"confirmed half failed", "/confirmed/history", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        chain.woc.clear_faults();
        chain.woc.reset_counts();
        if (*row.failing) chain.woc.set_fault(prefix + row.failing, FakeFault{500});
        HistoryContext history;
        history.limit = 10;
        history.address = address;
        for (const char* suffix : {"/unconfirmed/history", "/confirmed/history", "/history"})
            woc_address_history(history, suffix);
        EXPECT_EQ(chain.woc.request_count(prefix + "/history"), row.combined_requests);
        EXPECT_EQ(std::set<std::string>(history.out.begin(), history.out.end()),
                  (std::set<std::string>{mined, pending}));
    }
}

// The bulk history is trusted only for an address whose two halves it lists whole.
TEST(BulkHistory, RepliesAnswerOnlyWholeHalves) {
    TempDataDir dir;
    FakeClock clock;
    FakeServer woc;
    json body;
    woc.on("POST", std::string(kWocPrefix) + "/addresses/history/all",
           [&](const FakeRequest&) { return json_reply(body); });
    ServiceSettings settings;
    settings.woc_base = woc.base_url() + kWocPrefix;
    ScopedServiceSettings scoped(settings);

    auto half = [](const json& rows, const std::string& error = "") {
        return json{{"result", rows}, {"error", error}};
    };
    const json one = json::array({{{"tx_hash", hex_id('1')}, {"height", 0}}});
    const json two = json::array({{{"tx_hash", hex_id('2')}, {"height", 5}}, {{"tx_hash", "short"}}, {{"tx_hash", 7}}});
    json full = json::array();
    for (int i = 0; i < 1000; ++i)
        full.push_back({{"tx_hash", hex_id('3')}, {"height", 1}});
    const json b_entry = {{"address", kReceive1}, {"unconfirmed", half(json::array())}, {"confirmed", half(one)}};
    json paged = half(two);
    paged["nextPageToken"] = "00ff";

    struct Case {
        const char* name;
        json reply;
        bool ok;
        bool a_answered;
        bool b_answered;
    };
    const Case cases[] = {
        {"both whole",
         json::array({{{"address", kReceive0}, {"unconfirmed", half(one)}, {"confirmed", half(two)}}, b_entry}), true,
         true, true},
        {"a half with an error",
         json::array({{{"address", kReceive0}, {"unconfirmed", half(one)}, {"confirmed", half(two, "busy")}}, b_entry}),
         true, false, true},
        {"a half with a page token",
         json::array({{{"address", kReceive0}, {"unconfirmed", half(one)}, {"confirmed", paged}}, b_entry}), true,
         false, true},
        {"a half missing", json::array({{{"address", kReceive0}, {"confirmed", half(two)}}, b_entry}), true, false,
         true},
        {"a result that is no list",
         json::array({{{"address", kReceive0}, {"unconfirmed", {{"result", "x"}}}, {"confirmed", half(two)}}, b_entry}),
         true, false, true},
        {"an address not asked",
         json::array({{{"address", "1Other"}, {"unconfirmed", half(one)}, {"confirmed", half(two)}}}), true, false,
         false},
        {"a half as long as the cap",
         json::array({{{"address", kReceive0}, {"unconfirmed", half(one)}, {"confirmed", half(full)}}, b_entry}), false,
         true, true},
        {"no list", json{{"result", json::array()}}, false, false, false},
        {"elements of the wrong type", json::array({1, "x", nullptr}), true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        body = c.reply;
        std::vector<BulkHistory> out;
        EXPECT_EQ(woc_bulk_history({kReceive0, kReceive1}, out), c.ok);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].answered, c.a_answered);
        EXPECT_EQ(out[1].answered, c.b_answered);
        if (std::string(c.name) == "both whole") {
            EXPECT_EQ(out[0].unconfirmed, std::vector<std::string>{hex_id('1')});
            EXPECT_EQ(out[0].confirmed, std::vector<std::string>{hex_id('2')});
            EXPECT_TRUE(out[1].unconfirmed.empty());
        }
    }

    woc.reset_counts();
    std::vector<std::string> many(21, kReceive0);
    std::vector<BulkHistory> out;
    EXPECT_FALSE(woc_bulk_history(many, out));
    EXPECT_EQ(woc.request_count(), 0) << "more addresses than the service takes are not sent";
}
