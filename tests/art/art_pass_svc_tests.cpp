#include "art/art_pass.h"

#include "art/art_records.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "chain/unsettled_inputs.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_paymail.h"
#include "fakes/registry_fixture.h"
#include "ordinals/ord_inbox.h"
#include "ordinals/ord_listing.h"
#include "support/eventually.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

struct PassTest : FakeChainTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings gp_settings{settings_for(chain, gp)};
    const TestKey recipient = test_key_from_byte(0x41);
    const std::string record = R"({"protocol":"KV-Art","type":"art_owner","pic":"x"})";
    std::string receive_address, ord_address, art, cert;
    Hash160 ord_hash{};

    PassTest() {
        clear_token_outpoint_memory();
        write_test_wallet_file("w1");
        EXPECT_TRUE(load_wallet_id("w1"));
        WalletLock lock = lock_wallet();
        receive_address = kv_wallet().address;
        ord_address = derive_ordinals_key();
        ord_hash = test_hash_of(ord_address);
        art = inscribe("image/png", "png-bytes");
        cert = inscribe("application/json", R"({"pic":"x"})");
    }
    ~PassTest() override { clear_token_outpoint_memory(); }

    std::string inscribe(const std::string& type, const std::string& body) {
        return fake_inscribe(chain, ord_hash, type, body, build_name_metadata("Item"));
    }

    std::string pass() { return art_pass_send(art, cert, recipient.address, record, kTitleWatchAddress); }
};

} // namespace

// Both coins and the record travel in one transaction the ledger accepts; the wallet hides the
// coins, drops the avatar that was one of them and tells the recipient's inbox. So too when the
// pass went out after the program gave up on it: the next try says it is done and does the rest;
// when it never went out, the pass may be made again once the services show so.
TEST_F(PassTest, PassesBothCoinsWithTheRecord) {
    enum Answer { answered, taken_late, never_taken, taken_late_then_tried_elsewhere };
    for (const Answer answer : {answered, taken_late, never_taken, taken_late_then_tried_elsewhere}) {
        SCOPED_TRACE(answer);
        const bool answer_lost = answer != answered;
        if (answer_lost) {
            art = inscribe("image/png", "png-bytes, passed again " + std::to_string(answer));
            cert = inscribe("application/json", R"({"pic":"y"})");
        }
        chain.ledger.fund(receive_address, 50000);
        {
            WalletLock lock = lock_wallet();
            for (const std::string& origin : {art, cert}) {
                LocalOrd ord = local_ord_init();
                ord.origin = origin;
                kv_wallet().ord_owned.push_back(ord);
            }
            kv_wallet().ord_avatar = upper_copy(art);
            ASSERT_TRUE(save_wallet());
        }
        SinkCapture sink;
        std::string result = answer_lost ? "" : pass();
        if (answer_lost) {
            // Every service fails; the platform may have taken the transaction after all.
            chain.platform.set_fault("/oi/submit", FakeFault{503});
            chain.arc.set_fault("/v1/tx", FakeFault{500});
            chain.woc.set_fault("/v1/bsv/main/tx/raw", FakeFault{0, 0, 0, false, true}); // a garbled answer
            std::string txid, reason;
            ASSERT_TRUE(not_known_if_sent_txid(pass(), txid));
            chain.platform.clear_faults();
            chain.arc.clear_faults();
            chain.woc.clear_faults();
            const std::vector<FakeRequest> posts = chain.platform.requests();
            const auto took =
                std::find_if(posts.rbegin(), posts.rend(), [](const FakeRequest& r) { return r.path == "/oi/submit"; });
            ASSERT_NE(took, posts.rend());
            if (answer != never_taken) {
                ASSERT_TRUE(chain.ledger.accept(from_hex(nlohmann::json::parse(took->body).value("txhex", "")), reason))
                    << reason;
            }
            clock.advance(kUnsettledMinMs);
            {
                WalletLock lock = lock_wallet();
                ASSERT_TRUE(refresh_wallet_coins(lock, reason)) << reason;
            }
            if (answer == taken_late_then_tried_elsewhere) {
                // The try names another recipient: what went out is told, and recorded as it went.
                const TestKey other = test_key_from_byte(0x43);
                EXPECT_EQ(art_pass_send(art, cert, other.address, record, kTitleWatchAddress),
                          "error: the last pass of this artwork went out to " + recipient.address + ": " + txid +
                              ". It is not passed again.");
                std::string inbox;
                EXPECT_FALSE(read_file_text(ord_inbox_path(other.hash), inbox))
                    << "the other recipient is told nothing";
                result = "success: " + txid;
            } else {
                result = pass();
            }
            // Never taken, it is made again: the same coins make the same transaction.
            EXPECT_EQ(result, "success: " + txid);
            EXPECT_EQ(pass().rfind("error: ", 0), 0u) << "done once";
        }
        ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;

        LedgerTx tx;
        ASSERT_TRUE(chain.ledger.find_tx(result.substr(9), tx));
        ASSERT_GE(tx.inputs.size(), 3u);
        EXPECT_EQ(tx.inputs[0].prev_txid + "_0", art);
        EXPECT_EQ(tx.inputs[1].prev_txid + "_0", cert);
        // The record is an OP_FALSE OP_RETURN data carrier: a node refuses a 0-sat output of any other kind.
        Bytes record_script{0x00, 0x6a};
        append_push_data(record_script, reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
        const std::vector<std::pair<Bytes, std::uint64_t>> expected = {
            {p2pkh_script(recipient.hash), 1},
            {p2pkh_script(recipient.hash), 1},
            {p2pkh_script(test_hash_of(kTitleWatchAddress)), 1},
            {record_script, 0}};
        ASSERT_EQ(tx.outputs.size(), expected.size() + 1);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(tx.outputs[i].script, expected[i].first);
            EXPECT_EQ(tx.outputs[i].sats, expected[i].second);
        }
        EXPECT_EQ(tx.outputs.back().address, receive_address);
        // Both ordinals land, first in, first out, on the recipient's two outputs.
        EXPECT_EQ(chain.ledger.origin_of(tx.txid, 0), art);
        EXPECT_EQ(chain.ledger.origin_of(tx.txid, 1), cert);

        {
            WalletLock lock = lock_wallet();
            for (const LocalOrd& ord : kv_wallet().ord_owned)
                EXPECT_TRUE(ord.hidden) << ord.origin;
            EXPECT_EQ(kv_wallet().ord_avatar, "");
        }
        std::string inbox;
        ASSERT_TRUE(read_file_text(ord_inbox_path(recipient.hash), inbox));
        EXPECT_NE(inbox.find(art), std::string::npos);
        EXPECT_NE(inbox.find(cert), std::string::npos);
        std::lock_guard<std::mutex> lock(sink.mutex);
        EXPECT_NE(std::find(sink.lines.begin(), sink.lines.end(),
                            "Passed art\n" + art + "\nwith certificate\n" + cert + "\nto " + recipient.address + "\n"),
                  sink.lines.end());
        chain.ledger.mine();
    }
}

// The user unbinds while the pass goes out: the recipient's inbox, no wallet's own, is told all
// the same.
TEST_F(PassTest, TheRecipientIsToldWhateverWalletIsLoadedWhenTheAnswerComes) {
    chain.ledger.fund(receive_address, 50000);
    FakeFault held;
    held.gather = 2;
    chain.platform.set_fault("/oi/submit", held);
    std::thread window([&] {
        if (eventually([&] { return chain.platform.request_count("POST", "/oi/submit") > 0; })) {
            WalletLock lock = lock_wallet();
            disconnect_cofferly();
            kv_wallet().wallet_id.clear();
        }
        chain.platform.release_held();
    });
    const std::string result = pass();
    window.join();
    chain.platform.clear_faults();
    EXPECT_EQ(result.rfind("success: ", 0), 0u) << result;
    std::string inbox;
    EXPECT_TRUE(read_file_text(ord_inbox_path(recipient.hash), inbox));
    EXPECT_TRUE(inbox.find(art) != std::string::npos && inbox.find(cert) != std::string::npos) << inbox;
}

// The address the user confirmed is where the coins go, even when the platform would now name
// another one: the pass does not ask again.
TEST_F(PassTest, ConfirmedAddressIsUsedWithoutAnotherLookUp) {
    chain.ledger.fund(receive_address, 50000);
    FakePaymail paymail;
    serve_fake_paymail(chain.platform, paymail);
    const TestKey other = test_key_from_byte(0x42);
    paymail.set(&FakePaymailTables::address, "carol@kestrava.net", json_reply({{"ordAddress", other.address}}));

    const std::string result =
        art_pass_send(art, cert, "carol@kestrava.net", record, kTitleWatchAddress, recipient.address);
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    EXPECT_EQ(chain.platform.request_count("/api/bsvalias/address/"), 0);
    LedgerTx tx;
    ASSERT_TRUE(chain.ledger.find_tx(result.substr(9), tx));
    ASSERT_GE(tx.outputs.size(), 2u);
    EXPECT_EQ(tx.outputs[0].script, p2pkh_script(recipient.hash));
    EXPECT_EQ(tx.outputs[1].script, p2pkh_script(recipient.hash));
    std::string inbox;
    EXPECT_TRUE(read_file_text(ord_inbox_path(recipient.hash), inbox));
}

TEST_F(PassTest, RefusalsBeforeAnyCoinMoves) {
    chain.ledger.fund(receive_address, 50000);
    GalleryReserve hanging;
    hanging.pic_utxo = normalize_reserve_outpoint(art);
    hanging.cert_utxo = normalize_reserve_outpoint(cert);
    struct Row {
        const char* name;
        std::string pic, cert, record, otx;
        bool hang;
        const char* expected;
    } rows[] = {
        {"empty record", art, cert, "", kTitleWatchAddress, false, "error: empty art title payload."},
        {"no watch", art, cert, record, "", false,
         "error: OTX watch is not assigned yet. Create it in Cofferly, then pin it."},
        {"one coin twice", art, upper_copy(art), record, kTitleWatchAddress, false,
         "error: picture and certificate must be two different origins."},
        {"coin not held", art, hex_id('c') + "_0", record, kTitleWatchAddress, false,
         "error: this wallet does not hold both the picture and the certificate."},
        {"hanging in the gallery", art, cert, record, kTitleWatchAddress, true,
         "error: this artwork is on display in the Gallery. Remove it there first."},
        {"bad watch", art, cert, record, "1nope", false, "error: OTX address decode failed."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(
            save_gallery_reserves(row.hang ? std::vector<GalleryReserve>{hanging} : std::vector<GalleryReserve>{}));
        EXPECT_EQ(art_pass_send(row.pic, row.cert, recipient.address, row.record, row.otx), row.expected);
    }
    EXPECT_TRUE(chain.ledger.mempool_txids().empty());
}

// Every attempt meets a funding coin that a transaction the services do not show yet has spent.
TEST_F(PassTest, ConflictOnEveryAttemptEndsAfterThreeAndKeepsTheSpentMarks) {
    const TestKey payer = test_receive_key(0);
    std::vector<std::string> funded;
    for (std::uint64_t sats : {30000u, 20000u, 10000u})
        funded.push_back(chain.ledger.fund(receive_address, sats));
    chain.ledger.set_lag(100000);
    for (std::size_t i = 0; i < funded.size(); ++i) {
        LedgerOutput prev;
        ASSERT_TRUE(chain.ledger.find_output(funded[i], 0, prev, false));
        std::vector<TxInput> ins(1);
        ins[0].txid = funded[i];
        ins[0].sats = prev.sats;
        ins[0].prev_script = prev.script;
        std::vector<TxOutput> outs{{prev.sats, p2pkh_script(payer.hash)}};
        ASSERT_TRUE(sign_tx_input(ins[0], ins, outs, payer.hash, payer.priv, payer.pub));
        std::string reason;
        ASSERT_TRUE(chain.ledger.accept(serialize_tx(ins, outs, false), reason)) << reason;
    }
    EXPECT_EQ(pass(), "error: broadcast failed after retry.");
    WalletLock lock = lock_wallet();
    for (const std::string& txid : funded)
        EXPECT_TRUE(is_outpoint_spent(txid, 0)) << txid;
}
