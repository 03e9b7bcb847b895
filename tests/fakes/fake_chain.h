// The chain services of a test over one ledger: a WhatsOnChain fake (listings, transactions,
// spenders, history, bulk balances, broadcast), an ARC fake ("/v1/tx") and the platform host's
// submit ("/oi/submit"). A transaction broadcast to any of them moves coins in the one ledger.
// Faults (slow, 429, failing, HTML, bad JSON) come from each FakeServer; lag from the ledger.
#pragma once

#include "fakes/fake_server.h"
#include "fakes/ledger.h"
#include "wallet/settings.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

// Path prefix of every WhatsOnChain route, as the product's base URL ends.
constexpr const char* kWocPrefix = "/v1/bsv/main";

struct FakeChain {
    Ledger ledger; // declared first: the servers' handlers use it until the servers stop
    FakeServer woc;
    FakeServer arc;
    FakeServer platform;
    // Outputs per page of "/address/<address>/unspent/all".
    std::atomic<int> woc_page_size{100};

    // Body of the platform's oracle index "/oi/oracle/ident/txids"; an empty text answers 404.
    void set_oracle_txids_reply(const std::string& body);
    std::string oracle_txids_reply();

    // Faults of the mined address history: it lists newest first whatever a query asks (from the
    // tip down, ignoring the starting block), and it lists an id at another height than its own
    // (-1 leaves it out, as a lagging index does; 0 gives it back its own).
    std::atomic<bool> history_newest_first{false};
    void set_history_height(const std::string& txid, std::int64_t height);
    // The height set for the id, or 0 when none.
    std::int64_t history_height(const std::string& txid);
    // Faults of the chain route and the transaction index: "/chain/info" names this tip (0: the
    // ledger's), and the copy of an id set here shows no block, as an index lagging the history's.
    std::atomic<std::int64_t> claimed_tip{0};
    void set_copy_unmined(const std::string& txid, bool unmined);
    // A fault of the spend index: spends by this transaction are not listed yet (the output reads
    // unspent), as an index lagging the history's.
    void set_spends_unlisted(const std::string& txid, bool unlisted);
    bool spends_unlisted(const std::string& txid);
    // The transaction's copy as "/tx/<txid>" and the bulk read give it.
    nlohmann::json tx_copy(const LedgerTx& tx);

    FakeChain();
    FakeChain(const FakeChain&) = delete;
    FakeChain& operator=(const FakeChain&) = delete;

private:
    std::mutex oracle_mutex_;
    std::string oracle_txids_ = R"({"txids":[]})";
    std::map<std::string, std::int64_t> history_heights_;
    std::set<std::string> unmined_copies_;
    std::set<std::string> unlisted_spends_;
};

// Settings that point every service at the fakes; GorillaPool at a path no fake serves, so nothing
// leaves the loopback host. The program does not pace itself against the fakes (see
// limit_woc_to_free_rate).
ServiceSettings settings_for(const FakeChain& chain);

// WhatsOnChain's free rate as the end-to-end tests meet it: the fake refuses past three requests a
// second with 429 and Retry-After, and the program paces itself as shipped. Changes the settings in
// force.
constexpr double kWocFreeRate = 3;
void limit_woc_to_free_rate(FakeChain& chain);

// Installs settings for the life of the object and restores the previous ones afterwards.
struct ScopedServiceSettings {
    explicit ScopedServiceSettings(const ServiceSettings& settings);
    ~ScopedServiceSettings();
    ScopedServiceSettings(const ScopedServiceSettings&) = delete;
    ScopedServiceSettings& operator=(const ScopedServiceSettings&) = delete;
    ServiceSettings saved;
};

// A transaction as WhatsOnChain's "/tx/<txid>" shows it: vin, vout with "value" in BSV and
// "scriptPubKey" (hex, type, addresses), block height and confirmations.
nlohmann::json woc_tx_document(const LedgerTx& tx, std::int32_t tip);
