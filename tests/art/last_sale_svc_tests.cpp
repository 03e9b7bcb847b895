#include "art/last_sale.h"

#include "art/gallery_frames.h"
#include "fakes/fake_oracle.h"
#include "fakes/fake_paymail.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

constexpr std::int64_t kStep1 = 1700000000; // 2023-11-14
constexpr std::int64_t kStep2 = 1700200000; // 2023-11-17

struct Accept {
    std::int32_t spot = 1;
    std::string buyer;
    std::string prev;
    json price;
    std::int64_t ts = 0;
    const char* type = "art_gaccept";
    std::uint8_t signer = 0x11; // alice
};

struct LastSaleSvcTest : FakeIdentityTest {
    FakePaymail paymail;
    const std::string alice = secp_pubkey_hex(Bytes(32, 0x11));
    const std::string bob = secp_pubkey_hex(Bytes(32, 0x22));
    const std::string carol = secp_pubkey_hex(Bytes(32, 0x33));
    const std::string head0 = std::string(64, '7');
    const TestKey holder = test_key_from_byte(0x22);
    // Two completed sales (alice to bob at 100 sats, bob to carol at 400) and a plain pass to bob.
    const json to_bob = record("alice", bob, head0, kStep1);
    const std::string head1 = fake_sale_tx(chain, coin(), coin(), holder.address, 100, to_bob);
    const std::string passed = fake_pass_tx(chain, coin(), coin(), holder.address, to_bob);
    const json to_carol = record("bob", carol, head1, kStep2);
    const std::string head2 = fake_sale_tx(chain, coin(), coin(), holder.address, 400, to_carol);

    LastSaleSvcTest() {
        serve_fake_paymail(chain.platform, paymail);
        ids.set_key("alice@kestrava.net", alice);
        ids.set_key("bob@kestrava.net", bob);
        for (const auto& [key, name] : {std::pair{alice, "alice"}, {bob, "bob"}, {carol, "carol"}})
            paymail.set(&FakePaymailTables::labels, key, json_reply({{"labels", {name}}}));
    }

    KeyedCoin coin() { return {chain.ledger.fund(holder.address, 1), 0, holder}; }
    static json record(const char* seller, const std::string& buyer, const std::string& prev, std::int64_t ts) {
        const json fields = {{"pic", std::string(64, 'a')}, {"owner", buyer}, {"prev", prev}};
        return fake_signed_record(fake_art_record("art_owner", seller, ts, fields), seller[0] == 'a' ? 0x11 : 0x22);
    }

    // Registered by alice, then to bob, then to carol; the first step sold or only passed.
    std::vector<KvArtTitleRow> title(bool sold = true) const {
        return {KvArtTitleRow{head0, "art_pair", alice, alice, "alice", kStep1 - 100},
                KvArtTitleRow{sold ? head1 : passed, "art_owner", bob, alice, "alice", kStep1},
                KvArtTitleRow{head2, "art_owner", carol, bob, "bob", kStep2}};
    }

    void post_accept(const std::string& artwork, const Accept& a) {
        // The acceptance hands over the title record that its step carries.
        const json& title = a.prev == head0 ? to_bob : to_carol;
        const json msg = fake_art_record(a.type, a.signer == 0x11 ? "alice" : "bob", a.ts,
                                         {{"spot", spot_row(a.spot).label},
                                          {"pic", artwork + "_0"},
                                          {"cert", std::string(64, 'c')},
                                          {"buyer", a.buyer},
                                          {"prev", a.prev},
                                          {"price_sats", a.price},
                                          {"title_sha", sha256_hex(title.dump())}});
        ASSERT_FALSE(fake_post_record(chain, spot_row(a.spot).watch, fake_signed_record(msg, a.signer)).empty());
    }
};

} // namespace

TEST_F(LastSaleSvcTest, NewestSaleAcrossTheFrames) {
    const std::string alice_to_bob = "From alice@kestrava.net\r\nTo bob@kestrava.net\r\n";
    struct Row {
        const char* name;
        char artwork;
        std::vector<Accept> accepts;
        std::string block;
        bool sold = true;
    } rows[] = {
        {"same step twice: a record older than the step does not replace",
         'a',
         {{3, bob, head0, 100, kStep1 - 10}, {8, bob, head0, 100, kStep1 - 5}},
         "100 sats\r\n" + alice_to_bob + "Frame AP3\r\n2023-11-14\r\n"},
        {"same step twice: the later frame wins from the step's time on, price as text",
         'b',
         {{3, bob, head0, 100, kStep1 - 10}, {9, bob, head0, "100", kStep1}},
         "100 sats\r\n" + alice_to_bob + "Frame AP9\r\n2023-11-14\r\n"},
        {"a later step wins over a newer record",
         'c',
         {{1, carol, head1, 400, kStep2, "art_gaccept", 0x22}, {10, bob, head0, 100, kStep2 + 100}},
         "400 sats\r\nFrom bob@kestrava.net\r\nTo carol@kestrava.net\r\nFrame AP1\r\n2023-11-17\r\n"},
        {"accepted against a head whose next step went to someone else",
         'd',
         {{2, carol, head0, 100, kStep1}},
         "No sale yet.\r\n"},
        {"no price, bad prev, or not an acceptance",
         'e',
         {{4, bob, head0, "free", kStep1},
          {4, bob, head0, 0, kStep1},
          {5, bob, head0.substr(1), 100, kStep1},
          {6, "", head0, 100, kStep1},
          {7, bob, head0, 100, kStep1, "art_gask"}},
         "No sale yet.\r\n"},
        {"an acceptance signed by someone other than the seller restates no price",
         'g',
         {{3, bob, head0, 100, kStep1}, {4, bob, head0, 100, kStep1 + 5, "art_gaccept", 0x22}},
         "100 sats\r\n" + alice_to_bob + "Frame AP3\r\n2023-11-14\r\n"},
        {"a price the completed sale did not pay", 'h', {{5, bob, head0, 50000000, kStep1 + 5}}, "No sale yet.\r\n"},
        {"after a plain pass", 'i', {{6, bob, head0, 50000000, kStep1 + 5}}, "No sale yet.\r\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string artwork(64, row.artwork);
        for (const Accept& accept : row.accepts)
            post_accept(artwork, accept);
        EXPECT_EQ(last_sale_block(" " + artwork + "_0", title(row.sold)), row.block);
    }
    // Another artwork's sales are not this one's.
    EXPECT_EQ(last_sale_block(std::string(64, 'f'), title()), "No sale yet.\r\n");
}

TEST_F(LastSaleSvcTest, UnreadableFrames) {
    chain.platform.set_fault("/oi/oracle/", FakeFault{500});
    chain.woc.set_fault("/v1/bsv/main/addresses/history", FakeFault{500}); // each frame then lists alone
    for (std::int32_t spot = 1; spot <= kSpotCount; ++spot) {
        if (spot != 5) chain.woc.set_fault(std::string("/v1/bsv/main/address/") + spot_row(spot).watch, FakeFault{500});
    }
    EXPECT_EQ(spot_acts_scan(42).spot, 1); // outside the frames: frame 1
    // The newest sale may be in a frame that was not read.
    EXPECT_EQ(last_sale_block(std::string(64, 'a'), title()), "The last sale did not load. Try again.\r\n");

    chain.woc.set_fault("/v1/bsv/main/address/", FakeFault{500});
    chain.woc.set_fault(std::string("/v1/bsv/main/address/") + spot_row(5).watch, FakeFault{500});
    EXPECT_EQ(last_sale_block(std::string(64, 'a'), title()), "The last sale did not load. Try again.\r\n");
}
