#include "wallet/kv_cofferly_wallet.h"

#include "wallet/crypto.h"

namespace {
KvCofferlyWallet g_wallet;
WalletMutex g_wallet_mutex;
// How often the calling thread holds the wallet mutex (it is recursive).
thread_local int t_wallet_holds = 0;
} // namespace

void WalletMutex::lock() {
    mutex_.lock();
    ++t_wallet_holds;
}

bool WalletMutex::try_lock() {
    if (!mutex_.try_lock()) return false;
    ++t_wallet_holds;
    return true;
}

void WalletMutex::unlock() {
    --t_wallet_holds;
    mutex_.unlock();
}

bool wallet_held_by_this_thread() {
    return t_wallet_holds > 0;
}

LocalOrd local_ord_init() {
    return LocalOrd{};
}

KvCofferlyWallet& kv_wallet() {
    return g_wallet;
}

WalletMutex& kv_wallet_mutex() {
    return g_wallet_mutex;
}

void wipe_wallet_secrets(KvCofferlyWalletSecrets& secrets) {
    wipe(secrets.seed.data(), secrets.seed.size());
    wipe(secrets.master_key.data(), secrets.master_key.size());
    wipe(secrets.master_chain.data(), secrets.master_chain.size());
    secrets.seed_cached = false;
    secrets.master_cached = false;
    wipe_derived_key_caches(secrets);
}

void wipe_derived_key_caches(KvCofferlyWalletSecrets& secrets) {
    for (auto& entry : secrets.derived)
        wipe(entry.second.priv_hex);
    secrets.derived.clear();
    for (auto& entry : secrets.prefixes)
        wipe(entry.second.ext.data(), entry.second.ext.size());
    secrets.prefixes.clear();
    for (KeptAddresses& kept : secrets.addresses)
        kept = KeptAddresses{};
}
