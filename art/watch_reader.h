// Reading a watch address: the transaction ids that paid it (the platform's oracle index, then
// WhatsOnChain's address histories), each transaction fetched afresh and its verified "KV-Art"
// record kept. No cache and no shared state: the gallery reads its frames on many threads at once.
// Slow; worker threads only.
#pragma once

#include "art/art_records.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One HTTPS GET whose whole body must be JSON, sent with the given user agent (the gallery names
// itself apart), on the pooled connections and at the host's pace. True on status 200-299 with a
// body that parses; `out` is null on every failure. A 429 is asked again as http_get does.
bool http_get_json(const std::string& url, nlohmann::json& out, std::int32_t timeout_s,
                   const std::string& user_agent = "Kestrava-Art/1");

// Every transaction id listed for the watch. False with "watch address is not assigned" for an
// empty address, or with "OI <key> missed and WhatsOnChain missed" when no source answered and
// nothing was found. `whole`, when given, tells whether a source was read to its end rather than
// cut at a page bound or a failure. `heights`, when given, receives the block height WhatsOnChain's
// histories list for each id they list mined; ids they list unconfirmed or not at all have none.
bool fetch_address_txids(const std::string& watch_key, const std::string& watch_address,
                         std::vector<std::string>& txids, std::string& error, bool* whole = nullptr,
                         std::map<std::string, std::int64_t>* heights = nullptr);

// The transaction as JSON: the oracle index's copy when it carries a record, else WhatsOnChain's.
bool fetch_tx_json(const std::string& txid, nlohmann::json& out);

// The text of a watch read that listed transactions it could not fetch.
constexpr const char* kWatchRecordsUnread = "Some records could not be read. Try again.";

// The records with a positive time at the watch whose signature verifies under the key they carry
// (no paymail is asked), ordered by time then transaction id. Neither the record type nor the
// watch payment is checked: callers apply their own rules. False when the listing fails (its
// error text), or with kWatchRecordsUnread and the records that were read when a listed
// transaction could not be fetched. `whole` as for fetch_address_txids. With a positive
// `mined_by`, transactions WhatsOnChain's histories list in a later block are neither fetched nor
// kept; those with no listed height are read as always.
bool scan_watch_messages(const std::string& watch_key, const std::string& watch_address,
                         std::vector<WatchRecord>& records, std::string& error, bool* whole = nullptr,
                         std::int64_t mined_by = 0);
