#include "identity/paymail_claim.h"

#include "identity/paymail_registry.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <mutex>
#include <vector>

using nlohmann::json;

namespace {

constexpr std::uint32_t kClaimTimeoutS = 25;
constexpr std::int32_t kClaimAttempts = 4;

// The balance worker and the pass worker claim at the same time; the key itself is the only
// shared state, so the lock covers the compare and the store, never the request.
std::mutex g_last_claim_mutex;
std::string g_last_claim_key;

} // namespace

std::string paymail_claim_text(const std::string& alias, const std::string& pubkey_hex, const std::string& address,
                               const std::string& avatar, const std::string& ord_address, const std::string& bn_pub,
                               const std::string& bn_address, std::int64_t ts) {
    std::string text = "KV-PAYMAIL-CLAIM|" + alias + "|" + pubkey_hex + "|" + address + "|" + avatar + "|";
    if (!bn_pub.empty() && !bn_address.empty()) {
        text += ord_address + "|" + bn_pub + "|" + bn_address + "|";
    } else if (!ord_address.empty()) {
        text += ord_address + "|";
    }
    return text + std::to_string(ts);
}

std::string reply_error_text(const std::string& body) {
    return json_text(json_parse_or_discarded(body), "error");
}

std::string claim_paymail(const std::string& alias_text, const std::string& pubkey_text, const std::string& address,
                          const std::string& avatar, const std::string& ord_address) {
    const std::string alias = normalize_paymail_alias(alias_text);
    const std::string pubkey = to_lower_copy(pubkey_text);
    if (alias.empty() || pubkey.empty()) return "need alias and pubkey";

    std::string bn_pub, bn_priv, bn_address, ignored;
    if (derive_bn_key(bn_pub, bn_priv, bn_address, ignored)) {
        bn_pub = to_lower_copy(bn_pub);
    } else {
        bn_pub.clear();
        bn_address.clear();
    }
    wipe(bn_priv);

    const std::int64_t ts = clock_system_ms() / 1000;
    const std::string text = paymail_claim_text(alias, pubkey, address, avatar, ord_address, bn_pub, bn_address, ts);
    std::string signer_pub, sig, error;
    if (!sign_with_identity(text, signer_pub, sig, error))
        return error.empty() ? "could not sign paymail claim" : error;
    signer_pub = to_lower_copy(signer_pub);
    if (!signer_pub.empty() && signer_pub != pubkey) return "identity pubkey mismatch";

    json request = json::object();
    request["alias"] = alias;
    request["pubkey"] = pubkey;
    request["address"] = address;
    request["avatar"] = avatar;
    if (!ord_address.empty()) request["ordAddress"] = ord_address;
    if (!bn_pub.empty() && !bn_address.empty()) {
        request["bnPub"] = bn_pub;
        request["bnAddress"] = bn_address;
    }
    request["ts"] = ts;
    request["sig"] = sig;
    // An avatar read from the shared files may hold bytes that are not UTF-8; the host then
    // refuses the signature rather than this worker dying on the serialiser's exception.
    const std::string body = request.dump(-1, ' ', false, json::error_handler_t::replace);

    std::string reply, transport_error;
    if (http_post_json(service_settings().platform_base + "/api/paymail/claim", body, reply, transport_error,
                       kClaimTimeoutS, kClaimAttempts))
        return "";
    std::string reason = reply_error_text(reply);
    if (reason.empty()) reason = transport_error;
    return reason.empty() ? "paymail host refused" : reason;
}

void claim_paymail_if_changed(const std::string& label, const std::string& pubkey_hex, const std::string& address,
                              const std::string& avatar, const std::string& ord_address) {
    if (label.empty() || pubkey_hex.empty()) return;
    const std::string key = label + "|" + address + "|" + ord_address + "|" + avatar + "|bn1";
    {
        std::lock_guard<std::mutex> hold(g_last_claim_mutex);
        if (key == g_last_claim_key) return;
    }
    if (!claim_paymail(label, pubkey_hex, address, avatar, ord_address).empty()) return;
    std::lock_guard<std::mutex> hold(g_last_claim_mutex);
    g_last_claim_key = key;
}

void claim_all_paymails(const std::string& pubkey_hex, const std::string& address, const std::string& avatar,
                        const std::string& ord_address) {
    if (pubkey_hex.empty()) return;
    std::vector<std::string> labels;
    paymail_names_for_pubkey(pubkey_hex, labels);
    forget_last_paymail_claim();
    for (const std::string& label : labels)
        claim_paymail_if_changed(label, pubkey_hex, address, avatar, ord_address);
}

void forget_last_paymail_claim() {
    std::lock_guard<std::mutex> hold(g_last_claim_mutex);
    g_last_claim_key.clear();
}

void paymail_quota_refresh() {
    std::string pubkey;
    {
        WalletLock lock = lock_wallet();
        if (!load_wallet()) return;
        pubkey = to_lower_copy(kv_wallet().identity_pub);
    }
    if (pubkey.empty()) return;
    std::string body, error;
    if (!http_get_platform(service_settings().platform_base + "/api/paymail/quota/" + pubkey, body, error)) return;
    const json reply = json_parse_or_discarded(body);
    if (!reply.is_object()) return;
    // A role of another type is a malformed reply, not the default role: the stored role stays.
    std::string role;
    if (!json_optional_text(reply, "role", role)) return;
    set_host_role(role);
}
