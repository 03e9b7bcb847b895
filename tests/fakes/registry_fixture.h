// What the registry's service tests share: the platform's identity route answered from a table,
// and the unsigned records that tests sign and post at a watch.
#pragma once

#include "fakes/chain_fixture.h"
#include "fakes/fake_identity.h"
#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <string>

// A chain test with the identity route served. The identity cache is process-wide, so it is
// emptied before and after each test: no key found in one test answers in the next.
struct FakeIdentityTest : FakeChainTest {
    FakeIdentity ids;

    FakeIdentityTest();
    ~FakeIdentityTest() override;
};

// Mines a 1-sat inscription of the body for `owner`, with the metadata script text as
// build_inscription_script takes it; returns its origin "<txid>_0".
std::string fake_inscribe(FakeChain& chain, const Hash160& owner, const std::string& content_type,
                          const std::string& body, const std::string& metadata = "");

// A "KV-Art" record of `type` by `name` (its handle and actor) at `ts` (any JSON, so tests can
// give malformed times), with `fields` added over those.
nlohmann::json fake_art_record(const std::string& type, const std::string& name, const nlohmann::json& ts,
                               const nlohmann::json& fields = nlohmann::json::object());
