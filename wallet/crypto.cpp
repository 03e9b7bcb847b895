#include "wallet/crypto.h"

#include "wallet/ossl_types.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>

namespace {

constexpr int kGcmIvBytes = 12;
constexpr int kGcmTagBytes = 16;

} // namespace

Hash256 sha256(const std::uint8_t* data, std::size_t len) {
    Hash256 out{};
    SHA256(data, len, out.data());
    return out;
}

Hash256 sha256d(const std::uint8_t* data, std::size_t len) {
    Hash256 first = sha256(data, len);
    return sha256(first.data(), first.size());
}

Hash160 hash160_of(const std::uint8_t* data, std::size_t len) {
    Hash256 first = sha256(data, len);
    Hash160 out{};
    unsigned int out_len = 0;
    // RIPEMD-160 lives in the legacy provider's list but EVP_Digest still reaches the default
    // implementation in OpenSSL 3.
    EVP_Digest(first.data(), first.size(), out.data(), &out_len, EVP_ripemd160(), nullptr);
    return out;
}

bool hmac_sha512(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* data, std::size_t data_len,
                 std::array<std::uint8_t, 64>& out) {
    unsigned int out_len = 0;
    unsigned char* r = HMAC(EVP_sha512(), key, static_cast<int>(key_len), data, data_len, out.data(), &out_len);
    return r != nullptr && out_len == 64;
}

std::string base64_encode(const std::uint8_t* data, std::size_t len) {
    std::string out(4 * ((len + 2) / 3), '\0');
    if (len == 0) return {};
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(len));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

bool base64_decode(const std::string& text, Bytes& out) {
    out.clear();
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '=') break;
        std::size_t v = alphabet.find(c);
        if (v == std::string::npos) {
            out.clear();
            return false;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
        }
    }
    // Only padding may follow, and no more than two of it.
    std::size_t pad = 0;
    for (; i < text.size(); ++i, ++pad) {
        if (text[i] != '=' || pad >= 2) {
            out.clear();
            return false;
        }
    }
    return true;
}

bool aes_256_gcm_seal(const Hash256& key, const std::uint8_t* iv, const std::uint8_t* plain, std::size_t len,
                      std::uint8_t* cipher, std::uint8_t* tag) {
    return aes_256_gcm_seal(key, iv, std::string(), plain, len, cipher, tag);
}

bool aes_256_gcm_open(const Hash256& key, const std::uint8_t* iv, const std::uint8_t* cipher, std::size_t len,
                      const std::uint8_t* tag, std::uint8_t* plain) {
    return aes_256_gcm_open(key, iv, std::string(), cipher, len, tag, plain);
}

bool aes_256_gcm_seal(const Hash256& key, const std::uint8_t* iv, const std::string& associated,
                      const std::uint8_t* plain, std::size_t len, std::uint8_t* cipher, std::uint8_t* tag) {
    if (len > static_cast<std::size_t>(INT_MAX) || associated.size() > static_cast<std::size_t>(INT_MAX)) return false;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int ad_len = 0;
    int out_len = 0;
    int final_len = 0;
    // An empty text is never handed to the update call: its output pointer may be null then.
    return ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmIvBytes, nullptr) == 1 &&
           EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv) == 1 &&
           (associated.empty() ||
            EVP_EncryptUpdate(ctx.get(), nullptr, &ad_len, reinterpret_cast<const std::uint8_t*>(associated.data()),
                              static_cast<int>(associated.size())) == 1) &&
           (len == 0 || EVP_EncryptUpdate(ctx.get(), cipher, &out_len, plain, static_cast<int>(len)) == 1) &&
           EVP_EncryptFinal_ex(ctx.get(), cipher + out_len, &final_len) == 1 &&
           static_cast<std::size_t>(out_len + final_len) == len &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kGcmTagBytes, tag) == 1;
}

bool aes_256_gcm_open(const Hash256& key, const std::uint8_t* iv, const std::string& associated,
                      const std::uint8_t* cipher, std::size_t len, const std::uint8_t* tag, std::uint8_t* plain) {
    if (len > static_cast<std::size_t>(INT_MAX) || associated.size() > static_cast<std::size_t>(INT_MAX)) return false;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int ad_len = 0;
    int out_len = 0;
    int final_len = 0;
    // The library takes the expected tag through a non-const pointer but only reads it.
    const bool ok =
        ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmIvBytes, nullptr) == 1 &&
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv) == 1 &&
        (associated.empty() ||
         EVP_DecryptUpdate(ctx.get(), nullptr, &ad_len, reinterpret_cast<const std::uint8_t*>(associated.data()),
                           static_cast<int>(associated.size())) == 1) &&
        (len == 0 || EVP_DecryptUpdate(ctx.get(), plain, &out_len, cipher, static_cast<int>(len)) == 1) &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kGcmTagBytes, const_cast<std::uint8_t*>(tag)) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), plain + out_len, &final_len) == 1 &&
        static_cast<std::size_t>(out_len + final_len) == len;
    // Text that failed the tag check must not be used; leave none of it behind.
    if (!ok && len > 0) OPENSSL_cleanse(plain, len);
    return ok;
}

bool random_bytes(std::uint8_t* out, std::size_t len) {
    return RAND_bytes(out, static_cast<int>(len)) == 1;
}

void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size());
    secret.clear();
}

void wipe(Bytes& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

void wipe(void* data, std::size_t len) {
    if (data != nullptr && len != 0) OPENSSL_cleanse(data, len);
}

Hash256 bitcoin_message_digest(const std::string& message) {
    // The magic text with its own length byte (24) in front.
    static const char kMagic[] = "\x18"
                                 "Bitcoin Signed Message:\n";
    Bytes data(kMagic, kMagic + sizeof kMagic - 1);
    append_varint(data, message.size());
    data.insert(data.end(), message.begin(), message.end());
    return sha256d(data);
}
