// Which wallet key owns an address, and FORKID signing of transaction inputs: the BIP143-layout
// digest with sighash type 0x41, a low-S DER signature and the two-push unlocking script.
#pragma once

#include "chain/tx.h"
#include "wallet/crypto.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint32_t kSighashAllForkid = 0x41;

// The three digests that every input's preimage shares; computed once per transaction.
struct ForkidHashes {
    Hash256 prevouts{};
    Hash256 sequence{};
    Hash256 outputs{};
};

// Transaction fields that the product fixes but the general digest takes as given.
struct ForkidParams {
    std::uint32_t version = 1;
    std::uint32_t lock_time = 0;
    std::uint32_t hash_type = kSighashAllForkid;
    std::vector<std::uint32_t> sequences; // one per input; empty means 0xFFFFFFFF for every input
};

// True when the address is a key of the loaded wallet (receive chain of accounts 0'..5' up to each
// counter, then the identity key); writes both keys then. `hash160` is written whenever the address
// decodes. The caller holds the wallet mutex.
bool is_my_address(const std::string& address, std::string& priv_hex, std::string& pub_hex, Hash160& hash160);

// hashPrevouts, hashSequence and hashOutputs for sighash type 0x41 with every sequence 0xFFFFFFFF.
ForkidHashes forkid_hashes(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs);

// Digest (hash byte order, not reversed) that signs `input` under type 0x41. The script code is
// `input.prev_script`, or the P2PKH script of `hash160` when that is empty.
Hash256 forkid_sighash(const TxInput& input, const ForkidHashes& hashes, const Hash160& hash160);

// Digest of input `index` over `script_code` and that input's `sats` under any FORKID hash type:
// ANYONECANPAY, NONE and SINGLE honoured, and the 0x20 flag selecting the original digest layout.
// All zero when `index` is out of range or `params.sequences` has the wrong length.
Hash256 forkid_sighash_general(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                               std::size_t index, const Bytes& script_code, const ForkidParams& params);

// Signs one input: writes `input.script_sig` = <DER sig + 0x41> <public key>. False, with the
// input unchanged, when the private key cannot sign or the public key hex is not a public key.
bool sign_tx_input(TxInput& input, const ForkidHashes& hashes, const Hash160& hash160, const std::string& priv_hex,
                   const std::string& pub_hex);
bool sign_tx_input(TxInput& input, const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                   const Hash160& hash160, const std::string& priv_hex, const std::string& pub_hex);

// Signs every input in order, each with its own keys or else the wallet's receive keys (and then
// the change hash160). Stops at the first failure, whose index goes to `failed_index` when given.
bool sign_tx_inputs(std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                    const std::string& receive_priv, const std::string& receive_pub, std::size_t* failed_index);
