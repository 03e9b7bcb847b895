#include "ordinals/envelope.h"

#include "chain/inscription.h"
#include "wallet/json_util.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <vector>

namespace {

constexpr std::uint8_t kOpFalse = 0x00;
constexpr std::uint8_t kOpPushData1 = 0x4C;
constexpr std::uint8_t kOpPushData2 = 0x4D;
constexpr std::uint8_t kOpPushData4 = 0x4E;
constexpr std::uint8_t kOp1 = 0x51;
constexpr std::uint8_t kOp5 = 0x55;
constexpr std::uint8_t kOp16 = 0x60;
constexpr std::uint8_t kOpIf = 0x63;
constexpr std::uint8_t kOpEndIf = 0x68;
constexpr std::uint8_t kOpReturn = 0x6A;

constexpr std::size_t kP2pkhSize = 25;

// The hash160 of a P2PKH lock that starts at `at` and may be followed by more script.
bool p2pkh_lock_at(const Bytes& script, std::uint64_t at, Hash160& hash160) {
    if (at > script.size() || script.size() - at < kP2pkhSize) return false;
    const auto begin = script.begin() + static_cast<std::ptrdiff_t>(at);
    return p2pkh_script_hash160(Bytes(begin, begin + static_cast<std::ptrdiff_t>(kP2pkhSize)), hash160);
}

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a signed 32-bit decimal the way strtol does in the C locale (leading white space, a sign,
// digits up to the first other character), without depending on the width of long.
bool read_c_int32(const std::string& text, std::size_t at, std::int64_t& value) {
    while (at < text.size() && is_c_space(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    const std::int64_t limit = negative ? std::int64_t{2147483648} : std::int64_t{2147483647};
    std::int64_t magnitude = 0;
    bool any_digit = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        any_digit = true;
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > limit) return false;
    }
    if (!any_digit) return false;
    value = negative ? -magnitude : magnitude;
    return true;
}

bool is_hex_prefix(const std::string& key) {
    for (std::size_t i = 0; i < 64; ++i)
        if (!is_hex_digit(key[i])) return false;
    return true;
}

} // namespace

bool read_script_push(const Bytes& script, std::uint64_t& cursor, Bytes& out) {
    out.clear();
    const std::uint64_t size = script.size();
    if (cursor >= size) return false;
    const std::uint8_t op = script[static_cast<std::size_t>(cursor)];
    ++cursor;
    std::uint64_t len = 0;
    if (op < kOpPushData1) {
        len = op;
    } else if (op <= kOpPushData4) {
        const unsigned width = op == kOpPushData1 ? 1 : op == kOpPushData2 ? 2 : 4;
        if (size - cursor < width) return false;
        for (unsigned i = 0; i < width; ++i)
            len |= static_cast<std::uint64_t>(script[static_cast<std::size_t>(cursor + i)]) << (8 * i);
        cursor += width;
    } else {
        return false;
    }
    // Compared as a remainder so that a four-byte length near 2^32 cannot wrap the sum.
    if (len > size - cursor) return false;
    const auto from = script.begin() + static_cast<std::ptrdiff_t>(cursor);
    out.assign(from, from + static_cast<std::ptrdiff_t>(len));
    cursor += len;
    return true;
}

bool parse_ord_envelope(const Bytes& script, std::uint64_t& cursor, std::string& content_type, Bytes* body,
                        std::string* metadata) {
    content_type.clear();
    if (metadata) metadata->clear();
    const std::uint64_t size = script.size();
    if (cursor >= size || size - cursor < 6) return false;
    if (script[static_cast<std::size_t>(cursor)] != kOpFalse || script[static_cast<std::size_t>(cursor + 1)] != kOpIf)
        return false;
    cursor += 2;

    Bytes push;
    if (!read_script_push(script, cursor, push) || push.size() != 3 || std::memcmp(push.data(), "ord", 3) != 0)
        return false;

    Bytes content;
    std::string meta;
    while (cursor < size && script[static_cast<std::size_t>(cursor)] != kOpEndIf) {
        const std::uint8_t op = script[static_cast<std::size_t>(cursor)];
        if (op == kOpFalse) {
            ++cursor;
            if (!read_script_push(script, cursor, content)) return false;
        } else if (op >= kOp1 && op <= kOp16) {
            ++cursor;
            if (!read_script_push(script, cursor, push)) return false;
            if (op == kOp1) content_type.assign(push.begin(), push.end());
            if (op == kOp5) meta.assign(push.begin(), push.end());
        } else {
            return false;
        }
    }
    if (cursor >= size) return false;
    ++cursor;

    if (body) *body = std::move(content);
    if (metadata) *metadata = std::move(meta);
    return !content_type.empty();
}

bool read_locked_envelope(const Bytes& script, Hash160& lock_hash160, std::string& content_type, Bytes& body,
                          std::string* metadata) {
    content_type.clear();
    body.clear();
    if (metadata) metadata->clear();
    std::uint64_t cursor = 0;
    // A bare lock has no room for an envelope after it, so it is read envelope first and fails.
    if (script.size() > kP2pkhSize && p2pkh_lock_at(script, 0, lock_hash160)) {
        cursor = kP2pkhSize;
        return parse_ord_envelope(script, cursor, content_type, &body, metadata);
    }
    return parse_ord_envelope(script, cursor, content_type, &body, metadata) &&
           p2pkh_lock_at(script, cursor, lock_hash160);
}

std::string art_tag_from_script(const Bytes& script) {
    Hash160 lock{};
    std::uint64_t cursor = p2pkh_lock_at(script, 0, lock) ? kP2pkhSize : 0;
    std::string content_type;
    if (!parse_ord_envelope(script, cursor, content_type)) return std::string();
    if (cursor >= script.size() || script[static_cast<std::size_t>(cursor)] != kOpReturn) return std::string();
    ++cursor;

    std::vector<std::string> pushes;
    Bytes push;
    while (cursor < script.size() && read_script_push(script, cursor, push))
        pushes.emplace_back(push.begin(), push.end());
    if (pushes.size() < 4 || pushes[1] != "SET") return std::string();

    std::string app;
    std::string tag;
    for (std::size_t i = 2; i + 1 < pushes.size(); i += 2) {
        if (pushes[i] == "app") app = pushes[i + 1];
        if (pushes[i] == "tag") tag = pushes[i + 1];
    }
    return app == kMapAppName ? tag : std::string();
}

bool parse_ord_outpoint(const std::string& key, std::string& txid, std::uint32_t& vout) {
    txid.clear();
    vout = 0;
    if (key.size() == 64 && is_hex_prefix(key)) {
        txid = key;
        return true;
    }
    if (key.size() < 66 || key[64] != '_' || !is_hex_prefix(key)) return false;
    txid = key.substr(0, 64);
    std::int64_t index = 0;
    if (!read_c_int32(key, 65, index) || index < 0) return false;
    vout = static_cast<std::uint32_t>(index);
    return true;
}

std::string clip_ord_name(std::string name) {
    // The inscription writer trims the same way and cuts on a character boundary, so a name read
    // back never ends in half a character that the JSON writer would refuse.
    return clip_inscription_name(name);
}

std::string ord_name_from_json(const std::string& text) {
    if (text.empty()) return std::string();
    const nlohmann::json doc = json_parse_or_discarded(text);
    if (doc.is_object()) {
        auto it = doc.find("name");
        if (it == doc.end()) return std::string();
        if (it->is_string()) return clip_ord_name(it->get<std::string>());
    }
    if (text.size() > kOrdNameMax || text.find('\0') != std::string::npos) return std::string();
    return clip_ord_name(text);
}
