#include "wallet/codecs.h"

#include "wallet/crypto.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

const char kBase58Alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int base58_index(char c) {
    const char* p = std::strchr(kBase58Alphabet, c);
    if (c == '\0' || p == nullptr) return -1;
    return static_cast<int>(p - kBase58Alphabet);
}

} // namespace

std::string to_hex(const std::uint8_t* data, std::size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.resize(len * 2);
    for (std::size_t i = 0; i < len; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0x0F];
    }
    return out;
}

bool is_hex_digit(char c) {
    return hex_value(c) >= 0;
}

Bytes from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) return {};
    Bytes out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(hex[2 * i]);
        int lo = hex_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return {};
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return out;
}

std::string base58check_encode(const Hash160& hash160) {
    Bytes raw;
    raw.reserve(25);
    raw.push_back(0x00);
    raw.insert(raw.end(), hash160.begin(), hash160.end());
    Hash256 check = sha256d(raw.data(), raw.size());
    raw.insert(raw.end(), check.begin(), check.begin() + 4);

    std::size_t zeros = 0;
    while (zeros < raw.size() && raw[zeros] == 0)
        ++zeros;

    // Repeated long division of the big-endian number by 58.
    std::string digits;
    Bytes number(raw.begin() + static_cast<std::ptrdiff_t>(zeros), raw.end());
    while (!number.empty() && !(number.size() == 1 && number[0] == 0)) {
        Bytes quotient;
        quotient.reserve(number.size());
        unsigned remainder = 0;
        for (std::uint8_t byte : number) {
            unsigned acc = (remainder << 8) | byte;
            unsigned q = acc / 58;
            remainder = acc % 58;
            if (!quotient.empty() || q != 0) quotient.push_back(static_cast<std::uint8_t>(q));
        }
        digits.push_back(kBase58Alphabet[remainder]);
        number.swap(quotient);
    }
    std::string out(zeros, '1');
    out.append(digits.rbegin(), digits.rend());
    return out;
}

bool address_to_hash160(const std::string& address, Hash160& out) {
    if (address.size() < 26 || address.size() > 35) return false;
    Bytes number{0};
    for (char c : address) {
        int idx = base58_index(c);
        if (idx < 0) return false;
        unsigned carry = static_cast<unsigned>(idx);
        for (auto it = number.rbegin(); it != number.rend(); ++it) {
            unsigned acc = static_cast<unsigned>(*it) * 58 + carry;
            *it = static_cast<std::uint8_t>(acc & 0xFF);
            carry = acc >> 8;
        }
        while (carry != 0) {
            number.insert(number.begin(), static_cast<std::uint8_t>(carry & 0xFF));
            carry >>= 8;
        }
    }
    std::size_t ones = 0;
    while (ones < address.size() && address[ones] == '1')
        ++ones;
    std::size_t skip = 0;
    while (skip < number.size() && number[skip] == 0)
        ++skip;

    Bytes decoded(ones, 0);
    decoded.insert(decoded.end(), number.begin() + static_cast<std::ptrdiff_t>(skip), number.end());
    if (decoded.size() != 25 || decoded[0] != 0x00) return false;
    Hash256 check = sha256d(decoded.data(), 21);
    if (std::memcmp(check.data(), decoded.data() + 21, 4) != 0) return false;
    std::memcpy(out.data(), decoded.data() + 1, 20);
    return true;
}

Bytes p2pkh_script(const Hash160& hash160) {
    Bytes s;
    s.reserve(25);
    s.push_back(0x76);
    s.push_back(0xA9);
    s.push_back(0x14);
    s.insert(s.end(), hash160.begin(), hash160.end());
    s.push_back(0x88);
    s.push_back(0xAC);
    return s;
}

bool p2pkh_script_hash160(const Bytes& script, Hash160& out) {
    if (script.size() != 25 || script[0] != 0x76 || script[1] != 0xA9 || script[2] != 0x14 || script[23] != 0x88 ||
        script[24] != 0xAC)
        return false;
    std::copy(script.begin() + 3, script.begin() + 23, out.begin());
    return true;
}

void append_u32_le(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void append_u64_le(Bytes& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void append_varint(Bytes& out, std::uint64_t v) {
    if (v < 253) {
        out.push_back(static_cast<std::uint8_t>(v));
    } else if (v <= 0xFFFF) {
        out.push_back(0xFD);
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    } else if (v <= 0xFFFFFFFFULL) {
        out.push_back(0xFE);
        append_u32_le(out, static_cast<std::uint32_t>(v));
    } else {
        out.push_back(0xFF);
        append_u64_le(out, v);
    }
}

void append_push_data(Bytes& out, const std::uint8_t* data, std::size_t len) {
    if (len < 76) {
        out.push_back(static_cast<std::uint8_t>(len));
    } else if (len < 256) {
        out.push_back(0x4C);
        out.push_back(static_cast<std::uint8_t>(len));
    } else if (len <= 0xFFFF) {
        out.push_back(0x4D);
        out.push_back(static_cast<std::uint8_t>(len));
        out.push_back(static_cast<std::uint8_t>(len >> 8));
    } else {
        out.push_back(0x4E);
        append_u32_le(out, static_cast<std::uint32_t>(len));
    }
    if (len != 0) out.insert(out.end(), data, data + len);
}

std::string to_lower_copy(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}
