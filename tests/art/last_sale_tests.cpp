#include "art/last_sale.h"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(LastSaleTest, PriceOfARecord) {
    struct Row {
        const char* name;
        json msg;
        std::int64_t sats;
    } rows[] = {
        {"integer", {{"price_sats", 2500}}, 2500},
        {"decimal text", {{"price_sats", "2500"}}, 2500},
        {"text with blanks, sign and tail", {{"price_sats", "  +2500 sats"}}, 2500},
        {"negative text", {{"price_sats", "-7"}}, -7},
        {"float truncated", {{"price_sats", 2500.9}}, 2500},
        {"negative float truncated", {{"price_sats", -2.9}}, -2},
        {"text without digits", {{"price_sats", "sats"}}, 0},
        {"text past 64 bits", {{"price_sats", "9223372036854775808"}}, 0},
        {"unsigned past 64 bits", {{"price_sats", 18446744073709551615ull}}, 0},
        {"float past 64 bits", {{"price_sats", 1e300}}, 0},
        {"boolean", {{"price_sats", true}}, 0},
        {"array", {{"price_sats", json::array({1})}}, 0},
        {"null", {{"price_sats", nullptr}}, 0},
        {"absent", {{"price", 5}}, 0},
        {"not an object", json::array({1, 2}), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(json_price_sats(row.msg), row.sats);
    }
}
