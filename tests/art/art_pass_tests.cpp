#include "art/art_pass.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

TEST(OutpointText, HexDigitsLowerKeepsOnlyDigits) {
    EXPECT_EQ(hex_digits_lower(" AB cd\n0x1F-zz9 "), "abcd01f9");
    EXPECT_EQ(hex_digits_lower("ghij \xC3\xA9"), "");
}

TEST(OutpointText, ParseOutpointTable) {
    const std::string id(64, 'A');
    struct Row {
        std::string text;
        bool ok;
        std::uint32_t vout;
    } rows[] = {
        {id + "_0", true, 0},
        {id + "_17", true, 17},
        {id + "_", true, 0},   // no digits read as 0
        {id + "_3x", true, 3}, // reading stops at the first non-digit
        {id + "_2147483647", true, 2147483647u},
        {id + "_2147483648", false, 0}, // would not fit the signed index the services use
        {id + "_99999999999999999999", false, 0},
        {id + "_-1", false, 0},
        {id + ":0", false, 0},
        {id, false, 0},
        {"", false, 0},
        {std::string(63, 'a') + "_0", false, 0},
        {std::string(65, 'a') + "_0", false, 0},
        {std::string(63, 'a') + "g_0", false, 0},
        {"_" + id + "_0", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string txid = "stale";
        std::uint32_t vout = 99;
        EXPECT_EQ(parse_outpoint(row.text, txid, vout), row.ok);
        EXPECT_EQ(txid, row.ok ? id : "");
        EXPECT_EQ(vout, row.vout);
    }
}
