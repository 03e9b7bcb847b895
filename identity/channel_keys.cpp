#include "identity/channel_keys.h"

#include "wallet/crypto.h"

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
