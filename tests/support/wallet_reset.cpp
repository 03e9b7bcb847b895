#include "support/wallet_reset.h"

#include "chain/coin_snapshots.h"
#include "chain/coin_state.h"
#include "chain/outpoints.h"
#include "chain/step_holds.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"

void reset_wallet_state_for_tests() {
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    wipe(w.mnemonic);
    wipe(w.priv);
    wipe_wallet_secrets(w.secrets);
    w = KvCofferlyWallet{};
    clear_spent_state();
    clear_change_coins();
    clear_coin_caches();
    note_step_holds_path(""); // a fresh start knows no steps file yet
    forget_unwritten_holds();
}
