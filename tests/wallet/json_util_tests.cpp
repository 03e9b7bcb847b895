#include "wallet/json_util.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

TEST(JsonUtil, MembersOfUnexpectedTypesReadAsNothing) {
    const json doc = {{"name", "Rose"}, {"count", 3}, {"none", nullptr}};
    EXPECT_EQ(json_text(doc, "name"), "Rose");
    for (const char* key : {"count", "none", "missing"}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(json_text(doc, key), "");
    }
    EXPECT_EQ(json_text(json::array({"name"}), "name"), "");
    EXPECT_EQ(json_text(json("name"), "name"), "");

    std::string out = "kept";
    EXPECT_TRUE(json_optional_text(doc, "missing", out));
    EXPECT_EQ(out, "kept");
    EXPECT_FALSE(json_optional_text(doc, "count", out));
    EXPECT_FALSE(json_optional_text(doc, "none", out));
    EXPECT_EQ(out, "kept");
    EXPECT_TRUE(json_optional_text(doc, "name", out));
    EXPECT_EQ(out, "Rose");
}

TEST(JsonUtil, U32TakesOnlyWholeNumbersInRange) {
    struct Row {
        json value;
        bool ok;
        std::uint32_t out;
    } rows[] = {
        {0, true, 0},      {4294967295u, true, 4294967295u},
        {-1, false, 99},   {4294967296u, false, 99},
        {1.0, false, 99},  {"5", false, 99},
        {true, false, 99},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value.dump());
        std::uint32_t out = 99;
        EXPECT_EQ(json_as_u32(row.value, out), row.ok);
        EXPECT_EQ(out, row.out);
    }
}
