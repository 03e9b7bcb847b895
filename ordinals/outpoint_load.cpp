#include "ordinals/outpoint_load.h"

#include "chain/outpoints.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "ordinals/envelope.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

using nlohmann::json;

namespace {

constexpr std::size_t kMaxScriptHex = 100000;
constexpr std::size_t kMinHexReply = 20;
// No output can hold more than the whole supply of 21 million BSV; a "value" above it is not an
// amount at all and must not reach the signature as one.
constexpr double kMaxSats = 21e6 * 1e8;
constexpr const char* kBadOutpoint = "bad outpoint.";
constexpr const char* kNotLoaded = "could not load that outpoint from the chain yet. Wait a few seconds.";

// Matches the script against the three usable layouts: an envelope beside a P2PKH lock, else a
// bare P2PKH lock, which loads with no content.
bool match_layout(const Bytes& script, Hash160& hash160, std::string& content_type, Bytes& body,
                  std::string& metadata) {
    if (read_locked_envelope(script, hash160, content_type, body, &metadata)) return true;
    content_type.clear();
    body.clear();
    metadata.clear();
    return p2pkh_script_hash160(script, hash160);
}

// Satoshis of a transaction JSON output. WhatsOnChain writes every "value" in BSV, a whole coin
// as a bare integer too, so an integer is BSV as well: read as satoshis, an output of 1 BSV would
// enter the signature digest as 1 sat and every spend of it would be refused. Anything below one
// satoshi (or no number) counts as one. False only for an amount no output can hold.
bool json_output_sats(const json& out, std::uint64_t& sats) {
    sats = 1;
    auto it = out.find("value");
    if (it == out.end()) return true;
    double scaled = 0;
    if (it->is_number_float()) {
        scaled = it->get<double>() * 100000000.0;
    } else if (it->is_number_unsigned()) {
        scaled = static_cast<double>(it->get<std::uint64_t>()) * 100000000.0;
    } else if (it->is_number_integer()) {
        scaled = static_cast<double>(it->get<std::int64_t>()) * 100000000.0;
    } else {
        return true;
    }
    if (!std::isfinite(scaled) || scaled > kMaxSats) return false;
    if (scaled >= 1) sats = static_cast<std::uint64_t>(std::llround(scaled));
    return true;
}

bool load_from_json(const json& tx, std::uint32_t vout, std::uint64_t& sats, Bytes& script, Hash160& hash160,
                    std::string& content_type, Bytes& inscription, std::string& metadata) {
    if (!tx.is_object()) return false;
    auto outs = tx.find("vout");
    if (outs == tx.end() || !outs->is_array() || vout >= outs->size()) return false;
    const json& out = (*outs)[vout];
    if (!out.is_object() || !json_output_sats(out, sats)) return false;
    auto spk = out.find("scriptPubKey");
    if (spk == out.end() || !spk->is_object()) return false;
    const std::string hex = json_text(*spk, "hex");
    if (hex.empty() || hex.size() >= kMaxScriptHex) return false;
    script = from_hex(hex);
    return match_layout(script, hash160, content_type, inscription, metadata);
}

bool load_from_hex(std::string body, std::uint32_t vout, std::uint64_t& sats, Bytes& script, Hash160& hash160,
                   std::string& content_type, Bytes& inscription, std::string& metadata) {
    if (body.size() <= kMinHexReply) return false;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r' || body.back() == '"'))
        body.pop_back();
    const Bytes raw = from_hex(body);
    std::uint64_t value = 0;
    if (raw.empty() || !raw_tx_output_at(raw, static_cast<std::int32_t>(vout), value, script) || value < 1)
        return false;
    sats = value;
    return match_layout(script, hash160, content_type, inscription, metadata);
}

} // namespace

bool woc_load_outpoint(const std::string& txid, std::uint32_t vout, TxInput& input, std::string& content_type,
                       Bytes& body, std::string& metadata, std::string& error, std::uint32_t timeout_s) {
    input = TxInput{};
    input.height = -1;
    content_type.clear();
    body.clear();
    metadata.clear();
    error.clear();
    if (!is_txid_hex(txid) || vout > 0x7FFFFFFFu) {
        error = kBadOutpoint;
        return false;
    }
    // http_get takes a signed time-out; a caller's huge one must not turn negative.
    const auto timeout = static_cast<std::int32_t>(std::min<std::uint32_t>(timeout_s, 0x7FFFFFFFu));

    std::uint64_t sats = 1;
    Bytes script;
    Hash160 hash160{};
    std::string reply, http_error;
    // An output never changes once its transaction exists: a copy read before, by this step or
    // another reader, serves as well as a new one.
    json tx;
    bool loaded = tx_store_read(
                      service_settings().woc_base, txid,
                      [&](json& out) {
                          if (!http_get(woc_url("/tx/" + txid), reply, http_error, timeout, false)) return false;
                          out = json_parse_or_discarded(reply);
                          return out.is_object();
                      },
                      tx, true) &&
                  load_from_json(tx, vout, sats, script, hash160, content_type, body, metadata);
    if (!loaded) {
        reply.clear();
        loaded = http_get(woc_url("/tx/" + txid + "/hex"), reply, http_error, timeout, false) &&
                 load_from_hex(reply, vout, sats, script, hash160, content_type, body, metadata);
    }
    if (!loaded) {
        error = kNotLoaded;
        return false;
    }
    input.txid = txid;
    input.vout = vout;
    input.sats = sats;
    input.prev_script = std::move(script);
    input.hash160 = hash160;
    return true;
}
