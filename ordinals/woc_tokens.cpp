#include "ordinals/woc_tokens.h"

#include "chain/outpoints.h"
#include "ordinals/content_cache.h"
#include "ordinals/envelope.h"
#include "wallet/json_util.h"

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
    if (!read_locked_envelope(script, hash160, content_type, body) || !parse_token_json(body, token)) return false;
    key = txid + "_" + std::to_string(vout);
    if (!body.empty()) ord_cache_write_content(key, content_type, body);
    return true;
}
