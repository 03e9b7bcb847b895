// The connected wallet's paymail alias: its record in the local paymail registry and the wallet
// registry, and the "paymail" status event after a connection (announce_wallet_paymail, declared
// in wallet/identity_services.h). Its normal form is the registry's (paymail_registry.h).
#pragma once

// For a loaded HD wallet with an identity key: normalises its alias, or adopts the identity's main
// label from the local paymail registry when it has none; records the alias in that registry and
// names the wallet after it in "wallets.json". An adopted alias is saved to the wallet file and,
// with `announce`, sent as a "paymail" status event. Reports nothing; the caller holds the wallet
// mutex.
void ensure_wallet_paymail(bool announce);
