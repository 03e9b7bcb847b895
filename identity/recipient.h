// Turning the recipient of a pass (a handle, a platform paymail or a 1-address) into the ordinals
// address that receives the coins: the local paymail registry first, then the platform's bsvalias
// address service and the local one on the loopback host.
#pragma once

#include "wallet/kv_cofferly_wallet.h"

#include <string>

// The refusal of a recipient that is neither a 1-address nor a handle of the alias alphabet.
constexpr const char* kRecipientAlphabetError =
    "a handle holds only a-z, 0-9, '-', '.' and '_'; enter their handle or paymail as it is.";

// The hint of a recipient the pass does not take: a pass names the recipient's identity in the
// title, so it goes to a handle or a paymail of the platform's domain, never to a bare address.
std::string recipient_form_hint();

// Without the network. A valid 1-address (error ""), or "" with the error text, or "" with no
// error and the handle to look up online. A handle's address comes from the registry.
std::string resolve_recipient_local(const std::string& text, std::string& error, std::string& handle);

// Asks the platform host for handle@domain's ordinals address and records a valid answer in the
// registry under the handle. When only the local service on the loopback host answers, "" with an
// error that names its address; that answer is neither recorded nor kept. "" with "no ordinals
// address for ..." when neither answers.
std::string bsvalias_ord_address(const std::string& handle, std::string& error);

// Where a pass to the recipient would send the coins, worked out before the user confirms it.
struct RecipientAddress {
    std::string paymail;        // handle@domain
    std::string address;        // the ordinals address
    bool from_loopback = false; // only the local service on the loopback host named it
};

// The pass's own resolution, on a worker (the registry, then the platform, then the local service).
// False with the reason in `error`, also for a typed 1-address, which the pass refuses. A local service's answer is
// handed to the caller only: it is neither recorded nor kept, so it serves the one pass the user confirms with it.
bool resolve_recipient_for_confirmation(const std::string& text, RecipientAddress& out, std::string& error);

// The pass action's look-up when no confirmed address came with it. wallet_lock is held on entry
// and again on return; it is released only around the online look-up. Either a valid 1-address
// with an empty error, or "" and the reason; never the local service's answer.
std::string resolve_recipient_ord_address(WalletLock& wallet_lock, const std::string& text, std::string& error);
