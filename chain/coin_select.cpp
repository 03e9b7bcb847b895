#include "chain/coin_select.h"

#include "chain/broadcast.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace {

constexpr std::uint64_t kMaxSignedSats = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
constexpr char kErrorPrefix[] = "error: ";

// A hostile listing could claim values whose sum wraps; the total sticks at the top instead.
std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// Both byte orders of one outpoint, so a single look-up finds either spelling.
void insert_both_orders(std::unordered_set<std::string>& keys, const std::string& txid, std::uint32_t vout) {
    keys.insert(outpoint_key(txid, vout));
    const std::string reversed = reverse_txid_hex(txid);
    if (!reversed.empty()) keys.insert(outpoint_key(reversed, vout));
}

bool avoided(const UtxoCollection& c, const std::string& txid, std::uint32_t vout) {
    if (c.avoid.empty()) return false;
    if (c.avoid.count(reserve_key(txid, vout))) return true;
    const std::string reversed = reverse_txid_hex(txid);
    return !reversed.empty() && c.avoid.count(reserve_key(reversed, vout)) > 0;
}

void wipe_change_coin(ChangeCoin& coin) {
    wipe(coin.priv_hex);
}

// Removes every change coin whose outpoint passes `match`, wiping the key it carried.
template <typename Match> void remove_change_coins(Match match) {
    std::vector<ChangeCoin>& coins = change_coins();
    auto end = std::remove_if(coins.begin(), coins.end(), [&](ChangeCoin& coin) {
        if (!match(coin)) return false;
        wipe_change_coin(coin);
        return true;
    });
    coins.erase(end, coins.end());
}

void wipe_input_keys(std::vector<TxInput>& inputs) {
    for (TxInput& in : inputs)
        wipe(in.priv_hex);
}

// Offers every coin of one address's cache entry with that address's key.
void add_address_coins(UtxoCollection& c, const AddressCoins* entry, const std::string& priv_hex,
                       const std::string& pub_hex, const Hash160& hash160) {
    if (!entry) return;
    for (const Utxo& coin : entry->utxos)
        add_utxo_candidate(c, coin, priv_hex, pub_hex, hash160, entry->address);
}

void add_cached_coins(UtxoCollection& c) {
    // The cache's own index finds each address: a map of twenty thousand addresses made afresh at
    // every collection would cost more than the rest under the wallet mutex.
    auto entry_of = [](const std::string& address) -> const AddressCoins* {
        const AddressCoins* entry = find_address_coins(address);
        if (entry == nullptr || entry->loaded) return entry;
        // The first loaded entry of the address counts, should the list hold it twice.
        for (const AddressCoins& other : address_coins())
            if (other.loaded && other.address == address) return &other;
        return nullptr;
    };

    const KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd) {
        Hash160 h{};
        if (address_to_hash160(w.address, h)) add_address_coins(c, entry_of(w.address), w.priv, w.pub, h);
        return;
    }
    if (w.mnemonic.empty()) return;
    // Only the addresses that hold coins need their keys.
    const AccountAddresses receive = account_addresses(kReceiveAccount);
    std::string priv, pub, address;
    for (std::size_t i = 0; i < receive.count; ++i) {
        const AddressCoins* entry = receive[i].empty() ? nullptr : entry_of(receive[i]);
        Hash160 h{};
        if (entry && !entry->utxos.empty() &&
            derive_account_key(kReceiveAccount, static_cast<std::uint32_t>(i), priv, pub, address) &&
            address_to_hash160(address, h))
            add_address_coins(c, entry, priv, pub, h);
        wipe(priv);
    }
    Hash160 h{};
    if (derive_path(kIdentityPath, priv, pub, address) && address_to_hash160(address, h))
        add_address_coins(c, entry_of(address), priv, pub, h);
    wipe(priv);
}

bool confirmed_then_largest(const TxInput& a, const TxInput& b) {
    const bool a_confirmed = a.height != 0;
    const bool b_confirmed = b.height != 0;
    if (a_confirmed != b_confirmed) return a_confirmed;
    return a.sats > b.sats;
}

std::size_t outputs_bytes(const std::vector<TxOutput>& outputs) {
    std::size_t n = compact_size_bytes(outputs.size());
    for (const TxOutput& out : outputs)
        n += 8 + compact_size_bytes(out.script.size()) + out.script.size();
    return n;
}

std::string insufficient_text(std::uint64_t need, std::uint64_t have) {
    return "insufficient funds. Need " + std::to_string(need) + " sats, you have " + std::to_string(have) +
           " in your Cofferly wallet.";
}

// What the wallet's address list was made from: every account's kept address list (its version
// and count), and the keys of the wallet.
struct AddressListSources {
    bool is_hd = false;
    std::string address;
    std::string identity_address;
    bool has_words = false;
    std::vector<AccountAddresses> accounts;
    bool operator==(const AddressListSources& other) const {
        if (is_hd != other.is_hd || address != other.address || identity_address != other.identity_address ||
            has_words != other.has_words || accounts.size() != other.accounts.size())
            return false;
        for (std::size_t i = 0; i < accounts.size(); ++i) {
            const AccountAddresses& a = accounts[i];
            const AccountAddresses& b = other.accounts[i];
            // A list that grew past the counter (the balance scan looks ahead) keeps its version
            // and its first entries, so the version alone tells a list made afresh.
            if (a.count != b.count || a.version != b.version || (a.list == nullptr) != (b.list == nullptr))
                return false;
        }
        return true;
    }
};

struct AddressListCache {
    AddressListSources sources;
    std::shared_ptr<const std::vector<std::string>> list;
};

AddressListCache& address_list_cache() {
    static AddressListCache cache;
    return cache;
}

AddressListSources address_list_sources() {
    const KvCofferlyWallet& w = kv_wallet();
    AddressListSources sources;
    sources.is_hd = w.is_hd;
    sources.address = w.address;
    sources.identity_address = w.identity_address;
    sources.has_words = !w.mnemonic.empty();
    if (w.is_hd && !w.mnemonic.empty())
        for (std::uint32_t account = 0; account < w.recv.size(); ++account)
            sources.accounts.push_back(account_addresses(account));
    return sources;
}

// Reads only the sources, so it runs with the wallet mutex free: the kept lists they hold only grow
// past their counts meanwhile. A house oracle is the wallet's when one of its own addresses is it.
void build_wallet_addresses(const AddressListSources& sources, std::vector<std::string>& addresses) {
    addresses.clear();
    const AccountAddresses none;
    const AccountAddresses& receive =
        sources.accounts.size() > kReceiveAccount ? sources.accounts[kReceiveAccount] : none;
    // The texts are looked up where they stand: a copy of each would double the work.
    std::unordered_set<std::string_view> seen;
    seen.reserve(receive.count + 8);
    addresses.reserve(receive.count + 8);
    auto add = [&](const std::string& address) {
        if (!address.empty() && seen.insert(address).second) addresses.push_back(address);
    };
    auto is_mine = [&](const std::string& address) {
        if (!sources.is_hd) return address == sources.address;
        if (!sources.has_words) return false;
        if (address == sources.identity_address) return true;
        for (const AccountAddresses& account : sources.accounts)
            for (std::size_t i = 0; i < account.count; ++i)
                if (account[i] == address) return true;
        return false;
    };
    if (!sources.is_hd) {
        add(sources.address);
    } else {
        for (std::size_t i = 0; i < receive.count; ++i)
            add(receive[i]);
        add(sources.identity_address);
    }
    for (const HouseOracleRow& row : house_oracles()) {
        for (const std::string* oracle : {&row.addr3, &row.addr1, &row.addr2}) {
            Hash160 h{};
            if (!oracle->empty() && address_to_hash160(*oracle, h) && is_mine(*oracle)) add(*oracle);
        }
    }
}

} // namespace

std::shared_ptr<const std::vector<std::string>> wallet_address_list(WalletLock& lock) {
    if (!lock.owns_lock()) lock.lock();
    AddressListSources sources = address_list_sources();
    AddressListCache& cache = address_list_cache();
    if (cache.list && cache.sources == sources) {
        cache.sources = std::move(sources); // the next look-up compares the lists kept now
        return cache.list;
    }
    // Twenty thousand addresses take a while to gather; other threads get the mutex meanwhile.
    auto list = std::make_shared<std::vector<std::string>>();
    lock.unlock();
    build_wallet_addresses(sources, *list);
    lock.lock();
    AddressListSources now = address_list_sources();
    if (!(now == sources)) {
        build_wallet_addresses(now, *list);
        sources = std::move(now);
    }
    cache.sources = std::move(sources);
    cache.list = std::move(list);
    return cache.list;
}

std::shared_ptr<const std::vector<std::string>> wallet_address_list() {
    WalletLock lock = lock_wallet();
    return wallet_address_list(lock);
}

void list_wallet_addresses(std::vector<std::string>& addresses) {
    auto lock = lock_wallet();
    addresses = *wallet_address_list();
}

void store_ord_outpoints(const std::string& address, const std::unordered_set<std::string>& outpoints, bool ok) {
    const std::int64_t now = clock_steady_ms();
    OrdOutpointSet& entry = ord_outpoint_set_entry(address);
    entry.outpoints = outpoints;
    entry.ok = ok;
    entry.stamp = now;
    if (!ok) {
        ord_outpoint_failed() = true;
        ord_outpoint_failed_at() = now;
    }
}

bool is_ord_outpoint_at(const std::string& address, const Utxo& coin) {
    // An ordinal rides on one satoshi; a larger output a reader named is plain change it misread.
    if (coin.sats > 1) return false;
    const bool one_sat = coin.sats == 1;
    const std::int64_t now = clock_steady_ms();
    if (ord_outpoint_failed() && now - ord_outpoint_failed_at() < kOrdSetFreshMs) return one_sat;
    const OrdOutpointSet* entry = find_ord_outpoint_set(address);
    if (entry == nullptr || now - entry->stamp >= kOrdSetFreshMs) return one_sat;
    if (entry->outpoints.count(outpoint_key(coin.txid, coin.vout))) return true;
    return !entry->ok && one_sat;
}

bool is_ord_outpoint_any(const Utxo& coin) {
    if (coin.sats > 1) return false;
    if (ord_outpoint_failed() && clock_steady_ms() - ord_outpoint_failed_at() < kOrdSetFreshMs) return coin.sats == 1;
    const std::string key = outpoint_key(coin.txid, coin.vout);
    for (const OrdOutpointSet& entry : ord_outpoint_sets())
        if (entry.outpoints.count(key)) return true;
    return false;
}

std::int64_t fee_for_size(std::size_t size) {
    if (size < 1) return 1;
    return static_cast<std::int64_t>(size / 10 + (size % 10 != 0 ? 1 : 0));
}

std::size_t compact_size_bytes(std::uint64_t value) {
    if (value < 253) return 1;
    if (value <= 0xFFFF) return 3;
    if (value <= 0xFFFFFFFFull) return 5;
    return 9;
}

std::size_t estimate_tx_size(std::size_t input_count, const std::vector<TxOutput>& outputs) {
    return 4 + compact_size_bytes(input_count) + kEstimateInputBytes * input_count + outputs_bytes(outputs) + 4;
}

bool begin_utxo_collection(UtxoCollection& collection, const std::vector<std::string>* avoid, std::string& error) {
    collection = UtxoCollection{};
    error = spent_file_hold_text();
    if (!error.empty()) return false;
    if (!load_reserved_outpoints(collection.reserved, error)) {
        // This module's texts leave the "error: " prefix to the operation that words the message.
        if (error.compare(0, sizeof(kErrorPrefix) - 1, kErrorPrefix) == 0) error.erase(0, sizeof(kErrorPrefix) - 1);
        return false;
    }
    if (avoid) {
        for (const std::string& key : *avoid)
            collection.avoid.insert(normalize_reserve_outpoint(key));
    }
    for (const ChangeCoin& coin : change_coins())
        insert_both_orders(collection.change, coin.txid, coin.vout);
    return true;
}

void add_utxo_candidate(UtxoCollection& collection, const Utxo& coin, const std::string& priv_hex,
                        const std::string& pub_hex, const Hash160& hash160, const std::string& address) {
    if (!is_txid_hex(coin.txid) || coin.sats < 1) return;
    if (is_outpoint_spent(coin.txid, coin.vout)) return;
    if (address.empty()) {
        // A change coin of 1 sat may be an inscription that our own transaction sent to the
        // ordinals address and that GorillaPool does not list yet; it is worth less than the fee of
        // spending it, so it is never taken.
        if (coin.sats == 1 || is_ord_outpoint_any(coin)) return;
    } else if (is_ord_outpoint_at(address, coin)) {
        return;
    }
    if (is_reserved(collection.reserved, coin.txid, coin.vout)) return;
    if (avoided(collection, coin.txid, coin.vout)) return;
    const std::string key = outpoint_key(coin.txid, coin.vout);
    if (collection.taken.count(key)) return;

    insert_both_orders(collection.taken, coin.txid, coin.vout);
    if (!collection.defer_change_removal && collection.change.count(key)) {
        remove_change_coins([&](const ChangeCoin& c) { return outpoint_equal(c.txid, c.vout, coin.txid, coin.vout); });
    }
    TxInput in;
    in.txid = coin.txid;
    in.vout = coin.vout;
    in.sats = static_cast<std::uint64_t>(coin.sats);
    in.height = coin.height;
    in.priv_hex = priv_hex;
    in.pub_hex = pub_hex;
    in.hash160 = hash160;
    collection.inputs.push_back(std::move(in));
    collection.total = add_saturating(collection.total, static_cast<std::uint64_t>(coin.sats));
}

void add_change_candidates(UtxoCollection& collection) {
    std::vector<ChangeCoin> coins = change_coins();
    const bool deferred = collection.defer_change_removal;
    // Removing each collected coin from the list at once would walk the list once per coin.
    collection.defer_change_removal = true;
    for (ChangeCoin& coin : coins) {
        std::string priv = coin.priv_hex;
        std::string pub = coin.pub_hex;
        // A coin without keys takes the wallet key that owns its hash160; the receive key alone
        // would sign for a different lock and sink the whole payment at the broadcast.
        if ((priv.empty() || pub.empty()) && !find_key_for_hash160(coin.hash160, priv, pub)) {
            wipe(priv);
            wipe_change_coin(coin);
            continue;
        }
        add_utxo_candidate(collection, utxo_of(coin), priv, pub, coin.hash160, std::string());
        wipe(priv);
        wipe_change_coin(coin);
    }
    collection.defer_change_removal = deferred;
    remove_change_coins([&](const ChangeCoin& c) { return collection.taken.count(outpoint_key(c.txid, c.vout)) > 0; });
}

bool collect_spendable_utxos(std::vector<TxInput>& inputs, std::uint64_t& total, std::string& error,
                             const std::vector<std::string>* avoid) {
    wipe_input_keys(inputs);
    inputs.clear();
    total = 0;
    error.clear();
    auto lock = lock_wallet();
    load_spent_outpoints();
    load_change_coins();

    UtxoCollection c;
    if (!begin_utxo_collection(c, avoid, error)) return false;
    add_change_candidates(c);
    add_cached_coins(c);
    if (c.inputs.empty()) {
        // The services may not list our last transaction yet; its outputs to our keys are ours.
        if (learn_own_outputs(last_sent_txid()) || learn_own_outputs(last_success_txid())) add_change_candidates(c);
    }
    std::stable_sort(c.inputs.begin(), c.inputs.end(), confirmed_then_largest);
    inputs = std::move(c.inputs);
    total = c.total;
    return !inputs.empty();
}

std::size_t selection_size(const PaymentSelection& selection) {
    const std::size_t n = selection.inputs.size();
    return 4 + compact_size_bytes(n) + kEstimateInputBytes * n + selection.outputs_bytes + 4;
}

bool try_add_input(PaymentSelection& selection, const TxInput& candidate) {
    // Inputs already selected passed this same test, so the candidate's id alone decides whether
    // the whole transaction still serialises.
    if (!is_txid_hex(candidate.txid)) return false;
    selection.inputs.push_back(candidate);
    selection.total = add_saturating(selection.total, candidate.sats);
    return true;
}

namespace {

// A change output of 1 sat would be taken for an ordinal and never spent as money.
constexpr std::uint64_t kMinChangeSats = 2;

// Adds the change output when what is left over the fee it costs makes one; otherwise the excess,
// too small for an output of its own, goes to the fee, which then is more than the rate asks. `fee`
// comes in as the fee without change and leaves as the transaction's fee. False when the
// transaction with change does not serialise.
bool add_change_output(const std::vector<TxInput>& inputs, std::uint64_t total, std::uint64_t sum,
                       const Hash160& change_hash160, std::vector<TxOutput>& outputs, std::int64_t& fee) {
    if (total > sum + static_cast<std::uint64_t>(fee)) {
        TxOutput change;
        change.sats = total - sum - static_cast<std::uint64_t>(fee);
        change.script = p2pkh_script(change_hash160);
        outputs.push_back(std::move(change));
        const Bytes with_change = serialize_tx(inputs, outputs, true);
        if (with_change.empty()) return false;
        const std::uint64_t need = sum + static_cast<std::uint64_t>(fee_for_size(with_change.size()));
        if (total >= need + kMinChangeSats) {
            outputs.back().sats = total - need;
            fee = fee_for_size(with_change.size());
            return true;
        }
        outputs.pop_back();
    }
    fee = static_cast<std::int64_t>(total - sum);
    return true;
}

} // namespace

bool build_payment_tx(std::vector<TxInput>& candidates, std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                      const std::vector<TxOutput>& requested, std::int64_t& fee, std::string& error,
                      std::size_t forced) {
    fee = 0;
    error.clear();
    outputs = requested;
    if (requested.empty()) {
        error = "nothing to pay.";
        return false;
    }
    std::uint64_t sum = 0;
    for (const TxOutput& out : requested) {
        // Outputs beyond the signed range, alone or summed, could never be paid and would wrap.
        if (out.sats > kMaxSignedSats || out.script.empty() || out.sats > kMaxSignedSats - sum) {
            error = "invalid inscription output.";
            return false;
        }
        sum += out.sats;
    }

    PaymentSelection sel;
    sel.outputs_bytes = outputs_bytes(requested);
    struct KeyWiper {
        std::vector<TxInput>& inputs;
        ~KeyWiper() { wipe_input_keys(inputs); }
    } wiper{sel.inputs};

    const std::size_t k = std::min(forced, candidates.size());
    for (std::size_t i = 0; i < k; ++i) {
        if (!try_add_input(sel, candidates[i])) {
            error = "could not include inscription input.";
            return false;
        }
    }
    auto covered = [&] {
        const std::uint64_t fee_with_change =
            static_cast<std::uint64_t>(fee_for_size(selection_size(sel) + kChangeOutputBytes));
        return sel.total >= sum + fee_with_change;
    };
    if (!covered()) {
        std::size_t unconfirmed = static_cast<std::size_t>(
            std::count_if(sel.inputs.begin(), sel.inputs.end(), [](const TxInput& in) { return in.height == 0; }));
        for (std::size_t i = k; i < candidates.size(); ++i) {
            const TxInput& candidate = candidates[i];
            if (candidate.height == 0 && unconfirmed >= kMaxUnconfirmedInputs) continue;
            if (!try_add_input(sel, candidate)) continue;
            if (candidate.height == 0) ++unconfirmed;
            if (covered()) break;
        }
    }

    wipe_input_keys(candidates);
    candidates = std::move(sel.inputs);
    sel.inputs.clear();
    const std::uint64_t total = sel.total;

    const Bytes plain = serialize_tx(candidates, outputs, true);
    if (plain.empty()) {
        error = "failed to build transaction.";
        return false;
    }
    const std::int64_t fee0 = fee_for_size(plain.size());
    fee = fee0;
    const std::uint64_t need = sum + static_cast<std::uint64_t>(fee0);
    if (total < need) {
        error = insufficient_text(need, total);
        return false;
    }
    if (!add_change_output(candidates, total, sum, change_hash160, outputs, fee)) {
        error = "failed to build transaction.";
        return false;
    }
    return true;
}
