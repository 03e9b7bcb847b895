#include "identity/typed_sign.h"

#include "identity/paymail_announce.h"
#include "identity/typed_verify.h"
#include "wallet/clock.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

namespace {

constexpr const char* kConnectCofferly = "Connect Cofferly";

// The wallet's settled paymail alias, or "" when no wallet loads. The mutex is held only for the
// copy: signing takes it again itself and verification may wait on the network.
std::string settled_wallet_alias() {
    WalletLock lock = lock_wallet();
    if (!load_wallet()) return std::string();
    ensure_wallet_paymail(false);
    return kv_wallet().paymail;
}

// A numeric `ts` is the caller's own time and stays; anything else, digits in a string included,
// is no time that readers take as one, so the current time replaces it.
void stamp_time(TypedMessage& msg) {
    auto it = msg.find("ts");
    if (it != msg.end() && it->is_number()) return;
    msg["ts"] = clock_system_ms() / 1000;
}

std::string identity_check_error() {
    return "identity signature did not verify against " + service_settings().platform_host + " PKI";
}

// Each flow fills in who speaks; false when no wallet can speak.
bool fill_trading(TypedMessage& msg) {
    const std::string address = current_receive_address();
    if (address.empty()) return false;
    const std::string alias = settled_wallet_alias();
    msg["location"] = "tradeloom";
    msg["handle"] = alias.empty() ? address : alias;
    msg["actor"] = msg["handle"];
    msg["pay_addr"] = address;
    if (alias.empty()) {
        msg.erase("paymail");
    } else {
        msg["paymail"] = full_paymail(alias);
    }
    stamp_time(msg);
    return true;
}

bool fill_web_gate(TypedMessage& msg) {
    const std::string alias = settled_wallet_alias();
    if (alias.empty()) return false;
    msg["handle"] = alias;
    // The web-gate form signs none of these; left in place they would read as signed claims.
    for (const char* key : {"actor", "paymail", "ts", "protocol", "location", "channel", "site_addr", "site_sats",
                            "fee_addr", "fee_sats", "pubkey", "sig"})
        msg.erase(key);
    return true;
}

bool fill_default(TypedMessage& msg) {
    const std::string alias = settled_wallet_alias();
    if (alias.empty()) return false;
    msg["actor"] = alias;
    // The connected paymail is this alias on the platform's domain; built from the copy taken above,
    // actor and paymail always name the same wallet even when another one is connected meanwhile.
    msg["paymail"] = full_paymail(alias);
    stamp_time(msg);
    return true;
}

} // namespace

bool sign_typed_message(TypedMessage& msg, std::string& error) {
    error.clear();
    if (msg.is_null()) msg = TypedMessage::object();
    // Setting a field on an array or a text would throw out of a worker thread.
    if (!msg.is_object()) {
        error = "the message to sign is not a JSON object";
        return false;
    }
    const std::string type = msg_field_str(msg, "type");
    bool filled = false;
    std::string refusal;
    if (msg_field_str(msg, "protocol") == "KV-Tradeloom") {
        filled = fill_trading(msg);
        refusal = "Tradeloom signature did not verify";
    } else if (type == "web_gate" || type == "n_button") {
        filled = fill_web_gate(msg);
        refusal = identity_check_error();
    } else {
        filled = fill_default(msg);
        refusal = identity_check_error();
    }
    if (!filled) {
        error = kConnectCofferly;
        return false;
    }
    // A bar inside a field would let the signature be read as vouching for differently split fields.
    if (!preimage_fields_unambiguous(msg)) {
        error = "a signed field holds a \"|\"";
        return false;
    }
    std::string pubkey, signature;
    if (!sign_with_identity(canonical_message_preimage(msg), pubkey, signature, error)) return false;
    msg["pubkey"] = pubkey;
    msg["sig"] = signature;
    // A message this program would not accept from a peer is never handed back as signed.
    if (!verify_typed_message(msg)) {
        error = refusal;
        return false;
    }
    return true;
}
