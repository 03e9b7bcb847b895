#include "fakes/registry_fixture.h"

#include "chain/inscription.h"
#include "identity/identity_lookup.h"

FakeIdentityTest::FakeIdentityTest() {
    serve_fake_identity(chain.platform, ids);
    clear_identity_cache();
}

FakeIdentityTest::~FakeIdentityTest() {
    clear_identity_cache();
}

std::string fake_inscribe(FakeChain& chain, const Hash160& owner, const std::string& content_type,
                          const std::string& body, const std::string& metadata) {
    const Bytes script = build_inscription_script(owner, content_type, Bytes(body.begin(), body.end()), metadata, "");
    return chain.ledger.fund_outputs({{script, 1}}) + "_0";
}

nlohmann::json fake_art_record(const std::string& type, const std::string& name, const nlohmann::json& ts,
                               const nlohmann::json& fields) {
    nlohmann::json msg = {{"protocol", "KV-Art"}, {"type", type},  {"location", "art"},
                          {"handle", name},       {"actor", name}, {"ts", ts}};
    for (const auto& item : fields.items())
        msg[item.key()] = item.value();
    return msg;
}
