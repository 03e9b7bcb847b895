#include "ordinals/art_listing.h"

#include "chain/outpoints.h"
#include "ordinals/coin_checks.h"
#include "ordinals/ord_listing.h"
#include "wallet/parallel.h"

#include <unordered_set>
#include <utility>

namespace {

// Kinds are asked of the index, then of the chain, side by side; the rows that need it are few.
constexpr std::uint32_t kTagThreads = 16;

bool is_art_kind(const std::string& kind) {
    return kind == "Artwork" || kind == "Certificate";
}

} // namespace

bool row_may_be_art(const KvCofferlyOrdRow& row) {
    return row.token_id.empty() && row.type.find("bsv-20") == std::string::npos &&
           row.type.find("bsv20") == std::string::npos;
}

std::string list_art_rows(std::vector<KvCofferlyOrdRow>& rows, bool* index_read, bool* platform_read) {
    std::vector<KvCofferlyOrdRow> listed;
    std::unordered_set<std::string> unspent;
    const std::string listing = kv_cofferly_list_ordinals(listed, index_read, &unspent, platform_read);
    rows.clear();
    for (KvCofferlyOrdRow& row : listed)
        if (row_may_be_art(row)) rows.push_back(std::move(row));

    std::vector<std::size_t> untagged;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].kind.empty()) untagged.push_back(i);
    parallel_for(untagged.size(), kTagThreads, [&](std::uint64_t i) {
        KvCofferlyOrdRow& row = rows[untagged[i]];
        row.kind = art_tag_of_outpoint(row.key);
    });

    // The listing may still name a coin that has just been passed on: only an output the index
    // listed at this wallet a moment ago is known to be held; the index is asked about the rest.
    std::vector<char> keep(rows.size(), 0);
    std::vector<std::size_t> asked_at;
    std::vector<std::string> asked;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const KvCofferlyOrdRow& row = rows[i];
        if (!is_art_kind(row.kind)) continue;
        if (is_txid_hex(row.txid) && unspent.count(outpoint_key(row.txid, row.vout))) {
            keep[i] = 1;
            continue;
        }
        asked_at.push_back(i);
        asked.push_back(row.key);
    }
    const std::vector<int> held = gp_coins_still_ours(asked);
    for (std::size_t j = 0; j < asked_at.size(); ++j)
        keep[asked_at[j]] = held[j] != 0;

    std::vector<KvCofferlyOrdRow> kept;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (keep[i]) kept.push_back(std::move(rows[i]));
    rows = std::move(kept);
    return listing;
}
