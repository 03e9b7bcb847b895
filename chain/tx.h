// Transactions while they are built: input and output lists, the wire serialisation (and its
// fee-estimate form), the transaction id, the OP_FALSE OP_RETURN data script and raw readers.
// Version 1, sequence 0xFFFFFFFF and lock time 0 are fixed.
#pragma once

#include "wallet/codecs.h"

#include <cstdint>
#include <string>
#include <vector>

struct TxInput {
    std::string txid; // 64 hex digits, display order
    std::uint32_t vout = 0;
    std::uint64_t sats = 0;
    std::int32_t height = 0; // 0 unconfirmed, -1 unknown
    Bytes script_sig;
    Bytes prev_script; // empty: P2PKH of hash160
    std::string priv_hex;
    std::string pub_hex;
    Hash160 hash160{};
};

struct TxOutput {
    std::uint64_t sats = 0;
    Bytes script;
};

// Wire bytes; estimate form counts every unlocking script as 107 bytes. Empty when a txid is bad.
Bytes serialize_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs, bool estimate);

// Double SHA-256, reversed, lower-case hex.
std::string compute_txid(const Bytes& raw);

// 00 6A, then one push of the data when it is not empty.
Bytes op_return_script(const Bytes& data);

bool read_compact_size(const Bytes& bytes, std::size_t& offset, std::uint64_t& value);
bool raw_tx_output_at(const Bytes& raw, std::int32_t index, std::uint64_t& value, Bytes& script);
bool parse_raw_tx(const Bytes& raw, std::vector<TxInput>& inputs, std::vector<TxOutput>& outputs);
