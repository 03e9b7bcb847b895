#include "chain/sat_path.h"

#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"

#include <algorithm>
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
    if (!woc_tx_usable(spender)) return false;
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
        if (!prev || !woc_tx_usable(*prev) || outpoint.second >= (*prev)["vout"].size() ||
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
        if (!tx || !woc_tx_usable(*tx) || !sat_hop(*tx, path.at, reader, next, gone)) {
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
