// Turning the recipient of a pass (a handle, a platform paymail or a 1-address) into the ordinals
// address that receives the coins: the local paymail registry first, then the platform's bsvalias
// address service and the local one on the loopback host.
#pragma once

#include "wallet/kv_cofferly_wallet.h"

#include <string>

// Without the network. A valid 1-address (error ""), or "" with the error text, or "" with no
// error and the handle to look up online.
std::string resolve_recipient_local(const std::string& text, std::string& error, std::string& handle);

// Asks the platform host, then the local service, for handle@domain's ordinals address and records
// a valid answer in the registry under the handle. "" with "no ordinals address for ..." otherwise.
std::string bsvalias_ord_address(const std::string& handle, std::string& error);

// The pass action's look-up. wallet_lock is held on entry and again on return; it is released only
// around the online look-up. Either a valid 1-address with an empty error, or "" and the reason.
std::string resolve_recipient_ord_address(WalletLock& wallet_lock, const std::string& text, std::string& error);
