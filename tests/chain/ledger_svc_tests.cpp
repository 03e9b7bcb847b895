// The fake ledger as strict as a node where the product could slip: every spent locking script is
// run (inscriptions included), ordinals follow their satoshis first in, first out, and a 0-sat output
// must be a data carrier. Transactions are signed by the product's signing code and judged by the
// fake alone.
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/ledger.h"

#include "chain/inscription.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "support/wallet_fixture.h"
#include "wallet/http_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// A 1-sat inscription locked to `hash`, the P2PKH before the envelope as the program writes it.
Bytes inscription_script(const Hash160& hash, char body) {
    Bytes s = p2pkh_script(hash);
    const Bytes envelope = {
        0x00, 0x63, 0x03, 'o', 'r', 'd', 0x51, 0x01, 'x', 0x00, 0x01, static_cast<std::uint8_t>(body), 0x68};
    s.insert(s.end(), envelope.begin(), envelope.end());
    return s;
}

struct LedgerTest : ::testing::Test {
    Ledger ledger;
    TestKey alice = test_key_from_byte(0x11);
    TestKey bob = test_key_from_byte(0x22);

    TestCoin coin(std::uint64_t sats) { return TestCoin{ledger.fund(alice.address, sats), 0, sats, {}}; }
    TestCoin inscribed(char body) {
        const Bytes script = inscription_script(alice.hash, body);
        return TestCoin{ledger.fund_outputs({{script, 1}}), 0, 1, script};
    }
    std::string accept(const Bytes& raw) {
        std::string reason, txid;
        return ledger.accept(raw, reason, &txid) ? txid : "refused: " + reason;
    }
};

} // namespace

// An inscription output is spent only by the key its lock names, whichever side of the envelope
// the lock stands, and with the program's own MAP part (sealed tag) after it.
TEST_F(LedgerTest, InscriptionNeedsItsOwnKey) {
    Bytes lock_after = inscription_script(alice.hash, 'a');
    std::rotate(lock_after.begin(), lock_after.begin() + 25, lock_after.end());
    const std::pair<const char*, Bytes> rows[] = {
        {"lock before the envelope", inscription_script(alice.hash, 'a')},
        {"lock after the envelope", lock_after},
        {"sealed artwork",
         build_inscription_script(alice.hash, "image/png", Bytes{'P'}, build_name_metadata("Rose"), "sealed-tag-text")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        const TestCoin ord{ledger.fund_outputs({{row.second, 1}}), 0, 1, row.second};
        const TestCoin fee = coin(1000);
        const std::vector<TxOutput> outs = {pay_to(bob, 1), pay_to(bob, 900)};

        // The fee coin is signed properly either way: only the inscription's key differs.
        const std::string refused = accept(test_spend({ord, fee}, {bob, alice}, outs));
        EXPECT_EQ(refused.rfind("refused: mandatory-script-verify-flag-failed (", 0), 0u) << refused;
        EXPECT_EQ(ledger.spender_of(ord.txid, 0), "");
        const std::string txid = accept(test_spend({ord, fee}, {alice, alice}, outs));
        ASSERT_EQ(txid.size(), 64u) << txid;
        EXPECT_EQ(ledger.origin_of(txid, 0), ord.txid + "_0");
    }
}

// Ordinals follow their satoshis first in, first out: the satoshi at offset k of the inputs lands in
// the output whose range covers k, and keeps its origin only in a 1-sat output. The fake GorillaPool
// reports the same origins.
TEST_F(LedgerTest, OriginsFollowSatoshisFirstInFirstOut) {
    struct Row {
        const char* what;
        std::vector<char> inputs; // 'A', 'B': inscriptions; '2': a 2-sat coin; 'f': a 1000-sat coin
        std::vector<std::uint64_t> outputs;
        std::string origins; // per output: the inscription it carries, '-' for none, '*' for its own
        bool new_inscription_at_0 = false;
    } rows[] = {
        {"inscription first", {'A', 'f'}, {1, 900}, "A-"},
        {"inscription behind a 2-sat input lands on the third output", {'2', 'A', 'f'}, {1, 1, 1, 900}, "--A-"},
        {"inscription behind a 2-sat input lands in a larger output", {'2', 'A', 'f'}, {1, 500, 400}, "---"},
        {"inscription after the payment falls into the fee", {'f', 'A'}, {500, 1}, "--"},
        {"two inscriptions keep their order", {'A', 'B', 'f'}, {1, 1, 900}, "AB-"},
        {"two inscriptions swapped", {'B', 'A', 'f'}, {1, 1, 900}, "BA-"},
        {"a data output takes no satoshi", {'A', 'f'}, {0, 1, 900}, "-A-"},
        {"a new inscription starts its own origin", {'A', 'f'}, {1, 900}, "*-", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::map<char, TestCoin> ords = {{'A', inscribed('A')}, {'B', inscribed('B')}};
        std::vector<TestCoin> ins;
        for (char c : row.inputs)
            ins.push_back(c == '2' ? coin(2) : c == 'f' ? coin(1000) : ords[c]);
        std::vector<TxOutput> outs;
        for (std::size_t i = 0; i < row.outputs.size(); ++i) {
            if (row.outputs[i] == 0) {
                outs.push_back({0, {0x00, 0x6A, 0x01, 0x2A}});
            } else if (i == 0 && row.new_inscription_at_0) {
                outs.push_back({1, inscription_script(bob.hash, 'N')});
            } else {
                outs.push_back(pay_to(bob, row.outputs[i]));
            }
        }
        const std::string txid = accept(test_spend(ins, {alice}, outs));
        ASSERT_EQ(txid.size(), 64u) << txid;
        for (std::size_t i = 0; i < outs.size(); ++i) {
            SCOPED_TRACE(i);
            const char want = row.origins[i];
            const std::string expected = want == '-'   ? ""
                                         : want == '*' ? txid + "_" + std::to_string(i)
                                                       : ords[want].txid + "_0";
            EXPECT_EQ(ledger.origin_of(txid, static_cast<std::uint32_t>(i)), expected);
            LedgerOutput out;
            ASSERT_TRUE(ledger.find_output(txid, static_cast<std::uint32_t>(i), out));
            const nlohmann::json txo = fake_txo_document(ledger, out);
            EXPECT_EQ(txo["origin"].is_null() ? "" : txo["origin"]["outpoint"].get<std::string>(), expected);
        }
    }
}

// A 0-sat output is relayed only as OP_FALSE OP_RETURN data; 1 sat is an ordinal, not dust.
TEST_F(LedgerTest, RefusesDust) {
    struct Row {
        const char* what;
        TxOutput output;
        std::string result;
    } rows[] = {
        {"0-sat payment", pay_to(bob, 0), "refused: dust"},
        {"0-sat bare OP_RETURN", {0, {0x6A, 0x01, 0x2A}}, "refused: dust"},
        {"0-sat empty script", {0, {}}, "refused: dust"},
        {"0-sat OP_FALSE OP_RETURN", {0, {0x00, 0x6A, 0x01, 0x2A}}, "accepted"},
        {"1-sat payment", pay_to(bob, 1), "accepted"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const TestCoin fee = coin(1000);
        const std::string result = accept(test_spend({fee}, {alice}, {row.output, pay_to(alice, 900)}));
        EXPECT_EQ(result.size() == 64 ? "accepted" : result, row.result);
        EXPECT_EQ(ledger.spender_of(fee.txid, 0) == result, row.result == "accepted");
    }
}

// WhatsOnChain's address histories page as the service does: in block order (within a block, the
// order the ledger took them) or newest first, from a height, `limit` rows a page, a token that
// continues the same query; strangers' payments made in bulk show there and read back by id.
TEST(LedgerHistoryTest, HistoriesPageByOrderHeightAndToken) {
    FakeChain chain;
    const auto get = [](const std::string& url, nlohmann::json& reply) {
        std::string body, error;
        return http_get(url, body, error, 5, false) &&
               !(reply = nlohmann::json::parse(body, nullptr, false)).is_discarded();
    };
    ScopedServiceSettings settings{settings_for(chain)};
    const std::string a = test_key_from_byte(0x11).address;
    chain.ledger.fund(a, 5);                  // block 101
    chain.ledger.add_payments(a, 5, 0, 2);    // blocks 102, 102, 103, 103, 104
    chain.ledger.add_payments(a, 2, 102, 10); // after the others in block 102
    const std::string pool = chain.ledger.fund(a, 6, false);
    std::vector<std::string> asc;
    for (std::int32_t h = 101; h <= 104; ++h)
        for (const std::string& id : chain.ledger.block_txids(h))
            asc.push_back(id);
    ASSERT_EQ(asc.size(), 8u);
    const std::vector<std::string> desc(asc.rbegin(), asc.rend());
    const std::string base = settings_for(chain).woc_base + "/address/" + a;
    struct Row {
        std::string query;
        std::vector<std::string> ids;
        int pages;
    } rows[] = {
        {"/confirmed/history", asc, 1},
        {"/confirmed/history?order=asc&limit=3", asc, 3},
        {"/confirmed/history?order=desc&limit=3", desc, 3},
        {"/confirmed/history?order=asc&height=103&limit=1", {asc[5], asc[6], asc[7]}, 3},
        {"/confirmed/history?order=desc&height=102&limit=2", {asc[4], asc[3], asc[2], asc[1], asc[0]}, 3},
        {"/unconfirmed/history?limit=1", {pool}, 1},
        {"/confirmed/history?order=up", {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.query);
        std::vector<std::string> ids;
        std::string token;
        int pages = 0;
        nlohmann::json reply;
        do {
            const std::string url = base + row.query + (token.empty() ? "" : "&token=" + url_escape(token));
            if (!get(url, reply)) break;
            ++pages;
            for (const auto& item : reply["result"])
                ids.push_back(item["tx_hash"].get<std::string>());
            token = reply.value("nextPageToken", "");
        } while (!token.empty());
        EXPECT_EQ(ids, row.ids);
        EXPECT_EQ(pages, row.pages);
    }
    // A token carries its query: the other order refuses it.
    nlohmann::json reply;
    ASSERT_TRUE(get(base + "/confirmed/history?limit=1", reply));
    EXPECT_FALSE(get(base + "/confirmed/history?order=desc&token=" + url_escape(reply["nextPageToken"]), reply));
    ASSERT_TRUE(get(settings_for(chain).woc_base + "/tx/" + asc[4], reply));
    EXPECT_EQ(reply["vout"][0]["scriptPubKey"]["addresses"][0], a);
    LedgerTx tx;
    ASSERT_TRUE(chain.ledger.find_tx(asc[4], tx));
    EXPECT_EQ(compute_txid(tx.raw), asc[4]);
}
