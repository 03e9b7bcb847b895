// GorillaPool's 1Sat ordinals API over the test's one ledger: the txos of an address and of one
// outpoint with their inscription data (origin, content type, MAP attributes, token data), the
// unspent bsv-20 outputs of an address, token information by id, and each inscription's content
// by origin. Inscriptions are read from the output scripts by the fake's own small reader, apart
// from the product's parser. Faults come from the FakeServer, lag from the ledger.
#pragma once

#include "fakes/fake_chain.h"
#include "fakes/fake_server.h"
#include "fakes/ledger.h"
#include "wallet/settings.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>

// Every route of the fake lives under this prefix, as the product's API base ends; content is
// served at the host's root ("/content/<origin>") and under "/api/files/inscriptions/<origin>".
constexpr const char* kGorillaPoolApi = "/api";

struct FakeGorillaPool {
    Ledger& ledger; // outlives the server: the server is declared after it and stops first
    FakeServer server;

    explicit FakeGorillaPool(Ledger& chain_ledger);
    FakeGorillaPool(const FakeGorillaPool&) = delete;
    FakeGorillaPool& operator=(const FakeGorillaPool&) = delete;

    std::string api_base() const; // base_url() + "/api"
};

// Settings that point every service at the fakes, GorillaPool included.
ServiceSettings settings_for(const FakeChain& chain, const FakeGorillaPool& gorillapool);

// What the fake reads out of a locking script: an "ord" envelope after or before a P2PKH lock,
// and the MAP "SET" pairs that may follow it.
struct FakeInscription {
    bool found = false;
    std::string content_type;
    Bytes body;
    std::string metadata;
    std::map<std::string, std::string> map;
    std::string owner; // P2PKH address of the lock; empty when there is none
};

FakeInscription fake_read_inscription(const Bytes& script);

// The P2PKH address a script is locked to: a bare P2PKH, or one before or after an envelope.
std::string fake_script_owner(const Bytes& script);

// The txo record GorillaPool gives for one ledger output.
nlohmann::json fake_txo_document(const Ledger& ledger, const LedgerOutput& output);
