#include "identity/typed_message.h"

#include "wallet/codecs.h"
#include "wallet/crypto.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

using json = nlohmann::json;

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The leading decimal integer of a text, as strtoll reads it but without its clamping: a text
// without digits or out of range gives 0, so a peer can never push a saturated value into a
// preimage.
std::int64_t parse_leading_int(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::uint64_t limit =
        negative ? std::uint64_t{1} << 63 : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) return 0;
        magnitude = magnitude * 10 + digit;
        any = true;
    }
    if (!any) return 0;
    // Negating in unsigned arithmetic keeps -2^63 representable.
    return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

// The leading decimal number of a text, leading white space allowed and trailing text ignored.
// Infinity, NaN and hexadecimal forms are not decimal numbers and give false.
bool parse_leading_double(const std::string& text, double& out) {
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    // from_chars refuses a leading "+", which strtod takes.
    if (i < text.size() && text[i] == '+') ++i;
    const std::size_t body = i + (i < text.size() && text[i] == '-' ? 1 : 0);
    if (body >= text.size()) return false;
    const char c = text[body];
    if (!(c >= '0' && c <= '9') && c != '.') return false;
    double value = 0;
    const char* first = text.data() + i;
    const auto result = std::from_chars(first, text.data() + text.size(), value, std::chars_format::general);
    if (result.ec != std::errc() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

std::string sha256_text_hex(const std::string& text) {
    const Hash256 digest = sha256(text);
    return to_hex(digest.data(), digest.size());
}

// Readers of the payload table: a string field as read, lower-cased, or an integer in decimal.
struct Fields {
    const TypedMessage& msg;
    std::string s(const char* key) const { return msg_field_str(msg, key); }
    std::string l(const char* key) const { return to_lower_copy(s(key)); }
    std::string i(const char* key) const { return std::to_string(msg_field_int(msg, key)); }
};

std::string join(std::initializer_list<std::string> parts) {
    std::string out;
    bool first = true;
    for (const std::string& part : parts) {
        if (!first) out += '|';
        out += part;
        first = false;
    }
    return out;
}

std::string payload_for(const std::string& type, const TypedMessage& msg) {
    const Fields f{msg};
    if (type == "admin_claim") return format_join_fee(msg);
    if (type == "channel_lock") return f.l("token");
    if (type == "message" || type == "thread_reply") return pmessage_digest(msg);
    if (type == "react") return join({f.l("root"), f.s("emoji")});
    if (type == "arcade_score") {
        std::string out = join({f.l("game"), f.i("score"), f.i("week"), f.l("entry"), f.s("pay_addr")});
        const std::string tape = f.l("tape_hash");
        if (!tape.empty()) out += "|" + tape;
        return out;
    }
    if (type == "art_pair") return join({f.l("pic"), f.l("cert"), f.l("sha256"), f.l("owner"), f.i("ts")});
    if (type == "art_owner") return join({f.l("pic"), f.l("cert"), f.l("owner"), f.l("prev"), f.i("ts")});
    if (type == "art_show")
        return join({f.l("spot"), f.l("pic"), f.l("cert"), f.l("sha256"), f.s("price"), f.i("exp"), f.l("pic_utxo"),
                     f.l("cert_utxo"), f.s("pay_addr"), f.i("ts")});
    if (type == "art_hide") return join({f.l("spot"), f.l("pic"), f.l("cert"), f.i("ts")});
    if (type == "art_gentry") return "visit|" + f.i("ts");
    if (type == "art_gask")
        return join(
            {f.l("spot"), f.l("pic"), f.l("cert"), f.i("price_sats"), f.s("buyer_ord"), f.l("buyer"), f.i("ts")});
    if (type == "art_gaccept")
        return join({f.l("spot"), f.l("pic"), f.l("cert"), f.l("buyer"), f.l("prev"), f.i("price_sats"),
                     f.l("title_sha"), f.i("ts")});
    if (type == "art_gfunded") return join({f.l("spot"), f.l("offer_sha"), f.i("ts")});
    if (type == "cofferly_manifest")
        return join({f.l("kind"), f.s("app"), f.l("sha256"), f.s("origin"), f.s("scopes")});
    if (type == "id_issue")
        return join(
            {f.l("kind"), f.l("subject"), f.l("subject_handle"), f.l("house"), f.l("issuer_name"), f.l("seal")});
    if (type == "id_revoke") return join({f.l("origin"), f.l("kind"), f.l("subject")});
    if (type == "np")
        return join(
            {f.s("kind"), f.s("id"), f.i("n"), f.s("codec"), f.s("mark"), f.i("secs"), sha256_text_hex(f.s("audio"))});
    if (type.compare(0, 3, "nt_") == 0)
        return join({f.s("id"), f.s("trade"), f.i("sats"), f.i("fiat"), f.s("ccy"), f.s("rail"), f.s("pay_addr"),
                     f.s("to_addr"), f.i("score"), f.s("side"), f.s("role"), f.i("expires"),
                     sha256_text_hex(f.s("blob"))});
    return f.l("enc_pub");
}

} // namespace

std::string msg_trim(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && is_c_space(text[first]))
        ++first;
    while (last > first && is_c_space(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

std::string msg_norm_handle(const std::string& text) {
    std::string out = msg_trim(text);
    if (!out.empty() && (out[0] == '@' || out[0] == '$')) out.erase(0, 1);
    return msg_trim(out);
}

std::string msg_field_str(const TypedMessage& msg, const char* key, const char* alt_key) {
    if (!msg.is_object()) return std::string();
    auto it = msg.find(key);
    if (it != msg.end() && it->is_string()) return it->get<std::string>();
    if (alt_key) {
        it = msg.find(alt_key);
        if (it != msg.end() && it->is_string()) return it->get<std::string>();
    }
    return std::string();
}

std::int64_t msg_field_int(const TypedMessage& msg, const char* key) {
    if (!msg.is_object()) return 0;
    auto it = msg.find(key);
    if (it == msg.end()) return 0;
    if (it->is_number_unsigned()) {
        // Above the signed range the value would wrap negative; it counts as out of range instead.
        const std::uint64_t v = it->get<std::uint64_t>();
        return v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ? 0
                                                                                        : static_cast<std::int64_t>(v);
    }
    if (it->is_number_integer()) return it->get<std::int64_t>();
    if (it->is_number_float()) {
        // Converting a double outside the 64-bit range is undefined, so such a value reads as 0.
        const double d = it->get<double>();
        if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return 0;
        return static_cast<std::int64_t>(d);
    }
    if (it->is_string()) return parse_leading_int(it->get_ref<const std::string&>());
    return 0;
}

std::string format_join_fee(const TypedMessage& msg) {
    if (!msg.is_object()) return std::string();
    auto it = msg.find("join_fee");
    if (it == msg.end()) return std::string();
    double fee = 0;
    if (it->is_number()) {
        fee = it->get<double>();
    } else if (!it->is_string() || !parse_leading_double(it->get_ref<const std::string&>(), fee)) {
        return std::string();
    }
    if (!(fee >= 0.00001)) fee = 0.00001;
    if (fee > 1.0) fee = 1.0;
    // to_chars ignores the locale, so a decimal comma can never reach the preimage.
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, fee, std::chars_format::fixed, 8);
    if (result.ec != std::errc()) return std::string();
    return std::string(buf, result.ptr);
}

std::string pmessage_digest(const TypedMessage& msg) {
    std::string body;
    char key[] = "pmessage0";
    for (char digit = '1'; digit <= '8'; ++digit) {
        key[8] = digit;
        body += msg_field_str(msg, key);
    }
    if (body.empty()) body = msg_field_str(msg, "pmessage");
    return sha256_text_hex(body);
}

std::string message_preimage(const std::string& type, const std::string& channel, const std::string& handle,
                             const std::string& actor, std::int64_t ts, const std::string& payload) {
    return "KV1|" + msg_trim(type) + "|" + to_lower_copy(msg_trim(channel)) + "|" +
           to_lower_copy(msg_norm_handle(handle)) + "|" + to_lower_copy(msg_norm_handle(actor)) + "|" +
           std::to_string(ts) + "|" + payload;
}

std::string web_gate_preimage(const std::string& type, const std::string& handle, const std::string& origin,
                              const std::string& path, const std::string& message, const std::string& nonce) {
    std::string bare = handle;
    if (!bare.empty() && bare[0] == '@') bare.erase(0, 1);
    return "KV1|" + type + "|" + to_lower_copy(bare) + "|" + origin + "|" + path + "|" + message + "|" + nonce;
}

std::string canonical_message_preimage(const TypedMessage& msg) {
    const std::string type = msg_field_str(msg, "type");
    if (type == "web_gate" || type == "n_button")
        return web_gate_preimage(type, msg_field_str(msg, "handle"), msg_field_str(msg, "origin"),
                                 msg_field_str(msg, "path"), msg_field_str(msg, "message"),
                                 msg_field_str(msg, "nonce"));
    const std::string payload = payload_for(type, msg);
    std::string channel = msg_field_str(msg, "channel");
    if (channel.empty()) channel = msg_field_str(msg, "location");
    return message_preimage(type, channel, msg_field_str(msg, "handle"), msg_field_str(msg, "actor"),
                            msg_field_int(msg, "ts"), payload);
}

bool preimage_fields_unambiguous(const TypedMessage& msg) {
    if (!msg.is_object()) return true;
    // Every "|" of the preimage must be a separator. Dropping the bars from every text of the message
    // leaves the separators alone, so any bar it removes from the preimage came from a field; digests
    // hide the bars of the fields they cover and so rightly keep the count.
    TypedMessage bare = msg;
    bool any_bar = false;
    for (auto& value : bare) {
        if (!value.is_string()) continue;
        std::string& text = value.get_ref<std::string&>();
        const std::size_t before = text.size();
        text.erase(std::remove(text.begin(), text.end(), '|'), text.end());
        any_bar = any_bar || text.size() != before;
    }
    if (!any_bar) return true;
    const std::string signed_text = canonical_message_preimage(msg);
    const std::string bare_text = canonical_message_preimage(bare);
    return std::count(signed_text.begin(), signed_text.end(), '|') ==
           std::count(bare_text.begin(), bare_text.end(), '|');
}
