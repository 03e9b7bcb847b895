#include "identity/typed_message.h"
#include "identity/typed_verify.h"
#include "support/wallet_fixture.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

// None of these rows may need an identity look-up; should a check start one anyway, it goes to a
// loopback port where nothing answers instead of the platform.
struct TypedVerifyTest : testing::Test {
    ServiceSettings saved = service_settings();
    TypedVerifyTest() {
        ServiceSettings s = saved;
        s.platform_base = "http://127.0.0.1:1";
        set_service_settings(s);
    }
    ~TypedVerifyTest() override { set_service_settings(saved); }
};

// Rows signed with libsecp256k1 over preimages written out by hand, so they also hold the
// canonical text to its documented form.
TEST_F(TypedVerifyTest, SignedVectors) {
    const json data = test_data_json("typed-messages.json");
    ASSERT_TRUE(data.is_object() && data.contains("rows"));
    for (const json& row : data["rows"]) {
        SCOPED_TRACE(row["name"].get<std::string>() + " (" + row["check"].get<std::string>() + ")");
        const json& msg = row["message"];
        if (row.contains("preimage")) {
            EXPECT_EQ(canonical_message_preimage(msg), row["preimage"].get<std::string>());
        }
        const bool genuine = row["check"] == "typed" ? verify_typed_message(msg) : verify_channel_message(msg);
        EXPECT_EQ(genuine, row["valid"].get<bool>());
    }
}

TEST_F(TypedVerifyTest, UndecodableKeyNeverMatchesAnIdentity) {
    for (const char* key : {"", "zz", "02ab", "0x"}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(identity_matches("alice", key, ""));
    }
}

} // namespace
