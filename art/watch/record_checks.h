// The checks a record passes before a watch read keeps it: a type some reader reads, a copy that
// hashes to its id, a signature that verifies under the key the record carries.
#pragma once

#include "art/art_records.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// The record a transaction carries, as a watch read keeps it: listed at `listed`, verified under
// the key it carries, with a positive time. False when none counts.
bool watch_record_of_tx(const std::string& txid, std::int64_t listed, nlohmann::json tx, WatchRecord& record);

// True when the transaction's JSON serialises (version, inputs, outputs, lock time) to its id.
bool tx_json_hashes_to(const nlohmann::json& tx, const std::string& txid);

// True when some watch reader reads records of this type; others are not kept.
bool kept_record_type(const std::string& type);
