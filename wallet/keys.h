// secp256k1 keys, BIP39/BIP32 derivation on the wallet's path scheme m/44'/236'/account'/chain/index,
// the signed-message digest and the low-S DER signing primitive. Keys travel as lower-case hex:
// private 64 digits, public 66 (compressed). Operations that touch the wallet state expect the
// caller to hold the wallet mutex.
#pragma once

#include "wallet/bip39.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
// A counter above this names more addresses than any wallet hands out (one a payment passes a
// few thousand; 2^31 is out of reach), so the wallet file is damaged: whatever lists an account's
// addresses stops at once with kAddressCounterTooLarge. The counter stays as stored.
constexpr std::uint64_t kMaxAddressCounter = 1000000;
// Without the "error: " prefix, for callers that add their own.
constexpr const char* kAddressCounterTooLargeText = "an address counter in the wallet file is too large.";
inline const std::string kAddressCounterTooLarge = std::string("error: ") + kAddressCounterTooLargeText;

// The receive addresses m/44'/236'/account'/0/0 to counter + extra of the loaded HD wallet: entry
// i of `list` is index i ("" where no key results), and the first `count` entries are this answer.
// Each address is derived once per loaded wallet and then kept. Called without the wallet mutex,
// a long run of addresses not derived yet is derived side by side with the mutex free; called
// with it held, they are derived in line. Two answers with one `version` agree on their common
// entries. Empty for a legacy wallet or one without words, an account of 6 or more, and a
// counter past kMaxAddressCounter, which also sets `damaged`.
struct AccountAddresses {
    std::shared_ptr<const std::vector<std::string>> list;
    std::uint64_t version = 0;
    std::size_t count = 0;
    bool damaged = false;
    // The kept list grows in place meanwhile, so only its storage is read, never its size.
    const std::string& operator[](std::size_t i) const { return list->data()[i]; }
};
AccountAddresses account_addresses(std::uint32_t account, std::uint64_t extra = 0);

// The same list as far as it is derived already, up to the counter; derives nothing, so it costs
// the caller's hold of the wallet mutex nothing however large the wallet. The caller holds it.
AccountAddresses derived_account_addresses(std::uint32_t account);

// m/44'/236'/100'/0/0, the identity key.
constexpr KeyPath kIdentityPath = {kPurpose, kCoinType, kIdentityAccount | kHardened, 0, 0};

// Compressed public key of a 64-hex private key; false (out empty) for anything else.
bool priv_hex_to_pub_hex(const std::string& priv_hex, std::string& pub_hex);

// P2PKH address of a 66-hex compressed public key; "" on failure.
std::string pub_hex_to_address(const std::string& pub_hex);

// BIP32 private parent to private child. Extended keys are key (32) then chain code (32).
bool bip32_ckd_priv(const std::array<std::uint8_t, 64>& parent, std::uint32_t index,
                    std::array<std::uint8_t, 64>& child);

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

// Derives what a loaded HD wallet looks through when it lists its addresses: the addresses of
// account_addresses up to each spending account's counter (their keys too, while the key cache has
// room), and the identity key's public half. They are derived on a few threads from copies of their
// prefixes with the wallet mutex released; the caller holds it through `lock`, and holds it again
// on return. What a wallet replaced meanwhile derived is dropped; a damaged counter is skipped.
// Nothing is reported: what is not derived here is derived when first used.
void warm_wallet_keys(WalletLock& lock);

// Fills the receive, identity and ordinals keys of a loaded HD wallet; clamps show to recv[1].
bool derive_wallet_keys();

// Finds the wallet key whose hash160 matches; outs written only on success.
bool find_key_for_hash160(const Hash160& hash160, std::string& priv_hex, std::string& pub_hex);

// ECDSA over a 32-byte digest with a low S, DER-encoded (no sighash byte). Out cleared first.
bool ecdsa_sign_der(const std::string& priv_hex, const std::uint8_t* digest32, Bytes& signature);
