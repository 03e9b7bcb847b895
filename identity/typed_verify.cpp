#include "identity/typed_verify.h"

#include "identity/identity_lookup.h"
#include "identity/sig_primitives.h"
#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

namespace {

const char* const kTradingProtocol = "KV-Tradeloom";
const char* const kTradingLocation = "tradeloom";

bool is_channel_protocol(const std::string& protocol) {
    return protocol == "PQR-Notes" || protocol == "KV-Art" || protocol == "KV-Bazarel" || protocol == "KV-Identity" ||
           protocol == "KV-Phone";
}

bool is_web_gate_type(const std::string& type) {
    return type == "web_gate" || type == "n_button";
}

// Conversation types speak for the handle's own owner, so the actor may not speak for another.
bool actor_must_be_handle(const std::string& type) {
    return type == "message" || type == "thread_reply" || type == "whisper" || type == "react" || type == "np";
}

std::string message_pubkey(const TypedMessage& msg) {
    return msg_field_str(msg, "pubkey", "publicKey");
}

std::string message_sig(const TypedMessage& msg) {
    return msg_field_str(msg, "sig", "signature");
}

bool verify_trading_message(const TypedMessage& msg) {
    const std::string type = msg_field_str(msg, "type");
    const std::string pubkey = message_pubkey(msg);
    const std::string sig = message_sig(msg);
    if (type.size() < 3 || type.compare(0, 3, "nt_") != 0 || pubkey.empty() || sig.empty()) return false;
    if (msg_field_str(msg, "location") != kTradingLocation) return false;
    if (msg_field_int(msg, "ts") <= 0) return false;
    if (!verify_signed_message(canonical_message_preimage(msg), pubkey, sig)) return false;
    // A trader without a paymail speaks for the receive address alone, which the signature covers.
    const std::string paymail = msg_field_str(msg, "paymail");
    if (paymail.empty()) return true;
    return identity_matches(msg_field_str(msg, "actor"), pubkey, paymail);
}

bool verify_web_gate_message(const TypedMessage& msg) {
    const std::string handle = msg_field_str(msg, "handle");
    const std::string pubkey = message_pubkey(msg);
    const std::string sig = message_sig(msg);
    if (handle.empty() || pubkey.empty() || sig.empty()) return false;
    if (msg_field_str(msg, "origin").empty() || msg_field_str(msg, "path").empty() ||
        msg_field_str(msg, "nonce").empty())
        return false;
    if (!verify_signed_message(canonical_message_preimage(msg), pubkey, sig)) return false;
    return identity_matches(handle, pubkey, "");
}

} // namespace

bool verify_channel_message(const TypedMessage& msg) {
    if (!msg.is_object() || !is_channel_protocol(msg_field_str(msg, "protocol"))) return false;
    const std::string type = msg_field_str(msg, "type");
    std::string channel = msg_field_str(msg, "channel");
    if (channel.empty()) channel = msg_field_str(msg, "location");
    const std::string handle = msg_field_str(msg, "handle");
    const std::string actor = msg_field_str(msg, "actor");
    const std::string pubkey = message_pubkey(msg);
    const std::string sig = message_sig(msg);
    if (type.empty() || handle.empty() || actor.empty()) return false;
    if (channel.empty() && type != "whisper") return false;
    if (pubkey.empty() || sig.empty()) return false;
    if (actor_must_be_handle(type) && to_lower_copy(msg_norm_handle(actor)) != to_lower_copy(msg_norm_handle(handle)))
        return false;
    if (msg_field_int(msg, "ts") <= 0) return false;
    return verify_signed_message(canonical_message_preimage(msg), pubkey, sig);
}

bool identity_matches(const std::string& actor, const std::string& pubkey_text, const std::string& paymail) {
    Bytes key;
    if (!msg_hex_to_bytes(pubkey_text, key)) return false;
    const std::string normalized = normalize_pubkey(key);
    if (normalized.empty()) return false;
    const std::string identity = lookup_identity_pubkey(actor, paymail);
    return !identity.empty() && identity == normalized;
}

bool verify_typed_message(const TypedMessage& msg) {
    if (!msg.is_object()) return false;
    if (msg_field_str(msg, "protocol") == kTradingProtocol) return verify_trading_message(msg);
    if (is_web_gate_type(msg_field_str(msg, "type"))) return verify_web_gate_message(msg);
    if (!verify_channel_message(msg)) return false;
    return identity_matches(msg_field_str(msg, "actor"), message_pubkey(msg), msg_field_str(msg, "paymail"));
}
