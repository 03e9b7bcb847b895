// The checks a kept record passes: the transaction its text is, the record it carries, and
// whether any reader reads records of its type.
#include "art/watch/record_checks.h"

#include "chain/outpoints.h"
#include "chain/tx.h"
#include "identity/typed_verify.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"

#include <algorithm>
#include <iterator>
#include <limits>

using json = nlohmann::json;

bool kept_record_type(const std::string& type) {
    // The title read and the ownership list read pairs and passes; the last sale and the gallery
    // read what the frames carry.
    static const char* const kRead[] = {"art_pair",   "art_owner", "art_show",    "art_hide",
                                        "art_gentry", "art_gask",  "art_gaccept", "art_gfunded"};
    return std::find(std::begin(kRead), std::end(kRead), type) != std::end(kRead);
}

bool watch_record_of_tx(const std::string& txid, std::int64_t listed, json tx, WatchRecord& record) {
    record = WatchRecord{};
    record.listed = listed;
    record.tx = std::move(tx);
    if (!find_art_message_in_tx(record.tx, record.msg)) return false;
    // A record keeps the meaning it had when it went on chain: it speaks for the key it carries,
    // whatever key its paymail names today. The rules that read it compare keys.
    if (!verify_art_record(record.msg)) return false;
    record.ts = json_ts(record.msg);
    if (record.ts <= 0) return false;
    record.txid = txid;
    return true;
}

bool tx_json_hashes_to(const json& tx, const std::string& txid) {
    std::int64_t version = 0, locktime = 0;
    if (!tx.is_object() || !json_i64(tx, "version", version) || !json_i64(tx, "locktime", locktime)) return false;
    const auto vin = tx.find("vin");
    const auto vout = tx.find("vout");
    if (vin == tx.end() || !vin->is_array() || vout == tx.end() || !vout->is_array()) return false;
    Bytes raw;
    append_u32_le(raw, static_cast<std::uint32_t>(version));
    append_varint(raw, vin->size());
    for (const json& in : *vin) {
        std::int64_t sequence = 0;
        if (!in.is_object() || !json_i64(in, "sequence", sequence)) return false;
        std::string script_hex;
        if (in.contains("coinbase")) {
            raw.insert(raw.end(), 32, 0);
            append_u32_le(raw, 0xFFFFFFFFu);
            script_hex = json_text(in, "coinbase");
        } else {
            std::int64_t index = 0;
            const Bytes prev = from_hex(json_text(in, "txid"));
            if (prev.size() != 32 || !json_i64(in, "vout", index)) return false;
            raw.insert(raw.end(), prev.rbegin(), prev.rend());
            append_u32_le(raw, static_cast<std::uint32_t>(index));
            const auto sig = in.find("scriptSig");
            if (sig != in.end() && sig->is_object()) script_hex = json_text(*sig, "hex");
        }
        const Bytes script = from_hex(script_hex);
        if (script.size() * 2 != script_hex.size()) return false;
        append_varint(raw, script.size());
        raw.insert(raw.end(), script.begin(), script.end());
        append_u32_le(raw, static_cast<std::uint32_t>(sequence));
    }
    append_varint(raw, vout->size());
    for (const json& out : *vout) {
        const auto spk = out.is_object() ? out.find("scriptPubKey") : json::const_iterator();
        if (!out.is_object() || spk == out.end() || !spk->is_object()) return false;
        const std::string script_hex = json_text(*spk, "hex");
        const Bytes script = from_hex(script_hex);
        if (script.size() * 2 != script_hex.size()) return false;
        append_u64_le(raw, static_cast<std::uint64_t>(vout_value_sats(out)));
        append_varint(raw, script.size());
        raw.insert(raw.end(), script.begin(), script.end());
    }
    append_u32_le(raw, static_cast<std::uint32_t>(locktime));
    return compute_txid(raw) == to_lower_copy(txid);
}
