#include "chain/reserves.h"

#include "chain/outpoints.h"
#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

const std::string kTxA = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kTxB = "ffeeddccbbaa99887766554433221100fedcba98765432100123456789abcdef";

void set_wallet_id(const std::string& id) {
    auto lock = lock_wallet();
    kv_wallet().wallet_id = id;
}

struct ReservesTest : ::testing::Test {
    TempDataDir dir;
    FakeClock clock;
    const std::int64_t now_s = clock.system_ms / 1000;

    void SetUp() override { set_wallet_id("w-1"); }
    void TearDown() override {
        set_wallet_id("");
        spent_outpoints().clear();
    }
};

TEST(ReserveKeys, StemsAndOriginParts) {
    struct Row {
        std::string in, out;
    } stems[] = {{"", "none"}, {"a b/c\\d", "a_b_c_d"}, {std::string(70, 'z'), std::string(64, 'z')}},
      origins[] = {{upper_copy(kTxA) + "_0", kTxA}, {kTxA, kTxA}, {kTxA + ":0", kTxA + ":0"}, {"ABC_1", "abc_1"}};
    for (const auto& row : stems)
        EXPECT_EQ(reserve_stem(row.in), row.out) << row.in;
    for (const auto& row : origins)
        EXPECT_EQ(origin_txid_part(row.in), row.out) << row.in;
}

TEST_F(ReservesTest, FileNamesFollowTheWalletId) {
    for (const char* id : {"", "a.b c"}) {
        SCOPED_TRACE(id);
        set_wallet_id(id);
        const bool none = *id == 0;
        EXPECT_NE(offer_locks_path().find(none ? "gallery/offer_locks_none.json" : "gallery/offer_locks_abc.json"),
                  std::string::npos);
        for (const std::string& path : {bazarel_reserves_path(), gallery_reserves_path(), tradeloom_holds_path()})
            EXPECT_NE(path.find(none ? "/reserves_none.json" : "/reserves_a_b_c.json"), std::string::npos) << path;
        test_write_file(tradeloom_holds_path(), "{}");
    }
}

TEST_F(ReservesTest, KeyFormsPerFileAndBothByteOrders) {
    test_write_file(bazarel_reserves_path(), R"({"reserves":[{"utxo":")" + upper_copy(kTxA) + R"(:0"}]})");
    test_write_file(tradeloom_holds_path(),
                    R"({"holds":[{"utxo":")" + upper_copy(kTxB) + R"(:0"},{"utxo":")" + kTxB + "_1\"}]}");
    test_write_file(gallery_reserves_path(),
                    R"({"reserves":[{"pic_utxo":")" + kTxA + R"(:5","cert_utxo":")" + upper_copy(kTxA) + R"(_6"}]})");
    ReservedSet set;
    std::string error;
    ASSERT_TRUE(load_reserved_outpoints(set, error)) << error;

    const std::string rev_a = reverse_txid_hex(kTxA);
    struct Row {
        const char* what;
        std::string txid;
        std::uint32_t vout;
        bool bazarel, gallery, tradeloom;
    } rows[] = {
        {"marketplace, upper case with colon", kTxA, 0, true, false, false},
        {"marketplace, other byte order", upper_copy(rev_a), 0, true, false, false},
        {"marketplace, other index", kTxA, 1, false, false, false},
        {"gallery artwork", kTxA, 5, false, true, false},
        {"gallery certificate, other byte order", rev_a, 6, false, true, false},
        {"trading hold with colon never matches", kTxB, 0, false, false, false},
        {"trading hold as stored", upper_copy(kTxB), 1, false, false, true},
        {"trading hold, other byte order", reverse_txid_hex(kTxB), 1, false, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(is_bazarel_reserved(row.txid, row.vout), row.bazarel);
        EXPECT_EQ(is_gallery_reserved(row.txid, row.vout), row.gallery);
        EXPECT_EQ(is_tradeloom_held(row.txid, row.vout), row.tradeloom);
        EXPECT_EQ(is_reserved(set, row.txid, row.vout), row.bazarel || row.gallery || row.tradeloom);
    }
}

TEST_F(ReservesTest, GalleryExpiry) {
    for (std::int64_t exp : {std::int64_t(0), now_s - 1, now_s}) {
        SCOPED_TRACE(exp);
        test_write_file(gallery_reserves_path(), R"({"reserves":[{"pic_utxo":")" + kTxA + R"(_0","cert_utxo":")" +
                                                     kTxB + R"(_1","exp":)" + std::to_string(exp) + "}]}");
        const bool live = exp != now_s - 1;
        EXPECT_EQ(is_gallery_reserved(kTxB, 1), live);
        ReservedSet set;
        std::string error;
        ASSERT_TRUE(load_reserved_outpoints(set, error));
        EXPECT_EQ(is_reserved(set, kTxA, 0), live);
    }
}

TEST_F(ReservesTest, MalformedElementKeepsTheRecordsBeforeIt) {
    test_write_file(tradeloom_holds_path(),
                    R"({"holds":[{"utxo":")" + kTxA + R"(_0","sats":5},7,{"utxo":")" + kTxB + R"(_0"}]})");
    std::vector<TradeloomHold> holds;
    EXPECT_FALSE(load_tradeloom_holds(holds));
    ASSERT_EQ(holds.size(), 1u);
    EXPECT_TRUE(is_tradeloom_held(kTxA, 0));
    EXPECT_FALSE(is_tradeloom_held(kTxB, 0));

    for (const char* bad : {R"({"utxo":"x_1","exp":"9"})", R"({"utxo":"x_1","listing":null})",
                            R"({"utxo":"x_1","exp":1.5})", R"({"utxo":"x_1","exp":18446744073709551615})"}) {
        SCOPED_TRACE(bad);
        test_write_file(bazarel_reserves_path(), R"({"reserves":[{"utxo":")" + kTxA + R"(_0","exp":3},{"utxo":""},)" +
                                                     bad + R"(,{"utxo":")" + kTxB + R"(_0"}]})");
        std::vector<BazarelReserve> reserves;
        EXPECT_TRUE(load_bazarel_reserves(reserves));
        ASSERT_EQ(reserves.size(), 1u); // the empty utxo is skipped, the bad element ends the list
        EXPECT_EQ(reserves[0].exp, 3);
    }
}

TEST_F(ReservesTest, UnparsableFileIsReadAgainThenRefused) {
    // Nested past the JSON bound under a key nobody reads: copying or writing it back could overflow
    // the stack.
    const std::string deep = ",\"x\":" + std::string(75000, '[') + std::string(75000, ']') + "}";
    struct Row {
        std::string (*path)();
        std::string body;
    } rows[] = {
        {bazarel_reserves_path, R"({"reserves":[{"utxo":"a)"},       {gallery_reserves_path, ""},
        {tradeloom_holds_path, "{\"holds\":[{\"utxo\":\"\xff\"}]}"}, {offer_locks_path, "utxos"},
        {gallery_reserves_path, R"({"reserves":[])" + deep},         {offer_locks_path, R"({"utxos":[])" + deep}};
    for (const auto& row : rows) {
        TempDataDir fresh;
        const std::string path = row.path();
        SCOPED_TRACE(path);
        clock.sleeps.clear();
        test_write_file(path, row.body);
        ReservedSet set;
        std::string error;
        EXPECT_FALSE(load_reserved_outpoints(set, error));
        EXPECT_EQ(error, kReserveUnreadableError);
        EXPECT_EQ(clock.recorded_sleeps(), std::vector<std::int64_t>{kReserveRetryPauseMs});
        // The per-coin tests hold coins back instead of freeing them; nothing is rewritten.
        bool held = false;
        EXPECT_FALSE(coin_held_back(kTxA, 0, held, error));
        EXPECT_TRUE(is_bazarel_reserved(kTxA, 0) || is_gallery_reserved(kTxA, 0) || is_tradeloom_held(kTxA, 0) ||
                    path == offer_locks_path());
        std::vector<TxInput> offer(1);
        offer[0].txid = kTxB;
        lock_offer_inputs(offer);
        EXPECT_EQ(clear_gallery_reserve(kTxA).empty(), path != gallery_reserves_path());
        EXPECT_EQ(test_read_file(path), row.body);
    }

    // A file caught half written is taken from the second read.
    const std::string path = bazarel_reserves_path();
    test_write_file(path, "");
    ClockSeam seam;
    seam.sleep_ms = [&](std::int64_t) { test_write_file(path, R"({"reserves":[{"utxo":")" + kTxA + R"(_2"}]})"); };
    set_clock_seam(seam);
    ReservedSet set;
    std::string error;
    const bool ok = load_reserved_outpoints(set, error);
    reset_clock_seam();
    ASSERT_TRUE(ok) << error;
    EXPECT_TRUE(is_reserved(set, kTxA, 2));
}

TEST_F(ReservesTest, AWriteCutShortLeavesTheOldFileWhole) {
    GalleryReserve r;
    r.pic_utxo = kTxA + "_2";
    ASSERT_TRUE(save_gallery_reserves({r}));
    ASSERT_TRUE(save_offer_locks({kTxA + "_1"}));
    const std::string gallery = test_read_file(gallery_reserves_path());
    const std::string locks = test_read_file(offer_locks_path());

    r.pic_utxo = kTxB + "_3";
    platform_set_write_budget_for_tests(12); // the disk fills up 12 bytes into each write
    const bool gallery_saved = save_gallery_reserves({r, r});
    platform_set_write_budget_for_tests(12);
    const bool locks_saved = save_offer_locks({kTxB + "_0", kTxB + "_1"});
    platform_set_write_budget_for_tests(-1);
    EXPECT_FALSE(gallery_saved);
    EXPECT_FALSE(locks_saved);
    EXPECT_EQ(test_read_file(gallery_reserves_path()), gallery);
    EXPECT_EQ(test_read_file(offer_locks_path()), locks);
}

TEST_F(ReservesTest, OfferLocksAddReleaseAndPrune) {
    std::vector<TxInput> offer(2);
    offer[0].txid = upper_copy(kTxA);
    offer[0].vout = 1;
    offer[1].txid = kTxB;
    ASSERT_TRUE(lock_offer_inputs(offer));
    ASSERT_TRUE(lock_offer_inputs(offer));
    EXPECT_EQ(nlohmann::json::parse(test_read_file(offer_locks_path())),
              nlohmann::json::parse(R"({"utxos":[")" + kTxA + "_1\",\"" + kTxB + "_0\"]}"));
    ASSERT_TRUE(release_offer_inputs({offer[0]}));
    std::vector<std::string> locks;
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_EQ(locks, std::vector<std::string>{kTxB + "_0"});

    // A spent coin leaves the list; an entry with a colon never leaves it and never matches.
    save_offer_locks({kTxA + ":3", kTxB + "_0", upper_copy(kTxA) + "_4", "junk"});
    spent_outpoints().insert(outpoint_key(kTxA, 3));
    spent_outpoints().insert(outpoint_key(reverse_txid_hex(kTxA), 4));
    ReservedSet set;
    std::string error;
    ASSERT_TRUE(load_reserved_outpoints(set, error));
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_EQ(locks, (std::vector<std::string>{kTxA + ":3", kTxB + "_0", "junk"}));
    EXPECT_FALSE(is_reserved(set, kTxA, 3));
    EXPECT_TRUE(is_reserved(set, reverse_txid_hex(kTxB), 0));
}

TEST_F(ReservesTest, ClearGalleryReserveKeepsWhatItDoesNotMatch) {
    const std::string path = gallery_reserves_path();
    const std::string body = R"({"reserves":[{"pic_utxo":"p_0","pic":")" + kTxA + R"("},{"pic":")" + upper_copy(kTxA) +
                             R"(_7"},{"pic":")" + kTxB + R"(_0","extra":[1]},5,{"pic":")" + kTxA +
                             R"(_1"}],"version":3})";
    test_write_file(path, body);
    EXPECT_EQ(clear_gallery_reserve("ffff_0"), "");
    EXPECT_EQ(test_read_file(path), body); // nothing matched: not rewritten
    EXPECT_EQ(clear_gallery_reserve(kTxA + "_0"), "");
    EXPECT_EQ(nlohmann::json::parse(test_read_file(path)),
              nlohmann::json::parse(R"({"reserves":[{"pic":")" + kTxB + R"(_0","extra":[1]},5],"version":3})"));
}

TEST_F(ReservesTest, GalleryWriteReadBackLeavesSiblingFilesAlone) {
    const std::string tradeloom_body = R"({"holds":[{"utxo":")" + kTxA + R"(_1","cover":2}]})";
    test_write_file(tradeloom_holds_path(), tradeloom_body);
    GalleryReserve r;
    r.pic_utxo = kTxA + "_2";
    r.cert = kTxB;
    r.price_sats = 9007199254740993;
    r.exp = -1;
    r.spot = -4;
    ASSERT_TRUE(save_gallery_reserves({r}));
    std::vector<GalleryReserve> back;
    ASSERT_TRUE(load_gallery_reserves(back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].pic_utxo, r.pic_utxo);
    EXPECT_EQ(back[0].cert, r.cert);
    EXPECT_EQ(back[0].price_sats, r.price_sats);
    EXPECT_EQ(back[0].exp, r.exp);
    EXPECT_EQ(back[0].spot, r.spot);

    std::vector<TxInput> offer(1);
    offer[0].txid = kTxA;
    lock_offer_inputs(offer);
    release_offer_inputs(offer);
    clear_gallery_reserve(kTxA);
    ReservedSet set;
    std::string error;
    load_reserved_outpoints(set, error);
    EXPECT_EQ(test_read_file(tradeloom_holds_path()), tradeloom_body);
}

} // namespace

// The offers behind the locks read back as written; a malformed element ends the list there, and
// a file that does not parse is refused rather than read as no offers.
TEST_F(ReservesTest, OfferHoldsReadBackAndStopAtAMalformedOne) {
    OfferHold hold;
    hold.spot = 4;
    hold.pic_utxo = kTxA + "_0";
    hold.cert_utxo = kTxA + "_1";
    hold.price = 1000;
    hold.exp = now_s + 60;
    hold.show_txid = kTxB;
    hold.utxos = {kTxB + "_2", kTxB + "_3"};
    ASSERT_TRUE(save_offer_holds({hold, hold}));
    std::vector<OfferHold> holds;
    ASSERT_TRUE(load_offer_holds(holds));
    ASSERT_EQ(holds.size(), 2u);
    EXPECT_EQ(holds[1].spot, 4);
    EXPECT_EQ(holds[1].cert_utxo, kTxA + "_1");
    EXPECT_EQ(holds[1].price, 1000);
    EXPECT_EQ(holds[1].exp, now_s + 60);
    EXPECT_EQ(holds[1].utxos, hold.utxos);
    EXPECT_EQ(holds[1].show_txid, kTxB);

    const std::string good = R"({"spot":1,"pic_utxo":"a_0","utxos":["B_1"]})";
    for (const char* bad :
         {R"({"spot":"1","utxos":[]})", R"({"spot":-1,"utxos":[]})", R"({"spot":1})", R"({"spot":1,"utxos":"a_1"})",
          R"({"spot":1,"exp":1.5,"utxos":[]})", R"({"spot":1,"price":"5","utxos":[]})", "7"}) {
        SCOPED_TRACE(bad);
        test_write_file(offer_holds_path(), R"({"offers":[)" + good + "," + bad + "," + good + "]}");
        ASSERT_TRUE(load_offer_holds(holds));
        ASSERT_EQ(holds.size(), 1u);
        EXPECT_EQ(holds[0].utxos, std::vector<std::string>{"b_1"});
    }
    test_write_file(offer_holds_path(), R"({"offers":[)");
    EXPECT_FALSE(load_offer_holds(holds));
    EXPECT_TRUE(holds.empty());
}

// Coin collection frees the coins of an offer whose hanging has expired; a live offer keeps its
// own, and coins locked by no known offer stay as they are.
TEST_F(ReservesTest, ExpiredOfferFreesItsCoinsAtCollection) {
    save_offer_locks({kTxA + "_0", kTxA + "_1", kTxB + "_0", kTxB + "_1"});
    OfferHold expired, live, forever;
    expired.exp = now_s;
    expired.utxos = {kTxA + "_0", kTxA + "_1"};
    live.exp = now_s + 1;
    live.utxos = {kTxB + "_0"};
    forever.utxos = {kTxB + "_1"};
    ASSERT_TRUE(save_offer_holds({expired, live, forever}));
    ReservedSet set;
    std::string error;
    ASSERT_TRUE(load_reserved_outpoints(set, error)) << error;
    EXPECT_FALSE(is_reserved(set, kTxA, 0));
    EXPECT_FALSE(is_reserved(set, kTxA, 1));
    EXPECT_TRUE(is_reserved(set, kTxB, 0));
    EXPECT_TRUE(is_reserved(set, kTxB, 1));
    std::vector<std::string> locks;
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_EQ(locks, (std::vector<std::string>{kTxB + "_0", kTxB + "_1"}));
    std::vector<OfferHold> holds;
    ASSERT_TRUE(load_offer_holds(holds));
    ASSERT_EQ(holds.size(), 2u);
    EXPECT_EQ(holds[0].utxos, live.utxos);
}
