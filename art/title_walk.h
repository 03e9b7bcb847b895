// Following an artwork's two coins along their own paths, and the title steps the walk finds where
// both coins move in one transaction: the part of the title read that reads the coins, not the
// watches. Used by the title read only.
#pragma once

#include "art/art_records.h"
#include "art/title_chain.h"
#include "chain/sat_path.h"

#include <string>
#include <vector>

// Whether the record is a pair record naming the artwork (`artwork_key` in norm_txid form).
bool is_pair_of(const WatchRecord& record, const std::string& artwork_key);

// What makes pair records start the same title: their owner and certificate. A copy posted again
// by anyone changes nothing, wherever it stands.
std::string pair_terms(const WatchRecord& record);

// Follows each coin from its origin along its own path and appends the title's steps to `rows`
// (which holds the pair's row): the listed `records` name the steps. "" or the reason the paths
// could not be read. `coins` (may be null) receives where both coins are now; a coin in `spends`
// is not looked up again.
std::string follow_coins(const std::vector<WatchRecord>& records, const WatchRecord& pair,
                         const std::string& artwork_key, const std::string& title_address, const SatPlace& art,
                         const SatPlace& cert, std::vector<KvArtTitleRow>& rows, TitleCoins* coins,
                         const KnownSpends* spends);
