// Who owns an artwork now and since when, rebuilt from the registry watches on every call: the
// first valid pair record of the artwork starts the chain, and each owner record that the current
// owner signed and that names the previous accepted record moves it on.
#pragma once

#include "art/art_records.h"

#include <cstdint>
#include <string>
#include <vector>

// One accepted step of an artwork's title.
struct KvArtTitleRow {
    std::string txid;   // carrying transaction, lower-case hex
    std::string type;   // "art_pair" or "art_owner"
    std::string owner;  // owner after this step, lower case
    std::string signer; // identity key that signed this step, lower case
    std::string handle; // the record's handle as written
    std::int64_t ts = 0;
};

// Fills `rows` (cleared first) with the artwork's title chain, oldest first; the first row is the
// pair record. Returns "" on success, also when the artwork was never validly paired (no rows),
// else the reason no chain could be read. When `certificate_id` is given it is cleared, the pair
// watch is always read, and it receives the certificate of the artwork's first pair record.
// Safe to call from many threads at once.
std::string art_title_chain(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows,
                            std::string* certificate_id = nullptr);

// Adds to the title watch's records the pair records of the artwork (`artwork_key` in norm_txid
// form) that only the pair watch listed, mends a copy whose certificate is damaged from the pair
// watch's copy of the same transaction, and orders the list again.
void merge_pair_records(std::vector<WatchRecord>& title_records, const std::vector<WatchRecord>& pair_records,
                        const std::string& artwork_key);

// The walk over records in time order: the accepted steps of the artwork's title go to `rows`
// (cleared first); `certificate_id`, when given and empty, receives the first pair record's
// certificate.
void walk_title_records(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                        const std::string& title_address, const std::string& pair_address,
                        std::vector<KvArtTitleRow>& rows, std::string* certificate_id);
