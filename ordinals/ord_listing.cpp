// The gathering half of the wallet's ordinal listing: the watch addresses, the previous run's
// snapshot, the token keys, GorillaPool's answers per address, the token and credential scans, and
// the rows they make. The second half (ord_listing_merge.cpp) filters and merges what is gathered.

#include "ordinals/ord_listing.h"

#include "chain/coin_select.h"
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
#include "ordinals/recent_scan.h"
#include "ordinals/token_discovery.h"
#include "ordinals/token_records.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <mutex>

using nlohmann::json;

namespace {

constexpr std::int32_t kTxosTimeoutS = 8;
constexpr std::int32_t kTokenTimeoutS = 8;
constexpr std::int32_t kOrdinalsTokenTimeoutS = 25;
constexpr std::uint32_t kChangeAddressCount = 5;
// Two requests per watch address (its outputs and its tokens): a wallet of the usual 20 ordinals
// addresses, its change and its two own addresses is asked in one round; more wait their turn.
constexpr std::uint32_t kAddressThreads = 64;
// The index hands out an address's outputs a page at a time; an address with more pages than this
// is not counted as reached, so nothing of it reads as sent away and every 1-sat coin stays held.
constexpr std::size_t kTxosPageSize = 100;
constexpr std::size_t kTxosMaxPages = 50;

// Addresses go into request paths; a wallet file could hold anything, so only plain base58-like
// text is watched.
void add_watch_address(const std::string& address, std::vector<std::string>& out,
                       std::unordered_set<std::string>& seen) {
    if (!is_ascii_alnum_text(address) || !seen.insert(address).second) return;
    out.push_back(address);
}

// The ordinals account m/44'/236'/5'/0/0..recv[5], or the five change addresses of that account.
void add_ordinals_account(bool change, std::vector<std::string>& out, std::unordered_set<std::string>& seen) {
    if (!change) {
        const AccountAddresses ordinals = account_addresses(kOrdinalsAccount);
        for (std::size_t i = 0; i < ordinals.count; ++i)
            add_watch_address(ordinals[i], out, seen);
        return;
    }
    std::string priv, pub, address;
    for (std::uint32_t i = 0; i < kChangeAddressCount; ++i) {
        const bool ok = derive_change_key(kOrdinalsAccount, i, priv, pub, address);
        wipe(priv);
        if (ok) add_watch_address(address, out, seen);
    }
}

void collect_listing_addresses(std::vector<std::string>& out) {
    out.clear();
    std::unordered_set<std::string> seen;
    const KvCofferlyWallet& w = kv_wallet();
    add_watch_address(w.identity_address, out, seen);
    add_watch_address(w.address, out, seen);
    if (!w.is_hd || w.mnemonic.empty()) return;
    add_ordinals_account(false, out, seen);
    add_ordinals_account(true, out, seen);
}

void build_ordinals_addresses(std::unordered_set<std::string>& out) {
    out.clear();
    const KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd || w.mnemonic.empty()) return;
    std::vector<std::string> list;
    std::unordered_set<std::string> seen;
    add_ordinals_account(false, list, seen);
    out.insert(list.begin(), list.end());
}

// Reads every page of the address's output listing. Only a listing read to its end counts: a
// missing page would make the outputs on it look sent away and leave them spendable.
bool gp_address_txos_all_pages(const std::string& address, std::string& reply) {
    reply.clear();
    const std::string base = service_settings().gorillapool_base + "/txos/address/" + address + "/unspent";
    json all = json::array();
    for (std::size_t page = 0; page < kTxosMaxPages; ++page) {
        std::string body, error;
        const std::string url =
            base + "?limit=" + std::to_string(kTxosPageSize) + "&offset=" + std::to_string(page * kTxosPageSize);
        if (!http_get(url, body, error, kTxosTimeoutS, false)) return false;
        json parsed = json_parse_or_discarded(body);
        // A first page that is no list is kept as it came: the listing reads it as "not reached".
        if (!parsed.is_array()) {
            if (page != 0) return false;
            reply = std::move(body);
            return true;
        }
        const std::size_t count = parsed.size();
        if (page == 0 && count < kTxosPageSize) {
            reply = std::move(body);
            return true;
        }
        for (json& element : parsed)
            all.push_back(std::move(element));
        if (count < kTxosPageSize) {
            reply = all.dump(-1, ' ', false, json::error_handler_t::replace);
            return true;
        }
    }
    return false;
}

// One of the two independent requests of an address: its output listing (part 0) or its token
// reply (part 1). Each writes only its own members of the lookup.
void gp_address_txos_worker(AddressTxoLookup& lookup, bool ordinals_address, int part) {
    if (part == 0) {
        lookup.txos_ok = gp_address_txos_all_pages(lookup.address, lookup.txos_reply);
        return;
    }
    json reply;
    if (gp_bsv20_unspent(lookup.address, reply, ordinals_address ? kOrdinalsTokenTimeoutS : kTokenTimeoutS)) {
        lookup.bsv20 = std::move(reply);
        lookup.has_bsv20 = true;
    }
}

// GorillaPool's answers for every watch address, on a bounded pool however many addresses the
// wallet file's counter names.
void gp_address_lookups(const OrdListingRun& run, std::vector<AddressTxoLookup>& lookups) {
    lookups.assign(run.watch_addresses.size(), AddressTxoLookup{});
    std::vector<char> ordinals(lookups.size(), 0);
    for (std::size_t i = 0; i < lookups.size(); ++i) {
        lookups[i].address = run.watch_addresses[i];
        ordinals[i] = run.ordinals_addresses.count(lookups[i].address) != 0;
    }
    parallel_for(lookups.size() * 2, kAddressThreads, [&](std::uint64_t i) {
        gp_address_txos_worker(lookups[i / 2], ordinals[i / 2] != 0, static_cast<int>(i % 2));
    });
}

// The unspent token output an element of a token reply names, lower-cased; "" when it names none.
std::string token_reply_outpoint(const json& item) {
    std::string outpoint = json_text(item, "outpoint");
    if (outpoint.empty()) outpoint = json_text(item, "origin");
    if (outpoint.empty()) {
        const std::string txid = json_text(item, "txid");
        std::uint32_t vout = 0;
        const auto it = item.find("vout");
        if (it != item.end() && !json_as_u32(*it, vout)) vout = 0;
        if (is_txid_hex(txid)) outpoint = txid + "_" + std::to_string(vout);
    }
    if (outpoint.size() < kTokenIdMinLength) return "";
    return to_lower_copy(outpoint);
}

bool take_if_differs(std::string& target, const std::string& value) {
    if (value.empty() || target == value) return false;
    target = value;
    return true;
}

// The tag this listing already means to store for the outpoint, else the stored one.
std::string listing_art_tag(OrdListingRun& run, const std::string& outpoint) {
    const std::string key = art_tag_key(outpoint);
    if (key.empty()) return art_tag_in(run.art_tags, outpoint);
    for (; run.pending_indexed < run.pending_art_tags.size(); ++run.pending_indexed) {
        const auto& pending = run.pending_art_tags[run.pending_indexed];
        run.pending_tag_of.emplace(art_tag_key(pending.first), pending.second);
    }
    const auto it = run.pending_tag_of.find(key);
    return it != run.pending_tag_of.end() ? it->second : art_tag_in(run.art_tags, outpoint);
}

// A 1-sat row for a record the listing found or the wallet file holds, its kind from "tags.json".
KvCofferlyOrdRow row_of_record(OrdListingRun& run, const LocalOrd& ord, const char* default_type) {
    KvCofferlyOrdRow row;
    row.key = ord.origin;
    row.txid = ord.txid;
    row.vout = ord.vout;
    row.type = ord.type.empty() ? default_type : ord.type;
    row.address = ord.address;
    row.name = ord.name;
    row.icon = ord.icon;
    row.kind = listing_art_tag(run, ord.origin);
    return row;
}

void found_records_into_rows(const std::vector<LocalOrd>& found, OrdListingRun& run,
                             std::vector<KvCofferlyOrdRow>& rows) {
    for (const LocalOrd& f : found) {
        // What a service calls an origin becomes a wallet record and a cache file name.
        if (!is_listing_key(f.origin)) continue;
        if (LocalOrd* local = find_local_ord(f.origin)) {
            if (local->hidden) continue;
            bool changed = fill_if_empty(local->type, f.type);
            changed |= fill_if_empty(local->name, f.name);
            changed |= fill_if_empty(local->icon, f.icon);
            changed |= take_if_differs(local->amt, f.amt);
            changed |= take_if_differs(local->dec, f.dec);
            changed |= take_if_differs(local->token_id, f.token_id);
            run.local_changed |= changed;
        } else if (add_local_ord(f)) {
            run.local_changed = true;
        }
        if (KvCofferlyOrdRow* row = find_listing_row(rows, run.gathered, f.origin)) {
            fill_if_empty(row->amt, f.amt);
            fill_if_empty(row->dec, f.dec);
            fill_if_empty(row->token_id, f.token_id);
            continue;
        }
        KvCofferlyOrdRow row = row_of_record(run, f, kTokenContentType);
        row.amt = f.amt;
        row.dec = f.dec;
        row.token_id = f.token_id;
        rows.push_back(std::move(row));
    }
}

void merge_listed_row(KvCofferlyOrdRow& old, KvCofferlyOrdRow& fresh) {
    fill_if_empty(old.type, fresh.type);
    fill_if_empty(old.address, fresh.address);
    fill_if_empty(old.kind, fresh.kind);
    if (is_txid_hex(fresh.txid)) {
        old.txid = fresh.txid;
        old.vout = fresh.vout;
    }
    if (fresh.chain_name && !fresh.name.empty()) {
        old.name = fresh.name;
        old.chain_name = true;
    } else {
        fill_if_empty(old.name, fresh.name);
    }
}

// One element of an address's output listing; false when it gives no row. `row` carries the txid and
// vout as far as they were read, and `plain` tells a readable output without an inscription.
bool listed_output_row(const json& el, const AddressTxoLookup& lookup, OrdListingRun& run, KvCofferlyOrdRow& row,
                       bool& is_token, bool& plain) {
    std::string token_id, amount, token_name, decimals, token_icon;
    is_token = parse_gp_token_item(el, token_id, amount, token_name, decimals, token_icon);
    bool malformed = false;
    std::string key = txo_outpoint(el, &malformed);
    if (key.empty()) key = json_text(el, "outpoint");
    std::string txid = json_text(el, "txid");
    std::uint32_t vout = 0;
    const auto vout_it = el.find("vout");
    // An index that cannot be read must not turn into output 0: the held-back record would name
    // the wrong output and leave the real one spendable. The outpoint text names both instead.
    if (vout_it != el.end() && !json_as_u32(*vout_it, vout)) txid.clear();
    if (!is_txid_hex(txid) && !parse_ord_outpoint(json_text(el, "outpoint"), txid, vout)) {
        txid.clear();
        vout = 0;
    }
    row.txid = txid;
    row.vout = vout;
    if (is_token && is_txid_hex(txid)) key = txid + "_" + std::to_string(vout);
    if (key.empty() || malformed) return false;
    const auto sats = el.find("satoshis");
    if (sats != el.end() && sats->is_number()) {
        const double value = sats->get<double>();
        row.satoshis = value >= -9.2e18 && value <= 9.2e18 ? static_cast<std::int64_t>(value) : 0;
    }
    // Only a single satoshi carries an ordinal; the index also lists change, with an empty MAP.
    const bool multi_sat = row.satoshis > 1;
    if (multi_sat || (!is_token && !txo_is_inscription(el))) {
        plain = true;
        run.local_changed |= drop_plain_output_records(key, txid, vout, multi_sat);
        return false;
    }
    if (!is_listing_key(key)) return false;
    row.key = key;
    const auto height = el.find("height");
    if (height != el.end()) json_as_u32(*height, row.height);
    row.type = txo_content_type(el, &malformed);
    if (const std::uint64_t size = txo_content_size(el)) run.content_sizes[key] = size;
    std::string art_name;
    row.kind = txo_art_kind(el, &art_name, &malformed);
    std::string map_name;
    row.chain_name = txo_map_name(el, &map_name, &malformed);
    json credential;
    if (txo_json_protocol(el, credential, &malformed)) {
        row.chain_name = true;
        const std::string title = credential_title(credential);
        if (!title.empty()) map_name = title;
    }
    if (malformed) return false;
    row.name = art_name;
    if (row.chain_name) {
        if (!map_name.empty()) row.name = map_name;
        row.kind.clear();
    }
    const std::string tag = listing_art_tag(run, row.key);
    if (row.kind.empty()) {
        row.kind = tag;
    } else if (tag.empty()) {
        // Each write of the tags file is flushed to disk; under the wallet mutex, one per artwork
        // would hold every other wallet operation back.
        run.pending_art_tags.emplace_back(row.key, row.kind);
    }
    if (is_token) {
        if (!text_contains(row.type, "bsv-20")) row.type = kTokenContentType;
        row.token_id = token_id;
        row.amt = amount;
        row.dec = decimals;
        fill_if_empty(row.name, token_name);
        fill_if_empty(row.icon, token_icon);
    }
    row.address = lookup.address;
    return true;
}

void listed_outputs_into_rows(const AddressTxoLookup& lookup, const json& reply, OrdListingRun& run,
                              std::vector<KvCofferlyOrdRow>& rows) {
    if (!reply.is_array()) return;
    // Only an answer that reads as a listing says anything about what left the address; an error
    // page served with a success status must not make its artworks look sent away.
    run.reached_addresses.push_back(lookup.address);
    run.listing = true;
    std::unordered_set<std::string> outpoints;
    for (const json& el : reply) {
        if (!el.is_object()) continue;
        KvCofferlyOrdRow row;
        bool is_token = false;
        bool plain = false;
        if (!listed_output_row(el, lookup, run, row, is_token, plain)) {
            // The index lists this output, so it may well carry an ordinal even when its record
            // cannot be read: coin selection must still keep it out of payments.
            if (!plain && is_txid_hex(row.txid)) {
                const std::string op = outpoint_key(row.txid, row.vout);
                outpoints.insert(op);
                run.listed_outpoints.insert(op);
            }
            continue;
        }
        if (is_txid_hex(row.txid)) {
            const std::string op = outpoint_key(row.txid, row.vout);
            outpoints.insert(op);
            run.listed_outpoints.insert(op);
        }
        LocalOrd ord = local_ord_from_row(row);
        if (is_token) run.token_data_read.insert(to_lower_copy(row.key));
        if (is_token) {
            ord.amt = row.amt;
            ord.dec = row.dec;
            ord.token_id = row.token_id;
            ord.name = row.name;
            ord.icon = row.icon;
        }
        if (add_local_ord(ord)) {
            run.local_changed = true;
        } else if (LocalOrd* local = find_local_ord(row.key)) {
            run.local_changed |= fill_if_empty(local->type, row.type);
            run.local_changed |= show_returned_coin(*local, row.txid, row.vout, row.address);
        }
        if (KvCofferlyOrdRow* old = find_listing_row(rows, run.gathered, row.key)) {
            merge_listed_row(*old, row);
        } else {
            rows.push_back(std::move(row));
        }
    }
    run.address_outpoints[lookup.address] = std::move(outpoints);
}

// Every output any reader of this listing names as an ordinal or a token (the index's token reply,
// the recent scan, the inbox and the wallet's records as much as the address listing) is held back
// from payments: a 1-sat token output spent as a fee burns the tokens.
void store_held_back_outpoints(const OrdListingRun& run, const std::vector<KvCofferlyOrdRow>& rows) {
    std::unordered_set<std::string> named;
    for (const KvCofferlyOrdRow& row : rows)
        if (is_txid_hex(row.txid)) named.insert(outpoint_key(row.txid, row.vout));
    for (const std::string& outpoint : run.token_outpoints) {
        std::string txid;
        std::uint32_t vout = 0;
        if (parse_ord_outpoint(outpoint, txid, vout)) named.insert(outpoint_key(txid, vout));
    }
    for (const auto& entry : run.address_outpoints) {
        std::unordered_set<std::string> held;
        held.reserve(entry.second.size() + named.size());
        held.insert(entry.second.begin(), entry.second.end());
        held.insert(named.begin(), named.end());
        store_ord_outpoints(entry.first, held, true);
    }
}

void local_records_into_rows(OrdListingRun& run, std::vector<KvCofferlyOrdRow>& rows) {
    for (const LocalOrd& ord : kv_wallet().ord_owned) {
        if (ord.hidden) continue;
        if (KvCofferlyOrdRow* row = find_listing_row(rows, run.gathered, ord.origin)) {
            fill_if_empty(row->name, ord.name);
            fill_if_empty(row->type, ord.type);
            fill_if_empty(row->icon, ord.icon);
            continue;
        }
        rows.push_back(row_of_record(run, ord, "local"));
    }
}

} // namespace

LocalOrd local_ord_from_row(const KvCofferlyOrdRow& row) {
    LocalOrd ord = local_ord_init();
    ord.origin = row.key;
    ord.txid = row.txid;
    ord.vout = row.vout;
    ord.type = row.type;
    ord.address = row.address;
    return ord;
}

void save_pending_art_tags(OrdListingRun& run) {
    if (run.pending_art_tags.empty()) return;
    save_art_tags(run.pending_art_tags);
    run.pending_art_tags.clear();
    run.pending_tag_of.clear();
    run.pending_indexed = 0;
}

bool relock_same_wallet(const OrdListingRun& run, WalletLock& lock) {
    if (!lock.owns_lock()) lock.lock();
    return wallet_file_stem() == run.stem;
}

std::string kv_cofferly_list_ordinals(std::vector<KvCofferlyOrdRow>& rows, bool* index_read,
                                      std::unordered_set<std::string>* index_unspent, bool* platform_read) {
    rows.clear();
    if (index_read) *index_read = false;
    if (platform_read) *platform_read = false;
    if (index_unspent) index_unspent->clear();
    OrdListingRun run;
    WalletLock lock = lock_wallet();
    if (!load_wallet()) return kListNoWallet;
    if (account_addresses(kOrdinalsAccount).damaged) return kAddressCounterTooLarge;
    // A wallet's ordinals addresses not derived yet this session are derived side by side, with
    // the mutex released.
    warm_wallet_keys(lock);
    if (!load_wallet()) return kListNoWallet;
    ord_inbox_merge(lock);
    if (!load_wallet()) return kListNoWallet;
    collect_listing_addresses(run.watch_addresses);
    if (run.watch_addresses.empty()) return kListNoWatchAddresses;
    run.stem = wallet_file_stem();
    lock.unlock();

    TokenMapsUse token_maps_use;
    woc_cache_clear();
    if (!relock_same_wallet(run, lock)) return kListWalletChanged;
    OrdSnapshot snapshot;
    ord_snap_load(run.stem, snapshot);
    std::vector<LocalOrd> found;
    std::unordered_set<std::string> found_origins;
    for (const LocalOrd& lot : snapshot.lots)
        if (found_origins.insert(lot.origin).second) found.push_back(lot);
    for (const std::string& txid : snapshot.txids)
        if (run.known_txid_set.insert(txid).second) run.known_txids.push_back(txid);
    std::vector<std::string> content_keys = snapshot.token_ids;
    for (const LocalOrd& ord : kv_wallet().ord_owned)
        content_keys.push_back(ord.origin);
    for (const LocalOrd& ord : found)
        content_keys.push_back(ord.origin);
    lock.unlock();
    read_cached_contents(run, content_keys);

    if (!relock_same_wallet(run, lock)) return kListWalletChanged;
    TokenKeys tokens;
    collect_token_keys(run, found, snapshot.token_ids, tokens);
    build_ordinals_addresses(run.ordinals_addresses);
    lock.unlock();

    // The index per address, the recent scan and the credential scan need nothing from each other:
    // they run side by side, each on its own bounded pool. Beside them, the names other wallet
    // files know are cached (file work, without the wallet mutex); only naming the rows reads them.
    std::vector<AddressTxoLookup> lookups;
    std::vector<LocalOrd> recent;
    std::vector<KvCofferlyOrdRow> identity_rows;
    bool woc_answered = false;
    bool platform_answered = true;
    parallel_for(4, 4, [&](std::uint64_t phase) {
        if (phase == 0) gp_address_lookups(run, lookups);
        if (phase == 1) woc_answered = ingest_woc_recent_ords(run.watch_addresses, recent);
        if (phase == 2) platform_answered = ingest_oracle_ident_records(run.watch_addresses, identity_rows);
        if (phase == 3) harvest_wallet_ord_names();
    });
    bool index_answered = false;
    for (const AddressTxoLookup& lookup : lookups) {
        const bool counts = run.ordinals_addresses.empty() || run.ordinals_addresses.count(lookup.address);
        if (counts && (lookup.txos_ok || lookup.has_bsv20)) index_answered = true;
        if (!lookup.has_bsv20 || !lookup.bsv20.is_array()) continue;
        run.token_reply = true;
        for (const json& item : lookup.bsv20) {
            if (!item.is_object() || !json_text(item, "spend").empty()) continue;
            index_token_outpoint(item);
            const std::string outpoint = token_reply_outpoint(item);
            if (!outpoint.empty()) run.token_outpoints.insert(outpoint);
        }
    }
    for (const AddressTxoLookup& lookup : lookups)
        if (lookup.has_bsv20) parse_gp_txo(lookup, lookup.bsv20, found);
    found.insert(found.end(), recent.begin(), recent.end());
    forget_uncached_contents(run);
    if (!run.token_reply && !index_answered) run_deploy_scan(tokens, run.watch_addresses, found);

    run.art_tags = load_art_tags();
    // A thousand outputs take longer to parse, and to free, than to make rows of: both happen
    // without the wallet mutex.
    std::vector<json> listings(lookups.size());
    for (std::size_t i = 0; i < lookups.size(); ++i)
        if (lookups[i].txos_ok) listings[i] = json_parse_or_discarded(lookups[i].txos_reply);
    if (!relock_same_wallet(run, lock)) return kListWalletChanged;
    found_records_into_rows(found, run, rows);
    for (std::size_t i = 0; i < lookups.size(); ++i)
        if (lookups[i].txos_ok) listed_outputs_into_rows(lookups[i], listings[i], run, rows);
    run.local_changed |= drop_unlisted_placeholders(run.reached_addresses, run.listed_outpoints);
    for (KvCofferlyOrdRow& row : identity_rows) {
        if (!is_listing_key(row.key) || find_listing_row(rows, run.gathered, row.key)) continue;
        if (is_txid_hex(row.txid)) run.listed_outpoints.insert(outpoint_key(row.txid, row.vout));
        rows.push_back(std::move(row));
    }
    local_records_into_rows(run, rows);
    if (index_read) *index_read = run.listing;
    if (platform_read) *platform_read = platform_answered;
    store_held_back_outpoints(run, rows);
    std::string result = finish_ord_listing(run, lock, rows);
    // An address the index did not answer for may hold what the wallet's records do not know yet:
    // such a listing is no answer about what the wallet holds.
    if ((result.empty() || result == kListIndexUnavailable) && run.reached_addresses.size() < lookups.size()) {
        if (platform_answered)
            result = woc_answered ? kListIndexUnavailable : kListServicesUnavailable;
        else
            result = woc_answered ? kListIndexAndPlatformUnavailable : kListAllServicesUnavailable;
    }
    const bool index_failed = result == kListIndexUnavailable || result == kListServicesUnavailable ||
                              result == kListIndexAndPlatformUnavailable || result == kListAllServicesUnavailable;
    if (index_unspent && (result.empty() || index_failed))
        for (const auto& entry : run.address_outpoints)
            index_unspent->insert(entry.second.begin(), entry.second.end());
    // A listing ended early by a wallet switch still keeps the tags it read from the chain.
    if (lock.owns_lock()) lock.unlock();
    save_pending_art_tags(run);
    return result;
}
