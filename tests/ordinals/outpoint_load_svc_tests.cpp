#include "ordinals/outpoint_load.h"

#include "chain/inscription.h"
#include "fakes/chain_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

const char* const kNotLoaded = "could not load that outpoint from the chain yet. Wait a few seconds.";

struct Loaded {
    bool ok = false;
    TxInput input;
    std::string content_type, metadata, error;
    Bytes body;
};

Loaded load(const std::string& txid, std::uint32_t vout) {
    Loaded r;
    r.ok = woc_load_outpoint(txid, vout, r.input, r.content_type, r.body, r.metadata, r.error, 5);
    return r;
}

void expect_empty_input(const TxInput& in) {
    EXPECT_TRUE(in.txid.empty());
    EXPECT_EQ(in.sats, 0u);
    EXPECT_EQ(in.height, -1);
    EXPECT_TRUE(in.prev_script.empty());
    EXPECT_EQ(in.hash160, Hash160{});
}

struct OutpointLoadTest : FakeChainTest {
    TestKey owner = test_key_from_byte(0x61);

    Bytes inscription(const std::string& name = "", const std::string& tag = "") {
        return build_inscription_script(owner.hash, "image/png", Bytes{'P', 'N', 'G'}, build_name_metadata(name),
                                        seal_art_tag(tag));
    }

    // A WhatsOnChain whose transaction JSON and hex replies are whatever the test puts here; an
    // empty reply answers 404.
    FakeServer scripted;
    std::string json_reply_text, hex_reply_text;
    void use_scripted_replies() {
        auto answer = [](const std::string& text) {
            return text.empty() ? FakeResponse{404, "{}"} : FakeResponse{200, text, "text/plain"};
        };
        scripted.on("GET", ".*/tx/[0-9a-f]{64}",
                    [this, answer](const FakeRequest&) { return answer(json_reply_text); });
        scripted.on("GET", ".*/tx/[0-9a-f]{64}/hex",
                    [this, answer](const FakeRequest&) { return answer(hex_reply_text); });
        ServiceSettings s = service_settings();
        s.woc_base = scripted.base_url() + "/v1/bsv/main";
        set_service_settings(s);
    }
    // Hex of a one-output transaction paying `sats` to `script`.
    static std::string raw_hex(const Bytes& script, std::uint64_t sats) {
        TxInput in;
        in.txid = hex_id('9');
        return to_hex(serialize_tx({in}, {TxOutput{sats, script}}, false));
    }
};

TEST_F(OutpointLoadTest, UsableLayoutsLoadWithTheirInscription) {
    const Bytes p2pkh = p2pkh_script(owner.hash);
    const Bytes p2pkh_first = inscription();
    Bytes envelope_first(p2pkh_first.begin() + 25, p2pkh_first.end());
    envelope_first.insert(envelope_first.end(), p2pkh.begin(), p2pkh.end());
    Bytes p2pkh_and_more = p2pkh;
    p2pkh_and_more.push_back(0x6a);
    const Bytes bare_envelope(p2pkh_first.begin() + 25, p2pkh_first.end());

    struct Row {
        const char* what;
        Bytes script;
        std::uint64_t sats;
        bool ok;
        std::string content_type, metadata;
    } rows[] = {
        {"P2PKH then envelope, name and tag", inscription("Rose", "Artwork"), 1, true, "image/png",
         R"({"name":"Rose"})"},
        {"envelope then P2PKH", envelope_first, 1, true, "image/png", ""},
        {"bare P2PKH", p2pkh, 5000, true, "", ""},
        {"P2PKH with a byte more", p2pkh_and_more, 1, false, "", ""},
        {"envelope alone", bare_envelope, 1, false, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string txid = chain.ledger.fund_outputs({{p2pkh, 7}, {row.script, row.sats}});
        const int before = chain.woc.request_count();
        const Loaded r = load(txid, 1);
        ASSERT_EQ(r.ok, row.ok) << r.error;
        if (!row.ok) {
            EXPECT_EQ(r.error, kNotLoaded);
            EXPECT_EQ(chain.woc.request_count() - before, 2);
            expect_empty_input(r.input);
            continue;
        }
        EXPECT_EQ(chain.woc.request_count() - before, 1);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.input.txid, txid);
        EXPECT_EQ(r.input.vout, 1u);
        EXPECT_EQ(r.input.sats, row.sats);
        EXPECT_EQ(r.input.height, -1);
        EXPECT_EQ(r.input.prev_script, row.script);
        EXPECT_EQ(r.input.hash160, owner.hash);
        EXPECT_TRUE(r.input.script_sig.empty() && r.input.priv_hex.empty() && r.input.pub_hex.empty());
        EXPECT_EQ(r.content_type, row.content_type);
        EXPECT_EQ(r.body, row.content_type.empty() ? Bytes{} : Bytes({'P', 'N', 'G'}));
        EXPECT_EQ(r.metadata, row.metadata);
    }

    EXPECT_EQ(load(hex_id('4'), 0).error, kNotLoaded);
}

TEST_F(OutpointLoadTest, MalformedOutpointsAskNothing) {
    const std::string id = hex_id('a');
    struct Row {
        std::string txid;
        std::uint32_t vout;
    } rows[] = {{id.substr(1), 0}, {id + "a", 0}, {id.substr(1) + "g", 0}, {"", 0}, {id, 0x80000000u}};
    for (const Row& row : rows) {
        const Loaded r = load(row.txid, row.vout);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "bad outpoint.") << row.txid << " " << row.vout;
        expect_empty_input(r.input);
    }
    EXPECT_EQ(chain.woc.request_count(), 0);
    EXPECT_EQ(load(upper_copy(id), 0x7FFFFFFFu).error, kNotLoaded);
}

TEST_F(OutpointLoadTest, ValueOfTheTransactionJson) {
    use_scripted_replies();
    const std::string lock = to_hex(p2pkh_script(owner.hash));
    struct Row {
        const char* value; // JSON text of "value"; null leaves it out
        bool ok;
        std::uint64_t sats;
    } rows[] = {
        {"0.00000001", true, 1}, {"0.00012345", true, 12345}, {"0.000000006", true, 1}, {"0", true, 1},
        {"-1", true, 1},         {"-0.5", true, 1},           {"\"5\"", true, 1},       {nullptr, true, 1},
        {"7", true, 7},          {"1e300", false, 0},         {"21000001.0", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value ? row.value : "absent");
        const std::string value = row.value ? std::string(R"("value":)") + row.value + "," : "";
        json_reply_text = R"({"vout":[{)" + value + R"("scriptPubKey":{"hex":")" + lock + R"("}}]})";
        const Loaded r = load(hex_id('b'), 0);
        EXPECT_EQ(r.ok, row.ok);
        EXPECT_EQ(r.input.sats, row.sats);
    }
}

TEST_F(OutpointLoadTest, HexSourceStandsInForAnUnusableJson) {
    use_scripted_replies();
    const Bytes script = inscription("Rose");
    const std::string raw = raw_hex(script, 1);
    const std::string good_out = R"({"value":1e-8,"scriptPubKey":{"hex":")" + to_hex(script) + R"("}})";
    hex_reply_text = raw + "\"\r\n";
    for (const std::string& bad : {
             std::string("not json"),
             std::string("[]"),
             std::string(R"({"vout":{}})"),
             std::string(R"({"vout":[]})"),
             std::string(R"({"vout":[5]})"),
             R"({"vout":[{"scriptPubKey":")" + to_hex(script) + R"("}]})",
             std::string(R"({"vout":[{"scriptPubKey":{"hex":5}}]})"),
             R"({"vout":[{"scriptPubKey":{"hex":")" + std::string(100000, 'a') + R"("}}]})",
             R"({"vout":[{"value":1e300,"scriptPubKey":{"hex":")" + to_hex(script) + R"("}}]})",
             R"({"vout":[)" + good_out.substr(0, good_out.size() - 6),
         }) {
        SCOPED_TRACE(bad.substr(0, 60));
        json_reply_text = bad;
        const Loaded r = load(hex_id('c'), 0);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.input.sats, 1u);
        EXPECT_EQ(r.input.prev_script, script);
        EXPECT_EQ(r.input.hash160, owner.hash);
        EXPECT_EQ(r.metadata, R"({"name":"Rose"})");
    }

    json_reply_text.clear();
    for (const std::string& bad : {std::string("00112233445566778899"), std::string(40, 'z'),
                                   raw.substr(0, raw.size() - 10), raw_hex(script, 0), raw_hex(Bytes{0x6a}, 9)}) {
        SCOPED_TRACE(bad.substr(0, 60));
        hex_reply_text = bad;
        const Loaded r = load(hex_id('c'), 0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, kNotLoaded);
        expect_empty_input(r.input);
    }
    hex_reply_text = raw;
    EXPECT_FALSE(load(hex_id('c'), 1).ok);
}

} // namespace
