// Whether the connected wallet holds one ordinal now, asked by the art registry before it pairs an
// artwork with its certificate, checks a certificate or passes them on.

#include "ordinals/ord_listing.h"

#include "wallet/codecs.h"
#include "wallet/session.h"

#include <cctype>

bool ord_key_equals(const std::string& lower_key, const std::string& text) {
    return to_lower_copy(text) == lower_key;
}

std::int32_t wallet_holds_coin(const std::string& key) {
    std::size_t begin = 0, end = key.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(key[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(key[end - 1])))
        --end;
    if (begin == end) return -1;
    if (!is_cofferly_connected()) return -1;
    const std::string wanted = to_lower_copy(key.substr(begin, end - begin));
    std::vector<KvCofferlyOrdRow> rows;
    // A listing cut short (another wallet loaded midway, say) still answers from the rows it has.
    const std::string result = kv_cofferly_list_ordinals(rows);
    if (!result.empty() && rows.empty()) return -1;
    for (const KvCofferlyOrdRow& row : rows) {
        if (ord_key_equals(wanted, row.key) || ord_key_equals(wanted, row.token_id)) return 1;
        for (const std::string& alias : row.aliases)
            if (ord_key_equals(wanted, alias)) return 1;
    }
    // Rows of a listing cut short are only part of the holdings: a miss among them proves nothing.
    return result.empty() ? 0 : -1;
}
