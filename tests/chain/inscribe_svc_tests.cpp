#include "chain/inscribe.h"

#include "chain/broadcast.h"
#include "chain/inscription.h"
#include "chain/pay.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

namespace {

constexpr std::size_t kArtworkCap = 10485760;
const char* kArtworkCapText = "file is over 10 MB. Shrink it first.";

struct InscribeTest : FakeChainTest {
    WalletLock lock = lock_wallet();

    InscribeTest() { use_test_hd_wallet("inscribe test", {0, 0, 0, 0, 0, 3}); }

    // The first output of the transaction a success names.
    LedgerOutput inscribed_output(const std::string& result) {
        std::string txid;
        EXPECT_TRUE(parse_success_txid(result, txid)) << result;
        LedgerOutput out;
        EXPECT_TRUE(chain.ledger.find_output(txid, 0, out, false));
        return out;
    }
};

} // namespace

TEST_F(InscribeTest, ArtworkIsOutputZeroSealedAtTheOrdinalsAddress) {
    chain.ledger.fund(kv_wallet().address, 50000);
    Bytes content(4096);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<std::uint8_t>(i * 7);
    const std::string name = build_name_metadata("Harbour at dusk");
    const std::string result = inscribe_file(lock, "image/png", content, name, kArtworkCap, kArtworkCapText, "Artwork");
    const LedgerOutput out = inscribed_output(result);
    EXPECT_EQ(out.sats, 1u);
    const FakeInscription found = fake_read_inscription(out.script);
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.owner, derive_ordinals_key());
    EXPECT_NE(found.owner, kv_wallet().address);
    EXPECT_EQ(found.content_type, "image/png");
    EXPECT_EQ(found.body, content);
    EXPECT_EQ(found.metadata, name);
    EXPECT_EQ(found.map.at("app"), "Corvane");
    EXPECT_EQ(open_art_tag(found.map.at("tag")), "Artwork");
}

// The artwork's 10 MB is only shown to reach the payment (unfunded), to keep the test fast.
TEST_F(InscribeTest, ExactlyTheCapPassesOneByteMoreIsRefused) {
    struct Row {
        const char* name;
        const char* type;
        std::size_t cap;
        const char* cap_text;
        std::uint64_t funded;
        const char* paid_answer; // start of the answer for exactly the cap; "" for a success
    } rows[] = {
        {"certificate", "application/json", 102400, "file is over 100 KB. Shrink it first.", 60000, ""},
        {"artwork", "image/png", kArtworkCap, kArtworkCapText, 0, "error: insufficient funds. Need 1048"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        chain.woc.reset_counts();
        const Bytes over(row.cap + 1, 0x5A);
        EXPECT_EQ(inscribe_file(lock, row.type, over, "", row.cap, row.cap_text, "Artwork"),
                  std::string("error: ") + row.cap_text);
        EXPECT_EQ(chain.woc.request_count(), 0);

        if (row.funded) chain.ledger.fund(kv_wallet().address, row.funded);
        const Bytes exact(row.cap, 0x5A);
        const std::string result = inscribe_file(lock, row.type, exact, "", row.cap, row.cap_text, "Artwork");
        if (*row.paid_answer) {
            EXPECT_EQ(result.rfind(row.paid_answer, 0), 0u) << result;
        } else {
            EXPECT_EQ(fake_read_inscription(inscribed_output(result).script).body.size(), row.cap);
        }
    }
}

TEST_F(InscribeTest, RefusesBadRequestsBeforeAnyRequest) {
    chain.ledger.fund(kv_wallet().address, 20000);
    const Bytes some{1, 2, 3};
    struct Row {
        const char* name;
        std::string type;
        Bytes content;
        std::size_t cap;
        std::string cap_text;
        std::string tag;
        std::string answer;
    } rows[] = {
        {"no content type", "", some, 10, "", "", "error: content type missing or too long."},
        {"81-byte content type", std::string(81, 'a'), some, 10, "", "", "error: content type missing or too long."},
        {"tab in content type", "text/\tplain", some, 10, "", "", "error: content type must be ASCII."},
        {"non-ASCII content type", "image/p\xC3\xA9g", some, 10, "", "", "error: content type must be ASCII."},
        {"no content", "image/png", {}, 10, "", "", "error: nothing to inscribe."},
        {"over the cap, no cap text", "image/png", some, 2, "", "", "error: file is over the cap. Shrink it first."},
        {"33-byte tag", "image/png", some, 10, "", std::string(33, 't'), "error: could not seal the artwork tag."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(inscribe_file(lock, row.type, row.content, "", row.cap, row.cap_text, row.tag), row.answer);
    }
    EXPECT_EQ(chain.woc.request_count() + chain.platform.request_count(), 0);
}

TEST_F(InscribeTest, NeedsAnHdWallet) {
    const Bytes some{1, 2, 3};
    KvCofferlyWallet& w = kv_wallet();
    w.is_hd = false;
    EXPECT_EQ(inscribe_file(lock, "image/png", some, "", 10, "", "Artwork"), "error: need an HD Cofferly wallet.");
    reset_wallet_state_for_tests();
    EXPECT_EQ(inscribe_file(lock, "image/png", some, "", 10, "", "Artwork"),
              "error: no Kestrava Cofferly wallet. Use cofferly create first.");
    // An empty content is refused before the wallet is looked at.
    EXPECT_EQ(inscribe_file(lock, "image/png", {}, "", 10, "", "Artwork"), "error: nothing to inscribe.");
}
