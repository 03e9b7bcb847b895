#include "wallet/codecs.h"

#include <gtest/gtest.h>

TEST(Codecs, HexRoundTripAndRejects) {
    EXPECT_TRUE(from_hex("abc").empty());
    EXPECT_TRUE(from_hex("0g").empty());
    EXPECT_TRUE(from_hex("").empty());
    EXPECT_EQ(from_hex("0A0b"), (Bytes{0x0A, 0x0B}));
    Bytes b{0x00, 0xFF};
    EXPECT_EQ(to_hex(b), "00ff");
}

TEST(Codecs, Base58CheckVectors) {
    Hash160 zero{};
    Hash160 ones;
    ones.fill(0xFF);
    struct Row {
        Hash160 h;
        const char* addr;
    } rows[] = {{zero, "1111111111111111111114oLvT2"}, {ones, "1QLbz7JHiBTspS962RLKV8GndWFwi5j6Qr"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.addr);
        EXPECT_EQ(base58check_encode(row.h), row.addr);
        Hash160 back{};
        ASSERT_TRUE(address_to_hash160(row.addr, back));
        EXPECT_EQ(back, row.h);
    }
}

TEST(Codecs, AddressRejects) {
    Hash160 out{};
    out.fill(7);
    const Hash160 untouched = out;
    const char* bad[] = {
        "3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy", // version 5 (P2SH)
        "1111111111111111111114oLvT",         // 26 chars but wrong checksum/length
        "111111111111111111111111",           // 24 chars
        "1QLbz7JHiBTspS962RLKV8GndWFwi5j6Q0", // '0' not in the alphabet
        "1QLbz7JHiBTspS962RLKV8GndWFwi5j6Qs", // one character changed
    };
    for (const char* a : bad) {
        SCOPED_TRACE(a);
        EXPECT_FALSE(address_to_hash160(a, out));
        EXPECT_EQ(out, untouched);
    }
}

TEST(Codecs, CompactSizeBoundaries) {
    struct Row {
        std::uint64_t v;
        const char* hex;
    } rows[] = {{252, "fc"},
                {253, "fdfd00"},
                {65535, "fdffff"},
                {65536, "fe00000100"},
                {4294967295ULL, "feffffffff"},
                {4294967296ULL, "ff0000000001000000"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hex);
        Bytes out;
        append_varint(out, row.v);
        EXPECT_EQ(to_hex(out), row.hex);
    }
}

TEST(Codecs, PushDataBoundaries) {
    struct Row {
        std::size_t len;
        const char* prefix;
    } rows[] = {{0, "00"},       {75, "4b"},        {76, "4c4c"},         {255, "4cff"},
                {256, "4d0001"}, {65535, "4dffff"}, {65536, "4e00000100"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.len);
        Bytes data(row.len, 0x01);
        Bytes out;
        append_push_data(out, data.data(), data.size());
        std::string prefix = row.prefix;
        ASSERT_EQ(out.size(), prefix.size() / 2 + row.len);
        EXPECT_EQ(to_hex(out.data(), prefix.size() / 2), prefix);
    }
}

TEST(Codecs, P2pkhScriptAndLowerCase) {
    Hash160 h{};
    h.fill(0xAB);
    Bytes s = p2pkh_script(h);
    ASSERT_EQ(s.size(), 25u);
    EXPECT_EQ(to_hex(s.data(), 3), "76a914");
    EXPECT_EQ(to_hex(s.data() + 23, 2), "88ac");
    EXPECT_EQ(to_lower_copy("AbC\xC3\x89z"), "abc\xC3\x89z");

    Hash160 back{};
    ASSERT_TRUE(p2pkh_script_hash160(s, back));
    EXPECT_EQ(back, h);
    // One byte more, one less, or any opcode changed is some other lock.
    Bytes longer = s, shorter(s.begin(), s.end() - 1);
    longer.push_back(0x00);
    back.fill(7);
    for (const Bytes& other : {longer, shorter, Bytes{}}) {
        SCOPED_TRACE(other.size());
        EXPECT_FALSE(p2pkh_script_hash160(other, back));
    }
    for (std::size_t at : {0u, 1u, 2u, 23u, 24u}) {
        SCOPED_TRACE(at);
        Bytes changed = s;
        changed[at] ^= 1;
        EXPECT_FALSE(p2pkh_script_hash160(changed, back));
    }
    EXPECT_EQ(back[0], 7) << "untouched";
}
