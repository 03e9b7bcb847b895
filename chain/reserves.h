// Coins this program must not spend: the reserve files that the marketplace, the trading program
// and the gallery keep per wallet in the shared data folder, and this program's own offer locks
// (the buyer's coins committed to an outstanding gallery offer). Coins are compared by reserve key:
// the lower-case transaction id, "_" and the decimal output index.
#pragma once

#include "chain/tx.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

// One object of the marketplace's "reserves" array.
struct BazarelReserve {
    std::string utxo; // normalised reserve key
    std::string origin;
    std::string listing; // lower-cased
    std::int64_t exp = 0;
};

// One object of the gallery's "reserves" array.
struct GalleryReserve {
    std::string pic_utxo;  // normalised reserve key of the artwork coin
    std::string cert_utxo; // normalised reserve key of the certificate coin
    std::string pic;       // artwork origin
    std::string cert;      // certificate origin
    std::int64_t price_sats = -1;
    std::int64_t exp = 0; // Unix seconds; 0 or below never expires
    std::int32_t spot = 0;
};

// One object of the trading program's "holds" array, read exactly as stored.
struct TradeloomHold {
    std::string utxo;
    std::string listing;
    std::string trade;
    std::int64_t sats = 0;
    std::int64_t cover = 0;
};

// A gallery offer this wallet posted: the exhibit it buys and the reserve keys of the coins it
// locks. Kept beside the offer locks so they can be freed once the offer can no longer complete.
struct OfferHold {
    std::int32_t spot = 0;
    std::string pic_utxo;    // reserve key of the frame's artwork coin
    std::string cert_utxo;   // the same for the certificate coin
    std::int64_t price = -1; // the hanging's price; a new price drops the acceptances it was paid for
    std::int64_t exp = 0;    // the hanging's expiry, Unix seconds; 0 or below never expires
    std::string show_txid;   // the hanging paid for; empty in offers kept before hangings were named
    std::string funded_txid; // the offer record's transaction while not known to have gone out; else empty
    std::vector<std::string> utxos;
};

// Every coin held back from payments, read once for a whole coin collection.
struct ReservedSet {
    std::unordered_set<std::string> keys; // reserve keys (as normalised or stored by their file)
};

// Text of the refusal when a reserve or offer-lock file exists but cannot be read or parsed.
extern const char* const kReserveUnreadableError;
// Pause before a file that did not parse is read a second time (a sibling may be rewriting it).
constexpr std::int64_t kReserveRetryPauseMs = 50;

// The lower-case txid, "_" and the decimal index.
std::string reserve_key(const std::string& txid, std::uint32_t vout);
// Lower-cased, every ':' replaced by '_'.
std::string normalize_reserve_outpoint(const std::string& text);
// Stem of the three sibling reserve files for a wallet id ("none" when the id is empty).
std::string reserve_stem(const std::string& wallet_id);
// The text lower-cased and, when character 64 is '_', cut to the 64-digit transaction id.
std::string origin_txid_part(const std::string& text);

// Paths for the wallet this thread's step began in, else the current wallet; each creates its folder
// under the data folder when missing.
std::string offer_locks_path();
std::string offer_holds_path();
std::string bazarel_reserves_path();
std::string gallery_reserves_path();
std::string tradeloom_holds_path();

// Offer-lock keys in file order, lower-cased. Returns false (list empty) only when the file exists
// but cannot be read or parsed after one retry; a missing file is an empty list.
bool load_offer_locks(std::vector<std::string>& locks);
// Rewrites the offer-lock file; false when it could not be written.
bool save_offer_locks(const std::vector<std::string>& locks);
// Appends the reserve key of each input not yet listed and saves. False, with the file untouched,
// when the existing file cannot be read, or when the write fails.
bool lock_offer_inputs(const std::vector<TxInput>& inputs);
// Removes every entry equal to a key (keys lower-cased) and saves when something was removed.
// False when the file cannot be read or the write fails.
bool remove_offer_locks(const std::vector<std::string>& keys);
bool release_offer_inputs(const std::vector<TxInput>& inputs);
// The offers behind the locks, in file order. False (list empty) only when the file exists but
// cannot be read or parsed after one retry; a malformed element ends the list there.
bool load_offer_holds(std::vector<OfferHold>& holds);
// Rewrites the offer file; false when it could not be written.
bool save_offer_holds(const std::vector<OfferHold>& holds);
// Frees the offers whose record's transaction is known not to have gone out (`funded_txids`), and
// their coins; the caller holds the wallet lock. False when the files could not be read or written.
bool release_unsent_offers(const std::vector<std::string>& funded_txids);
// Drops entries of the form <64 hex>_<index> whose outpoint is in the spent-outpoint set and saves
// the file when any was dropped. The caller holds the wallet mutex.
void prune_offer_locks(std::vector<std::string>& locks);

// Each loader empties the list, then fills it; an element that is not a well-formed record ends the
// reading with the records before it kept. The marketplace and gallery loaders answer false only
// when the file exists but cannot be read or parsed after one retry; the trading loader also when
// an element is malformed.
bool load_bazarel_reserves(std::vector<BazarelReserve>& reserves);
bool load_gallery_reserves(std::vector<GalleryReserve>& reserves);
bool load_tradeloom_holds(std::vector<TradeloomHold>& holds);
// Rewrites the gallery file with exactly these records; false when it could not be written.
bool save_gallery_reserves(const std::vector<GalleryReserve>& reserves);

// Per-coin tests that read their file afresh on every call. Each also answers true when the file
// exists but stays unreadable, so a coin is never spent while its promise cannot be checked.
bool is_bazarel_reserved(const std::string& txid, std::uint32_t vout);
bool is_gallery_reserved(const std::string& txid, std::uint32_t vout);
bool is_tradeloom_held(const std::string& txid, std::uint32_t vout);

// Removes every gallery reservation whose artwork origin has this transaction id. Empty text on
// success (also when nothing matched), else "error: could not clear the Gallery reserve.".
std::string clear_gallery_reserve(const std::string& origin_or_txid);

// Reads the three reserve files and the pruned offer locks once. False, with kReserveUnreadableError
// in error, when one of them exists but cannot be read or parsed after one retry.
bool load_reserved_outpoints(ReservedSet& out, std::string& error);
// True when the outpoint, with its id in either byte order, is in the set.
bool is_reserved(const ReservedSet& set, const std::string& txid, std::uint32_t vout);
// One-coin form of the two calls above: held tells whether the coin is held back; false with the
// error text when the files cannot be read.
bool coin_held_back(const std::string& txid, std::uint32_t vout, bool& held, std::string& error);
