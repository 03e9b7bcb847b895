#include "chain/sat_path.h"

#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <set>

using json = nlohmann::json;

namespace {

// More satoshis than there will ever be: an output claiming more is malformed, and a position past
// it lies past every output.
constexpr std::uint64_t kMaxSats = 2100000000000000;
// Inputs standing before the coin in one transaction. Their values are read in bulk; a transaction
// with more is not followed rather than read in thousands of requests.
constexpr std::size_t kMaxInputsBefore = 10000;
// WhatsOnChain's bulk transaction details take at most 20 ids a request.
constexpr std::size_t kBulkTxIds = 20;
constexpr std::uint32_t kBulkTxTimeoutS = 20;
// Bulk requests in flight at once: a watch listing thousands of ids is read in a few rounds
// rather than hundreds of waits, without flooding the service.
constexpr std::uint32_t kBulkRequestsAtOnce = 4;

bool output_sats(const json& out, std::uint64_t& sats) {
    if (!out.is_object()) return false;
    const auto sat = out.find("valueSat");
    if (sat != out.end() && sat->is_number_integer()) {
        const std::int64_t value = sat->get<std::int64_t>();
        if (value < 0 || static_cast<std::uint64_t>(value) > kMaxSats) return false;
        sats = static_cast<std::uint64_t>(value);
        return true;
    }
    const auto bsv = out.find("value");
    if (bsv == out.end() || !bsv->is_number()) {
        sats = 0;
        return true;
    }
    const double scaled = std::floor(bsv->get<double>() * 100000000.0 + 0.5);
    if (!(scaled >= 0) || scaled > static_cast<double>(kMaxSats)) return false;
    sats = static_cast<std::uint64_t>(scaled);
    return true;
}

// The outpoint an input spends; false for a coinbase input or a malformed one.
bool input_outpoint(const json& in, std::string& txid, std::uint32_t& vout) {
    if (!in.is_object()) return false;
    const auto id = in.find("txid");
    const auto n = in.find("vout");
    if (id == in.end() || !id->is_string() || n == in.end() || !n->is_number_integer()) return false;
    const std::int64_t index = n->get<std::int64_t>();
    if (index < 0 || index > std::numeric_limits<std::uint32_t>::max()) return false;
    txid = to_lower_copy(id->get<std::string>());
    vout = static_cast<std::uint32_t>(index);
    return is_txid_hex(txid);
}

bool usable_tx(const json* tx) {
    if (!tx || !tx->is_object()) return false;
    const auto vin = tx->find("vin");
    const auto vout = tx->find("vout");
    return vin != tx->end() && vin->is_array() && vout != tx->end() && vout->is_array();
}

// One request of the bulk details for ids [first, last); true when the service answered.
bool bulk_batch(const std::vector<std::string>& txids, std::size_t first, std::size_t last, std::vector<json>& txs) {
    json body = {{"txids", json::array()}};
    // Only a plain id goes out: anything else names no transaction, and may not even be text.
    for (std::size_t i = first; i < last; ++i)
        if (is_txid_hex(txids[i])) body["txids"].push_back(txids[i]);
    if (body["txids"].empty()) return false;
    std::string response, error;
    if (!http_post_json(woc_url("/txs"), body.dump(), response, error, kBulkTxTimeoutS, kUntilTimeOut)) return false;
    const json reply = json_parse_or_discarded(response);
    if (!reply.is_array()) return false;
    for (const json& tx : reply) {
        // The service answers an id it does not know with an error entry in the id's place.
        if (!usable_tx(&tx)) continue;
        const auto id = tx.find("txid");
        if (id == tx.end() || !id->is_string()) continue;
        const std::string txid = to_lower_copy(id->get<std::string>());
        for (std::size_t i = first; i < last; ++i)
            if (txs[i].is_null() && to_lower_copy(txids[i]) == txid) txs[i] = tx;
    }
    return true;
}

} // namespace

bool ordinal_output(const json& vout, std::uint64_t position, std::uint32_t& index, std::uint64_t& offset) {
    if (!vout.is_array()) return false;
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < vout.size() && i <= std::numeric_limits<std::uint32_t>::max(); ++i) {
        std::uint64_t sats = 0;
        if (!output_sats(vout[i], sats)) return false;
        if (position - start < sats) {
            index = static_cast<std::uint32_t>(i);
            offset = position - start;
            return true;
        }
        start += sats;
    }
    return false;
}

bool sat_hop(const json& spender, const SatPlace& from, const SatPathReader& reader, SatPlace& to, bool& gone) {
    gone = false;
    if (!usable_tx(&spender)) return false;
    // The inputs before the coin's own, whose values push its position on.
    std::vector<std::pair<std::string, std::uint32_t>> before;
    bool found = false;
    for (const json& in : spender["vin"]) {
        std::string txid;
        std::uint32_t vout = 0;
        if (!input_outpoint(in, txid, vout)) return false;
        if (txid == from.txid && vout == from.vout) {
            found = true;
            break;
        }
        if (before.size() >= kMaxInputsBefore) return false;
        before.emplace_back(std::move(txid), vout);
    }
    if (!found) return false;
    if (!before.empty() && reader.prefetch) {
        std::vector<std::string> ids;
        std::set<std::string> seen;
        for (const auto& outpoint : before)
            if (seen.insert(outpoint.first).second) ids.push_back(outpoint.first);
        reader.prefetch(ids);
    }
    std::uint64_t position = from.offset;
    for (const auto& outpoint : before) {
        const json* prev = reader.tx(outpoint.first);
        std::uint64_t sats = 0;
        if (!usable_tx(prev) || outpoint.second >= (*prev)["vout"].size() ||
            !output_sats((*prev)["vout"][outpoint.second], sats))
            return false;
        position += sats;
        // Past every satoshi there is: the coin's own went to the miner whatever follows.
        if (position > kMaxSats) position = kMaxSats + 1;
    }
    to = SatPlace{};
    std::uint64_t sats = 0;
    if (!ordinal_output(spender["vout"], position, to.vout, to.offset) ||
        !output_sats(spender["vout"][to.vout], sats) || sats != 1)
        gone = true;
    return true;
}

void follow_sat(const SatPlace& start, const SatPathReader& reader, int max_hops, SatPath& path) {
    path = SatPath{};
    path.at = start;
    for (;;) {
        std::string spender;
        const int code = reader.spent_by(path.at.txid, path.at.vout, spender);
        // A transaction the service does not know has no spender it could name.
        if (code == 1 || code == 3) return;
        spender = to_lower_copy(spender);
        if (code != 0 || !is_txid_hex(spender)) {
            path.end = SatPathEnd::unreadable;
            return;
        }
        if (static_cast<int>(path.txids.size()) >= max_hops) {
            path.end = SatPathEnd::too_long;
            return;
        }
        const json* tx = reader.tx(spender);
        SatPlace next;
        bool gone = false;
        if (!usable_tx(tx) || !sat_hop(*tx, path.at, reader, next, gone)) {
            path.end = SatPathEnd::unreadable;
            return;
        }
        next.txid = spender;
        path.txids.push_back(spender);
        path.at = next;
        if (gone) {
            path.end = SatPathEnd::gone;
            return;
        }
    }
}

bool woc_bulk_tx_json(const std::vector<std::string>& txids, std::vector<json>& txs) {
    txs.assign(txids.size(), json());
    std::atomic<bool> answered{false};
    // Each batch writes only its own slots of `txs`.
    parallel_for((txids.size() + kBulkTxIds - 1) / kBulkTxIds, kBulkRequestsAtOnce, [&](std::uint64_t batch) {
        const std::size_t first = static_cast<std::size_t>(batch) * kBulkTxIds;
        if (bulk_batch(txids, first, std::min(txids.size(), first + kBulkTxIds), txs)) answered = true;
    });
    return answered;
}
