#include "art/art_records.h"

#include "identity/typed_message.h"
#include "identity/typed_verify.h"
#include "wallet/bounded_cache.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/wallet_file.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_set>

using json = nlohmann::json;

namespace {

constexpr double kSatsPerBsv = 100000000.0;
constexpr std::size_t kTxidLength = 64;

// A double inside the signed 64-bit range, truncated toward zero; 0 outside it, where the cast
// would be undefined.
std::int64_t truncate_to_i64(double value) {
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) return 0;
    return static_cast<std::int64_t>(value);
}

std::uint32_t read_le(const Bytes& data, std::size_t at, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value |= static_cast<std::uint32_t>(data[at + i]) << (8 * i);
    return value;
}

// The id text of one listing item: the item itself, or an object's `tx_hash`, else its `txid`.
std::string watch_item_txid(const json& item) {
    if (item.is_string()) return item.get<std::string>();
    if (!item.is_object()) return "";
    const auto hash = item.find("tx_hash");
    if (hash != item.end() && hash->is_string()) return hash->get<std::string>();
    return json_text(item, "txid");
}

} // namespace

ArtMessage new_art_message(const std::string& type) {
    std::string alias;
    {
        WalletLock lock = lock_wallet();
        if (load_wallet()) alias = kv_wallet().paymail;
    }
    json msg = json::object();
    msg["protocol"] = kArtProtocol;
    msg["type"] = type;
    msg["location"] = kArtLocation;
    msg["handle"] = alias;
    return msg;
}

std::string art_trim_copy(std::string text) {
    return msg_trim(text);
}

std::string norm_txid(const std::string& text) {
    std::string id = to_lower_copy(art_trim_copy(text));
    if (id.size() > kTxidLength && id[kTxidLength] == '_') id.resize(kTxidLength);
    return id;
}

bool op_return_first_push(const std::string& script_hex, Bytes& out) {
    out.clear();
    if (script_hex.size() < 4 || script_hex.size() % 2 != 0) return false;
    const Bytes script = from_hex(script_hex);
    if (script.empty()) return false;

    std::size_t i = script[0] == 0x00 ? 1 : 0;
    if (i + 1 >= script.size() || script[i] != 0x6a) return false;
    const std::uint8_t op = script[i + 1];
    const std::size_t size = script.size();
    std::size_t length = 0;
    std::size_t start = 0;
    if (op < 0x4c) {
        length = op;
        start = i + 2;
    } else if (op == 0x4c || op == 0x4d || op == 0x4e) {
        const std::size_t width = op == 0x4c ? 1 : (op == 0x4d ? 2 : 4);
        if (size - (i + 2) < width) return false;
        length = read_le(script, i + 2, width);
        start = i + 2 + width;
    } else {
        return false;
    }
    // Compared as a remainder so a 4-byte length near 2^32 cannot wrap the end position.
    if (length == 0 || length > size - start) return false;
    out.assign(script.begin() + static_cast<std::ptrdiff_t>(start),
               script.begin() + static_cast<std::ptrdiff_t>(start + length));
    return true;
}

bool find_art_message_in_tx(const json& tx, ArtMessage& out) {
    if (!tx.is_object()) return false;
    const auto vouts = tx.find("vout");
    if (vouts == tx.end() || !vouts->is_array()) return false;
    for (const json& vout : *vouts) {
        if (!vout.is_object()) continue;
        const auto spk = vout.find("scriptPubKey");
        if (spk == vout.end() || !spk->is_object()) continue;
        Bytes data;
        if (!op_return_first_push(json_text(*spk, "hex"), data)) continue;
        json msg = json_parse_or_discarded(std::string(data.begin(), data.end()));
        if (!msg.is_object() || json_text(msg, "protocol") != kArtProtocol) continue;
        out = std::move(msg);
        return true;
    }
    return false;
}

std::string vout_address(const json& vout) {
    if (!vout.is_object()) return "";
    const auto spk = vout.find("scriptPubKey");
    if (spk == vout.end() || !spk->is_object()) return "";
    const auto addresses = spk->find("addresses");
    if (addresses != spk->end() && !addresses->empty()) {
        // A non-empty `addresses` that is not a list names no address rather than falling back.
        if (!addresses->is_array()) return "";
        if ((*addresses)[0].is_string()) return (*addresses)[0].get<std::string>();
    }
    return json_text(*spk, "address");
}

std::int64_t vout_value_sats(const json& vout) {
    if (!vout.is_object()) return 0;
    const auto sat = vout.find("valueSat");
    if (sat != vout.end() && sat->is_number()) {
        if (sat->is_number_unsigned()) {
            const std::uint64_t u = sat->get<std::uint64_t>();
            return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                       ? 0
                       : static_cast<std::int64_t>(u);
        }
        if (sat->is_number_integer()) return sat->get<std::int64_t>();
        return truncate_to_i64(sat->get<double>());
    }
    const auto bsv = vout.find("value");
    if (bsv != vout.end() && bsv->is_number()) return truncate_to_i64(bsv->get<double>() * kSatsPerBsv + 0.5);
    return 0;
}

bool tx_pays_address(const json& tx, const std::string& address) {
    if (address.empty() || !tx.is_object()) return false;
    const auto vouts = tx.find("vout");
    if (vouts == tx.end() || !vouts->is_array()) return false;
    bool any_address = false;
    for (const json& vout : *vouts) {
        const std::string paid = vout_address(vout);
        if (paid.empty()) continue;
        any_address = true;
        if (paid == address && vout_value_sats(vout) >= 1) return true;
    }
    // A transaction form that exposes no addresses cannot be judged, and is let through.
    return !any_address;
}

namespace {

// A gallery read and the title reads it starts meet the same records many times; checking a
// signature costs far more than hashing the record's text. Bound well above the records one
// Refresh meets.
constexpr std::size_t kVerifiedRecordsKept = 20000;
std::mutex g_verified_mutex;
BoundedCache<bool> g_verified(kVerifiedRecordsKept);

} // namespace

bool verify_art_record(const ArtMessage& msg) {
    // Keyed by the whole text, never by the transaction that carried it: a service may answer any
    // text for an id, and a copy of a record in another transaction is the same record.
    const std::string key = sha256_hex(msg.dump(-1, ' ', false, json::error_handler_t::replace));
    {
        std::lock_guard<std::mutex> lock(g_verified_mutex);
        if (const bool* known = g_verified.find(key)) return *known;
    }
    const bool verified = verify_channel_message(msg);
    std::lock_guard<std::mutex> lock(g_verified_mutex);
    g_verified.put(key, verified);
    return verified;
}

std::int64_t json_ts(const json& msg) {
    return msg_field_int(msg, "ts");
}

std::string json_identity_pubkey(const json& msg) {
    std::string key = json_text(msg, "pubkey");
    if (key.empty()) key = json_text(msg, "publicKey");
    return to_lower_copy(key);
}

std::string sha256_hex(const Bytes& data) {
    const Hash256 digest = sha256(data);
    return to_hex(digest.data(), digest.size());
}

std::string sha256_hex(const std::string& data) {
    const Hash256 digest = sha256(data);
    return to_hex(digest.data(), digest.size());
}

void append_txid_unique(std::vector<std::string>& list, const std::string& text) {
    if (text.size() != kTxidLength) return;
    std::string id = to_lower_copy(text);
    if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(std::move(id));
}

void parse_watch_txid_item(const json& item, std::vector<std::string>& list) {
    append_txid_unique(list, watch_item_txid(item));
}

void parse_watch_txids(const json& reply, std::vector<std::string>& list) {
    const json* items = nullptr;
    if (reply.is_array()) {
        items = &reply;
    } else if (reply.is_object()) {
        for (const char* key : {"result", "txids", "history"}) {
            const auto it = reply.find(key);
            if (it != reply.end() && it->is_array()) {
                items = &*it;
                break;
            }
        }
    }
    if (!items) return;
    // A watch may list twenty thousand ids; a set keeps the duplicate test from growing with the
    // square of the listing.
    std::unordered_set<std::string> seen(list.begin(), list.end());
    for (const json& item : *items) {
        const std::string text = watch_item_txid(item);
        if (text.size() != kTxidLength) continue;
        std::string id = to_lower_copy(text);
        if (seen.insert(id).second) list.push_back(std::move(id));
    }
}

void sort_watch_records(std::vector<WatchRecord>& records) {
    std::sort(records.begin(), records.end(), [](const WatchRecord& a, const WatchRecord& b) {
        if (a.ts != b.ts) return a.ts < b.ts;
        return a.txid < b.txid;
    });
}
