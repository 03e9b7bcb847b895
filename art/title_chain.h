// Who owns an artwork now and since when, rebuilt from the registry watches on every call: the
// first valid pair record of the artwork starts the chain, and each owner record that the current
// owner signed and that names the previous accepted record moves it on.
#pragma once

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
