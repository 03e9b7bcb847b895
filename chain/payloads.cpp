#include "chain/payloads.h"

#include "chain/outpoints.h"
#include "chain/pay.h"
#include "chain/reserves.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"

#include <nlohmann/json.hpp>

namespace {

const char* const kNotConnected =
    "error: Cofferly wallet not connected. Create or Restore in Cofferly, then Connect in the app.";
// Shorter offers cannot hold even one input and one output.
constexpr std::size_t kOfferMinHexDigits = 80;

bool p2pkh_output(const std::string& address, std::uint64_t sats, TxOutput& out) {
    Hash160 h{};
    if (address.empty() || !address_to_hash160(address, h)) return false;
    out.sats = sats;
    out.script = p2pkh_script(h);
    return true;
}

} // namespace

TxOutput payload_output(const std::string& payload) {
    TxOutput out;
    out.sats = 0;
    out.script = op_return_script(Bytes(payload.begin(), payload.end()));
    return out;
}

std::string send_report_payload(const std::string& payload) {
    if (!is_cofferly_connected()) return kNotConnected;
    if (payload.empty()) return "error: empty report payload.";
    WalletLock lock = lock_wallet();
    std::vector<TxOutput> outputs(2);
    if (!p2pkh_output(kReportFeeAddress, kReportFeeSats, outputs[0])) return "error: report fee address decode failed.";
    if (!p2pkh_output(kReportOracleAddress, kHookSats, outputs[1])) return "error: report oracle decode failed.";
    outputs.push_back(payload_output(payload));
    return pay_with_retry(lock, outputs);
}

std::string send_art_pair_payload(const std::string& payload, const std::string& zuz_address,
                                  const std::string& otx_address, const std::string& pair_fee_address) {
    if (!is_cofferly_connected()) return kNotConnected;
    if (payload.empty()) return "error: empty art pair payload.";
    if (zuz_address.empty() || otx_address.empty())
        return "error: ZUZ and OTX watches are not assigned yet. Create both addresses in Cofferly, then pin them.";
    WalletLock lock = lock_wallet();
    std::vector<TxOutput> outputs(3);
    if (!p2pkh_output(zuz_address, kHookSats, outputs[1])) return "error: ZUZ address decode failed.";
    if (!p2pkh_output(otx_address, kHookSats, outputs[2])) return "error: OTX address decode failed.";
    if (!p2pkh_output(pair_fee_address, kPairFeeSats, outputs[0])) return "error: pair fee address decode failed.";
    outputs.push_back(payload_output(payload));
    return pay_with_retry(lock, outputs);
}

std::string send_gallery_payload(const std::string& payload, const std::string& watch_address) {
    if (!is_cofferly_connected()) return kNotConnected;
    if (payload.empty()) return "error: empty gallery payload.";
    if (watch_address.empty()) return "error: gallery watch is not assigned.";
    WalletLock lock = lock_wallet();
    std::vector<TxOutput> outputs(1);
    if (!p2pkh_output(watch_address, kHookSats, outputs[0])) return "error: gallery watch address decode failed.";
    outputs.push_back(payload_output(payload));
    std::vector<std::string> offer_inputs;
    offer_payload_inputs(payload, offer_inputs);
    return pay_with_retry(lock, outputs, offer_inputs);
}

void offer_payload_inputs(const std::string& payload, std::vector<std::string>& keys) {
    keys.clear();
    const nlohmann::json doc = json_parse_or_discarded(payload);
    if (!doc.is_object()) return;
    auto offer = doc.find("offer");
    if (offer == doc.end() || !offer->is_string()) return;
    const std::string& text = offer->get_ref<const std::string&>();
    std::string hex;
    for (char c : text) {
        const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (digit) hex.push_back(c);
    }
    hex = to_lower_copy(hex);
    if (hex.size() < kOfferMinHexDigits || hex.size() % 2 != 0) return;
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    if (!parse_raw_tx(from_hex(hex), inputs, outputs)) return;
    for (const TxInput& in : inputs) {
        if (is_txid_hex(in.txid)) keys.push_back(reserve_key(in.txid, in.vout));
    }
}
