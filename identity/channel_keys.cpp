#include "identity/channel_keys.h"

#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/ossl_types.h"

#include <openssl/obj_mac.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <utility>

namespace {

// The slots wipe the private key when the process ends.
struct ChannelKeySlots {
    ChannelKeys keys;
    ChannelKeySource source;
    ~ChannelKeySlots() { wipe(keys.own_priv); }
};

std::mutex g_channel_mutex;
ChannelKeySlots g_slots;

constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;

// X coordinate of own_priv x peer_pub on secp256k1; false for a malformed or out-of-range key.
bool shared_x(const Bytes& priv, const Bytes& peer, std::array<std::uint8_t, 32>& x) {
    if (priv.size() != 32 || peer.empty()) return false;
    GroupPtr group(EC_GROUP_new_by_curve_name(NID_secp256k1));
    BnCtxPtr ctx(BN_CTX_secure_new());
    BnPtr d(BN_secure_new());
    if (!group || !ctx || !d || !BN_bin2bn(priv.data(), 32, d.get())) return false;
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) return false;
    PointPtr peer_point(EC_POINT_new(group.get()));
    PointPtr shared(EC_POINT_new(group.get()));
    BnPtr sx(BN_secure_new());
    if (!peer_point || !shared || !sx ||
        EC_POINT_oct2point(group.get(), peer_point.get(), peer.data(), peer.size(), ctx.get()) != 1 ||
        !EC_POINT_mul(group.get(), shared.get(), nullptr, peer_point.get(), d.get(), ctx.get()) ||
        EC_POINT_is_at_infinity(group.get(), shared.get()) ||
        !EC_POINT_get_affine_coordinates(group.get(), shared.get(), sx.get(), nullptr, ctx.get()))
        return false;
    return BN_bn2binpad(sx.get(), x.data(), 32) == 32;
}

void clear_keys(ChannelKeys& keys) {
    keys.own_pub.clear();
    wipe(keys.own_priv);
    keys.peer_pub.clear();
}

} // namespace

void set_channel_key_source(ChannelKeySource source) {
    std::lock_guard<std::mutex> hold(g_channel_mutex);
    g_slots.source = std::move(source);
}

bool load_channel_keys(const std::string& report_text, std::string& error) {
    (void)report_text; // the keys do not depend on the text; the encryption that follows uses it
    error.clear();
    bool loaded = false;
    {
        std::lock_guard<std::mutex> hold(g_channel_mutex);
        clear_keys(g_slots.keys);
        if (!g_slots.source) {
            error = "Connect Cofferly";
        } else {
            ChannelKeys fresh;
            loaded = g_slots.source(fresh, error);
            // A source that says yes but leaves a slot empty has not given usable keys.
            if (loaded && (fresh.own_pub.empty() || fresh.own_priv.empty() || fresh.peer_pub.empty())) loaded = false;
            if (loaded) {
                g_slots.keys = fresh;
                error.clear();
            }
            clear_keys(fresh);
        }
    }
    if (!loaded && error.empty()) error = "could not load Cofferly encryption keys";
    return loaded;
}

ChannelKeys loaded_channel_keys() {
    std::lock_guard<std::mutex> hold(g_channel_mutex);
    return g_slots.keys;
}

bool encrypt_report_text(const ChannelKeys& keys, const std::string& text, const std::string& associated,
                         std::string& encrypted, std::string& error) {
    encrypted.clear();
    error.clear();
    Bytes priv = from_hex(keys.own_priv);
    const Bytes peer = from_hex(keys.peer_pub);
    std::array<std::uint8_t, 32> x{};
    const bool agreed = shared_x(priv, peer, x);
    wipe(priv);
    if (!agreed) {
        wipe(x.data(), x.size());
        error = "the channel keys are not usable";
        return false;
    }
    Hash256 key = sha256(x.data(), x.size());
    wipe(x.data(), x.size());
    Bytes sealed(kNonceBytes + text.size() + kTagBytes);
    const bool ok =
        random_bytes(sealed.data(), kNonceBytes) &&
        aes_256_gcm_seal(key, sealed.data(), associated, reinterpret_cast<const std::uint8_t*>(text.data()),
                         text.size(), sealed.data() + kNonceBytes, sealed.data() + kNonceBytes + text.size());
    wipe(key.data(), key.size());
    if (!ok) {
        error = "could not encrypt the report";
        return false;
    }
    encrypted = base64_encode(sealed);
    return true;
}
