#include "chain/reserves.h"

#include "chain/outpoints.h"
#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

const std::string kTxA = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kTxB = "ffeeddccbbaa99887766554433221100fedcba98765432100123456789abcdef";

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

struct ReservesTest : ::testing::Test {
    TempDataDir dir;
    FakeClock clock;
    std::int64_t now_s = clock.system_ms / 1000;

    void SetUp() override { set_wallet_id("w-1"); }
    void TearDown() override {
        set_wallet_id("");
        spent_outpoints().clear();
    }
    static void set_wallet_id(const std::string& id) {
        auto lock = lock_wallet();
        kv_wallet().wallet_id = id;
    }
};

TEST(ReserveKeys, Forms) {
    EXPECT_EQ(reserve_key(upper(kTxA), 0), kTxA + "_0");
    EXPECT_EQ(reserve_key(kTxA, 4294967295u), kTxA + "_4294967295");
    EXPECT_EQ(normalize_reserve_outpoint(upper(kTxA) + ":1"), kTxA + "_1");
    EXPECT_EQ(normalize_reserve_outpoint("A:B:C"), "a_b_c");

    struct Row {
        std::string id, stem;
    } stems[] = {{"", "none"},
                 {"Wallet-7_x", "Wallet-7_x"},
                 {"a b/c\\d", "a_b_c_d"},
                 {"\xc3\xa9t\xc3\xa9", "__t__"},
                 {std::string(70, 'z'), std::string(64, 'z')}};
    for (const auto& row : stems) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(reserve_stem(row.id), row.stem);
    }

    struct Origin {
        std::string in, out;
    } origins[] = {
        {upper(kTxA) + "_0", kTxA}, {kTxA + "_12", kTxA}, {kTxA, kTxA}, {kTxA + ":0", kTxA + ":0"}, {"ABC_1", "abc_1"}};
    for (const auto& row : origins) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(origin_txid_part(row.in), row.out);
    }
}

TEST_F(ReservesTest, PathsFollowTheWalletIdAndCreateTheirFolders) {
    struct Row {
        std::string id, offer_stem, reserve_stem;
    } rows[] = {{"", "none", "none"}, {"a.b c", "abc", "a_b_c"}, {"...", "none", "___"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        set_wallet_id(row.id);
        const std::string offer = offer_locks_path();
        const std::string bazarel = bazarel_reserves_path();
        const std::string gallery = gallery_reserves_path();
        const std::string tradeloom = tradeloom_holds_path();
        EXPECT_NE(offer.find("gallery/offer_locks_" + row.offer_stem + ".json"), std::string::npos) << offer;
        EXPECT_NE(bazarel.find("bazarel/reserves_" + row.reserve_stem + ".json"), std::string::npos) << bazarel;
        EXPECT_NE(gallery.find("gallery/reserves_" + row.reserve_stem + ".json"), std::string::npos) << gallery;
        EXPECT_NE(tradeloom.find("tradeloom/reserves_" + row.reserve_stem + ".json"), std::string::npos) << tradeloom;
        // The folder exists, so a sibling's write and ours land in the same place.
        EXPECT_TRUE(platform_write_file(tradeloom, "{}", false));
    }
}

TEST_F(ReservesTest, KeyFormsPerFileAndBothByteOrders) {
    test_write_file(bazarel_reserves_path(),
                    R"({"reserves":[{"utxo":")" + upper(kTxA) + R"(:0","listing":"L1","origin":"o"}]})");
    test_write_file(tradeloom_holds_path(),
                    R"({"holds":[{"utxo":")" + upper(kTxB) + R"(:0"},{"utxo":")" + kTxB + "_1\"}]}");
    test_write_file(gallery_reserves_path(),
                    R"({"reserves":[{"pic_utxo":")" + kTxA + R"(:5","cert_utxo":")" + upper(kTxA) + R"(_6"}]})");
    ReservedSet set;
    std::string error;
    ASSERT_TRUE(load_reserved_outpoints(set, error)) << error;

    const std::string rev_a = reverse_txid_hex(kTxA);
    const std::string rev_b = reverse_txid_hex(kTxB);
    struct Row {
        const char* what;
        std::string txid;
        std::uint32_t vout;
        bool bazarel, gallery, tradeloom;
    } rows[] = {
        {"bazarel upper with colon", kTxA, 0, true, false, false},
        {"bazarel, other byte order", upper(rev_a), 0, true, false, false},
        {"bazarel, other index", kTxA, 1, false, false, false},
        {"gallery artwork", kTxA, 5, false, true, false},
        {"gallery certificate", rev_a, 6, false, true, false},
        {"tradeloom upper with colon never matches", kTxB, 0, false, false, false},
        {"tradeloom as stored", upper(kTxB), 1, false, false, true},
        {"tradeloom, other byte order", rev_b, 1, false, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(is_bazarel_reserved(row.txid, row.vout), row.bazarel);
        EXPECT_EQ(is_gallery_reserved(row.txid, row.vout), row.gallery);
        EXPECT_EQ(is_tradeloom_held(row.txid, row.vout), row.tradeloom);
        EXPECT_EQ(is_reserved(set, row.txid, row.vout), row.bazarel || row.gallery || row.tradeloom);
        bool held = false;
        ASSERT_TRUE(coin_held_back(row.txid, row.vout, held, error));
        EXPECT_EQ(held, row.bazarel || row.gallery || row.tradeloom);
    }
    EXPECT_TRUE(clock.recorded_sleeps().empty());
}

TEST_F(ReservesTest, GalleryExpiry) {
    struct Row {
        std::int64_t exp;
        bool reserved;
    } rows[] = {{0, true}, {-5, true}, {now_s - 1, false}, {now_s, true}, {now_s + 60, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.exp);
        test_write_file(gallery_reserves_path(), R"({"reserves":[{"pic_utxo":")" + kTxA + R"(_0","cert_utxo":")" +
                                                     kTxB + R"(_1","exp":)" + std::to_string(row.exp) + "}]}");
        EXPECT_EQ(is_gallery_reserved(kTxA, 0), row.reserved);
        EXPECT_EQ(is_gallery_reserved(kTxB, 1), row.reserved);
        ReservedSet set;
        std::string error;
        ASSERT_TRUE(load_reserved_outpoints(set, error));
        EXPECT_EQ(is_reserved(set, kTxA, 0), row.reserved);
        std::vector<GalleryReserve> loaded;
        ASSERT_TRUE(load_gallery_reserves(loaded));
        ASSERT_EQ(loaded.size(), 1u); // an expired reservation stays in the file
    }
}

TEST_F(ReservesTest, MalformedElementsKeepTheRecordsBeforeThem) {
    test_write_file(tradeloom_holds_path(),
                    R"({"holds":[{"utxo":")" + kTxA + R"(_0","sats":5},7,{"utxo":")" + kTxB + R"(_0"}]})");
    std::vector<TradeloomHold> holds;
    EXPECT_FALSE(load_tradeloom_holds(holds));
    ASSERT_EQ(holds.size(), 1u);
    EXPECT_EQ(holds[0].sats, 5);
    EXPECT_TRUE(is_tradeloom_held(kTxA, 0));
    EXPECT_FALSE(is_tradeloom_held(kTxB, 0));

    struct Row {
        const char* what;
        std::string second;
    } rows[] = {{"string exp", R"({"utxo":"x_1","exp":"9"})"},
                {"number utxo", R"({"utxo":7})"},
                {"null listing", R"({"utxo":"x_1","listing":null})"},
                {"fractional exp", R"({"utxo":"x_1","exp":1.5})"},
                {"exp beyond 64 bits", R"({"utxo":"x_1","exp":18446744073709551615})"},
                {"array", R"(["x_1"])"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test_write_file(bazarel_reserves_path(), R"({"reserves":[{"utxo":")" + kTxA + R"(_0","exp":3},{"utxo":""},)" +
                                                     row.second + R"(,{"utxo":")" + kTxB + R"(_0"}]})");
        std::vector<BazarelReserve> reserves;
        EXPECT_TRUE(load_bazarel_reserves(reserves));
        ASSERT_EQ(reserves.size(), 1u); // the empty utxo is skipped, the bad element ends the list
        EXPECT_EQ(reserves[0].exp, 3);
        EXPECT_TRUE(is_bazarel_reserved(kTxA, 0));
    }

    test_write_file(gallery_reserves_path(), R"({"reserves":[{"pic_utxo":")" + kTxA + R"(_0","spot":2},)" +
                                                 R"({"pic_utxo":")" + kTxB + R"(_0","spot":4294967296}]})");
    std::vector<GalleryReserve> gallery;
    EXPECT_TRUE(load_gallery_reserves(gallery));
    ASSERT_EQ(gallery.size(), 1u);
    EXPECT_EQ(gallery[0].spot, 2);
    EXPECT_EQ(gallery[0].price_sats, -1);
}

TEST_F(ReservesTest, UnparsableFileIsRetriedThenRefused) {
    struct Row {
        const char* what;
        std::string (*path)();
        const char* body;
    } rows[] = {{"bazarel truncated", bazarel_reserves_path, R"({"reserves":[{"utxo":"a)"},
                {"gallery empty", gallery_reserves_path, ""},
                {"tradeloom invalid utf-8", tradeloom_holds_path, "{\"holds\":[{\"utxo\":\"\xff\"}]}"},
                {"offer locks garbage", offer_locks_path, "utxos"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDataDir fresh;
        clock.sleeps.clear();
        const std::string path = row.path();
        test_write_file(path, row.body);
        ReservedSet set;
        std::string error;
        EXPECT_FALSE(load_reserved_outpoints(set, error));
        EXPECT_EQ(error, kReserveUnreadableError);
        EXPECT_EQ(clock.recorded_sleeps(), std::vector<std::int64_t>{kReserveRetryPauseMs});
        bool held = false;
        EXPECT_FALSE(coin_held_back(kTxA, 0, held, error));
        EXPECT_EQ(test_read_file(path), row.body);
    }

    // The per-coin tests hold every coin back rather than free them.
    TempDataDir fresh;
    test_write_file(bazarel_reserves_path(), "{");
    test_write_file(gallery_reserves_path(), "[");
    test_write_file(tradeloom_holds_path(), "");
    EXPECT_TRUE(is_bazarel_reserved(kTxA, 0));
    EXPECT_TRUE(is_gallery_reserved(kTxA, 0));
    EXPECT_TRUE(is_tradeloom_held(kTxA, 0));
    std::vector<TradeloomHold> holds;
    EXPECT_FALSE(load_tradeloom_holds(holds));
}

TEST_F(ReservesTest, FileCaughtMidWriteIsReadAgain) {
    const std::string path = bazarel_reserves_path();
    test_write_file(path, "");
    int sleeps = 0;
    ClockSeam seam;
    seam.system_ms = [this] { return clock.system_ms; };
    seam.sleep_ms = [&](std::int64_t) {
        ++sleeps;
        test_write_file(path, R"({"reserves":[{"utxo":")" + kTxA + R"(_2"}]})");
    };
    set_clock_seam(seam);
    ReservedSet set;
    std::string error;
    const bool ok = load_reserved_outpoints(set, error);
    reset_clock_seam();
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(sleeps, 1);
    EXPECT_TRUE(is_reserved(set, kTxA, 2));
}

TEST_F(ReservesTest, DocumentsWithoutTheRootArrayReserveNothing) {
    const char* bodies[] = {"[]", "7", R"({"reserves":{}})", R"({"holds":null,"reserves":"x"})", "{}"};
    for (const char* body : bodies) {
        SCOPED_TRACE(body);
        test_write_file(bazarel_reserves_path(), body);
        test_write_file(tradeloom_holds_path(), body);
        ReservedSet set;
        std::string error;
        EXPECT_TRUE(load_reserved_outpoints(set, error));
        EXPECT_TRUE(set.keys.empty());
        std::vector<TradeloomHold> holds;
        EXPECT_TRUE(load_tradeloom_holds(holds));
    }
}

TEST_F(ReservesTest, OfferLocksAddReleaseAndPrune) {
    std::vector<TxInput> offer(2);
    offer[0].txid = upper(kTxA);
    offer[0].vout = 1;
    offer[1].txid = kTxB;
    offer[1].vout = 0;
    ASSERT_TRUE(lock_offer_inputs(offer));
    ASSERT_TRUE(lock_offer_inputs(offer)); // no duplicates on a second offer of the same coins
    std::vector<std::string> locks;
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_EQ(locks, (std::vector<std::string>{kTxA + "_1", kTxB + "_0"}));
    const auto doc = nlohmann::json::parse(test_read_file(offer_locks_path()));
    EXPECT_EQ(doc, nlohmann::json::parse(R"({"utxos":[")" + kTxA + "_1\",\"" + kTxB + "_0\"]}"));

    ASSERT_TRUE(release_offer_inputs({offer[0]}));
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_EQ(locks, std::vector<std::string>{kTxB + "_0"});

    // A spent coin leaves the list; a colon entry never leaves it and never matches.
    save_offer_locks({kTxA + ":3", kTxB + "_0", upper(kTxA) + "_4", "junk", kTxB + "_x"});
    spent_outpoints().insert(outpoint_key(kTxA, 3));
    spent_outpoints().insert(outpoint_key(reverse_txid_hex(kTxA), 4));
    ReservedSet set;
    std::string error;
    ASSERT_TRUE(load_reserved_outpoints(set, error));
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_EQ(locks, (std::vector<std::string>{kTxA + ":3", kTxB + "_0", "junk", kTxB + "_x"}));
    EXPECT_FALSE(is_reserved(set, kTxA, 3));
    EXPECT_TRUE(is_reserved(set, reverse_txid_hex(kTxB), 0));
}

TEST_F(ReservesTest, OfferLockWritersLeaveAnUnreadableFileAlone) {
    const std::string path = offer_locks_path();
    test_write_file(path, R"({"utxos":[")" + kTxA);
    std::vector<TxInput> offer(1);
    offer[0].txid = kTxB;
    EXPECT_FALSE(lock_offer_inputs(offer));
    EXPECT_FALSE(release_offer_inputs(offer));
    EXPECT_EQ(test_read_file(path), R"({"utxos":[")" + kTxA);

    test_write_file(path, R"({"utxos":["A_1",3,"","a_1"]})");
    std::vector<std::string> locks;
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_EQ(locks, (std::vector<std::string>{"a_1", "a_1"}));
    ASSERT_TRUE(remove_offer_locks({"A_1"}));
    ASSERT_TRUE(load_offer_locks(locks));
    EXPECT_TRUE(locks.empty());
}

TEST_F(ReservesTest, ClearGalleryReserve) {
    const std::string path = gallery_reserves_path();
    const std::string body = R"({"reserves":[)"
                             R"({"pic_utxo":"p_0","pic":")" +
                             kTxA +
                             R"(","note":"kept?"},)"
                             R"({"pic_utxo":"p_1","pic":")" +
                             upper(kTxA) +
                             R"(_7"},)"
                             R"({"pic_utxo":"q_0","pic":")" +
                             kTxB +
                             R"(_0","extra":[1,2]},)"
                             R"(5,)"
                             R"({"pic_utxo":"r_0","pic":")" +
                             kTxA + R"(_1"}],"version":3})";
    test_write_file(path, body);
    EXPECT_EQ(clear_gallery_reserve("ffff_0"), "");
    EXPECT_EQ(test_read_file(path), body); // nothing matched: not rewritten

    EXPECT_EQ(clear_gallery_reserve(kTxA + "_0"), "");
    const auto doc = nlohmann::json::parse(test_read_file(path));
    const auto expected = nlohmann::json::parse(R"({"reserves":[{"pic_utxo":"q_0","pic":")" + kTxB +
                                                R"(_0","extra":[1,2]},5],"version":3})");
    EXPECT_EQ(doc, expected);

    test_write_file(path, "{\"reserves\":[");
    EXPECT_EQ(clear_gallery_reserve(kTxB), "error: could not clear the Gallery reserve.");
    TempDataDir fresh;
    EXPECT_EQ(clear_gallery_reserve(kTxB), "");
}

TEST_F(ReservesTest, GalleryWriteReadBackAndSiblingFilesUntouched) {
    const std::string bazarel_body = R"({"reserves":[{"utxo":")" + kTxA + R"(_0"}]})";
    const std::string tradeloom_body = R"({"holds":[{"utxo":")" + kTxA + R"(_1","cover":2}]})";
    test_write_file(bazarel_reserves_path(), bazarel_body);
    test_write_file(tradeloom_holds_path(), tradeloom_body);

    GalleryReserve r;
    r.pic_utxo = kTxA + "_2";
    r.cert_utxo = kTxA + "_3";
    r.pic = kTxA + "_2";
    r.cert = kTxB;
    r.price_sats = 9007199254740993;
    r.exp = -1;
    r.spot = -4;
    ASSERT_TRUE(save_gallery_reserves({r, r}));
    std::vector<GalleryReserve> back;
    ASSERT_TRUE(load_gallery_reserves(back));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].pic_utxo, r.pic_utxo);
    EXPECT_EQ(back[1].cert_utxo, r.cert_utxo);
    EXPECT_EQ(back[1].cert, r.cert);
    EXPECT_EQ(back[1].price_sats, r.price_sats);
    EXPECT_EQ(back[1].exp, r.exp);
    EXPECT_EQ(back[1].spot, r.spot);
    EXPECT_EQ(clear_gallery_reserve(kTxA), "");
    ASSERT_TRUE(load_gallery_reserves(back));
    EXPECT_TRUE(back.empty());

    std::vector<TxInput> offer(1);
    offer[0].txid = kTxA;
    lock_offer_inputs(offer);
    release_offer_inputs(offer);
    ReservedSet set;
    std::string error;
    load_reserved_outpoints(set, error);
    EXPECT_EQ(test_read_file(bazarel_reserves_path()), bazarel_body);
    EXPECT_EQ(test_read_file(tradeloom_holds_path()), tradeloom_body);
}

} // namespace
