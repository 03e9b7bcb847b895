// The order of a block's transactions, and a transaction's place in its block.
#include "chain/woc_client.h"

#include "chain/woc_reply.h"
#include "wallet/bounded_cache.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <algorithm>
#include <mutex>
#include <utility>

using nlohmann::json;
using woc::reply_array;

namespace {

// A block's list and its pages. No block holds more ids than this; a reply claiming more pages is
// damaged.
constexpr std::int32_t kBlockTimeoutS = 12;
constexpr std::size_t kBlockIdsLimit = 10000000;
constexpr std::size_t kBlockPagesLimit = 1000;
// Places kept, and the one block list kept for the next place asked in the same block.
constexpr std::size_t kPlacesKept = 8192;

// Guards the places and the last block list; never held across a request.
std::mutex g_blocks_mutex;
BoundedCache<std::int64_t> g_block_places(kPlacesKept);
std::string g_last_block_key;
std::vector<std::string> g_last_block;

// Appends the ids of one block list or page (an array, or an object's "tx" array) to `ids`.
bool append_block_ids(const json& reply, std::vector<std::string>& ids) {
    const json* list = reply_array(reply, "tx");
    if (!list) return false;
    for (const json& id : *list) {
        if (ids.size() >= kBlockIdsLimit) return false;
        ids.push_back(id.is_string() ? to_lower_copy(id.get<std::string>()) : std::string());
    }
    return true;
}

} // namespace

void woc::forget_block_places() {
    std::lock_guard<std::mutex> lock(g_blocks_mutex);
    g_block_places.clear();
    g_last_block_key.clear();
    g_last_block.clear();
}

bool woc_block_txids(std::int64_t height, std::vector<std::string>& txids) {
    txids.clear();
    if (height <= 0) return false;
    std::string body, err;
    if (!http_get(woc_url("/block/height/" + std::to_string(height)), body, err, kBlockTimeoutS, false)) return false;
    const json reply = json_parse_or_discarded(body);
    if (!reply.is_object()) return false;
    // A large block names only its first ids here; its pages hold the rest.
    const auto pages = reply.find("pages");
    const json* uris = pages != reply.end() && pages->is_object() ? reply_array(*pages, "uri") : nullptr;
    if (!append_block_ids(reply, txids)) return false;
    if (!uris || uris->empty()) return true;
    if (uris->size() > kBlockPagesLimit) return false;
    const std::vector<std::string> first_ids = std::move(txids);
    txids.clear();
    const std::string base = service_settings().woc_base;
    for (const json& uri : *uris) {
        if (!uri.is_string()) return false;
        const std::string path = uri.get<std::string>();
        // A page is asked for only at the service the block came from.
        if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos) return false;
        if (!http_get(base + path, body, err, kBlockTimeoutS, false)) return false;
        if (!append_block_ids(json_parse_or_discarded(body), txids)) return false;
    }
    // Pages that do not start where the block does hold the ids after those it listed itself.
    if (!first_ids.empty() && (txids.empty() || txids.front() != first_ids.front()))
        txids.insert(txids.begin(), first_ids.begin(), first_ids.end());
    return true;
}

std::vector<std::int64_t> woc_tx_block_places(std::int64_t height, const std::vector<std::string>& txids) {
    const std::string block_key = service_key(service_settings().woc_base, std::to_string(height));
    std::vector<std::int64_t> places(txids.size(), -1);
    std::vector<std::string> keys;
    std::vector<std::string> ids;
    bool all_kept = true;
    {
        std::lock_guard<std::mutex> lock(g_blocks_mutex);
        for (std::size_t i = 0; i < txids.size(); ++i) {
            keys.push_back(service_key(block_key, txids[i]));
            if (const std::int64_t* kept = g_block_places.find(keys[i]))
                places[i] = *kept;
            else
                all_kept = false;
        }
        if (all_kept) return places;
        if (g_last_block_key == block_key) ids = g_last_block;
    }
    // A list kept from an earlier ask may predate an index listing the transactions: one that
    // lacks any of them is asked for again.
    for (std::size_t i = 0; i < txids.size() && !ids.empty(); ++i)
        if (places[i] < 0 && std::find(ids.begin(), ids.end(), txids[i]) == ids.end()) ids.clear();
    if (ids.empty() && !woc_block_txids(height, ids)) return places;
    for (std::size_t i = 0; i < txids.size(); ++i) {
        if (places[i] >= 0) continue;
        const auto at = std::find(ids.begin(), ids.end(), txids[i]);
        if (at != ids.end()) places[i] = static_cast<std::int64_t>(at - ids.begin());
    }
    std::lock_guard<std::mutex> lock(g_blocks_mutex);
    // An unknown place is asked for again next time.
    for (std::size_t i = 0; i < txids.size(); ++i)
        if (places[i] >= 0) g_block_places.put(keys[i], places[i]);
    g_last_block_key = block_key;
    g_last_block = std::move(ids);
    return places;
}

std::int64_t woc_tx_block_place(std::int64_t height, const std::string& txid) {
    return woc_tx_block_places(height, {txid}).front();
}
