#include "ordinals/token_discovery.h"

#include <gtest/gtest.h>

TEST(TokenDiscovery, TickersBuiltInNameAndBase64Scripts) {
    struct Row {
        std::string text;
        bool tick;
    } rows[] = {
        {"", false},     {"A1", true},    {"ABCDEF", true},     {"ABCDEFG", false},
        {"AB-C", false}, {"Ab C", false}, {"\xC3\xA9t", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(looks_like_tick(row.text), row.tick) << row.text;

    const std::string builtin = "5c1e0a7d93b24f68e0d7a35b19c84e2f6a0b3d5e7c91f4a2b8d60e3c7f159a04_0";
    EXPECT_EQ(known_token_name(builtin), "Tamberly Coin");
    for (const std::string& other : {builtin.substr(0, 65), builtin + "0", std::string("5C") + builtin.substr(2)})
        EXPECT_EQ(known_token_name(other), "") << other;

    EXPECT_EQ(base64_decode(""), Bytes{});
    EXPECT_EQ(base64_decode("dqkU"), (Bytes{0x76, 0xA9, 0x14}));
    for (const char* bad : {"dq=U", "dqkU\n", "dq!U"})
        EXPECT_EQ(base64_decode(bad), Bytes{}) << bad;
}
