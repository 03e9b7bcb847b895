#include "ordinals/outpoint_load.h"

#include "chain/inscription.h"
#include "fakes/chain_fixture.h"

#include <gtest/gtest.h>

namespace {

const std::string kNotLoaded = "could not load that outpoint from the chain yet. Wait a few seconds.";

struct OutpointLoadTest : FakeChainTest {
    TestKey owner = test_key_from_byte(0x61);
    const Bytes lock = p2pkh_script(owner.hash);
    const Bytes inscribed = build_inscription_script(owner.hash, "image/png", Bytes{'P'}, R"({"name":"Rose"})", "");
    TxInput input;
    std::string content_type, metadata, error;
    Bytes body;

    bool load(const std::string& txid, std::uint32_t vout) {
        return woc_load_outpoint(txid, vout, input, content_type, body, metadata, error, 5);
    }

    // A WhatsOnChain whose JSON and hex replies are the test's texts; an empty one answers 404.
    FakeServer woc;
    std::string tx_reply, hex_reply;
    void use_scripted_woc() {
        auto answer = [](const std::string& text) { return FakeResponse{text.empty() ? 404 : 200, text}; };
        woc.on("GET", ".*/tx/[0-9a-f]{64}", [this, answer](const FakeRequest&) { return answer(tx_reply); });
        woc.on("GET", ".*/tx/[0-9a-f]{64}/hex", [this, answer](const FakeRequest&) { return answer(hex_reply); });
        ServiceSettings s = service_settings();
        s.woc_base = woc.base_url() + "/v1/bsv/main";
        set_service_settings(s);
    }
    std::string vout_json(const std::string& value, const std::string& script_hex) {
        return R"({"vout":[{)" + value + R"("scriptPubKey":{"hex":")" + script_hex + R"("}}]})";
    }
};

TEST_F(OutpointLoadTest, UsableLayoutsLoadWithTheirInscription) {
    Bytes envelope_first(inscribed.begin() + 25, inscribed.end()), lock_and_more = lock;
    const Bytes envelope_only = envelope_first;
    envelope_first.insert(envelope_first.end(), lock.begin(), lock.end());
    lock_and_more.push_back(0x6a);
    struct Row {
        const char* what;
        Bytes script;
        std::uint64_t sats;
        bool ok;
    } rows[] = {{"P2PKH then envelope", inscribed, 1, true},
                {"envelope then P2PKH", envelope_first, 1, true},
                {"bare P2PKH", lock, 5000, true},
                {"P2PKH and a byte more", lock_and_more, 1, false},
                {"envelope alone", envelope_only, 1, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string txid = chain.ledger.fund_outputs({{lock, 7}, {row.script, row.sats}});
        const int before = chain.woc.request_count();
        ASSERT_EQ(load(txid, 1), row.ok);
        EXPECT_EQ(chain.woc.request_count() - before, row.ok ? 1 : 2);
        EXPECT_EQ(error, row.ok ? "" : kNotLoaded);
        EXPECT_EQ(input.txid, row.ok ? txid : "");
        EXPECT_EQ(input.vout, row.ok ? 1u : 0u);
        EXPECT_EQ(input.sats, row.ok ? row.sats : 0u);
        EXPECT_EQ(input.prev_script, row.ok ? row.script : Bytes{});
        EXPECT_EQ(input.hash160, row.ok ? owner.hash : Hash160{});
        EXPECT_EQ(input.height, -1);
        if (row.ok) {
            EXPECT_EQ(content_type + metadata, row.sats == 1 ? R"(image/png{"name":"Rose"})" : "");
        }
    }

    const std::string id = hex_id('a');
    for (const std::string& bad : {id.substr(1), id + "a", id.substr(1) + "g"}) {
        EXPECT_FALSE(load(bad, 0));
        EXPECT_EQ(error, "bad outpoint.") << bad;
    }
    EXPECT_FALSE(load(id, 0x80000000u));
    EXPECT_EQ(error, "bad outpoint.");
    EXPECT_EQ(chain.woc.request_count(), 7);
    EXPECT_FALSE(load(upper_copy(id), 0x7FFFFFFFu));
    EXPECT_EQ(error, kNotLoaded);
}

TEST_F(OutpointLoadTest, ValueOfTheTransactionJson) {
    use_scripted_woc();
    struct Row {
        std::string value;
        std::uint64_t sats; // 0: not loaded
    } rows[] = {
        {"0.00000001", 1}, {"0.00012345", 12345}, {"0.000000006", 1}, {"0", 1},          {"-0.5", 1},    {"\"5\"", 1},
        {"", 1},           {"7", 700000000},      {"1e300", 0},       {"21000001.0", 0}, {"21000001", 0}};
    for (const Row& row : rows) {
        tx_reply = vout_json(row.value.empty() ? "" : R"("value":)" + row.value + ",", to_hex(lock));
        EXPECT_EQ(load(hex_id('b'), 0), row.sats != 0) << row.value;
        EXPECT_EQ(input.sats, row.sats) << row.value;
    }
}

TEST_F(OutpointLoadTest, HexSourceStandsInForAnUnusableJson) {
    use_scripted_woc();
    TxInput spent;
    spent.txid = hex_id('9');
    auto raw_hex = [&](const Bytes& script, std::uint64_t sats) {
        return to_hex(serialize_tx({spent}, {TxOutput{sats, script}}, false));
    };
    const std::string raw = raw_hex(inscribed, 1), good = vout_json("", to_hex(inscribed));
    hex_reply = raw + "\"\r\n";
    for (const std::string& bad :
         {std::string("not json"), std::string("[]"), std::string(R"({"vout":{}})"), std::string(R"({"vout":[5]})"),
          R"({"vout":[{"scriptPubKey":")" + to_hex(inscribed) + R"("}]})", vout_json("", std::string(100000, 'a')),
          std::string(R"({"vout":[{"scriptPubKey":{"hex":5}}]})"), good.substr(0, good.size() - 5)}) {
        tx_reply = bad;
        ASSERT_TRUE(load(hex_id('c'), 0)) << bad.substr(0, 60);
        EXPECT_EQ(input.sats, 1u);
        EXPECT_EQ(input.prev_script, inscribed);
        EXPECT_EQ(metadata, R"({"name":"Rose"})");
    }

    tx_reply.clear();
    for (const std::string& bad : {std::string(20, '0'), std::string(40, 'z'), raw.substr(0, raw.size() - 10),
                                   raw_hex(inscribed, 0), raw_hex(Bytes{0x6a}, 9)}) {
        hex_reply = bad;
        EXPECT_FALSE(load(hex_id('c'), 0)) << bad.substr(0, 60);
        EXPECT_EQ(error, kNotLoaded);
        EXPECT_TRUE(input.txid.empty() && input.prev_script.empty());
    }
}

} // namespace
