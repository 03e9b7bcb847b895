#include "chain/coin_refresh.h"

#include "chain/balance.h"
#include "chain/broadcast.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/gorillapool.h"
#include "chain/kept_listings.h"
#include "chain/outpoints.h"
#include "chain/step_holds.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/parallel.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>

using nlohmann::json;

namespace {

constexpr std::uint64_t kScanWindow = 400;
constexpr std::size_t kScanBatch = 20;
// Addresses per bulk listing request, the service's documented limit.
constexpr std::size_t kBulkBatch = 20;
// Batches in a row without a funded address after which one scan stops; the next goes on from there.
constexpr int kScanEmptyBatches = 2;
constexpr std::int32_t kGpTimeoutS = 20;
// Records applied per hold of the wallet mutex: a few milliseconds' work, so a wallet of 20,000
// addresses keeps no other thread waiting long.
constexpr std::size_t kPruneShare = 500;
// Cache look-ups per hold of the caller's lock while a refresh picks the stale addresses.
constexpr std::size_t kLookUpShare = 4000;

std::atomic<std::uint32_t> g_receive_scan_mark{0};
std::mutex g_scan_mutex;

const char* const kAlreadyKnown[] = {"mempool-conflict", "double_spend",           "double spend",
                                     "seen_in_orphan",   "txn-already-in-mempool", "txn-already-known"};

// Holds the caller's lock again on every way out of a network phase.
struct Relock {
    WalletLock& lock;
    ~Relock() {
        if (!lock.owns_lock()) lock.lock();
    }
};

void release(WalletLock& lock) {
    if (lock.owns_lock()) lock.unlock();
}

std::string gp_unspent_url(const std::string& address) {
    return service_settings().gorillapool_base + "/txos/address/" + address + "/unspent";
}

// A JSON number as a whole count, fraction dropped (the index gives some amounts with one); false
// for other types and for values that do not fit.
bool count_of(const json& value, std::int64_t low, std::int64_t high, std::int64_t& out) {
    if (!value.is_number_float()) return json_whole_number(value, low, high, out);
    const double d = std::trunc(value.get<double>());
    if (!(d >= static_cast<double>(low) && d < 9.2e18 && d <= static_cast<double>(high))) return false;
    out = static_cast<std::int64_t>(d);
    return true;
}

// One plain coin of a GorillaPool txo list; false for anything else.
bool plain_coin_of(const json& item, Utxo& coin) {
    if (!item.is_object()) return false;
    // A txo whose origin cannot be read is not known to be plain, so it is not a coin to spend.
    // Whatever else the index says of an output, only one of a single satoshi carries an ordinal
    // (it names change with an empty MAP as well), so the amount alone decides below.
    bool malformed = false;
    txo_outpoint(item, &malformed);
    if (malformed) return false;
    auto txid = item.find("txid");
    if (txid == item.end() || !txid->is_string()) return false;
    coin.txid = txid->get<std::string>();
    if (!is_txid_hex(coin.txid)) return false;
    std::int64_t vout = 0;
    auto vout_it = item.find("vout");
    if (vout_it != item.end() && vout_it->is_number() &&
        !count_of(*vout_it, 0, std::numeric_limits<std::uint32_t>::max(), vout))
        return false;
    coin.vout = static_cast<std::uint32_t>(vout);
    std::int64_t sats = 0;
    auto amount = item.find("satoshis");
    if (amount == item.end() || !amount->is_number()) amount = item.find("value");
    if (amount != item.end() && amount->is_number() &&
        !count_of(*amount, 0, std::numeric_limits<std::int64_t>::max(), sats))
        return false;
    coin.sats = sats;
    coin.height = -1;
    return sats > 1;
}

// An ordinal or a token rides on an unspent output of its address, so an address whose whole
// listing (confirmed and unconfirmed) came back empty has nothing for GorillaPool to find. Most
// addresses of a large wallet are such, and asking about each would cost two requests apiece.
bool listing_rules_out_ords(const AddressRefresh& record) {
    return record.ok && record.any_ok && record.utxos.empty();
}

// Writes only the record's ordinal members, so it may run beside the record's listing.
void ask_ord_outpoints(AddressRefresh& record) {
    try {
        record.ords_ok = gp_ord_outpoints_at_address(record.address, record.ord_outpoints);
    } catch (...) {
        record.ords_ok = false;
    }
}

// Lists the addresses 20 at a time with WhatsOnChain's bulk listings, confirmed and unconfirmed
// side by side, instead of three requests per address. An address both listings answered for is
// marked in `listed` with its outputs in its record (not yet merged); every other address keeps
// its one-address listings.
void bulk_list_addresses(std::vector<AddressRefresh>& records, std::vector<char>& listed) {
    struct Batch {
        std::vector<std::string> addresses;
        std::vector<std::vector<Utxo>> lists[2];
        std::vector<bool> answered[2];
        bool ok[2] = {false, false};
    };
    std::vector<Batch> batches;
    for (std::size_t start = 0; start < records.size(); start += kBulkBatch) {
        Batch batch;
        for (std::size_t i = start; i < std::min(records.size(), start + kBulkBatch); ++i)
            batch.addresses.push_back(records[i].address);
        batches.push_back(std::move(batch));
    }
    // The bulk requests of a wallet of up to kBulkThreads / 2 batches go out in one round.
    const std::size_t bulk_tasks = batches.size() * 2;
    const std::size_t threads = std::max(kRefreshThreads, std::min(bulk_tasks, kBulkThreads));
    parallel_for(bulk_tasks, threads, [&batches](std::size_t task) {
        Batch& batch = batches[task / 2];
        const std::size_t kind = task % 2;
        try {
            batch.ok[kind] = woc_bulk_unspent(batch.addresses, kind == 0, batch.lists[kind], batch.answered[kind]);
        } catch (...) {
            batch.ok[kind] = false;
        }
    });
    for (std::size_t b = 0; b < batches.size(); ++b) {
        Batch& batch = batches[b];
        if (!batch.ok[0] || !batch.ok[1]) continue;
        for (std::size_t j = 0; j < batch.addresses.size(); ++j) {
            if (!batch.answered[0][j] || !batch.answered[1][j]) continue;
            AddressRefresh& record = records[b * kBulkBatch + j];
            record.utxos = std::move(batch.lists[0][j]);
            for (Utxo& coin : batch.lists[1][j])
                record.utxos.push_back(std::move(coin));
            record.ok = record.any_ok = true;
            listed[b * kBulkBatch + j] = 1;
        }
    }
}

} // namespace

std::atomic<std::uint32_t>& receive_scan_mark() {
    return g_receive_scan_mark;
}

bool refresh_wallet_coins(WalletLock& wallet_lock, std::string& error) {
    error.clear();
    if (!wallet_lock.owns_lock()) wallet_lock.lock();
    if (!load_wallet()) {
        error = "no wallet";
        return false;
    }
    note_wallet_state_changed();
    const std::string stem = wallet_file_stem();
    if (kv_wallet().is_hd) {
        // The keys of a wallet not used yet in this session are derived side by side and with the
        // mutex released; the listing below then finds them cached.
        warm_wallet_keys(wallet_lock);
        if (!load_wallet()) {
            error = "no wallet";
            return false;
        }
        if (wallet_file_stem() != stem) {
            error = "wallet changed.";
            return false;
        }
    }
    if (account_addresses(kReceiveAccount).damaged) {
        error = kAddressCounterTooLargeText;
        return false;
    }
    const std::shared_ptr<const std::vector<std::string>> addresses = wallet_address_list(wallet_lock);
    if (!load_wallet() || wallet_file_stem() != stem) {
        error = "wallet changed.";
        return false;
    }

    // Other threads get the mutex between shares of the look-ups.
    std::vector<std::size_t> stale;
    for (std::size_t i = 0; i < addresses->size(); ++i) {
        if (i > 0 && i % kLookUpShare == 0) {
            wallet_lock.unlock();
            wallet_lock.lock();
            if (!load_wallet() || wallet_file_stem() != stem) {
                error = "wallet changed.";
                return false;
            }
        }
        if (!utxo_cache_fresh((*addresses)[i])) stale.push_back(i);
    }
    if (stale.empty()) return true;
    bool applied = false;
    {
        // The records of a large wallet are made, listed and applied with the caller's lock let go:
        // the application takes the mutex a share of them at a time, so no other thread waits long.
        Relock relock{wallet_lock};
        release(wallet_lock);
        std::vector<AddressRefresh> records(stale.size());
        for (std::size_t k = 0; k < stale.size(); ++k)
            records[k].address = (*addresses)[stale[k]];
        refresh_wallet_records(records, false, false);
        release_unsent_inputs(records);
        applied = refresh_coins_and_prune(records, &stem);
    }
    if (!applied || !load_wallet() || wallet_file_stem() != stem) {
        note_wallet_state_changed();
        error = "wallet changed.";
        return false;
    }
    return true;
}

void refresh_address_coins(AddressRefresh& record, bool with_ords) {
    std::string dropped_error;
    record.utxos.clear();
    record.any_ok = false;
    record.ok = list_address_utxos(record.address, record.utxos, dropped_error, &record.any_ok);
    if (!with_ords) return;
    if (listing_rules_out_ords(record)) {
        record.ords_unneeded = true;
    } else {
        ask_ord_outpoints(record);
    }
}

void refresh_addresses_parallel(std::vector<AddressRefresh>& records, bool with_ords) {
    if (records.empty()) return;
    std::vector<char> listed(records.size(), 0);
    if (records.size() > 1) bulk_list_addresses(records, listed);
    // The ordinal sets of the addresses the bulk round found outputs at are read beside the
    // listings' second round; an address it missed is asked once its own listing is known.
    std::vector<std::size_t> ord_reads;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!with_ords || !listed[i]) continue;
        if (listing_rules_out_ords(records[i])) {
            records[i].ords_unneeded = true;
        } else {
            ord_reads.push_back(i);
        }
    }
    // The ordinal reads take the first tasks, so they go out with the funded addresses' mempool
    // reads rather than after the many listings that need no request.
    const std::size_t reads = ord_reads.size();
    parallel_for(reads + records.size(), kRefreshThreads,
                 [&records, &listed, &ord_reads, reads, with_ords](std::size_t task) {
                     if (task < reads) {
                         ask_ord_outpoints(records[ord_reads[task]]);
                         return;
                     }
                     const std::size_t i = task - reads;
                     AddressRefresh& record = records[i];
                     try {
                         if (listed[i]) {
                             finish_address_listing(record.address, record.utxos);
                         } else {
                             refresh_address_coins(record, with_ords);
                         }
                     } catch (...) {
                         // Out of memory on one address: it counts as a failed listing. The ordinal members of
                         // a listed address belong to its own read.
                         record.ok = record.any_ok = false;
                         if (!listed[i]) record.ords_ok = false;
                     }
                 });
}

bool refresh_coins_and_prune(const std::vector<AddressRefresh>& records, const std::string* stem) {
    WalletLock lock = lock_wallet();
    const std::string loaded = wallet_file_stem();
    if (stem && *stem != loaded) return false;
    // Decoding each address of a large wallet would cost more than the rest of this loop under the
    // mutex; only the few addresses that hold change coins have any to prune.
    std::unordered_set<std::string> change_owners;
    for (const ChangeCoin& coin : change_coins())
        change_owners.insert(base58check_encode(coin.hash160));
    const std::int64_t now = clock_steady_ns();
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0 && i % kPruneShare == 0) {
            lock.unlock();
            lock.lock();
            if (wallet_file_stem() != loaded) return false;
            change_owners.clear();
            for (const ChangeCoin& coin : change_coins())
                change_owners.insert(base58check_encode(coin.hash160));
        }
        const AddressRefresh& record = records[i];
        // Most addresses of a large wallet held nothing and still hold nothing: their entry only
        // becomes fresh again.
        const bool owns_change = change_owners.count(record.address) > 0;
        if (record.ok && record.any_ok && record.utxos.empty() && record.ords_unneeded && !owns_change) {
            AddressCoins* entry = find_address_coins(record.address);
            if (entry != nullptr && entry->loaded && entry->utxos.empty()) {
                entry->stamp = now;
                continue;
            }
        }
        std::vector<Utxo> list;
        for (const Utxo& coin : record.utxos) {
            if (!is_outpoint_spent(coin.txid, coin.vout)) list.push_back(coin);
        }
        // When only the unconfirmed listing answered, the coins cached before still stand.
        address_coins_store(record.address, list, record.ok, !record.any_ok);
        if (record.ok && record.any_ok && owns_change) prune_change_coins(record.address, list);
        if (!record.ords_unneeded) store_ord_outpoints(record.address, record.ord_outpoints, record.ords_ok);
    }
    return true;
}

void prune_change_coins(const std::string& address, const std::vector<Utxo>& fresh) {
    Hash160 h{};
    if (!address_to_hash160(address, h)) return;
    WalletLock lock = lock_wallet();
    std::unordered_set<std::string> listed;
    for (const Utxo& coin : fresh) {
        listed.insert(outpoint_key(coin.txid, coin.vout));
        const std::string reversed = reverse_txid_hex(coin.txid);
        if (!reversed.empty()) listed.insert(outpoint_key(reversed, coin.vout));
    }
    const std::string& last = last_sent_txid();
    auto stale = [&](const ChangeCoin& coin) {
        if (coin.hash160 != h) return false;
        if (is_outpoint_spent(coin.txid, coin.vout)) return true;
        if (!last.empty() && outpoint_equal(last, 0, coin.txid, 0)) return false;
        if (listed.count(outpoint_key(coin.txid, coin.vout))) return false;
        const std::string reversed = reverse_txid_hex(coin.txid);
        return reversed.empty() || !listed.count(outpoint_key(reversed, coin.vout));
    };
    std::vector<ChangeCoin>& coins = change_coins();
    std::vector<ChangeCoin> kept;
    kept.reserve(coins.size());
    for (ChangeCoin& coin : coins) {
        if (stale(coin)) {
            wipe(coin.priv_hex);
        } else {
            kept.push_back(std::move(coin));
        }
    }
    coins.swap(kept);
}

bool change_hash160(Hash160& hash160, std::string& error) {
    error.clear();
    WalletLock lock = lock_wallet();
    const KvCofferlyWallet& w = kv_wallet();
    if (!address_to_hash160(w.address, hash160)) {
        error = "cofferly address decode failed.";
        return false;
    }
    if (!is_house_oracle_address(w.address)) return true;
    const AccountAddresses receive = account_addresses(kReceiveAccount);
    if (receive.damaged) {
        error = kAddressCounterTooLargeText;
        return false;
    }
    for (std::size_t i = 0; i < receive.count; ++i) {
        const std::string& address = receive[i];
        if (address.empty() || is_house_oracle_address(address)) continue;
        if (address_to_hash160(address, hash160)) return true;
    }
    error = "change would land on a house oracle.";
    return false;
}

bool gp_plain_coins(const std::string& address, std::vector<Utxo>& list) {
    list.clear();
    // An address goes into a URL path; anything but base58 letters could change the request.
    if (!is_ascii_alnum_text(address)) return false;
    std::string body, error;
    if (!http_get(gp_unspent_url(address), body, error, kGpTimeoutS, false)) return false;
    const json reply = json_parse_or_discarded(body);
    if (!reply.is_array()) return false;
    for (const json& item : reply) {
        Utxo coin;
        if (plain_coin_of(item, coin)) list.push_back(std::move(coin));
    }
    return !list.empty();
}

void resync_plain_coins(WalletLock& wallet_lock) {
    if (!wallet_lock.owns_lock()) wallet_lock.lock();
    std::vector<std::string> addresses;
    list_wallet_addresses(addresses);
    struct Found {
        std::string address;
        std::vector<Utxo> list;
        bool found = false;
    };
    std::vector<Found> records;
    for (const std::string& address : addresses)
        records.push_back(Found{address, {}, false});
    const std::string stem = wallet_file_stem();
    {
        Relock relock{wallet_lock};
        release(wallet_lock);
        for (Found& record : records)
            record.found = gp_plain_coins(record.address, record.list);
    }
    // Another wallet loaded meanwhile: these coins are not its own.
    if (!load_wallet() || wallet_file_stem() != stem) return;
    load_spent_outpoints();
    bool removed = false;
    for (const Found& record : records) {
        if (!record.found) continue;
        // A coin an unsettled row names stays out until its payment's fate is known: GorillaPool lists a
        // payment that no service took, or took late, the same way.
        std::vector<Utxo> free;
        for (const Utxo& coin : record.list) {
            const std::string key = outpoint_key(coin.txid, coin.vout);
            if (unsettled_names(key)) continue;
            removed |= unmark_spent_key(key);
            free.push_back(coin);
        }
        address_coins_store(record.address, free, true, true);
        prune_change_coins(record.address, free);
    }
    if (removed) save_spent_outpoints();
}

bool is_already_known_error(const std::string& reply) {
    const std::string lowered = to_lower_copy(reply);
    return std::any_of(std::begin(kAlreadyKnown), std::end(kAlreadyKnown),
                       [&](const char* needle) { return lowered.find(needle) != std::string::npos; });
}

void spend_inputs_expire_caches(const std::vector<TxInput>& inputs, std::size_t from) {
    WalletLock lock = lock_wallet();
    mark_inputs_spent(inputs, from);
    drop_spent_cached_utxos();
    expire_address_coins();
}

void scan_hd_balances() {
    std::lock_guard<std::mutex> scan(g_scan_mutex);
    std::uint32_t counter = 0;
    std::uint64_t first = 0, last = 0;
    std::string stem;
    {
        WalletLock lock = lock_wallet();
        if (!load_wallet() || !kv_wallet().is_hd) return;
        counter = kv_wallet().recv[kReceiveAccount];
        first = std::max<std::uint64_t>(receive_scan_mark(), std::uint64_t{counter} + 1);
        last = std::min<std::uint64_t>(std::uint64_t{counter} + kScanWindow, kLastNormalIndex);
        stem = wallet_file_stem();
    }

    std::uint32_t highest = counter;
    bool any_batch = false;
    std::uint32_t last_asked = 0;
    int empty_run = 0;
    for (std::uint64_t start = first; start <= last; start += kScanBatch) {
        // Each batch's addresses are derived just before it is asked (a derivation is costly, and
        // most scans end after two batches), and only while the same wallet is loaded. Only the
        // addresses are wanted: the account's kept list grows by public derivation, no private key
        // is made. What the list lacks (the whole wallet, on a session's first scan) is derived
        // with the mutex free, and the batch is then read from the list under it.
        const std::uint64_t end = std::min<std::uint64_t>(last, start + kScanBatch - 1);
        account_addresses(kReceiveAccount, end - counter);
        std::vector<IndexedAddress> batch;
        bool derive_failed = false;
        {
            WalletLock lock = lock_wallet();
            if (!load_wallet() || !kv_wallet().is_hd || wallet_file_stem() != stem) break;
            const AccountAddresses receive = account_addresses(kReceiveAccount, end - counter);
            for (std::uint64_t i = start; i <= end; ++i) {
                if (i >= receive.count || receive[static_cast<std::size_t>(i)].empty()) {
                    derive_failed = true;
                    break;
                }
                batch.push_back(IndexedAddress{static_cast<std::uint32_t>(i), receive[static_cast<std::size_t>(i)]});
            }
        }
        if (batch.empty()) break;
        const std::uint32_t before = highest;
        if (!woc_bulk_balances(batch, highest)) break;
        any_batch = true;
        last_asked = batch.back().index;
        if (derive_failed) break;
        empty_run = highest > before ? 0 : empty_run + 1;
        // Asking for the whole window at once would cost a fresh wallet twenty requests on a
        // service that limits clients to a few a second. After a run of unused addresses this
        // scan stops, and the next one goes on from the mark, so the whole window is still asked
        // over a few refreshes and coins far above the counter are found all the same.
        if (empty_run >= kScanEmptyBatches) break;
    }
    if (any_batch) receive_scan_mark() = last_asked + 1;
    if (highest <= counter) return;

    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    if (!load_wallet() || !w.is_hd || wallet_file_stem() != stem || w.recv[kReceiveAccount] >= highest) return;
    w.recv[kReceiveAccount] = highest;
    save_wallet();
    note_wallet_state_changed();
}

void clear_chain_session_state() {
    WalletLock lock = lock_wallet();
    receive_scan_mark() = 0;
    reset_displayed_balance();
    clear_spent_state();
    note_step_holds_path("");
    clear_change_coins();
    last_sent_txid().clear();
    clear_coin_caches();
}
