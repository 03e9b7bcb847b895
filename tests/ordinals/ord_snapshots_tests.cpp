#include "ordinals/ord_snapshots.h"

#include "platform/fs.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kTx2 = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

struct OrdSnapshotsTest : ::testing::Test {
    TempDataDir dir;
};

} // namespace

TEST_F(OrdSnapshotsTest, Load) {
    const std::string lot = "{\"origin\":\"" + kTx + "_3\",\"name\":\"Sun\"}";
    struct Row {
        std::string name;
        std::string text;
        bool ok;
        std::size_t lots;
        std::size_t token_ids;
        std::size_t txids;
    } rows[] = {
        {"txids by length and type", "{\"txids\":[\"" + kTx + "\",\"" + kTx.substr(1) + "\",7]}", true, 0, 0, 1},
        {"token ids alone", "{\"token_ids\":[\"" + kTx + "_1\",\"" + kTx + "_\",null]}", false, 0, 1, 0},
        {"lots: bare origin and non-objects skipped", "{\"lots\":[\"x\"," + lot + ",{\"origin\":\"" + kTx + "\"}]}",
         true, 1, 0, 0},
        {"lists of the wrong type", "{\"lots\":{},\"txids\":\"" + kTx + "\",\"token_ids\":1}", false, 0, 0, 0},
        {"vout as text", "{\"txids\":[\"" + kTx + "\"],\"lots\":[{\"origin\":\"" + kTx + "_3\",\"vout\":\"3\"}]}",
         false, 0, 0, 0},
        {"negative vout", "{\"lots\":[{\"origin\":\"" + kTx + "_3\",\"txid\":\"" + kTx + "\",\"vout\":-1}]}", false, 0,
         0, 0},
        {"origin as number", "{\"lots\":[" + lot + ",{\"origin\":5}]}", false, 0, 0, 0},
        {"truncated", "{\"txids\":[\"" + kTx, false, 0, 0, 0},
        {"array", "[]", false, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test_write_file(ord_snap_path("w1"), row.text);
        OrdSnapshot snap;
        snap.txids.push_back("stale");
        EXPECT_EQ(ord_snap_load("w1", snap), row.ok);
        EXPECT_EQ(snap.lots.size(), row.lots);
        EXPECT_EQ(snap.token_ids.size(), row.token_ids);
        EXPECT_EQ(snap.txids.size(), row.txids);
    }
    platform_remove_file(ord_snap_path("w1"));
    OrdSnapshot snap;
    EXPECT_FALSE(ord_snap_load("w1", snap));
}

TEST_F(OrdSnapshotsTest, LotTxidComesFromOriginWhenMissing) {
    test_write_file(ord_snap_path("w1"), "{\"lots\":[{\"origin\":\"" + kTx + "_3\",\"vout\":9},{\"origin\":\"" + kTx +
                                             "_3\",\"txid\":\"" + kTx2 + "\",\"vout\":1}]}");
    OrdSnapshot snap;
    ASSERT_TRUE(ord_snap_load("w1", snap));
    ASSERT_EQ(snap.lots.size(), 2u);
    EXPECT_EQ(snap.lots[0].txid, kTx);
    EXPECT_EQ(snap.lots[0].vout, 3u);
    EXPECT_EQ(snap.lots[1].txid, kTx2);
    EXPECT_EQ(snap.lots[1].vout, 1u);
}

TEST_F(OrdSnapshotsTest, SaveWritesCompactlyAndReadsBack) {
    OrdSnapshot snap;
    LocalOrd bare;
    bare.origin = kTx + "_3";
    bare.txid = kTx;
    bare.vout = 3;
    LocalOrd full = bare;
    full.type = "image/png";
    full.name = "Sun\xFF"; // not UTF-8: written with a replacement character, not lost
    full.icon = kTx2 + "_0";
    full.address = "1Addr";
    full.amt = "5"; // not part of the snapshot
    snap.lots = {bare, full};
    snap.token_ids = {kTx2 + "_0"};
    snap.txids = {kTx2};
    ord_snap_save("w1", snap);

    const std::string text = test_read_file(dir.data_dir + "/ord_snap/w1.json");
    EXPECT_EQ(text.substr(0, text.find("},{") + 1),
              "{\"lots\":[{\"origin\":\"" + kTx + "_3\",\"txid\":\"" + kTx + "\",\"vout\":3}");
    EXPECT_EQ(text.find('\n'), std::string::npos);

    OrdSnapshot back;
    ASSERT_TRUE(ord_snap_load("w1", back));
    ASSERT_EQ(back.lots.size(), 2u);
    const LocalOrd& lot = back.lots[1];
    EXPECT_EQ(lot.type + "|" + lot.name + "|" + lot.icon + "|" + lot.address + "|" + lot.amt,
              "image/png|Sun\xEF\xBF\xBD|" + kTx2 + "_0|1Addr|");
    EXPECT_EQ(back.token_ids, snap.token_ids);
    EXPECT_EQ(back.txids, snap.txids);
}

TEST_F(OrdSnapshotsTest, StemsThatAreNotFileStemsTouchNothing) {
    OrdSnapshot snap;
    snap.txids = {kTx};
    for (const std::string stem : {"", "../w1", "..", "a/b", "a\\b", "C:w1", "w1.json", "w\n1"}) {
        SCOPED_TRACE(stem);
        EXPECT_EQ(ord_snap_path(stem), "");
        ord_snap_save(stem, snap);
        EXPECT_FALSE(ord_snap_load(stem, snap));
    }
    EXPECT_FALSE(platform_file_exists(dir.data_dir + "/ord_snap"));
    EXPECT_FALSE(platform_file_exists(dir.data_dir + "/w1.json"));
    // A snapshot beside the folder is out of reach of a stem that climbs to it.
    test_write_file(dir.data_dir + "/w1.json", "{\"txids\":[\"" + kTx + "\"]}");
    EXPECT_FALSE(ord_snap_load("../w1", snap));
}
