// Token outputs (bsv-20 and bsv-21 inscriptions) read from WhatsOnChain's transaction JSON, for
// the coins the ordinals indexer has not reported yet. Spend answers are cleared with
// woc_cache_clear (chain/woc_client.h), which empties the spend-status caches only.
#pragma once

#include "chain/woc_client.h"
#include "ordinals/token_records.h"
#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// True when one "vout" element locks a token inscription to a P2PKH key, the envelope either
// right after the lock or right before it. Hands out the key's hash160, the token record and the
// key txid "_" vout, and caches the content under that key. On false the outputs may hold
// partial values.
bool inscription_from_woc_vout(const nlohmann::json& vout_json, const std::string& txid, std::uint32_t vout,
                               Hash160& hash160, TokenInscription& token, std::string& key);
