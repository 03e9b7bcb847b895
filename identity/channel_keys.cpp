#include "identity/channel_keys.h"

#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/curve.h"

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
    return priv.size() == 32 && curve_shared_x(priv.data(), peer.data(), peer.size(), x);
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
