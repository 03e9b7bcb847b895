#include "chain/sat_path.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

using json = nlohmann::json;

namespace {

std::string id(char c) {
    return std::string(64, c);
}

// A small chain in memory, written "b=f0,a0>1000,1;c=b1>1": transaction b spends output 0 of f
// and output 0 of a into outputs of 1000 and 1 sats, then c spends b's output 1. Funding 'a' (the
// 1-sat coin followed), 'f' and 'e' stand from the start. A spender '7' is one the service cannot
// tell, a spender '8' one that cannot be read.
struct Chain {
    std::map<std::string, json> txs;
    std::map<std::string, std::string> spenders; // "txid:vout" -> spender

    explicit Chain(const std::string& moves) {
        std::istringstream list("a=00>1,5000;f=01>1000;e=02>1,1;" + moves);
        for (std::string move; std::getline(list, move, ';');) {
            const std::string spender = id(move[0]);
            json tx = {{"vin", json::array()}, {"vout", json::array()}};
            const std::size_t arrow = move.find('>');
            for (std::size_t i = 2; i + 1 < arrow; i += 3) {
                const std::string outpoint = id(move[i]) + ":" + move[i + 1];
                tx["vin"].push_back({{"txid", id(move[i])}, {"vout", move[i + 1] - '0'}});
                spenders[outpoint] = spender;
            }
            std::istringstream outs(move.substr(arrow + 1));
            for (std::string sats; std::getline(outs, sats, ',');)
                tx["vout"].push_back({{"valueSat", std::stoll(sats)}});
            txs[spender] = tx;
        }
    }
    SatPathReader reader() const {
        SatPathReader r;
        r.tx = [this](const std::string& txid) -> const json* {
            const auto found = txid == id('8') ? txs.end() : txs.find(txid);
            return found == txs.end() ? nullptr : &found->second;
        };
        r.spent_by = [this](const std::string& txid, std::uint32_t vout, std::string& spender) {
            const auto found = spenders.find(txid + ":" + std::to_string(vout));
            if (found == spenders.end()) return 1;
            if (found->second == id('7')) return 2;
            spender = found->second;
            return 0;
        };
        return r;
    }
};

TEST(SatPath, FollowsTheSatoshiFirstInFirstOut) {
    struct Row {
        const char* name;
        const char* moves;
        int max_hops;
        const char* path; // the spenders, oldest first
        const char* at;   // the output reached
        SatPathEnd end;
    };
    const Row rows[] = {
        {"never spent", "", 8, "", "a0", SatPathEnd::unspent},
        {"alone into the first output", "b=a0>1,400", 8, "b", "b0", SatPathEnd::unspent},
        {"a larger input before it moves it on", "b=f0,a0>1000,1,300", 8, "b", "b1", SatPathEnd::unspent},
        {"two coins in one transaction travel apart", "b=e0,a0>1,1,4000;c=b0>1;d=b1>1", 8, "bd", "d0",
         SatPathEnd::unspent},
        {"the input before has several outputs", "b=e1,a0>1,1", 8, "b", "b1", SatPathEnd::unspent},
        {"an earlier output of 0 sats takes nothing", "b=f0,a0>1000,0,1", 8, "b", "b2", SatPathEnd::unspent},
        {"three hops", "b=a0>1,10;c=f0,b0>600,400,1;d=c2>1", 8, "bcd", "d0", SatPathEnd::unspent},
        {"past every output is the miner's", "b=f0,a0>900", 8, "b", "b0", SatPathEnd::gone},
        {"merged into a larger output", "b=a0,f0>1001", 8, "b", "b0", SatPathEnd::gone},
        {"more hops than allowed", "b=a0>1;c=b0>1", 1, "b", "b0", SatPathEnd::too_long},
        {"an input before it that cannot be valued", "b=90,a0>1,1", 8, "", "a0", SatPathEnd::unreadable},
        {"an input before it names no output", "b=f3,a0>1,1", 8, "", "a0", SatPathEnd::unreadable},
        {"a named spender that does not spend it", "b=a0>1;b=f0>1000", 8, "", "a0", SatPathEnd::unreadable},
        {"a spender the service cannot tell", "b=a0>1;7=b0>1", 8, "b", "b0", SatPathEnd::unreadable},
        {"a spender that cannot be read", "b=a0>1;8=b0>1", 8, "b", "b0", SatPathEnd::unreadable},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Chain chain(row.moves);
        SatPath path;
        path.txids = {"stale"};
        follow_sat(SatPlace{id('a'), 0, 0}, chain.reader(), row.max_hops, path);
        std::string walked;
        for (const std::string& txid : path.txids)
            walked += txid == id(txid[0]) ? txid[0] : '?';
        EXPECT_EQ(walked, row.path);
        EXPECT_EQ(path.at.txid + ":" + std::to_string(path.at.vout), id(row.at[0]) + ":" + (row.at + 1));
        EXPECT_EQ(path.end, row.end);
    }
}

} // namespace
