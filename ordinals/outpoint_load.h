// One transaction output read from WhatsOnChain as the input record that spends it, with the
// inscription its locking script carries. Works only on its arguments; safe on any thread.
#pragma once

#include "chain/tx.h"
#include "wallet/codecs.h"

#include <cstdint>
#include <string>

// Loads output `vout` of `txid` from the transaction JSON, else from the transaction hex. The
// locking script must be P2PKH then an "ord" envelope, an envelope then P2PKH, or a bare P2PKH of
// 25 bytes. On success `input` holds txid, vout, sats (at least 1), the whole script as
// prev_script and the lock's hash160 (height -1), and the envelope's fields fill the other outs.
// False with "bad outpoint." for a txid that is not 64 hex digits or a vout of 2^31 or more, else
// with "could not load that outpoint from the chain yet. Wait a few seconds."; `input` stays empty.
bool woc_load_outpoint(const std::string& txid, std::uint32_t vout, TxInput& input, std::string& content_type,
                       Bytes& body, std::string& metadata, std::string& error, std::uint32_t timeout_s);
