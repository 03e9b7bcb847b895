#include "ordinals/token_discovery.h"

#include "chain/inscription.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "fakes/chain_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

const std::string kBuiltin = "5c1e0a7d93b24f68e0d7a35b19c84e2f6a0b3d5e7c91f4a2b8d60e3c7f159a04_0";

Bytes token_script(const TestKey& to, const std::string& token_json) {
    return build_inscription_script(to.hash, "application/bsv-20", Bytes(token_json.begin(), token_json.end()), "", "");
}

std::string transfer_json(const std::string& id) {
    return R"({"p":"bsv-20","op":"transfer","id":")" + id + R"(","amt":"5"})";
}

struct TokenWalkTest : FakeChainTest {
    TestKey owner = test_key_from_byte(0x51);
    TestKey stranger = test_key_from_byte(0x52);

    // An output the test can spend: where it is, what it holds and who signs for it.
    struct Held {
        std::string txid;
        std::uint32_t vout = 0;
        std::uint64_t sats = 0;
        Bytes script;
        TestKey key;
    };

    Held deploy(const TestKey& to) {
        const Bytes script =
            token_script(to, R"({"p":"bsv-20","op":"deploy+mint","sym":"ZED","icon":"ic_0","amt":"9"})");
        return Held{chain.ledger.fund_outputs({{script, 1}}), 0, 1, script, to};
    }

    Held funds(const TestKey& to, std::uint64_t sats) {
        return Held{chain.ledger.fund(to.address, sats), 0, sats, p2pkh_script(to.hash), to};
    }

    // Spends the coins into the outputs and returns the new transaction's id.
    std::string move(const std::vector<Held>& coins, const std::vector<TxOutput>& outputs) {
        std::vector<TxInput> inputs(coins.size());
        for (std::size_t i = 0; i < coins.size(); ++i) {
            inputs[i].txid = coins[i].txid;
            inputs[i].vout = coins[i].vout;
            inputs[i].sats = coins[i].sats;
            inputs[i].prev_script = coins[i].script;
        }
        for (std::size_t i = 0; i < coins.size(); ++i)
            EXPECT_TRUE(
                sign_tx_input(inputs[i], inputs, outputs, coins[i].key.hash, coins[i].key.priv, coins[i].key.pub));
        std::string reason, txid;
        EXPECT_TRUE(chain.ledger.accept(serialize_tx(inputs, outputs, false), reason, &txid)) << reason;
        return txid;
    }

    std::vector<LocalOrd> scan(const std::string& start, const std::vector<std::string>& addresses, bool follow) {
        std::vector<LocalOrd> found;
        scan_tx_for_token_deploys(start, addresses, found, follow);
        return found;
    }

    static std::vector<std::string> origins(const std::vector<LocalOrd>& found) {
        std::vector<std::string> out;
        for (const LocalOrd& ord : found)
            out.push_back(ord.origin);
        return out;
    }
};

} // namespace

TEST_F(TokenWalkTest, UnmovedDeployIsFoundForTheFirstMatchingAddress) {
    const Held minted = deploy(owner);
    const std::string key = minted.txid + "_0";

    EXPECT_TRUE(scan(key.substr(0, 65), {owner.address}, false).empty());
    EXPECT_TRUE(scan(key, {}, false).empty());
    // The key would become the record's origin and a cache file name.
    EXPECT_TRUE(scan(key + "/../x", {owner.address}, false).empty());
    EXPECT_EQ(chain.woc.request_count(), 0);

    // A spend check that fails finds nothing, and keeps nothing from being found next time.
    chain.woc.set_fault(std::string(kWocPrefix) + "/tx/" + minted.txid + "/0/spent", FakeFault{500});
    EXPECT_TRUE(scan(key, {owner.address}, false).empty());
    chain.woc.clear_faults();

    EXPECT_TRUE(scan(key, {stranger.address}, false).empty());
    const std::vector<LocalOrd> found = scan(key, {stranger.address, owner.address, owner.address}, false);
    ASSERT_EQ(found.size(), 1u);
    const LocalOrd& ord = found[0];
    EXPECT_EQ(ord.origin, key);
    EXPECT_EQ(ord.txid, minted.txid);
    EXPECT_EQ(ord.vout, 0u);
    EXPECT_EQ(ord.type, "application/bsv-20");
    EXPECT_EQ(ord.icon, "ic_0");
    EXPECT_EQ(ord.address, owner.address);

    std::vector<LocalOrd> appended = found;
    scan_tx_for_token_deploys(key, {owner.address}, appended, false);
    EXPECT_EQ(origins(appended), (std::vector<std::string>{key, key}));
}

TEST_F(TokenWalkTest, TransfersOfTheWalksTokenAreFollowedAndOthersNot) {
    const Held minted = deploy(owner);
    const std::string token = minted.txid + "_0";
    const std::string other_token = hex_id('e') + "_0";
    const std::string moved =
        move({minted, funds(owner, 1000)}, {
                                               TxOutput{1, token_script(owner, transfer_json(token))},
                                               TxOutput{1, token_script(owner, transfer_json(other_token))},
                                               TxOutput{1, token_script(stranger, transfer_json(token))},
                                               TxOutput{900, p2pkh_script(owner.hash)},
                                           });
    struct Row {
        const char* what;
        std::string start;
        bool follow;
        std::vector<std::string> found;
    } rows[] = {
        {"from the deploy", token, false, {moved + "_0"}},
        {"from the stranger's output", moved + "_2", false, {}},
        {"from the stranger's output, by way of the deploy", moved + "_2", true, {moved + "_0"}},
        {"another token's output", moved + "_1", false, {moved + "_1"}},
        {"an output that is no token", moved + "_3", true, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(origins(scan(row.start, {owner.address}, row.follow)), row.found);
    }
}

TEST_F(TokenWalkTest, WalkStopsAfterItsStepBound) {
    Held coin = deploy(owner);
    const std::string token = coin.txid + "_0";
    auto transfer = [&]() {
        const Bytes script = token_script(owner, transfer_json(token));
        coin = Held{move({coin}, {TxOutput{1, script}}), 0, 1, script, owner};
    };
    // The deploy is the first key popped, each transfer's output one more.
    for (std::size_t i = 1; i < kTokenWalkSteps; ++i)
        transfer();
    EXPECT_EQ(origins(scan(token, {owner.address}, false)), (std::vector<std::string>{coin.txid + "_0"}));
    transfer();
    EXPECT_TRUE(scan(token, {owner.address}, false).empty());
}

struct TokenInfoTest : FakeChainTest {
    FakeServer scripted;
    FakeResponse reply;

    TokenInfoTest() {
        scripted.on("GET", "/api/bsv20/id/.*", [this](const FakeRequest&) { return reply; });
        ServiceSettings s = settings_for(chain);
        s.gorillapool_base = scripted.base_url() + "/api";
        set_service_settings(s);
    }
};

TEST_F(TokenInfoTest, NamesAndIconsFromTheReplyOrTheBuiltInName) {
    const std::string other = hex_id('a') + "_1";
    const std::string tick_only = R"({"tick":"ABCD"})";
    const std::string full = R"({"name":"  Long Name\n","sym":"LN","tick":"LNT","icon":"ic_1"})";
    struct Row {
        const char* what;
        std::string id;
        FakeResponse reply;
        std::string name_in, icon_in, name, icon;
        int requests;
    } rows[] = {
        {"built-in, any reply", kBuiltin, {200, full}, "", "", "Tamberly Coin", "ic_1", 1},
        {"built-in, unreachable", kBuiltin, {503, "{}"}, "", "", "Tamberly Coin", "", 1},
        {"built-in ticker replaced", kBuiltin, {200, "{}"}, "TMB", "", "Tamberly Coin", "", 1},
        {"built-in ticker kept without a reply", kBuiltin, {404, "{}"}, "TMB", "", "TMB", "", 1},
        {"built-in, longer name kept", kBuiltin, {200, "{}"}, "My Coins", "mine", "My Coins", "mine", 1},
        {"ticker only", other, {200, tick_only}, "", "", "ABCD", "", 1},
        {"name first", other, {200, full}, "", "", "Long Name", "ic_1", 1},
        {"symbol before ticker", other, {200, R"({"sym":"SY","tick":"TK"})"}, "", "", "SY", "", 1},
        {"name handed in", other, {200, full}, "Kept", "", "Kept", "ic_1", 1},
        {"name of the wrong type", other, {200, R"({"name":5,"tick":"TK","icon":"i"})"}, "", "", "", "", 1},
        {"icon of the wrong type", other, {200, R"({"tick":"TK","icon":[1]})"}, "", "", "TK", "", 1},
        {"not an object", other, {200, R"(["TK"])"}, "", "", "", "", 1},
        {"not JSON", other, {200, "{\"tick\":"}, "", "", "", "", 1},
        {"short id", other.substr(0, 65), {200, tick_only}, "", "", "", "", 0},
        {"id that is no outpoint", hex_id('a') + "_1/../x", {200, tick_only}, "", "", "", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reply = row.reply;
        scripted.reset_counts();
        std::string name = row.name_in, icon = row.icon_in;
        token_info_by_id(row.id, name, &icon);
        EXPECT_EQ(name, row.name);
        EXPECT_EQ(icon, row.icon);
        EXPECT_EQ(scripted.request_count(), row.requests);
    }
    std::string name;
    token_info_by_id(other, name);
    EXPECT_EQ(scripted.requests().back().path, "/api/bsv20/id/" + other);
}
