// Questions about one ordinal answered with GorillaPool's 1Sat ordinals index: its txo record,
// whether it still sits at an address of this wallet, and its art kind ("Artwork", "Certificate"),
// which is remembered in "tags.json" once learnt. Nothing here throws.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// Fetches the txo of an outpoint written as 64 hex digits, "_" and a decimal index. False (txo
// null) for any other text, without a request, and when the request fails or the reply is not a
// JSON object.
bool gp_txo_get(const std::string& outpoint, nlohmann::json& txo);

// Follows the ordinal from its origin through the transfers GorillaPool knows. 1 when its present
// output belongs to the loaded wallet or the trail cannot be followed (index unreachable, spending
// transaction without the ordinal in outputs 0 to 16, eight moves or more); 0 for an invalid key,
// no loaded wallet, or a foreign or missing owner. Takes the wallet mutex, never across a request.
int gp_coin_still_ours(const std::string& key);

// gp_coin_still_ours for each key, in one round side by side on a bounded pool, with the wallet's
// addresses derived once: one answer per key, in order.
std::vector<int> gp_coins_still_ours(const std::vector<std::string>& keys);

// The ordinal's tag text ("Artwork" or "Certificate" for the program's own inscriptions): from
// "tags.json", else GorillaPool's MAP data, else the sealed tag of the output script on
// WhatsOnChain; what the network gave is stored. Empty when no source knows a tag.
std::string art_tag_of_outpoint(const std::string& key);
