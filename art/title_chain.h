// Who owns an artwork now and since when, rebuilt from the chain on every call. The first valid
// pair record of the artwork in chain order starts the title; no pair counts before the artwork's
// own block. Once found mined in a listing read whole the pair is remembered for the process and
// the service (on disk once its block can no longer change), so later plain reads cost the coins'
// path only; a step that moves money or the title confirms it first (art_title_confirm). After it
// the title moves only with the coins, each followed along its own path: an owner record counts when
// its own transaction spends both the artwork's and the certificate's coin, as 1Sat ordinals
// follow them, and the current owner signed it over the previous step. What a signer writes about
// time or order decides nothing, and neither does the key a paymail names today: each step is
// checked against the keys the records carry.
#pragma once

#include "art/art_records.h"
#include "chain/sat_path.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

// What a title read answers for an id the service knows no transaction by.
constexpr const char* kNoTransactionText = "no transaction has that id.";

// One accepted step of an artwork's title.
struct KvArtTitleRow {
    std::string txid;   // carrying transaction, lower-case hex
    std::string type;   // "art_pair" or "art_owner"
    std::string owner;  // owner after this step, lower case
    std::string signer; // identity key that signed this step, lower case
    std::string handle; // the record's handle as written
    std::int64_t ts = 0;
};

// The pair record that starts an artwork's title.
struct TitlePair {
    std::string txid;        // carrying transaction
    std::string artwork;     // its `pic`, trimmed and lower-cased as written
    std::string certificate; // its `cert`, trimmed and lower-cased as written
    std::string sha256;      // lower case
    std::string owner;       // the first owner, its signer
    std::string handle;
    std::int64_t height = 0; // its block; 0 while unconfirmed
};

// Fills `rows` (cleared first) with the artwork's title chain, oldest first; the first row is the
// pair record. Returns "" on success, also when the artwork was never validly paired (no rows) or
// its transaction carries no inscription, "no transaction has that id." when the service knows no
// such transaction (no watch is read), else the reason no chain could be read, also when a listing
// or the artwork's own transaction could not be read (then no certificate is named either). An
// artwork still in the mempool has its watches read from the tip on. When `certificate_id` is
// given it is cleared, both watches are read afresh (confirming a remembered pair, and answering
// with the pair the chain shows now where it changed), and it receives the certificate of the
// accepted pair (bare transaction id). Safe to call from many threads at once.
std::string art_title_chain(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows,
                            std::string* certificate_id = nullptr);

// The same read, giving the accepted pair too (cleared first; empty when none). With
// `read_pair_watch` both watches are read afresh as art_title_confirm reads them, the pair watch
// even when the title watch lists the pair, and a remembered pair found moved is read again. The
// pair is given even when the coins' path could not be read (rows empty, the reason returned), but
// not when the title watch could not be read whole: an earlier pair may be among what was missed.
std::string art_title_read(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                           bool read_pair_watch);

// Where the title's two coins are now, "<txid>_<index>" as the chain names them; empty for a coin
// paid to the miner or merged into a larger output, or when the pair binds no coins.
struct TitleCoins {
    std::string pic_coin;
    std::string cert_coin;
};

// Spend answers read ahead for many coins at once, by "<txid>_<index>": the spender's id, or ""
// for a coin the service knows unspent.
using KnownSpends = std::map<std::string, std::string>;

// art_title_read that also gives where both coins are now (`coins`, cleared first, may be null).
// A coin in `spends` is not looked up again.
std::string art_title_coins(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                            bool read_pair_watch, TitleCoins* coins, const KnownSpends* spends = nullptr);

// The read a step that moves money or the title rests on (paying, accepting, completing, passing,
// pairing): art_title_coins, but a remembered first pair counts only while both watches, listed
// afresh from the artwork's block to the pair's, show it still in the block it was read in with no
// pair before it (a note of an earlier program, which did not say its block, is checked against a
// whole fresh read). A pair found moved or preceded is forgotten and the title read again; the step
// then gets a text saying the title changed, and rows, pair and coins stay empty.
std::string art_title_confirm(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                              TitleCoins* coins = nullptr);

// Reads ahead, for the title reads of many artworks about to start side by side, the watch records
// each would read, one artwork after another from the oldest: each read then finds them kept
// rather than many reads asking for the same records at once. Each pairs an artwork with the block
// of the hanging it is read for (0: none, or still waiting), past which nothing is read for it.
// Within a request budget each artwork first takes a look of its own outside the budget
// (scope_first_look). Nothing for an artwork whose pair is remembered or whose block is unknown;
// what could not be read is left for the title read to tell.
void title_reads_prefetch(const std::vector<std::pair<std::string, std::int64_t>>& artworks);

// Forgets what this process remembers of titles and watches, as a restart does; what is kept on
// disk stays.
void title_memory_forget();

// True when a read found the artwork's first pair: one remembered as read whole (by this process,
// or noted on disk by an earlier one), or one this process found still waiting to be mined. Reads
// no network and takes no wallet mutex: the window thread may ask.
bool title_pair_known(const std::string& artwork_id);

// Notes that this program's pair of the artwork went out, as a read that found it would: the window
// greys Pair on it for as long as no read finds the artwork unpaired, not only while the step's row
// is kept.
void title_pair_sent(const std::string& artwork_id);

// Adds to the title watch's records the pair records of the artwork (`artwork_key` in norm_txid
// form) that only the pair watch listed, after those the title watch listed, and mends a copy
// whose certificate is damaged from the pair watch's copy of the same transaction.
void merge_pair_records(std::vector<WatchRecord>& title_records, const std::vector<WatchRecord>& pair_records,
                        const std::string& artwork_key);

// Where a coin the pair names starts: "<txid>_<index>" of an origin (a bare transaction id is its
// output 0); "" for an id that is no outpoint.
std::string title_origin_coin(const std::string& id);

// The block height of a transaction's JSON (`blockheight`); 0 while unconfirmed or unreadable.
std::int64_t tx_block_height(const nlohmann::json& tx);

// Where a record stands in the chain, as chain_order_before compares them.
struct ChainPlace {
    std::int64_t height = 0;   // its block; 0 while unconfirmed
    std::int64_t position = 0; // its place in the block (woc_tx_block_place); -1 when unknown
    std::int64_t listed = 0;   // its place in the listing it came from
    std::string txid;
    const nlohmann::json* tx = nullptr; // its transaction, when the caller holds it
};

// Chain order: a lower block first, then the earlier place in the block (unknown places after the
// known ones), unconfirmed after every mined one; what the chain cannot tell apart goes by listing
// order, then transaction id.
bool chain_order_before(const ChainPlace& a, const ChainPlace& b);

// art_title_coins for a gallery hanging at `hung` (its block and transaction): a hanging counts
// only where its signer held the title, so rows stay empty when the first pair stands in a later
// block; where it shares the hanging's block the caller orders the two (pair_first_in_block). A
// pair remembered in a block that may still change is read again from the listing first. A mined
// hanging's read lists no block past its own; one still waiting reads as art_title_coins does.
std::string art_title_at_hanging(const std::string& artwork_id, const ChainPlace& hung,
                                 std::vector<KvArtTitleRow>& rows, TitlePair& pair, TitleCoins* coins,
                                 const KnownSpends* spends = nullptr);

// Whether the pair `pair_txid` stands before the hanging at `hung` in the block both share: 1 before
// it, 0 after it, -1 when the block's order could not be read. Read once per block that can no
// longer change and remembered for the process and the service, so a gallery read after the first
// asks nothing for it.
int pair_first_in_block(const std::string& pair_txid, const ChainPlace& hung);

// The pair that starts the title: among the artwork's pair records signed by their own `owner`
// whose transaction pays the title watch, the first in chain order. `block_position` (height,
// txid; -1 when unknown) is asked only where pairs of different owners or certificates share a
// block: copies of one pair start the same title wherever they stand. Null when there is none.
const WatchRecord*
first_pair_in_chain(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                    const std::string& title_address,
                    const std::function<std::int64_t(std::int64_t, const std::string&)>& block_position);
