// The rules a frame's records must pass, apart from how they are read: the order they replay in,
// which hanging counts, which sale records count for it, and which of this wallet's offers are
// dead. What decides rests on the chain (the title, where the coins are, where a record stands in
// the chain), never on what a signer writes about itself. Safe on many threads at once.
#pragma once

#include "art/art_records.h"
#include "art/gallery_frames.h"
#include "art/title_chain.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

// A signed time this far past the chain's own counts as ahead of it (block times may run late by
// about as much).
constexpr std::int64_t kRecordClockSlackS = 2 * 3600;

// The text of a frame read that found two records in one block whose order there could not be read.
constexpr const char* kFrameOrderUnknown = "the order of its records in a block could not be read. Try again.";

// Orders the records by chain position (lower block first, then the place in its block,
// unconfirmed after confirmed, in listing order `listed`), keeps of each signed record only its
// first place (a later copy by anyone has no effect) and drops those dated ahead of the chain
// (their block's time where the service gives one, else `now`). False, the records unordered,
// when two share a block whose order cannot be read.
bool order_frame_records(std::vector<WatchRecord>& records, std::int64_t now);

// True when hanging `a` stands before `b` in the chain; false also when the chain cannot tell.
bool hung_before(const SpotLoad& a, const SpotLoad& b);

// An artwork's title as a hanging and a sale must match it.
struct ExhibitTitle {
    std::string owner;     // the owner now, lower case; empty when the artwork has no title
    std::string head;      // transaction of the title's last step
    std::string cert;      // transaction id of the certificate the pair binds
    std::string pic_coin;  // where the artwork coin is now, "<txid>_<index>"
    std::string cert_coin; // the same for the certificate coin
    std::string pair;      // transaction of the first pair
    std::int64_t pair_height = 0;
    std::string pair_owner;  // the first owner, who signed the pair
    std::string pic_origin;  // where the pair found the artwork coin, "<txid>_<index>"
    std::string cert_origin; // the same for the certificate coin
};

// Reads the title of artwork `pic` and follows its coins to where they are now. "" or the reason
// it could not be read. With reuse_recent a title read less than 5 s ago serves again. A coin in
// `spends` (woc_bulk_spent_by of this read) is not looked up again. With `hung`, the title as the
// hanging there may claim it (art_title_at_hanging): none when the artwork was paired after it.
std::string exhibit_title_read(const std::string& pic, ExhibitTitle& title, bool reuse_recent = false,
                               const KnownSpends* spends = nullptr, const ChainPlace* hung = nullptr);
// The same read for a step that moves money or the title: the first pair is confirmed
// (art_title_confirm) rather than taken as remembered.
std::string exhibit_title_confirm(const std::string& pic, ExhibitTitle& title);

// Reads the mined transactions of the coins ("<txid>_<index>") that are not kept yet, 20 a
// request, and keeps them, so the title reads of many hangings start from them without a request
// each. Quietly reads nothing more when the service does not answer. Returns the ids an answer
// showed the service does not know.
std::set<std::string> read_coin_txs(const std::vector<std::string>& coins);

// Reads ahead, for the newest hanging of each frame (`shows`), whether the coins it names are spent
// (`spends`, woc_bulk_spent_by) and the transactions of those coins, its certificate and its artwork
// (read_coin_txs), before any title read asks for them one by one. `unknown`: the ids the service
// answered it does not know; `artworks`: the hangings' artworks, less those.
void read_hangings_ahead(const std::vector<SpotLoad>& shows, KnownSpends& spends, std::set<std::string>& unknown,
                         std::vector<std::string>& artworks);

// The same read for the artworks of a frame's hangings among `records` before `end`, adding to
// `unknown` those the service answered it does not know, and to `spends` (when given) whether the
// coins those hangings name are spent. A hanging whose transaction `passed_over` names is left out.
void read_earlier_artworks(const std::vector<WatchRecord>& records, std::size_t end, const SpotRow& row,
                           std::set<std::string>& unknown, KnownSpends* spends = nullptr,
                           const std::function<bool(const std::string&)>& passed_over = nullptr);

// True when the hanging's signer owns the title now and the hanging names the title's certificate
// and the outputs where both coins are now.
bool hanging_matches_title(const SpotFrame& show, const ExhibitTitle& title);

// Whether the title's first pair stands before the hanging at `hung`: 1 in an earlier block or
// earlier in the hanging's own, 0 after it, -1 when they share a block whose order could not be
// read. A hanging still waiting stands after every mined pair.
int pair_before_hanging(const ExhibitTitle& title, const ChainPlace& hung);

// The first record after `shown` (the hanging of `exhibit`) in which the exhibit's owner takes
// that artwork down from frame `row`; records.size() when there is none.
std::size_t owner_take_down(const std::vector<WatchRecord>& records, std::size_t shown, const SpotRow& row,
                            const SpotFrame& exhibit);

// Adds to `spot` the asks, acceptances and funded offers of its artwork that stand after record
// `shown` (the hanging) in `records`; acceptances only up to record `taken_down` (the owner's
// take-down, records.size() without one). An acceptance counts only for an earlier ask of that
// buyer at that price; an offer only when it is the exact sale of an acceptance and its coins are unspent.
void collect_sale_records(const std::vector<WatchRecord>& records, std::size_t shown, std::size_t taken_down,
                          SpotLoad& spot);

// Frees the coins of this wallet's offers that no longer count for their frame: the hanging they
// were paid for is no longer the frame's (taken down, expired, replaced, hung again at any price),
// its coins went out, or a coin of the offer was spent. A frame that could not be read decides
// nothing.
void release_dead_offers(const std::vector<SpotLoad>& loads, std::int64_t now);
