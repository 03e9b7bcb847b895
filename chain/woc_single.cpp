// Single reads of one transaction: whether the service knows it, its JSON, the spender of one of
// its outputs, and the wallet's own outputs in it.
#include "chain/woc_client.h"

#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/tx_store.h"
#include "chain/woc_reply.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"
#include "wallet/step_scope.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

using nlohmann::json;
using woc::json_round_i64;
using woc::tx_path;

namespace {

// No amount on the chain can exceed the money supply; anything larger is a broken reply.
constexpr double kMaxSats = 21e14;

// Satoshis of a transaction output: "satoshis" as given, else "value" in BSV. False when neither
// is a usable amount.
bool output_sats(const json& out, std::int64_t& sats) {
    auto it = out.find("satoshis");
    if (it != out.end() && it->is_number()) {
        if (!json_round_i64(*it, sats)) return false;
        return sats >= 1 && static_cast<double>(sats) <= kMaxSats;
    }
    it = out.find("value");
    if (it == out.end() || !it->is_number()) return false;
    double bsv = it->get<double>();
    if (!std::isfinite(bsv)) return false;
    double scaled = bsv * 100000000.0;
    if (scaled > kMaxSats) return false;
    sats = std::llround(scaled);
    return sats >= 1;
}

} // namespace

bool woc_tx_exists(const std::string& txid) {
    if (!is_txid_hex(txid)) return false;
    std::string body, err;
    if (http_get(woc_url(tx_path(txid) + "/hex"), body, err, 25, false) && body.size() > 20) return true;
    return http_get(woc_url(tx_path(txid)), body, err, 25, false) && body.find("txid") != std::string::npos;
}

int woc_tx_status(const std::string& txid) {
    if (!is_txid_hex(txid)) return 1;
    std::string body, err;
    if (http_get(woc_url(tx_path(txid) + "/hex"), body, err, 12, false)) {
        if (body.size() > 20) return 0;
    } else if (err.find("HTTP 404") != std::string::npos) {
        return 1;
    }
    if (http_get(woc_url(tx_path(txid)), body, err, 12, false)) {
        if (body.find("txid") != std::string::npos) return 0;
    } else if (err.find("HTTP 404") != std::string::npos) {
        return 1;
    }
    return 2;
}

bool woc_tx_json(const std::string& txid, json& tx, bool mempool_copy_will_do) {
    const std::string url = woc_url(tx_path(txid));
    return tx_store_read(
        service_settings().woc_base, txid,
        [&url](json& out) {
            std::string body, err;
            if (!http_get(url, body, err, 15, false)) return false;
            out = json_parse_or_discarded(body);
            return !out.is_discarded() && out.is_object();
        },
        tx, mempool_copy_will_do);
}

int woc_spent_by(const std::string& txid, std::uint32_t vout, std::string& spender) {
    spender.clear();
    // What the bulk status or an earlier look-up named serves this reader too: every read of the
    // process follows a coin to the same spender.
    int code = 0;
    if (woc::remembered_spend(txid, vout, code, spender)) return code;
    // An output the step that asks found unspent a moment ago is not asked about again in the step.
    if (step_spend_known(txid, vout, code, spender)) return code;
    std::string body, err;
    if (http_get(woc_url(tx_path(txid) + "/" + std::to_string(vout) + "/spent"), body, err, 15, true)) {
        json reply = json_parse_or_discarded(body);
        std::string by = reply.is_discarded() ? std::string() : to_lower_copy(json_text(reply, "txid"));
        if (!is_txid_hex(by) || by == to_lower_copy(txid)) {
            step_spend_note(txid, vout, 1, "");
            return 1;
        }
        woc::remember_spend(txid, vout, code, by);
        spender = by;
        return code;
    }
    if (err.find("HTTP 400") != std::string::npos && woc_tx_status(txid) == 1) {
        code = 3;
        woc::remember_spend(txid, vout, code, spender);
        return code;
    }
    return 2;
}

void woc_spends_seen(const std::string& spender_txid, const json& tx) {
    const std::string by = to_lower_copy(spender_txid);
    if (!is_txid_hex(by) || !woc_tx_usable(tx) || to_lower_copy(json_text(tx, "txid")) != by) return;
    for (const json& in : tx["vin"]) {
        if (!in.is_object()) continue;
        const auto n = in.find("vout");
        const std::string spent = to_lower_copy(json_text(in, "txid"));
        if (n == in.end() || !n->is_number_unsigned() || n->get<std::uint64_t>() > UINT32_MAX || !is_txid_hex(spent))
            continue;
        int code = 0;
        std::string spender = by;
        woc::remember_spend(spent, static_cast<std::uint32_t>(n->get<std::uint64_t>()), code, spender);
    }
}

bool learn_own_outputs(const std::string& txid) {
    if (!is_txid_hex(txid)) return false;
    std::string body, err;
    if (!http_get(woc_url(tx_path(txid)), body, err, 25, false) &&
        !http_get(woc_url(tx_path(txid) + "/decoded"), body, err, 25, false))
        return false;
    json tx = json_parse_or_discarded(body);
    if (tx.is_discarded() || !tx.is_object()) return false;
    auto vout = tx.find("vout");
    if (vout == tx.end() || !vout->is_array()) return false;

    std::vector<ChangeCoin>& coins = change_coins();
    bool added = false;
    std::uint32_t running = 0;
    for (const json& out : *vout) {
        std::uint32_t position = running++;
        if (!out.is_object()) continue;
        std::uint32_t index = position;
        auto n = out.find("n");
        if (n != out.end() && n->is_number_integer()) {
            std::int64_t v = 0;
            if (!json_round_i64(*n, v) || v < 0 || v > std::numeric_limits<std::uint32_t>::max()) continue;
            index = static_cast<std::uint32_t>(v);
        }
        std::int64_t sats = 0;
        if (!output_sats(out, sats)) continue;

        // Only a plain P2PKH lock is a coin the wallet can spend; the address comes from the
        // script itself, never from the reply's address fields.
        auto spk = out.find("scriptPubKey");
        if (spk == out.end() || !spk->is_object()) continue;
        Bytes script = from_hex(json_text(*spk, "hex"));
        Hash160 script_hash{};
        if (!p2pkh_script_hash160(script, script_hash)) continue;
        const std::string address = base58check_encode(script_hash);

        std::string priv_hex, pub_hex;
        Hash160 key_hash{};
        if (!is_my_address(address, priv_hex, pub_hex, key_hash) || priv_hex.empty() || pub_hex.empty()) {
            wipe(priv_hex);
            continue;
        }
        bool known = is_outpoint_spent(txid, index) ||
                     std::any_of(coins.begin(), coins.end(),
                                 [&](const ChangeCoin& c) { return outpoint_equal(c.txid, c.vout, txid, index); });
        if (known) {
            wipe(priv_hex);
            continue;
        }
        ChangeCoin coin;
        coin.txid = txid;
        coin.vout = index;
        coin.sats = sats;
        coin.height = 0;
        coin.priv_hex = std::move(priv_hex);
        coin.pub_hex = std::move(pub_hex);
        coin.hash160 = script_hash;
        coins.push_back(std::move(coin));
        added = true;
    }
    return added;
}
