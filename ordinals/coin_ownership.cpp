// Whether the connected wallet holds one ordinal now, asked by the art registry before it pairs an
// artwork with its certificate, checks a certificate or passes them on.

#include "ordinals/ord_listing.h"

#include "chain/outpoints.h"
#include "wallet/codecs.h"
#include "wallet/session.h"

#include <cctype>

bool is_listing_key(const std::string& key) {
    if (key.size() < 66 || key.size() > 75 || key[64] != '_' || !is_txid_hex(key.substr(0, 64))) return false;
    std::uint64_t index = 0;
    for (std::size_t i = 65; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9') return false;
        index = index * 10 + static_cast<std::uint64_t>(key[i] - '0');
    }
    return index <= 0xFFFFFFFFull;
}

bool ord_key_equals(const std::string& lower_key, const std::string& text) {
    return to_lower_copy(text) == lower_key;
}

std::int32_t wallet_holds_coin(const std::string& key) {
    if (listing_holds_coin({}, key) < 0 || !is_cofferly_connected()) return -1;
    std::vector<KvCofferlyOrdRow> rows;
    // Rows of a listing cut short (another wallet loaded midway, say) were gathered partly for a
    // wallet that is no longer the connected one: neither a hit nor a miss among them counts.
    if (!kv_cofferly_list_ordinals(rows).empty()) return -1;
    return listing_holds_coin(rows, key);
}

std::int32_t listing_holds_coin(const std::vector<KvCofferlyOrdRow>& rows, const std::string& key) {
    std::size_t begin = 0, end = key.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(key[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(key[end - 1])))
        --end;
    if (begin == end) return -1;
    const std::string wanted = to_lower_copy(key.substr(begin, end - begin));
    for (const KvCofferlyOrdRow& row : rows) {
        if (ord_key_equals(wanted, row.key) || ord_key_equals(wanted, row.token_id)) return 1;
        for (const std::string& alias : row.aliases)
            if (ord_key_equals(wanted, alias)) return 1;
    }
    return 0;
}
