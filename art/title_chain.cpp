#include "art/title_chain.h"

#include "art/art_pass.h"
#include "art/art_records.h"
#include "art/never_counting.h"
#include "art/title_walk.h"
#include "art/watch/reader.h"
#include "chain/outpoints.h"
#include "chain/sat_path.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "identity/typed_verify.h"
#include "ordinals/content_load.h"
#include "wallet/bounded_cache.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"

#include <algorithm>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>

using json = nlohmann::json;

namespace {

constexpr std::size_t kKnownPairLimit = 4096;
const char* const kWatchNotWhole = "the registry's listing could not be read to its end.";
const char* const kPairOrderUnknown = "the order of the artwork's pairs could not be read.";
const char* const kTitleChanged = "the artwork's title changed since it was read. Read it again before this step.";
const char* const kArtworkUnread = "the artwork's transaction could not be read.";
// No honest block height comes near this; a tip claimed past it is damaged.
constexpr std::int64_t kMaxBlockHeight = std::int64_t{1} << 40;

// A read that failed says when to try again: at once, or once the service that paused it lets it.
std::string read_failed(const char* what) {
    return std::string(what) + " " + try_again_text();
}

std::string lower_text(const json& msg, const char* key) {
    return to_lower_copy(art_trim_copy(json_text(msg, key)));
}

// An origin as the walk follows it: "<txid>_<n>", or a bare transaction id for its output 0.
bool origin_outpoint(const std::string& id, std::string& txid, std::uint32_t& vout) {
    const std::string text = to_lower_copy(art_trim_copy(id));
    if (is_txid_hex(text)) {
        txid = text;
        vout = 0;
        return true;
    }
    return parse_outpoint(text, txid, vout);
}

// The pair that starts an artwork's title, once found mined in a listing read whole: nothing
// listed later can stand before it in the chain, so plain reads go straight to the coins. Kept per
// service with the block it was read in (0: an earlier program's note that did not say): another
// service's chain may hold another first pair, and a reorganisation may move this one. Noted on
// disk only once a listing showed it in a block that can no longer change (`confirmed`); until then
// it is kept for the process alone.
struct KnownPair {
    WatchRecord record;
    std::int64_t height = 0;
    bool confirmed = false;
};
std::mutex g_pair_mutex;
BoundedCache<KnownPair> g_known_pairs(kKnownPairLimit);
// Whether a pair stands before a hanging in their one block, by service, block and both ids: an
// owner who pairs and hangs at once has both mined in one block, and its order is read once.
BoundedCache<int> g_block_orders(kKnownPairLimit);
// Artworks a read of this process found a first pair of, mined or still waiting: a pair in the
// mempool is not remembered as read whole, yet a second pair would still pay for nothing.
BoundedCache<bool> g_seen_pairs(kKnownPairLimit);

std::string known_pair_key(const std::string& artwork_key) {
    return service_key(artwork_key);
}

std::string pair_note(const std::string& artwork_key) {
    return "first pair of " + artwork_key;
}

// Noted once any read found the artwork paired, mined or waiting, even in a block that may still
// change: it only tells the window not to offer a second pair, which the chain would refuse anyway.
std::string seen_pair_note(const std::string& artwork_key) {
    return "paired " + artwork_key;
}

// The note's value, "<txid>:<height>"; an earlier program noted the bare transaction id.
std::string pair_note_value(const WatchRecord& record) {
    return record.txid + ":" + std::to_string(tx_block_height(record.tx));
}

// The noted pair's transaction and its block; a block that cannot be read from the note is 0.
std::string noted_pair(const std::string& artwork_key, std::int64_t& height) {
    const std::string value = watch_note(kTitleWatchKey, pair_note(artwork_key));
    height = 0;
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos) return value;
    const std::string digits = value.substr(colon + 1);
    if (!digits.empty() && digits.size() <= 12 && digits.find_first_not_of("0123456789") == std::string::npos)
        height = std::stoll(digits);
    return value.substr(0, colon);
}

void keep_pair_in_memory(const std::string& artwork_key, const KnownPair& known) {
    std::lock_guard<std::mutex> lock(g_pair_mutex);
    g_known_pairs.put(known_pair_key(artwork_key), known);
}

// The remembered pair: this process's, else the one an earlier process noted with the title
// watch's kept records.
bool known_pair(const std::string& artwork_key, KnownPair& known) {
    {
        std::lock_guard<std::mutex> lock(g_pair_mutex);
        if (const KnownPair* kept = g_known_pairs.find(known_pair_key(artwork_key))) {
            known = *kept;
            return true;
        }
    }
    const std::string txid = noted_pair(artwork_key, known.height);
    if (!is_txid_hex(txid) || (!watch_kept_record(kTitleWatchKey, txid, known.record) &&
                               !watch_kept_record(kPairWatchKey, txid, known.record)))
        return false;
    known.confirmed = known.height > 0;
    keep_pair_in_memory(artwork_key, known);
    return true;
}

// A pair found in a block that may still change is kept for this process only, and confirmed
// against the listing before a hanging is judged on it: a data folder keeps no block a later
// correction or reorganisation could move.
void remember_pair(const std::string& artwork_key, const WatchRecord& record) {
    const std::int64_t height = tx_block_height(record.tx);
    if (height <= 0) return;
    const bool confirmed = watch_block_final(height);
    keep_pair_in_memory(artwork_key, {record, height, confirmed});
    if (confirmed) watch_note_set(kTitleWatchKey, pair_note(artwork_key), pair_note_value(record));
}

// A remembered pair that a fresh read no longer finds in the block it was read from (the chain
// reorganised, or an index had not yet listed an earlier pair) is forgotten.
void forget_pair_unless(const std::string& artwork_key, const WatchRecord* first) {
    {
        std::lock_guard<std::mutex> lock(g_pair_mutex);
        const std::string key = known_pair_key(artwork_key);
        const KnownPair* kept = g_known_pairs.find(key);
        if (kept && (!first || first->txid != kept->record.txid || tx_block_height(first->tx) != kept->height))
            g_known_pairs.erase(key);
        if (!first) g_seen_pairs.erase(key);
    }
    if (!first && !watch_note(kTitleWatchKey, seen_pair_note(artwork_key)).empty())
        watch_note_set(kTitleWatchKey, seen_pair_note(artwork_key), "");
    const std::string noted = watch_note(kTitleWatchKey, pair_note(artwork_key));
    if (!noted.empty() && (!first || pair_note_value(*first) != noted))
        watch_note_set(kTitleWatchKey, pair_note(artwork_key), "");
}

// The tip of the chain the service shows now, as the watch reader counts confirmations from it;
// 0 when it cannot be read.
std::int64_t chain_tip() {
    const std::int64_t tip = watch_chain_tip();
    return tip > 0 && tip < kMaxBlockHeight ? tip : 0;
}

// What the artwork's own transaction tells a title read.
enum class ArtworkTx { inscribed, no_inscription, unknown, unreadable };

// The artwork's transaction: `height` receives its block, 0 while it waits in the mempool (or, with
// `waiting_copy_will_do`, while a copy read before it was mined says so).
ArtworkTx artwork_tx(const std::string& artwork_key, std::int64_t& height, bool waiting_copy_will_do) {
    height = 0;
    json tx;
    if (!is_txid_hex(artwork_key)) return ArtworkTx::unknown;
    if (!woc_tx_json(artwork_key, tx, waiting_copy_will_do)) {
        // Only a service that says it knows no such transaction makes the id no artwork; a failed
        // request says nothing of it.
        return woc_tx_status(artwork_key) == 1 ? ArtworkTx::unknown : ArtworkTx::unreadable;
    }
    if (!woc_tx_usable(tx)) return ArtworkTx::unreadable;
    bool inscribed = false;
    for (const json& out : tx["vout"]) {
        std::string type, name;
        Bytes body;
        const json script = out.is_object() ? out.value("scriptPubKey", json()) : json();
        inscribed = inscribed || (script.is_object() &&
                                  parse_inscription_from_script(from_hex(json_text(script, "hex")), type, body, name));
    }
    if (!inscribed) return ArtworkTx::no_inscription;
    height = tx_block_height(tx);
    return ArtworkTx::inscribed;
}

// Where an artwork's title can start: `from` receives the first block a pair of it can stand in.
// That is its own block once mined. While it waits in the mempool, it is asked for once more after
// the tip the service shows: still waiting then, it stands in no block up to that tip, so the read
// lists only the blocks after it and the mempool. A tip that could not be read bounds nothing, and
// the read does not go on.
ArtworkTx artwork_start(const std::string& artwork_key, std::int64_t& from) {
    // A copy read before it was mined (by the same step, a moment ago) tells only that it may still
    // wait; the read after the tip is the one that decides.
    ArtworkTx artwork = artwork_tx(artwork_key, from, true);
    if (artwork != ArtworkTx::inscribed || from > 0) return artwork;
    const std::int64_t tip = chain_tip();
    if (tip <= 0) return ArtworkTx::unreadable;
    artwork = artwork_tx(artwork_key, from, false);
    if (artwork != ArtworkTx::inscribed || from > 0) return artwork;
    from = tip + 1;
    return artwork;
}

// Reads the watches for the artwork's records and finds the pair that starts its title; with
// `mined_by` positive, nothing listed mined in a later block is read. "" or the reason the title
// cannot be read, and then no pair. A pair decided from a listing cut short is not remembered.
std::string read_first_pair(const std::string& artwork_key, bool read_pair_watch, std::int64_t inscribed_at,
                            std::int64_t mined_by, std::vector<WatchRecord>& records, const WatchRecord*& first) {
    first = nullptr;
    // Each watch is read from the artwork's block on, oldest first, and no further than the block
    // of the first pair that can start the title: what strangers paid the watches before or after
    // costs a listing, not a read of each payment.
    WatchScanBounds bounds;
    bounds.min_height = inscribed_at;
    bounds.mined_by = mined_by;
    // A read that corrects or confirms what was remembered lists the watches afresh from the
    // artwork's block, whatever the kept ranges say was read.
    bounds.fresh = read_pair_watch;
    bounds.enough = [&](const WatchRecord& r) {
        std::vector<WatchRecord> one{r};
        return first_pair_in_chain(one, artwork_key, kTitleWatchAddress, nullptr) != nullptr;
    };
    // Both watches side by side: the title watch lists every pair that can start the title, the
    // pair watch stands in for it where its index lags.
    std::vector<WatchRecord> pair_records;
    std::string pair_error, title_error;
    bool pair_whole = true, title_whole = false, pair_read = false, title_read = false;
    WatchListings* listings = watch_listings_in_use();
    parallel_for(2, 2, [&](std::uint64_t i) {
        const WatchListingsUse use(listings);
        if (i == 0)
            pair_read =
                scan_watch_messages(kPairWatchKey, kPairWatchAddress, pair_records, pair_error, &pair_whole, bounds);
        else
            title_read =
                scan_watch_messages(kTitleWatchKey, kTitleWatchAddress, records, title_error, &title_whole, bounds);
    });
    // Without all of the title watch the pair watch's pair could be a later one than the first.
    if (!title_read) return title_error;
    const bool pair_listed =
        std::any_of(records.begin(), records.end(), [&](const WatchRecord& r) { return is_pair_of(r, artwork_key); });
    if (read_pair_watch || !pair_listed) {
        if (pair_read)
            merge_pair_records(records, pair_records, artwork_key);
        else
            pair_whole = true; // a failed pair watch is not reported when the title watch answered
    }
    // A record the oracle alone listed may stand before the artwork's block; it counts for nothing.
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const WatchRecord& r) {
                                     const std::int64_t height = tx_block_height(r.tx);
                                     return height > 0 && height < inscribed_at;
                                 }),
                  records.end());
    bool order_unknown = false;
    first = first_pair_in_chain(records, artwork_key, kTitleWatchAddress,
                                [&](std::int64_t height, const std::string& txid) {
                                    const std::int64_t position = woc_tx_block_place(height, txid);
                                    order_unknown = order_unknown || position < 0;
                                    return position;
                                });
    // Two pairs of different terms share a block whose order could not be read: listing order
    // would let the first owner change from one read to the next.
    if (order_unknown) {
        first = nullptr;
        return read_failed(kPairOrderUnknown);
    }
    // A listing cut at a bound may hide an earlier pair; none is named as if all had been seen.
    if (!title_whole || (!pair_listed && !pair_whole)) {
        first = nullptr;
        return read_failed(kWatchNotWhole);
    }
    return "";
}

// A plain read takes a remembered pair as it is; a confirming one (a step that moves money or the
// title) lists the watches afresh up to the remembered pair's block, and a checking one (what the
// user is told) does the same but answers with the pair the chain shows now where that changed; a
// fresh one reads the watches without what was remembered and corrects it.
enum class TitleRead { plain, check, confirm, fresh };

std::string read_title(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair, TitleRead mode,
                       TitleCoins* coins, const KnownSpends* spends, const ChainPlace* hung = nullptr);

// Whether the read takes the remembered pair (`known`), and the mode it reads in. A hanging is
// judged on where the pair stands against it. A pair remembered in a block that may still change is
// read again from the listing, which lists such blocks afresh at every read; one said to share the
// hanging's block that its block does not hold (a listing that named the block wrongly) is checked
// against a fresh listing, as a step's confirm checks it.
bool take_remembered(const std::string& artwork_key, const ChainPlace* hung, TitleRead& mode, KnownPair& known) {
    bool remembered = mode != TitleRead::fresh && known_pair(artwork_key, known);
    // A pair kept for the process alone while its block was young is noted on disk once the history
    // listings show that block final, whichever read sees it so.
    if (remembered && !known.confirmed && watch_block_final_listed(kTitleWatchKey, known.height)) {
        remember_pair(artwork_key, known.record);
        known.confirmed = true;
    }
    if (remembered && mode == TitleRead::plain && hung && hung->height > 0) {
        if (!known.confirmed)
            remembered = false;
        else if (known.height == hung->height && pair_first_in_block(known.record.txid, *hung) < 0)
            mode = TitleRead::check;
    }
    return remembered;
}

// How a read of the watches for the first pair ended.
enum class PairRead { read, failed, moved };

// Reads the watches for the first pair (read_first_pair) for a read that does not take the
// remembered one as it is. `moved`: a confirming read found the remembered pair moved or preceded,
// and it was forgotten. "" or the reason the title cannot be read (PairRead::failed).
PairRead read_pair_afresh(const std::string& artwork_key, TitleRead mode, const KnownPair& known, bool remembered,
                          const ChainPlace* hung, std::vector<WatchRecord>& records, const WatchRecord*& first,
                          std::string& error) {
    // A step that moves money or the title lists the watches itself, never through a listing a
    // gallery read shares. The remembered pair stands only if it is still first among the pairs up
    // to its block (to the chain's end for a note that did not say its block).
    const WatchListingsUse own_listing(mode == TitleRead::confirm ? nullptr : watch_listings_in_use());
    const bool confirming = remembered && (mode == TitleRead::confirm || mode == TitleRead::check);
    // A mined hanging is judged on the blocks up to its own: a pair after it never makes it count,
    // so what the watches receive later is never read for it.
    const std::int64_t hung_by = hung && hung->height > 0 ? hung->height : 0;
    const std::int64_t mined_by = confirming ? known.height : hung_by;
    std::int64_t inscribed_at = 0;
    const ArtworkTx artwork = artwork_start(artwork_key, inscribed_at);
    // A transaction that carries no inscription is never paired, and an id no transaction has names
    // nothing: their watches are not read. One that could not be read bounds nothing, and the
    // watches' whole history is never read in its place.
    error = artwork == ArtworkTx::unknown      ? kNoTransactionText
            : artwork == ArtworkTx::unreadable ? read_failed(kArtworkUnread)
                                               : "";
    if (artwork != ArtworkTx::inscribed) return PairRead::failed;
    error = read_first_pair(artwork_key, mode != TitleRead::plain, inscribed_at, mined_by, records, first);
    if (!error.empty()) return PairRead::failed;
    if (confirming && (!first || first->txid != known.record.txid ||
                       (known.height > 0 && tx_block_height(first->tx) != known.height))) {
        forget_pair_unless(artwork_key, nullptr);
        never_counting_pair_found(artwork_key, "");
        return PairRead::moved;
    }
    forget_pair_unless(artwork_key, first);
    // The hangings judged against another first pair are judged again; a read that ends at a block
    // tells nothing of a pair after it.
    if (first || mined_by <= 0) never_counting_pair_found(artwork_key, first ? first->txid : std::string());
    return PairRead::read;
}

void fill_pair(const WatchRecord& first, TitlePair& pair) {
    pair.txid = first.txid;
    pair.artwork = lower_text(first.msg, "pic");
    pair.certificate = lower_text(first.msg, "cert");
    pair.sha256 = lower_text(first.msg, "sha256");
    pair.owner = json_identity_pubkey(first.msg);
    pair.handle = json_text(first.msg, "handle");
    pair.height = tx_block_height(first.tx);
}

// Notes that a read found the artwork paired, once per process.
void note_seen_pair(const std::string& artwork_key) {
    bool seen_before = false;
    {
        std::lock_guard<std::mutex> lock(g_pair_mutex);
        seen_before = g_seen_pairs.find(known_pair_key(artwork_key)) != nullptr;
        g_seen_pairs.put(known_pair_key(artwork_key), true);
    }
    if (!seen_before && watch_note(kTitleWatchKey, seen_pair_note(artwork_key)).empty())
        watch_note_set(kTitleWatchKey, seen_pair_note(artwork_key), "1");
}

// The title from its pair on: the pair's row, then the steps the coins' paths show. `remembered`
// tells that `first` is the pair remembered before, which is not remembered again.
std::string follow_title(const std::string& artwork_id, const std::string& artwork_key,
                         const std::vector<WatchRecord>& records, const WatchRecord& first, bool remembered,
                         const TitlePair& pair, std::vector<KvArtTitleRow>& rows, TitleCoins* coins,
                         const KnownSpends* spends) {
    KvArtTitleRow row;
    row.txid = first.txid;
    row.type = "art_pair";
    row.owner = pair.owner;
    row.signer = pair.owner;
    row.handle = pair.handle;
    row.ts = first.ts;
    rows.push_back(row);
    // The coins are followed from their origins: the artwork as the pair names it, the certificate
    // the pair binds. A pair whose ids are no outpoints binds no coins, and its title never moves.
    SatPlace art, cert;
    if (!origin_outpoint(pair.artwork, art.txid, art.vout) && !origin_outpoint(artwork_id, art.txid, art.vout))
        return "";
    if (!origin_outpoint(pair.certificate, cert.txid, cert.vout)) return "";
    // One coin named twice is not two coins travelling together.
    if (art.txid == cert.txid && art.vout == cert.vout) return "";
    if (!remembered) remember_pair(artwork_key, first);
    const std::string error =
        follow_coins(records, first, artwork_key, kTitleWatchAddress, art, cert, rows, coins, spends);
    if (!error.empty()) rows.clear();
    return error;
}

std::string read_title(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair, TitleRead mode,
                       TitleCoins* coins, const KnownSpends* spends, const ChainPlace* hung) {
    rows.clear();
    if (coins) *coins = TitleCoins{};
    pair = TitlePair{};
    if (std::string(kPairWatchAddress).empty() || std::string(kTitleWatchAddress).empty())
        return kWatchesNotAssignedText;
    if (art_trim_copy(artwork_id).empty()) return "Pick an artwork.";
    const std::string artwork_key = norm_txid(artwork_id);

    std::vector<WatchRecord> records;
    KnownPair known;
    const bool remembered = take_remembered(artwork_key, hung, mode, known);
    const WatchRecord* first = nullptr;
    std::string error;
    if (mode == TitleRead::plain && remembered) {
        first = &known.record;
    } else if (read_pair_afresh(artwork_key, mode, known, remembered, hung, records, first, error) == PairRead::moved) {
        // Moved or preceded: the next read names the pair the chain starts the title with now. A
        // check answers with it; a step taken on what was remembered does not go on.
        if (mode == TitleRead::check) return read_title(artwork_id, rows, pair, TitleRead::fresh, coins, spends, hung);
        std::vector<KvArtTitleRow> again;
        TitlePair again_pair;
        read_title(artwork_id, again, again_pair, TitleRead::fresh, nullptr, nullptr);
        return kTitleChanged;
    }
    if (first) fill_pair(*first, pair);
    if (!error.empty() || !first) {
        pair.height = 0;
        return error;
    }
    note_seen_pair(artwork_key);
    // The signer of a mined hanging held the title there only when the pair stands in its block or
    // an earlier one; the order inside one block is the caller's to read, where it matters.
    if (hung && hung->height > 0 && (pair.height <= 0 || pair.height > hung->height)) {
        if (first != &known.record && pair.height > 0) remember_pair(artwork_key, *first);
        return "";
    }
    return follow_title(artwork_id, artwork_key, records, *first, first == &known.record, pair, rows, coins, spends);
}

} // namespace

std::string title_origin_coin(const std::string& id) {
    std::string txid;
    std::uint32_t vout = 0;
    return origin_outpoint(id, txid, vout) ? txid + "_" + std::to_string(vout) : std::string();
}

std::int64_t tx_block_height(const json& tx) {
    if (!tx.is_object()) return 0;
    const auto height = tx.find("blockheight");
    if (height == tx.end() || !height->is_number_integer()) return 0;
    const std::int64_t value = height->get<std::int64_t>();
    return value > 0 ? value : 0;
}

bool chain_order_before(const ChainPlace& a, const ChainPlace& b) {
    const bool a_mined = a.height > 0;
    const bool b_mined = b.height > 0;
    if (a_mined != b_mined) return a_mined;
    if (a.height != b.height) return a.height < b.height;
    const bool a_placed = a.position >= 0;
    const bool b_placed = b.position >= 0;
    if (a_placed != b_placed) return a_placed;
    if (a.position != b.position) return a.position < b.position;
    if (a.listed != b.listed) return a.listed < b.listed;
    return a.txid < b.txid;
}

const WatchRecord*
first_pair_in_chain(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                    const std::string& title_address,
                    const std::function<std::int64_t(std::int64_t, const std::string&)>& block_position) {
    std::vector<std::pair<ChainPlace, const WatchRecord*>> spots;
    std::map<std::int64_t, std::set<std::string>> terms_at;
    for (const WatchRecord& record : records) {
        if (!is_pair_of(record, artwork_key)) continue;
        // A pair names its signer as the first owner. It must pay the title watch, which every title
        // read lists: a pair found only at the pair watch would start the title for the reads that
        // read that watch too and not for the others.
        const std::string signer = json_identity_pubkey(record.msg);
        if (signer.empty() || to_lower_copy(json_text(record.msg, "owner")) != signer) continue;
        if (!tx_pays_address(record.tx, title_address)) continue;
        ChainPlace place;
        place.height = tx_block_height(record.tx);
        place.listed = record.listed;
        place.txid = record.txid;
        if (place.height > 0) terms_at[place.height].insert(pair_terms(record));
        spots.emplace_back(place, &record);
    }
    if (spots.empty()) return nullptr;
    // The block's own order is asked for only where pairs of different terms share a block.
    for (auto& spot : spots) {
        if (spot.first.height > 0 && terms_at[spot.first.height].size() > 1 && block_position)
            spot.first.position = block_position(spot.first.height, spot.second->txid);
    }
    return std::min_element(spots.begin(), spots.end(),
                            [](const auto& a, const auto& b) { return chain_order_before(a.first, b.first); })
        ->second;
}

void merge_pair_records(std::vector<WatchRecord>& title_records, const std::vector<WatchRecord>& pair_records,
                        const std::string& artwork_key) {
    // Records only the pair watch listed come after every record the title watch listed.
    std::int64_t listed_after = 0;
    for (const WatchRecord& record : title_records)
        listed_after = std::max(listed_after, record.listed + 1);
    for (const WatchRecord& pair : pair_records) {
        if (!is_pair_of(pair, artwork_key)) continue;
        auto same = std::find_if(title_records.begin(), title_records.end(),
                                 [&](const WatchRecord& r) { return r.txid == pair.txid; });
        if (same == title_records.end()) {
            title_records.push_back(pair);
            title_records.back().listed += listed_after;
            continue;
        }
        // Both watches list the same pair transaction; the copies differ only when one source
        // answered with a damaged certificate field, and the better one is kept.
        const std::string pair_cert = json_text(pair.msg, "cert");
        if (!is_txid_hex(norm_txid(json_text(same->msg, "cert"))) && is_txid_hex(norm_txid(pair_cert)) &&
            same->msg.is_object())
            same->msg["cert"] = pair_cert;
    }
    sort_watch_records(title_records);
}

void title_reads_prefetch(const std::vector<std::pair<std::string, std::int64_t>>& artworks_hung) {
    std::vector<std::tuple<std::int64_t, std::string, std::int64_t>> artworks; // block, artwork, hung by
    for (const auto& [id, hung_by] : artworks_hung) {
        KnownPair known;
        const std::string key = norm_txid(id);
        if (art_trim_copy(id).empty() || (known_pair(key, known) && (known.confirmed || hung_by <= 0))) continue;
        std::int64_t height = 0;
        if (artwork_tx(key, height, true) == ArtworkTx::inscribed && height > 0)
            artworks.emplace_back(height, key, std::max<std::int64_t>(0, hung_by));
    }
    std::sort(artworks.begin(), artworks.end());
    artworks.erase(std::unique(artworks.begin(), artworks.end()), artworks.end());
    WatchListings* listings = watch_listings_in_use();
    // Each read as its own title read bounds it, so none reaches further into the watches than its
    // own would. Each artwork first takes a look of its own, a request or two at each watch, that
    // takes nothing of the gallery read's budget: an artist's pair just after the artwork is found
    // whatever a stranger's hanging of an old inscription spends. Then what was not found is read
    // from the oldest on, where a later read finds what an earlier one kept.
    std::vector<char> found(artworks.size(), 0);
    const int passes = watch_listings_first_look(true) ? 2 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        if (pass == 1) watch_listings_first_look(false);
        for (std::size_t n = 0; n < artworks.size(); ++n) {
            const auto& [height, key, hung_by] = artworks[n];
            if (found[n]) continue;
            WatchScanBounds bounds;
            bounds.min_height = height;
            bounds.mined_by = hung_by;
            bounds.enough = [&key = key](const WatchRecord& r) {
                const std::vector<WatchRecord> one{r};
                return first_pair_in_chain(one, key, kTitleWatchAddress, nullptr) != nullptr;
            };
            parallel_for(2, 2, [&](std::uint64_t i) {
                const WatchListingsUse use(listings);
                std::vector<WatchRecord> records;
                std::string error;
                if (i == 0) {
                    scan_watch_messages(kPairWatchKey, kPairWatchAddress, records, error, nullptr, bounds);
                    return;
                }
                scan_watch_messages(kTitleWatchKey, kTitleWatchAddress, records, error, nullptr, bounds);
                found[n] = std::any_of(records.begin(), records.end(), bounds.enough);
            });
        }
    }
}

namespace {

// Whether transaction `child` spends an output of `parent`: `tx` when given, else the kept copy.
bool tx_spends(const std::string& child, const json* tx, const std::string& parent) {
    json kept;
    if (!tx || !woc_tx_usable(*tx)) {
        if (!tx_store_find(service_settings().woc_base, child, kept) || !woc_tx_usable(kept)) return false;
        tx = &kept;
    }
    const std::string parent_id = to_lower_copy(parent);
    const json& vin = tx->at("vin");
    return std::any_of(vin.begin(), vin.end(), [&](const json& in) {
        return in.is_object() && to_lower_copy(json_text(in, "txid")) == parent_id;
    });
}

} // namespace

int pair_first_in_block(const std::string& pair_txid, const ChainPlace& hung) {
    // A block holds a transaction after every one whose outputs it spends: where one of the two
    // spends the other (an owner who hangs at once pays with the pair's change), the transactions
    // already read (the hanging's, the pair's as the title watch kept it) order them, and the
    // block is not asked for.
    if (tx_spends(hung.txid, hung.tx, pair_txid)) return 1;
    WatchRecord pair;
    if (tx_spends(pair_txid, watch_kept_record(kTitleWatchKey, pair_txid, pair) ? &pair.tx : nullptr, hung.txid))
        return 0;
    const std::string order = std::to_string(hung.height) + " " + pair_txid + " " + hung.txid;
    const std::string key = service_key(order);
    {
        std::lock_guard<std::mutex> lock(g_pair_mutex);
        if (const int* kept = g_block_orders.find(key)) return *kept;
    }
    // The order in a final block never changes: it is noted with the title watch, so a later start
    // does not read the block again.
    const std::string note = "order " + order;
    const std::string noted = watch_note(kTitleWatchKey, note);
    int before = noted == "1" ? 1 : noted == "0" ? 0 : -1;
    if (before < 0) {
        const std::vector<std::int64_t> at = woc_tx_block_places(hung.height, {pair_txid, hung.txid});
        if (at[0] < 0 || at[1] < 0) return -1;
        before = at[0] < at[1] ? 1 : 0;
        // A block near the tip may still be replaced by one in another order.
        if (!watch_block_final(hung.height)) return before;
        watch_note_set(kTitleWatchKey, note, before ? "1" : "0");
    }
    std::lock_guard<std::mutex> lock(g_pair_mutex);
    g_block_orders.put(key, before);
    return before;
}

void title_memory_forget() {
    {
        std::lock_guard<std::mutex> lock(g_pair_mutex);
        g_known_pairs.clear();
        g_block_orders.clear();
        g_seen_pairs.clear();
    }
    watch_memory_forget();
}

bool title_pair_known(const std::string& artwork_id) {
    const std::string artwork_key = norm_txid(artwork_id);
    if (artwork_key.empty()) return false;
    {
        std::lock_guard<std::mutex> lock(g_pair_mutex);
        if (g_seen_pairs.find(known_pair_key(artwork_key))) return true;
    }
    KnownPair known;
    return known_pair(artwork_key, known) || !watch_note(kTitleWatchKey, seen_pair_note(artwork_key)).empty();
}

void title_pair_sent(const std::string& artwork_id) {
    const std::string artwork_key = norm_txid(artwork_id);
    if (artwork_key.empty()) return;
    {
        std::lock_guard<std::mutex> lock(g_pair_mutex);
        g_seen_pairs.put(known_pair_key(artwork_key), true);
    }
    if (watch_note(kTitleWatchKey, seen_pair_note(artwork_key)).empty())
        watch_note_set(kTitleWatchKey, seen_pair_note(artwork_key), "1");
}

std::string art_title_read(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                           bool read_pair_watch) {
    return art_title_coins(artwork_id, rows, pair, read_pair_watch, nullptr);
}

std::string art_title_coins(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                            bool read_pair_watch, TitleCoins* coins, const KnownSpends* spends) {
    return read_title(artwork_id, rows, pair, read_pair_watch ? TitleRead::check : TitleRead::plain, coins, spends);
}

std::string art_title_at_hanging(const std::string& artwork_id, const ChainPlace& hung,
                                 std::vector<KvArtTitleRow>& rows, TitlePair& pair, TitleCoins* coins,
                                 const KnownSpends* spends) {
    return read_title(artwork_id, rows, pair, TitleRead::plain, coins, spends, &hung);
}

std::string art_title_confirm(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                              TitleCoins* coins) {
    return read_title(artwork_id, rows, pair, TitleRead::confirm, coins, nullptr);
}

std::string art_title_chain(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows,
                            std::string* certificate_id) {
    TitlePair pair;
    const std::string error = art_title_read(artwork_id, rows, pair, certificate_id != nullptr);
    if (certificate_id) {
        const std::string cert = norm_txid(pair.certificate);
        *certificate_id = is_txid_hex(cert) ? cert : std::string();
    }
    return error;
}
