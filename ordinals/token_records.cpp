#include "ordinals/token_records.h"

#include "chain/outpoints.h"
#include "ordinals/content_load.h"
#include "ordinals/envelope.h"
#include "ordinals/ord_inbox.h"
#include "wallet/json_util.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_set>

using nlohmann::json;

namespace {

// Locale-free on purpose: std::isdigit is undefined for the negative chars of UTF-8 bytes.
bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

// A text member as written, an integer member in decimal; "" for anything else.
std::string member_number_text(const json& value, const char* member, bool negative_allowed) {
    if (!value.is_object()) return std::string();
    auto it = value.find(member);
    if (it == value.end()) return std::string();
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_unsigned()) return std::to_string(it->get<std::uint64_t>());
    if (it->is_number_integer()) {
        const std::int64_t v = it->get<std::int64_t>();
        if (v >= 0 || negative_allowed) return std::to_string(v);
    }
    return std::string();
}

} // namespace

std::string json_token_amt(const json& value) {
    return member_number_text(value, "amt", false);
}

std::string json_token_dec(const json& value) {
    return member_number_text(value, "dec", true);
}

bool parse_token_json(const Bytes& content, TokenInscription& out) {
    out = TokenInscription{};
    if (content.empty()) return false;
    const json doc = json_parse_or_discarded(std::string(content.begin(), content.end()));
    if (!doc.is_object()) return false;

    std::string protocol;
    if (!json_optional_text(doc, "p", protocol) || protocol != "bsv-20") return false;

    if (!json_optional_text(doc, "op", out.op)) return false;
    // The amount is kept in normal form: a text such as "12abc" or "-5" is no amount at all, so
    // it can neither count as a holding nor be summed into one later.
    out.amt = normalize_token_amount(json_token_amt(doc));
    if (!json_optional_text(doc, "sym", out.sym)) return false;
    out.dec = json_token_dec(doc);
    if (!json_optional_text(doc, "icon", out.icon)) return false;
    std::string name;
    if (!json_optional_text(doc, "name", name)) return false;
    out.name = clip_ord_name(name);
    if (!json_optional_text(doc, "id", out.id)) return false;
    return !out.amt.empty();
}

std::string normalize_token_amount(std::string amount) {
    const std::size_t first = amount.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const std::size_t last = amount.find_last_not_of(" \t");
    amount = amount.substr(first, last - first + 1);
    for (char c : amount) {
        if (!is_decimal_digit(c)) return std::string();
    }
    const std::size_t nonzero = amount.find_first_not_of('0');
    if (nonzero == std::string::npos) return "0";
    return amount.substr(nonzero);
}

std::string add_decimal_strings(const std::string& a, const std::string& b) {
    std::string x = normalize_token_amount(a);
    std::string y = normalize_token_amount(b);
    if (x.empty()) x = "0";
    if (y.empty()) y = "0";
    if (y.size() > x.size()) x.swap(y);

    // Digit by digit, so amounts wider than any integer type add without loss.
    std::string sum(x.size() + 1, '0');
    int carry = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        int digit = x[x.size() - 1 - i] - '0' + carry;
        if (i < y.size()) digit += y[y.size() - 1 - i] - '0';
        sum[sum.size() - 1 - i] = static_cast<char>('0' + digit % 10);
        carry = digit / 10;
    }
    sum[0] = static_cast<char>('0' + carry);
    return normalize_token_amount(sum);
}

LocalOrd* find_local_ord(const std::string& key) {
    for (LocalOrd& ord : kv_wallet().ord_owned) {
        if (ord.origin == key) return &ord;
    }
    return nullptr;
}

bool add_local_ord(const LocalOrd& ord) {
    if (ord.origin.empty() || find_local_ord(ord.origin) != nullptr) return false;
    kv_wallet().ord_owned.push_back(ord);
    return true;
}

bool ord_keys_match(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::string txid_a;
    std::string txid_b;
    std::uint32_t vout_a = 0;
    std::uint32_t vout_b = 0;
    if (!parse_ord_outpoint(a, txid_a, vout_a) || !parse_ord_outpoint(b, txid_b, vout_b)) return false;
    return outpoint_equal(txid_a, vout_a, txid_b, vout_b);
}

std::string ord_match_key(const std::string& key) {
    std::string txid;
    std::uint32_t vout = 0;
    if (!parse_ord_outpoint(key, txid, vout)) return "=" + key;
    // A txid matches its byte-reversed form too: the smaller of the two stands for both.
    txid = to_lower_copy(txid);
    const std::string reversed = reverse_txid_hex(txid);
    if (!reversed.empty() && reversed < txid) txid = reversed;
    return txid + "_" + std::to_string(vout);
}

const KvCofferlyOrdRow* find_row_by_key(const std::vector<KvCofferlyOrdRow>& rows, const std::string& key) {
    for (const KvCofferlyOrdRow& row : rows) {
        if (ord_keys_match(row.key, key)) return &row;
    }
    return nullptr;
}

std::string local_ord_token_id(const LocalOrd& ord) {
    std::string content_type;
    Bytes content;
    if (!load_inscription_content(ord.origin, content_type, content, false, false)) return ord.origin;
    TokenInscription token;
    if (!parse_token_json(content, token) || token.id.empty()) return ord.origin;
    return token.id;
}

bool local_ord_all_hidden(const std::string& key) {
    if (key.empty()) return false;
    bool referred = false;
    for (const LocalOrd& ord : kv_wallet().ord_owned) {
        if (ord.origin != key && local_ord_token_id(ord) != key) continue;
        if (!ord.hidden) return false;
        referred = true;
    }
    return referred;
}

namespace {

// A record the listing made for an output it knew nothing about: never inscribed here and still
// without any detail.
bool is_placeholder(const LocalOrd& ord) {
    return !ord.created && ord.type.empty() && ord.name.empty() && ord.icon.empty() && ord.amt.empty() &&
           ord.token_id.empty();
}

} // namespace

bool drop_plain_output_records(const std::string& key, const std::string& txid, std::uint32_t vout, bool multi_sat) {
    std::vector<LocalOrd>& owned = kv_wallet().ord_owned;
    if (multi_sat) {
        if (!is_txid_hex(txid)) return false;
        const std::string own = txid + "_" + std::to_string(vout);
        const auto gone = std::remove_if(owned.begin(), owned.end(), [&](const LocalOrd& ord) {
            return outpoint_equal(ord.txid, ord.vout, txid, vout) || ord_keys_match(ord.origin, own);
        });
        const bool changed = gone != owned.end();
        owned.erase(gone, owned.end());
        return changed;
    }
    for (auto it = owned.begin(); it != owned.end(); ++it) {
        const bool same =
            ord_keys_match(it->origin, key) || (is_txid_hex(txid) && outpoint_equal(it->txid, it->vout, txid, vout));
        if (!same) continue;
        if (!is_placeholder(*it)) return false;
        owned.erase(it);
        return true;
    }
    return false;
}

bool show_returned_coin(LocalOrd& local, const std::string& txid, std::uint32_t vout, const std::string& address) {
    if (!local.hidden || !is_txid_hex(txid) || outpoint_equal(local.txid, local.vout, txid, vout) ||
        is_outpoint_spent(txid, vout))
        return false;
    local.hidden = false;
    local.txid = txid;
    local.vout = vout;
    local.address = address;
    return true;
}

bool drop_unlisted_placeholders(const std::vector<std::string>& reached,
                                const std::unordered_set<std::string>& listed) {
    const std::unordered_set<std::string> asked(reached.begin(), reached.end());
    std::vector<LocalOrd>& owned = kv_wallet().ord_owned;
    const auto gone = std::remove_if(owned.begin(), owned.end(), [&](const LocalOrd& ord) {
        return is_placeholder(ord) && asked.count(ord.address) && is_txid_hex(ord.txid) &&
               !listed.count(outpoint_key(ord.txid, ord.vout)) && !ord_inbox_recent(ord.origin);
    });
    const bool changed = gone != owned.end();
    owned.erase(gone, owned.end());
    return changed;
}
