#include "identity/paymail_announce.h"

#include "identity/paymail_registry.h"
#include "wallet/identity_services.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

void ensure_wallet_paymail(bool announce) {
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd || w.identity_pub.empty()) return;

    w.paymail = normalize_paymail_alias(w.paymail);
    const bool had_alias = !w.paymail.empty();
    if (!had_alias) {
        w.paymail = primary_paymail_name_for_pubkey(w.identity_pub);
        if (w.paymail.empty()) return;
    }
    note_wallet_state_changed();

    // A name taken by another key or an unwritable registry leaves the alias as it is.
    claim_paymail_name(w.paymail, w.identity_pub, w.address);
    name_wallet_by_paymail(w.wallet_id);
    // Only an adopted alias is new to the wallet file; a merely normalised one stays as the
    // wallet program wrote it.
    if (had_alias) return;
    save_wallet();
    if (announce) emit_status_event(kCofferlyTag, "paymail", full_paymail(w.paymail));
}

void announce_wallet_paymail() {
    WalletLock lock = lock_wallet();
    sync_wallet_from_file();
    ensure_wallet_paymail(true);
    const KvCofferlyWallet& w = kv_wallet();
    if (!w.identity_pub.empty()) set_identity_avatar(w.ord_avatar);
    emit_status_event(kCofferlyTag, "paymail", full_paymail(w.paymail));
}
