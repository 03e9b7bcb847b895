// The wallet's artworks and certificates as the main window lists them: the listing's rows that may
// be art, each with its kind, kept while the coin still sits at this wallet.
#pragma once

#include "ordinals/ord_row.h"

#include <string>
#include <vector>

// The checks of a listed row that need no network: no token id and no token content type.
bool row_may_be_art(const KvCofferlyOrdRow& row);

// Lists the wallet's ordinals and fills `rows` with the artworks and certificates among them, in
// listing order. A row without a kind is asked for it (art_tag_of_outpoint); a row whose output the
// index has just listed at the wallet is held, and any other is asked where its coin went
// (gp_coins_still_ours), all in one round. Returns the listing's result text; `index_read` and
// `platform_read` as kv_cofferly_list_ordinals.
std::string list_art_rows(std::vector<KvCofferlyOrdRow>& rows, bool* index_read = nullptr,
                          bool* platform_read = nullptr);
