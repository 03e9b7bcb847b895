// Process-wide coin caches of the chain side: the per-address unspent-output cache filled from
// WhatsOnChain and the per-address ordinal outpoints that keep inscriptions and tokens out of
// payments. Both are guarded by the wallet mutex (callers hold it); neither has a lock of its own.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

// One unspent output as a listing reports it.
struct Utxo {
    std::string txid;
    std::uint32_t vout = 0;
    std::int64_t sats = 0;
    std::int32_t height = -1; // 0 = unconfirmed, -1 = not given
};

// The cache entry of one address.
struct AddressCoins {
    std::string address;
    std::vector<Utxo> utxos;
    std::int64_t stamp = 0; // steady-clock time of the last fill, nanoseconds
    bool loaded = false;    // the last fill came from a successful listing
};

// Ordinal outpoints of one address, as the GorillaPool look-up of a coin refresh reported them.
struct OrdOutpointSet {
    std::string address;
    std::unordered_set<std::string> outpoints; // outpoint keys
    bool ok = false;
    std::int64_t stamp = 0; // steady-clock milliseconds when stored
};

// The lists themselves (callers hold the wallet mutex).
std::vector<AddressCoins>& address_coins();
std::vector<OrdOutpointSet>& ord_outpoint_sets();
// The entry of one address, found through an index by address rather than a walk of the list (a
// large wallet asks for every address in turn under the wallet mutex). Null when there is none.
AddressCoins* find_address_coins(const std::string& address);
OrdOutpointSet* find_ord_outpoint_set(const std::string& address);
// The entry of one address, appended empty (address set, nothing else) when there is none.
AddressCoins& address_coins_entry(const std::string& address);
OrdOutpointSet& ord_outpoint_set_entry(const std::string& address);
// Failure flag and time of the last failed ordinal look-up.
bool& ord_outpoint_failed();
std::int64_t& ord_outpoint_failed_at();

// Empties the address cache and the ordinal-outpoint list and clears the failure flag. Leaves the
// spent set and the change coins alone.
void clear_coin_caches();

// Dates every address cache entry well before the 8 s freshness, so the next refresh lists every
// address again; the coins stay until then.
void expire_address_coins();
