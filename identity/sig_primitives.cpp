#include "identity/sig_primitives.h"

#include "identity/typed_message.h"
#include "wallet/curve.h"
#include "wallet/keys.h"

#include <cstdint>

namespace {

// Only the plain encodings: the hybrid forms 06/07 would decode to a point too, but no identity
// key is ever written that way and normalize_pubkey could not compare one.
bool has_key_shape(const Bytes& key) {
    return (key.size() == 33 && (key[0] == 2 || key[0] == 3)) || (key.size() == 65 && key[0] == 4);
}

// White space and "=" may stand anywhere in the signatures the platform relays; the strict decoder
// sees the text without them.
bool decode_signature_base64(const std::string& text, Bytes& out) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text) {
        if (c == '=' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') continue;
        compact += c;
    }
    return base64_decode(compact, out);
}

} // namespace

bool msg_hex_to_bytes(const std::string& text, Bytes& out) {
    out.clear();
    std::string hex = msg_trim(text);
    if (hex.size() >= 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
    if (hex.size() % 2 != 0) return false;
    if (hex.empty()) return true;
    out = from_hex(hex);
    return !out.empty();
}

std::string normalize_pubkey(const Bytes& key) {
    if (key.size() == 33 && (key[0] == 2 || key[0] == 3)) return to_hex(key);
    PubKey33 compressed{};
    if (key.size() != 65 || key[0] != 4 || !curve_pub_compress(key.data(), key.size(), compressed))
        return std::string();
    return to_hex(compressed.data(), compressed.size());
}

bool ecdsa_verify_digest(const Hash256& digest, const Bytes& signature, const Bytes& pubkey) {
    if (!has_key_shape(pubkey)) return false;
    if (signature.size() != 64 && signature.size() != 65) return false;
    return curve_verify(digest.data(), signature.data() + (signature.size() - 64), pubkey.data(), pubkey.size());
}

bool verify_signed_message(const std::string& message, const std::string& pubkey_text,
                           const std::string& signature_text) {
    Bytes pubkey;
    if (!msg_hex_to_bytes(pubkey_text, pubkey)) return false;
    Bytes signature;
    if (!decode_signature_base64(signature_text, signature)) return false;
    if (signature.size() != 64 && signature.size() != 65) return false;
    // The identity signer uses the signed-message digest; the plain and double hashes are what
    // earlier signers of the platform produced.
    const std::uint8_t* data = reinterpret_cast<const std::uint8_t*>(message.data());
    return ecdsa_verify_digest(bitcoin_message_digest(message), signature, pubkey) ||
           ecdsa_verify_digest(sha256(message), signature, pubkey) ||
           ecdsa_verify_digest(sha256d(data, message.size()), signature, pubkey);
}
