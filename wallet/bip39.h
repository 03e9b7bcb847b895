// The BIP39 side of the wallet's words: the seed they give and whether the loaded wallet's words
// are a valid English mnemonic.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// BIP39 seed: PBKDF2-HMAC-SHA512 over the mnemonic exactly as given, salt "mnemonic" + passphrase,
// 2048 rounds. The wallet always uses an empty passphrase. False (seed wiped) when the library fails.
bool bip39_seed(const std::string& mnemonic, const std::string& passphrase, std::array<std::uint8_t, 64>& seed);

// True when the wallet state's mnemonic is a valid 12-word BIP39 English mnemonic.
bool mnemonic_is_valid();
