#include "ordinals/token_discovery.h"

#include "chain/woc_client.h"
#include "ordinals/envelope.h"
#include "ordinals/woc_tokens.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <unordered_set>

using nlohmann::json;

namespace {

// The deploy outpoint of the program's own token.
const char* const kBuiltinTokenId = "5c1e0a7d93b24f68e0d7a35b19c84e2f6a0b3d5e7c91f4a2b8d60e3c7f159a04_0";
const char* const kBuiltinTokenName = "Tamberly Coin";

// The token an output belongs to: the id it names, else its own key when it deploys one.
std::string token_id_of(const TokenInscription& token, const std::string& key) {
    if (!token.id.empty()) return token.id;
    if (token.op == "deploy+mint" || token.op == "deploy") return key;
    return {};
}

// An ordinal key in its plain form only ("txid_n", or a bare txid for output 0). The reader of
// keys ignores what follows the index, but token ids come from inscriptions and end up in
// request paths and as cache file names, so nothing may follow it here.
bool read_plain_key(const std::string& key, std::string& txid, std::uint32_t& vout) {
    if (!parse_ord_outpoint(key, txid, vout)) return false;
    return key.size() == 64 || key == txid + "_" + std::to_string(vout);
}

const json* vout_array(const json& tx) {
    const auto it = tx.find("vout");
    return it != tx.end() && it->is_array() ? &*it : nullptr;
}

// Appends a record for the first wallet address the output pays; nothing when it pays none.
void append_when_ours(const std::string& key, const std::string& txid, std::uint32_t vout, const Hash160& owner,
                      const TokenInscription& token, const std::vector<std::string>& addresses,
                      std::vector<LocalOrd>& found) {
    for (const std::string& address : addresses) {
        Hash160 hash{};
        if (!address_to_hash160(address, hash) || hash != owner) continue;
        LocalOrd ord;
        ord.origin = key;
        ord.txid = txid;
        ord.vout = vout;
        ord.type = "application/bsv-20";
        ord.name = token.name;
        ord.icon = token.icon;
        ord.address = address;
        found.push_back(std::move(ord));
        return;
    }
}

// Pushes the spending transaction's token outputs that may carry the walk's token on.
void push_spender_outputs(const std::string& spender, const std::string& walk_id, std::vector<std::string>& stack) {
    json tx;
    if (!woc_tx_json(spender, tx)) return;
    const json* outs = vout_array(tx);
    if (outs == nullptr) return;
    for (std::size_t pos = 0; pos < outs->size(); ++pos) {
        const json& element = (*outs)[pos];
        std::uint32_t index = static_cast<std::uint32_t>(pos);
        if (element.is_object()) {
            const auto n = element.find("n");
            if (n != element.end() && n->is_number_integer()) json_as_u32(*n, index);
        }
        Hash160 owner{};
        TokenInscription token;
        std::string key;
        if (!inscription_from_woc_vout(element, spender, index, owner, token, key)) continue;
        const std::string id = token_id_of(token, key);
        if (!id.empty() && !walk_id.empty() && id != walk_id) continue;
        stack.push_back(key);
    }
}

} // namespace

void scan_tx_for_token_deploys(const std::string& start_key, const std::vector<std::string>& addresses,
                               std::vector<LocalOrd>& found, bool follow_token_id) {
    if (start_key.size() < kTokenIdMinLength || addresses.empty()) return;
    std::vector<std::string> stack{start_key};
    std::unordered_set<std::string> visited;
    std::string walk_id;
    for (std::size_t step = 0; step < kTokenWalkSteps && !stack.empty(); ++step) {
        const std::string key = stack.back();
        stack.pop_back();
        if (!visited.insert(key).second) continue;

        std::string txid;
        std::uint32_t vout = 0;
        json tx;
        if (!read_plain_key(key, txid, vout) || !woc_tx_json(txid, tx)) continue;
        const json* outs = vout_array(tx);
        if (outs == nullptr || vout >= outs->size()) continue;
        Hash160 owner{};
        TokenInscription token;
        std::string own_key;
        if (!inscription_from_woc_vout((*outs)[vout], txid, vout, owner, token, own_key)) continue;

        const std::string id = token_id_of(token, key);
        if (!id.empty()) {
            if (walk_id.empty()) walk_id = id;
            if (follow_token_id && id != key && !visited.count(id)) stack.push_back(id);
            if (id != walk_id) continue;
        }

        std::string spender;
        const int spent = woc_spent_by(txid, vout, spender);
        if (spent == 1) {
            append_when_ours(key, txid, vout, owner, token, addresses, found);
        } else if (spent == 0) {
            push_spender_outputs(spender, walk_id, stack);
        }
    }
}

void token_info_by_id(const std::string& token_id, std::string& name, std::string* icon) {
    if (token_id.size() < kTokenIdMinLength) return;
    const std::string fallback = known_token_name(token_id);
    if (name.empty() && !fallback.empty()) name = fallback;

    std::string txid;
    std::uint32_t vout = 0;
    if (!read_plain_key(token_id, txid, vout)) return;
    std::string body, error;
    if (!http_get(service_settings().gorillapool_base + "/bsv20/id/" + token_id, body, error, 20, false)) return;
    const json reply = json_parse_or_discarded(body);
    if (!reply.is_object()) return;

    // A member of the wrong type ends the reading, as an unreadable reply does.
    bool readable = true;
    auto member = [&reply, &readable](const char* field) {
        std::string text;
        if (readable && !json_optional_text(reply, field, text)) readable = false;
        return readable ? text : std::string();
    };
    if (name.empty()) {
        name = clip_ord_name(member("name"));
        if (name.empty() && readable) name = fallback;
        if (name.empty() && readable) name = clip_ord_name(member("sym"));
        if (name.empty() && readable) name = clip_ord_name(member("tick"));
        if (!readable) return;
    }
    // The built-in token never shows under its ticker.
    if (!fallback.empty() && (name.empty() || looks_like_tick(name))) name = fallback;
    if (icon != nullptr && icon->empty()) {
        const std::string reply_icon = member("icon");
        if (!reply_icon.empty()) *icon = reply_icon;
    }
}

std::string known_token_name(const std::string& token_id) {
    return token_id == kBuiltinTokenId ? kBuiltinTokenName : std::string();
}

bool looks_like_tick(const std::string& text) {
    return !text.empty() && text.size() <= 6 && is_ascii_alnum_text(text);
}
