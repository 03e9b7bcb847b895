#include "chain/compact_sig.h"

#include "chain/outpoints.h"
#include "wallet/curve.h"
#include "wallet/http_client.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

std::mutex& p2p_mutex() {
    static std::mutex m;
    return m;
}

std::unordered_map<std::string, P2pDestination>& p2p_registry() {
    static std::unordered_map<std::string, P2pDestination> registry;
    return registry;
}

} // namespace

bool sign_bitcoin_message(const std::string& priv_hex, const std::string& message, std::string& signature_b64) {
    signature_b64.clear();
    const Hash256 digest = bitcoin_message_digest(message);
    Bytes key = from_hex(priv_hex);
    std::array<std::uint8_t, 64> rs{};
    int recid = -1;
    const bool signed_ok = key.size() == 32 && curve_sign_recoverable(key.data(), digest.data(), rs, recid);
    wipe(key);
    if (!signed_ok || recid < 0 || recid > 3) return false;

    // The header names the recovery id of a compressed key.
    std::uint8_t compact[65];
    compact[0] = static_cast<std::uint8_t>(31 + recid);
    std::memcpy(compact + 1, rs.data(), rs.size());
    signature_b64 = base64_encode(compact, sizeof compact);
    return !signature_b64.empty();
}

void add_p2p_destination(const std::string& address, const P2pDestination& destination) {
    std::lock_guard<std::mutex> lock(p2p_mutex());
    p2p_registry()[address] = destination;
}

bool find_p2p_destination(const std::string& address, P2pDestination& destination) {
    std::lock_guard<std::mutex> lock(p2p_mutex());
    auto it = p2p_registry().find(address);
    if (it == p2p_registry().end()) return false;
    destination = it->second;
    return true;
}

std::string p2p_notice_body(const P2pPaymentNote& note, const P2pReceiver& receiver) {
    nlohmann::json body;
    body["hex"] = note.hex;
    body["metadata"] = {
        {"sender", receiver.sender}, {"pubkey", note.pubkey}, {"signature", note.signature}, {"note", "payment"}};
    body["reference"] = receiver.reference;
    try {
        return body.dump();
    } catch (const nlohmann::json::exception&) {
        return {}; // a sender or reference that is not UTF-8
    }
}

void post_p2p_transaction(const P2pPaymentNote& note) {
    for (const P2pReceiver& receiver : note.receivers) {
        std::string body = p2p_notice_body(note, receiver);
        if (body.empty()) continue;
        std::string response, error;
        http_post_json(receiver.endpoint, body, response, error, 12, 1);
    }
}

void notify_p2p_payment(const std::string& raw_hex, const std::string& txid, const std::vector<TxOutput>& outputs) {
    if (!is_txid_hex(txid) || raw_hex.empty()) return;
    {
        std::lock_guard<std::mutex> lock(p2p_mutex());
        if (p2p_registry().empty()) return;
    }

    P2pPaymentNote note;
    {
        auto wallet_lock = lock_wallet();
        if (!load_wallet() || kv_wallet().mnemonic.empty()) return;
        std::string priv, pub, address;
        const bool derived = derive_path(kIdentityPath, priv, pub, address);
        bool signed_ok = false;
        if (derived && priv.size() == 64) signed_ok = sign_bitcoin_message(priv, txid, note.signature);
        wipe(priv);
        if (!signed_ok || note.signature.empty()) return;
        note.pubkey = pub;
    }

    {
        std::lock_guard<std::mutex> lock(p2p_mutex());
        auto& registry = p2p_registry();
        for (const TxOutput& out : outputs) {
            Hash160 h{};
            if (!p2pkh_script_hash160(out.script, h)) continue;
            auto it = registry.find(base58check_encode(h));
            if (it == registry.end() || it->second.sats < 0 || static_cast<std::uint64_t>(it->second.sats) != out.sats)
                continue;
            note.receivers.push_back({it->second.endpoint, it->second.reference, it->second.sender});
            registry.erase(it);
        }
    }
    if (note.receivers.empty()) return;
    note.hex = to_lower_copy(raw_hex);
    // Posted before the payment answers, so no thread of it outlives the step; a notice that throws
    // is dropped like a failed post.
    try {
        post_p2p_transaction(note);
    } catch (...) {
    }
}
