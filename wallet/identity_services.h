// Services of the identity and paymail code that the wallet core calls. They are defined with
// that code (identity/); the wallet core only declares them here.
#pragma once

#include <string>

// Records the wallet's current ordinals address in the local paymail registry for every entry of
// the wallet's identity key. Called with the wallet mutex held; no result.
void set_ord_address_for_identity(const std::string& ord_address);

// Refreshes the loaded wallet from its file, settles its paymail alias and avatar in the local
// registry, and sends the "paymail" status event. Called with the wallet mutex held after a
// connect; reports nothing.
void announce_wallet_paymail();
