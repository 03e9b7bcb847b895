#include "wallet/bip39.h"

#include "wallet/bip39_english.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"

#include <openssl/evp.h>

#include <cstdint>
#include <vector>

namespace {

bool is_separator(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

bool bip39_seed(const std::string& mnemonic, const std::string& passphrase, std::array<std::uint8_t, 64>& seed) {
    std::string salt = "mnemonic" + passphrase;
    int ok = PKCS5_PBKDF2_HMAC(mnemonic.data(), static_cast<int>(mnemonic.size()),
                               reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), 2048,
                               EVP_sha512(), static_cast<int>(seed.size()), seed.data());
    wipe(salt);
    if (ok != 1) wipe(seed.data(), seed.size());
    return ok == 1;
}

bool mnemonic_is_valid() {
    WalletLock lock = lock_wallet();
    const std::string& text = kv_wallet().mnemonic;
    std::vector<int> indices;
    std::string word;
    bool known = true;
    for (std::size_t i = 0; i <= text.size() && known; ++i) {
        if (i == text.size() || is_separator(text[i])) {
            if (!word.empty()) {
                int index = bip39_word_index(word);
                if (index < 0) known = false;
                indices.push_back(index);
                wipe(word);
            }
            continue;
        }
        char c = text[i];
        word.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    wipe(word);
    bool valid = known && indices.size() == 12;
    if (valid) {
        // 12 x 11 bits: 128 bits of entropy, then a 4-bit checksum.
        std::uint8_t bits[17] = {};
        std::size_t pos = 0;
        for (int index : indices) {
            for (int b = 10; b >= 0; --b, ++pos) {
                if ((index >> b) & 1) bits[pos / 8] |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
            }
        }
        Hash256 digest = sha256(bits, 16);
        valid = (bits[16] >> 4) == (digest[0] >> 4);
        wipe(bits, sizeof bits);
        wipe(digest.data(), digest.size());
    }
    wipe(indices.data(), indices.size() * sizeof(int));
    return valid;
}
