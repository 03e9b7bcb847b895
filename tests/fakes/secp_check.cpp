#include "fakes/secp_check.h"

#include <openssl/sha.h>

SecpContext secp_context() {
    return SecpContext(secp256k1_context_create(SECP256K1_CONTEXT_NONE));
}

std::string secp_pubkey_hex(const Bytes& secret) {
    SecpContext ctx = secp_context();
    secp256k1_pubkey pub;
    if (secret.size() != 32 || !secp256k1_ec_pubkey_create(ctx.get(), &pub, secret.data())) return {};
    unsigned char out[33];
    size_t len = sizeof out;
    secp256k1_ec_pubkey_serialize(ctx.get(), out, &len, &pub, SECP256K1_EC_COMPRESSED);
    return to_hex(out, len);
}

Digest sha256_of(const std::string& data, bool twice) {
    Digest first{}, second{};
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), first.data());
    if (!twice) return first;
    SHA256(first.data(), first.size(), second.data());
    return second;
}

Digest expected_message_digest(const std::string& message) {
    std::string data = "\x18"
                       "Bitcoin Signed Message:\n";
    const std::size_t n = message.size();
    if (n < 253) {
        data += static_cast<char>(n);
    } else if (n <= 0xffff) {
        data += '\xfd';
        data += static_cast<char>(n & 0xff);
        data += static_cast<char>(n >> 8);
    } else {
        data += '\xfe';
        for (int i = 0; i < 4; ++i)
            data += static_cast<char>((n >> (8 * i)) & 0xff);
    }
    return sha256_of(data + message, true);
}
