#include "chain/payloads.h"

#include "chain/broadcast.h"
#include "chain/pay.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <functional>

using nlohmann::json;

namespace {

std::string address_of(std::uint8_t fill) {
    Hash160 h;
    h.fill(fill);
    return base58check_encode(h);
}

Bytes script_to(const std::string& address) {
    return p2pkh_script(test_hash_of(address));
}

struct PayloadTest : FakeChainTest {
    std::string receive_address;
    const std::string zuz = address_of(0x21), otx = address_of(0x22), pair_fee = address_of(0x23),
                      watch = address_of(0x24);

    PayloadTest() {
        use_test_hd_wallet("payload test", {0, 1, 0, 0, 0, 0});
        receive_address = kv_wallet().address;
    }

    LedgerTx paid(const std::string& result) {
        std::string txid;
        EXPECT_TRUE(parse_success_txid(result, txid)) << result;
        LedgerTx tx;
        EXPECT_TRUE(chain.ledger.find_tx(txid, tx, false));
        return tx;
    }
};

} // namespace

TEST_F(PayloadTest, OutputsInTheirOrderThenChange) {
    const std::string payload = R"({"protocol":"KV-Art","type":"art_pair"})";
    const Bytes record = op_return_script(Bytes(payload.begin(), payload.end()));
    struct Row {
        const char* name;
        std::function<std::string()> send;
        std::vector<std::pair<Bytes, std::uint64_t>> outputs; // before the change
    } rows[] = {
        {"report",
         [&] { return send_report_payload(payload); },
         {{script_to(kReportFeeAddress), 1000}, {script_to(kReportOracleAddress), 1}, {record, 0}}},
        {"art pair",
         [&] { return send_art_pair_payload(payload, zuz, otx, pair_fee); },
         {{script_to(pair_fee), 200000}, {script_to(zuz), 1}, {script_to(otx), 1}, {record, 0}}},
        {"gallery", [&] { return send_gallery_payload(payload, watch); }, {{script_to(watch), 1}, {record, 0}}},
    };
    chain.ledger.fund(receive_address, 1000000);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const LedgerTx tx = paid(row.send());
        ASSERT_EQ(tx.outputs.size(), row.outputs.size() + 1);
        for (std::size_t i = 0; i < row.outputs.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(tx.outputs[i].script, row.outputs[i].first);
            EXPECT_EQ(tx.outputs[i].sats, row.outputs[i].second);
        }
        EXPECT_EQ(tx.outputs.back().address, receive_address);
    }
}

TEST_F(PayloadTest, RefusalsComeInTheirOrder) {
    const std::string p = "{}";
    const char* not_connected =
        "error: Cofferly wallet not connected. Create or Restore in Cofferly, then Connect in the app.";
    const char* unassigned =
        "error: ZUZ and OTX watches are not assigned yet. Create both addresses in Cofferly, then pin them.";
    struct Row {
        const char* name;
        std::function<std::string()> send;
        std::string answer;
    } rows[] = {
        {"report, empty", [&] { return send_report_payload(""); }, "error: empty report payload."},
        {"pair, empty before unassigned", [&] { return send_art_pair_payload("", "", "", ""); },
         "error: empty art pair payload."},
        {"pair, no ZUZ", [&] { return send_art_pair_payload(p, "", otx, pair_fee); }, unassigned},
        {"pair, bad ZUZ", [&] { return send_art_pair_payload(p, "1nope", "1nope", ""); },
         "error: ZUZ address decode failed."},
        {"pair, bad OTX", [&] { return send_art_pair_payload(p, zuz, "1nope", ""); },
         "error: OTX address decode failed."},
        {"pair, no fee address", [&] { return send_art_pair_payload(p, zuz, otx, ""); },
         "error: pair fee address decode failed."},
        {"gallery, empty", [&] { return send_gallery_payload("", ""); }, "error: empty gallery payload."},
        {"gallery, no watch", [&] { return send_gallery_payload(p, ""); }, "error: gallery watch is not assigned."},
        {"gallery, bad watch", [&] { return send_gallery_payload(p, "3" + watch.substr(1)); },
         "error: gallery watch address decode failed."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.send(), row.answer);
    }
    EXPECT_EQ(chain.woc.request_count(), 0);

    reset_wallet_state_for_tests();
    EXPECT_EQ(send_report_payload(""), not_connected);
    EXPECT_EQ(send_art_pair_payload("", "", "", ""), not_connected);
    EXPECT_EQ(send_gallery_payload("", ""), not_connected);
}

TEST(OfferPayloadInputs, ReadsTheOfferTransactionsInputs) {
    const std::string a(64, 'a'), b = "0123456789abcdef" + std::string(48, 'b');
    const std::string hex = test_offer_hex({{a, 1}, {b, 0}, {a, 1}});
    std::string spaced;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        spaced +=
            static_cast<char>(std::toupper(hex[i])) + std::string(1, static_cast<char>(std::toupper(hex[i + 1]))) + " ";
    const std::vector<std::string> keys{a + "_1", b + "_0", a + "_1"};
    struct Row {
        const char* name;
        std::string payload;
        std::vector<std::string> keys;
    } rows[] = {
        {"clean hex", json{{"offer", hex}}.dump(), keys},
        {"upper case with blanks", json{{"offer", spaced}}.dump(), keys},
        {"no offer", R"({"frame":3})", {}},
        {"78 hex digits", json{{"offer", hex.substr(0, 78)}}.dump(), {}},
        {"odd digit count", json{{"offer", hex + "0"}}.dump(), {}},
        {"cut transaction", json{{"offer", hex.substr(0, hex.size() - 20)}}.dump(), {}},
        {"offer not text", R"({"offer":12})", {}},
        {"not JSON", "{\"offer\":", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> out{"stale"};
        offer_payload_inputs(row.payload, out);
        EXPECT_EQ(out, row.keys);
    }
}

TEST_F(PayloadTest, GalleryRecordIsNotPaidWithTheOffersCoins) {
    const std::string offered = chain.ledger.fund(receive_address, 90000);
    const std::string payload = json{{"offer", test_offer_hex({{offered, 0}})}}.dump();
    EXPECT_EQ(send_gallery_payload(payload, watch),
              "error: need a bit more BSV so the offer and the 1-sat hook do not share coins.");

    const std::string other = chain.ledger.fund(receive_address, 5000);
    clock.advance(10000); // past the listing's freshness
    const LedgerTx tx = paid(send_gallery_payload(payload, watch));
    ASSERT_EQ(tx.inputs.size(), 1u);
    EXPECT_EQ(tx.inputs[0].prev_txid, other);
}
