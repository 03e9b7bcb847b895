// Turning a file into a 1Sat ordinal of the wallet: the checks of the request, the one-output
// inscription transaction to the ordinals address, and its payment.
#pragma once

#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <cstddef>
#include <string>

// Longest content type an inscription may carry, in bytes.
constexpr std::size_t kContentTypeMax = 80;

// Inscribes the content as output 0 (1 sat to the wallet's ordinals address), with the name
// metadata and, when tag is not empty, the sealed tag. A content of exactly cap bytes passes; a
// longer one is refused with "error: " and cap_message (a stock text when cap_message is empty).
// The caller holds the wallet mutex through wallet_lock, which the payment may release and take
// again around network calls. Returns "success: " and the transaction id, or "error: ...".
std::string inscribe_file(WalletLock& wallet_lock, const std::string& content_type, const Bytes& content,
                          const std::string& name_metadata, std::size_t cap, const std::string& cap_message,
                          const std::string& tag);
