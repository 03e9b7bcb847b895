// The ten gallery frames: their fixed watch addresses, the state of a frame after its watch was
// read (the exhibit, its asks, acceptances and funded offers) and the replay that builds that state
// from the signed records at the watch. Only mined transactions, and for a few seconds the watch
// listings, are kept between reads.
// Every function here is safe to run on many threads at once.
#pragma once

#include "art/gallery_watch.h"
#include "art/offer_tx.h"
#include "art/watch/reader.h"
#include "chain/balance.h"
#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One frame of the gallery: its number, its key in the oracle index (also the `spot` of its
// records) and its watch address.
struct SpotRow {
    std::int32_t spot = 0;
    const char* label = "";
    const char* watch = "";
};

constexpr std::int32_t kSpotCount = 10;

// A gallery read reads the registry watches for the titles of its hangings with at most this many
// WhatsOnChain requests beyond what the titles it finds cost: a hanging of an artwork never paired
// would otherwise have it read every payment the watches had since that artwork.
constexpr std::size_t kGalleryTitleRequests = 30;
// The same bound for the read of the frames a sale step begins with, past each title's first look:
// the step reads whole only the title of the hanging it acts on, never a stranger's newer one's.
constexpr std::size_t kStepTitleRequests = 1;
// What a frame says while its hanging's title is still being read; each gallery read goes on.
constexpr const char* kFrameTitleReading = "Title still being read. Refresh to go on.";
// What a frame says beside the hanging it shows while the title of a newer hanging is still being
// read: the newer one neither shows nor stops the sale until it is known to count.
constexpr const char* kFrameNewerReading = "A newer hanging in this frame is still being read. Refresh to go on.";

inline constexpr SpotRow kSpotRows[kSpotCount] = {
    {1, "as1", "1NWmxVfYHvzJZVzD8HbsCEnM2Bpmr5bKDt"}, {2, "as2", "175rmsa2Vz4vrZX8GXd9VeBbhAWodZxzfU"},
    {3, "as3", "1EBHR6uBYUfM9LJciZ5ho9yzCjyBUEtqJt"}, {4, "as4", "1JzZVibFjDBfB4AuLh37P3pKoLsVndt7M5"},
    {5, "as5", "156pVa7Z4j85QMQmBiLFg4C6FW5915L1UG"}, {6, "as6", "19PYhd7F8UgPKThRDQzRZhimSgZum419Wk"},
    {7, "as7", "1DU4uwybHhVRpH1SSMmLv9AGNMt1ounr9X"}, {8, "as8", "1G2G9kSM3mCEhPNpMNvsF3bqPJD2EHZYBH"},
    {9, "as9", "19qxU6veL2GyJtBrXkWmS1yPmoGFcZQLNK"}, {10, "as10", "1E3nWCW6LjASFGbxXnckssRtY35nmRkpyA"},
};

// One buyer's ask at the exhibit's current price.
struct SpotAsk {
    std::string txid;
    std::string buyer;     // identity key, lower-cased
    std::string buyer_ord; // the buyer's ordinals address
    // The platform's name for the buyer's key (paymail_display_label), not what the ask says of
    // itself; empty in an ask that is neither the latest nor an accepted buyer's.
    std::string handle;
    std::int64_t price_sats = -1;
    std::int64_t ts = 0;
};

// The owner's acceptance of one buyer, with the title record signed for that buyer.
struct SpotAccept {
    std::string txid;
    std::string buyer; // lower-cased
    std::string title_json;
    std::int64_t price_sats = -1;
    std::int64_t ts = 0;
};

// An accepted buyer's partly signed offer that is exactly the agreed sale, its own inputs still
// unspent when read.
struct SpotFunded {
    std::string txid;
    std::string buyer;     // identity key that signed the record, lower-cased
    std::string offer;     // transaction hex as posted
    std::string offer_sha; // lower-cased
    std::int64_t ts = 0;
};

// A frame as the windows keep it. The fields up to `ts` are the exhibit part.
struct SpotFrame {
    bool shown = false;
    std::int32_t spot = 0; // 0 when the frame holds no exhibit
    std::string show_txid;
    std::string pic;  // artwork origin reduced to its transaction id
    std::string cert; // certificate origin, reduced the same way
    std::string sha256;
    std::string owner; // identity key that signed the art_show, lower-cased
    std::string handle;
    std::string pay_addr;
    std::string pic_utxo;  // "<txid>_<index>" of the artwork coin, lower-cased
    std::string cert_utxo; // the same for the certificate coin
    std::string title;
    std::string artist_name;
    std::string created;
    std::string note;
    std::string owner_paymail;
    std::int64_t price = -1; // satoshis; -1 when the exhibit has no price
    std::int64_t exp = 0;    // Unix seconds; 0 or below never expires
    std::int64_t ts = 0;
    bool hidden = false; // the owner took the exhibit down (it still shows while a funded offer waits)
    // kFrameTitleReading while the title of the frame's hanging is still being read; kFrameNewerReading
    // while that of a newer hanging is, the frame showing the last hanging that counts.
    std::string reading;
    std::vector<SpotAsk> asks;
    std::vector<SpotAccept> accepts;
    std::vector<SpotFunded> funded;
};

// A frame straight after its watch was read: the frame and the read error, if any. Assigning one
// to a SpotFrame drops the last two.
struct SpotLoad : SpotFrame {
    std::string error;
    std::int64_t height = 0; // block of the hanging; 0 while unconfirmed
};

// The row of a frame number; a number outside 1 to 10 gives frame 1.
const SpotRow& spot_row(std::int32_t spot);
// "as" followed by the frame number in decimal.
std::string spot_label(std::int32_t spot);
// Resets the exhibit part to its defaults; the three lists stay.
void spot_exhibit_init(SpotFrame& frame);

// Reads frame `index` (0 is frame 1) and replays its records, judging expiry against `now`
// (Unix seconds). A watch that cannot be read whole, or the title of a hanging that cannot be
// read, gives a frame without exhibit and the read error.
// load_all_spots calls it, and a sale step for its own frame; the index is not range-checked.
// `acted_on`: the hanging a step acts on, as in load_all_spots.
SpotLoad load_spot(std::int32_t index, std::int64_t now, bool reuse_recent = false, FrameHistories* shared = nullptr,
                   const std::string& acted_on = "");
// Reads the ten frames at once and leaves exactly ten in `frames`, frame 1 first; of an artwork
// hanging in two frames only the one hung later in the chain stays. A frame whose hanging's title
// the read's bound left unread shows no exhibit, says kFrameTitleReading and counts as not read; it
// keeps its newest hanging and the sale records after it, unconfirmed, for the step they allow. A
// frame whose unread hanging is newer than one that counts shows that one and its sale records, says
// kFrameNewerReading and counts as not read; under that unread hanging, each hanging of an artwork
// no read has found paired takes a first look at most and is passed over when that tells nothing,
// so that any number of them leaves the sale shown. A hanging that held its frame and whose title
// went on since (sold, passed) leaves the frame empty.
// Then frees the coins of this wallet's offers that no longer count. Returns the first read error
// in frame order, empty when every watch was read. With reuse_recent a watch listing read less
// than 5 s ago serves again and no coin is freed; mined transactions are always read once only.
// `title_requests` is the read's bound on the registry watches (kGalleryTitleRequests or kStepTitleRequests).
// `acted_on` names the hanging a step acts on: its frame leaves unread each newer hanging of another
// artwork whose pair no read has found, as if its title were still being read (kFrameNewerReading),
// and says kFrameTitleReading of a newer hanging of the same artwork whose title the bound left unread.
std::string load_all_spots(std::vector<SpotFrame>& frames, bool reuse_recent = false,
                           std::size_t title_requests = kGalleryTitleRequests, const std::string& acted_on = "");
// Forgets in memory, as a restart does, the kept watch listings (gallery_forget_listings), the
// askers' names, the hangings judged never to count (their file stays) and the mined transactions
// kept (tx_store.h) for every reader.
void gallery_cache_clear();

// The sale terms of the frame for one accepted buyer's acceptance: the buyer's ordinals address
// from that buyer's last ask, the fee and watch addresses of the gallery.
SaleTerms frame_sale_terms(const SpotFrame& frame, const SpotAccept& accept);

// Fills the certificate texts of the exhibit from its certificate inscription; leaves them as
// they were when the inscription does not load or is not a JSON object.
void load_certificate_fields(SpotFrame& exhibit);
// The exhibit part of an art_show record hung in frame `spot`.
SpotLoad parse_art_show(const WatchRecord& record, std::int32_t spot);
// The origin lower-cased and, when it is "<64 chars>_<index>", cut to its transaction id; such a
// full origin also fills an empty `outpoint`.
std::string spot_origin_key(const std::string& origin, std::string& outpoint);
// The record's text `price` in satoshis; -1 when absent, "-" or unreadable.
std::int64_t spot_price(const nlohmann::json& record);
// An integer member given as a JSON integer or as decimal text; 0 when absent or unreadable.
std::int64_t gallery_json_int(const nlohmann::json& obj, const std::string& key);
