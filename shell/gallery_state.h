// What the windows keep of the last gallery read: the ten frames, the artworks whose sale to this
// wallet has closed, the gallery rows listed after the wallet's own, and the short sale label of a
// piece as this wallet sees it. GUI-thread state; the gallery worker reads it with read_gallery.
#pragma once

#include "art/gallery_frames.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// A gallery piece this wallet asks for or was accepted to buy, listed in the main window.
struct GalleryBuyRow {
    std::int32_t spot = 0;   // frame number 1 to 10
    std::string pic;         // artwork id as the frame names it
    std::string title;       // the frame's title, else pic
    std::string handle;      // exhibit owner's handle
    std::int64_t price = -1; // satoshis; -1 when none
    std::wstring status;     // sale_status_label of the frame
};

extern std::vector<SpotLoad> gallery_spots;         // last read, frame 1 first
extern std::set<std::string> closed_sale_keys;      // normalised artwork ids
extern std::vector<GalleryBuyRow> gallery_buy_rows; // rebuilt before each list refresh
// Hangings whose payment this wallet sent in this run, kept until the gallery lists it: the services
// may list the payment only seconds later, and it must not be paid twice. A payment not known to
// have gone out is held by the engine instead (step_holds.h), which keeps it across a restart.
extern std::set<std::string> paid_hangings;
// The hanging whose payment is being sent now, until its answer; empty when none.
extern std::string paying_hanging;

// True while this run's payment for the hanging stands: sent and answered, or being sent.
bool hanging_paid_here(const std::string& show_txid);

// Identity key (HD) or key (legacy) of the wallet that loads, lower-cased; empty when none loads.
std::string this_wallet_key();

// Rebuilds gallery_buy_rows from gallery_spots, closed_sale_keys and art_rows.
void rebuild_gallery_buy_rows();
// The rows for `wallet_key` (lower case; empty gives none) without touching the globals.
std::vector<GalleryBuyRow> build_gallery_buy_rows(const std::vector<SpotLoad>& spots,
                                                  const std::set<std::string>& closed, const std::string& wallet_key);

// What the status line says of a gallery read that left a frame's title unread (a hanging of an
// old, never-paired inscription is read a part at a time): "Frame N: " and the frame's text, the
// first such frame; empty when every frame was read.
std::string gallery_reading_text(const std::vector<SpotLoad>& spots);

// The sale state of the piece in `spot` as this wallet sees it; empty for no frame or no exhibit.
std::wstring sale_status_label(const SpotFrame* spot, const std::string& art_id);
// The same for `wallet_key` (lower case).
std::wstring sale_status_label(const SpotFrame* spot, const std::string& art_id, const std::string& wallet_key);

// Whether `spot` holds a funded offer that its sale can complete with: one signed by a buyer the
// owner accepted (the frame reader keeps only offers that are exactly such a sale). The second form
// asks for the offer of `buyer_key` (lower case) alone; an empty key has none.
bool frame_has_counted_offer(const SpotFrame& spot);
bool buyer_has_counted_offer(const SpotFrame& spot, const std::string& buyer_key);
// The latest such offer, or null.
const SpotFunded* latest_counted_offer(const SpotFrame& spot);
// How the window names a party: the platform's name for the key as a frame read gave it (its
// alias), with the key shortened beside it; the shortened key alone without a name.
std::string party_text(const std::string& name, const std::string& key);
// The name the frame's asks give `buyer_key`, for party_text; empty when no ask of it is listed.
std::string ask_name_of(const SpotFrame& spot, const std::string& buyer_key);

// The frame of gallery_spots where the artwork `art_id` hangs now, or null; a frame it was taken
// down from does not count.
const SpotLoad* find_spot_for_art(const std::string& art_id);
// The paymail up to its first "@" (all of it without one).
std::wstring paymail_alias_text(const std::string& paymail);
