#include "art/art_inscribe.h"

#include "chain/inscription.h"
#include "chain/pay.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr std::uint64_t kArtworkCap = 10485760;
constexpr std::uint64_t kCertificateCap = 102400;

struct ArtInscribeTest : FakeChainTest {
    SinkCapture sinks;

    ArtInscribeTest() { use_test_hd_wallet("art inscribe test", {0, 0, 0, 0, 0, 3}); }

    const LocalOrd* owned(const std::string& origin) {
        const std::vector<LocalOrd>& list = kv_wallet().ord_owned;
        const auto it = std::find_if(list.begin(), list.end(), [&](const LocalOrd& o) { return o.origin == origin; });
        return it == list.end() ? nullptr : &*it;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(sinks.mutex);
        return sinks.lines;
    }
    std::size_t error_events() {
        const std::string mark = build_status_event("[KV-COFFERLY]", "error");
        std::size_t count = 0;
        for (const std::string& event : events())
            count += event.rfind(mark, 0) == 0 ? 1 : 0;
        return count;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> guard(sinks.mutex);
        return sinks.events;
    }
};

} // namespace

TEST_F(ArtInscribeTest, SuccessIsRecordedWithItsTag) {
    chain.ledger.fund(kv_wallet().address, 60000);
    struct Row {
        const char* name;
        bool artwork;
        std::string tag;
        const char* log;
        std::string saved_tag;
    } rows[] = {
        {"artwork", true, "", "Art picture inscribed ", "Artwork"},
        {"certificate", false, "Certificate", "Inscribed ", "Certificate"},
        {"certificate without a tag", false, "", "Inscribed ", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes content{'{', '}'};
        const std::string result = row.artwork
                                       ? inscribe_artwork("image/png", content, " Harbour \n")
                                       : inscribe_certificate_file("application/json", content, "Harbour", row.tag);
        std::string txid;
        ASSERT_TRUE(parse_success_txid(result, txid)) << result;
        const std::string origin = txid + "_0";
        const LocalOrd* ord = owned(origin);
        ASSERT_NE(ord, nullptr);
        EXPECT_TRUE(ord->created);
        EXPECT_FALSE(ord->type.empty());
        EXPECT_EQ(load_art_tag(origin), row.saved_tag);
        ASSERT_FALSE(lines().empty());
        EXPECT_EQ(lines().back(), row.log + origin + "\n");
    }
    EXPECT_EQ(error_events(), 0u);
}

TEST_F(ArtInscribeTest, FailuresAreReportedAndNothingIsRecorded) {
    struct Row {
        const char* name;
        std::uint64_t size;
        bool artwork;
        std::string result;
    } rows[] = {
        {"certificate one byte over", kCertificateCap + 1, false, "error: file is over 100 KB. Shrink it first."},
        {"artwork one byte over", kArtworkCap + 1, true, "error: file is over 10 MB. Shrink it first."},
        {"unfunded", kCertificateCap, false, "error: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes content(static_cast<std::size_t>(row.size), 0x5A);
        const std::size_t events_before = error_events();
        const std::string result = row.artwork
                                       ? inscribe_artwork("image/png", content, "big")
                                       : inscribe_certificate_file("application/json", content, "big", "Certificate");
        EXPECT_EQ(result.rfind(row.result, 0), 0u) << result;
        ASSERT_FALSE(events().empty());
        EXPECT_EQ(events().back(), build_status_event("[KV-COFFERLY]", "error", result));
        EXPECT_EQ(error_events(), events_before + 1);
    }
    EXPECT_TRUE(kv_wallet().ord_owned.empty());
    EXPECT_TRUE(lines().empty());
}

TEST_F(ArtInscribeTest, FeeEstimateFollowsTheSize) {
    EXPECT_EQ(estimate_artwork_inscribe_fee(1000), -1); // nothing to spend
    chain.ledger.fund(kv_wallet().address, 2000000);
    clock.advance(10000); // past the freshness of the coin lists just read
    const std::int64_t small = estimate_artwork_inscribe_fee(1000);
    const std::int64_t large = estimate_artwork_inscribe_fee(50000);
    EXPECT_GT(small, 0);
    EXPECT_GT(large, small + 40); // the placeholder has the file's length
    EXPECT_GT(estimate_artwork_inscribe_fee(kArtworkCap), large);

    chain.woc.reset_counts();
    EXPECT_EQ(estimate_artwork_inscribe_fee(0), -1);
    EXPECT_EQ(estimate_artwork_inscribe_fee(kArtworkCap + 1), -1);
    kv_wallet().is_hd = false;
    EXPECT_EQ(estimate_artwork_inscribe_fee(1000), -1);
    EXPECT_EQ(chain.woc.request_count(), 0);
    EXPECT_TRUE(chain.ledger.mempool_txids().empty()); // an estimate pays nothing
}
