#include "art/art_inscribe.h"

#include "art/art_records.h"
#include "art/held_steps.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/inscription.h"
#include "chain/pay.h"
#include "chain/unsettled_inputs.h"
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

// An inscription whose sending is not known holds that step for its subject (the file, or the
// artwork a certificate names) until the services show it never went out.
TEST_F(ArtInscribeTest, AnInscriptionOfUnknownFateIsHeldForItsSubject) {
    chain.ledger.fund(kv_wallet().address, 60000);
    chain.ledger.fund(kv_wallet().address, 60000);
    const std::string pic = std::string(64, 'a') + "_0";
    struct Row {
        const char* name;
        const char* step;
        std::string body, subject, other_body;
    } rows[] = {
        {"artwork", "inscribe", "\x89PNG held", sha256_hex(std::string("\x89PNG held")), "\x89PNG another"},
        {"certificate", "certificate", R"({"pic":")" + pic + R"(","n":1})", pic, R"({"pic":")" + pic + R"(","n":2})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool artwork = std::string(row.step) == "inscribe";
        auto inscribe = [&](const std::string& body) {
            const Bytes content(body.begin(), body.end());
            return artwork ? inscribe_artwork("image/png", content, "held")
                           : inscribe_certificate_file("application/json", content, "held", "Certificate");
        };
        chain.platform.set_fault("/oi/submit", FakeFault{503});
        chain.arc.set_fault("/v1/tx", FakeFault{500});
        FakeFault garbled;
        garbled.bad_json = true;
        chain.woc.set_fault("/v1/bsv/main/tx/raw", garbled);
        std::string txid;
        ASSERT_TRUE(not_known_if_sent_txid(inscribe(row.body), txid));
        chain.platform.clear_faults();
        chain.arc.clear_faults();
        chain.woc.clear_faults();

        const std::string wait = std::string("error: the last ") + row.step +
                                 " of this artwork is not known to have been sent yet. Wait a few minutes and Refresh.";
        std::string why;
        EXPECT_TRUE(step_held(row.step, row.subject, why));
        EXPECT_EQ(inscribe(row.body), wait);
        // The certificate's subject is its artwork: another certificate of it waits too.
        EXPECT_EQ(inscribe(row.other_body).rfind(artwork ? "success: " : wait, 0), 0u);
        clock.advance(kUnsettledMinMs);
        {
            WalletLock lock = lock_wallet();
            std::string error;
            ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        }
        EXPECT_FALSE(step_held(row.step, row.subject, why));
        EXPECT_EQ(inscribe(row.body).rfind("success: ", 0), 0u);
        chain.ledger.mine();
    }
}

TEST_F(ArtInscribeTest, FeeEstimateFollowsTheSize) {
    std::string why = "stale";
    EXPECT_EQ(estimate_artwork_inscribe_fee(1000, &why), -1); // nothing to spend
    EXPECT_EQ(why, "");
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

    // A funded wallet whose every coin a payment of unknown fate holds is not called empty.
    kv_wallet().is_hd = true;
    std::vector<TxInput> inputs;
    for (const LedgerOutput& coin : chain.ledger.outputs_of_address(kv_wallet().address, false)) {
        TxInput input;
        input.txid = coin.txid;
        input.vout = coin.vout;
        input.sats = coin.sats;
        inputs.push_back(input);
    }
    {
        WalletLock lock = lock_wallet();
        mark_inputs_unsettled(std::string(64, '7'), inputs);
    }
    EXPECT_EQ(estimate_artwork_inscribe_fee(1000, &why), -1);
    EXPECT_EQ(why, kFeeCoinsUnsettled);
}
