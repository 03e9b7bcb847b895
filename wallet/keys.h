// secp256k1 keys, BIP39/BIP32 derivation on the wallet's path scheme m/44'/236'/account'/chain/index,
// the signed-message digest and the low-S DER signing primitive. Keys travel as lower-case hex:
// private 64 digits, public 66 (compressed). Operations that touch the wallet state expect the
// caller to hold the wallet mutex.
#pragma once

#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"

#include <array>
#include <cstdint>
#include <string>

using KeyPath = std::array<std::uint32_t, 5>;
constexpr std::uint32_t kHardened = 0x80000000u;

// The wallet's path scheme and the accounts it uses.
constexpr std::uint32_t kPurpose = 44 | kHardened;
constexpr std::uint32_t kCoinType = 236 | kHardened;
constexpr std::uint32_t kReceiveAccount = 1;
constexpr std::uint32_t kOrdinalsAccount = 5;
constexpr std::uint32_t kIdentityAccount = 100;
// Indices above this turn hardened, and so derive keys the wallet program never uses; a counter
// past it names no further address.
constexpr std::uint64_t kLastNormalIndex = 0x7FFFFFFF;
// Most indices of one chain a single call derives or scans. A counter in the wallet file past it
// is damaged (or written by something else): the call stops with kAddressCounterTooLarge, or scans
// only this far, rather than derive for hours under the wallet mutex. The counter stays as stored.
constexpr std::uint64_t kMaxScannedIndex = 5000;
constexpr const char* kAddressCounterTooLarge = "error: an address counter in the wallet file is too large.";

// The last index a loop over `counter` covers: the counter itself, or kMaxScannedIndex when the
// counter is past it, in which case the result is false.
bool counter_scan_last(std::uint64_t counter, std::uint64_t& last);

// m/44'/236'/100'/0/0, the identity key.
constexpr KeyPath kIdentityPath = {kPurpose, kCoinType, kIdentityAccount | kHardened, 0, 0};

// Compressed public key of a 64-hex private key; false (out empty) for anything else.
bool priv_hex_to_pub_hex(const std::string& priv_hex, std::string& pub_hex);

// P2PKH address of a 66-hex compressed public key; "" on failure.
std::string pub_hex_to_address(const std::string& pub_hex);

// BIP32 private parent to private child. Extended keys are key (32) then chain code (32).
bool bip32_ckd_priv(const std::array<std::uint8_t, 64>& parent, std::uint32_t index,
                    std::array<std::uint8_t, 64>& child);

// BIP39 seed: PBKDF2-HMAC-SHA512 over the mnemonic exactly as given, salt "mnemonic" + passphrase,
// 2048 rounds. The wallet always uses an empty passphrase. False (seed wiped) when the library fails.
bool bip39_seed(const std::string& mnemonic, const std::string& passphrase, std::array<std::uint8_t, 64>& seed);

// True when the wallet state's mnemonic is a valid 12-word BIP39 English mnemonic.
bool mnemonic_is_valid();

// Derives one path from the wallet's mnemonic (seed and master key cached in the wallet secrets).
// True when an address resulted; outs are cleared first.
bool derive_path(const KeyPath& path, std::string& priv_hex, std::string& pub_hex, std::string& address);

// The address of one path, from the key cache where it is there (identity-grade keys included,
// whose cache entries hold no private key). False when the path cannot be derived.
bool derive_address(const KeyPath& path, std::string& address);

// m/44'/236'/a'/0/i and m/44'/236'/a'/1/i; an account of 6 or more fails.
bool derive_account_key(std::uint32_t account, std::uint32_t index, std::string& priv_hex, std::string& pub_hex,
                        std::string& address);
bool derive_change_key(std::uint32_t account, std::uint32_t index, std::string& priv_hex, std::string& pub_hex,
                       std::string& address);

// Caches the keys a loaded HD wallet looks through when it lists its addresses: m/44'/236'/a'/0/i
// of the spending accounts up to their counters, and the identity key's public half. The missing
// ones are derived on a few threads from copies of their prefixes with the wallet mutex released;
// the caller holds it through `lock`, and holds it again on return. Keys of a wallet replaced
// meanwhile are dropped. Nothing is reported: a key not cached here is derived when first used.
void warm_wallet_keys(WalletLock& lock);

// Fills the receive, identity and ordinals keys of a loaded HD wallet; clamps show to recv[1].
bool derive_wallet_keys();

// Finds the wallet key whose hash160 matches; outs written only on success.
bool find_key_for_hash160(const Hash160& hash160, std::string& priv_hex, std::string& pub_hex);

// Double SHA-256 of 0x18, "Bitcoin Signed Message:\n", the CompactSize length and the message.
Hash256 bitcoin_message_digest(const std::string& message);

// ECDSA over a 32-byte digest with a low S, DER-encoded (no sighash byte). Out cleared first.
bool ecdsa_sign_der(const std::string& priv_hex, const std::uint8_t* digest32, Bytes& signature);
