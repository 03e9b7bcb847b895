// Pairing an inscribed artwork with its inscribed certificate: everything that can be tested is
// tested before money is spent, then a signed art_pair record goes on chain with the pair fee and
// a hook at each registry watch, making the signer the artwork's first owner.
#pragma once

#include <string>

// The platform operator's address that receives the pair fee.
constexpr const char* kPairFeeAddress = "17ByR56aQwFCjJzHDoswn9PNXkhanpU2NE";

// Returns "success: " and the transaction id once the pair transaction was broadcast, otherwise a
// text that begins "error: ". Spends nothing unless every check passed. Runs on a worker thread;
// makes network requests.
std::string art_pair_artwork(const std::string& artwork_origin, const std::string& certificate_origin);
