#include "fakes/fake_paymail.h"

#include "fakes/secp_check.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"

namespace {

using Table = std::map<std::string, FakeResponse> FakePaymailTables::*;

FakeResponse not_found() {
    return json_reply({{"error", "not found"}}, 404);
}

FakeHandler table_route(const std::shared_ptr<FakePaymailTables>& tables, Table table) {
    return [tables, table](const FakeRequest& req) -> FakeResponse {
        std::lock_guard<std::mutex> hold(tables->mutex);
        const auto& entries = (*tables).*table;
        auto it = entries.find(req.matches.size() > 1 ? req.matches[1] : std::string());
        return it == entries.end() ? not_found() : it->second;
    };
}

std::string text_of(const nlohmann::json& body, const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The claim text as the host rebuilds it from the request, judged with libsecp256k1.
bool claim_signature_ok(const nlohmann::json& body) {
    auto ts = body.find("ts");
    if (ts == body.end() || !ts->is_number_integer()) return false;
    const std::string bn_pub = text_of(body, "bnPub"), bn_address = text_of(body, "bnAddress");
    const std::string ord = text_of(body, "ordAddress");
    std::string text = "KV-PAYMAIL-CLAIM|" + text_of(body, "alias") + "|" + text_of(body, "pubkey") + "|" +
                       text_of(body, "address") + "|" + text_of(body, "avatar") + "|";
    if (!bn_pub.empty() && !bn_address.empty())
        text += ord + "|" + bn_pub + "|" + bn_address + "|";
    else if (!ord.empty())
        text += ord + "|";
    text += std::to_string(ts->get<std::int64_t>());

    Bytes sig, pub = from_hex(text_of(body, "pubkey"));
    if (!base64_decode(text_of(body, "sig"), sig) || sig.size() != 64) return false;
    SecpContext ctx = secp_context();
    secp256k1_pubkey key;
    secp256k1_ecdsa_signature parsed;
    if (!secp256k1_ec_pubkey_parse(ctx.get(), &key, pub.data(), pub.size())) return false;
    if (!secp256k1_ecdsa_signature_parse_compact(ctx.get(), &parsed, sig.data())) return false;
    const Digest digest = expected_message_digest(text);
    return secp256k1_ecdsa_verify(ctx.get(), &parsed, digest.data(), &key) == 1;
}

} // namespace

FakePaymail::FakePaymail() {
    local.on("GET", "/api/bsvalias/address/(.+)", table_route(tables, &FakePaymailTables::local_address));
}

void FakePaymail::set(Table table, const std::string& key, const FakeResponse& reply) {
    std::lock_guard<std::mutex> hold(tables->mutex);
    ((*tables).*table)[key] = reply;
}

void FakePaymail::set_claim_reply(const FakeResponse& reply) {
    std::lock_guard<std::mutex> hold(tables->mutex);
    tables->claim_reply = std::make_unique<FakeResponse>(reply);
}

std::vector<nlohmann::json> FakePaymail::claims() const {
    std::lock_guard<std::mutex> hold(tables->mutex);
    return tables->claims;
}

void serve_fake_paymail(FakeServer& platform, FakePaymail& paymail) {
    std::shared_ptr<FakePaymailTables> tables = paymail.tables;
    platform.on("POST", "/api/paymail/claim", [tables](const FakeRequest& req) -> FakeResponse {
        const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
        std::lock_guard<std::mutex> hold(tables->mutex);
        if (tables->claim_reply) return *tables->claim_reply;
        if (!body.is_object() || !claim_signature_ok(body)) return json_reply({{"error", "bad signature"}}, 401);
        tables->claims.push_back(body);
        return json_reply({{"ok", true}});
    });
    platform.on("GET", "/api/paymail/quota/(.+)", table_route(tables, &FakePaymailTables::quota));
    platform.on("GET", "/api/bsvalias/address/(.+)", table_route(tables, &FakePaymailTables::address));
    platform.on("GET", "/api/paymail/labels/(.+)", table_route(tables, &FakePaymailTables::labels));
    platform.on("GET", "/api/paymail/identity/(.+)", table_route(tables, &FakePaymailTables::identity));
}
