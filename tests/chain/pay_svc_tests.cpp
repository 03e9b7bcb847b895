#include "chain/pay.h"

#include "chain/balance.h"
#include "chain/broadcast.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/sign.h"
#include "chain/unsettled_inputs.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "platform/fs.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <unistd.h>

using nlohmann::json;

namespace {

Bytes tx_hex_of(const FakeRequest& req, const char* key) {
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains(key) || !body[key].is_string()) return {};
    return from_hex(body[key].get<std::string>());
}

struct PayTest : FakeChainTest {
    WalletLock lock = lock_wallet();
    TestKey recv0, bob;

    PayTest() {
        fresh_session("pay test");
        recv0 = test_receive_key(0);
        bob.address = pub_hex_to_address("02" + std::string(64, '3'));
        bob.hash = test_hash_of(bob.address);
    }
    // An HD wallet with receive keys 0..2, loaded in memory, and no coin state.
    void fresh_session(const std::string& wallet_id) {
        reset_chain_session_for_tests();
        use_test_hd_wallet(wallet_id, {0, 2, 0, 0, 0, 0});
    }

    std::vector<TxOutput> to_bob(std::uint64_t sats) { return {TxOutput{sats, p2pkh_script(bob.hash)}}; }

    // Transactions the wallet sent, in the order the ledger took them (funding left out).
    std::vector<LedgerTx> sent() {
        std::vector<LedgerTx> txs;
        for (const LedgerTx& tx : chain.ledger.history_of_address(bob.address, false)) {
            if (!tx.coinbase) txs.push_back(tx);
        }
        return txs;
    }

    void pays_around_coin_spent_elsewhere(bool mined);

    // A transaction of the wallet's own key that spends the coin elsewhere, outside this program.
    Bytes spend_elsewhere(const std::string& txid, std::uint64_t sats) {
        TxInput in;
        in.txid = txid;
        in.sats = sats;
        std::vector<TxInput> inputs{in};
        std::vector<TxOutput> outputs{TxOutput{sats - 200, p2pkh_script(recv0.hash)}};
        EXPECT_TRUE(sign_tx_inputs(inputs, outputs, recv0.hash, recv0.priv, recv0.pub, nullptr));
        return serialize_tx(inputs, outputs, false);
    }
};

std::string id_of(const std::string& result) {
    std::string txid;
    parse_success_txid(result, txid);
    return txid;
}

} // namespace

TEST_F(PayTest, PaysWithChangeAndRecordsIt) {
    const std::string coin = chain.ledger.fund(recv0.address, 50000);
    shown_balance(50000, 0);
    const std::string result = pay_with_retry(lock, to_bob(3000));
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    EXPECT_TRUE(lock.owns_lock());

    LedgerTx tx;
    ASSERT_TRUE(chain.ledger.find_tx(id_of(result), tx, false));
    ASSERT_EQ(tx.outputs.size(), 2u);
    EXPECT_EQ(tx.outputs[0].address, bob.address);
    EXPECT_EQ(tx.outputs[0].sats, 3000u);
    EXPECT_EQ(tx.outputs[1].address, kv_wallet().address);
    const std::int64_t fee = 50000 - 3000 - static_cast<std::int64_t>(tx.outputs[1].sats);
    EXPECT_GT(fee, 0);

    EXPECT_TRUE(is_outpoint_spent(coin, 0));
    EXPECT_EQ(last_success_txid(), id_of(result));
    ASSERT_EQ(change_coins().size(), 1u);
    EXPECT_EQ(change_coins()[0].txid, id_of(result));
    // The balance shown next is what the payment took: the outputs and the fee, not the change.
    if (!isatty(fileno(stdout))) {
        EXPECT_EQ(displayed_balance().expected, 50000 - 3000 - fee);
    }

    // A payment from two coins writes each of its files once, each with one flush: the spent
    // outputs, the change and the balance shown.
    fresh_session("pay test, two coins");
    chain.ledger.fund(recv0.address, 2000);
    chain.ledger.fund(recv0.address, 2000);
    shown_balance(4000, 0);
    const int flushes = platform_flushes_for_tests();
    ASSERT_EQ(pay_with_retry(lock, to_bob(3000)).rfind("success: ", 0), 0u);
    EXPECT_EQ(sent().back().inputs.size(), 2u);
    EXPECT_EQ(platform_flushes_for_tests() - flushes, 3);
}

// The network saying it already holds the transaction just sent names no id: unlisted, the payment
// is not recorded as made, and it is not paid again from other coins either, which could pay twice.
TEST_F(PayTest, OwnTransactionKnownOnlyByWordsIsNeitherRecordedNorPaidAgain) {
    const std::string first = chain.ledger.fund(recv0.address, 50000);
    const std::string second = chain.ledger.fund(recv0.address, 40000);
    // The platform relays the transaction but its answer is lost; ARC passes on the node's words.
    FakeServer platform, arc;
    platform.on("POST", "/oi/submit", [this](const FakeRequest& req) {
        std::string reason;
        chain.ledger.accept(tx_hex_of(req, "txhex"), reason);
        return json_reply({{"error", "gateway timeout"}}, 504);
    });
    arc.on("POST", "/v1/tx", [this](const FakeRequest& req) {
        const Bytes raw = tx_hex_of(req, "rawTx");
        std::string reason;
        if (chain.ledger.accept(raw, reason)) return json_reply({{"txid", compute_txid(raw)}, {"txStatus", "STORED"}});
        return json_reply({{"txid", compute_txid(raw)}, {"txStatus", "REJECTED"}, {"extraInfo", reason}});
    });
    ServiceSettings s = service_settings();
    s.platform_base = platform.base_url();
    s.arc_base = arc.base_url();
    ScopedServiceSettings relayed(s);
    chain.ledger.set_lag(100000);

    const std::string result = pay_with_retry(lock, to_bob(3000));
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(result.rfind("error: the network says it already holds this payment", 0), 0u) << result;
    EXPECT_FALSE(is_outpoint_spent(first, 0));
    EXPECT_FALSE(is_outpoint_spent(second, 0));
    EXPECT_EQ(last_sent_txid(), "");
    EXPECT_EQ(platform.request_count("/oi/submit"), 1);
    drop_platform_session();
}

// A double spend that ARC refuses in words that sound like "ours is known" is no payment.
TEST_F(PayTest, DoubleSpendRefusedInKnownWordsIsNoPayment) {
    const std::string coin = chain.ledger.fund(recv0.address, 50000);
    chain.ledger.set_lag(100000);
    std::string reason;
    ASSERT_TRUE(chain.ledger.accept(spend_elsewhere(coin, 50000), reason)) << reason;
    FakeServer arc;
    arc.on("POST", "/v1/tx", [](const FakeRequest& req) {
        return json_reply({{"txid", compute_txid(tx_hex_of(req, "rawTx"))},
                           {"txStatus", "DOUBLE_SPEND_ATTEMPTED"},
                           {"extraInfo", "already in the mempool"}});
    });
    ServiceSettings s = service_settings();
    s.arc_base = arc.base_url();
    ScopedServiceSettings refused(s);

    const std::string result = pay_with_retry(lock, to_bob(3000));
    EXPECT_EQ(result.rfind("error: ", 0), 0u) << result;
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(last_sent_txid(), "");
    EXPECT_EQ(last_success_txid(), "");
    EXPECT_TRUE(change_coins().empty());
    EXPECT_GE(arc.request_count("/v1/tx"), 1);
}

// A coin that another transaction spent, unseen by the listings, is marked spent and the next
// attempt pays from the other coin: `mined` puts the other spend in a block (missing inputs),
// else in the mempool (a conflict).
void PayTest::pays_around_coin_spent_elsewhere(bool mined) {
    const std::string taken = chain.ledger.fund(recv0.address, 50000);
    const std::string other = chain.ledger.fund(recv0.address, 20000);
    chain.ledger.set_lag(100000);
    std::string reason;
    ASSERT_TRUE(chain.ledger.accept(spend_elsewhere(taken, 50000), reason)) << reason;
    if (mined) chain.ledger.mine();

    const std::string result = pay_with_retry(lock, to_bob(3000));
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    EXPECT_TRUE(is_outpoint_spent(taken, 0));
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].txid, id_of(result));
    ASSERT_EQ(sent()[0].inputs.size(), 1u);
    EXPECT_EQ(sent()[0].inputs[0].prev_txid, other);
}

TEST_F(PayTest, ConflictInTheMempoolIsPaidAround) {
    pays_around_coin_spent_elsewhere(false);
}

TEST_F(PayTest, MissingInputsArePaidAround) {
    pays_around_coin_spent_elsewhere(true);
}

TEST_F(PayTest, OrdinalCoinsNeverPay) {
    // GorillaPool is down in these settings, so no listing says which 1-sat coins are ordinals.
    const Bytes lock_script = p2pkh_script(recv0.hash);
    const std::string funding = chain.ledger.fund_outputs({{lock_script, 1}, {lock_script, 1}, {lock_script, 3000}});

    const std::string result = pay_with_retry(lock, to_bob(2500));
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    ASSERT_EQ(sent().size(), 1u);
    ASSERT_EQ(sent()[0].inputs.size(), 1u);
    EXPECT_EQ(sent()[0].inputs[0].prev_vout, 2u);

    // More than the plain coins hold: the payment fails rather than take the ordinals.
    const std::string short_result = pay_with_retry(lock, to_bob(2000));
    EXPECT_EQ(short_result.rfind("error: insufficient funds.", 0), 0u) << short_result;
    EXPECT_EQ(sent().size(), 1u);
    for (std::uint32_t vout : {0u, 1u}) {
        LedgerOutput out;
        ASSERT_TRUE(chain.ledger.find_output(funding, vout, out, false));
        EXPECT_TRUE(out.spent_by.empty()) << vout;
    }
}

TEST_F(PayTest, AnswersWhenCoinsFallShort) {
    const char* const held_answer = "error: no coin is free: a payment not known to have been sent yet holds "
                                    "Cofferly's coins. If no service knows it 5 minutes after it was sent, the next "
                                    "Refresh puts them back; try again then.";
    struct Row {
        const char* name;
        std::uint64_t funded;
        std::vector<std::string> avoid;
        std::int64_t shown;
        std::string answer;
        int held = 0; // 1: a payment of unknown fate holds every coin; 2: and a previous version gave them back
    } rows[] = {
        {"no coin", 0, {}, -1, "error: you have 0 in your Cofferly wallet."},
        {"no coin, balance shown",
         0,
         {},
         7000,
         "error: Cofferly can see the balance, but not a coin it can spend yet. Try again in a few seconds."},
        {"no coin, avoiding an offer",
         0,
         {std::string(64, 'e') + "_0"},
         7000,
         "error: need a bit more BSV so the offer and the 1-sat hook do not share coins."},
        {"too little", 1000, {}, -1, "error: insufficient funds. Need "},
        {"too little, avoiding an offer",
         1000,
         {std::string(64, 'e') + "_0"},
         -1,
         "error: need a bit more BSV so the offer and the 1-sat hook do not share coins. (insufficient funds. Need "},
        // GorillaPool still lists the coin as unspent.
        {"every coin held", 50000, {}, -1, held_answer, 1},
        {"every coin held, given back in the file", 50000, {}, 7000, held_answer, 2},
    };
    FakeGorillaPool gorillapool(chain.ledger);
    ScopedServiceSettings with_gorillapool(settings_for(chain, gorillapool));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fresh_session(std::string("short ") + row.name);
        if (row.shown >= 0) shown_balance(row.shown, 0);
        if (row.funded) chain.ledger.fund(recv0.address, row.funded);
        if (row.held) {
            std::vector<TxInput> inputs;
            json given_back = json::array();
            for (const LedgerOutput& coin : chain.ledger.outputs_of_address(recv0.address, false)) {
                TxInput input;
                input.txid = coin.txid;
                input.vout = coin.vout;
                input.sats = coin.sats;
                inputs.push_back(input);
                given_back.push_back({{"k", outpoint_key(coin.txid, coin.vout)}, {"at", clock.system_ms}});
            }
            mark_inputs_unsettled(std::string(64, '7'), inputs);
            if (row.held == 2) {
                json doc = json::parse(test_read_file(spent_file_path()));
                doc["outpoints"] = json::array();
                doc["given_back"] = given_back;
                test_write_file(spent_file_path(), doc.dump());
                clear_spent_state();
            }
        }

        const std::string result = pay_with_retry(lock, to_bob(5000), row.avoid);
        EXPECT_EQ(result.rfind(row.answer, 0), 0u) << result;
        EXPECT_TRUE(sent().empty());
    }
}

// A reserve file that cannot be read is no lack of coins: the payment stops with the reserve
// module's words instead of calling the wallet empty, and spends nothing.
TEST_F(PayTest, UnreadableReserveFileStopsThePayment) {
    chain.ledger.fund(recv0.address, 50000);
    test_write_file(offer_locks_path(), "{\"utxos\": [");
    EXPECT_EQ(pay_with_retry(lock, to_bob(3000)), kReserveUnreadableError);
    EXPECT_TRUE(sent().empty());
}

TEST(ParseSuccessTxid, TakesTheIdBackOut) {
    const std::string id(64, 'a');
    const std::string upper(64, 'F');
    struct Row {
        std::string text;
        bool ok;
        std::string id;
    } rows[] = {
        {"success: " + id, true, id}, {"success: " + upper + " \r\n", true, upper},
        {"success", false, ""},       {"success:" + id, false, ""},
        {"error: " + id, false, ""},  {"success: " + id + "0", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string out = "stale";
        EXPECT_EQ(parse_success_txid(row.text, out), row.ok);
        EXPECT_EQ(out, row.id);
    }
}

TEST(OwnTxKnownReply, TellsTheSameTransactionFromAConflict) {
    struct Row {
        const char* reply;
        bool own;
    } rows[] = {
        {"error: broadcast failed: REJECTED: txn-already-known", true},
        {"error: broadcast failed: HTTP 400 257: TXN-ALREADY-IN-MEMPOOL", true},
        {"error: broadcast failed: DOUBLE_SPEND_ATTEMPTED: txn-mempool-conflict", false},
        {"error: broadcast failed: REJECTED: Missing inputs", false},
        {"error: broadcast failed: DOUBLE_SPEND_ATTEMPTED: already in the mempool", false},
        {"error: broadcast failed: REJECTED: already known", false},
        {"error: broadcast failed: HTTP 400 we already have it", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        EXPECT_EQ(is_own_tx_known_reply(row.reply), row.own);
    }
}
