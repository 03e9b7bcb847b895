#include "art/offer_tx.h"

#include "art/art_pass.h"
#include "chain/inscription.h"
#include "chain/reserves.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "fakes/registry_fixture.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The buyer and the owner share the test wallet here: the buyer's coins sit at its receive address,
// the frame coins at its ordinals address, which the buyer's coin collection never spends.
struct OfferTest : FakeChainTest {
    const TestKey seller = test_key_from_byte(0x31), fee = test_key_from_byte(0x32),
                  stranger = test_key_from_byte(0x33);
    const std::string record = R"({"protocol":"KV-Art","type":"art_owner"})";
    std::string receive_address, ord_address;
    Hash160 ord_hash{};

    OfferTest() {
        use_test_hd_wallet("offer test", {0, 1, 0, 0, 0, 0});
        WalletLock lock = lock_wallet();
        receive_address = kv_wallet().address;
        ord_address = derive_ordinals_key();
        ord_hash = test_hash_of(ord_address);
    }

    // The artwork carries its inscription; the certificate is a bare 1-sat coin.
    std::pair<std::string, std::string> frame_coins(const TestKey* holder = nullptr) {
        const Hash160 hash = holder ? holder->hash : ord_hash;
        const std::string pic = fake_inscribe(chain, hash, "image/png", "png-bytes");
        const std::string cert = chain.ledger.fund(holder ? holder->address : ord_address, 1) + "_0";
        return {pic, cert};
    }

    std::string build(const std::pair<std::string, std::string>& coins, std::int64_t price, std::int64_t split) {
        return gallery_offer_build(coins.first, coins.second, price, seller.address, fee.address, split, kTitleWatch(),
                                   record);
    }
    static std::string kTitleWatch() { return test_key_from_byte(0x34).address; }

    // Spends a 1-sat coin of `key` back to it with a transaction of its own.
    std::string spend_coin(const std::string& outpoint, const TestKey& key) {
        std::string txid;
        std::uint32_t vout = 0;
        EXPECT_TRUE(parse_outpoint(outpoint, txid, vout));
        LedgerOutput prev;
        EXPECT_TRUE(chain.ledger.find_output(txid, vout, prev));
        std::vector<TxInput> ins(1);
        ins[0].txid = txid;
        ins[0].vout = vout;
        ins[0].sats = prev.sats;
        ins[0].prev_script = prev.script;
        std::vector<TxOutput> outs{{prev.sats, p2pkh_script(key.hash)}};
        EXPECT_TRUE(sign_tx_input(ins[0], ins, outs, key.hash, key.priv, key.pub));
        std::string reason, spender;
        EXPECT_TRUE(chain.ledger.accept(serialize_tx(ins, outs, false), reason, &spender)) << reason;
        return spender;
    }
};

bool parse_hex_tx(const std::string& hex, std::vector<TxInput>& inputs, std::vector<TxOutput>& outputs) {
    return parse_raw_tx(from_hex(hex), inputs, outputs);
}

} // namespace

// The buyer signs only its own coins; the owner's signatures on the frame coins complete a
// transaction the ledger accepts, and a second completion reports the same sale.
TEST_F(OfferTest, BuyerSignsItsCoinsAndOwnerCompletes) {
    chain.ledger.fund(receive_address, 200000);
    const auto coins = frame_coins();
    const std::string offer = build(coins, 5000, 100);
    ASSERT_EQ(offer.rfind("error", 0), std::string::npos) << offer;

    std::vector<TxInput> ins;
    std::vector<TxOutput> outs;
    ASSERT_TRUE(parse_hex_tx(offer, ins, outs));
    ASSERT_GE(ins.size(), 3u);
    EXPECT_TRUE(ins[0].script_sig.empty());
    EXPECT_TRUE(ins[1].script_sig.empty());
    Bytes sale_script{0x00, 0x6a};
    append_push_data(sale_script, reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
    const std::vector<std::pair<Bytes, std::uint64_t>> expected = {{p2pkh_script(ord_hash), 1},
                                                                   {p2pkh_script(ord_hash), 1},
                                                                   {p2pkh_script(fee.hash), 100},
                                                                   {p2pkh_script(seller.hash), 4900},
                                                                   {p2pkh_script(test_hash_of(kTitleWatch())), 1},
                                                                   {sale_script, 0}};
    ASSERT_EQ(outs.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(outs[i].script, expected[i].first);
        EXPECT_EQ(outs[i].sats, expected[i].second);
    }
    EXPECT_EQ(outs.back().script, p2pkh_script(test_hash_of(receive_address)));

    std::vector<std::string> locks;
    ASSERT_TRUE(load_offer_locks(locks));
    for (std::size_t i = 2; i < ins.size(); ++i)
        EXPECT_NE(std::find(locks.begin(), locks.end(), reserve_key(ins[i].txid, ins[i].vout)), locks.end());
    EXPECT_FALSE(offer_payment_spent(offer));

    // Spaces and capitals are only dress: the hex digits are the offer.
    std::string dressed = " " + upper_copy(offer.substr(0, 40)) + " \n" + offer.substr(40);
    const std::string done = gallery_complete_sign_send(dressed, coins.first);
    ASSERT_EQ(done.rfind("success: ", 0), 0u) << done;
    const std::string sale_txid = done.substr(9);
    LedgerTx sale;
    ASSERT_TRUE(chain.ledger.find_tx(sale_txid, sale));
    EXPECT_EQ(chain.ledger.spender_of(ins[2].txid, ins[2].vout), sale_txid);

    EXPECT_EQ(gallery_complete_sign_send(offer, coins.first), done);
    EXPECT_TRUE(offer_payment_spent(offer));
}

TEST_F(OfferTest, BuildRefusalsInTheirOrder) {
    chain.ledger.fund(receive_address, 200000);
    const auto coins = frame_coins();
    const auto spent = frame_coins(&stranger);
    spend_coin(spent.second, stranger);
    const std::string colon = coins.first.substr(0, 64) + ":0";
    struct Row {
        const char* name;
        std::string pic, cert, pay;
        std::int64_t price, split;
        std::string record;
        const char* expected;
    } rows[] = {
        {"empty record", coins.first, coins.second, seller.address, 5000, 0, "", "error: empty sale record."},
        {"no price", coins.first, coins.second, seller.address, 0, 0, record, "error: that frame has no price."},
        {"split is the price", coins.first, coins.second, seller.address, 50, 50, record,
         "error: the sale split does not fit the price."},
        {"negative split", coins.first, coins.second, seller.address, 50, -1, record,
         "error: the sale split does not fit the price."},
        {"colon coin", colon, coins.second, seller.address, 50, 1, record, "error: the frame coins are not named yet."},
        {"unknown coin", hex_id('e') + "_0", coins.second, seller.address, 50, 1, record,
         "error: artwork coin: could not load that outpoint from the chain yet. Wait a few seconds."},
        {"spent coin", spent.first, spent.second, seller.address, 50, 1, record,
         "error: one of those coins was already spent."},
        {"bad seller", coins.first, coins.second, "1nope", 50, 1, record,
         "error: seller payment address is not a 1… longcode."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(gallery_offer_build(row.pic, row.cert, row.price, row.pay, fee.address, row.split, kTitleWatch(),
                                      row.record),
                  row.expected);
    }
    std::vector<std::string> locks;
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_TRUE(locks.empty());
}

// A split of 0 leaves the fee output out; the seller's output moves up to third place.
TEST_F(OfferTest, ZeroSplitHasNoFeeOutput) {
    chain.ledger.fund(receive_address, 200000);
    const std::string offer = build(frame_coins(), 49, 0);
    std::vector<TxInput> ins;
    std::vector<TxOutput> outs;
    ASSERT_TRUE(parse_hex_tx(offer, ins, outs)) << offer;
    ASSERT_GE(outs.size(), 5u);
    EXPECT_EQ(outs[2].script, p2pkh_script(seller.hash));
    EXPECT_EQ(outs[2].sats, 49u);
}

// A sale spends both frame coins in one transaction (the earlier completion is covered above); any
// other way of moving them is a refusal, even when one of them still stands.
TEST_F(OfferTest, CompletionAfterFrameCoinsMovedElsewhere) {
    const TestKey owner = test_key_from_byte(0x35);
    struct Row {
        const char* name;
        bool cert_moved;
    } rows[] = {{"by two transactions", true}, {"only the artwork", false}};
    // One coin per offer, all funded before the first refresh reads the address.
    for (std::size_t i = 0; i < std::size(rows); ++i)
        chain.ledger.fund(receive_address, 200000);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto coins = frame_coins(&owner);
        const std::string offer = build(coins, 5000, 100);
        ASSERT_EQ(offer.rfind("error", 0), std::string::npos) << offer;
        spend_coin(coins.first, owner);
        if (row.cert_moved) spend_coin(coins.second, owner);
        EXPECT_EQ(gallery_complete_sign_send(offer, coins.first), "error: one of the artwork coins was already spent.");
    }
}

TEST_F(OfferTest, OwnerWithoutTheFrameKeySendsNothing) {
    chain.ledger.fund(receive_address, 200000);
    const std::string offer = build(frame_coins(&stranger), 5000, 100);
    ASSERT_EQ(offer.rfind("error", 0), std::string::npos) << offer;
    const std::size_t before = chain.ledger.mempool_txids().size();
    EXPECT_EQ(gallery_complete_sign_send(offer, "x"), "error: this wallet does not hold an unsigned artwork input.");
    EXPECT_EQ(chain.ledger.mempool_txids().size(), before);
}

TEST_F(OfferTest, PaymentSpentOnlyWhenTheBuyerCoinIsKnownSpent) {
    chain.ledger.fund(receive_address, 200000);
    const std::string offer = build(frame_coins(), 5000, 100);
    std::vector<TxInput> ins;
    std::vector<TxOutput> outs;
    ASSERT_TRUE(parse_hex_tx(offer, ins, outs)) << offer;

    chain.woc.set_fault("/v1/bsv/main/tx/", FakeFault{500});
    EXPECT_FALSE(offer_payment_spent(offer));
    chain.woc.clear_faults();
    spend_coin(reserve_key(ins[2].txid, ins[2].vout), test_receive_key(0));
    EXPECT_TRUE(offer_payment_spent(offer));
    EXPECT_EQ(gallery_complete_sign_send(offer, "x"),
              "error: that payment was already spent. The buyer has to pay once more.");
}

// The owner signs whatever the buyer wrote, so only an offer that is exactly the agreed sale may
// reach the signing.
TEST_F(OfferTest, OwnerSignsOnlyTheAgreedSale) {
    chain.ledger.fund(receive_address, 200000);
    const auto coins = frame_coins();
    const std::string offer = build(coins, 5000, 100);
    std::vector<TxInput> ins;
    std::vector<TxOutput> outs;
    ASSERT_TRUE(parse_hex_tx(offer, ins, outs)) << offer;

    const auto with_outputs = [&ins](std::vector<TxOutput> changed) {
        return to_hex(serialize_tx(ins, changed, false));
    };
    std::vector<TxOutput> underpaid = outs, extra = outs, no_change = outs;
    underpaid[3].sats = 1;
    extra.push_back(outs.back());
    no_change.pop_back();
    std::vector<TxInput> extra_unsigned = ins;
    extra_unsigned.push_back(ins[1]);
    extra_unsigned.back().vout += 7;
    const std::string extra_hex = to_hex(serialize_tx(extra_unsigned, outs, false));
    const SaleTerms sale{coins.first, coins.second,  5000,        100,   seller.address,
                         fee.address, kTitleWatch(), ord_address, record};
    const auto terms = [&sale](auto change) {
        SaleTerms t = sale;
        change(t);
        return t;
    };
    struct Row {
        const char* name;
        std::string offer;
        SaleTerms terms;
        bool ok;
    } rows[] = {
        {"the offer as built", offer, sale, true},
        {"without change", with_outputs(no_change), sale, true},
        {"an ask without address", offer, terms([](SaleTerms& t) { t.buyer_ord.clear(); }), true},
        {"a higher price", offer, terms([](SaleTerms& t) { t.price = 6000, t.split = 120; }), false},
        {"another seller", offer, terms([this](SaleTerms& t) { t.pay_address = stranger.address; }), false},
        {"another fee address", offer, terms([this](SaleTerms& t) { t.fee_address = stranger.address; }), false},
        {"another title record", offer, terms([](SaleTerms& t) { t.title_json += " "; }), false},
        {"coins to another address", offer, terms([this](SaleTerms& t) { t.buyer_ord = stranger.address; }), false},
        {"coins swapped", offer, terms([&coins](SaleTerms& t) { std::swap(t.pic_coin, t.cert_coin); }), false},
        {"seller output cut", with_outputs(underpaid), sale, false},
        {"an output after the change", with_outputs(extra), sale, false},
        {"another unsigned input", extra_hex, sale, false},
        {"truncated", offer.substr(0, offer.size() / 2), sale, false},
        {"unnamed frame coin", offer, terms([](SaleTerms& t) { t.pic_coin.clear(); }), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(offer_matches_sale(row.offer, row.terms), row.ok);
    }
}

// The buyer's coins must be the buyer's to spend: a garbage or foreign unlocking script, a coin
// spent twice or already spent, or inputs short of the outputs make an offer no sale.
TEST_F(OfferTest, OfferInputsMustBeTheBuyersSignedCoins) {
    chain.ledger.fund(receive_address, 200000);
    const std::string offer = build(frame_coins(), 5000, 100);
    std::vector<TxInput> ins;
    std::vector<TxOutput> outs;
    ASSERT_TRUE(parse_hex_tx(offer, ins, outs)) << offer;
    std::string error;
    EXPECT_TRUE(offer_inputs_valid(offer, error)) << error;

    const auto changed = [&](auto change) {
        std::vector<TxInput> i = ins;
        std::vector<TxOutput> o = outs;
        change(i, o);
        return to_hex(serialize_tx(i, o, false));
    };
    // The same coin signed by another key: the stranger's key does not own it.
    std::vector<TxInput> resigned = ins;
    ASSERT_TRUE(sign_tx_input(resigned[2], resigned, outs, stranger.hash, stranger.priv, stranger.pub));
    struct Row {
        const char* name;
        std::string offer;
    } rows[] = {
        {"garbage unlocking script", changed([](auto& i, auto&) { i[2].script_sig = Bytes(72, 0x51); })},
        {"signed by another key", changed([&](auto& i, auto&) { i[2].script_sig = resigned[2].script_sig; })},
        {"signature over other outputs", changed([](auto&, auto& o) { o.back().sats -= 1; })},
        {"a coin twice", changed([](auto& i, auto&) { i.push_back(i[2]); })},
        {"outputs above the inputs", changed([](auto&, auto& o) { o.back().sats += 1000000; })},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(offer_inputs_valid(row.offer, error));
    }
    spend_coin(reserve_key(ins[2].txid, ins[2].vout), test_receive_key(0));
    EXPECT_FALSE(offer_inputs_valid(offer, error));
    EXPECT_EQ(error, "a buyer coin is already spent");
}
