#include "art/gallery_frames.h"

#include "art/gallery_rules.h"
#include "art/gallery_sale.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using nlohmann::json;

namespace {

const std::string kTx = std::string(64, 'a');

std::string hex_of(const std::string& text) {
    return to_hex(Bytes(text.begin(), text.end()));
}

} // namespace

TEST(GalleryFrames, FrameTableAndLabels) {
    for (std::int32_t n = 1; n <= kSpotCount; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(spot_row(n).spot, n);
        EXPECT_EQ(spot_row(n).label, spot_label(n));
        Hash160 hash{};
        EXPECT_TRUE(address_to_hash160(spot_row(n).watch, hash));
    }
    EXPECT_EQ(spot_row(0).spot, 1);
    EXPECT_EQ(spot_row(11).spot, 1);
    EXPECT_EQ(spot_label(10), "as10");
}

TEST(GalleryFrames, OriginKeys) {
    struct Row {
        std::string origin, outpoint, key, outpoint_after;
    } rows[] = {
        {std::string(64, 'A') + "_3", "", kTx, kTx + "_3"},
        {kTx + "_3", "given_1", kTx, "given_1"},
        {kTx, "", kTx, ""},
        {"ab_1", "", "ab_1", ""},
        {"", "", "", ""},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.origin);
        EXPECT_EQ(spot_origin_key(row.origin, row.outpoint), row.key);
        EXPECT_EQ(row.outpoint, row.outpoint_after);
    }
}

TEST(GalleryFrames, IntegersPricesAndTimesOfAnyJsonType) {
    struct Row {
        json value;
        std::int64_t as_int, as_price;
    } rows[] = {
        {json(1500), 1500, -1},
        {json(-7), -7, -1},
        {json("  +42 sats"), 42, 42},
        {json("-5"), -5, -5},
        {json("-"), 0, -1},
        {json(""), 0, -1},
        {json("abc"), 0, -1},
        {json("9223372036854775807"), std::numeric_limits<std::int64_t>::max(),
         std::numeric_limits<std::int64_t>::max()},
        {json("-9223372036854775808"), std::numeric_limits<std::int64_t>::min(),
         std::numeric_limits<std::int64_t>::min()},
        {json("9223372036854775808"), 0, -1},
        {json(std::numeric_limits<std::uint64_t>::max()), 0, -1},
        {json(12.9), 0, -1},
        {json(true), 0, -1},
        {json::array({1}), 0, -1},
        {json(nullptr), 0, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value.dump());
        EXPECT_EQ(gallery_json_int(json{{"exp", row.value}}, "exp"), row.as_int);
        EXPECT_EQ(msg_ts(json{{"ts", row.value}}), row.as_int);
        EXPECT_EQ(spot_price(json{{"price", row.value}}), row.as_price);
    }
    EXPECT_EQ(gallery_json_int(json::array(), "exp"), 0);
    EXPECT_EQ(spot_price(json::object()), -1);
}

TEST(GalleryFrames, CarrierPayloads) {
    const std::string rec = R"({"protocol":"KV-Art"})";
    const std::string push = "15" + hex_of(rec); // 21 bytes, a direct push
    struct Row {
        std::string script;
        bool found;
    } rows[] = {
        {"006a" + push, true},
        {"6a" + push, true},
        {"6A" + push, true},
        {"00006a" + push, false},
        {"6a4d1500" + hex_of(rec), true},
        {"6a4e15000000" + hex_of(rec), false}, // OP_PUSHDATA4 carries no frame record
        {"006a4e15000000" + hex_of(rec), false},
        {"6a4e", false},
        {"6a" + push.substr(0, push.size() - 2), false},
        {"6a00", false},
        {"6a1", false},
        {"zz6a", false},
        {"", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        Bytes out{1};
        EXPECT_EQ(gallery_op_return_payload(row.script, out), row.found);
        EXPECT_EQ(out.empty(), !row.found);
    }
}

TEST(GalleryFrames, RecordOfATransactionSkipsMalformedOutputs) {
    const std::string good = "006a" + std::string("15") + hex_of(R"({"protocol":"KV-Art"})");
    const std::string lower = "006a" + std::string("15") + hex_of(R"({"protocol":"kv-art"})");
    const json tx = {{"vout",
                      {7, json{{"scriptPubKey", "x"}}, json{{"scriptPubKey", {{"hex", 5}}}},
                       json{{"scriptPubKey", {{"hex", lower}}}}, json{{"scriptPubKey", {{"hex", good}}}}}}};
    json out;
    EXPECT_TRUE(gallery_find_art_message(tx, out));
    EXPECT_EQ(out, json({{"protocol", "KV-Art"}}));
    for (const json& bad : {json::array(), json{{"vout", "x"}}, json{{"vout", json::array()}}, json(nullptr)}) {
        SCOPED_TRACE(bad.dump());
        EXPECT_FALSE(gallery_find_art_message(bad, out));
    }
}

TEST(GalleryFrames, TxidsOfListingReplies) {
    const std::string a = std::string(64, 'a'), b = std::string(64, 'b');
    struct Row {
        json reply;
        std::vector<std::string> ids;
    } rows[] = {
        {json::array({a, json{{"tx_hash", b}}, 3, "short"}), {a, b}},
        {json{{"txids", {a}}, {"result", {b}}}, {a}},
        {json{{"txids", "x"}, {"result", {json{{"txid", std::string(64, 'B')}}}}}, {b}},
        {json{{"history", {a}}}, {}},
        {json("x"), {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply.dump());
        std::vector<std::string> ids;
        gallery_collect_txids(row.reply, ids);
        EXPECT_EQ(ids, row.ids);
    }
}

TEST(GalleryFrames, ExhibitResetKeepsTheLists) {
    SpotFrame frame;
    frame.shown = true;
    frame.spot = 4;
    frame.pic = kTx;
    frame.price = 10;
    frame.asks.resize(2);
    frame.funded.resize(1);
    spot_exhibit_init(frame);
    EXPECT_FALSE(frame.shown);
    EXPECT_EQ(frame.spot, 0);
    EXPECT_EQ(frame.pic, "");
    EXPECT_EQ(frame.price, -1);
    EXPECT_EQ(frame.asks.size(), 2u);
    EXPECT_EQ(frame.funded.size(), 1u);
}

TEST(GallerySale, SaleFee) {
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t rows[][2] = {{-1, 0}, {0, 0},   {49, 0},      {50, 1},
                                    {99, 1}, {100, 2}, {12345, 246}, {max, max / 50}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        EXPECT_EQ(gallery_sale_split(row[0]), row[1]);
    }
}

// Records replay in chain order whatever their own times say; a time ahead of the chain's (the
// block's time, or this computer's while unconfirmed) takes the record out, and a copy of a record
// (same signer and signed text) counts only where it first stands.
TEST(GalleryFrames, RecordsReplayInChainOrder) {
    const std::int64_t now = 1700000000, ahead = kRecordClockSlackS + 1;
    std::int64_t listed = 0;
    const auto record = [&listed](const char* id, std::int64_t ts, std::int64_t height, std::int64_t block_time) {
        WatchRecord r;
        r.txid = id;
        r.listed = listed++;
        r.ts = ts;
        r.msg = json{{"type", "art_hide"}, {"ts", ts}};
        if (height > 0) r.tx = json{{"blockheight", height}, {"blocktime", block_time}};
        return r;
    };
    std::vector<WatchRecord> records = {
        record("unconfirmed, listed first", 10, 0, 0),
        record("block 3", 900, 3, 3000),
        record("block 2, dated after block 3", 2000, 2, 2000),
        record("block 1, dated ahead of its block", 1000 + ahead, 1, 1000),
        record("unconfirmed, dated ahead of now", now + ahead, 0, 0),
        record("unconfirmed, listed last", 5, 0, 0),
        record("block 4, mined past this computer's clock", now + ahead, 4, now + 2 * ahead),
        record("a copy of block 2's record, unconfirmed", 2000, 0, 0),
        record("a copy of block 1's record, in a later block", 1000 + ahead, 6, 2000 + ahead),
        record("block 5, its time near 2^63", 100, 5, std::numeric_limits<std::int64_t>::max() - 10),
    };
    records[7].msg["sig"] = "other signature bytes";
    ASSERT_TRUE(order_frame_records(records, now));
    std::vector<std::string> order;
    for (const WatchRecord& r : records)
        order.push_back(r.txid);
    EXPECT_EQ(order, (std::vector<std::string>{
                         "block 2, dated after block 3", "block 3", "block 4, mined past this computer's clock",
                         "block 5, its time near 2^63", "unconfirmed, listed first", "unconfirmed, listed last"}));
}
