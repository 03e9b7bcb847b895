#include "fakes/fake_identity.h"

#include <nlohmann/json.hpp>

void FakeIdentity::set_key(const std::string& id, const std::string& pubkey_hex) {
    set_reply(id, json_reply({{"pubkey", pubkey_hex}}));
}

void FakeIdentity::set_reply(const std::string& id, const FakeResponse& reply) {
    std::lock_guard<std::mutex> hold(table->mutex);
    table->replies[id] = reply;
}

void serve_fake_identity(FakeServer& platform, FakeIdentity& ids) {
    std::shared_ptr<FakeIdentityTable> table = ids.table;
    platform.on("GET", "/api/bsvalias/id/(.+)", [table](const FakeRequest& req) -> FakeResponse {
        std::lock_guard<std::mutex> hold(table->mutex);
        auto it = table->replies.find(req.matches[1]);
        if (it != table->replies.end()) return it->second;
        return json_reply({{"error", "not found"}}, 404);
    });
}
