// What the registry's service tests share: the platform's identity route answered from a table,
// and the unsigned records that tests sign and post at a watch.
#pragma once

#include "chain/tx.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_identity.h"
#include "support/wallet_fixture.h"
#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// A chain test with the identity route served. The identity cache is process-wide, so it is
// emptied before and after each test: no key found in one test answers in the next.
struct FakeIdentityTest : FakeChainTest {
    FakeIdentity ids;

    FakeIdentityTest();
    ~FakeIdentityTest() override;
};

// Mines a 1-sat inscription of the body for `owner`, with the metadata script text as
// build_inscription_script takes it; returns its origin "<txid>_0".
std::string fake_inscribe(FakeChain& chain, const Hash160& owner, const std::string& content_type,
                          const std::string& body, const std::string& metadata = "");

// A "KV-Art" record of `type` by `name` (its handle and actor) at `ts` (any JSON, so tests can
// give malformed times), with `fields` added over those.
nlohmann::json fake_art_record(const std::string& type, const std::string& name, const nlohmann::json& ts,
                               const nlohmann::json& fields = nlohmann::json::object());

// A ledger coin and the key that unlocks it.
struct KeyedCoin {
    std::string txid;
    std::uint32_t vout = 0;
    TestKey key;
};

// Signs every input with its own key and hands the transaction to the ledger (the mempool); its
// id, or "" with a test failure when the ledger refuses it.
std::string fake_send(FakeChain& chain, const std::vector<KeyedCoin>& inputs, const std::vector<TxOutput>& outputs);

// The output that carries a record: OP_FALSE OP_RETURN and one push of the record's compact JSON.
TxOutput fake_record_output(const nlohmann::json& msg);

// A pair transaction as the pair sender lays it out, paid from a fresh coin of `payer`: 1 sat to
// each registry watch, the signed record, change. Its id.
std::string fake_pair_tx(FakeChain& chain, const TestKey& payer, const nlohmann::json& record);

// A pass as the pass action lays it out: both coins to `to_address`, 1 sat to the title watch, the
// signed record after OP_FALSE OP_RETURN, change; paid from a fresh coin of the artwork coin's
// holder. Its id; the coins are then its outputs 0 and 1.
std::string fake_pass_tx(FakeChain& chain, const KeyedCoin& art, const KeyedCoin& cert, const std::string& to_address,
                         const nlohmann::json& record);
// A completed gallery sale at a price of 50 sats or more, as the offer lays it out: both coins to
// `to_address`, the sale fee, the price less the fee to the coins' holder, 1 sat to the title
// watch, the record, change.
std::string fake_sale_tx(FakeChain& chain, const KeyedCoin& art, const KeyedCoin& cert, const std::string& to_address,
                         std::int64_t price, const nlohmann::json& record);
