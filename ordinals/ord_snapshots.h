// What the wallet's last ordinal listing found, kept per wallet in "ord_snap/<stem>.json" under the
// data folder and read back at the start of the next listing.
#pragma once

#include "wallet/kv_cofferly_wallet.h"

#include <string>
#include <vector>

struct OrdSnapshot {
    std::vector<LocalOrd> lots;         // only origin, txid, vout, type, name, icon, address are kept
    std::vector<std::string> token_ids; // "txid_vout" of token deploys
    std::vector<std::string> txids;     // transaction ids seen by the listing
};

// data folder + "/ord_snap/" + stem + ".json"; empty for a stem that is not a wallet file stem
// (only ASCII letters, digits and "_"), so no stem can name a file outside that folder.
std::string ord_snap_path(const std::string& stem);

// Reads the wallet's snapshot into `out` (emptied first). True when it holds entries or
// transaction ids; a missing, malformed or mistyped file gives an empty record and false.
bool ord_snap_load(const std::string& stem, OrdSnapshot& out);

// Writes the snapshot compactly; an unusable stem or a file that cannot be written changes nothing.
void ord_snap_save(const std::string& stem, const OrdSnapshot& snap);
