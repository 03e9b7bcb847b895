#include "ordinals/coin_checks.h"

#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <map>

using nlohmann::json;

namespace {

std::string outpoint(char c, std::uint32_t n) {
    return hex_id(c) + "_" + std::to_string(n);
}

std::string account_address(std::uint32_t account, std::uint32_t chain, std::uint32_t index) {
    std::string priv, pub, address;
    const bool ok = chain == 0 ? derive_account_key(account, index, priv, pub, address)
                               : derive_change_key(account, index, priv, pub, address);
    EXPECT_TRUE(ok);
    return address;
}

// A GorillaPool that answers each txo from a table the test fills, and 404 for the rest.
struct CoinChecksTest : FakeChainTest {
    WalletLock lock = lock_wallet();
    FakeServer scripted;
    std::map<std::string, std::string> txos;

    CoinChecksTest() {
        scripted.on("GET", "/api/txos/(.*)", [this](const FakeRequest& req) {
            auto it = txos.find(req.matches[1]);
            return it == txos.end() ? FakeResponse{404, "{}"} : FakeResponse{200, it->second};
        });
        ServiceSettings s = service_settings();
        s.gorillapool_base = scripted.base_url() + "/api";
        set_service_settings(s);
        use_test_hd_wallet("w1", {0, 0, 0, 0, 0, 4});
    }

    // The ordinal starting at `start` moves along `hops` (each an output of a spending transaction
    // whose id is one repeated character) and ends held by `owner`.
    void trail(const std::string& start, const std::vector<std::pair<char, std::uint32_t>>& hops,
               const std::string& owner) {
        std::map<std::string, json> docs;
        std::string at = start;
        for (const auto& hop : hops) {
            docs[at]["spend"] = hex_id(hop.first);
            // Sibling outputs carry other ordinals, in both forms of "origin".
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

TEST_F(CoinChecksTest, FollowsTheOrdinalToItsPresentOwner) {
    const std::string receive = kv_wallet().address;
    const std::string foreign = test_key_from_byte(0x51).address;
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
        {"unspent, receive address", {}, receive, 1},
        {"unspent, foreign owner", {}, foreign, 0},
        {"unspent, no owner", {}, "", 0},
        {"moved to output 2", {{'b', 2}}, receive, 1},
        {"moved to output 2, foreign", {{'b', 2}}, foreign, 0},
        {"moved past output 16", {{'b', 17}}, "", 1},
        {"moved seven times", seven, receive, 1},
        {"moved eight times", eight, receive, 0},
        {"change index 20", {}, account_address(3, 1, 20), 1},
        {"change index 21", {}, account_address(3, 1, 21), 0},
        {"receive counter plus 30", {}, account_address(5, 0, 34), 1},
        {"receive counter plus 31", {}, account_address(5, 0, 35), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        trail(start, row.hops, row.owner);
        EXPECT_EQ(gp_coin_still_ours(start), row.answer);
    }

    // A bare id stands for output 0, and the key's own spelling does not matter.
    trail(outpoint('a', 0), {{'b', 1}}, receive);
    EXPECT_EQ(gp_coin_still_ours(upper_copy(hex_id('a'))), 1);

    kv_wallet().ord_owned.push_back(local_ord_init());
    kv_wallet().ord_owned.back().address = "1LocalOrdinalHolder";
    trail(start, {}, "1LocalOrdinalHolder");
    EXPECT_EQ(gp_coin_still_ours(start), 1);
}

TEST_F(CoinChecksTest, UnreachableIndexKeepsTheCoinAndBadInputLosesIt) {
    const std::string start = outpoint('a', 0);
    trail(start, {}, kv_wallet().address);
    scripted.set_fault("/api/txos/", FakeFault{500});
    EXPECT_EQ(gp_coin_still_ours(start), 1);
    scripted.clear_faults();

    // A spending transaction whose outputs cannot be read breaks the trail the same way.
    txos[start] = json{{"spend", hex_id('b')}}.dump();
    EXPECT_EQ(gp_coin_still_ours(start), 1);

    scripted.reset_counts();
    EXPECT_EQ(gp_coin_still_ours(hex_id('a').substr(1) + "_0"), 0);
    EXPECT_EQ(gp_coin_still_ours(hex_id('a') + "_-1"), 0);
    reset_wallet_state_for_tests();
    EXPECT_EQ(gp_coin_still_ours(start), 0);
    EXPECT_EQ(scripted.request_count(), 0);
}

TEST_F(CoinChecksTest, TxoFetchTakesOnlyAnOutpointAndAnObject) {
    const std::string id = hex_id('c');
    for (const std::string& bad : {id, id + "_", id + "_1/../x", id + "_1?a=b", id + "_+1", hex_id('g') + "_1",
                                   id + "_" + std::string(11, '1')}) {
        json txo = 5;
        EXPECT_FALSE(gp_txo_get(bad, txo)) << bad;
        EXPECT_TRUE(txo.is_null());
    }
    EXPECT_EQ(scripted.request_count(), 0);

    struct Row {
        std::string body;
        bool ok;
    } rows[] = {{R"({"owner":"x"})", true}, {"[1,2]", false}, {R"({"owner":)", false}, {"", false}};
    for (const Row& row : rows) {
        txos[id + "_3"] = row.body;
        json txo;
        EXPECT_EQ(gp_txo_get(id + "_3", txo), row.ok) << row.body;
        EXPECT_EQ(txo.is_object(), row.ok);
    }
    json txo;
    EXPECT_FALSE(gp_txo_get(id + "_4", txo));
}

// Art tags against the GorillaPool and WhatsOnChain fakes over one ledger.
struct ArtTagTest : FakeChainTest {
    FakeGorillaPool gp{chain.ledger};
    TestKey owner = test_key_from_byte(0x41);

    std::string inscribe(const std::string& tag) {
        const Bytes script = build_inscription_script(owner.hash, "image/png", Bytes{1, 2, 3}, "", seal_art_tag(tag));
        return chain.ledger.fund_outputs({{script, 1}});
    }
    int requests() { return chain.woc.request_count() + gp.server.request_count(); }
};

TEST_F(ArtTagTest, KindComesFromTheStoreThenGorillaPoolThenTheScript) {
    ScopedServiceSettings with_gp(settings_for(chain, gp));
    const std::string art = inscribe("Artwork");
    EXPECT_EQ(art_tag_of_outpoint(art + "_0"), "Artwork");
    EXPECT_EQ(gp.server.request_count(), 1);
    EXPECT_EQ(chain.woc.request_count(), 0);
    EXPECT_EQ(load_art_tag(art + "_0"), "Artwork");
    EXPECT_EQ(art_tag_of_outpoint(art), "Artwork");
    EXPECT_EQ(requests(), 1);

    // GorillaPool without the output: the sealed tag of the script on WhatsOnChain decides.
    gp.server.set_fault("/api/txos/", FakeFault{404});
    const std::string cert = inscribe("Certificate");
    EXPECT_EQ(art_tag_of_outpoint(upper_copy(cert) + "_0"), "Certificate");
    EXPECT_EQ(load_art_tag(cert + "_0"), "Certificate");

    // Nothing found is not remembered, so the next call asks again.
    const std::string plain = chain.ledger.fund(owner.address, 1);
    const std::string foreign = chain.ledger.fund_outputs(
        {{build_inscription_script(owner.hash, "image/png", Bytes{1}, "", "not-a-sealed-tag"), 1}});
    for (const std::string& key : {plain + "_0", foreign + "_0", plain + "_5", hex_id('1') + "_0"}) {
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
