// What the main window's worker jobs read for a Refresh, and after a Connect: the balance figure,
// the wallet's art rows and the gallery frames with the sales closed to this wallet. The shell's
// jobs run these and post their results; a budget or a speed of the window is measured by running
// them in the window's order. Worker threads only; each takes the wallet mutex itself.
#pragma once

#include "art/gallery_frames.h"
#include "ordinals/art_listing.h"
#include "ordinals/ord_row.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// The balance the status line shows after a status refresh. False when no figure could be worked
// out; the last known one must then stay. `fresh`, when given, tells whether WhatsOnChain answered
// for every address the run asked about: else the figure is from an earlier read.
bool read_window_balance(std::int64_t& sats, bool* fresh = nullptr);

// The listed rows that are this program's artworks and certificates, still in this wallet
// (list_art_rows). Returns the listing's error text (empty on success); `index_read` tells whether
// the ordinals index answered for any address, `platform_read` (when given) whether the platform's
// index answered with a list.
std::string read_art_rows(std::vector<KvCofferlyOrdRow>& rows, bool& index_read, bool* platform_read = nullptr);

// The ten frames, frame 1 first (a frame that could not be read is simply empty), and the artworks
// whose sale to this wallet has closed.
void read_gallery(std::vector<SpotLoad>& spots, std::set<std::string>& closed_sale_keys);

// Fills `keys` with the artworks this wallet was accepted to buy, whose title it held after the
// step its acceptance names and has lost again: sales that closed without it. Walks title chains.
void load_gallery_state(const std::vector<SpotLoad>& spots, std::set<std::string>& keys);
