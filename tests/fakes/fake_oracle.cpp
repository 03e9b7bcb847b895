#include "fakes/fake_oracle.h"

#include "fakes/secp_check.h"
#include "identity/typed_message.h"
#include "wallet/crypto.h"

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

json fake_signed_record(json msg, std::uint8_t key_fill) {
    const Bytes secret(32, key_fill);
    SecpContext ctx = secp_context();
    const Digest digest = expected_message_digest(canonical_message_preimage(msg));
    secp256k1_ecdsa_signature sig;
    unsigned char compact[64] = {};
    if (secp256k1_ecdsa_sign(ctx.get(), &sig, digest.data(), secret.data(), nullptr, nullptr))
        secp256k1_ecdsa_signature_serialize_compact(ctx.get(), compact, &sig);
    msg["pubkey"] = secp_pubkey_hex(secret);
    msg["sig"] = base64_encode(compact, sizeof compact);
    return msg;
}

std::string fake_post_record(FakeChain& chain, const std::string& address, const json& msg, std::uint64_t sats,
                             bool mined) {
    Hash160 hash{};
    if (!address_to_hash160(address, hash)) return "";
    const std::string text = msg.dump();
    Bytes carrier = {0x00, 0x6a};
    append_push_data(carrier, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return chain.ledger.fund_outputs({{p2pkh_script(hash), sats}, {carrier, 0}}, mined);
}
