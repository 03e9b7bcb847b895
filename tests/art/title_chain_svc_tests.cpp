#include "art/title_chain.h"

#include "art/art_records.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kArt = std::string(64, 'a') + "_0";
const std::string kCert = std::string(64, 'c') + "_0";

struct TitleChainSvcTest : FakeIdentityTest {
    const std::string alice = secp_pubkey_hex(Bytes(32, 0x11));
    const std::string bob = secp_pubkey_hex(Bytes(32, 0x22));

    TitleChainSvcTest() { ids.set_key("alice@kestrava.net", alice); }

    // Alice's signed record posted at the watch; its transaction id.
    std::string post(const std::string& address, const char* type, std::int64_t ts, const json& fields) {
        json msg = fake_art_record(type, "alice", ts, {{"pic", kArt}, {"cert", kCert}});
        for (const auto& item : fields.items())
            msg[item.key()] = item.value();
        return fake_post_record(chain, address, fake_signed_record(msg, 0x11));
    }
    int pair_watch_reads() const {
        return chain.platform.request_count("/oi/oracle/zuz/") +
               chain.woc.request_count(std::string("/v1/bsv/main/address/") + kPairWatchAddress);
    }
};

} // namespace

TEST_F(TitleChainSvcTest, PairFromThePairWatchThenAPassAtTheTitleWatch) {
    const std::string pair =
        post(kPairWatchAddress, "art_pair", 100, {{"sha256", std::string(64, 'e')}, {"owner", alice}});
    const std::string pass = post(kTitleWatchAddress, "art_owner", 200, {{"owner", bob}, {"prev", pair}});
    ASSERT_FALSE(pair.empty());
    ASSERT_FALSE(pass.empty());

    std::vector<KvArtTitleRow> rows;
    std::string cert = "stale";
    EXPECT_EQ(art_title_chain(" " + std::string(64, 'A') + " ", rows, &cert), "");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].txid, pair);
    EXPECT_EQ(rows[0].type, "art_pair");
    EXPECT_EQ(rows[1].txid, pass);
    EXPECT_EQ(rows[1].owner, bob);
    EXPECT_EQ(rows[1].signer, alice);
    EXPECT_EQ(rows[1].ts, 200);
    EXPECT_EQ(cert, std::string(64, 'c'));
}

TEST_F(TitleChainSvcTest, PairWatchReadOnlyWhenNeeded) {
    post(kTitleWatchAddress, "art_pair", 100, {{"sha256", std::string(64, 'e')}, {"owner", alice}});
    std::vector<KvArtTitleRow> rows;
    EXPECT_EQ(art_title_chain(kArt, rows), "");
    EXPECT_EQ(rows.size(), 1u);
    EXPECT_EQ(pair_watch_reads(), 0);

    std::string cert;
    EXPECT_EQ(art_title_chain(kArt, rows, &cert), "");
    EXPECT_GT(pair_watch_reads(), 0);
    EXPECT_EQ(cert, std::string(64, 'c'));
}

TEST_F(TitleChainSvcTest, FailuresGiveTheirTexts) {
    std::vector<KvArtTitleRow> rows{KvArtTitleRow{}};
    EXPECT_EQ(art_title_chain(" \t", rows), "Pick an artwork.");
    EXPECT_TRUE(rows.empty());

    chain.platform.set_fault("/oi/oracle/", FakeFault{500});
    chain.woc.set_fault("/v1/bsv/main/address/", FakeFault{500});
    std::string cert = "stale";
    EXPECT_EQ(art_title_chain(kArt, rows, &cert), "OI otx missed and WhatsOnChain missed");
    EXPECT_TRUE(cert.empty());
}

TEST_F(TitleChainSvcTest, UnreadableTitleWatchNamesNoStaleOwner) {
    const std::string pair =
        post(kPairWatchAddress, "art_pair", 100, {{"sha256", std::string(64, 'e')}, {"owner", alice}});
    ASSERT_FALSE(pair.empty());
    chain.platform.set_fault("/oi/oracle/otx/", FakeFault{500});
    chain.woc.set_fault(std::string("/v1/bsv/main/address/") + kTitleWatchAddress, FakeFault{500});

    std::vector<KvArtTitleRow> rows;
    std::string cert;
    EXPECT_EQ(art_title_chain(kArt, rows, &cert), "OI otx missed and WhatsOnChain missed");
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(cert, std::string(64, 'c'));
}
