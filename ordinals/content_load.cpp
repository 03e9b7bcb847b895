#include "ordinals/content_load.h"

#include "chain/tx.h"
#include "ordinals/content_cache.h"
#include "ordinals/envelope.h"
#include "ordinals/token_records.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstring>
#include <limits>

using json = nlohmann::json;

namespace {

constexpr std::int32_t kWocTimeoutS = 25;
constexpr std::int32_t kGorillaPoolTimeoutS = 45;
// Replies this short cannot hold a transaction; they are error words.
constexpr std::size_t kMinTxReply = 20;

// Content is served at the GorillaPool host's root, beside the API that the settings name.
std::string gorillapool_host() {
    std::string base = service_settings().gorillapool_base;
    const std::string api = "/api";
    if (base.size() >= api.size() && base.compare(base.size() - api.size(), api.size(), api) == 0)
        base.resize(base.size() - api.size());
    return base;
}

// The key becomes part of a URL path; only the letters, digits and "_" of an ordinal key may, so
// no key can reach another path or carry a query.
bool is_url_safe_key(const std::string& key) {
    if (key.empty()) return false;
    for (char c : key)
        if (!is_ascii_alnum(c) && c != '_') return false;
    return true;
}

std::string sniff_content_type(const Bytes& b) {
    const std::size_t n = b.size();
    if (n >= 8 && b[0] == 0x89 && b[1] == 'P') return "image/png";
    if (n >= 3 && b[0] == 0xFF && b[1] == 0xD8) return "image/jpeg";
    if (n >= 4 && b[0] == 'R' && b[1] == 'I') return "image/webp";
    if (n >= 4 && b[0] == 'G' && b[1] == 'I') return "image/gif";
    if (n >= 5 && std::memcmp(b.data(), "%PDF", 4) == 0) return "application/pdf";
    return "application/octet-stream";
}

bool looks_like_json_error(const std::string& body) {
    return body.size() >= 7 && body[0] == '{' && body.find("\"error\"") != std::string::npos;
}

// Parses the output's script and, when it carries an inscription, stores it and hands it out.
bool take_script(const std::string& key, const Bytes& script, std::string& content_type, Bytes& content) {
    std::string type;
    Bytes body;
    std::string name;
    if (!parse_inscription_from_script(script, type, body, name)) return false;
    ord_cache_store(key, type, body, name, content_type, content);
    return true;
}

bool take_raw_output(const std::string& key, const Bytes& raw, std::uint32_t vout, std::string& content_type,
                     Bytes& content) {
    if (vout > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) return false;
    std::uint64_t value = 0;
    Bytes script;
    if (!raw_tx_output_at(raw, static_cast<std::int32_t>(vout), value, script)) return false;
    return take_script(key, script, content_type, content);
}

bool woc_get(const std::string& path, std::string& body) {
    std::string error;
    return http_get(service_settings().woc_base + path, body, error, kWocTimeoutS, false);
}

bool from_tx_json(const std::string& key, const std::string& txid, std::string& content_type, Bytes& content) {
    std::string body;
    if (!woc_get("/tx/" + txid, body)) return false;
    return content_from_tx_json(key, json_parse_or_discarded(body), content_type, content);
}

bool from_tx_hex(const std::string& key, const std::string& txid, std::uint32_t vout, std::string& content_type,
                 Bytes& content) {
    std::string body;
    if (!woc_get("/tx/" + txid + "/hex", body) || body.size() <= kMinTxReply) return false;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r' || body.back() == '"'))
        body.pop_back();
    std::size_t start = 0;
    while (start < body.size() && (body[start] == '"' || body[start] == ' '))
        ++start;
    return take_raw_output(key, from_hex(body.substr(start)), vout, content_type, content);
}

bool from_tx_raw(const std::string& key, const std::string& txid, std::uint32_t vout, std::string& content_type,
                 Bytes& content) {
    std::string body;
    if (!woc_get("/tx/" + txid + "/raw", body) || body.size() <= kMinTxReply) return false;
    std::size_t start = body[0] == '"' ? 1 : 0;
    std::size_t end = body.size();
    while (end > start &&
           (body[end - 1] == '\n' || body[end - 1] == '\r' || body[end - 1] == '"' || body[end - 1] == ' '))
        --end;
    bool all_hex = end - start > kMinTxReply;
    for (std::size_t i = start; all_hex && i < end; ++i)
        all_hex = is_hex_digit(body[i]);
    // The service may answer with the transaction's own bytes rather than their hex.
    const Bytes raw = all_hex ? from_hex(body.substr(start, end - start)) : Bytes(body.begin(), body.end());
    return take_raw_output(key, raw, vout, content_type, content);
}

} // namespace

bool content_from_tx_json(const std::string& key, const json& tx, std::string& content_type, Bytes& content) {
    content_type.clear();
    content.clear();
    std::string txid;
    std::uint32_t vout = 0;
    if (!tx.is_object() || !parse_ord_outpoint(key, txid, vout)) return false;
    const auto outs = tx.find("vout");
    if (outs == tx.end() || !outs->is_array() || vout >= outs->size()) return false;
    const json& out = (*outs)[vout];
    if (!out.is_object()) return false;
    const auto spk = out.find("scriptPubKey");
    if (spk == out.end()) return false;
    std::string hex = json_text(*spk, "hex");
    if (hex.empty() && spk->is_string()) hex = spk->get<std::string>();
    if (hex.empty()) return false;
    return take_script(key, from_hex(hex), content_type, content);
}

bool parse_inscription_from_script(const Bytes& script, std::string& content_type, Bytes& content, std::string& name) {
    content_type.clear();
    content.clear();
    name.clear();
    std::string type;
    Bytes body;
    std::string metadata;
    Hash160 owner{};
    if (!read_locked_envelope(script, owner, type, body, &metadata) || body.empty()) return false;
    name = ord_name_from_json(metadata);
    if (name.empty()) {
        TokenInscription token;
        if (parse_token_json(body, token)) name = token.name;
    }
    content_type = std::move(type);
    content = std::move(body);
    return true;
}

bool gorillapool_download_content(const std::string& key, std::string& content_type, Bytes& content) {
    content_type.clear();
    content.clear();
    if (!is_url_safe_key(key)) return false;
    // GorillaPool names inscriptions by outpoint; a bare transaction id stands for its output 0.
    const std::string id = key.size() == 64 ? key + "_0" : key;
    const std::string host = gorillapool_host();
    for (const char* path : {"/content/", "/api/files/inscriptions/"}) {
        std::string body;
        std::string error;
        if (!http_get(host + path + id, body, error, kGorillaPoolTimeoutS, false)) continue;
        if (body.empty() || looks_like_json_error(body)) continue;
        const Bytes bytes(body.begin(), body.end());
        ord_cache_store(key, sniff_content_type(bytes), bytes, std::string(), content_type, content);
        return true;
    }
    return false;
}

// The cache holds no wallet state: a key names immutable content, and every file is written aside
// and moved into place, so readers never see half a write. Its disk flushes therefore run without
// the wallet mutex, side by side, while other wallet operations go on.
void ord_cache_store(const std::string& key, const std::string& content_type, const Bytes& content,
                     const std::string& name, std::string& out_type, Bytes& out_content) {
    ord_cache_write_content(key, content_type, content);
    if (!name.empty()) ord_cache_write_name(key, name);
    out_type = content_type;
    out_content = content;
}

bool load_inscription_content(const std::string& key, std::string& content_type, Bytes& content, bool allow_network,
                              bool gorillapool_first) {
    content_type.clear();
    content.clear();
    std::string txid;
    std::uint32_t vout = 0;
    if (ord_cache_read_content(key, content_type, content)) return true;
    if (!allow_network || !parse_ord_outpoint(key, txid, vout)) return false;
    if (gorillapool_first && gorillapool_download_content(key, content_type, content)) return true;
    if (from_tx_json(key, txid, content_type, content)) return true;
    if (from_tx_hex(key, txid, vout, content_type, content)) return true;
    if (from_tx_raw(key, txid, vout, content_type, content)) return true;
    return gorillapool_download_content(key, content_type, content);
}
