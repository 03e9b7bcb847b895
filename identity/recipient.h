// Turning the recipient of a pass (a handle, a platform paymail or a 1-address) into the ordinals
// address that receives the coins: the local paymail registry first, then the platform's bsvalias
// address service and the local one on the loopback host.
#pragma once

#include "wallet/kv_cofferly_wallet.h"

#include <string>

// The refusal of a recipient that is neither a 1-address nor a handle of the alias alphabet.
constexpr const char* kRecipientAlphabetError =
    "a handle holds only a-z, 0-9, '-', '.' and '_'; enter their handle, paymail or 1-address as it is.";

// Without the network. A valid 1-address (error ""), or "" with the error text, or "" with no
// error and the handle to look up online.
std::string resolve_recipient_local(const std::string& text, std::string& error, std::string& handle);

// Asks the platform host for handle@domain's ordinals address and records a valid answer in the
// registry under the handle. When only the local service on the loopback host answers, "" with an
// error that names its address for the user to type; it is never recorded. "" with "no ordinals
// address for ..." when neither answers.
std::string bsvalias_ord_address(const std::string& handle, std::string& error);

// For the pass confirmation, without the network: "To: " and the recipient's address when it is
// known here, or the paymail whose address is asked online. "" with the error when the text is no
// recipient.
std::string recipient_confirm_text(const std::string& text, std::string& error);

// The pass action's look-up. wallet_lock is held on entry and again on return; it is released only
// around the online look-up. Either a valid 1-address with an empty error, or "" and the reason.
std::string resolve_recipient_ord_address(WalletLock& wallet_lock, const std::string& text, std::string& error);
