#include "identity/wallet_status.h"

#include "chain/balance.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/coin_state.h"
#include "chain/inscription.h"
#include "chain/kept_listings.h"
#include "chain/woc_client.h"
#include "identity/paymail_announce.h"
#include "identity/paymail_claim.h"
#include "identity/paymail_registry.h"
#include "wallet/clock.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace {

constexpr std::int64_t kMsPerNs = 1000000;
// Cache look-ups per hold of the wallet mutex while a run picks the addresses to ask about.
constexpr std::size_t kLookUpShare = 4000;

// A run that starts while another is in its network phase makes the older one's results stale.
std::atomic<std::uint64_t> g_generation{0};

// The last full coin refresh of a status run (steady milliseconds); its own lock, since the
// generation check lets a run end without the wallet mutex.
std::mutex g_recorded_mutex;
bool g_recorded = false;
std::int64_t g_recorded_ms = 0;

bool recorded_within(std::int64_t now_ms) {
    std::lock_guard<std::mutex> hold(g_recorded_mutex);
    return g_recorded && now_ms - g_recorded_ms >= 0 && now_ms - g_recorded_ms < kStatusRefreshThrottleMs;
}

void record_refresh(std::int64_t now_ms) {
    std::lock_guard<std::mutex> hold(g_recorded_mutex);
    g_recorded = true;
    g_recorded_ms = now_ms;
}

const AddressCoins* cache_entry(const std::string& address) {
    return find_address_coins(address);
}

// Whether the address is asked again this run. The caller holds the wallet mutex.
bool wants_refresh(const std::string& address, bool recent) {
    if (!utxo_cache_fresh(address)) return true;
    if (recent) return false;
    const std::int64_t now_ms = clock_steady_ms();
    if (recorded_within(now_ms)) return false;
    const AddressCoins* entry = cache_entry(address);
    if (entry == nullptr) return true;
    const std::int64_t age_ms = (clock_steady_ns() - entry->stamp) / kMsPerNs;
    return age_ms < 0 || age_ms >= kStatusRefreshThrottleMs;
}

} // namespace

void reset_wallet_status_refresh() {
    std::lock_guard<std::mutex> hold(g_recorded_mutex);
    g_recorded = false;
    g_recorded_ms = 0;
}

namespace {

// One run of the refresh but for the host role.
void refresh_status_and_paymail(WalletStatus& status) {
    status = WalletStatus{};
    scan_hd_balances();

    WalletLock lock = lock_wallet();
    // Addresses not derived yet this session are derived with the mutex released.
    if (load_wallet()) warm_wallet_keys(lock);
    if (!load_wallet()) {
        emit_status_event(kCofferlyTag, "status");
        emit_status_event(kCofferlyTag, "paymail");
        return;
    }
    sync_wallet_from_file();
    ensure_wallet_paymail(true);
    if (!kv_wallet().identity_pub.empty()) set_identity_avatar(kv_wallet().ord_avatar);

    // The shared list: made again only when the wallet's addresses changed.
    const std::string stem = wallet_file_stem();
    const std::shared_ptr<const std::vector<std::string>> address_list = wallet_address_list(lock);
    if (wallet_file_stem() != stem) return;
    const std::vector<std::string>& addresses = *address_list;
    const std::uint64_t generation = ++g_generation;
    const std::int64_t start_ms = clock_steady_ms();
    const bool recent = recorded_within(start_ms);

    // Only the look-ups need the mutex, and other threads get it between shares of them; the
    // records of a large wallet are made once it is free.
    std::vector<std::size_t> wanted;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (i > 0 && i % kLookUpShare == 0) {
            lock.unlock();
            lock.lock();
            if (wallet_file_stem() != stem) return;
        }
        if (wants_refresh(addresses[i], recent)) wanted.push_back(i);
    }

    const KvCofferlyWallet& w = kv_wallet();
    status.loaded = 1;
    status.is_hd = w.is_hd ? 1 : 0;
    status.address = w.address;
    const std::string alias = w.paymail;
    const std::string identity_pub = w.identity_pub;
    const std::string receive_address = w.address;
    const std::string avatar = w.ord_avatar;
    const std::string ord_address = derive_ordinals_key();
    lock.unlock();

    std::vector<AddressRefresh> requests(wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i)
        requests[i].address = addresses[wanted[i]];
    const bool full = !recent;
    refresh_wallet_records(requests, full, true);
    release_unsent_inputs(requests);

    if (g_generation.load() != generation) return;
    lock.lock();
    if (wallet_file_stem() != stem) return;
    // When only the unconfirmed listing answered, the confirmed coins are not known; with no earlier
    // list of the address to stand on, an empty answer would read as a balance of zero and stay
    // fresh for the next runs. Such an address stays unknown instead.
    for (AddressRefresh& request : requests) {
        if (!request.ok || request.any_ok) continue;
        const AddressCoins* entry = cache_entry(request.address);
        if (entry == nullptr || !entry->loaded) request.ok = false;
    }
    // Twenty thousand records take a while to apply: other threads get the mutex in between.
    lock.unlock();
    if (!refresh_coins_and_prune(requests)) return;
    lock.lock();
    if (wallet_file_stem() != stem) return;
    if (full) record_refresh(clock_steady_ms());

    bool known = std::any_of(requests.begin(), requests.end(), [](const AddressRefresh& r) { return r.ok; });
    for (std::size_t i = 0; i < addresses.size() && !known; ++i) {
        const AddressCoins* entry = cache_entry(addresses[i]);
        known = entry != nullptr && entry->loaded;
    }
    status.balance_known = known ? 1 : 0;
    status.balance_fresh =
        std::all_of(requests.begin(), requests.end(), [](const AddressRefresh& r) { return r.ok; }) ? 1 : 0;

    std::int64_t balance = spendable_balance_sats();
    // shown_balance holds the figure at the after-payment value while the services lag behind a
    // payment; a negative figure passes through untouched. Its face file is flushed to disk once
    // the mutex is free.
    if (balance >= 0) balance = shown_balance(balance, 0, false);
    const std::string face_path = history_face_path();
    status.balance = balance;
    status.address = kv_wallet().address;
    status.is_hd = kv_wallet().is_hd ? 1 : 0;

    const std::string balance_text = known ? std::to_string(std::max<std::int64_t>(balance, 0)) : "-";
    emit_status_event(kCofferlyTag, "status", status.address, balance_text, status.is_hd ? "hd" : "legacy");
    emit_status_event(kCofferlyTag, "paymail", full_paymail(kv_wallet().paymail));
    lock.unlock();
    write_history_face(face_path, status.address, balance);

    claim_paymail_if_changed(alias, identity_pub, receive_address, avatar, ord_address);
}

} // namespace

void refresh_wallet_status(WalletStatus& status) {
    // The host role needs nothing the run reads: it is asked beside the run, not after it.
    run_beside([] { paymail_quota_refresh(); }, [&status] { refresh_status_and_paymail(status); });
}

std::string connected_paymail_alias() {
    WalletLock lock = lock_wallet();
    if (!load_wallet()) return "";
    ensure_wallet_paymail(false);
    return kv_wallet().paymail;
}

std::string connected_paymail() {
    return full_paymail(connected_paymail_alias());
}
