#include "fakes/fake_oracle.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

using json = nlohmann::json;

namespace {

struct OracleIndex {
    std::mutex mutex;
    std::map<std::string, std::vector<std::string>> listed; // watch key -> ids in listing order
};

// The index of each chain, found by its platform server. The routes own the index; this map only
// points at it, so an index dies with its chain's server and a later chain at the same address
// starts empty.
std::mutex g_indexes_mutex;
std::map<const FakeServer*, std::weak_ptr<OracleIndex>> g_indexes;

std::size_t query_number(const FakeRequest& req, const char* name, std::size_t fallback) {
    const auto it = req.query.find(name);
    if (it == req.query.end()) return fallback;
    return static_cast<std::size_t>(std::strtoull(it->second.c_str(), nullptr, 10));
}

} // namespace

void add_oracle_index_routes(FakeChain& chain) {
    auto index = std::make_shared<OracleIndex>();
    {
        std::lock_guard<std::mutex> lock(g_indexes_mutex);
        g_indexes[&chain.platform] = index;
    }
    chain.platform.on("GET", "/oi/oracle/([^/]+)/txids", [index](const FakeRequest& req) {
        const std::size_t limit = query_number(req, "limit", 2000);
        const std::size_t offset = query_number(req, "offset", 0);
        json page = json::array();
        std::lock_guard<std::mutex> lock(index->mutex);
        const std::vector<std::string>& ids = index->listed[req.matches[1]];
        for (std::size_t i = offset; i < ids.size() && page.size() < limit; ++i)
            page.push_back(ids[i]);
        return json_reply({{"txids", page}});
    });
    Ledger& ledger = chain.ledger;
    chain.platform.on("GET", "/oi/tx/([0-9a-fA-F]{64})", [&ledger](const FakeRequest& req) {
        LedgerTx tx;
        const bool found = ledger.find_tx(req.matches[1], tx);
        FakeResponse reply =
            found ? json_reply(woc_tx_document(tx, ledger.tip())) : FakeResponse{404, "not found", "text/plain"};
        ledger.note_lookup();
        return reply;
    });
}

void fake_oracle_list(FakeChain& chain, const std::string& watch_key, const std::string& txid) {
    std::shared_ptr<OracleIndex> index;
    {
        std::lock_guard<std::mutex> lock(g_indexes_mutex);
        const auto it = g_indexes.find(&chain.platform);
        if (it != g_indexes.end()) index = it->second.lock();
    }
    if (!index) return;
    std::lock_guard<std::mutex> lock(index->mutex);
    index->listed[watch_key].push_back(txid);
}
