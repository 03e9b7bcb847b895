#include "chain/gorillapool.h"

#include "chain/inscription.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_gorillapool.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/http_client.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <condition_variable>

using nlohmann::json;

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";

json map_data(const std::string& app, const std::string& tag, const std::string& type, const std::string& name = "") {
    json data = {{"map", {{"app", app}}}, {"insc", {{"file", {{"type", type}}}}}};
    if (!tag.empty()) data["map"]["tag"] = tag;
    if (!name.empty()) data["map"]["name"] = name;
    return data;
}

} // namespace

TEST(GorillaPoolTxo, OriginsAndInscriptionData) {
    struct Row {
        const char* what;
        json txo;
        std::string outpoint;
        bool inscription, malformed;
    } rows[] = {
        {"string origin", {{"origin", "abc_1"}}, "abc_1", false, false},
        {"object origin",
         {{"origin", {{"outpoint", "abc_2"}, {"data", {{"insc", json::object()}}}}}},
         "abc_2",
         true,
         false},
        {"origin without outpoint", {{"origin", json::object()}, {"outpoint", "own_0"}}, "", false, false},
        {"no origin, own outpoint", {{"outpoint", "own_0"}, {"data", {{"bsv21", json::object()}}}}, "", true, false},
        {"numeric origin outpoint", {{"origin", {{"outpoint", 5}}}}, "", false, true},
        {"map as text", {{"origin", "o_0"}, {"data", {{"map", "x"}}}}, "o_0", false, false},
        {"empty map", {{"origin", "o_0"}, {"data", {{"map", json::object()}}}}, "o_0", false, false},
        {"null data", {{"data", nullptr}}, "", false, false},
        {"not an object", json::array({1}), "", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        bool malformed = false;
        EXPECT_EQ(txo_outpoint(row.txo, &malformed), row.outpoint);
        EXPECT_EQ(malformed, row.malformed);
        EXPECT_EQ(txo_is_inscription(row.txo), row.inscription);
    }
}

TEST(GorillaPoolTxo, ArtKindsFromTheProgramsOwnMapData) {
    const std::string cert = seal_art_tag("Certificate");
    const std::string sixty(60, 'n');
    auto own = [](const json& data) { return json{{"data", data}}; };
    struct Row {
        const char* what;
        json txo;
        std::string name_in, kind, name_out;
    } rows[] = {
        // clang-format off
        {"tag opens", own(map_data("Corvane", cert, "image/png", " Rose\t\n")), "", "Certificate", "Rose"},
        {"70-char tag", own(map_data("Corvane", std::string(70, 'f'), "text/plain")), "", "Artwork", ""},
        {"69-char tag, image", own(map_data("Corvane", std::string(69, 'f'), "image/webp")), "", "Artwork", ""},
        {"other text, json", own(map_data("Corvane", seal_art_tag("Portrait"), "application/json")), "", "Certificate", ""},
        {"json with parameters", own(map_data("Corvane", "", "application/json; charset=utf-8")), "", "", ""},
        {"other app", own(map_data("Gallery", cert, "image/png", "Rose")), "", "", ""},
        {"name kept", own(map_data("Corvane", cert, "image/png", "Rose")), "Mine", "Certificate", "Mine"},
        {"long name", own(map_data("Corvane", "", "image/png", sixty)), "", "Artwork", sixty.substr(0, 48)},
        {"origin decides, own name stays", {{"data", map_data("Corvane", "", "text/plain", "Own")},
            {"origin", {{"data", map_data("Corvane", cert, "image/png", "First")}}}}, "", "Certificate", "Own"},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = row.name_in;
        bool malformed = false;
        EXPECT_EQ(txo_art_kind(row.txo, &name, &malformed), row.kind);
        EXPECT_EQ(name, row.name_out);
        EXPECT_FALSE(malformed);
    }
    bool malformed = false;
    EXPECT_EQ(txo_art_kind(own({{"map", {{"app", 1}}}}), nullptr, &malformed), "");
    EXPECT_TRUE(malformed);
    EXPECT_EQ(txo_content_type(rows[8].txo), "text/plain");
    EXPECT_EQ(txo_content_type({{"origin", {{"data", map_data("x", "", "image/gif")}}}}), "image/gif");
}

TEST(GorillaPoolTxo, IdentityRecordsAndCredentials) {
    std::string name;
    EXPECT_TRUE(txo_map_name({{"origin", {{"data", {{"map", {{"app", "KestravaId"}, {"name", " Ann "}}}}}}}}, &name));
    EXPECT_EQ(name, "Ann");
    EXPECT_FALSE(txo_map_name({{"data", map_data("Corvane", "", "image/png", "Rose")}}, &name));

    const json cred = {{"protocol", "KV-Identity"}, {"type", "id_issue"}, {"kind", "id_age"}};
    json out;
    EXPECT_TRUE(txo_json_protocol({{"origin", {{"data", {{"insc", {{"json", cred}}}}}}}}, out));
    EXPECT_EQ(out, cred);
    bool malformed = false;
    EXPECT_FALSE(txo_json_protocol({{"data", {{"insc", {{"json", {{"protocol", 2}}}}}}}}, out, &malformed));
    EXPECT_TRUE(malformed);
    EXPECT_TRUE(out.is_null());

    for (const char* kind : {"ID_AGE", "id_age ", "id_other"})
        EXPECT_EQ(id_kind_label(kind), "") << kind;
    EXPECT_EQ(id_kind_label("id_code_sign"), "code-signing-ID");

    reset_wallet_state_for_tests();
    kv_wallet().identity_pub = "02abcdef";
    struct Row {
        json credential;
        std::string title;
    } rows[] = {
        {{{"kind", "id_age"}, {"subject", "02ABCDEF"}, {"subject_handle", "me@x"}}, "ID-age"},
        {{{"kind", "id_age"}, {"subject", "03ff"}, {"subject_handle", " alice@kestrava.net"}}, "ID-age (alice)"},
        {{{"kind", "id_bank"}, {"subject", "03ff"}, {"subject_handle", std::string(40, 'h')}},
         "ID-bank (" + std::string(32, 'h') + ")"},
        {{{"kind", "id_nope"}, {"subject", "03ff"}}, ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(credential_title(row.credential), row.title) << row.credential.dump();

    const std::string body = json{{"protocol", "KV-Identity"}, {"type", "id_issue"}, {"kind", "id_addr"}}.dump();
    EXPECT_EQ(credential_title_of_txo(body), "ID-addr");
    EXPECT_EQ(credential_title_of_txo(body + std::string(200000 - body.size(), ' ')), "ID-addr");
    for (const std::string& bad : {" " + body, body + std::string(200001 - body.size(), ' '), std::string("{"),
                                   std::string(""), json{{"protocol", "KV-Identity"}}.dump()})
        EXPECT_EQ(credential_title_of_txo(bad), "") << bad.substr(0, 40);
    reset_wallet_state_for_tests();
}

struct GorillaPoolTest : testing::Test {
    TempDataDir dir;
    FakeClock clock;
    FakeChain chain;
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings settings{settings_for(chain, gp)};
    TestKey owner = test_key_from_byte(0x31);
    TestKey buyer = test_key_from_byte(0x32);

    std::string inscribe(const TestKey& to, const std::string& type, const std::string& content,
                         const std::string& name, const std::string& tag) {
        const Bytes script = build_inscription_script(to.hash, type, Bytes(content.begin(), content.end()),
                                                      build_name_metadata(name), seal_art_tag(tag));
        return chain.ledger.fund_outputs({{script, 1}});
    }

    // A scripted GorillaPool whose two listings answer whatever the test puts here.
    FakeServer scripted;
    std::string txos_reply, tokens_reply;
    void use_scripted_replies() {
        scripted.on("GET", ".*/txos/address/.*", [this](const FakeRequest&) { return FakeResponse{200, txos_reply}; });
        scripted.on("GET", ".*/bsv20/.*", [this](const FakeRequest&) { return FakeResponse{200, tokens_reply}; });
        ServiceSettings s = settings_for(chain, gp);
        s.gorillapool_base = scripted.base_url() + "/api";
        set_service_settings(s);
    }
};

TEST_F(GorillaPoolTest, OwnInscriptionReadsBackThroughTheIndexAndFollowsItsOrigin) {
    const std::string art = inscribe(owner, "image/png", "PNG", "  Blue Rose ", "Artwork");
    const std::string plain_one = chain.ledger.fund(owner.address, 1);
    chain.ledger.fund(owner.address, 5000);
    const std::string token =
        inscribe(owner, "application/bsv-20", R"({"p":"bsv-20","op":"transfer","tick":"ABC","amt":"5"})", "", "");
    const std::string minted =
        inscribe(owner, "application/bsv-20", R"({"p":"bsv-20","op":"deploy+mint","amt":"9"})", "", "");

    std::unordered_set<std::string> outpoints;
    ASSERT_TRUE(gp_ord_outpoints_at_address(owner.address, outpoints));
    EXPECT_EQ(outpoints, (std::unordered_set<std::string>{art + ":0", token + ":0", minted + ":0"}));
    EXPECT_FALSE(outpoints.count(plain_one + ":0"));

    std::string body, error;
    ASSERT_TRUE(http_get(gp.api_base() + "/txos/" + art + "_0", body, error, 5, false));
    json txo = json::parse(body);
    std::string name;
    EXPECT_EQ(txo_art_kind(txo, &name), "Artwork");
    EXPECT_EQ(name, "Blue Rose");
    EXPECT_EQ(txo_content_type(txo), "image/png");
    EXPECT_EQ(txo_outpoint(txo), art + "_0");
    ASSERT_TRUE(http_get(gp.server.base_url() + "/content/" + art + "_0", body, error, 5, false));
    EXPECT_EQ(body, "PNG");

    // Moving the 1-sat coin keeps its origin; the new holder's listing shows it with the origin's data.
    std::vector<TxInput> inputs(1);
    inputs[0].txid = art;
    inputs[0].sats = 1;
    ASSERT_TRUE(base64_decode(txo["script"].get<std::string>(), inputs[0].prev_script));
    const std::vector<TxOutput> outputs = {TxOutput{1, p2pkh_script(buyer.hash)}};
    ASSERT_TRUE(sign_tx_input(inputs[0], inputs, outputs, owner.hash, owner.priv, owner.pub));
    std::string reason, moved;
    ASSERT_TRUE(chain.ledger.accept(serialize_tx(inputs, outputs, false), reason, &moved)) << reason;

    ASSERT_TRUE(gp_ord_outpoints_at_address(owner.address, outpoints));
    EXPECT_FALSE(outpoints.count(art + ":0"));
    ASSERT_TRUE(gp_ord_outpoints_at_address(buyer.address, outpoints));
    EXPECT_EQ(outpoints, (std::unordered_set<std::string>{moved + ":0"}));
    ASSERT_TRUE(http_get(gp.api_base() + "/txos/address/" + buyer.address + "/unspent", body, error, 5, false));
    txo = json::parse(body).at(0);
    EXPECT_EQ(txo_outpoint(txo), art + "_0");
    EXPECT_EQ(txo_art_kind(txo), "Artwork");
}

TEST_F(GorillaPoolTest, ServiceFaults) {
    inscribe(owner, "image/png", "PNG", "", "Artwork");
    std::unordered_set<std::string> outpoints;
    struct Row {
        const char* what;
        std::string prefix;
        FakeFault fault;
        bool ok;
        std::size_t count;
    } rows[] = {
        {"txos down", "/api/txos/", FakeFault{500}, false, 0},
        {"txos bad JSON", "/api/txos/", FakeFault{0, 0, 0, false, true}, false, 0},
        {"txos busy twice", "/api/txos/", FakeFault{0, 2}, true, 1},
        {"tokens down", "/api/bsv20/", FakeFault{503}, true, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        gp.server.clear_faults();
        gp.server.set_fault(row.prefix, row.fault);
        outpoints.insert("stale");
        EXPECT_EQ(gp_ord_outpoints_at_address(owner.address, outpoints), row.ok);
        EXPECT_EQ(outpoints.size(), row.count);
    }
    gp.server.clear_faults();
    EXPECT_FALSE(gp_ord_outpoints_at_address("", outpoints));
    gp.server.reset_counts();
    EXPECT_FALSE(gp_ord_outpoints_at_address(owner.address + "/../x", outpoints));
    EXPECT_EQ(gp.server.request_count(), 0);

    // The token list is asked beside the outputs list, not after it: neither is answered before both
    // are asked, so asked one after the other, the first fails.
    std::mutex mutex;
    std::condition_variable arrived;
    int asked = 0;
    scripted.on("GET", ".*", [&](const FakeRequest& r) {
        std::unique_lock<std::mutex> lock(mutex);
        ++asked;
        arrived.notify_all();
        const bool met = arrived.wait_for(lock, std::chrono::seconds(5), [&] { return asked >= 2; });
        const bool tokens = r.path.find("/bsv20/") != std::string::npos;
        return FakeResponse{met ? 200 : 503, tokens ? R"([{"txid":")" + kTx + R"(","vout":7}])" : "[]"};
    });
    use_scripted_replies();
    EXPECT_TRUE(gp_ord_outpoints_at_address(owner.address, outpoints));
    EXPECT_EQ(outpoints, std::unordered_set<std::string>{kTx + ":7"});
}

TEST_F(GorillaPoolTest, ListElementsThatAreSkippedOrEndTheStep) {
    const std::string t63 = kTx.substr(1);
    const std::string insc = R"("data":{"insc":{}})";
    struct Row {
        const char* what;
        std::string txos, tokens;
        bool ok;
        std::vector<std::string> keys;
    } rows[] = {
        {"plain coins and a short txid",
         R"([{"txid":")" + kTx + R"(","vout":1,"origin":null},{"txid":")" + kTx +
             R"(","vout":2,"origin":"x_2"},)"
             R"({"txid":")" +
             t63 + R"(","origin":"y_0",)" + insc + R"(},{"txid":")" + kTx + R"(","vout":3,"origin":"z_3",)" + insc +
             "}]",
         "[]",
         true,
         {kTx + ":3"}},
        {"numeric outpoint ends the step",
         R"([{"txid":")" + kTx + R"(","vout":4,"origin":"a_4",)" + insc + R"(},{"origin":{"outpoint":9},)" + insc +
             R"(},)"
             R"({"txid":")" +
             kTx + R"(","vout":5,"origin":"a_5",)" + insc + "}]",
         "[]",
         false,
         {kTx + ":4"}},
        {"negative vout", R"([{"txid":")" + kTx + R"(","vout":-1,"origin":"a",)" + insc + "}]", "[]", false, {}},
        {"tokens: spent, unspent, then a malformed spend",
         "[]",
         R"([{"txid":")" + kTx + R"(","vout":6,"spend":")" + kTx + R"("},{"txid":")" + kTx +
             R"(","vout":7,"spend":""},)"
             R"({"txid":")" +
             kTx + R"(","vout":8},{"txid":")" + kTx + R"(","vout":9,"spend":1},{"txid":")" + kTx + R"(","vout":10}])",
         true,
         {kTx + ":7", kTx + ":8"}},
        {"txos not an array", R"({"error":"x"})", "[]", false, {}},
        {"txos nested 75,000 levels deep",
         R"([{"txid":")" + kTx + R"(","vout":1,"origin":"a_1","data":)" + std::string(75000, '[') +
             std::string(75000, ']') + "}]",
         "[]",
         false,
         {}},
    };
    use_scripted_replies();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        txos_reply = row.txos;
        tokens_reply = row.tokens;
        std::unordered_set<std::string> outpoints;
        EXPECT_EQ(gp_ord_outpoints_at_address(owner.address, outpoints), row.ok);
        EXPECT_EQ(outpoints, std::unordered_set<std::string>(row.keys.begin(), row.keys.end()));
    }
}
