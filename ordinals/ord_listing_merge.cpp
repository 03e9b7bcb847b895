// The filtering half of the wallet's ordinal listing: outputs the index stopped listing, hidden and
// duplicate rows, contents and names, token checks on WhatsOnChain, the snapshot, and one row per
// token holding.

#include "ordinals/ord_listing.h"

#include "chain/broadcast.h"
#include "chain/coin_snapshots.h"
#include "chain/gorillapool.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "ordinals/content_cache.h"
#include "ordinals/content_load.h"
#include "ordinals/envelope.h"
#include "ordinals/gp_tokens.h"
#include "ordinals/ord_inbox.h"
#include "ordinals/ord_snapshots.h"
#include "ordinals/token_discovery.h"
#include "ordinals/token_records.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <mutex>

using nlohmann::json;

namespace {

constexpr std::int32_t kSpendCheckTimeoutS = 8;
constexpr std::uint32_t kSpendCheckThreads = 4;
constexpr std::uint32_t kTokenInfoThreads = 4;
constexpr std::uint32_t kTokenCheckThreads = 6;

// The stem of the wallet whose last listing got a token reply, and the token outputs it saw. Two
// listings may overlap, so it has its own lock.
struct TokenOutpointMemory {
    std::mutex mutex;
    std::string stem;
    std::unordered_set<std::string> outpoints;
};

TokenOutpointMemory& token_memory() {
    static TokenOutpointMemory memory;
    return memory;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool is_art_row(const KvCofferlyOrdRow& row) {
    return row.kind == "Artwork" || row.kind == "Certificate" || starts_with(row.type, "image/") ||
           row.type == "application/json";
}

bool spent_here(const std::string& txid, std::uint32_t vout) {
    return is_txid_hex(txid) && is_outpoint_spent(txid, vout);
}

struct SpendCheck {
    KvCofferlyOrdRow row;
    bool keep = false;
};

void gp_txo_spend_worker(SpendCheck& check, const std::unordered_set<std::string>& ordinals_addresses) {
    if (!check.keep) return;
    std::string body, error;
    const std::string url =
        service_settings().gorillapool_base + "/txos/" + check.row.txid + "_" + std::to_string(check.row.vout);
    if (!http_get(url, body, error, kSpendCheckTimeoutS, false)) {
        std::string spender;
        check.keep = woc_spent_by(check.row.txid, check.row.vout, spender) == 1;
        return;
    }
    const json txo = json_parse_or_discarded(body);
    if (!txo.is_object()) {
        check.keep = false;
        return;
    }
    const std::string owner = json_text(txo, "owner");
    check.keep = json_text(txo, "spend").empty() && (owner.empty() || ordinals_addresses.count(owner));
}

// Art rows the index no longer lists were sent away, unless the address was never asked; an
// inscription of our own at an ordinals address is asked about one by one, since the index lags.
bool filter_unlisted_art(OrdListingRun& run, WalletLock& lock, std::vector<KvCofferlyOrdRow>& rows) {
    std::unordered_set<std::string> reached(run.reached_addresses.begin(), run.reached_addresses.end());
    bool ordinals_reached = false;
    for (const std::string& a : run.reached_addresses)
        ordinals_reached |= run.ordinals_addresses.count(a) != 0;
    std::vector<KvCofferlyOrdRow> kept;
    std::vector<SpendCheck> checks;
    for (KvCofferlyOrdRow& row : rows) {
        if (row.chain_name || !is_art_row(row) || run.listed_outpoints.count(outpoint_key(row.txid, row.vout))) {
            kept.push_back(std::move(row));
        } else if (ord_inbox_recent(row.key) && !spent_here(row.txid, row.vout)) {
            // Announced through the inbox a short while ago: the index may not have it yet.
            kept.push_back(std::move(row));
        } else if (!ordinals_reached) {
            if (row.address.empty() || !reached.count(row.address)) kept.push_back(std::move(row));
        } else if (!row.address.empty() && !reached.count(row.address)) {
            // The index did not answer for this address, so its silence says nothing.
            kept.push_back(std::move(row));
        } else {
            const LocalOrd* local = find_local_ord(row.key);
            SpendCheck check;
            check.keep = local && local->created && !local->hidden && run.ordinals_addresses.count(local->address) &&
                         is_txid_hex(row.txid) && !spent_here(row.txid, row.vout);
            check.row = std::move(row);
            checks.push_back(std::move(check));
        }
    }
    if (!checks.empty()) {
        lock.unlock();
        parallel_for(checks.size(), kSpendCheckThreads,
                     [&](std::uint64_t i) { gp_txo_spend_worker(checks[i], run.ordinals_addresses); });
        if (!relock_same_wallet(run, lock)) {
            rows = std::move(kept);
            return false;
        }
    }
    for (SpendCheck& check : checks)
        if (check.keep) kept.push_back(std::move(check.row));
    rows = std::move(kept);
    return true;
}

void drop_hidden_and_duplicates(std::vector<KvCofferlyOrdRow>& rows) {
    std::vector<KvCofferlyOrdRow> kept;
    ListingRowIndex index;
    for (KvCofferlyOrdRow& row : rows) {
        if (const LocalOrd* local = find_local_ord(row.key)) {
            if (local->hidden) continue;
            fill_if_empty(row.name, local->name);
        }
        if (KvCofferlyOrdRow* earlier = find_listing_row(kept, index, row.key)) {
            fill_if_empty(earlier->name, row.name);
            fill_if_empty(earlier->type, row.type);
            fill_if_empty(earlier->kind, row.kind);
            earlier->chain_name = earlier->chain_name || row.chain_name;
        } else {
            kept.push_back(std::move(row));
        }
    }
    rows = std::move(kept);
}

void set_local_name(LocalOrd* local, const std::string& name, OrdListingRun& run) {
    if (!local || name.empty() || local->name == name) return;
    local->name = name;
    run.local_changed = true;
}

void name_rows(OrdListingRun& run, std::vector<KvCofferlyOrdRow>& rows) {
    for (KvCofferlyOrdRow& row : rows) {
        LocalOrd* local = find_local_ord(row.key);
        const CachedContentFacts& facts = cached_content_facts(run, row.key);
        const bool cached = facts.cached;
        const TokenInscription token = facts.is_token ? facts.token : TokenInscription();
        const bool is_token = cached && facts.is_token;
        if (is_token) run.token_data_read.insert(to_lower_copy(row.key));
        fill_if_empty(row.type, facts.type);
        // Each name write is flushed to disk under the wallet mutex: only a name that changed is
        // written again.
        const auto read_ahead = run.cached_names.find(row.key);
        std::string cached_name =
            read_ahead != run.cached_names.end() ? read_ahead->second : ord_cache_read_name(row.key);
        std::string candidate = cached_name;
        if (candidate.empty() && is_token) candidate = token.name;
        if (candidate.empty() && local) candidate = local->name;
        if (candidate.empty()) candidate = row.name;
        if (is_token) {
            row.token_id = token.id.empty() ? row.key : token.id;
            fill_row_token(row, token, local);
            if (local && !row.amt.empty() && row.amt != local->amt) {
                local->amt = row.amt;
                local->dec = row.dec;
                local->token_id = row.token_id;
                run.local_changed = true;
            }
            fill_if_empty(row.icon, token.icon);
            if (row.name.empty() && candidate.empty()) row.name = token.sym;
        }
        const std::string known = known_token_name(row.token_id.empty() ? token.id : row.token_id);
        if (!known.empty() && (candidate.empty() || looks_like_tick(candidate))) candidate = known;
        if (!candidate.empty()) {
            row.name = candidate;
            if (candidate != cached_name) {
                ord_cache_write_name(row.key, candidate);
                cached_name = candidate;
            }
            set_local_name(local, candidate, run);
        }
        const std::string& title = facts.title;
        if (!title.empty()) {
            row.name = title;
            row.chain_name = true;
        }
        if (row.chain_name && !row.name.empty()) {
            if (row.name != cached_name) ord_cache_write_name(row.key, row.name);
            set_local_name(local, row.name, run);
        }
    }
}

// What the indexer tells of a token id: its name and icon, either of which may be empty.
struct TokenInfo {
    std::string name;
    std::string icon;
};

bool add_token_information(OrdListingRun& run, WalletLock& lock, std::vector<KvCofferlyOrdRow>& rows) {
    std::vector<std::string> ids;
    std::unordered_set<std::string> seen;
    for (const KvCofferlyOrdRow& row : rows) {
        if (row.token_id.size() < kTokenIdMinLength) continue;
        if (!row.name.empty() && !row.icon.empty() && !looks_like_tick(row.name)) continue;
        if (seen.insert(row.token_id).second) ids.push_back(row.token_id);
    }
    if (ids.empty()) return true;
    std::mutex mutex;
    std::map<std::string, TokenInfo> info;
    lock.unlock();
    parallel_for(ids.size(), kTokenInfoThreads, [&](std::uint64_t i) {
        std::string name, icon;
        token_info_by_id(ids[i], name, &icon);
        if (name.empty() && icon.empty()) return;
        std::lock_guard<std::mutex> guard(mutex);
        info[ids[i]] = TokenInfo{name, icon};
    });
    if (!relock_same_wallet(run, lock)) return false;
    for (KvCofferlyOrdRow& row : rows) {
        const auto it = info.find(row.token_id);
        if (it == info.end()) continue;
        LocalOrd* local = find_local_ord(row.key);
        const std::string& name = it->second.name;
        const std::string& icon = it->second.icon;
        if (!name.empty() && (row.name.empty() || looks_like_tick(row.name))) {
            row.name = name;
            ord_cache_write_name(row.key, name);
            set_local_name(local, name, run);
        }
        if (!icon.empty() && row.icon.empty()) {
            row.icon = icon;
            if (local && local->icon != icon) {
                local->icon = icon;
                run.local_changed = true;
            }
        }
    }
    return true;
}

// A bsv-20 row with neither an amount nor a real name is a transfer the wallet no longer holds;
// its record is hidden so later listings skip it. Rows of one output keep the one with an amount.
// Only token data that was read says so: a row whose content and index data could not be had
// (an outage) keeps its record as it was and shows the amount that record holds, if any.
void order_and_hide_empty_tokens(const OrdListingRun& run, std::vector<KvCofferlyOrdRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const KvCofferlyOrdRow& a, const KvCofferlyOrdRow& b) {
        if (a.amt.empty() != b.amt.empty()) return !a.amt.empty();
        return a.key < b.key;
    });
    std::vector<KvCofferlyOrdRow> kept;
    std::unordered_set<std::string> seen;
    bool hid = false;
    for (KvCofferlyOrdRow& row : rows) {
        if (row.amt.empty() && text_contains(row.type, "bsv-20") && (row.name.empty() || looks_like_tick(row.name))) {
            LocalOrd* local = find_local_ord(row.key);
            if (!run.token_data_read.count(to_lower_copy(row.key))) {
                if (!local || local->hidden || local->amt.empty()) continue;
                row.amt = local->amt;
                fill_if_empty(row.dec, local->dec);
                fill_if_empty(row.token_id, local->token_id);
                if (seen.insert(row_dedupe_key(row)).second) kept.push_back(std::move(row));
                continue;
            }
            if (local && !local->hidden) {
                local->hidden = true;
                hid = true;
            }
            continue;
        }
        if (seen.insert(row_dedupe_key(row)).second) kept.push_back(std::move(row));
    }
    rows = std::move(kept);
    if (hid) save_wallet();
}

KvCofferlyOrdRow token_row_of(const LocalOrd& ord, const TokenInscription& token) {
    KvCofferlyOrdRow row;
    row.key = ord.origin;
    row.txid = ord.txid;
    row.vout = ord.vout;
    row.type = ord.type.empty() ? kTokenContentType : ord.type;
    row.address = ord.address;
    row.name = ord.name;
    row.icon = ord.icon;
    row.token_id = token.id.empty() ? ord.origin : token.id;
    fill_row_token(row, token, &ord);
    return row;
}

bool woc_check_token_keys(OrdListingRun& run, WalletLock& lock, std::vector<KvCofferlyOrdRow>& rows,
                          std::unordered_set<std::string>& undecided) {
    std::vector<std::string> keys;
    std::unordered_set<std::string> seen;
    auto add = [&](const std::string& key) {
        if (seen.insert(key).second) keys.push_back(key);
    };
    for (const KvCofferlyOrdRow& row : rows)
        if (!row.token_id.empty() || !row.amt.empty()) add(row.key);
    for (const LocalOrd& ord : kv_wallet().ord_owned)
        if (!ord.hidden && cached_content_facts(run, ord.origin).is_token) add(ord.origin);
    lock.unlock();
    std::unordered_set<std::string> spent;
    for (const std::string& key : keys) {
        std::string txid, spender;
        std::uint32_t vout = 0;
        if (!parse_ord_outpoint(key, txid, vout)) continue;
        const int status = woc_spent_by(txid, vout, spender);
        if (status == 0) spent.insert(key);
        if (status == 2 || status == 3) undecided.insert(key);
    }
    if (!relock_same_wallet(run, lock)) return false;
    rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const KvCofferlyOrdRow& r) { return spent.count(r.key); }),
               rows.end());
    for (const LocalOrd& ord : kv_wallet().ord_owned) {
        if (ord.hidden || spent.count(ord.origin)) continue;
        const CachedContentFacts& facts = cached_content_facts(run, ord.origin);
        if (!facts.is_token) continue;
        if (std::none_of(rows.begin(), rows.end(), [&](const KvCofferlyOrdRow& r) { return r.key == ord.origin; }))
            rows.push_back(token_row_of(ord, facts.token));
    }
    return true;
}

bool filter_unlisted_tokens(OrdListingRun& run, WalletLock& lock, std::vector<KvCofferlyOrdRow>& rows,
                            std::unordered_set<std::string>& remembered) {
    TokenOutpointMemory& memory = token_memory();
    {
        std::lock_guard<std::mutex> guard(memory.mutex);
        if (run.token_reply && !run.token_outpoints.empty()) {
            memory.stem = run.stem;
            memory.outpoints = run.token_outpoints;
        }
        remembered = memory.outpoints;
        if (memory.stem != run.stem) remembered.clear();
    }
    const bool memory_applies = !remembered.empty();
    std::vector<std::string> check;
    std::unordered_set<std::string> seen;
    for (const KvCofferlyOrdRow& row : rows) {
        if (!is_token_row(row)) continue;
        const std::string key = to_lower_copy(row.key);
        if (run.token_outpoints.count(key) || (memory_applies && remembered.count(key))) continue;
        if (seen.insert(key).second) check.push_back(key);
    }
    std::unordered_set<std::string> woc_spent;
    if (!check.empty()) {
        std::mutex mutex;
        lock.unlock();
        parallel_for(check.size(), kTokenCheckThreads, [&](std::uint64_t i) {
            std::string txid, spender;
            std::uint32_t vout = 0;
            if (!parse_ord_outpoint(check[i], txid, vout) || woc_spent_by(txid, vout, spender) != 0) return;
            std::lock_guard<std::mutex> guard(mutex);
            woc_spent.insert(check[i]);
        });
        if (!relock_same_wallet(run, lock)) return false;
    }
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const KvCofferlyOrdRow& row) {
                                  if (!is_token_row(row)) return false;
                                  const LocalOrd* local = find_local_ord(row.key);
                                  return (local && local->hidden) || spent_here(row.txid, row.vout) ||
                                         woc_spent.count(to_lower_copy(row.key)) != 0;
                              }),
               rows.end());
    const std::string last = to_lower_copy(last_sent_txid());
    if (memory_applies && is_txid_hex(last)) {
        for (const LocalOrd& ord : kv_wallet().ord_owned)
            if (to_lower_copy(ord.txid) == last) token_row_from_local(rows, ord);
    }
    return true;
}

void link_token_icons(OrdListingRun& run, std::vector<KvCofferlyOrdRow>& rows) {
    for (KvCofferlyOrdRow& row : rows) {
        if (!row.icon.empty() || !text_contains(row.type, "bsv-20") || row.name.empty()) continue;
        const std::string art_name = row.name + " art";
        for (const KvCofferlyOrdRow& other : rows) {
            if (other.name != art_name || !starts_with(other.type, "image/")) continue;
            row.icon = other.key;
            LocalOrd* local = find_local_ord(row.key);
            run.local_changed |= local && fill_if_empty(local->icon, other.key);
            break;
        }
    }
}

OrdSnapshot listing_snapshot(OrdListingRun& run, const std::vector<KvCofferlyOrdRow>& rows,
                             const std::unordered_set<std::string>& undecided) {
    OrdSnapshot snap;
    std::unordered_set<std::string> ids, lots;
    for (const KvCofferlyOrdRow& row : rows) {
        if (undecided.count(row.key)) continue;
        if (!row.token_id.empty() && ids.insert(row.token_id).second) snap.token_ids.push_back(row.token_id);
        if (is_txid_hex(row.txid) && run.known_txid_set.insert(row.txid).second) run.known_txids.push_back(row.txid);
        if (row.key.size() < kTokenIdMinLength || !lots.insert(row.key).second) continue;
        LocalOrd lot = local_ord_from_row(row);
        lot.name = row.name;
        lot.icon = row.icon;
        snap.lots.push_back(std::move(lot));
    }
    snap.txids = run.known_txids;
    return snap;
}

} // namespace

KvCofferlyOrdRow* find_listing_row(std::vector<KvCofferlyOrdRow>& rows, const std::string& key) {
    for (KvCofferlyOrdRow& row : rows)
        if (ord_keys_match(row.key, key)) return &row;
    return nullptr;
}

KvCofferlyOrdRow* find_listing_row(std::vector<KvCofferlyOrdRow>& rows, ListingRowIndex& index,
                                   const std::string& key) {
    if (index.indexed > rows.size()) index = ListingRowIndex();
    for (; index.indexed < rows.size(); ++index.indexed)
        index.first.emplace(ord_match_key(rows[index.indexed].key), index.indexed);
    const auto it = index.first.find(ord_match_key(key));
    return it == index.first.end() ? nullptr : &rows[it->second];
}

bool fill_if_empty(std::string& target, const std::string& value) {
    if (!target.empty() || value.empty()) return false;
    target = value;
    return true;
}

bool text_contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

std::string row_dedupe_key(const KvCofferlyOrdRow& row) {
    if (row.txid.size() == 64) return to_lower_copy(row.txid) + "_" + std::to_string(row.vout);
    return to_lower_copy(row.key);
}

bool is_token_row(const KvCofferlyOrdRow& row) {
    return !row.token_id.empty() || !row.amt.empty() || (row.type.size() >= 6 && text_contains(row.type, "bsv-20"));
}

void token_row_from_local(std::vector<KvCofferlyOrdRow>& rows, const LocalOrd& ord) {
    if (ord.hidden || ord.origin.empty() || spent_here(ord.txid, ord.vout) || find_listing_row(rows, ord.origin))
        return;
    TokenInscription token;
    if (!cached_token_inscription(ord.origin, token)) return;
    KvCofferlyOrdRow row = token_row_of(ord, token);
    if (!row.amt.empty() && row.amt != "0") rows.push_back(std::move(row));
}

void merge_token_holdings(std::vector<KvCofferlyOrdRow>& rows, const std::unordered_set<std::string>& remembered) {
    std::unordered_set<std::string> held_ids;
    for (const KvCofferlyOrdRow& row : rows)
        if (!row.token_id.empty() && !row.amt.empty()) held_ids.insert(to_lower_copy(row.token_id));
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const KvCofferlyOrdRow& r) {
                                  return !r.token_id.empty() && r.amt.empty() &&
                                         held_ids.count(to_lower_copy(r.token_id));
                              }),
               rows.end());
    std::vector<KvCofferlyOrdRow> out;
    std::vector<bool> merged(rows.size(), false);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (merged[i]) continue;
        const KvCofferlyOrdRow& first = rows[i];
        if (first.token_id.empty() || first.amt.empty()) {
            out.push_back(first);
            continue;
        }
        std::vector<std::size_t> members;
        for (std::size_t j = i; j < rows.size(); ++j) {
            if (merged[j] || rows[j].token_id != first.token_id) continue;
            merged[j] = true;
            members.push_back(j);
        }
        const std::string id = to_lower_copy(first.token_id);
        bool other_keys = false;
        for (std::size_t j : members)
            other_keys |= to_lower_copy(rows[j].key) != id;
        KvCofferlyOrdRow holding = first;
        holding.amt.clear();
        holding.aliases.clear();
        std::unordered_set<std::string> taken;
        for (std::size_t j : members) {
            const KvCofferlyOrdRow& member = rows[j];
            const std::string key = to_lower_copy(member.key);
            if (!taken.insert(key).second) continue;
            // The deploy outpoint itself stands in the list only until its coins move; once the
            // index shows other outputs of the token and no longer this one, it is gone.
            if (!remembered.empty() && key == id && !remembered.count(key) && other_keys) continue;
            fill_if_empty(holding.dec, member.dec);
            if (member.height < 1) holding.height = 0;
            fill_if_empty(holding.icon, member.icon);
            fill_if_empty(holding.name, member.name);
            holding.aliases.push_back(member.key);
            holding.amt = add_decimal_strings(holding.amt, member.amt);
        }
        if (holding.aliases.empty()) holding.aliases.push_back(first.key);
        holding.key = holding.aliases.front();
        out.push_back(std::move(holding));
    }
    rows = std::move(out);
}

void clear_token_outpoint_memory() {
    TokenOutpointMemory& memory = token_memory();
    std::lock_guard<std::mutex> guard(memory.mutex);
    memory.stem.clear();
    memory.outpoints.clear();
}

std::string finish_ord_listing(OrdListingRun& run, WalletLock& lock, std::vector<KvCofferlyOrdRow>& rows) {
    if (run.listing && !filter_unlisted_art(run, lock, rows)) return kListWalletChanged;
    drop_hidden_and_duplicates(rows);
    if (!fetch_missing_contents(run, lock, rows)) return kListWalletChanged;
    name_rows(run, rows);
    if (!add_token_information(run, lock, rows)) return kListWalletChanged;
    order_and_hide_empty_tokens(run, rows);
    std::unordered_set<std::string> undecided;
    if (!run.token_reply && !woc_check_token_keys(run, lock, rows, undecided)) return kListWalletChanged;
    std::unordered_set<std::string> remembered;
    if (!filter_unlisted_tokens(run, lock, rows, remembered)) return kListWalletChanged;
    link_token_icons(run, rows);
    if (run.local_changed) save_wallet();
    const bool same_wallet = wallet_file_stem() == run.stem;
    OrdSnapshot snap;
    if (same_wallet) snap = listing_snapshot(run, rows, undecided);
    // The snapshot is this listing's own copy: its file is written, and flushed, without the
    // wallet mutex.
    lock.unlock();
    if (same_wallet) ord_snap_save(run.stem, snap);
    merge_token_holdings(rows, remembered);
    if (run.listing || !rows.empty()) return "";
    return kListIndexUnavailable;
}
