#include "chain/gorillapool.h"

#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

using nlohmann::json;

namespace {

constexpr std::size_t kCredentialMax = 200000;
constexpr std::size_t kHandleMax = 32;

// A text member: "" when absent or null; "" and `bad` set when it holds another JSON type.
std::string text_member(const json& obj, const char* key, bool& bad) {
    if (!obj.is_object()) return std::string();
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return std::string();
    if (!it->is_string()) {
        bad = true;
        return std::string();
    }
    return it->get<std::string>();
}

const json* object_member(const json& obj, const char* key) {
    if (!obj.is_object()) return nullptr;
    auto it = obj.find(key);
    return it != obj.end() && it->is_object() ? &*it : nullptr;
}

// The data values a reader looks at, in order: the txo's own "data", then its origin's.
std::array<const json*, 2> data_values(const json& txo) {
    std::array<const json*, 2> values{nullptr, nullptr};
    if (!txo.is_object()) return values;
    auto own = txo.find("data");
    if (own != txo.end()) values[0] = &*own;
    if (const json* origin = object_member(txo, "origin")) {
        auto data = origin->find("data");
        if (data != origin->end()) values[1] = &*data;
    }
    return values;
}

void note_malformed(bool bad, bool* malformed) {
    if (bad && malformed) *malformed = true;
}

// "vout" as an unsigned 32-bit index; absent or null is 0. False for a negative, fractional,
// too large or non-numeric value, which would name another output.
bool read_vout(const json& txo, std::uint32_t& vout) {
    vout = 0;
    auto it = txo.find("vout");
    if (it == txo.end() || it->is_null()) return true;
    const std::uint64_t max = std::numeric_limits<std::uint32_t>::max();
    if (it->is_number_unsigned()) {
        const std::uint64_t v = it->get<std::uint64_t>();
        if (v > max) return false;
        vout = static_cast<std::uint32_t>(v);
        return true;
    }
    if (it->is_number_integer()) {
        const std::int64_t v = it->get<std::int64_t>();
        if (v < 0 || static_cast<std::uint64_t>(v) > max) return false;
        vout = static_cast<std::uint32_t>(v);
        return true;
    }
    if (it->is_number_float()) {
        const double v = it->get<double>();
        if (!(v >= 0.0) || v > static_cast<double>(max) || std::floor(v) != v) return false;
        vout = static_cast<std::uint32_t>(v);
        return true;
    }
    return false;
}

bool has_object(const json& data, const char* key) {
    return object_member(data, key) != nullptr;
}

bool data_is_inscription(const json* data) {
    // The index gives plain outputs an empty MAP too; only MAP attributes tell of an inscription.
    const json* map = data ? object_member(*data, "map") : nullptr;
    return data && data->is_object() &&
           (has_object(*data, "insc") || (map && !map->empty()) || has_object(*data, "bsv20") ||
            has_object(*data, "bsv21"));
}

std::string data_content_type(const json* data, bool& bad) {
    if (!data) return std::string();
    const json* insc = object_member(*data, "insc");
    const json* file = insc ? object_member(*insc, "file") : nullptr;
    return file ? text_member(*file, "type", bad) : std::string();
}

// Fills an empty name from a MAP "name", trimmed and cut as display names are.
void fill_map_name(const json& map, std::string* name, bool& bad) {
    if (!name || !name->empty()) return;
    const std::string clipped = clip_inscription_name(text_member(map, "name", bad));
    if (!bad && !clipped.empty()) *name = clipped;
}

std::string data_art_kind(const json* data, std::string* name, bool& bad) {
    const json* map = data ? object_member(*data, "map") : nullptr;
    if (!map) return std::string();
    if (text_member(*map, "app", bad) != kMapAppName || bad) return std::string();
    fill_map_name(*map, name, bad);
    if (bad) return std::string();
    const std::string sealed = text_member(*map, "tag", bad);
    if (bad) return std::string();
    const std::string opened = open_art_tag(sealed);
    if (opened == "Artwork" || opened == "Certificate") return opened;
    // The sealed forms of the two words have these lengths; a tag that cannot be opened here
    // (another label) still tells its kind.
    if (sealed.size() == 70) return "Artwork";
    if (sealed.size() == 78) return "Certificate";
    const std::string type = data_content_type(data, bad);
    if (bad) return std::string();
    if (type.compare(0, 6, "image/") == 0) return "Artwork";
    if (type == "application/json") return "Certificate";
    return std::string();
}

bool data_map_name(const json* data, std::string* name, bool& bad) {
    const json* map = data ? object_member(*data, "map") : nullptr;
    if (!map) return false;
    if (text_member(*map, "app", bad) != "KestravaId" || bad) return false;
    fill_map_name(*map, name, bad);
    return !bad;
}

bool is_identity_credential(const json& doc, bool& bad) {
    return text_member(doc, "protocol", bad) == "KV-Identity" && !bad && text_member(doc, "type", bad) == "id_issue" &&
           !bad;
}

const json* data_credential(const json* data, bool& bad) {
    const json* insc = data ? object_member(*data, "insc") : nullptr;
    const json* doc = insc ? object_member(*insc, "json") : nullptr;
    return doc && is_identity_credential(*doc, bad) ? doc : nullptr;
}

} // namespace

std::string txo_outpoint(const json& txo, bool* malformed) {
    if (!txo.is_object()) return std::string();
    auto origin = txo.find("origin");
    if (origin == txo.end() || origin->is_null()) return std::string();
    if (origin->is_string()) return origin->get<std::string>();
    if (!origin->is_object()) return std::string();
    bool bad = false;
    std::string outpoint = text_member(*origin, "outpoint", bad);
    note_malformed(bad, malformed);
    return outpoint;
}

bool txo_is_inscription(const json& txo) {
    for (const json* data : data_values(txo)) {
        if (data_is_inscription(data)) return true;
    }
    return false;
}

std::string txo_content_type(const json& txo, bool* malformed) {
    for (const json* data : data_values(txo)) {
        bool bad = false;
        std::string type = data_content_type(data, bad);
        note_malformed(bad, malformed);
        if (bad) return std::string();
        if (!type.empty()) return type;
    }
    return std::string();
}

std::uint64_t txo_content_size(const json& txo) {
    for (const json* data : data_values(txo)) {
        const json* insc = data ? object_member(*data, "insc") : nullptr;
        const json* file = insc ? object_member(*insc, "file") : nullptr;
        if (!file) continue;
        const auto size = file->find("size");
        if (size != file->end() && size->is_number_unsigned()) return size->get<std::uint64_t>();
    }
    return 0;
}

std::string txo_art_kind(const json& txo, std::string* name, bool* malformed) {
    for (const json* data : data_values(txo)) {
        bool bad = false;
        std::string kind = data_art_kind(data, name, bad);
        note_malformed(bad, malformed);
        if (bad) return std::string();
        if (!kind.empty()) return kind;
    }
    return std::string();
}

bool txo_map_name(const json& txo, std::string* name, bool* malformed) {
    for (const json* data : data_values(txo)) {
        bool bad = false;
        const bool found = data_map_name(data, name, bad);
        note_malformed(bad, malformed);
        if (bad) return false;
        if (found) return true;
    }
    return false;
}

bool txo_json_protocol(const json& txo, json& credential, bool* malformed) {
    credential = nullptr;
    for (const json* data : data_values(txo)) {
        bool bad = false;
        const json* doc = data_credential(data, bad);
        note_malformed(bad, malformed);
        if (bad) return false;
        if (doc) {
            credential = *doc;
            return true;
        }
    }
    return false;
}

std::string id_kind_label(const std::string& kind) {
    static const std::array<std::pair<const char*, const char*>, 7> labels = {{
        {"id_age", "ID-age"},
        {"id_addr", "ID-addr"},
        {"id_photo", "ID-gov-photo"},
        {"id_bank", "ID-bank"},
        {"id_paypal", "ID-paypal"},
        {"id_code_sign", "code-signing-ID"},
        {"id_web_sign", "website-signing-ID"},
    }};
    for (const auto& row : labels) {
        if (kind == row.first) return row.second;
    }
    return std::string();
}

std::string credential_title(const json& credential) {
    const std::string label = id_kind_label(json_text(credential, "kind"));
    if (label.empty()) return std::string();
    const std::string subject = to_lower_copy(json_text(credential, "subject"));
    const std::string own_key = to_lower_copy(kv_wallet().identity_pub);
    if (subject.empty() || subject == own_key) return label;

    std::string handle = json_text(credential, "subject_handle");
    std::size_t begin = 0;
    std::size_t end = handle.size();
    while (begin < end && (handle[begin] == ' ' || handle[begin] == '\t'))
        ++begin;
    while (end > begin && (handle[end - 1] == ' ' || handle[end - 1] == '\t'))
        --end;
    handle = handle.substr(begin, end - begin);
    const std::size_t at = handle.find('@');
    if (at != std::string::npos) handle.resize(at);
    handle = utf8_cut(handle, kHandleMax);
    return handle.empty() ? label : label + " (" + handle + ")";
}

std::string credential_title_of_txo(const std::string& content) {
    if (content.empty() || content.size() > kCredentialMax || content[0] != '{') return std::string();
    try {
        const json doc = json_parse_or_discarded(content);
        bool bad = false;
        if (!doc.is_object() || !is_identity_credential(doc, bad)) return std::string();
        return credential_title(doc);
    } catch (...) {
        return std::string();
    }
}

bool gp_ord_outpoints_at_address(const std::string& address, std::unordered_set<std::string>& outpoints) {
    outpoints.clear();
    // The address becomes part of a URL path; anything but base58 text could reach another path.
    if (!is_ascii_alnum_text(address)) return false;
    const std::string base = service_settings().gorillapool_base;
    // The token list does not depend on the outputs list: it is asked beside it.
    std::string body, token_body;
    bool listed = false, tokens_listed = false;
    run_beside(
        [&] {
            std::string error;
            tokens_listed = http_get(base + "/bsv20/" + address + "/unspent", token_body, error, 12, false);
        },
        [&] {
            std::string error;
            listed = http_get(base + "/txos/address/" + address + "/unspent", body, error, 10, false);
        });
    if (!listed) return false;
    const json txos = json_parse_or_discarded(body);
    if (!txos.is_array()) return false;
    // An element that cannot be read may be an inscription: the list as a whole is then unknown,
    // so coin selection keeps every 1-sat coin of the address out of payments.
    for (const json& txo : txos) {
        if (!txo.is_object()) continue;
        bool bad = false;
        const std::string origin = txo_outpoint(txo, &bad);
        if (bad) return false;
        if (origin.empty() || !txo_is_inscription(txo)) continue;
        const std::string txid = text_member(txo, "txid", bad);
        if (bad) return false;
        if (!is_txid_hex(txid)) continue;
        std::uint32_t vout = 0;
        if (!read_vout(txo, vout)) return false;
        outpoints.insert(outpoint_key(txid, vout));
    }

    if (!tokens_listed) return true;
    const json tokens = json_parse_or_discarded(token_body);
    if (!tokens.is_array()) return true;
    for (const json& token : tokens) {
        if (!token.is_object()) continue;
        bool bad = false;
        const std::string spend = text_member(token, "spend", bad);
        if (bad) return true;
        if (!spend.empty()) continue;
        const std::string txid = text_member(token, "txid", bad);
        if (bad) return true;
        if (!is_txid_hex(txid)) continue;
        std::uint32_t vout = 0;
        if (!read_vout(token, vout)) return true;
        outpoints.insert(outpoint_key(txid, vout));
    }
    return true;
}
