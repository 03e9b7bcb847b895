#include "chain/kept_listings.h"

#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <mutex>
#include <unordered_set>

using nlohmann::json;

namespace {

constexpr int kKeptFileVersion = 1;
// Addresses one balance request takes (WhatsOnChain's documented limit).
constexpr std::size_t kBalanceBatch = 20;
constexpr std::size_t kSweepThreads = 4;

// One reader or writer of a kept file in this process at a time (the file lock serves between
// processes). The file is written without the wallet mutex, which is never asked for under this one.
std::mutex g_kept_mutex;

std::mutex g_progress_mutex;
std::string g_progress;

void set_progress(const std::string& text) {
    std::lock_guard<std::mutex> hold(g_progress_mutex);
    g_progress = text;
}

// The position of each receive address, made again when the kept address list changed. Made from
// the list's storage alone, with the wallet mutex free: twenty thousand entries take a while.
struct ReceiveIndex {
    std::uint64_t version = 0;
    std::size_t count = 0;
    std::unordered_map<std::string, std::uint32_t> at;
};
std::mutex g_index_mutex;
std::shared_ptr<const ReceiveIndex> g_receive_index;

std::shared_ptr<const ReceiveIndex> receive_index_of(const AccountAddresses& receive) {
    {
        std::lock_guard<std::mutex> hold(g_index_mutex);
        if (g_receive_index && g_receive_index->version == receive.version && g_receive_index->count == receive.count)
            return g_receive_index;
    }
    auto index = std::make_shared<ReceiveIndex>();
    index->at.reserve(receive.count);
    for (std::size_t i = 0; i < receive.count; ++i)
        index->at.emplace(receive[i], static_cast<std::uint32_t>(i));
    index->version = receive.version;
    index->count = receive.count;
    std::lock_guard<std::mutex> hold(g_index_mutex);
    g_receive_index = index;
    return index;
}

bool whole_number_at(const json& array, std::size_t i, std::int64_t low, std::int64_t high, std::int64_t& out) {
    return i < array.size() && json_whole_number(array[i], low, high, out);
}

bool read_count(const json& doc, const char* key, std::int64_t low, std::int64_t& out) {
    const auto it = doc.find(key);
    if (it == doc.end()) return true;
    return json_whole_number(*it, low, std::numeric_limits<std::int64_t>::max(), out);
}

// One coin as [txid, vout, sats, height]; false for anything else.
bool coin_of(const json& item, Utxo& coin) {
    if (!item.is_array() || item.size() != 4 || !item[0].is_string()) return false;
    coin.txid = item[0].get<std::string>();
    std::int64_t vout = 0, sats = 0, height = 0;
    if (!is_txid_hex(coin.txid) || !whole_number_at(item, 1, 0, std::numeric_limits<std::uint32_t>::max(), vout) ||
        !whole_number_at(item, 2, 1, std::numeric_limits<std::int64_t>::max(), sats) ||
        !whole_number_at(item, 3, -1, std::numeric_limits<std::int32_t>::max(), height))
        return false;
    coin.vout = static_cast<std::uint32_t>(vout);
    coin.sats = sats;
    coin.height = static_cast<std::int32_t>(height);
    return true;
}

// The listing a document holds; false when it is not one this program writes.
bool listing_of(const json& doc, KeptListing& out) {
    out = KeptListing{};
    if (!doc.is_object()) return false;
    const auto version = doc.find("version");
    if (version == doc.end() || !version->is_number_integer() || version->get<std::int64_t>() != kKeptFileVersion)
        return false;
    out.first = json_text(doc, "first");
    std::int64_t listed_to = 0, last_used = -1, sweep = 0;
    if (!read_count(doc, "listed_to", 0, listed_to) || !read_count(doc, "last_used", -1, last_used) ||
        !read_count(doc, "sweep", 0, sweep))
        return false;
    out.listed_to = static_cast<std::uint64_t>(listed_to);
    out.last_used = last_used;
    out.sweep = static_cast<std::uint64_t>(sweep);
    const auto named = doc.find("named");
    if (named != doc.end()) {
        if (!named->is_array() || named->size() > kNamedAddresses) return false;
        for (const json& item : *named) {
            Hash160 h{};
            if (!item.is_string() || !address_to_hash160(item.get<std::string>(), h)) return false;
            out.named.push_back(item.get<std::string>());
        }
    }
    const auto list = doc.find("addresses");
    if (list == doc.end()) return true;
    if (!list->is_array() || list->size() > kMaxKeptCoins) return false;
    std::size_t coins = 0;
    for (const json& entry : *list) {
        if (!entry.is_object()) return false;
        const std::string address = json_text(entry, "a");
        const auto listed = entry.find("c");
        std::int64_t seq = 0;
        Hash160 h{};
        if (!address_to_hash160(address, h) || !read_count(entry, "n", 0, seq) || listed == entry.end() ||
            !listed->is_array())
            return false;
        coins += listed->size();
        if (coins > kMaxKeptCoins) return false;
        KeptAddress kept;
        kept.seq = static_cast<std::uint64_t>(seq);
        for (const json& item : *listed) {
            Utxo coin;
            if (!coin_of(item, coin)) return false;
            kept.coins.push_back(std::move(coin));
        }
        out.addresses[address] = std::move(kept);
    }
    return true;
}

json document_of(const KeptListing& listing) {
    json entries = json::array();
    std::size_t coins = 0;
    for (const auto& [address, kept] : listing.addresses) {
        // The loader's bound, which no wallet's coins reach: past it the rest are listed again.
        if (coins + kept.coins.size() > kMaxKeptCoins || entries.size() >= kMaxKeptCoins) break;
        coins += kept.coins.size();
        json listed = json::array();
        for (const Utxo& coin : kept.coins)
            listed.push_back(json::array({coin.txid, coin.vout, coin.sats, coin.height}));
        entries.push_back({{"a", address}, {"n", kept.seq}, {"c", std::move(listed)}});
    }
    json named = json::array();
    for (std::size_t i = 0; i < listing.named.size() && i < kNamedAddresses; ++i)
        named.push_back(listing.named[i]);
    return json{{"version", kKeptFileVersion},    {"first", listing.first}, {"listed_to", listing.listed_to},
                {"last_used", listing.last_used}, {"sweep", listing.sweep}, {"named", std::move(named)},
                {"addresses", std::move(entries)}};
}

// `into`'s named addresses first, then those of `from` it lacks, as many as are kept.
void merge_named(const std::vector<std::string>& from, std::vector<std::string>& into) {
    for (const std::string& address : from) {
        if (into.size() >= kNamedAddresses) break;
        if (std::find(into.begin(), into.end(), address) == into.end()) into.push_back(address);
    }
    if (into.size() > kNamedAddresses) into.resize(kNamedAddresses);
}

// `from` into `into`: the later listing of each address, the farther progress, the named
// addresses of both. A listing of another wallet changes nothing.
void merge_listing(const KeptListing& from, KeptListing& into) {
    if (from.first != into.first) return;
    into.listed_to = std::max(into.listed_to, from.listed_to);
    into.last_used = std::max(into.last_used, from.last_used);
    into.sweep = std::max(into.sweep, from.sweep);
    merge_named(from.named, into.named);
    for (const auto& [address, kept] : from.addresses) {
        auto it = into.addresses.find(address);
        if (it == into.addresses.end() || kept_listing_is_later(kept, it->second)) into.addresses[address] = kept;
    }
}

// The highest block a listing shows a coin in; 0 when it shows none.
std::int32_t highest_block(const KeptAddress& kept) {
    std::int32_t top = 0;
    for (const Utxo& coin : kept.coins)
        top = std::max(top, coin.height);
    return top;
}

// Whether the coins show `a` made after `b`: a coin `b` lists unconfirmed that `a` lists in a block,
// or a coin `b` lists in a block that `a` has seen (it lists a coin in that block or a later one)
// and no longer lists, so it was spent after `b`. A height the listing did not give tells nothing.
bool coins_show_later(const KeptAddress& a, const KeptAddress& b) {
    std::unordered_map<std::string, std::int32_t> in_a;
    for (const Utxo& coin : a.coins)
        in_a.emplace(outpoint_key(coin.txid, coin.vout), coin.height);
    const std::int32_t seen = highest_block(a);
    for (const Utxo& coin : b.coins) {
        const auto it = in_a.find(outpoint_key(coin.txid, coin.vout));
        if (it != in_a.end() ? coin.height == 0 && it->second > 0 : coin.height > 0 && seen >= coin.height) return true;
    }
    return false;
}

// The kept listing of `stem` as the file holds it now: another process may have listed meanwhile.
// The caller holds g_kept_mutex.
KeptListing kept_for(const std::string& stem, const std::string& first) {
    KeptListing listing;
    if (!load_kept_listing(kept_listing_path(stem), first, listing)) {
        listing = KeptListing{};
        listing.first = first;
    }
    return listing;
}

// What one refresh of a large wallet lists and what it takes from the kept listing.
struct ListingPlan {
    bool large = false;
    std::string stem;
    std::string first;
    std::uint64_t count = 0;         // receive addresses
    std::vector<std::int64_t> index; // per record: its receive index, or -1
    std::vector<char> kept;          // per record: answered from the kept listing
    std::vector<std::uint64_t> seq;  // per record: the `seq` of the kept entry read before listing
    std::vector<std::size_t> sweep;  // records whose balance decides whether they are listed
    std::uint64_t sweep_from = 0;
    std::uint64_t sweep_next = 0;
    std::vector<char> listed; // per receive index: listed whole by now
};

// What a plan needs of the loaded wallet, read under the wallet mutex in one short hold.
struct WalletForPlan {
    bool hd = false;
    std::string stem;
    std::string main;
    AccountAddresses receive;
    std::vector<Hash160> change_owners;
};

WalletForPlan wallet_for_plan() {
    // The receive addresses are derived, where the session has not yet, with the wallet mutex free.
    account_addresses(kReceiveAccount);
    WalletForPlan out;
    WalletLock lock = lock_wallet();
    out.hd = kv_wallet().is_hd;
    out.stem = wallet_file_stem();
    out.main = kv_wallet().address;
    out.receive = account_addresses(kReceiveAccount);
    for (const ChangeCoin& coin : change_coins())
        out.change_owners.push_back(coin.hash160);
    return out;
}

// Decides which records a large wallet lists, from `listing`, read for the wallet of `wallet.stem`.
// Runs with the wallet mutex free: a record whose address is not one of those receive addresses is
// listed.
void plan_listings(const std::vector<AddressRefresh>& records, const WalletForPlan& wallet, const KeptListing& listing,
                   ListingPlan& plan) {
    const AccountAddresses& receive = wallet.receive;
    if (!wallet.hd || receive.count < kKeptListingFrom || receive[0].empty() || receive[0] != listing.first) return;
    const std::shared_ptr<const ReceiveIndex> positions = receive_index_of(receive);
    // Change lands on addresses the listing may not have seen yet; the main address takes it. What
    // the user's own hangings, asks and offers name may be paid at any time.
    std::unordered_set<std::string> always{wallet.main};
    for (const Hash160& owner : wallet.change_owners)
        always.insert(base58check_encode(owner));
    always.insert(listing.named.begin(), listing.named.end());

    plan.large = true;
    plan.stem = wallet.stem;
    plan.first = listing.first;
    plan.count = receive.count;
    plan.index.assign(records.size(), -1);
    plan.kept.assign(records.size(), 0);
    plan.seq.assign(records.size(), 0);
    // An address this refresh does not list was listed moments ago.
    plan.listed.assign(receive.count, 1);
    const std::uint64_t listed_to = std::min<std::uint64_t>(listing.listed_to, receive.count);
    const std::uint64_t slice = std::min(kSweepAddresses, listed_to);
    const std::uint64_t sweep_from = listed_to ? listing.sweep % listed_to : 0;
    // The cursor only grows, so that of two processes the farther one stands; it is taken round
    // the wallet here.
    plan.sweep_from = listing.sweep;
    plan.sweep_next = listing.sweep + slice;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto at = positions->at.find(records[i].address);
        if (at == positions->at.end()) continue;
        const std::uint64_t index = at->second;
        plan.index[i] = static_cast<std::int64_t>(index);
        plan.listed[index] = 0;
        const auto known = listing.addresses.find(records[i].address);
        if (known != listing.addresses.end()) plan.seq[i] = known->second.seq;
        const bool holds = known != listing.addresses.end() && !known->second.coins.empty();
        const bool newest = static_cast<std::int64_t>(index) > listing.last_used && index + kNewestListed >= plan.count;
        if (index >= listed_to || holds || newest || always.count(records[i].address)) continue;
        plan.kept[i] = 1;
        plan.listed[index] = 1;
        if ((index + listed_to - sweep_from) % listed_to < slice) plan.sweep.push_back(i);
    }
}

// Asks the balances of the sweep's addresses; a funded one, or one whose request failed, is listed.
void ask_sweep(const std::vector<AddressRefresh>& records, ListingPlan& plan) {
    const std::size_t batches = (plan.sweep.size() + kBalanceBatch - 1) / kBalanceBatch;
    std::vector<std::vector<char>> funded(batches);
    std::vector<char> answered(batches, 0);
    parallel_for(batches, kSweepThreads, [&](std::uint64_t b) {
        std::vector<std::string> names;
        for (std::size_t k = b * kBalanceBatch; k < std::min(plan.sweep.size(), (b + 1) * kBalanceBatch); ++k)
            names.push_back(records[plan.sweep[k]].address);
        answered[b] = woc_bulk_funded(names, funded[b]) ? 1 : 0;
    });
    for (std::size_t k = 0; k < plan.sweep.size(); ++k) {
        const std::size_t b = k / kBalanceBatch;
        if (answered[b] && !funded[b][k % kBalanceBatch]) continue;
        const std::size_t i = plan.sweep[k];
        plan.kept[i] = 0;
        plan.listed[static_cast<std::size_t>(plan.index[i])] = 0;
    }
}

// Keeps what the records `share` listed whole and saves the file; `done` also moves the sweep on.
void keep_share(const std::vector<AddressRefresh>& records, const std::vector<std::size_t>& share, ListingPlan& plan,
                bool done) {
    std::lock_guard<std::mutex> hold(g_kept_mutex);
    KeptListing listing = kept_for(plan.stem, plan.first);
    for (const std::size_t i : share) {
        const AddressRefresh& record = records[i];
        if (plan.index[i] < 0 || !record.ok || !record.any_ok) continue;
        plan.listed[static_cast<std::size_t>(plan.index[i])] = 1;
        const auto known = listing.addresses.find(record.address);
        if (record.utxos.empty() && known == listing.addresses.end()) continue;
        // Listed after the entry the plan read: one later than it, whatever any clock says.
        listing.addresses[record.address] = KeptAddress{record.utxos, plan.seq[i] + 1};
        if (!record.utxos.empty()) listing.last_used = std::max(listing.last_used, plan.index[i]);
    }
    while (listing.listed_to < plan.count && plan.listed[static_cast<std::size_t>(listing.listed_to)])
        ++listing.listed_to;
    if (done) listing.sweep = std::max(listing.sweep, plan.sweep_next);
    save_kept_listing(kept_listing_path(plan.stem), listing);
}

std::string progress_text(std::size_t listed, std::size_t total) {
    return "Listing the wallet's addresses for the first time: " + std::to_string(listed) + " of " +
           std::to_string(total) + ".";
}

} // namespace

std::string kept_listing_path(const std::string& stem) {
    return kestrava_data_dir() + "/tx_hist/" + stem + "_listing.json";
}

bool load_kept_listing(const std::string& path, const std::string& first, KeptListing& out) {
    out = KeptListing{};
    if (!platform_file_exists(path)) return false;
    KeptListing read;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string text;
        json doc;
        std::string error;
        if (platform_read_file(path, text) && json_parse_bounded(text, doc, error) && listing_of(doc, read)) {
            if (read.first != first) return false;
            out = std::move(read);
            return true;
        }
        // A writer in another process replaces the file in one step; a read caught in between is
        // read once more before the file counts as damaged.
        if (attempt == 0) clock_sleep_ms(kSharedFileRetryMs);
    }
    // Only a cost is lost with it: the addresses are listed again.
    if (platform_file_exists(path)) set_aside_damaged_file(path);
    return false;
}

bool save_kept_listing(const std::string& path, KeptListing& mine) {
    // Without the lock another process's listing could be written over; this one is only a cost.
    const SharedFileLock locked(path);
    if (!locked.taken()) return false;
    KeptListing disk;
    if (load_kept_listing(path, mine.first, disk)) merge_listing(disk, mine);
    std::string text;
    try {
        text = document_of(mine).dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return false;
    }
    return write_data_file(path, text, false);
}

void refresh_wallet_records(std::vector<AddressRefresh>& records, bool with_ords, bool sweep) {
    // The kept file is read, and the plan made, with the wallet mutex free.
    const WalletForPlan wallet = wallet_for_plan();
    const std::string first = wallet.receive.count > 0 ? wallet.receive[0] : std::string();
    ListingPlan plan;
    if (wallet.hd && wallet.receive.count >= kKeptListingFrom && !first.empty()) {
        KeptListing listing;
        {
            std::lock_guard<std::mutex> hold(g_kept_mutex);
            listing = kept_for(wallet.stem, first);
        }
        plan_listings(records, wallet, listing, plan);
    }
    if (!plan.large) {
        refresh_addresses_parallel(records, with_ords);
        return;
    }
    if (sweep) {
        ask_sweep(records, plan);
    } else {
        plan.sweep.clear();
        plan.sweep_next = plan.sweep_from;
    }
    std::vector<std::size_t> todo;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!plan.kept[i]) {
            todo.push_back(i);
            continue;
        }
        // Its last listing found nothing and nothing shows it used since.
        AddressRefresh& record = records[i];
        record.utxos.clear();
        record.ok = record.any_ok = true;
        record.ords_unneeded = true;
    }
    // A first listing goes in shares, each kept as soon as it is read, so a restart goes on from
    // there and the status line shows how far it got.
    const bool first_listing = todo.size() > kFirstListingShare;
    if (first_listing) set_progress(progress_text(0, todo.size()));
    for (std::size_t start = 0; start < todo.size() || start == 0; start += kFirstListingShare) {
        const std::size_t end = std::min(todo.size(), start + kFirstListingShare);
        std::vector<std::size_t> share(todo.begin() + static_cast<std::ptrdiff_t>(start),
                                       todo.begin() + static_cast<std::ptrdiff_t>(end));
        std::vector<AddressRefresh> batch;
        batch.reserve(share.size());
        for (const std::size_t i : share)
            batch.push_back(std::move(records[i]));
        refresh_addresses_parallel(batch, with_ords);
        for (std::size_t k = 0; k < share.size(); ++k)
            records[share[k]] = std::move(batch[k]);
        keep_share(records, share, plan, end == todo.size());
        if (first_listing) {
            set_progress(end == todo.size() ? std::string() : progress_text(end, todo.size()));
            emit_status_event(kCofferlyTag, "progress", progress_text(end, todo.size()));
        }
        if (end == todo.size()) break;
    }
}

bool kept_listing_is_later(const KeptAddress& a, const KeptAddress& b) {
    const bool a_later = coins_show_later(a, b), b_later = coins_show_later(b, a);
    if (a_later != b_later) return a_later;
    if (a.seq != b.seq) return a.seq > b.seq;
    return !a.coins.empty() && b.coins.empty();
}

void note_named_addresses(const std::vector<std::string>& addresses) {
    if (addresses.empty()) return;
    const WalletForPlan wallet = wallet_for_plan();
    // A smaller wallet lists every address at each refresh.
    if (!wallet.hd || wallet.receive.count < kKeptListingFrom || wallet.receive[0].empty()) return;
    const std::shared_ptr<const ReceiveIndex> positions = receive_index_of(wallet.receive);
    std::vector<std::string> named;
    for (const std::string& address : addresses) {
        if (named.size() < kNamedAddresses && positions->at.count(address) &&
            std::find(named.begin(), named.end(), address) == named.end())
            named.push_back(address);
    }
    if (named.empty()) return;
    std::lock_guard<std::mutex> hold(g_kept_mutex);
    KeptListing listing = kept_for(wallet.stem, wallet.receive[0]);
    merge_named(listing.named, named);
    if (named == listing.named) return;
    listing.named = std::move(named);
    save_kept_listing(kept_listing_path(wallet.stem), listing);
}

std::string first_listing_progress() {
    std::lock_guard<std::mutex> hold(g_progress_mutex);
    return g_progress;
}
