#include "identity/sig_primitives.h"

#include "identity/typed_message.h"
#include "wallet/keys.h"
#include "wallet/ossl_types.h"

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>

#include <cstdint>

namespace {

// Only the plain encodings: the hybrid forms 06/07 would decode to a point too, but no identity
// key is ever written that way and normalize_pubkey could not compare one.
bool has_key_shape(const Bytes& key) {
    return (key.size() == 33 && (key[0] == 2 || key[0] == 3)) || (key.size() == 65 && key[0] == 4);
}

// DER of (r, s) from the 32-byte halves, for the provider's verify call.
bool der_from_rs(const std::uint8_t* rs64, Bytes& der) {
    der.clear();
    EcdsaSigPtr sig(ECDSA_SIG_new());
    BnPtr r(BN_bin2bn(rs64, 32, nullptr));
    BnPtr s(BN_bin2bn(rs64 + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return false;
    // The signature owns both numbers now.
    r.release();
    s.release();
    const int len = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (len <= 0) return false;
    der.resize(static_cast<std::size_t>(len));
    unsigned char* p = der.data();
    return i2d_ECDSA_SIG(sig.get(), &p) == len;
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
    if (key.size() != 65 || key[0] != 4) return std::string();
    GroupPtr group(EC_GROUP_new_by_curve_name(NID_secp256k1));
    BnCtxPtr ctx(BN_CTX_new());
    if (!group || !ctx) return std::string();
    PointPtr point(EC_POINT_new(group.get()));
    if (!point || EC_POINT_oct2point(group.get(), point.get(), key.data(), key.size(), ctx.get()) != 1)
        return std::string();
    std::uint8_t compressed[33];
    const std::size_t n = EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_COMPRESSED, compressed,
                                             sizeof compressed, ctx.get());
    return n == sizeof compressed ? to_hex(compressed, n) : std::string();
}

bool ecdsa_verify_digest(const Hash256& digest, const Bytes& signature, const Bytes& pubkey) {
    if (!has_key_shape(pubkey)) return false;
    if (signature.size() != 64 && signature.size() != 65) return false;
    Bytes der;
    if (!der_from_rs(signature.data() + (signature.size() - 64), der)) return false;

    // Building the key checks that the point lies on the curve.
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "secp256k1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pubkey.data(), pubkey.size()))
        return false;
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtxPtr from_ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !from_ctx || EVP_PKEY_fromdata_init(from_ctx.get()) != 1 ||
        EVP_PKEY_fromdata(from_ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return false;
    PkeyPtr pkey(raw);

    // No digest is set on the context, so the 32 bytes are verified as they are; OpenSSL applies no
    // low-S rule, and older signers did not normalise S.
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
    return EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size()) == 1;
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
