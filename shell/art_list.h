// The main window's list of the wallet's artworks and certificates, followed by the gallery pieces
// this wallet is buying: the rows, their reading on a worker, the filter that hides filed coins,
// the name sort and the small row helpers that the task popups use to fill their combo boxes.
// Rows, sort order and list box belong to the GUI thread.
#pragma once

#include <windows.h>

#include "art/window_reads.h"
#include "ordinals/ord_row.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

extern std::vector<KvCofferlyOrdRow> art_rows;
extern std::int32_t art_sort_order; // 1 A-Z, -1 Z-A

using ArtRowIter = std::vector<KvCofferlyOrdRow>::iterator;

// Starts a read of the wallet's inscriptions, or empties the list when no wallet is connected.
// `announce` is true for a read the user asked for: it says so in the status line, and so does its
// outcome; a read that follows another result refreshes the rows and leaves that result shown.
void start_read_inscriptions(bool announce = true);
// The inscription read on its worker: posts code 2 with the kept rows, then, when announcing,
// code 5 with the text of inscriptions_refresh_text.
void read_inscriptions_worker(bool announce);
// What a finished read says: the listing's error (naming a service's wait while one keeps every
// request away), followed by `notice`, what the engine told of damaged stores set aside; an error
// too when the ordinals index answered for no address (the rows are then only what the wallet
// already knew); else whether anything is listed, and that the platform's answer was empty when
// `platform_read` is false.
std::string inscriptions_refresh_text(const std::string& listing, bool index_read, bool none_kept,
                                      const std::string& notice = "", bool platform_read = true);

// Rebuilds the list box from art_rows and gallery_buy_rows; nothing when the list box is missing.
// Its caption counts both.
void refresh_art_list();
// While the list shows a gallery piece this wallet is buying, a status line that says the wallet
// has no artwork says the read is done instead.
void note_listed_gallery_rows();
// The list item's text of a wallet row: kind prefix, name (when any) and key, two blanks apart.
std::string art_row_label(const KvCofferlyOrdRow& row);
// Indices of the rows not in `filed`, stably sorted by compare_rows_by_name.
std::vector<std::size_t> listed_row_indices(const std::set<std::string>& filed);
// Ordering of art_rows[a] and art_rows[b] by name (else key), case-blind, in art_sort_order.
bool compare_rows_by_name(std::size_t a, std::size_t b);

bool row_is_artwork(const KvCofferlyOrdRow& row);
bool row_is_certificate(const KvCofferlyOrdRow& row);

// Fill `combo` with the artwork rows (`artworks` true) or certificate rows, or a placeholder.
void fill_art_combo(HWND combo, bool artworks);
// As fill_art_combo without the filed rows.
void fill_file_combo(HWND combo, bool artworks);
// The key of the row selected in `combo`; empty for no selection or a placeholder.
std::string selected_row_id(HWND combo);

// ASCII lower case; an origin longer than 64 characters with "_" as its 65th is cut to its txid.
std::string normalize_outpoint_key(const std::string& key);
// Normalised ids filed in any art folder; empty when the folders cannot be read.
std::set<std::string> filed_keys();
// Moves the rows whose normalised key differs from `key` to the front, keeping their order, and
// returns the new end; the caller erases the rest.
ArtRowIter remove_rows_by_key(ArtRowIter first, ArtRowIter last, const std::string& key);
