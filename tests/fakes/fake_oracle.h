// The platform's oracle index over the test's one ledger: the transaction ids listed under a
// watch key ("/oi/oracle/<key>/txids", 2000 a page by limit and offset) and each ledger
// transaction in WhatsOnChain's JSON form ("/oi/tx/<txid>", 404 when unknown). FakeChain serves
// it on its platform server from the start; a key with nothing listed answers an empty list.
#pragma once

#include "fakes/fake_chain.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// Adds the index's routes to the chain's platform server. FakeChain's constructor calls it; the
// identity oracle's own "/oi/oracle/ident/txids" route, added earlier, keeps answering for "ident".
void add_oracle_index_routes(FakeChain& chain);

// Lists a transaction id under the watch key, after those listed before; the id is stored as
// given, so tests can list ids of any form.
void fake_oracle_list(FakeChain& chain, const std::string& watch_key, const std::string& txid);

// The record signed over its canonical text by the key of 32 bytes of `key_fill`, with libsecp256k1
// under the signed-message digest: `pubkey` and `sig` set, every other key as given.
nlohmann::json fake_signed_record(nlohmann::json msg, std::uint8_t key_fill);

// Puts a transaction on the ledger that pays `sats` to the address and carries the record's
// compact JSON in an OP_FALSE OP_RETURN output after it, mined in a block of its own or, unless
// `mined`, waiting in the mempool behind what waits there already; returns its id ("" when refused).
std::string fake_post_record(FakeChain& chain, const std::string& address, const nlohmann::json& msg,
                             std::uint64_t sats = 1, bool mined = true);
