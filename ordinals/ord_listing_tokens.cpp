// The token side of the listing's gathering half: the token keys the wallet's records, the snapshot
// and what was found refer to, and the deploy scan that reads them when the index is silent.

#include "ordinals/ord_listing.h"

#include "ordinals/token_discovery.h"
#include "wallet/parallel.h"

#include <algorithm>
#include <mutex>

namespace {

constexpr std::uint32_t kDeployScanThreads = 4;

} // namespace

// Each cached content is looked at once however many records refer to it.
void collect_token_keys(OrdListingRun& run, const std::vector<LocalOrd>& found,
                        const std::vector<std::string>& snapshot_ids, TokenKeys& out) {
    const std::vector<LocalOrd>& owned = kv_wallet().ord_owned;
    auto token_id_of = [&run](const LocalOrd& ord) {
        const CachedContentFacts& facts = cached_content_facts(run, ord.origin);
        return facts.parsed && !facts.token.id.empty() ? facts.token.id : ord.origin;
    };
    std::vector<std::string> owned_ids;
    owned_ids.reserve(owned.size());
    for (const LocalOrd& ord : owned)
        owned_ids.push_back(token_id_of(ord));
    // True when every record of the wallet that is or belongs to the key is hidden (and one is).
    auto all_hidden = [&](const std::string& key) {
        if (key.empty()) return false;
        bool referred = false;
        for (std::size_t i = 0; i < owned.size(); ++i) {
            if (owned[i].origin != key && owned_ids[i] != key) continue;
            if (!owned[i].hidden) return false;
            referred = true;
        }
        return referred;
    };
    std::unordered_set<std::string> seen;
    auto consider = [&](const std::string& key) {
        if (key.size() < kTokenIdMinLength) return;
        const CachedContentFacts& facts = cached_content_facts(run, key);
        const std::string& type = facts.type;
        std::string add;
        if (facts.is_token) {
            add = facts.token.id.empty() ? key : facts.token.id;
        } else if (type.rfind("image/", 0) != 0 && (text_contains(type, "bsv-20") || text_contains(type, "bsv20"))) {
            add = key;
        }
        if (add.empty() || !seen.insert(add).second) return;
        out.keys.push_back(add);
        if (all_hidden(add)) out.hidden.insert(add);
    };
    for (const LocalOrd& ord : owned)
        consider(ord.origin);
    for (const LocalOrd& ord : found)
        consider(ord.origin);
    for (const std::string& id : snapshot_ids)
        consider(id);
    for (const LocalOrd& ord : found) {
        if (ord.origin.size() < kTokenIdMinLength) continue;
        const std::string id = token_id_of(ord);
        if (all_hidden(id)) continue;
        std::vector<std::string>& members = out.groups[id];
        if (std::find(members.begin(), members.end(), ord.origin) == members.end()) members.push_back(ord.origin);
    }
}

void run_deploy_scan(const TokenKeys& tokens, const std::vector<std::string>& watch, std::vector<LocalOrd>& found) {
    std::mutex mutex;
    std::vector<LocalOrd> scanned;
    auto token_deploy_worker = [&](std::uint64_t index) {
        const std::string& key = tokens.keys[index];
        std::vector<LocalOrd> records;
        const auto group = tokens.groups.find(key);
        if (group != tokens.groups.end() && !group->second.empty()) {
            for (const std::string& member : group->second)
                scan_tx_for_token_deploys(member, watch, records, false);
        } else if (!tokens.hidden.count(key)) {
            scan_tx_for_token_deploys(key, watch, records, true);
        }
        std::lock_guard<std::mutex> guard(mutex);
        scanned.insert(scanned.end(), records.begin(), records.end());
    };
    parallel_for(tokens.keys.size(), kDeployScanThreads, token_deploy_worker);
    found.insert(found.end(), scanned.begin(), scanned.end());
}
