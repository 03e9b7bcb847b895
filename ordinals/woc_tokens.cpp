#include "ordinals/woc_tokens.h"

#include "chain/outpoints.h"
#include "ordinals/content_cache.h"
#include "ordinals/envelope.h"
#include "wallet/json_util.h"

namespace {

constexpr std::size_t kP2pkhSize = 25;

// The hash160 of a P2PKH lock that starts at `pos` and may be followed by more script.
bool p2pkh_lock_at(const Bytes& script, std::size_t pos, Hash160& hash160) {
    if (pos > script.size() || script.size() - pos < kP2pkhSize) return false;
    const Bytes lock(script.begin() + static_cast<std::ptrdiff_t>(pos),
                     script.begin() + static_cast<std::ptrdiff_t>(pos + kP2pkhSize));
    return p2pkh_script_hash160(lock, hash160);
}

} // namespace

bool inscription_from_woc_vout(const nlohmann::json& vout_json, const std::string& txid, std::uint32_t vout,
                               Hash160& hash160, TokenInscription& token, std::string& key) {
    key.clear();
    token = TokenInscription{};
    hash160.fill(0);
    // The txid becomes a file name in the content cache, so only a real one is taken.
    if (!is_txid_hex(txid) || !vout_json.is_object()) return false;
    const auto spk = vout_json.find("scriptPubKey");
    if (spk == vout_json.end() || !spk->is_object()) return false;
    const Bytes script = from_hex(json_text(*spk, "hex"));
    if (script.empty()) return false;

    std::string content_type;
    Bytes body;
    // A bare 25-byte lock cannot carry an envelope after it; such a script is read envelope first
    // and fails there.
    if (script.size() > kP2pkhSize && p2pkh_lock_at(script, 0, hash160)) {
        std::uint64_t cursor = kP2pkhSize;
        if (!parse_ord_envelope(script, cursor, content_type, &body)) return false;
    } else {
        std::uint64_t cursor = 0;
        if (!parse_ord_envelope(script, cursor, content_type, &body)) return false;
        if (!p2pkh_lock_at(script, static_cast<std::size_t>(cursor), hash160)) return false;
    }
    if (!parse_token_json(body, token)) return false;
    key = txid + "_" + std::to_string(vout);
    if (!body.empty()) ord_cache_write_content(key, content_type, body);
    return true;
}
