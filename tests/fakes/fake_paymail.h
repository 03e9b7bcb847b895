// The platform host's paymail routes and the local bsvalias service, answered from tables that a
// test fills. The claim route checks each claim's signature with libsecp256k1 against the text it
// rebuilds itself, and keeps the claims it accepted.
//
//   FakePaymail paymail;
//   serve_fake_paymail(chain.platform, paymail);   // "/api/paymail/..." and "/api/bsvalias/address/"
//   ServiceSettings s = settings_for(chain); s.local_bsvalias_base = paymail.local.base_url();
#pragma once

#include "fakes/fake_server.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct FakePaymailTables {
    std::mutex mutex;
    // Replies by the last path part (the key or the paymail); a missing entry answers 404.
    std::map<std::string, FakeResponse> quota;         // "/api/paymail/quota/<pubkey>"
    std::map<std::string, FakeResponse> address;       // "/api/bsvalias/address/<paymail>" on the platform
    std::map<std::string, FakeResponse> local_address; // the same path on the local service
    std::map<std::string, FakeResponse> labels;        // "/api/paymail/labels/<pubkey>"
    std::map<std::string, FakeResponse> identity;      // "/api/paymail/identity/<pubkey>"
    // When set, every claim gets this answer instead of the signature check.
    std::unique_ptr<FakeResponse> claim_reply;
    // Bodies of the claims answered 200, in order.
    std::vector<nlohmann::json> claims;
};

struct FakePaymail {
    FakeServer local; // stands in for the local bsvalias service
    std::shared_ptr<FakePaymailTables> tables = std::make_shared<FakePaymailTables>();

    FakePaymail();
    // Table setters under the tables' mutex.
    void set(std::map<std::string, FakeResponse> FakePaymailTables::*table, const std::string& key,
             const FakeResponse& reply);
    void set_claim_reply(const FakeResponse& reply);
    std::vector<nlohmann::json> claims() const;
};

// Registers the paymail routes on the platform server; they answer from the paymail's tables.
void serve_fake_paymail(FakeServer& platform, FakePaymail& paymail);
