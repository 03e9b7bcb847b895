#include "wallet/curve.h"

#include "wallet/crypto.h"

#include <secp256k1.h>
#include <secp256k1_ecdh.h>
#include <secp256k1_recovery.h>

#include <atomic>
#include <cstring>

namespace {

// One context for the process, blinded once with fresh randomness so that the timing and power of
// key generation and signing reveal nothing of the key. After that it is only read, which the
// library allows from any number of threads. It lives until the process ends: a worker thread may
// still sign while static objects are destroyed.
const secp256k1_context* context() {
    static const secp256k1_context* const ctx = []() {
        secp256k1_context* made = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
        std::uint8_t seed[32];
        if (made && random_bytes(seed, sizeof seed)) {
            // Failing leaves the context unblinded, which still computes correct results.
            const int randomized = secp256k1_context_randomize(made, seed);
            (void)randomized;
        }
        wipe(seed, sizeof seed);
        return made;
    }();
    return ctx;
}

// Signatures checked so far in this process; what a read spares by remembering its checks shows here.
std::atomic<std::uint64_t> g_verifications{0};

// A copy of a private key that is wiped however the function holding it returns.
struct SecretKey {
    std::uint8_t bytes[32];
    explicit SecretKey(const std::uint8_t* key32) { std::memcpy(bytes, key32, sizeof bytes); }
    ~SecretKey() { wipe(bytes, sizeof bytes); }
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
};

bool serialize_compressed(const secp256k1_pubkey& point, PubKey33& pub) {
    std::size_t len = pub.size();
    return secp256k1_ec_pubkey_serialize(context(), pub.data(), &len, &point, SECP256K1_EC_COMPRESSED) == 1 &&
           len == pub.size();
}

bool parse_pub(const std::uint8_t* key, std::size_t len, secp256k1_pubkey& point) {
    return key && (len == 33 || len == 65) && secp256k1_ec_pubkey_parse(context(), &point, key, len) == 1;
}

// Hands the library's ECDH the X coordinate of the shared point as it is, where its default would
// hash the compressed point: peers derive the channel key from the bare X.
int copy_x(unsigned char* out, const unsigned char* x32, const unsigned char* /*y32*/, void* /*data*/) {
    std::memcpy(out, x32, 32);
    return 1;
}

} // namespace

bool curve_priv_valid(const std::uint8_t* priv32) {
    return priv32 && context() && secp256k1_ec_seckey_verify(context(), priv32) == 1;
}

bool curve_pub_from_priv(const std::uint8_t* priv32, PubKey33& pub) {
    if (!curve_priv_valid(priv32)) return false;
    secp256k1_pubkey point;
    return secp256k1_ec_pubkey_create(context(), &point, priv32) == 1 && serialize_compressed(point, pub);
}

bool curve_priv_add(std::uint8_t* key32, const std::uint8_t* tweak32) {
    if (!tweak32 || !curve_priv_valid(key32)) return false;
    // The library leaves its argument undefined on failure, so the sum is made in a copy.
    SecretKey sum(key32);
    if (secp256k1_ec_seckey_tweak_add(context(), sum.bytes, tweak32) != 1) return false;
    std::memcpy(key32, sum.bytes, sizeof sum.bytes);
    return true;
}

bool curve_pub_compress(const std::uint8_t* key, std::size_t len, PubKey33& pub) {
    secp256k1_pubkey point;
    return context() && parse_pub(key, len, point) && serialize_compressed(point, pub);
}

bool curve_sign_der(const std::uint8_t* priv32, const std::uint8_t* digest32, Bytes& der) {
    der.clear();
    if (!digest32 || !curve_priv_valid(priv32)) return false;
    // The library's signatures always have a low S, which nodes require.
    secp256k1_ecdsa_signature sig;
    if (secp256k1_ecdsa_sign(context(), &sig, digest32, priv32, nullptr, nullptr) != 1) return false;
    std::uint8_t out[72];
    std::size_t len = sizeof out;
    if (secp256k1_ecdsa_signature_serialize_der(context(), out, &len, &sig) != 1) return false;
    der.assign(out, out + len);
    return true;
}

bool curve_sign_recoverable(const std::uint8_t* priv32, const std::uint8_t* digest32, std::array<std::uint8_t, 64>& rs,
                            int& recid) {
    rs.fill(0);
    recid = -1;
    if (!digest32 || !curve_priv_valid(priv32)) return false;
    secp256k1_ecdsa_recoverable_signature sig;
    if (secp256k1_ecdsa_sign_recoverable(context(), &sig, digest32, priv32, nullptr, nullptr) != 1) return false;
    return secp256k1_ecdsa_recoverable_signature_serialize_compact(context(), rs.data(), &recid, &sig) == 1;
}

bool curve_verify(const std::uint8_t* digest32, const std::uint8_t* rs64, const std::uint8_t* key, std::size_t len) {
    secp256k1_pubkey point;
    secp256k1_ecdsa_signature sig;
    if (!digest32 || !rs64 || !context() || !parse_pub(key, len, point) ||
        secp256k1_ecdsa_signature_parse_compact(context(), &sig, rs64) != 1)
        return false;
    // The library accepts only a low S; older signers did not normalise theirs, and n - s verifies
    // exactly when s does.
    secp256k1_ecdsa_signature_normalize(context(), &sig, &sig);
    g_verifications.fetch_add(1, std::memory_order_relaxed);
    return secp256k1_ecdsa_verify(context(), &sig, digest32, &point) == 1;
}

std::uint64_t curve_verifications() {
    return g_verifications.load(std::memory_order_relaxed);
}

bool curve_shared_x(const std::uint8_t* priv32, const std::uint8_t* peer, std::size_t len,
                    std::array<std::uint8_t, 32>& x) {
    secp256k1_pubkey point;
    if (!curve_priv_valid(priv32) || !parse_pub(peer, len, point)) return false;
    // The library's ECDH multiplies in constant time, however few bits the secret key has; a
    // non-zero scalar of a prime-order group never lands on infinity.
    return secp256k1_ecdh(context(), x.data(), &point, priv32, copy_x, nullptr) == 1;
}
