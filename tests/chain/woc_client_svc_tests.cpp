#include "chain/woc_client.h"

#include "chain/balance.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "chain/tx_store.h"
#include "fakes/chain_fixture.h"
#include "support/eventually.h"
#include "wallet/http_client.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>

using nlohmann::json;

namespace {

std::string random_txid() {
    Bytes b(32);
    random_bytes(b.data(), b.size());
    return to_hex(b);
}

struct WocClientTest : FakeChainTest {
    WalletLock lock = lock_wallet();
    TestKey alice = test_key_from_byte(0x11);
    TestKey bob = test_key_from_byte(0x22);

    int woc_requests(const std::string& path) { return chain.woc.request_count(std::string(kWocPrefix) + path); }

    // A second service whose WhatsOnChain answers come from the test itself.
    FakeServer scripted;
    void script_woc(FakeHandler handler) {
        scripted.on("GET", ".*", handler);
        scripted.on("POST", ".*", handler);
        ServiceSettings s = settings_for(chain);
        s.woc_base = scripted.base_url() + kWocPrefix;
        set_service_settings(s);
    }

    void load_hd_wallet() { use_test_hd_wallet("", {0, 2, 0, 0, 0, 0}); }
};

FakeResponse body_of(const std::string& body, int status = 200) {
    FakeResponse r;
    r.status = status;
    r.body = body;
    return r;
}

} // namespace

TEST(WocParse, UtxoListShapesAndElements) {
    const std::string t = std::string(64, 'a');
    struct Row {
        const char* name;
        std::string reply;
        bool ok;
        std::size_t count;
    } rows[] = {
        {"bare array", "[{\"tx_hash\":\"" + t + "\",\"tx_pos\":2,\"value\":500,\"height\":7}]", true, 1},
        {"result object", "{\"result\":[{\"txid\":\"" + t + "\",\"vout\":1,\"value\":9}]}", true, 1},
        {"spent in mempool", "[{\"tx_hash\":\"" + t + "\",\"value\":5,\"isSpentInMempoolTx\":true}]", true, 0},
        {"flag not boolean", "[{\"tx_hash\":\"" + t + "\",\"value\":5,\"isSpentInMempoolTx\":\"true\"}]", true, 1},
        {"zero value", "[{\"tx_hash\":\"" + t + "\",\"value\":0}]", true, 0},
        {"float value", "[{\"tx_hash\":\"" + t + "\",\"value\":0.5}]", true, 0},
        {"negative value", "[{\"tx_hash\":\"" + t + "\",\"value\":-5}]", true, 0},
        {"short txid", "[{\"tx_hash\":\"" + t.substr(1) + "\",\"value\":5}]", true, 0},
        {"element not object", "[1,\"x\",null]", true, 0},
        {"no result", "{\"utxos\":[]}", false, 0},
        {"result not array", "{\"result\":{}}", false, 0},
        {"string", "\"[]\"", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Utxo> list;
        EXPECT_EQ(parse_utxo_list(json::parse(row.reply), list), row.ok);
        EXPECT_EQ(list.size(), row.count);
    }

    std::vector<Utxo> list;
    ASSERT_TRUE(parse_utxo_list(json::parse("[{\"tx_hash\":\"" + t + "\",\"tx_pos\":3,\"value\":42}]"), list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].vout, 3u);
    EXPECT_EQ(list[0].sats, 42);
    EXPECT_EQ(list[0].height, -1);
}

TEST_F(WocClientTest, MergedListingIsSortedUniqueAndCleanOfMempoolSpends) {
    std::string big = chain.ledger.fund(alice.address, 9000);
    std::string small = chain.ledger.fund(alice.address, 2000);
    chain.ledger.fund(alice.address, 5000);
    chain.ledger.fund(alice.address, 3000, false);
    std::string reason;
    ASSERT_TRUE(
        chain.ledger.accept(test_spend({{small, 0, 2000}}, alice, {pay_to(bob, 1500), pay_to(alice, 400)}), reason))
        << reason;

    std::vector<Utxo> list;
    std::string error;
    bool any_ok = false;
    ASSERT_TRUE(list_address_utxos(alice.address, list, error, &any_ok));
    EXPECT_TRUE(any_ok);
    std::vector<std::int64_t> sats;
    for (const Utxo& u : list)
        sats.push_back(u.sats);
    // The spent 2000 still shows in the older listing; the mempool history removes it.
    EXPECT_EQ(sats, (std::vector<std::int64_t>{9000, 5000, 3000, 400}));
    EXPECT_EQ(list[0].txid, big);
    EXPECT_EQ(list[0].height, chain.ledger.tip() - 2);
    EXPECT_EQ(list[3].height, 0);

    // A transaction's inputs never change: the next listing reads them from what it kept.
    const std::string tx_prefix = std::string(kWocPrefix) + "/tx/";
    const int tx_reads = chain.woc.request_count("GET", tx_prefix);
    EXPECT_GE(tx_reads, 1);
    ASSERT_TRUE(list_address_utxos(alice.address, list, error, &any_ok));
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(chain.woc.request_count("GET", tx_prefix), tx_reads);
}

TEST_F(WocClientTest, ListingFailuresAndPartialAnswers) {
    std::vector<Utxo> list;
    std::string error;
    bool any_ok = true;

    // An address without outputs: a success that asks for no mempool history.
    ASSERT_TRUE(list_address_utxos(alice.address, list, error, &any_ok));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(woc_requests("/address/" + alice.address + "/unconfirmed/history"), 0);

    // Only the unconfirmed listing answers: still a success, but not a full one.
    chain.ledger.fund(alice.address, 700, false);
    chain.woc.set_fault(std::string(kWocPrefix) + "/address/" + alice.address + "/unspent", FakeFault{500});
    ASSERT_TRUE(list_address_utxos(alice.address, list, error, &any_ok));
    EXPECT_FALSE(any_ok);
    ASSERT_EQ(list.size(), 1u);

    chain.woc.clear_faults();
    chain.woc.set_fault(std::string(kWocPrefix) + "/address/", FakeFault{503});
    EXPECT_FALSE(list_address_utxos(alice.address, list, error, &any_ok));
    EXPECT_EQ(error.rfind("HTTP 503", 0), 0u) << error;
    EXPECT_TRUE(list.empty());
}

TEST_F(WocClientTest, PagedListingFollowsEncodedTokens) {
    chain.woc_page_size = 2;
    for (int i = 1; i <= 5; ++i)
        chain.ledger.fund(alice.address, 100 * i);
    std::vector<Utxo> list;
    std::string error;
    // The fake's tokens hold "/", "+" and "="; one sent unencoded is refused.
    ASSERT_TRUE(woc_unspent_all(alice.address, list, error)) << error;
    EXPECT_EQ(list.size(), 5u);
    EXPECT_EQ(woc_requests("/address/" + alice.address + "/unspent/all"), 3);
}

TEST_F(WocClientTest, PagedListingEdges) {
    const std::string t = random_txid();
    const std::string page = "{\"result\":[{\"tx_hash\":\"" + t + "\",\"tx_pos\":0,\"value\":10}],\"nextPageToken\":";
    struct Row {
        const char* name;
        std::function<FakeResponse(const std::string& token)> answer;
        bool ok;
        std::size_t count;
        int requests;
        std::string error;
    } rows[] = {
        {"second page fails",
         [&](const std::string& tok) { return tok.empty() ? body_of(page + "\"n\"}") : body_of("", 500); }, true, 1, 2,
         "HTTP 500"},
        {"second page not a list",
         [&](const std::string& tok) { return tok.empty() ? body_of(page + "\"n\"}") : body_of("{\"x\":1}"); }, true, 1,
         2, ""},
        {"token repeats", [&](const std::string&) { return body_of(page + "\"same\"}"); }, true, 2, 2, ""},
        {"token never ends", [&](const std::string& tok) { return body_of(page + "\"" + tok + "x\"}"); }, true, 40, 40,
         ""},
        {"first page not JSON", [&](const std::string&) { return body_of("<html>"); }, false, 0, 1, "bad utxo list"},
        {"first page wrong shape", [&](const std::string&) { return body_of("{}"); }, false, 0, 1, "bad utxo list"},
        {"first page fails", [&](const std::string&) { return body_of("{\"error\":\"down\"}", 502); }, false, 0, 1,
         "HTTP 502"},
    };
    const Row* current = &rows[0];
    std::mutex m;
    script_woc([&](const FakeRequest& req) {
        std::lock_guard<std::mutex> guard(m);
        auto it = req.query.find("token");
        return current->answer(it == req.query.end() ? std::string() : it->second);
    });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            std::lock_guard<std::mutex> guard(m);
            current = &row;
        }
        scripted.reset_counts();
        std::vector<Utxo> list;
        std::string error;
        EXPECT_EQ(woc_unspent_all(alice.address, list, error), row.ok);
        EXPECT_EQ(list.size(), row.count);
        EXPECT_EQ(scripted.request_count(), row.requests);
        EXPECT_EQ(error.substr(0, row.error.size()), row.error);
    }
}

TEST_F(WocClientTest, TransactionStatusFollowsTheServiceAndItsLag) {
    std::string funded = chain.ledger.fund(alice.address, 5000);
    EXPECT_TRUE(woc_tx_exists(funded));
    EXPECT_EQ(woc_tx_status(funded), 0);
    EXPECT_FALSE(woc_tx_exists(random_txid()));
    EXPECT_EQ(woc_tx_status(random_txid()), 1);
    EXPECT_EQ(woc_tx_status("not-a-txid"), 1);

    chain.ledger.set_lag(2);
    std::string reason, txid;
    ASSERT_TRUE(chain.ledger.accept(test_spend({{funded, 0, 5000}}, alice, {pay_to(bob, 4900)}), reason, &txid));
    EXPECT_EQ(woc_tx_status(txid), 1);
    EXPECT_EQ(woc_tx_status(txid), 1);
    EXPECT_EQ(woc_tx_status(txid), 0);

    chain.woc.set_fault(std::string(kWocPrefix) + "/tx/", FakeFault{500});
    EXPECT_EQ(woc_tx_status(funded), 2);

    // In bulk, an id is unknown only where an answer leaves it out; a failed request tells nothing.
    std::vector<json> txs;
    std::vector<char> unknown;
    EXPECT_TRUE(woc_bulk_tx_json({funded, random_txid()}, txs, &unknown));
    EXPECT_EQ(unknown, (std::vector<char>{0, 1}));
    chain.woc.set_fault(std::string(kWocPrefix) + "/txs", FakeFault{500});
    EXPECT_FALSE(woc_bulk_tx_json({funded, random_txid()}, txs, &unknown));
    EXPECT_EQ(unknown, (std::vector<char>{0, 0}));
}

TEST_F(WocClientTest, TransactionJsonIsKeptOnlyWhenMinedAndReadOnceAtATime) {
    std::string funded = chain.ledger.fund(alice.address, 5000);
    json tx;
    ASSERT_TRUE(woc_tx_json(funded, tx));
    EXPECT_EQ(tx["txid"], funded);
    ASSERT_TRUE(woc_tx_json(funded, tx));
    EXPECT_EQ(woc_requests("/tx/" + funded), 1);

    const std::string unknown = random_txid();
    EXPECT_FALSE(woc_tx_json(unknown, tx));
    EXPECT_FALSE(woc_tx_json(unknown, tx));
    EXPECT_EQ(woc_requests("/tx/" + unknown), 2);

    // Readers that want a transaction while it is being read share that one request.
    const std::string pending = chain.ledger.fund(alice.address, 7000, false);
    FakeFault held;
    held.gather = 1000; // until released
    chain.woc.set_fault(std::string(kWocPrefix) + "/tx/" + pending, held);
    std::vector<std::thread> readers;
    std::atomic<int> read{0};
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&] {
            json copy;
            if (woc_tx_json(pending, copy) && copy["txid"] == pending) ++read;
        });
    EXPECT_TRUE(eventually([] { return tx_store_use().waiting == 3; }));
    chain.woc.release_held();
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(read, 4);
    EXPECT_EQ(woc_requests("/tx/" + pending), 1);

    chain.woc.set_fault(std::string(kWocPrefix) + "/tx/", FakeFault{0, 0, 0, false, true});
    const std::string other = chain.ledger.fund(alice.address, 6000);
    EXPECT_FALSE(woc_tx_json(other, tx));
}

TEST_F(WocClientTest, RepliesNestedDeeperThanAnyRealOneAreRefused) {
    // About 150 KB of brackets: copying such a value into the cache used to take one stack frame a level.
    const std::string deep = std::string(75000, '[') + std::string(75000, ']');
    const std::string txid = random_txid();
    script_woc([&](const FakeRequest&) { return body_of(R"({"txid":")" + txid + R"(","vout":)" + deep + "}"); });
    json tx;
    EXPECT_FALSE(woc_tx_json(txid, tx));
    EXPECT_FALSE(woc_tx_json(txid, tx)) << "nothing was cached";
    std::vector<Utxo> list;
    std::string error;
    EXPECT_FALSE(woc_utxo_list(scripted.base_url() + kWocPrefix + "/address/x/unspent", list, error));
    EXPECT_TRUE(list.empty());
}

TEST_F(WocClientTest, SpendStatusCodesAndTheirCache) {
    std::string funded = chain.ledger.fund(alice.address, 5000);
    std::string kept = chain.ledger.fund(alice.address, 800);
    std::string reason, spender_id;
    ASSERT_TRUE(chain.ledger.accept(test_spend({{funded, 0, 5000}}, alice, {pay_to(bob, 4900)}), reason, &spender_id));

    std::string spender = "stale";
    EXPECT_EQ(woc_spent_by(funded, 0, spender), 0);
    EXPECT_EQ(spender, spender_id);
    EXPECT_EQ(woc_spent_by(kept, 0, spender), 1);
    EXPECT_TRUE(spender.empty());
    EXPECT_EQ(woc_spent_by(kept, 7, spender), 2); // a 400 for a known transaction
    const std::string unknown = random_txid();
    EXPECT_EQ(woc_spent_by(unknown, 0, spender), 3);

    chain.woc.reset_counts();
    EXPECT_EQ(woc_spent_by(funded, 0, spender), 0);
    EXPECT_EQ(spender, spender_id);
    EXPECT_EQ(woc_spent_by(unknown, 0, spender), 3);
    EXPECT_EQ(woc_spent_by(kept, 0, spender), 1);
    EXPECT_EQ(chain.woc.request_count(), 1); // only the unspent output is asked again

    woc_cache_clear();
    EXPECT_EQ(woc_spent_by(funded, 0, spender), 0);
    EXPECT_EQ(chain.woc.request_count(), 2);
}

// The single look-up and the bulk status name different spenders of one output: every reader
// names the one whose transaction the service shows spending it.
TEST_F(WocClientTest, SpendAnswersThatDisagreeSettleOnTheSpenderTheChainShows) {
    const std::string coin = random_txid(), real = random_txid(), other = random_txid();
    const std::string spends_coin = R"({"txid":")" + coin + R"(","vout":0})";
    const std::string prefix = std::string(kWocPrefix) + "/tx/";
    const struct Row {
        const char* name;
        std::string single, bulk; // the spender each names, "" for none
    } rows[] = {
        {"the bulk status names a transaction that spends something else", real, other},
        {"the bulk status lists the output unspent", real, ""},
        {"the look-up names a transaction that spends something else", other, real},
    };
    const Row* current = &rows[0];
    std::mutex m;
    script_woc([&](const FakeRequest& req) {
        std::lock_guard<std::mutex> guard(m);
        if (req.method == "POST") {
            json row = {{"utxo", {{"txid", coin}, {"vout", 0}}}, {"error", ""}};
            if (!current->bulk.empty()) row["spentIn"] = {{"txid", current->bulk}, {"vin", 0}};
            return body_of(json::array({row}).dump());
        }
        if (req.path == prefix + coin + "/0/spent") return body_of(R"({"txid":")" + current->single + R"("})");
        const std::string id = req.path.substr(prefix.size());
        const std::string input = id == real ? spends_coin : R"({"txid":")" + random_txid() + R"(","vout":0})";
        return body_of(R"({"txid":")" + id + R"(","vin":[)" + input + R"(],"vout":[]})");
    });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            std::lock_guard<std::mutex> guard(m);
            current = &row;
        }
        woc_cache_clear();
        std::string spender;
        EXPECT_EQ(woc_spent_by(coin, 0, spender), 0);
        const auto bulk = woc_bulk_spent_by({{coin, 0}});
        EXPECT_EQ(bulk, (std::map<std::string, std::string>{{coin + "_0", real}}));
        EXPECT_EQ(woc_spent_by(coin, 0, spender), 0);
        EXPECT_EQ(spender, real);
    }
}

TEST_F(WocClientTest, LearnOwnOutputsTakesTheKeyOfThePaidAddress) {
    load_hd_wallet();
    TestKey second = test_receive_key(2);
    Bytes inscription = p2pkh_script(second.hash);
    const Bytes envelope = {0x00, 0x63, 0x03, 'o', 'r', 'd', 0x51, 0x00, 0x68};
    inscription.insert(inscription.end(), envelope.begin(), envelope.end());
    std::string txid = chain.ledger.fund_outputs(
        {{p2pkh_script(second.hash), 1200}, {p2pkh_script(bob.hash), 5000}, {inscription, 1}}, false);
    mark_outpoint_spent(txid, 99); // unrelated mark, must not matter

    ASSERT_TRUE(learn_own_outputs(txid));
    ASSERT_EQ(change_coins().size(), 1u);
    const ChangeCoin& c = change_coins()[0];
    EXPECT_EQ(c.vout, 0u);
    EXPECT_EQ(c.sats, 1200);
    EXPECT_EQ(c.priv_hex, second.priv);
    EXPECT_EQ(c.pub_hex, second.pub);
    EXPECT_EQ(c.hash160, second.hash);
    EXPECT_FALSE(learn_own_outputs(txid)); // already known

    change_coins().clear();
    mark_outpoint_spent(txid, 0);
    EXPECT_FALSE(learn_own_outputs(txid));
    EXPECT_FALSE(learn_own_outputs("abc"));
}

TEST_F(WocClientTest, LearnOwnOutputsReadsValueAsBsvAndTrustsOnlyTheScript) {
    load_hd_wallet();
    TestKey mine = test_receive_key(1);
    const std::string script = to_hex(p2pkh_script(mine.hash));
    auto out = [&](const std::string& amount, const std::string& spk) {
        return "{" + amount + ",\"scriptPubKey\":" + spk + "}";
    };
    const std::string p2pkh = "{\"hex\":\"" + script + "\"}";
    const std::string doc =
        "{\"vout\":[" + out("\"value\":0.5", p2pkh) + "," + out("\"value\":5000", p2pkh) + "," +
        out("\"value\":0.000000004", p2pkh) + "," + out("\"satoshis\":777", p2pkh) + "," +
        out("\"value\":1",
            "{\"hex\":\"" + to_hex(p2pkh_script(bob.hash)) + "\",\"addresses\":[\"" + mine.address + "\"]}") +
        "," + out("\"value\":1", "{\"addresses\":[\"" + mine.address + "\"]}") + "," +
        out("\"value\":1,\"n\":9", "{\"hex\":\"" + script + "00\"}") + "," + out("\"value\":1e300", p2pkh) + "]}";
    const std::string txid = random_txid();
    // The plain transaction path fails, so the decoded form is read.
    script_woc([&](const FakeRequest& req) {
        if (req.path.size() > 8 && req.path.compare(req.path.size() - 8, 8, "/decoded") == 0) return body_of(doc);
        return body_of("{\"error\":\"busy\"}", 503);
    });

    ASSERT_TRUE(learn_own_outputs(txid));
    std::vector<std::pair<std::uint32_t, std::int64_t>> got;
    for (const ChangeCoin& c : change_coins())
        got.emplace_back(c.vout, c.sats);
    EXPECT_EQ(got, (std::vector<std::pair<std::uint32_t, std::int64_t>>{{0, 50000000}, {1, 500000000000}, {3, 777}}));
    for (const ChangeCoin& c : change_coins())
        EXPECT_EQ(c.priv_hex, mine.priv);
}

TEST_F(WocClientTest, CoinCacheStoreAndFreshness) {
    load_hd_wallet();
    const std::string addr = kv_wallet().address;
    const Hash160 h = test_hash_of(addr);
    const std::string a = random_txid(), b = random_txid(), c = random_txid();

    // A failed first refresh leaves an entry that is never fresh, and a failure keeps what it has.
    address_coins_store(addr, {}, false, false);
    EXPECT_FALSE(utxo_cache_fresh(addr));
    address_coins_store(addr, {{a, 0, 500, 3}, {b, 1, 300, 0}}, true, false);
    EXPECT_TRUE(utxo_cache_fresh(addr));
    const std::int64_t stamp = address_coins()[0].stamp;
    clock.advance(7999);
    EXPECT_TRUE(utxo_cache_fresh(addr));
    address_coins_store(addr, {}, false, true);
    EXPECT_EQ(address_coins()[0].utxos.size(), 2u);
    EXPECT_EQ(address_coins()[0].stamp, stamp);
    clock.advance(1);
    EXPECT_FALSE(utxo_cache_fresh(addr));
    EXPECT_FALSE(utxo_cache_fresh(addr + "x"));

    // keep_old carries unspent old coins; change coins of this address join, others do not.
    mark_outpoint_spent(b, 1);
    ChangeCoin own;
    own.txid = c;
    own.sats = 900;
    own.hash160 = h;
    ChangeCoin foreign = own;
    foreign.txid = random_txid();
    foreign.hash160 = bob.hash;
    ChangeCoin duplicate = own;
    duplicate.txid = reverse_txid_hex(a);
    duplicate.vout = 0;
    change_coins() = {own, foreign, duplicate};
    address_coins_store(addr, {{a, 0, 500, 4}}, true, true);
    ASSERT_EQ(address_coins().size(), 1u);
    std::vector<std::string> ids;
    for (const Utxo& u : address_coins()[0].utxos)
        ids.push_back(u.txid);
    EXPECT_EQ(ids, (std::vector<std::string>{a, c}));
    EXPECT_TRUE(utxo_cache_fresh(addr));
}

TEST_F(WocClientTest, BulkBalancesRaiseTheHighestIndex) {
    TestKey k[4] = {test_key_from_byte(0x31), test_key_from_byte(0x32), test_key_from_byte(0x33),
                    test_key_from_byte(0x34)};
    chain.ledger.fund(k[1].address, 1000);
    chain.ledger.fund(k[2].address, 1, false);
    std::vector<IndexedAddress> batch;
    for (std::uint32_t i = 0; i < 4; ++i)
        batch.push_back({10 + i, k[i].address});

    std::uint32_t highest = 5;
    ASSERT_TRUE(woc_bulk_balances(batch, highest));
    EXPECT_EQ(highest, 12u);
    highest = 50;
    ASSERT_TRUE(woc_bulk_balances(batch, highest));
    EXPECT_EQ(highest, 50u);

    EXPECT_TRUE(woc_bulk_balances({}, highest));
    EXPECT_EQ(woc_requests("/addresses/balance"), 2);
    std::vector<IndexedAddress> too_many(21, batch[1]);
    EXPECT_FALSE(woc_bulk_balances(too_many, highest));

    // Other reply shapes: a "value" list, flat items, fractions that round away.
    std::string reply;
    script_woc([&](const FakeRequest&) { return body_of(reply); });
    struct Row {
        std::string reply;
        bool ok;
        std::uint32_t highest;
    } rows[] = {
        {"{\"value\":[{\"address\":\"" + k[3].address + "\",\"confirmed\":2}]}", true, 13},
        {"[{\"address\":\"" + k[3].address + "\",\"balance\":{\"unconfirmed\":0.4}}]", true, 0},
        {"[{\"address\":\"" + k[3].address + "\",\"balance\":{\"unconfirmed\":0.6}}]", true, 13},
        {"[{\"address\":\"" + k[3].address + "\",\"balance\":{\"confirmed\":-3,\"unconfirmed\":\"9\"}}]", true, 0},
        {"{\"result\":[]}", false, 0},
        {"not json", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        reply = row.reply;
        highest = 0;
        EXPECT_EQ(woc_bulk_balances(batch, highest), row.ok);
        EXPECT_EQ(highest, row.highest);
    }
}

TEST_F(WocClientTest, LedgerRefusesWithTheNodesWords) {
    std::string funded = chain.ledger.fund(alice.address, 10000);
    const Bytes first = test_spend({{funded, 0, 10000}}, alice, {pay_to(bob, 9000)});
    const Bytes rival = test_spend({{funded, 0, 10000}}, alice, {pay_to(alice, 9500)});
    const std::string woc_raw = service_settings().woc_base + "/tx/raw";

    // Accepted through WhatsOnChain's broadcast: the id comes back as a JSON string.
    std::string response, error;
    ASSERT_TRUE(http_post_json(woc_raw, "{\"txhex\":\"" + to_hex(first) + "\"}", response, error, 5, 1)) << error;
    const std::string id = compute_txid(first);
    EXPECT_EQ(response, "\"" + id + "\"");
    EXPECT_EQ(chain.ledger.spender_of(funded, 0), id);
    EXPECT_EQ(chain.ledger.outputs_of_address(bob.address, false).size(), 1u);

    struct Row {
        const char* name;
        Bytes raw;
        std::string words;
    } rows[] = {
        {"sent twice", first, "txn-already-known"},
        {"rival in the mempool", rival, "txn-mempool-conflict"},
        {"unknown input", test_spend({{random_txid(), 0, 10000}}, alice, {pay_to(bob, 1)}), "Missing inputs"},
        {"outputs above inputs", test_spend({{chain.ledger.fund(alice.address, 50), 0, 50}}, alice, {pay_to(bob, 51)}),
         "bad-txns-in-belowout"},
        {"signed by another key", test_spend({{chain.ledger.fund(alice.address, 50), 0, 50}}, bob, {pay_to(bob, 40)}),
         "mandatory-script-verify-flag-failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(http_post_json(woc_raw, "{\"txhex\":\"" + to_hex(row.raw) + "\"}", response, error, 5, 1));
        EXPECT_NE(error.find(row.words), std::string::npos) << error;
    }

    chain.ledger.mine();
    std::string reason;
    EXPECT_FALSE(chain.ledger.accept(rival, reason));
    EXPECT_EQ(reason, "Missing inputs");

    // ARC and the platform submit share the ledger and word their answers their own way.
    ASSERT_TRUE(http_post_json(service_settings().arc_base + "/v1/tx", "{\"rawTx\":\"" + to_hex(first) + "\"}",
                               response, error, 5, 1));
    json arc = json::parse(response);
    EXPECT_EQ(arc["txStatus"], "MINED");
    EXPECT_EQ(arc["extraInfo"], "txn-already-known");
    std::string fresh = chain.ledger.fund(alice.address, 700);
    const Bytes third = test_spend({{fresh, 0, 700}}, alice, {pay_to(bob, 600)});
    ASSERT_TRUE(http_post_json(service_settings().platform_base + "/oi/submit", "{\"txhex\":\"" + to_hex(third) + "\"}",
                               response, error, 5, 1));
    EXPECT_EQ(json::parse(response)["ok"], true);
    ASSERT_TRUE(http_post_json(service_settings().arc_base + "/v1/tx", "{\"rawTx\":\"" + to_hex(rival) + "\"}",
                               response, error, 5, 1));
    EXPECT_EQ(json::parse(response)["txStatus"], "REJECTED");
}

// A bulk read refused past the service's rate waits and asks again, as a single read does, rather
// than fail over to one request per address. Its thread holds no wallet mutex, as a scan's does
// not: under it no request sleeps.
TEST_F(WocClientTest, BulkReadsAskAgainWhenRefused) {
    lock.unlock();
    const std::vector<std::string> addresses = {alice.address, bob.address};
    chain.ledger.fund(bob.address, 700);
    const std::function<bool()> reads[] = {
        [&] {
            std::uint32_t highest = 0;
            return woc_bulk_balances({{0, alice.address}, {1, bob.address}}, highest) && highest == 1;
        },
        [&] {
            std::vector<std::vector<Utxo>> lists;
            std::vector<bool> answered;
            return woc_bulk_unspent(addresses, true, lists, answered) && lists[1].size() == 1;
        },
        [&] {
            std::vector<BulkHistory> out;
            return woc_bulk_history(addresses, out) && out[1].confirmed.size() == 1;
        },
    };
    for (std::size_t i = 0; i < std::size(reads); ++i) {
        SCOPED_TRACE(i);
        chain.woc.reset_counts();
        chain.woc.set_fault(std::string(kWocPrefix) + "/addresses/", FakeFault{0, 2});
        EXPECT_TRUE(reads[i]());
        EXPECT_EQ(chain.woc.request_count(), 3);
    }
}
