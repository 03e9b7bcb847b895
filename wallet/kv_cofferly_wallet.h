// The in-memory wallet state of the process: one wallet at a time, guarded by the recursive
// wallet mutex. The wallet file fills it (wallet_file.h), key derivation fills its key fields
// (keys.h).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One ordinal the wallet knows locally (a row of the wallet file's "ord_owned").
struct LocalOrd {
    std::string origin; // txid "_" vout
    std::string txid;
    std::uint32_t vout = 0;
    std::string type; // content type
    std::string address;
    std::string name;
    std::string icon;
    std::string amt; // token amount as text
    std::string dec; // token decimals as text
    std::string token_id;
    bool hidden = false;
    bool created = false;
};

// A contact of the wallet program: a normalised destination and a note of at most 80 bytes.
struct WalletContact {
    std::string dest;
    std::string note;
};

// One key that derive_path produced. `priv_hex` stays empty for keys that are derived afresh for
// each use (the identity-grade accounts), so the cache never keeps them.
struct DerivedKey {
    std::string priv_hex;
    std::string pub_hex;
    std::string address;
    std::array<std::uint8_t, 20> hash160{};
};

// Extended private key (key then chain code) of a four-index path prefix, with its compressed
// public key once a non-hardened child needed it.
struct DerivedPrefix {
    std::array<std::uint8_t, 64> ext{};
    std::array<std::uint8_t, 33> pub{};
    bool pub_known = false;
};

// The receive-chain addresses of one spending account, index i at position i. The list only grows
// at its end, in place while its room lasts, so a reader keeps reading below the count it was
// given; `version` names a list made afresh and stays while it grows.
struct KeptAddresses {
    std::shared_ptr<std::vector<std::string>> list;
    std::uint64_t version = 0;
};

// Seed, master key and derived-key caches; wiped on every load and on disconnect.
struct KvCofferlyWalletSecrets {
    std::array<std::uint8_t, 64> seed{};
    bool seed_cached = false;
    std::array<std::uint8_t, 32> master_key{};
    std::array<std::uint8_t, 32> master_chain{};
    bool master_cached = false;
    std::map<std::array<std::uint32_t, 5>, DerivedKey> derived;
    std::map<std::array<std::uint32_t, 4>, DerivedPrefix> prefixes;
    // The receive-chain addresses of each spending account, index i at position i. Not secret, but
    // they belong to the master key above and go with it.
    std::array<KeptAddresses, 6> addresses{};
};

// The fields of the wallet file that both programs change, as this program last read or wrote
// them: a save tells its own changes from the wallet program's by them.
struct WalletFileBase {
    std::string paymail;
    std::string ord_avatar;
    std::vector<LocalOrd> ord_owned;
};

struct KvCofferlyWallet {
    std::string wallet_id; // current wallet id; empty when no wallet is bound
    bool is_hd = false;
    bool backup = false;
    std::string mnemonic;
    std::array<std::uint32_t, 6> recv{}; // per-account counters, accounts 0' to 5'
    std::uint32_t show = 0;              // index of the current receive key, never above recv[1]
    std::string priv;                    // current receive key (HD) or the single legacy key
    std::string pub;
    std::string address;
    std::string identity_pub;
    std::string identity_address;
    std::string paymail; // alias, without the domain
    std::string ord_avatar;
    std::vector<LocalOrd> ord_owned;
    std::vector<WalletContact> contacts;
    KvCofferlyWalletSecrets secrets;
    WalletFileBase file_base;
    bool save_pending = false;       // the disk refused the last save; a later one writes the change
    std::int64_t save_failed_ms = 0; // steady-clock time of that refusal
    bool save_read_only = false;     // that refusal came from the file's read-only mark
};

// A default row: empty texts, vout 0, both flags false.
LocalOrd local_ord_init();

// The process-wide wallet state and its recursive mutex. Every reader and writer of the state holds
// the mutex; the mutex is taken before the registry lock, never after it.
KvCofferlyWallet& kv_wallet();

// A recursive mutex that also knows whether the calling thread holds it: a request made by a
// holder must not wait out a service's pause while every other wallet reader waits on it.
struct WalletMutex {
    void lock();
    bool try_lock();
    void unlock();

private:
    std::recursive_mutex mutex_;
};
WalletMutex& kv_wallet_mutex();
// True while the calling thread holds the wallet mutex.
bool wallet_held_by_this_thread();

using WalletLock = std::unique_lock<WalletMutex>;
inline WalletLock lock_wallet() {
    return WalletLock(kv_wallet_mutex());
}

// Wipes the seed, master key and derived-key caches and clears their flags (caller holds the
// wallet mutex).
void wipe_wallet_secrets(KvCofferlyWalletSecrets& secrets);

// Wipes and empties only the derived-key, prefix and address caches; seed and master key stay.
void wipe_derived_key_caches(KvCofferlyWalletSecrets& secrets);
