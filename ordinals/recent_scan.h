// Token and credential sources of the ordinal listing beside GorillaPool's address listing: the
// outputs of GorillaPool's token reply, bsv-20 transfers still standing in the recent
// WhatsOnChain history of the watch addresses, and identity credentials issued to the wallet.
#pragma once

#include "ordinals/gp_tokens.h"
#include "ordinals/ord_row.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

// The platform identity oracle's watch address: credentials it issues are inscribed from it.
constexpr const char* kIdentityOracleAddress = "1Bb8RPBWBRMoQDkzduNgXRUGbEX6qExt8c";

// Most transactions read per watch address in the recent scan, and in the identity scan.
constexpr std::size_t kRecentTxMax = 24;
constexpr std::size_t kOracleTxMax = 12;

// Appends a LocalOrd for every unspent element of the lookup address's token reply (an array;
// anything else adds nothing), remembering its amount with index_token_outpoint and caching the
// inscription its script carries.
void parse_gp_txo(const AddressTxoLookup& lookup, const nlohmann::json& reply, std::vector<LocalOrd>& out);

// Shared state of the recent scan's worker bodies; `records` is guarded by `mutex`.
struct RecentScanContext {
    std::vector<std::string> addresses;
    std::vector<Hash160> watch_hashes; // hash160s of the addresses that decode
    std::mutex mutex;
    std::vector<LocalOrd> records;
};

// Appends the bsv-20 inscriptions of the last transactions of every address that pay any of the
// addresses, in no fixed order across addresses. False when WhatsOnChain answered for none of them.
bool ingest_woc_recent_ords(const std::vector<std::string>& addresses, std::vector<LocalOrd>& out);

// Scans the address at `index` of the context and appends its records under the context's mutex.
void ingest_woc_recent_ords_worker(RecentScanContext& context, std::uint64_t index);

// Replaces `rows` with one row per identity credential of the oracle that pays a watch address.
// False when the platform's index of the oracle did not answer, 404 aside (the rows then come
// from WhatsOnChain's alone); true, too, for no addresses, when nothing is asked.
bool ingest_oracle_ident_records(const std::vector<std::string>& addresses, std::vector<KvCofferlyOrdRow>& rows);

// Adds the 64-hex ids (lower-cased, each once) of an object's "txids" or else "result" array
// until kOracleTxMax are held; any other shape adds nothing.
void parse_txid_list(const nlohmann::json& reply, std::vector<std::string>& ids, std::unordered_set<std::string>& seen);
