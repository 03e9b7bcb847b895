#include "identity/sig_primitives.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kGCompressed = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798";
const std::string kGUncompressed = "0479be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"
                                   "483ada7726a3c4655da4fbfc0e1108a8fd17b448a68554199c47d08ffb10d4b8";

TEST(SigPrimitives, HexToBytes) {
    struct Row {
        const char* text;
        bool ok;
        const char* hex; // the bytes, re-encoded
    };
    const Row rows[] = {
        {"00ff", true, "00ff"}, {" \t0XAbCd\n", true, "abcd"},
        {"0x", true, ""},       {"", true, ""},
        {"abc", false, ""},     {"0g", false, ""},
        {"0x 1", false, ""},    {"+1", false, ""},
        {"a b ", false, ""},    {"00\xc3\xa9", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Bytes out{1, 2};
        EXPECT_EQ(msg_hex_to_bytes(row.text, out), row.ok);
        EXPECT_EQ(to_hex(out), row.hex);
    }
}

TEST(SigPrimitives, NormalizePubkey) {
    Bytes not_on_curve = from_hex(kGUncompressed);
    not_on_curve.back() ^= 1;
    Bytes hybrid = from_hex(kGUncompressed);
    hybrid[0] = 6;
    const Bytes odd_x = from_hex("03" + kGCompressed.substr(2));
    struct Row {
        const char* name;
        Bytes key;
        std::string expected;
    };
    const Row rows[] = {
        {"compressed stays", from_hex(kGCompressed), kGCompressed},
        {"compressed is not checked against the curve", odd_x, to_hex(odd_x)},
        {"uncompressed is compressed", from_hex(kGUncompressed), kGCompressed},
        {"uncompressed off the curve", not_on_curve, ""},
        {"hybrid prefix", hybrid, ""},
        {"33 bytes with prefix 04", from_hex("04" + kGCompressed.substr(2)), ""},
        {"32 bytes", from_hex(kGCompressed.substr(2)), ""},
        {"empty", Bytes(), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(normalize_pubkey(row.key), row.expected);
    }
}

} // namespace
