#include "fakes/registry_fixture.h"

#include "art/art_records.h"
#include "art/gallery_sale.h"
#include "chain/inscription.h"
#include "chain/sign.h"
#include "identity/identity_lookup.h"

#include <gtest/gtest.h>

FakeIdentityTest::FakeIdentityTest() {
    serve_fake_identity(chain.platform, ids);
    clear_identity_cache();
}

FakeIdentityTest::~FakeIdentityTest() {
    clear_identity_cache();
}

std::string fake_inscribe(FakeChain& chain, const Hash160& owner, const std::string& content_type,
                          const std::string& body, const std::string& metadata) {
    const Bytes script = build_inscription_script(owner, content_type, Bytes(body.begin(), body.end()), metadata, "");
    return chain.ledger.fund_outputs({{script, 1}}) + "_0";
}

nlohmann::json fake_art_record(const std::string& type, const std::string& name, const nlohmann::json& ts,
                               const nlohmann::json& fields) {
    nlohmann::json msg = {{"protocol", "KV-Art"}, {"type", type},  {"location", "art"},
                          {"handle", name},       {"actor", name}, {"ts", ts}};
    for (const auto& item : fields.items())
        msg[item.key()] = item.value();
    return msg;
}

std::string fake_send(FakeChain& chain, const std::vector<KeyedCoin>& inputs, const std::vector<TxOutput>& outputs) {
    std::vector<TxInput> ins;
    for (const KeyedCoin& coin : inputs) {
        LedgerOutput prev;
        EXPECT_TRUE(chain.ledger.find_output(coin.txid, coin.vout, prev, false)) << coin.txid << ":" << coin.vout;
        TxInput in;
        in.txid = coin.txid;
        in.vout = coin.vout;
        in.sats = prev.sats;
        in.prev_script = prev.script;
        ins.push_back(in);
    }
    for (std::size_t i = 0; i < ins.size(); ++i) {
        const TestKey& key = inputs[i].key;
        EXPECT_TRUE(sign_tx_input(ins[i], ins, outputs, key.hash, key.priv, key.pub));
    }
    std::string reason, txid;
    if (!chain.ledger.accept(serialize_tx(ins, outputs, false), reason, &txid)) {
        ADD_FAILURE() << "the ledger refused the transaction: " << reason;
        return "";
    }
    return txid;
}

TxOutput fake_record_output(const nlohmann::json& msg) {
    const std::string text = msg.dump();
    TxOutput out;
    out.script = {0x00, 0x6a};
    append_push_data(out.script, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return out;
}

namespace {

TxOutput pay_address(const std::string& address, std::uint64_t sats) {
    Hash160 hash{};
    EXPECT_TRUE(address_to_hash160(address, hash)) << address;
    return {sats, p2pkh_script(hash)};
}

} // namespace

std::string fake_pair_tx(FakeChain& chain, const TestKey& payer, const nlohmann::json& record) {
    const KeyedCoin funds{chain.ledger.fund(payer.address, 10000), 0, payer};
    return fake_send(chain, {funds},
                     {pay_address(kPairWatchAddress, 1), pay_address(kTitleWatchAddress, 1), fake_record_output(record),
                      pay_address(payer.address, 9000)});
}

std::string fake_pass_tx(FakeChain& chain, const KeyedCoin& art, const KeyedCoin& cert, const std::string& to_address,
                         const nlohmann::json& record) {
    const KeyedCoin funds{chain.ledger.fund(art.key.address, 10000), 0, art.key};
    return fake_send(chain, {art, cert, funds},
                     {pay_address(to_address, 1), pay_address(to_address, 1), pay_address(kTitleWatchAddress, 1),
                      fake_record_output(record), pay_address(art.key.address, 9000)});
}

std::string fake_sale_tx(FakeChain& chain, const KeyedCoin& art, const KeyedCoin& cert, const std::string& to_address,
                         std::int64_t price, const nlohmann::json& record) {
    const std::uint64_t split = static_cast<std::uint64_t>(gallery_sale_split(price));
    const KeyedCoin funds{chain.ledger.fund(art.key.address, static_cast<std::uint64_t>(price) + 10000), 0, art.key};
    return fake_send(
        chain, {art, cert, funds},
        {pay_address(to_address, 1), pay_address(to_address, 1), pay_address(kGallerySaleFeeAddress, split),
         pay_address(art.key.address, static_cast<std::uint64_t>(price) - split), pay_address(kTitleWatchAddress, 1),
         fake_record_output(record), pay_address(art.key.address, 9000)});
}
