#include "art/art_records.h"

#include "wallet/codecs.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kRecordText = R"({"protocol":"KV-Art","type":"art_pair"})";

std::string hex_of(const std::string& text) {
    return to_hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// OP_FALSE OP_RETURN and one push of the text, in the push form the opcode bytes name.
std::string carrier_hex(const std::string& text, const std::string& push_opcode_hex) {
    return "006a" + push_opcode_hex + hex_of(text);
}

// The same with a direct push (texts below 76 bytes).
std::string carrier_hex(const std::string& text) {
    return carrier_hex(text, to_hex(Bytes{static_cast<std::uint8_t>(text.size())}));
}

json output(const json& script_pub_key, const json& value = 0.00000001) {
    return {{"value", value}, {"scriptPubKey", script_pub_key}};
}

json tx_of(const json& outputs) {
    return {{"vout", outputs}};
}

} // namespace

TEST(ArtRecords, CarrierPayloadOfEachPushForm) {
    const std::string big(300, 'x');
    const std::string pushdata2 = "6a4d2c01" + hex_of(big);
    const std::string pushdata4 = "6a4e03000000" + hex_of("abc");
    struct Row {
        const char* name;
        std::string script;
        std::string want; // "" = no payload
    } rows[] = {
        {"op_false op_return direct", carrier_hex(kRecordText), kRecordText},
        {"plain op_return", carrier_hex(kRecordText).substr(2), kRecordText},
        {"upper-case hex", "6A024A4B", "JK"},
        {"pushdata1", carrier_hex("abc", "4c03"), "abc"},
        {"pushdata2 of 300 bytes", pushdata2, big},
        {"pushdata4", pushdata4, "abc"},
        {"bytes after the push ignored", "6a03" + hex_of("abc") + "6a01ff", "abc"},
        {"two op_false", "00006a03" + hex_of("abc"), ""},
        {"empty push", "6a00", ""},
        {"op_return alone", "6a", ""},
        {"other opcode", "6a51", ""},
        {"no op_return", "76a914", ""},
        {"pushdata2 one byte short", pushdata2.substr(0, pushdata2.size() - 2), ""},
        {"pushdata1 without its length", "6a4c", ""},
        {"pushdata2 with one length byte", "6a4d01", ""},
        {"pushdata4 near 2^32", "6a4effffffff" + hex_of("abc"), ""},
        {"direct push past the end", "6a05" + hex_of("abc"), ""},
        {"odd length", "6a03616263f", ""},
        {"shorter than 4", "6a", ""},
        {"not hex", "6a03zz6263", ""},
        {"empty", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes out{1, 2};
        EXPECT_EQ(op_return_first_push(row.script, out), !row.want.empty());
        EXPECT_EQ(std::string(out.begin(), out.end()), row.want);
    }
}

TEST(ArtRecords, FirstRecordOfATransaction) {
    const json record = json::parse(kRecordText);
    const json carrier = {{"hex", carrier_hex(kRecordText)}};
    const json array_push = {{"hex", carrier_hex("[1,2]")}};
    const json lower_protocol = {{"hex", carrier_hex(R"({"protocol":"kv-art"})")}};
    const json not_json = {{"hex", carrier_hex("{x")}};
    struct Row {
        const char* name;
        json tx;
        bool found;
    } rows[] = {
        {"record after skipped outputs",
         tx_of({1, output("text"), output(array_push), output(lower_protocol), output(not_json), output(carrier)}),
         true},
        {"hex not text", tx_of({output({{"hex", 5}})}), false},
        {"vout not an array", {{"vout", {{"0", output(carrier)}}}}, false},
        {"no vout", json::object(), false},
        {"not an object", json::array({output(carrier)}), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        json out = json::object();
        EXPECT_EQ(find_art_message_in_tx(row.tx, out), row.found);
        if (row.found) {
            EXPECT_EQ(out, record);
        }
    }
}

TEST(ArtRecords, OutputAddressAndValue) {
    struct Row {
        const char* name;
        json vout;
        std::string address;
        std::int64_t sats;
    } rows[] = {
        {"addresses list first",
         {{"valueSat", 5}, {"scriptPubKey", {{"addresses", {"1A", "1B"}}, {"address", "1C"}}}},
         "1A",
         5},
        {"address when the list is empty",
         {{"scriptPubKey", {{"addresses", json::array()}, {"address", "1C"}}}},
         "1C",
         0},
        {"address when the first is not text", {{"scriptPubKey", {{"addresses", {7}}, {"address", "1C"}}}}, "1C", 0},
        {"addresses that is not a list", {{"scriptPubKey", {{"addresses", "1A"}, {"address", "1C"}}}}, "", 0},
        {"address not text", {{"scriptPubKey", {{"address", 1}}}, {"value", "1"}}, "", 0},
        {"scriptPubKey not an object", {{"scriptPubKey", "1A"}, {"value", 0.00000001}}, "", 1},
        {"value rounds 4 tenths of a sat down", {{"value", 0.000000004}}, "", 0},
        {"value of one bsv", {{"value", 1}}, "", 100000000},
        {"valueSat before value", {{"valueSat", 2}, {"value", 1}}, "", 2},
        {"valueSat as a fraction", {{"valueSat", 2.9}}, "", 2},
        {"valueSat beyond 64 bits", {{"valueSat", 18446744073709551615ULL}}, "", 0},
        {"value beyond 64 bits", {{"value", 1e300}}, "", 0},
        {"not an object", json::array(), "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(vout_address(row.vout), row.address);
        EXPECT_EQ(vout_value_sats(row.vout), row.sats);
    }
}

TEST(ArtRecords, WatchPaymentTest) {
    const std::string watch = kPairWatchAddress;
    const json to_watch = output({{"addresses", {watch}}});
    const json to_other = output({{"addresses", {kTitleWatchAddress}}});
    const json bare = output({{"hex", "6a"}});
    struct Row {
        const char* name;
        json tx;
        std::string address;
        bool pays;
    } rows[] = {
        {"one sat to the watch", tx_of({to_other, to_watch}), watch, true},
        {"zero sats to the watch", tx_of({output({{"addresses", {watch}}}, 0)}), watch, false},
        {"4 tenths of a sat to the watch", tx_of({output({{"address", watch}}, 0.000000004)}), watch, false},
        {"only another address", tx_of({to_other, bare}), watch, false},
        {"address compared by case", tx_of({to_watch}), to_lower_copy(watch), false},
        {"no output names an address", tx_of({bare, bare}), watch, true},
        {"no outputs at all", tx_of(json::array()), watch, true},
        {"empty watch address", tx_of({bare}), "", false},
        {"no vout", json::object(), watch, false},
        {"vout not an array", {{"vout", "x"}}, watch, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(tx_pays_address(row.tx, row.address), row.pays);
    }
}

TEST(ArtRecords, RecordTime) {
    struct Row {
        const char* name;
        json msg;
        std::int64_t ts;
    } rows[] = {
        {"integer", {{"ts", 1700000000}}, 1700000000},
        {"fraction truncated", {{"ts", 1700000000.9}}, 1700000000},
        {"decimal text", {{"ts", "1700000000"}}, 1700000000},
        {"text with leading blanks", {{"ts", "  42"}}, 42},
        {"letters", {{"ts", "abc"}}, 0},
        {"text beyond 64 bits", {{"ts", "99999999999999999999"}}, 0},
        {"float beyond 64 bits", {{"ts", 1e30}}, 0},
        {"boolean", {{"ts", true}}, 0},
        {"missing", json::object(), 0},
        {"not an object", json::array({1}), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(json_ts(row.msg), row.ts);
    }
}

TEST(ArtRecords, SmallTextHelpers) {
    EXPECT_EQ(art_trim_copy(" \t\nab c\r\n"), "ab c");
    const std::string id(64, 'A');
    const std::string lower(64, 'a');
    EXPECT_EQ(norm_txid(" " + id + "_0 "), lower);
    EXPECT_EQ(norm_txid(id + "x0"), lower + "x0");
    EXPECT_EQ(norm_txid(id), lower);

    EXPECT_EQ(json_identity_pubkey({{"pubkey", "02AB"}, {"publicKey", "03cd"}}), "02ab");
    EXPECT_EQ(json_identity_pubkey({{"pubkey", ""}, {"publicKey", "03CD"}}), "03cd");
    EXPECT_EQ(json_identity_pubkey({{"pubkey", 5}, {"publicKey", "03cd"}}), "03cd");
    EXPECT_EQ(json_identity_pubkey(json::array()), "");

    // FIPS 180-2 "abc".
    EXPECT_EQ(sha256_hex(std::string("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex(Bytes{'a', 'b', 'c'}), sha256_hex(std::string("abc")));

    Hash160 hash{};
    EXPECT_TRUE(address_to_hash160(kPairWatchAddress, hash));
    EXPECT_TRUE(address_to_hash160(kTitleWatchAddress, hash));
}

TEST(ArtRecords, WatchListingReplies) {
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c'), d(64, 'd');
    struct Row {
        const char* name;
        json reply;
        std::vector<std::string> want;
    } rows[] = {
        {"bare array of texts and objects",
         json::array(
             {std::string(64, 'A'), {{"tx_hash", b}, {"txid", c}}, {{"txid", c}}, {{"tx_hash", 5}, {"txid", d}}}),
         {a, b, c, d}},
        {"result before txids", {{"txids", {b}}, {"result", {a}}}, {a}},
        {"txids when result is not a list", {{"result", "x"}, {"txids", {b}}}, {b}},
        {"history", {{"history", {{{"tx_hash", c}}}}}, {c}},
        {"duplicates and wrong lengths dropped", json::array({a, a, a + "0", a.substr(1), 7, nullptr}), {a}},
        {"no list", {{"error", "x"}}, {}},
        {"not a container", "x", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> list;
        parse_watch_txids(row.reply, list);
        EXPECT_EQ(list, row.want);
    }
}

TEST(ArtRecords, RecordsOrderedByTimeThenId) {
    std::vector<WatchRecord> records(3);
    records[0].txid = "c", records[0].ts = 5;
    records[1].txid = "b", records[1].ts = 7;
    records[2].txid = "a", records[2].ts = 7;
    sort_watch_records(records);
    EXPECT_EQ(records[0].txid, "c");
    EXPECT_EQ(records[1].txid, "a");
    EXPECT_EQ(records[2].txid, "b");
}
