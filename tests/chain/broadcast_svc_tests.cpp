#include "chain/broadcast.h"

#include "art/held_steps.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/sign.h"
#include "chain/step_holds.h"
#include "chain/step_wallet.h"
#include "chain/unsettled_inputs.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/eventually.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

using nlohmann::json;

namespace {

const std::string kWoc = kWocPrefix;

struct Payment {
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
};

// Replies that a test sets row by row; the fake answers on its own thread.
struct Script {
    std::mutex mutex;
    FakeResponse reply;
    void set(int status, const std::string& body) {
        std::lock_guard<std::mutex> guard(mutex);
        reply.status = status;
        reply.body = body;
    }
    FakeResponse get() {
        std::lock_guard<std::mutex> guard(mutex);
        return reply;
    }
};

struct BroadcastTest : FakeChainTest {
    Script script;
    bool scripted_accepts = true;
    bool lookups_get_a_page = false; // every transaction look-up answers 200 with an error page
    int answer_after_ms = 0;         // real time the scripted service takes to answer a post it took
    std::function<void()> on_post;   // runs as the scripted service takes a post
    // Stands in for one service when a test needs its words exactly. Declared after what its
    // handlers read, so it stops, and a late answer ends, before those go.
    FakeServer scripted;
    WalletLock lock = lock_wallet();
    TestKey recv0, recv1, recv2, bob = test_key_from_byte(0x22);

    BroadcastTest() {
        use_test_hd_wallet("broadcast test", {0, 2, 0, 0, 0, 0});
        recv0 = test_receive_key(0);
        recv1 = test_receive_key(1);
        recv2 = test_receive_key(2);

        // The scripted service takes a posted transaction into the ledger when asked to, answers
        // with the row's words, and lists transactions from the ledger like WhatsOnChain.
        scripted.on("POST", ".*", [this](const FakeRequest& req) {
            json body = json::parse(req.body, nullptr, false);
            std::string reason;
            if (scripted_accepts && body.is_object() && body.contains("txhex"))
                chain.ledger.accept(from_hex(body["txhex"].get<std::string>()), reason);
            std::this_thread::sleep_for(std::chrono::milliseconds(answer_after_ms));
            if (on_post) on_post();
            return script.get();
        });
        scripted.on("GET", ".*/tx/([0-9a-f]{64})(/hex)?", [this](const FakeRequest& req) {
            LedgerTx tx;
            FakeResponse r;
            if (lookups_get_a_page)
                r.body = "<html><body>txid lookup is resting, please come back later</body></html>";
            else if (!chain.ledger.find_tx(req.matches[1], tx))
                r.status = 404;
            else if (req.matches[2].empty())
                r.body = json{{"txid", tx.txid}}.dump();
            else
                r.body = to_hex(tx.raw);
            chain.ledger.note_lookup();
            return r;
        });
    }
    // The kept-alive platform connection may lead to the scripted service, which stops first.
    ~BroadcastTest() override { drop_platform_session(); }

    void use_scripted(std::string ServiceSettings::*service, const std::string& prefix = "") {
        ServiceSettings s = service_settings();
        s.*service = scripted.base_url() + prefix;
        set_service_settings(s);
    }

    // A fresh 10 000-sat coin of receive key 0, paying 3000 to bob and 6900 back to receive key 1.
    Payment fresh_payment(std::vector<TxOutput> outputs = {}) {
        Payment p;
        TxInput in;
        in.txid = chain.ledger.fund(recv0.address, 10000);
        in.sats = 10000;
        in.priv_hex = recv0.priv;
        in.pub_hex = recv0.pub;
        in.hash160 = recv0.hash;
        p.inputs.push_back(in);
        p.outputs = outputs.empty() ? std::vector<TxOutput>{pay_to(bob, 3000), pay_to(recv1, 6900)} : outputs;
        EXPECT_TRUE(sign_tx_inputs(p.inputs, p.outputs, recv1.hash, recv0.priv, recv0.pub, nullptr));
        return p;
    }
    Bytes raw_of(const Payment& p) { return serialize_tx(p.inputs, p.outputs, false); }

    int platform_copies() { return chain.platform.request_count("/oi/submit"); }
};

} // namespace

TEST_F(BroadcastTest, OnlyAnOkTrueFromThePlatformCountsAsSent) {
    use_scripted(&ServiceSettings::platform_base);
    scripted_accepts = false;
    struct Row {
        const char* name;
        int status;
        std::string body;
        bool by_platform;
    } rows[] = {
        {"ok true", 200, R"({"ok":true})", true},
        {"ok false", 200, R"({"ok":false,"error":"txn-mempool-conflict"})", false},
        {"ok as text", 200, R"({"ok":"true"})", false},
        {"no ok", 200, R"({"txid":"ab"})", false},
        {"not JSON", 200, "accepted", false},
        {"server error", 502, R"({"ok":true})", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        script.set(row.status, row.body);
        chain.woc.reset_counts();
        Payment p = fresh_payment();
        std::string txid;
        const std::string result = broadcast_tx(p.inputs, p.outputs, recv1.hash, &txid);
        EXPECT_EQ(result, "success: " + txid);
        EXPECT_EQ(compute_txid(from_hex(json::parse(scripted.requests().back().body)["txhex"].get<std::string>())),
                  txid);
        // WhatsOnChain's acceptance names the id, so no look-up follows either way.
        EXPECT_EQ(chain.woc.request_count(), row.by_platform ? 0 : 1);
        EXPECT_EQ(last_success_txid(), txid);
        EXPECT_TRUE(is_outpoint_spent(p.inputs[0].txid, 0));
    }
}

TEST_F(BroadcastTest, WhatsOnChainReplyForms) {
    use_scripted(&ServiceSettings::woc_base, kWoc);
    chain.platform.set_fault("/oi/submit", FakeFault{503});
    chain.arc.set_fault("/v1/tx", FakeFault{503});
    const std::string other = std::string(64, 'c');
    struct Row {
        const char* name;
        std::function<std::string(const std::string&)> reply;
        int own_lookups; // GETs for this transaction's id
        int other_lookups;
        std::size_t sleeps;
        int lag = 0; // look-ups for which the transaction taken stays unlisted
        const char* answer = "success: ";
    } rows[] = {
        {"quoted id and line feed", [](const std::string& id) { return "\"" + id + "\"\n"; }, 0, 0, 0},
        {"object with txid", [](const std::string& id) { return R"({"txid":")" + id + "\"}"; }, 0, 0, 0},
        {"object without txid", [](const std::string&) { return R"({"status":"ok"})"; }, 1, 0, 0},
        // Another id is no acceptance of this transaction: this transaction's own id is looked up,
        // and the other id never is.
        {"another id", [&](const std::string&) { return "\"" + other + "\""; }, 1, 0, 0},
        // Taken without its id and never listed: it may be out, so it is never called not sent.
        {"object without txid, never listed", [](const std::string&) { return R"({"status":"ok"})"; }, 16, 0, 7, 1000,
         "error: not known whether it was sent"},
    };
    std::size_t slept = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Payment p = fresh_payment();
        const std::string txid = compute_txid(raw_of(p));
        script.set(200, row.reply(txid));
        scripted.reset_counts();
        chain.arc.reset_counts();
        chain.ledger.set_lag(row.lag);
        const std::string result = broadcast_tx(p.inputs, p.outputs, recv1.hash);
        chain.ledger.set_lag(0);
        EXPECT_EQ(result.rfind(row.answer + (row.lag ? std::string() : txid), 0), 0u) << result;
        EXPECT_TRUE(inputs_unsettled(txid)) << "sent or not, held until a service shows it";
        EXPECT_EQ(scripted.request_count(kWoc + "/tx/" + txid), row.own_lookups);
        EXPECT_EQ(scripted.request_count(kWoc + "/tx/" + other), row.other_lookups);
        EXPECT_EQ(clock.recorded_sleeps().size() - slept, row.sleeps);
        EXPECT_EQ(chain.arc.request_count(), 1) << "asked beside WhatsOnChain";
        slept = clock.recorded_sleeps().size();
    }
}

TEST_F(BroadcastTest, AlreadyKnownTransactionsAreLookedUp) {
    struct Row {
        const char* name;
        int lag;
        bool arc_down;
        std::vector<std::int64_t> sleeps;
    } rows[] = {
        // Each unanswered look-up asks for the hex and the JSON: four hidden requests.
        {"listed at the third look-up, ARC down", 4, true, {700, 700}},
        // The node's words alone name no transaction: unlisted and without ARC, it is not known to be sent,
        // nor known not to be.
        {"never listed, ARC down", 1000, true, std::vector<std::int64_t>(7, 700)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.arc_down) chain.arc.set_fault("/v1/tx", FakeFault{500});
        last_sent_txid().clear();
        Payment p = fresh_payment();
        std::string reason;
        chain.ledger.set_lag(row.lag);
        ASSERT_TRUE(chain.ledger.accept(raw_of(p), reason)) << reason;
        chain.ledger.set_lag(0);
        {
            std::lock_guard<std::mutex> guard(clock.mutex);
            clock.sleeps.clear();
        }
        std::string txid;
        const std::string result = broadcast_tx(p.inputs, p.outputs, recv1.hash, &txid);
        EXPECT_EQ(clock.recorded_sleeps(), row.sleeps);
        if (row.lag > 4) {
            EXPECT_EQ(result.rfind("error: not known whether it was sent", 0), 0u) << result;
            EXPECT_EQ(last_sent_txid(), "");
            EXPECT_TRUE(is_outpoint_spent(p.inputs[0].txid, 0)) << "held while it may be out";
        } else {
            EXPECT_EQ(result, "success: " + txid);
            EXPECT_EQ(last_sent_txid(), txid);
        }
    }
}

// A broadcaster's words that a transaction is "already" there never make a sending: only an answer
// naming this transaction's id, or WhatsOnChain listing it, does.
TEST_F(BroadcastTest, AlreadyKnownWordsAloneAreNoSending) {
    use_scripted(&ServiceSettings::woc_base, kWoc);
    chain.platform.set_fault("/oi/submit", FakeFault{503});
    scripted_accepts = false; // nothing reaches the ledger: every answer below is words only
    FakeServer arc;
    Script arc_script;
    arc.on("POST", "/v1/tx", [&](const FakeRequest&) { return arc_script.get(); });
    ServiceSettings with_arc = service_settings();
    with_arc.arc_base = arc.base_url();
    ScopedServiceSettings scoped(with_arc);
    const std::string other(64, 'c');
    struct Row {
        const char* name;
        std::string woc; // WhatsOnChain's refusal
        int arc_status;
        std::string arc; // "<id>" stands for the transaction id
        bool sent;
        bool page = false; // WhatsOnChain answers every look-up with an error page
        bool held = false; // not known whether it was sent: its coins stay out of the balance
    } rows[] = {
        {"node's words, ARC down", "257: txn-already-known", 500, "{}", false, false, true},
        {"node's words, look-ups get a page", "257: txn-already-known", 500, "{}", false, true, true},
        {"node's words, ARC calls it a double spend", "257: txn-already-known", 200,
         R"({"txid":"<id>","txStatus":"DOUBLE_SPEND_ATTEMPTED","extraInfo":"already in the mempool"})", false},
        {"free text, ARC free text", "transaction already have it", 200,
         R"({"txid":"<id>","txStatus":"REJECTED","extraInfo":"already known"})", false},
        {"conflict, ARC accepts another id", "258: txn-mempool-conflict", 200,
         R"({"txid":")" + other + R"(","txStatus":"SEEN_ON_NETWORK"})", false},
        {"node's words, ARC accepts this id", "257: txn-already-known", 200,
         R"({"txid":"<id>","txStatus":"SEEN_ON_NETWORK"})", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        last_sent_txid().clear();
        clear_change_coins();
        Payment p = fresh_payment();
        const std::string txid = compute_txid(raw_of(p));
        std::string arc_body = row.arc;
        if (arc_body.find("<id>") != std::string::npos) arc_body.replace(arc_body.find("<id>"), 4, txid);
        script.set(400, row.woc);
        arc_script.set(row.arc_status, arc_body);
        lookups_get_a_page = row.page;
        const std::string result = broadcast_tx(p.inputs, p.outputs, recv1.hash);
        lookups_get_a_page = false;
        EXPECT_EQ(result.rfind(row.sent   ? "success: "
                               : row.held ? "error: not known whether it was sent"
                                          : "error: ",
                               0),
                  0u)
            << result;
        EXPECT_EQ(is_outpoint_spent(p.inputs[0].txid, 0), row.sent || row.held);
        EXPECT_EQ(last_sent_txid(), row.sent ? txid : "");
        EXPECT_EQ(change_coins().empty(), !row.sent);
    }
}

TEST_F(BroadcastTest, PlainAcceptanceIsSentWhileWhatsOnChainLags) {
    chain.platform.set_fault("/oi/submit", FakeFault{503});
    for (bool woc_down : {false, true}) {
        SCOPED_TRACE(woc_down ? "ARC accepts after WhatsOnChain failed" : "WhatsOnChain returns the id");
        chain.woc.clear_faults();
        if (woc_down) chain.woc.set_fault(kWoc + "/tx/raw", FakeFault{500});
        Payment p = fresh_payment();
        chain.ledger.set_lag(1000);
        std::string txid;
        const std::string result = broadcast_tx(p.inputs, p.outputs, recv1.hash, &txid);
        EXPECT_EQ(result, "success: " + txid);
        chain.ledger.set_lag(0);
        EXPECT_TRUE(clock.recorded_sleeps().empty());
        EXPECT_EQ(chain.woc.request_count(kWoc + "/tx/" + txid), 0);
        EXPECT_EQ(last_sent_txid(), txid);
        EXPECT_TRUE(is_outpoint_spent(p.inputs[0].txid, 0));
    }
}

TEST_F(BroadcastTest, ArcRepliesAndDetails) {
    use_scripted(&ServiceSettings::arc_base);
    const std::string expected = std::string(64, 'e');
    struct Row {
        const char* name;
        std::string body;
        std::string expected_txid;
        bool ok;
        std::string detail;
    } rows[] = {
        {"rejected, same extra", R"({"txStatus":"REJECTED","extraInfo":"REJECTED"})", expected, false, "REJECTED"},
        {"rejected, other extra", R"({"txStatus":"REJECTED","extraInfo":"bad fee"})", expected, false,
         "REJECTED: bad fee"},
        {"seen without txid", R"({"txStatus":"SEEN_ON_NETWORK"})", expected, true, ""},
        {"no id anywhere", R"({"txStatus":"SEEN_ON_NETWORK"})", "", false, "arc did not return a txid"},
        {"missing inputs", R"({"txStatus":"STORED","extraInfo":"Missing inputs"})", expected, false, "Missing inputs"},
        {"unknown status", R"({"txStatus":"QUEUED"})", expected, false, "QUEUED"},
        {"empty object", "{}", expected, false, "broadcast did not confirm"},
        {"not JSON", "gateway says hi", expected, false, "gateway says hi"},
        {"long page", std::string(5000, '<'), expected, false, std::string(120, '<')},
        {"empty body", "", expected, false, "bad arc response"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        script.set(200, row.body);
        std::string detail = "stale";
        EXPECT_EQ(arc_broadcast("00ff", row.expected_txid, detail), row.ok);
        EXPECT_EQ(detail, row.detail);
    }
    EXPECT_EQ(scripted.requests().back().body, R"({"rawTx":"00ff"})");

    for (const char* text : {"16: Missing inputs", "missing inputs", "bad-txns-inputs-missingorspent"})
        EXPECT_TRUE(is_missing_inputs_error(text)) << text;
    EXPECT_FALSE(is_missing_inputs_error("MISSING INPUTS"));
}

TEST_F(BroadcastTest, SalePaths) {
    use_scripted(&ServiceSettings::woc_base, kWoc);
    ServiceSettings short_posts = service_settings();
    short_posts.post_timeout_s = 2;
    ScopedServiceSettings scoped(short_posts);
    const std::string other(64, 'c');
    // As every broadcast answers a transaction a service may hold that no listing shows.
    const std::string not_known = "error: not known whether it was sent";
    struct Row {
        const char* name;
        int status;
        std::string body; // "<id>" stands for the transaction id
        bool accepted;    // the ledger takes it at WhatsOnChain
        int lag;          // look-ups that do not see it yet
        bool arc_down;
        std::string result; // "" = success
        int copies;         // platform copies expected in all
        int answer_after_ms = 0;
    } rows[] = {
        {"taken with id", 200, "\"<id>\"", true, 0, false, "", 1},
        {"taken without id, listed", 200, "{}", true, 0, false, "", 2},
        {"taken without id, not listed", 200, "{}", false, 0, false, not_known, 2},
        {"taken with another id, not listed", 200, "\"" + other + "\"", false, 0, false, not_known, 2},
        {"WhatsOnChain ran out of time, never listed", 200, "\"<id>\"", true, 1000, false, not_known, 2, 2150},
        {"already known, listed", 400, "257: txn-already-known", true, 0, false, "", 2},
        {"already known, listing lags", 400, "257: txn-already-known", true, 4, true, "", 2},
        {"already known, never listed, ARC names it", 400, "257: txn-already-known", true, 1000, false, "", 2},
        {"already known, never listed, ARC down", 400, "257: txn-already-known", true, 1000, true, not_known, 2},
        {"conflict, not listed", 400, "258: txn-mempool-conflict", false, 0, false,
         "error: that sale is already on the network. Refresh the wall.", 2},
        {"missing inputs, ARC takes it", 400, "Missing inputs", false, 0, false, "", 2},
        {"missing inputs, ARC down", 400, "Missing inputs", false, 0, true, "error: the sale was rejected. HTTP 400",
         2},
        {"other refusal", 400, "16: bad-txns-in-belowout", false, 0, false, "error: the sale was rejected. HTTP 400",
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        chain.arc.clear_faults();
        if (row.arc_down) chain.arc.set_fault("/v1/tx", FakeFault{500});
        Payment p = fresh_payment();
        const std::string txid = compute_txid(raw_of(p));
        std::string body = row.body;
        if (body.find("<id>") != std::string::npos) body.replace(body.find("<id>"), 4, txid);
        script.set(row.status, body);
        scripted_accepts = row.accepted;
        answer_after_ms = row.answer_after_ms;
        chain.ledger.set_lag(row.lag);
        const std::string result = broadcast_sale_tx(p.inputs, p.outputs, recv1.hash);
        chain.ledger.set_lag(0);
        answer_after_ms = 0;
        if (row.result.empty()) {
            EXPECT_EQ(result, "success: " + txid);
            EXPECT_TRUE(is_outpoint_spent(p.inputs[0].txid, 0));
        } else {
            EXPECT_EQ(result.rfind(row.result, 0), 0u) << result;
            const bool held = row.result == not_known;
            EXPECT_EQ(is_outpoint_spent(p.inputs[0].txid, 0), held) << "held while it may be out";
            EXPECT_EQ(inputs_unsettled(txid), held);
        }
        if (row.status == 400 && row.result.empty() && !row.accepted) {
            EXPECT_EQ(scripted.request_count(kWoc + "/tx/" + txid), 0);
        }
        EXPECT_EQ(platform_copies(), row.copies) << "posted before the step answers";
    }
}

TEST_F(BroadcastTest, SentTransactionIsRecordedAcrossARestart) {
    Payment p = fresh_payment({pay_to(bob, 3000), pay_to(recv1, 6900), TxOutput{0, op_return_script({1, 2})}});
    const std::string spent = p.inputs[0].txid;
    address_coins_store(recv0.address, {Utxo{spent, 0, 10000, 1}, Utxo{std::string(64, 'a'), 1, 5, 1}}, true, false);
    std::string txid;
    // The platform fake takes it into the ledger only after checking every signature.
    WalletLock lock = lock_wallet();
    const std::string result = sign_and_broadcast(lock, p.inputs, p.outputs, recv1.hash, &txid);
    ASSERT_EQ(result, "success: " + txid);
    LedgerTx taken;
    EXPECT_TRUE(chain.ledger.find_tx(txid, taken));
    ASSERT_EQ(address_coins().size(), 2u);
    EXPECT_EQ(address_coins()[0].utxos.size(), 1u);
    EXPECT_EQ(address_coins()[1].address, recv1.address);
    ASSERT_EQ(address_coins()[1].utxos.size(), 1u);
    EXPECT_EQ(address_coins()[1].utxos[0].sats, 6900);

    spent_outpoints().clear();
    clear_change_coins();
    clear_coin_caches();
    load_spent_outpoints();
    load_change_coins();
    EXPECT_EQ(spent_outpoints().count(outpoint_key(spent, 0)), 1u);
    EXPECT_EQ(spent_outpoints().count(outpoint_key(reverse_txid_hex(spent), 0)), 1u);
    ASSERT_EQ(change_coins().size(), 1u);
    const ChangeCoin& coin = change_coins()[0];
    EXPECT_EQ(coin.txid, txid);
    EXPECT_EQ(coin.vout, 1u);
    EXPECT_EQ(coin.sats, 6900);
    EXPECT_EQ(coin.priv_hex, recv1.priv);
    EXPECT_EQ(coin.pub_hex, recv1.pub);
}

TEST_F(BroadcastTest, ChangeCoinsCarryTheKeyOfTheAddressTheyPay) {
    struct Row {
        const char* name;
        const TestKey* paid;
        const TestKey* change;    // change hash160 passed along
        const TestKey* input_key; // keys the input carries
        const TestKey* coin_key;  // null: no coin recorded
    } rows[] = {
        {"another receive key", &recv2, &recv1, &recv0, &recv2},
        {"change hash160 of no wallet key", &bob, &bob, &recv0, nullptr},
        {"an input's key the wallet does not hold", &bob, &recv1, &bob, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        clear_change_coins();
        clear_coin_caches();
        TxInput in;
        in.txid = std::string(64, '1');
        in.priv_hex = row.input_key->priv;
        in.pub_hex = row.input_key->pub;
        in.hash160 = row.input_key->hash;
        Bytes id(32);
        random_bytes(id.data(), id.size());
        const std::string txid = to_hex(id);
        record_sent_tx({in}, {pay_to(*row.paid, 700)}, txid, &row.change->hash);
        const ChangeCoin* coin = nullptr;
        for (const ChangeCoin& c : change_coins())
            if (c.txid == txid) coin = &c;
        EXPECT_EQ(coin != nullptr, row.coin_key != nullptr);
        EXPECT_EQ(address_coins().size(), row.coin_key ? 1u : 0u);
        if (coin && row.coin_key) {
            EXPECT_EQ(coin->priv_hex, row.coin_key->priv);
            EXPECT_EQ(coin->pub_hex, row.coin_key->pub);
        }
    }
}

// The platform answers after the client gave up while WhatsOnChain and ARC fail: whether the
// transaction went out is asked of the listing, and without one its coin stays held. Once the hold
// has passed, a listing showing the coin unspent while no service knows the transaction gives it
// back; a transaction some service holds keeps it spent.
TEST_F(BroadcastTest, SubmitThatRanOutOfTimeIsLookedUpBeforeAnswering) {
    FakeClock clock;
    use_scripted(&ServiceSettings::platform_base);
    answer_after_ms = 2150;
    script.set(200, R"({"ok":true})");
    FakeFault failing;
    failing.status = 500;
    struct Row {
        const char* name;
        bool took;
        int lag; // look-ups for which a transaction taken stays unlisted at WhatsOnChain
        const char* answer;
        bool spent_after_hold;
    } rows[] = {
        {"taken", true, 0, "success: ", true},
        {"taken, unlisted for long", true, 1000, "error: not known whether it was sent", true},
        {"not taken", false, 0, "error: not known whether it was sent", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        chain.woc.set_fault(kWoc + "/tx/raw", failing);
        chain.arc.set_fault("/v1/tx", failing);
        chain.ledger.set_lag(row.lag);
        scripted_accepts = row.took;
        Payment p = fresh_payment();
        std::string txid;
        const std::string result = broadcast_tx(p.inputs, p.outputs, recv1.hash, &txid);
        EXPECT_EQ(result.rfind(row.took && row.lag == 0 ? "success: " + txid : row.answer, 0), 0u) << result;
        EXPECT_TRUE(is_outpoint_spent(p.inputs[0].txid, 0)) << "recorded or held, never offered again";
        std::string named;
        const bool not_known = not_known_if_sent_txid(result, named);
        EXPECT_EQ(not_known, named == txid && !named.empty());
        EXPECT_TRUE(inputs_unsettled(txid)) << "no second try until a service shows it";
        chain.ledger.set_lag(0);
        chain.woc.clear_faults();
        chain.arc.clear_faults();

        std::string error;
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        EXPECT_TRUE(is_outpoint_spent(p.inputs[0].txid, 0)) << "held until the hold has passed";
        clock.advance(kUnsettledMinMs);
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        EXPECT_EQ(is_outpoint_spent(p.inputs[0].txid, 0), row.spent_after_hold);
        EXPECT_EQ(inputs_unsettled(txid), row.took && row.lag > 0) << "held until a service shows it";
        const AddressCoins* coins = find_address_coins(recv0.address);
        ASSERT_NE(coins, nullptr);
        EXPECT_EQ(std::any_of(coins->utxos.begin(), coins->utxos.end(),
                              [&](const Utxo& u) { return u.txid == p.inputs[0].txid; }),
                  !row.spent_after_hold);
    }
}

TEST_F(BroadcastTest, ServicesThatTakeAMinuteEachAnswerWithinAMinute) {
    use_scripted(&ServiceSettings::woc_base);
    use_scripted(&ServiceSettings::arc_base);
    FakeFault failing;
    failing.status = 500;
    chain.platform.set_fault("/oi/submit", failing);
    scripted_accepts = false;
    script.set(503, "busy");
    std::atomic<int> posts{0};
    // Each post answers a minute after it came, once the other came too.
    on_post = [&] {
        std::int64_t came = 0;
        {
            std::lock_guard<std::mutex> guard(clock.mutex);
            came = clock.steady_ms;
        }
        ++posts;
        eventually([&] { return posts >= 2; });
        std::lock_guard<std::mutex> guard(clock.mutex);
        clock.steady_ms = std::max(clock.steady_ms, came + 60000);
    };
    const std::int64_t start = clock.steady_ms;
    Payment p = fresh_payment();
    EXPECT_EQ(broadcast_tx(p.inputs, p.outputs, recv1.hash).rfind("error: broadcast failed", 0), 0u);
    EXPECT_EQ(posts, 2);
    EXPECT_LE(clock.steady_ms - start, 62000);
}

TEST_F(BroadcastTest, UnsettledInputsComeBackByOneRule) {
    FakeFault failing;
    failing.status = 500;
    const std::string other = outpoint_key(std::string(64, 'c'), 3);
    struct Row {
        const char* name;
        bool named;               // held with a row naming the transaction, as this version holds
        bool arc_unsure;          // ARC answers neither way until the end
        bool sent;                // the transaction went out after all
        bool legacy = false;      // the spent file is of the previous version, which held with a mark alone
        bool shared = false;      // another step's transaction, of a fate still open, holds the same coin
        bool dropped = false;     // a payment this version sent that the network then dropped
        bool arc_down = false;    // ARC's status route fails throughout
        bool other_terms = false; // sent after all, and the next try names other terms
        bool crowded = false;     // two threads hold 600 other steps at once beforehand
        bool damaged = false;     // a byte of the spent file's "outpoints" flips, and the program starts again
        bool clock_ahead = false; // held while the system clock ran a day ahead, set right after
    } rows[] = {
        {"held by this version", true, false, false},
        {"held by the previous version with a spent mark alone", false, false, false, true},
        // A listing that has not caught up with the mempool shows a sent payment's coin unspent.
        {"spent by a payment this version sent", false, false, false},
        {"a service answers neither way", true, true, false},
        {"sent after all", true, false, true},
        {"its coin also held by another step", true, false, false, false, true},
        {"sent by this version, then dropped", false, false, false, false, false, true},
        {"ARC's status route fails throughout", true, false, false, false, false, false, true},
        {"sent after all, tried again on other terms", true, false, true, false, false, false, false, true},
        {"held beside 600 steps two threads held at once", true, false, false, false, false, false, false, false, true},
        {"spent, then its spent file damaged", false, false, false, false, false, false, false, false, false, true},
        {"held while the clock ran a day ahead", true, false, false, false, false, false, false, false, false, false,
         true},
    };
    const std::string another(64, 'e');
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Payment p = fresh_payment();
        const std::string txid = compute_txid(raw_of(p));
        // A gallery offer whose record is this transaction keeps its coins while the record's fate is open.
        OfferHold offer;
        offer.funded_txid = row.named ? txid : "";
        offer.utxos = {reserve_key(std::string(64, 'd'), 1)};
        ASSERT_TRUE(save_offer_holds({offer}));
        if (row.crowded) {
            std::atomic<int> refused{0};
            const auto hold_many = [&](int thread) {
                for (int i = 0; i < 300; ++i)
                    if (!hold_step("pass", std::to_string(thread) + " " + std::to_string(i), another, false)) ++refused;
            };
            lock.unlock(); // as on a worker thread of the shell, which holds no wallet lock
            std::thread first(hold_many, 1), second(hold_many, 2);
            first.join();
            second.join();
            lock.lock();
            EXPECT_EQ(refused.load(), 0);
            StepHold held;
            int lost = 0;
            for (int thread = 1; thread <= 2; ++thread)
                for (int i = 0; i < 300; ++i)
                    if (!step_hold_of("pass", std::to_string(thread) + " " + std::to_string(i), held)) ++lost;
            EXPECT_EQ(lost, 0) << "holds lost";
        }
        constexpr std::int64_t kDay = 24LL * 60 * 60 * 1000;
        if (row.clock_ahead) clock.system_ms += kDay;
        if (row.named) {
            mark_inputs_unsettled(txid, p.inputs);
            // The step it was sent for waits on it too.
            ASSERT_TRUE(hold_step("pay", row.name, txid, false, "the offer seen at 1000"));
            // A pass that went out meanwhile is told for a day.
            if (row.clock_ahead) {
                ASSERT_TRUE(hold_step("pass", row.name, another, true));
            }
        } else if (row.dropped) {
            record_sent_tx(p.inputs, p.outputs, txid, &recv1.hash);
        } else {
            spend_inputs_expire_caches(p.inputs, 0);
        }
        if (row.shared) {
            mark_inputs_unsettled(another, p.inputs);
            chain.arc.set_fault("/v1/tx/" + another, failing);
        }
        if (row.clock_ahead) clock.system_ms -= kDay;
        if (row.legacy) {
            json old_form = json::parse(test_read_file(spent_file_path()));
            old_form.erase("version");
            test_write_file(spent_file_path(), old_form.dump());
        }
        if (row.damaged) {
            std::string text = test_read_file(spent_file_path());
            text.replace(text.find("outpoints"), 9, "outpoInts");
            test_write_file(spent_file_path(), text);
            clear_spent_state();
            load_spent_outpoints();
            EXPECT_NE(take_spent_file_notice(), "");
            std::vector<TxInput> coins;
            std::uint64_t total = 0;
            std::string why;
            EXPECT_FALSE(collect_spendable_utxos(coins, total, why)) << "every coin is held";
            EXPECT_NE(why.find("the list of spent coins was damaged"), std::string::npos) << why;
        }
        if (row.arc_unsure || row.arc_down) chain.arc.set_fault("/v1/tx/" + txid, failing);
        std::string reason;
        if (row.sent) {
            ASSERT_TRUE(chain.ledger.accept(raw_of(p), reason)) << reason;
        }
        std::string error;
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        EXPECT_TRUE(is_outpoint_spent(p.inputs[0].txid, 0));
        // Another process marks an outpoint spent while this one waits on the services.
        json doc = json::parse(test_read_file(spent_file_path()));
        doc["outpoints"].push_back(other);
        test_write_file(spent_file_path(), doc.dump());
        clock.advance(kUnsettledMinMs);
        const int asked = chain.arc.request_count("/v1/tx/" + txid);
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        const bool unsure = row.arc_unsure || row.arc_down;
        EXPECT_EQ(is_outpoint_spent(p.inputs[0].txid, 0),
                  unsure || row.sent || row.shared || (!row.named && !row.legacy && !row.dropped && !row.damaged));
        EXPECT_EQ(inputs_unsettled(txid), unsure);
        EXPECT_TRUE(std::none_of(change_coins().begin(), change_coins().end(), [&](const ChangeCoin& c) {
            return c.txid == txid;
        })) << "a dropped payment leaves no change";
        const json kept = json::parse(test_read_file(spent_file_path()))["outpoints"];
        EXPECT_NE(std::find(kept.begin(), kept.end(), other), kept.end()) << "another process's mark stays";
        std::vector<OfferHold> offers;
        ASSERT_TRUE(load_offer_holds(offers));
        EXPECT_EQ(offers.size(), row.named && !unsure && !row.sent ? 0u : 1u);
        std::string why;
        EXPECT_EQ(step_held("pay", row.name, why), unsure);
        if (row.sent) {
            EXPECT_EQ(why, "The last pay of this artwork went out: " + txid + ".");
            if (row.other_terms)
                EXPECT_EQ(held_step_answer("pay", row.name, "another offer at 1000"),
                          "error: the last pay of this artwork went out on other terms: " + txid +
                              ". Refresh and look before trying again.");
            else
                EXPECT_EQ(held_step_answer("pay", row.name, "the offer seen at 1000"), "success: " + txid)
                    << "the step says it is done, once";
            EXPECT_EQ(held_step_answer("pay", row.name, "the offer seen at 1000"), "");
        }
        if (row.arc_down) {
            // Every hourly Refresh from now on asks again; the services that answer decide within the hour.
            EXPECT_EQ(why, "error: the last pay of this artwork is not known to have been sent yet: ARC could not be "
                           "asked. It is decided by the others an hour after the try; Refresh then.");
            clock.advance(kUnaskedWaitMs);
            ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
            EXPECT_FALSE(is_outpoint_spent(p.inputs[0].txid, 0));
            EXPECT_FALSE(inputs_unsettled(txid));
            EXPECT_FALSE(step_held("pay", row.name, why));
            chain.arc.clear_faults();
        }
        if (row.clock_ahead) {
            clock.advance(kSentStepKeepMs + kUnsettledMinMs);
            EXPECT_FALSE(step_held("pass", row.name, why));
            EXPECT_EQ(why, "") << "told for a day from when it was read with the clock set right";
        }
        if (!row.arc_unsure) continue;
        EXPECT_EQ(chain.arc.request_count("/v1/tx/" + txid), asked + 1);
        clock.advance(kUnsettledAskGapMs / 2);
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        EXPECT_EQ(chain.arc.request_count("/v1/tx/" + txid), asked + 1) << "not asked again within the minute";
        chain.arc.clear_faults();
        clock.advance(kUnsettledAskGapMs / 2);
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        EXPECT_FALSE(is_outpoint_spent(p.inputs[0].txid, 0));
        EXPECT_FALSE(inputs_unsettled(txid));
        ASSERT_TRUE(load_offer_holds(offers));
        EXPECT_TRUE(offers.empty());
        EXPECT_FALSE(step_held("pay", row.name, why));
    }
}

TEST_F(BroadcastTest, PlatformSubmitsShareOneConnection) {
    for (int i = 0; i < 3; ++i) {
        Payment p = fresh_payment();
        WalletLock lock = lock_wallet();
        EXPECT_EQ(sign_and_broadcast(lock, p.inputs, p.outputs, recv1.hash).rfind("success: ", 0), 0u);
    }
    EXPECT_EQ(chain.platform.request_count("/oi/submit"), 3);
    EXPECT_EQ(chain.platform.connection_count(), 1);
    EXPECT_EQ(chain.woc.request_count(), 0);
}

TEST_F(BroadcastTest, NothingIsSentForAnUnusableTransaction) {
    Payment p = fresh_payment();
    p.inputs[0].txid = "xyz";
    EXPECT_EQ(broadcast_tx(p.inputs, p.outputs, recv1.hash), "error: serialize failed.");
    EXPECT_EQ(broadcast_sale_tx(p.inputs, p.outputs, recv1.hash), "error: serialize failed.");
    p = fresh_payment();
    p.inputs[0].priv_hex = "00";
    WalletLock lock = lock_wallet();
    EXPECT_EQ(sign_and_broadcast(lock, p.inputs, p.outputs, recv1.hash), "error: signing failed.");
    // A shared file whose lock cannot be taken is not written: a step whose inputs or hold it would
    // keep does not go out.
    for (const std::string& file : {spent_file_path(), step_holds_path()}) {
        SCOPED_TRACE(file);
        platform_remove_file(file + ".lock");
        ASSERT_TRUE(platform_make_dirs(file + ".lock"));
        p = fresh_payment();
        {
            const StepWalletScope step("pay");
            name_step_subject("pay", "an artwork", "an offer");
            EXPECT_EQ(sign_and_broadcast(lock, p.inputs, p.outputs, recv1.hash), kDataFolderUnwritable);
            EXPECT_EQ(broadcast_sale_tx(p.inputs, p.outputs, recv1.hash), kDataFolderUnwritable);
        }
        EXPECT_EQ(hold_step("pass", "an artwork", std::string(64, 'e'), false), file == spent_file_path());
        std::filesystem::remove(std::filesystem::u8path(file + ".lock"));
    }
    EXPECT_EQ(chain.platform.request_count() + chain.woc.request_count() + chain.arc.request_count(), 0);
    EXPECT_TRUE(spent_outpoints().empty());
}
