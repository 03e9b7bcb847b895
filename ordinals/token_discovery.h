// Token holdings found on WhatsOnChain before the ordinals indexer lists them, and a token's
// display name and icon by its id. Nothing here reports failure: a failed request or an
// unreadable reply ends the step and keeps what was found so far.
#pragma once

#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"

#include <cstddef>
#include <string>
#include <vector>

// Most keys one walk pops, repeats included.
constexpr std::size_t kTokenWalkSteps = 48;

// Shortest token id: 64 hex digits, "_" and an output index.
constexpr std::size_t kTokenIdMinLength = 66;

// Follows a token's transfers forward from `start_key` and appends (never clears) one record per
// unspent token output that pays one of `addresses`. With `follow_token_id` the token's deploy
// outpoint is visited as well. Makes requests; call it without the wallet mutex.
void scan_tx_for_token_deploys(const std::string& start_key, const std::vector<std::string>& addresses,
                               std::vector<LocalOrd>& found, bool follow_token_id);

// Fills an empty name (and an empty icon, when one is given) from GorillaPool's token record; the
// built-in token keeps its own name. Leaves both alone when the request fails, apart from the
// built-in name.
void token_info_by_id(const std::string& token_id, std::string& name, std::string* icon = nullptr);

// The built-in token's display name for exactly its id, else "".
std::string known_token_name(const std::string& token_id);

// True for 1 to 6 ASCII letters and digits.
bool looks_like_tick(const std::string& text);

// The bytes of a standard base64 text (the scripts of GorillaPool's token replies) through the
// engine's one decoder; empty for the empty text and for anything that is not base64.
inline Bytes base64_decode(const std::string& text) {
    Bytes out;
    if (!base64_decode(text, out)) out.clear();
    return out;
}
