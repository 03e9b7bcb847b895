#include "chain/sat_path.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

using json = nlohmann::json;

namespace {

std::string id(char c) {
    return std::string(64, c);
}

using Spend = std::pair<char, std::uint32_t>;

json tx_of(const std::vector<Spend>& ins, const std::vector<std::int64_t>& outs) {
    json tx = {{"vin", json::array()}, {"vout", json::array()}};
    for (const Spend& in : ins)
        tx["vin"].push_back({{"txid", id(in.first)}, {"vout", in.second}});
    for (std::int64_t sats : outs)
        tx["vout"].push_back({{"valueSat", sats}});
    return tx;
}

// A small chain in memory: the transactions by id and who spends each output.
struct Chain {
    std::map<std::string, json> txs;
    std::map<std::string, std::string> spenders; // "txid:vout" -> spender
    void add(char c, const std::vector<Spend>& ins, const std::vector<std::int64_t>& outs) {
        txs[id(c)] = tx_of(ins, outs);
        for (const Spend& in : ins)
            spenders[id(in.first) + ":" + std::to_string(in.second)] = id(c);
    }
    SatPathReader reader() const {
        SatPathReader r;
        r.tx = [this](const std::string& txid) -> const json* {
            const auto found = txs.find(txid);
            return found == txs.end() ? nullptr : &found->second;
        };
        r.spent_by = [this](const std::string& txid, std::uint32_t vout, std::string& spender) {
            if (!txs.count(txid)) return 2;
            const auto found = spenders.find(txid + ":" + std::to_string(vout));
            if (found == spenders.end()) return 1;
            spender = found->second;
            return 0;
        };
        return r;
    }
};

// The satoshi of the 1-sat output 'a':0, funded beside two plain coins 'f' and 'e'.
Chain base() {
    Chain chain;
    chain.add('a', {{'0', 0}}, {1, 5000});
    chain.add('f', {{'0', 1}}, {1000});
    chain.add('e', {{'0', 2}}, {1, 1});
    return chain;
}

TEST(SatPath, FollowsTheSatoshiFirstInFirstOut) {
    struct Row {
        const char* name;
        std::vector<std::pair<char, std::pair<std::vector<Spend>, std::vector<std::int64_t>>>> moves;
        int max_hops;
        std::vector<char> txids;
        char at_tx;
        std::uint32_t at_vout;
        SatPathEnd end;
    };
    const Row rows[] = {
        {"never spent", {}, 8, {}, 'a', 0, SatPathEnd::unspent},
        {"alone into the first output", {{'b', {{{'a', 0}}, {1, 400}}}}, 8, {'b'}, 'b', 0, SatPathEnd::unspent},
        // 1000 sats stand before it: it lands in the 1-sat output after them, not in the change.
        {"a larger input before it moves it on",
         {{'b', {{{'f', 0}, {'a', 0}}, {1000, 1, 300}}}},
         8,
         {'b'},
         'b',
         1,
         SatPathEnd::unspent},
        {"two coins in one transaction travel apart",
         {{'b', {{{'e', 0}, {'a', 0}}, {1, 1, 4000}}}, {'c', {{{'b', 0}}, {1}}}, {'d', {{{'b', 1}}, {1}}}},
         8,
         {'b', 'd'},
         'd',
         0,
         SatPathEnd::unspent},
        {"the input before has several outputs",
         {{'b', {{{'e', 1}, {'a', 0}}, {1, 1}}}},
         8,
         {'b'},
         'b',
         1,
         SatPathEnd::unspent},
        {"past every output is the miner's",
         {{'b', {{{'f', 0}, {'a', 0}}, {900}}}},
         8,
         {'b'},
         'b',
         0,
         SatPathEnd::gone},
        {"merged into a larger output", {{'b', {{{'a', 0}, {'f', 0}}, {1001}}}}, 8, {'b'}, 'b', 0, SatPathEnd::gone},
        {"an earlier output of 0 sats takes nothing",
         {{'b', {{{'f', 0}, {'a', 0}}, {1000, 0, 1}}}},
         8,
         {'b'},
         'b',
         2,
         SatPathEnd::unspent},
        {"three hops",
         {{'b', {{{'a', 0}}, {1, 10}}}, {'c', {{{'f', 0}, {'b', 0}}, {600, 400, 1}}}, {'d', {{{'c', 2}}, {1}}}},
         8,
         {'b', 'c', 'd'},
         'd',
         0,
         SatPathEnd::unspent},
        {"more hops than allowed",
         {{'b', {{{'a', 0}}, {1}}}, {'c', {{{'b', 0}}, {1}}}},
         1,
         {'b'},
         'b',
         0,
         SatPathEnd::too_long},
        {"an input before it that cannot be valued",
         {{'b', {{{'9', 0}, {'a', 0}}, {1, 1}}}},
         8,
         {},
         'a',
         0,
         SatPathEnd::unreadable},
        {"an input before it spends an output its transaction lacks",
         {{'b', {{{'f', 3}, {'a', 0}}, {1, 1}}}},
         8,
         {},
         'a',
         0,
         SatPathEnd::unreadable},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Chain chain = base();
        for (const auto& move : row.moves)
            chain.add(move.first, move.second.first, move.second.second);
        SatPath path;
        path.txids = {"stale"};
        follow_sat(SatPlace{id('a'), 0, 0}, chain.reader(), row.max_hops, path);
        std::vector<std::string> expected;
        for (char c : row.txids)
            expected.push_back(id(c));
        EXPECT_EQ(path.txids, expected);
        EXPECT_EQ(path.at.txid, id(row.at_tx));
        EXPECT_EQ(path.at.vout, row.at_vout);
        EXPECT_EQ(path.end, row.end);
    }
}

// What the walk is told by its reader: a spender it cannot read, or a service that cannot tell.
TEST(SatPath, ReaderFailuresStopTheWalkUnread) {
    Chain chain = base();
    chain.add('b', {{'a', 0}}, {1});
    SatPathReader reader = chain.reader();
    SatPath path;

    chain.txs.erase(id('b'));
    follow_sat(SatPlace{id('a'), 0, 0}, reader, 8, path);
    EXPECT_EQ(path.end, SatPathEnd::unreadable) << "the named spender is not readable";
    EXPECT_TRUE(path.txids.empty());

    chain.add('b', {{'f', 0}}, {1000}); // names the coin's output as spent, but spends another
    chain.spenders[id('a') + ":0"] = id('b');
    follow_sat(SatPlace{id('a'), 0, 0}, reader, 8, path);
    EXPECT_EQ(path.end, SatPathEnd::unreadable);

    reader.spent_by = [](const std::string&, std::uint32_t, std::string& spender) {
        spender = "not an id";
        return 0;
    };
    follow_sat(SatPlace{id('a'), 0, 0}, reader, 8, path);
    EXPECT_EQ(path.end, SatPathEnd::unreadable);
    for (int code : {1, 3}) {
        reader.spent_by = [code](const std::string&, std::uint32_t, std::string&) { return code; };
        follow_sat(SatPlace{id('a'), 0, 0}, reader, 8, path);
        EXPECT_EQ(path.end, SatPathEnd::unspent) << code;
    }
}

// One hop asks for the transactions of every input before the coin's at once, each id once.
TEST(SatPath, HopPrefetchesTheInputsBeforeTheCoin) {
    Chain chain = base();
    const json spender = tx_of({{'e', 0}, {'f', 0}, {'e', 1}, {'a', 0}, {'f', 0}}, {1, 1000, 1, 1});
    std::vector<std::vector<std::string>> asked;
    SatPathReader reader = chain.reader();
    reader.prefetch = [&asked](const std::vector<std::string>& txids) { asked.push_back(txids); };
    SatPlace to;
    bool gone = true;
    ASSERT_TRUE(sat_hop(spender, SatPlace{id('a'), 0, 0}, reader, to, gone));
    EXPECT_FALSE(gone);
    EXPECT_EQ(to.vout, 3u);
    EXPECT_EQ(asked, (std::vector<std::vector<std::string>>{{id('e'), id('f')}}));

    asked.clear();
    EXPECT_FALSE(sat_hop(spender, SatPlace{id('b'), 0, 0}, reader, to, gone)) << "does not spend it";
    EXPECT_FALSE(sat_hop(json::object(), SatPlace{id('a'), 0, 0}, reader, to, gone));
    EXPECT_FALSE(sat_hop(json{{"vin", tx_of({{'a', 0}}, {})["vin"]}}, SatPlace{id('a'), 0, 0}, reader, to, gone))
        << "no outputs";
    EXPECT_TRUE(asked.empty());
}

} // namespace
