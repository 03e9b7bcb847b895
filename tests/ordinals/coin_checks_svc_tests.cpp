#include "ordinals/coin_checks.h"

#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "wallet/keys.h"

#include <gtest/gtest.h>

#include <map>

using nlohmann::json;

namespace {

std::string outpoint(char c, std::uint32_t n) {
    return hex_id(c) + "_" + std::to_string(n);
}

// A GorillaPool that answers each txo from the test's table, and 404 for the rest.
struct CoinChecksTest : FakeChainTest {
    WalletLock lock = lock_wallet();
    FakeServer gp;
    std::map<std::string, std::string> txos;

    CoinChecksTest() {
        gp.on("GET", "/api/txos/(.*)", [this](const FakeRequest& req) {
            auto it = txos.find(req.matches[1]);
            return it == txos.end() ? FakeResponse{404, "{}"} : FakeResponse{200, it->second};
        });
        ServiceSettings s = service_settings();
        s.gorillapool_base = gp.base_url() + "/api";
        set_service_settings(s);
        use_test_hd_wallet("w1", {0, 0, 0, 0, 0, 4});
    }

    // `start` moves along `hops` (output n of a spender whose id repeats one character) to `owner`;
    // the spenders' earlier outputs carry other ordinals, in both forms of "origin".
    void trail(const std::string& start, const std::vector<std::pair<char, std::uint32_t>>& hops,
               const std::string& owner) {
        std::map<std::string, json> docs;
        std::string at = start;
        for (const auto& hop : hops) {
            docs[at]["spend"] = hex_id(hop.first);
            for (std::uint32_t n = 0; n < hop.second; ++n)
                docs[outpoint(hop.first, n)]["origin"] =
                    n % 2 ? json(outpoint('e', n)) : json{{"outpoint", outpoint('e', n)}};
            at = outpoint(hop.first, hop.second);
            docs[at]["origin"] = upper_copy(start);
        }
        docs[at]["outpoint"] = at;
        if (!owner.empty()) docs[at]["owner"] = owner;
        txos.clear();
        for (const auto& doc : docs)
            txos[doc.first] = doc.second.dump();
    }
};

std::string address_at(std::uint32_t account, bool change, std::uint32_t index) {
    std::string priv, pub, address;
    EXPECT_TRUE(change ? derive_change_key(account, index, priv, pub, address)
                       : derive_account_key(account, index, priv, pub, address));
    return address;
}

TEST_F(CoinChecksTest, FollowsTheOrdinalToItsPresentOwner) {
    const std::string mine = kv_wallet().address, foreign = test_key_from_byte(0x51).address;
    const std::string start = outpoint('a', 1);
    std::vector<std::pair<char, std::uint32_t>> seven, eight;
    for (char c = '1'; c <= '8'; ++c)
        (c < '8' ? seven : eight).push_back({c, 0});
    eight.insert(eight.begin(), seven.begin(), seven.end());
    struct Row {
        const char* what;
        std::vector<std::pair<char, std::uint32_t>> hops;
        std::string owner;
        int answer;
    } rows[] = {
        {"unspent, own", {}, mine, 1},
        {"unspent, foreign", {}, foreign, 0},
        {"unspent, no owner", {}, "", 0},
        {"moved to output 2", {{'b', 2}}, mine, 1},
        {"moved to output 17: trail lost", {{'b', 17}}, "", 1},
        {"moved seven times", seven, mine, 1},
        {"moved eight times, own again", eight, mine, 1},
        {"moved eight times, foreign: cannot tell", eight, foreign, 1},
        {"change index 20", {}, address_at(3, true, 20), 1},
        {"change index 21", {}, address_at(3, true, 21), 0},
        {"receive counter plus 30", {}, address_at(5, false, 34), 1},
        {"receive counter plus 31", {}, address_at(5, false, 35), 0},
    };
    for (const Row& row : rows) {
        trail(start, row.hops, row.owner);
        EXPECT_EQ(gp_coin_still_ours(start), row.answer) << row.what;
    }
    trail(outpoint('a', 0), {{'b', 1}}, mine);
    EXPECT_EQ(gp_coin_still_ours(upper_copy(hex_id('a'))), 1);
    kv_wallet().ord_owned.push_back(local_ord_init());
    kv_wallet().ord_owned.back().address = foreign;
    trail(start, {}, foreign);
    EXPECT_EQ(gp_coin_still_ours(start), 1);
}

TEST_F(CoinChecksTest, UnreadableIndexKeepsTheCoinAndBadInputAsksNothing) {
    const std::string start = outpoint('a', 0);
    trail(start, {}, "");
    txos[start] = json{{"spend", hex_id('b')}}.dump(); // the spender's outputs are unknown
    EXPECT_EQ(gp_coin_still_ours(start), 1);
    gp.set_fault("/api/txos/", FakeFault{500});
    EXPECT_EQ(gp_coin_still_ours(start), 1);
    gp.clear_faults();

    for (const std::string& body : {std::string("[1]"), std::string(R"({"owner":)"), std::string("")}) {
        txos[start] = body;
        json txo = 5;
        EXPECT_FALSE(gp_txo_get(start, txo)) << body;
        EXPECT_TRUE(txo.is_null());
    }

    gp.reset_counts();
    const std::string id = hex_id('c');
    json txo;
    for (const std::string& bad :
         {id, id + "_", id + "_1/../x", id + "_1?a=b", id + "_+1", hex_id('g') + "_1", id + "_" + std::string(11, '1')})
        EXPECT_FALSE(gp_txo_get(bad, txo)) << bad;
    EXPECT_EQ(gp_coin_still_ours(id.substr(1) + "_0"), 0);
    reset_wallet_state_for_tests();
    EXPECT_EQ(gp_coin_still_ours(start), 0);
    EXPECT_EQ(gp.request_count(), 0);
}

using ArtTagTest = FakeChainTest;

TEST_F(ArtTagTest, KindComesFromTheStoreThenGorillaPoolThenTheScript) {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings with_gp(settings_for(chain, gp));
    const TestKey owner = test_key_from_byte(0x41);
    auto inscribe = [&](const std::string& sealed) {
        return chain.ledger.fund_outputs(
            {{build_inscription_script(owner.hash, "image/png", Bytes{1}, "", sealed), 1}});
    };
    auto requests = [&] { return chain.woc.request_count() + gp.server.request_count(); };

    const std::string art = inscribe(seal_art_tag("Artwork"));
    EXPECT_EQ(art_tag_of_outpoint(art + "_0"), "Artwork");
    EXPECT_EQ(chain.woc.request_count(), 0);
    EXPECT_EQ(art_tag_of_outpoint(art), "Artwork");
    EXPECT_EQ(requests(), 1);

    gp.server.set_fault("/api/txos/", FakeFault{404});
    const std::string cert = inscribe(seal_art_tag("Certificate"));
    EXPECT_EQ(art_tag_of_outpoint(upper_copy(cert) + "_0"), "Certificate");
    EXPECT_EQ(load_art_tag(cert + "_0"), "Certificate");

    // Nothing found is not remembered, so the next call asks again; a bad key asks nothing.
    const std::string plain = chain.ledger.fund(owner.address, 1), unsealed = inscribe("not-sealed");
    for (const std::string& key : {plain + "_0", unsealed + "_0", plain + "_5", hex_id('1') + "_0"}) {
        const int before = requests();
        EXPECT_EQ(art_tag_of_outpoint(key), "") << key;
        EXPECT_EQ(load_art_tag(key), "") << key;
        EXPECT_GT(requests(), before) << key;
    }
    const int before = requests();
    EXPECT_EQ(art_tag_of_outpoint(plain.substr(1)), "");
    EXPECT_EQ(requests(), before);
}

} // namespace
