// Minting the two ordinals of an artwork for this wallet: the artwork file and its certificate,
// each with its size cap and its tag, and the fee estimate shown before an artwork is inscribed.
// All three hold the wallet mutex for their whole run.
#pragma once

#include "wallet/codecs.h"

#include <cstdint>
#include <string>

// Inscribes an artwork file of at most 10485760 bytes, tagged "Artwork". Returns the inscriber's
// text: "success" and the transaction id (the new ordinal is then recorded in the wallet and its
// tag saved), or "error: ..." (also raised as a wallet error event).
std::string inscribe_artwork(const std::string& content_type, const Bytes& content, const std::string& name);

// The largest certificate inscribed, and so the largest read as one.
constexpr std::uint64_t kCertificateMaxBytes = 102400;

// Inscribes a certificate file of at most kCertificateMaxBytes bytes with the given tag; an empty tag is
// neither sealed nor saved. Results as for inscribe_artwork.
std::string inscribe_certificate_file(const std::string& content_type, const Bytes& content, const std::string& name,
                                      const std::string& tag);

// The miner fee in satoshis of inscribing an artwork of that many bytes, or -1 for a size of 0 or
// above the cap, no HD wallet, a failed coin refresh or a payment that cannot be built; `why`, when
// given, then names a cause the user cannot see (every coin unsettled by a payment whose fate is not
// known), else is empty. Refreshes the coins over the network.
std::int64_t estimate_artwork_inscribe_fee(std::uint64_t file_size, std::string* why = nullptr);

// What the estimate gives in `why` while every coin is unsettled by a payment not known to have been sent.
constexpr const char* kFeeCoinsUnsettled =
    "every coin of the messenger account is held by a payment not known to have "
    "been sent yet. If no service knows it 5 minutes after it was sent, the next "
    "Refresh puts them back";
