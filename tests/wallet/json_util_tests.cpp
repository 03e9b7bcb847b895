#include "wallet/json_util.h"

#include "support/json_depth.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

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

TEST(JsonUtil, WholeNumbersAreTakenOnlyInRange) {
    struct Row {
        json value;
        bool ok;
        std::uint32_t out;
        bool whole; // a whole number from -1 to 2^63 - 1
    } rows[] = {
        {0, true, 0, true},
        {4294967295u, true, 4294967295u, true},
        {-1, false, 99, true},
        {-2, false, 99, false},
        {4294967296u, false, 99, true},
        {std::numeric_limits<std::uint64_t>::max(), false, 99, false}, // not -1
        {1.0, false, 99, false},
        {"5", false, 99, false},
        {true, false, 99, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value.dump());
        std::uint32_t out = 99;
        EXPECT_EQ(json_as_u32(row.value, out), row.ok);
        EXPECT_EQ(out, row.out);
        std::int64_t whole = 99;
        EXPECT_EQ(json_whole_number(row.value, -1, std::numeric_limits<std::int64_t>::max(), whole), row.whole);
        if (!row.whole) {
            EXPECT_EQ(whole, 99);
        }
    }
}

namespace {

std::string nested(std::size_t levels, const std::string& inner = "") {
    return std::string(levels, '[') + inner + std::string(levels, ']');
}

std::string repeated(const std::string& part, std::size_t times) {
    std::string text;
    text.reserve(part.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        text += part;
    return text;
}

} // namespace

TEST(JsonUtil, BoundedParseRefusesDeepNestingBeforeParsing) {
    const std::string deep_string = "\"" + std::string(100, '[') + "\"";
    struct Row {
        const char* what;
        std::string text;
        bool ok;
        const char* error;
    } rows[] = {
        {"64 levels", nested(64), true, ""},
        {"65 levels", nested(65), false, "error: JSON nested deeper than 64 levels"},
        {"objects count too", std::string(40, '[') + nested(24, R"({"a":{"b":1}})") + std::string(40, ']'), false,
         "error: JSON nested deeper than 64 levels"},
        {"brackets inside text do not count", nested(60, deep_string), true, ""},
        {"an escaped quote does not end the text", nested(60, R"("\"[[[[[[[[")"), true, ""},
        {"closing brackets free their levels", "[" + nested(63) + "," + nested(63) + "]", true, ""},
        {"75,000 levels of a hostile reply", R"({"txid":"ab","vout":)" + nested(75000) + "}", false,
         "error: JSON nested deeper than 64 levels"},
        {"not JSON", "{\"a\":", false, "error: not JSON"},
        {"20 MB of empty objects", "[" + repeated("{},", 6990000) + "{}]", false, "error: JSON holds too many values"},
        {"more numbers than any reply", "[" + repeated("0,", kJsonMaxValues) + "0]", false,
         "error: JSON holds too many values"},
        {"a long address history", "[" + repeated(R"({"tx_hash":"ab","height":800000},)", 20000) + "{}]", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        json out;
        std::string error;
        EXPECT_EQ(json_parse_bounded(row.text, out, error), row.ok);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(out.is_discarded(), !row.ok);
        EXPECT_EQ(json_parse_or_discarded(row.text).is_discarded(), !row.ok);
        if (row.ok) {
            EXPECT_EQ(out.dump(), json::parse(row.text).dump());
        }
    }
}

// Mutated replies and files, thousands of them from a fixed seed: the bounded parse never fails
// by a crash or a throw, takes exactly the JSON texts the library's own event parser finds within
// the bound, and what it takes copies and writes back without trouble.
TEST(JsonUtil, BoundedParseAgreesWithTheLibraryOnMutatedInput) {
    const std::vector<std::string> seeds = {
        R"({"txid":"ab12","vin":[{"txid":"cd","vout":0,"scriptSig":{"hex":"00"}}],"vout":[{"value":0.0001,"n":0,)"
        R"("scriptPubKey":{"hex":"76a9","addresses":["1abc"]}}],"blockheight":800000})",
        R"([{"txid":"ab","vout":1,"origin":{"outpoint":"ab_1","data":{"insc":{"file":{"type":"image/png"}}}}}])",
        R"({"names":{"alice":{"pubkey":"02ab","ordAddress":"1x"}},"wallets":[],"active":"w1"})",
        R"({"folders":[{"name":"Roses","certs":["a_0","b_0"],"arts":[]}],"app":"x","note":"say \"hi\" [ {"})",
        nested(63, "1"),
        nested(66, "1"),
    };
    const std::string alphabet = std::string("[]{}\",:\\ 0a") + '\0';
    std::mt19937 rng(20261207);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    int refused_deep = 0, accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string text = seeds[pick(seeds.size())];
        for (std::size_t edits = 1 + pick(4); edits > 0; --edits) {
            const std::size_t at = pick(text.size() + 1);
            switch (pick(5)) {
            case 0:
                text.insert(at, 1, alphabet[pick(alphabet.size())]);
                break;
            case 1:
                if (at < text.size()) text.erase(at, 1);
                break;
            case 2:
                text.insert(at, std::string(1 + pick(90), "[{"[pick(2)]));
                break;
            case 3:
                text = "[" + text + "]";
                break;
            default:
                if (at < text.size()) text[at] = alphabet[pick(alphabet.size())];
                break;
            }
        }
        SCOPED_TRACE(text.substr(0, 200));
        json out;
        std::string error;
        bool ok = false;
        ASSERT_NO_THROW(ok = json_parse_bounded(text, out, error));
        const int depth = json_sax_depth(text);
        const bool within = depth >= 0 && depth <= kJsonMaxDepth;
        ASSERT_EQ(ok, within) << "library depth " << depth << ", " << error;
        if (depth > kJsonMaxDepth) {
            EXPECT_EQ(error, "error: JSON nested deeper than 64 levels");
            ++refused_deep;
        }
        if (!ok) continue;
        ++accepted;
        const json copy = out;
        EXPECT_EQ(json::parse(copy.dump()), out);
    }
    // The mutations reach both sides of the bound, not only broken text.
    EXPECT_GT(refused_deep, 40);
    EXPECT_GT(accepted, 100);
}
