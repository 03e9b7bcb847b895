#include "wallet/keys.h"

#include "wallet/crypto.h"
#include "wallet/curve.h"
#include "wallet/identity_services.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using Ext = std::array<std::uint8_t, 64>;

constexpr std::uint32_t kSpendAccounts = 6;

// A wallet with receive counters far beyond any real use would otherwise grow the cache without
// bound during a scan; at this size the cache starts afresh.
constexpr std::size_t kMaxCachedKeys = 20000;

// Threads warm_wallet_keys derives on at most.
constexpr std::size_t kWarmThreads = 8;

// BIP32 private child; `parent_pub`, when given, spares recomputing the parent's public key.
bool ckd_priv(const Ext& parent, const std::array<std::uint8_t, 33>* parent_pub, std::uint32_t index, Ext& child) {
    std::uint8_t data[37];
    std::size_t data_len = 0;
    if (index & kHardened) {
        data[0] = 0;
        std::memcpy(data + 1, parent.data(), 32);
        data_len = 37;
    } else {
        std::array<std::uint8_t, 33> pub{};
        if (parent_pub) {
            pub = *parent_pub;
        } else if (!curve_pub_from_priv(parent.data(), pub)) {
            return false;
        }
        std::memcpy(data, pub.data(), 33);
        data_len = 37;
    }
    data[33] = static_cast<std::uint8_t>(index >> 24);
    data[34] = static_cast<std::uint8_t>(index >> 16);
    data[35] = static_cast<std::uint8_t>(index >> 8);
    data[36] = static_cast<std::uint8_t>(index);

    Ext i{};
    bool ok = hmac_sha512(parent.data() + 32, 32, data, data_len, i);
    wipe(data, sizeof data);
    // IL at or above n, or a zero child, has no key: BIP32 says to move to the next index, which is
    // the caller's choice, so the derivation only reports it.
    if (ok) {
        std::memcpy(child.data(), parent.data(), 32);
        ok = curve_priv_add(child.data(), i.data());
    }
    if (ok) std::memcpy(child.data() + 32, i.data() + 32, 32);
    wipe(i.data(), i.size());
    if (!ok) wipe(child.data(), child.size());
    return ok;
}

// The master key from the cached seed, computing the seed first when needed. On a failed HMAC every
// secret buffer and flag is cleared.
bool ensure_master(KvCofferlyWallet& w) {
    KvCofferlyWalletSecrets& s = w.secrets;
    if (s.master_cached) return true;
    if (w.mnemonic.empty()) return false;
    if (!s.seed_cached) {
        if (!bip39_seed(w.mnemonic, "", s.seed)) return false;
        s.seed_cached = true;
    }
    static const char kSeedKey[] = "Bitcoin seed";
    Ext i{};
    if (!hmac_sha512(reinterpret_cast<const std::uint8_t*>(kSeedKey), sizeof kSeedKey - 1, s.seed.data(), s.seed.size(),
                     i)) {
        wipe(i.data(), i.size());
        wipe_wallet_secrets(s);
        return false;
    }
    std::memcpy(s.master_key.data(), i.data(), 32);
    std::memcpy(s.master_chain.data(), i.data() + 32, 32);
    s.master_cached = true;
    wipe(i.data(), i.size());
    return true;
}

// Extended key of the first four indices, from the cache or derived from the master and cached.
DerivedPrefix* prefix_key(KvCofferlyWalletSecrets& s, const KeyPath& path) {
    const std::array<std::uint32_t, 4> head{path[0], path[1], path[2], path[3]};
    auto it = s.prefixes.find(head);
    if (it != s.prefixes.end()) return &it->second;

    Ext cur{};
    std::memcpy(cur.data(), s.master_key.data(), 32);
    std::memcpy(cur.data() + 32, s.master_chain.data(), 32);
    for (std::uint32_t index : head) {
        Ext next{};
        bool ok = ckd_priv(cur, nullptr, index, next);
        wipe(cur.data(), cur.size());
        if (!ok) return nullptr;
        cur = next;
        wipe(next.data(), next.size());
    }
    DerivedPrefix& entry = s.prefixes[head];
    entry.ext = cur;
    wipe(cur.data(), cur.size());
    return &entry;
}

// The key of one child of a prefix. Touches no wallet state, so it runs on any thread.
bool child_key(const Ext& parent, const std::array<std::uint8_t, 33>* parent_pub, std::uint32_t index,
               DerivedKey& key) {
    Ext child{};
    if (!ckd_priv(parent, parent_pub, index, child)) return false;
    std::array<std::uint8_t, 33> pub{};
    const bool ok = curve_pub_from_priv(child.data(), pub);
    if (ok) {
        key.priv_hex = to_hex(child.data(), 32);
        key.pub_hex = to_hex(pub.data(), pub.size());
        key.hash160 = hash160_of(pub.data(), pub.size());
        key.address = base58check_encode(key.hash160);
    }
    wipe(child.data(), child.size());
    return ok;
}

// Private keys of the spending accounts may stay in the cache; identity-grade keys (account 100'
// and beyond) are derived afresh for each use and wiped by their caller.
bool keeps_private(const KeyPath& path) {
    return path[0] == kPurpose && path[1] == kCoinType && path[2] >= kHardened &&
           path[2] < (kHardened | kSpendAccounts);
}

// Derives a path through the caches. Returns the cached entry (its private key possibly empty, see
// keeps_private) or null on failure; `priv_out`, when given, receives the private key hex.
const DerivedKey* derive_cached(const KeyPath& path, std::string* priv_out) {
    KvCofferlyWallet& w = kv_wallet();
    KvCofferlyWalletSecrets& s = w.secrets;
    if (s.master_cached) {
        auto it = s.derived.find(path);
        if (it != s.derived.end() && (!priv_out || !it->second.priv_hex.empty())) {
            if (priv_out) *priv_out = it->second.priv_hex;
            return &it->second;
        }
    }
    // Keys cached under an earlier master key must never answer for this one.
    if (!s.master_cached) wipe_derived_key_caches(s);
    if (!ensure_master(w)) return nullptr;

    DerivedPrefix* prefix = prefix_key(s, path);
    if (!prefix) return nullptr;
    if (!(path[4] & kHardened) && !prefix->pub_known) {
        if (!curve_pub_from_priv(prefix->ext.data(), prefix->pub)) return nullptr;
        prefix->pub_known = true;
    }
    DerivedKey key;
    if (!child_key(prefix->ext, prefix->pub_known ? &prefix->pub : nullptr, path[4], key)) return nullptr;

    if (priv_out) *priv_out = key.priv_hex;
    if (!keeps_private(path)) wipe(key.priv_hex);
    auto it = s.derived.find(path);
    if (it != s.derived.end()) {
        wipe(it->second.priv_hex);
        it->second = std::move(key);
        return &it->second;
    }
    if (s.derived.size() >= kMaxCachedKeys) {
        for (auto& entry : s.derived)
            wipe(entry.second.priv_hex);
        s.derived.clear();
    }
    return &s.derived.emplace(path, std::move(key)).first->second;
}

// A receive chain of one spending account, from its first index not yet in the address cache to
// `last`; the identity key rides along as a chain without an account.
struct WarmChain {
    KeyPath path{};
    Ext ext{};
    std::array<std::uint8_t, 33> pub{};
    int account = -1;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::vector<std::string> addresses;
};

// The prefix of `head` with its public key, ready for side-by-side derivation; false when it
// cannot be derived. The caller holds the wallet mutex.
bool warm_chain_of(KvCofferlyWalletSecrets& s, const KeyPath& head, WarmChain& chain) {
    DerivedPrefix* prefix = prefix_key(s, head);
    if (!prefix) return false;
    if (!prefix->pub_known) {
        if (!curve_pub_from_priv(prefix->ext.data(), prefix->pub)) return false;
        prefix->pub_known = true;
    }
    chain.path = head;
    chain.ext = prefix->ext;
    chain.pub = prefix->pub;
    return true;
}

} // namespace

bool priv_hex_to_pub_hex(const std::string& priv_hex, std::string& pub_hex) {
    pub_hex.clear();
    Bytes key = from_hex(priv_hex);
    std::array<std::uint8_t, 33> pub{};
    bool ok = key.size() == 32 && curve_pub_from_priv(key.data(), pub);
    wipe(key);
    if (ok) pub_hex = to_hex(pub.data(), pub.size());
    return ok;
}

std::string pub_hex_to_address(const std::string& pub_hex) {
    Bytes pub = from_hex(pub_hex);
    if (pub.size() != 33) return {};
    return base58check_encode(hash160_of(pub));
}

bool bip32_ckd_priv(const std::array<std::uint8_t, 64>& parent, std::uint32_t index,
                    std::array<std::uint8_t, 64>& child) {
    return ckd_priv(parent, nullptr, index, child);
}

bool derive_address(const KeyPath& path, std::string& address) {
    address.clear();
    WalletLock lock = lock_wallet();
    const DerivedKey* key = derive_cached(path, nullptr);
    if (key) address = key->address;
    return !address.empty();
}

bool derive_path(const KeyPath& path, std::string& priv_hex, std::string& pub_hex, std::string& address) {
    priv_hex.clear();
    pub_hex.clear();
    address.clear();
    WalletLock lock = lock_wallet();
    const DerivedKey* key = derive_cached(path, &priv_hex);
    if (!key) {
        wipe(priv_hex);
        return false;
    }
    pub_hex = key->pub_hex;
    address = key->address;
    return !address.empty();
}

namespace {

bool derive_chain_key(std::uint32_t account, std::uint32_t chain, std::uint32_t index, std::string& priv_hex,
                      std::string& pub_hex, std::string& address) {
    priv_hex.clear();
    pub_hex.clear();
    address.clear();
    WalletLock lock = lock_wallet();
    // An index with the top bit set would silently become a hardened child on a normal chain.
    if (account >= kSpendAccounts || index > kLastNormalIndex || kv_wallet().mnemonic.empty()) return false;
    return derive_path({kPurpose, kCoinType, account | kHardened, chain, index}, priv_hex, pub_hex, address);
}

} // namespace

bool derive_account_key(std::uint32_t account, std::uint32_t index, std::string& priv_hex, std::string& pub_hex,
                        std::string& address) {
    return derive_chain_key(account, 0, index, priv_hex, pub_hex, address);
}

bool derive_change_key(std::uint32_t account, std::uint32_t index, std::string& priv_hex, std::string& pub_hex,
                       std::string& address) {
    return derive_chain_key(account, 1, index, priv_hex, pub_hex, address);
}

namespace {

// Addresses account_addresses derives in line at most; a longer run is derived side by side with
// the wallet mutex released, when the caller does not hold it.
constexpr std::uint64_t kInLineAddresses = 4;

// Keys merged into the key cache per hold of the wallet mutex: a few milliseconds' work.
constexpr std::size_t kMergeShare = 2000;

// One warm-up at a time: a second one waits for the first (with the wallet mutex free) and then
// finds its keys kept. Taken before the wallet mutex, never while holding it.
std::mutex g_warm_mutex;

// Names each kept list made afresh; a list keeps its number while it grows.
std::uint64_t g_kept_versions = 0;

// Appends `fresh`, the addresses from index `first` on, to an account's kept list. The list grows
// in place within its room, so a reader keeps reading the entries below its count while it grows;
// only a list out of room is copied, with room for a quarter more (a scan's look-ahead) or as much
// again. A list that ends before `first` is left alone, and entries it has already are not
// appended twice.
void extend_kept(KeptAddresses& kept, std::uint64_t first, std::vector<std::string>& fresh) {
    const std::uint64_t size = kept.list ? kept.list->size() : 0;
    if (size < first || size >= first + fresh.size()) return;
    const std::size_t end = static_cast<std::size_t>(first + fresh.size());
    if (!kept.list || kept.list->capacity() < end) {
        auto grown = std::make_shared<std::vector<std::string>>();
        grown->reserve(std::max<std::size_t>(end + end / 4 + 64, 2 * static_cast<std::size_t>(size)));
        if (kept.list) *grown = *kept.list;
        if (!kept.list) kept.version = ++g_kept_versions;
        kept.list = std::move(grown);
    }
    for (std::size_t i = static_cast<std::size_t>(size - first); i < fresh.size(); ++i)
        kept.list->push_back(std::move(fresh[i]));
}

// What one warm-up derives: the chains, and one job (chain, index) per address. Each chain's copy
// of its prefix is wiped when the work is cleared or ends.
struct WarmWork {
    std::vector<WarmChain> chains;
    std::vector<std::pair<std::size_t, std::uint64_t>> jobs;

    void clear() {
        for (WarmChain& chain : chains)
            wipe(chain.ext.data(), chain.ext.size());
        chains.clear();
        jobs.clear();
    }
    ~WarmWork() { clear(); }
};

// Gathers, under the wallet mutex, what the kept address lists lack up to each spending account's
// counter (`only` < kSpendAccounts: that account alone, to its counter plus `extra`) and the
// identity key. False when there is no wallet to derive for.
bool plan_warm_work(KvCofferlyWallet& w, std::uint32_t only, std::uint64_t extra, WarmWork& work) {
    KvCofferlyWalletSecrets& s = w.secrets;
    work.clear();
    if (!w.is_hd || w.mnemonic.empty()) return false;
    if (!s.master_cached) wipe_derived_key_caches(s);
    if (!ensure_master(w)) return false;
    work.chains.reserve(kSpendAccounts + 1);
    auto add_chain = [&](const KeyPath& head, int account, std::uint64_t first, std::uint64_t last) {
        work.chains.emplace_back();
        WarmChain& chain = work.chains.back();
        chain.account = account;
        chain.first = first;
        chain.last = last;
        if (!warm_chain_of(s, head, chain)) work.chains.pop_back();
    };
    for (std::uint32_t account = 0; account < kSpendAccounts; ++account) {
        if (only < kSpendAccounts && account != only) continue;
        const KeptAddresses& kept = s.addresses[account];
        const std::uint64_t first = kept.list ? kept.list->size() : 0;
        const std::uint64_t last =
            std::min<std::uint64_t>(std::uint64_t{w.recv[account]} + (account == only ? extra : 0), kLastNormalIndex);
        if (w.recv[account] <= kMaxAddressCounter && first <= last)
            add_chain({kPurpose, kCoinType, account | kHardened, 0, 0}, static_cast<int>(account), first, last);
    }
    if (only >= kSpendAccounts && !s.derived.count(kIdentityPath)) add_chain(kIdentityPath, -1, 0, 0);
    for (std::size_t c = 0; c < work.chains.size(); ++c) {
        work.chains[c].addresses.resize(work.chains[c].last - work.chains[c].first + 1);
        for (std::uint64_t i = work.chains[c].first; i <= work.chains[c].last; ++i)
            work.jobs.emplace_back(c, i);
    }
    return true;
}

// Derives every job on a few threads from the chains' copies of their prefixes; touches no wallet
// state, so the wallet mutex stays free. A job below `keys.size()` whose index is within its
// chain's counter keeps its whole key there; every other job keeps only its address.
void derive_warm_work(WarmWork& work, const std::vector<std::uint64_t>& counters, std::vector<DerivedKey>& keys,
                      std::vector<char>& ok) {
    ok.assign(work.jobs.size(), 0);
    parallel_for(work.jobs.size(), kWarmThreads, [&](std::uint64_t i) {
        WarmChain& chain = work.chains[work.jobs[i].first];
        DerivedKey scratch;
        const bool keep = i < keys.size() && work.jobs[i].second <= counters[work.jobs[i].first];
        DerivedKey& key = keep ? keys[i] : scratch;
        ok[i] = child_key(chain.ext, &chain.pub, static_cast<std::uint32_t>(work.jobs[i].second), key) ? 1 : 0;
        if (ok[i]) chain.addresses[work.jobs[i].second - chain.first] = key.address;
        if (!keeps_private(chain.path) || !keep) wipe(key.priv_hex);
    });
}

// Files the derived keys into the key cache and the addresses into the kept lists, under the
// wallet mutex held through `lock` and released between shares. Only while the same master key
// still stands behind the same prefix do they belong to the loaded wallet; another wallet loaded
// meanwhile derives its own in line. Every private key in `keys` is wiped.
void file_warm_work(WalletLock& lock, KvCofferlyWalletSecrets& s, WarmWork& work, std::vector<DerivedKey>& keys,
                    const std::vector<char>& ok) {
    std::vector<char> same(work.chains.size(), 0);
    auto check_same = [&]() {
        for (std::size_t c = 0; c < work.chains.size(); ++c) {
            const KeyPath& p = work.chains[c].path;
            const auto now = s.master_cached ? s.prefixes.find({p[0], p[1], p[2], p[3]}) : s.prefixes.end();
            same[c] = now != s.prefixes.end() &&
                      CRYPTO_memcmp(now->second.ext.data(), work.chains[c].ext.data(), work.chains[c].ext.size()) == 0;
        }
    };
    check_same();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        // Twenty thousand keys take a while to file: other threads get the mutex in between.
        if (i > 0 && i % kMergeShare == 0) {
            lock.unlock();
            lock.lock();
            check_same();
        }
        const WarmChain& chain = work.chains[work.jobs[i].first];
        KeyPath path = chain.path;
        path[4] = static_cast<std::uint32_t>(work.jobs[i].second);
        if (same[work.jobs[i].first] && ok[i] && !keys[i].address.empty() &&
            (s.derived.size() < kMaxCachedKeys || s.derived.count(path))) {
            DerivedKey& slot = s.derived[path];
            wipe(slot.priv_hex);
            slot = std::move(keys[i]);
        }
        wipe(keys[i].priv_hex);
    }
    for (std::size_t c = 0; c < work.chains.size(); ++c) {
        WarmChain& chain = work.chains[c];
        if (!same[c] || chain.account < 0) continue;
        // Another caller may have grown the list meanwhile; only what it lacks is appended.
        extend_kept(s.addresses[static_cast<std::size_t>(chain.account)], chain.first, chain.addresses);
    }
}

// Derives on a few threads, with the wallet mutex released, what the kept address lists lack up to
// each spending account's counter (`only` < kSpendAccounts: that account alone, to its counter plus
// `extra`) and the identity key; keys up to a counter also go into the key cache while it has room.
// The caller holds the mutex through `lock`, and holds it again on return. What a wallet replaced
// meanwhile derived is dropped; a damaged counter is skipped.
void warm_keys(WalletLock& lock, std::uint32_t only, std::uint64_t extra) {
    if (!lock.owns_lock()) lock.lock();
    KvCofferlyWallet& w = kv_wallet();
    KvCofferlyWalletSecrets& s = w.secrets;
    std::unique_lock<std::mutex> one_at_a_time(g_warm_mutex, std::defer_lock);
    WarmWork work;
    for (;;) {
        // A single key is derived as fast in line.
        if (!plan_warm_work(w, only, extra, work) || work.jobs.size() < 2) return;
        if (one_at_a_time.owns_lock()) break;
        lock.unlock();
        // A thread whose caller still holds the mutex cannot wait for another warm-up, which may be
        // waiting for the mutex itself; it derives on its own.
        const bool held = wallet_held_by_this_thread();
        if (!held) one_at_a_time.lock();
        lock.lock();
        if (held) break;
        // Another warm-up may have kept these meanwhile: look again.
    }

    // Whole keys up to a counter are kept only while the key cache has room; beyond it, and for a
    // look-ahead past the counter, only the addresses.
    const std::size_t room = s.derived.size() < kMaxCachedKeys ? kMaxCachedKeys - s.derived.size() : 0;
    std::vector<DerivedKey> keys(std::min(work.jobs.size(), room));
    std::vector<char> ok;
    std::vector<std::uint64_t> counters(work.chains.size(), 0);
    for (std::size_t c = 0; c < work.chains.size(); ++c)
        counters[c] = work.chains[c].account < 0 ? 0 : w.recv[static_cast<std::size_t>(work.chains[c].account)];
    lock.unlock();
    derive_warm_work(work, counters, keys, ok);
    lock.lock();
    file_warm_work(lock, s, work, keys, ok);
}

} // namespace

AccountAddresses account_addresses(std::uint32_t account, std::uint64_t extra) {
    AccountAddresses out;
    const bool caller_holds = wallet_held_by_this_thread();
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    KvCofferlyWalletSecrets& s = w.secrets;
    std::uint64_t last = 0;
    // After a warm-up the mutex was free meanwhile, so the wallet is looked at again.
    for (bool warmed = caller_holds;; warmed = true) {
        if (!w.is_hd || w.mnemonic.empty() || account >= kSpendAccounts) return out;
        if (w.recv[account] > kMaxAddressCounter) {
            out.damaged = true;
            return out;
        }
        if (!s.master_cached) wipe_derived_key_caches(s);
        if (!ensure_master(w)) return out;
        last = std::min<std::uint64_t>(std::uint64_t{w.recv[account]} + extra, kLastNormalIndex);
        const KeptAddresses& kept = s.addresses[account];
        if (warmed || (kept.list ? kept.list->size() : 0) + kInLineAddresses > last) break;
        warm_keys(lock, account, extra);
    }
    KeptAddresses& kept = s.addresses[account];
    const std::uint64_t first = kept.list ? kept.list->size() : 0;
    if (first <= last) {
        // Only what the warm-up has not derived yet, usually a few indices a scan added since; the
        // key cache is neither asked for more nor filled.
        DerivedPrefix* prefix = prefix_key(s, {kPurpose, kCoinType, account | kHardened, 0, 0});
        if (prefix && !prefix->pub_known && curve_pub_from_priv(prefix->ext.data(), prefix->pub))
            prefix->pub_known = true;
        if (!prefix || !prefix->pub_known) return out;
        std::vector<std::string> fresh;
        fresh.reserve(static_cast<std::size_t>(last - first + 1));
        KeyPath path{kPurpose, kCoinType, account | kHardened, 0, 0};
        for (std::uint64_t i = first; i <= last; ++i) {
            path[4] = static_cast<std::uint32_t>(i);
            const auto known = s.derived.find(path);
            DerivedKey key;
            if (known == s.derived.end() && !child_key(prefix->ext, &prefix->pub, path[4], key)) key.address.clear();
            wipe(key.priv_hex);
            fresh.push_back(known != s.derived.end() ? known->second.address : key.address);
        }
        extend_kept(kept, first, fresh);
    }
    out.list = kept.list;
    out.version = kept.version;
    out.count = static_cast<std::size_t>(last + 1);
    return out;
}

AccountAddresses derived_account_addresses(std::uint32_t account) {
    AccountAddresses out;
    WalletLock lock = lock_wallet();
    const KvCofferlyWallet& w = kv_wallet();
    const KvCofferlyWalletSecrets& s = w.secrets;
    if (!w.is_hd || account >= kSpendAccounts || !s.master_cached || w.recv[account] > kMaxAddressCounter) return out;
    const KeptAddresses& kept = s.addresses[account];
    if (!kept.list) return out;
    out.list = kept.list;
    out.version = kept.version;
    out.count = std::min<std::size_t>(kept.list->size(), static_cast<std::size_t>(w.recv[account]) + 1);
    return out;
}

void warm_wallet_keys(WalletLock& lock) {
    warm_keys(lock, kSpendAccounts, 0);
}

bool derive_wallet_keys() {
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd) return !w.address.empty();
    if (w.show > w.recv[kReceiveAccount]) w.show = w.recv[kReceiveAccount];
    if (w.mnemonic.empty()) return false;

    std::string priv, pub, address;
    if (!derive_path({kPurpose, kCoinType, kReceiveAccount | kHardened, 0, w.show}, priv, pub, address)) return false;
    wipe(w.priv);
    w.priv = priv;
    wipe(priv);
    w.pub = pub;
    w.address = address;

    if (!derive_path(kIdentityPath, priv, pub, address)) return false;
    wipe(priv);
    w.identity_pub = pub;
    w.identity_address = address;

    bool ord_ok = derive_path({kPurpose, kCoinType, kOrdinalsAccount | kHardened, 0, w.recv[kOrdinalsAccount]}, priv,
                              pub, address);
    wipe(priv);
    if (ord_ok && !address.empty() && !w.identity_pub.empty()) set_ord_address_for_identity(address);
    return true;
}

bool find_key_for_hash160(const Hash160& hash160, std::string& priv_hex, std::string& pub_hex) {
    // Addresses a session has not derived yet are derived first, with the mutex free, where the
    // caller does not hold it; under it below they are only read.
    if (!wallet_held_by_this_thread()) {
        account_addresses(kOrdinalsAccount);
        account_addresses(kReceiveAccount);
    }
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();

    // Hands back a scanned key; identity-grade keys are not cached with their private half, so
    // that one is derived again here.
    auto take = [&](const KeyPath& path, const DerivedKey& key) {
        std::string priv = key.priv_hex;
        if (priv.empty()) {
            std::string pub, address;
            if (!derive_path(path, priv, pub, address)) return false;
        }
        wipe(priv_hex);
        priv_hex = priv;
        wipe(priv);
        pub_hex = key.pub_hex;
        return true;
    };
    // The address list of each chain is derived once; only the matching key is looked up.
    const std::string wanted = base58check_encode(hash160);
    auto scan = [&](std::uint32_t account, bool& found) {
        const AccountAddresses addresses = account_addresses(account);
        for (std::size_t i = 0; i < addresses.count; ++i) {
            if (addresses[i] != wanted) continue;
            KeyPath path{kPurpose, kCoinType, account | kHardened, 0, static_cast<std::uint32_t>(i)};
            const DerivedKey* key = derive_cached(path, nullptr);
            found = key && key->hash160 == hash160 && take(path, *key);
            return;
        }
    };

    if (w.is_hd && !w.mnemonic.empty()) {
        bool found = false;
        scan(kOrdinalsAccount, found);
        if (found) return true;
        const DerivedKey* key = derive_cached(kIdentityPath, nullptr);
        if (key && key->hash160 == hash160 && take(kIdentityPath, *key)) return true;
        scan(kReceiveAccount, found);
        if (found) return true;
    }

    Hash160 own{};
    if (address_to_hash160(w.address, own) && own == hash160) {
        wipe(priv_hex);
        priv_hex = w.priv;
        pub_hex = w.pub;
        return true;
    }
    return false;
}

bool ecdsa_sign_der(const std::string& priv_hex, const std::uint8_t* digest32, Bytes& signature) {
    signature.clear();
    Bytes key = from_hex(priv_hex);
    const bool ok = key.size() == 32 && curve_sign_der(key.data(), digest32, signature);
    wipe(key);
    return ok;
}
