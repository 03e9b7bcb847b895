// The platform host's bsvalias identity route "/api/bsvalias/id/<name>@<host>", answered from a
// table that a test fills; a name not in the table answers 404.
//
//   FakeIdentity ids;
//   serve_fake_identity(chain.platform, ids);
//   ids.set_key("alice@kestrava.net", alice.pub);   // {"pubkey": "<hex>"}
#pragma once

#include "fakes/fake_server.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

struct FakeIdentityTable {
    std::mutex mutex;
    // Replies by the last path part as the server decoded it (name, "@", host).
    std::map<std::string, FakeResponse> replies;
};

struct FakeIdentity {
    std::shared_ptr<FakeIdentityTable> table = std::make_shared<FakeIdentityTable>();

    // Answers {"pubkey": pubkey_hex} for the id.
    void set_key(const std::string& id, const std::string& pubkey_hex);
    void set_reply(const std::string& id, const FakeResponse& reply);
};

// Registers the identity route on the platform server; it answers from the table.
void serve_fake_identity(FakeServer& platform, FakeIdentity& ids);
