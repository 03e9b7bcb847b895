#include "ordinals/gp_tokens.h"

#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

struct GpTokensTest : FakeChainTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings gp_settings{settings_for(chain, gp)};
    TestKey owner = test_key_from_byte(0x61);
};

} // namespace

TEST_F(GpTokensTest, TokenReplyOfAnAddress) {
    const std::string body = R"({"p":"bsv-20","op":"deploy+mint","sym":"ZED","amt":"9"})";
    const std::string txid = chain.ledger.fund_outputs(
        {{build_inscription_script(owner.hash, "application/bsv-20", Bytes(body.begin(), body.end()), "", ""), 1}});

    json reply;
    ASSERT_TRUE(gp_bsv20_unspent(owner.address, reply, 8));
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0]["txid"], txid);
    EXPECT_EQ(gp_token_amount(reply[0]), "9");

    const std::string path = std::string(kGorillaPoolApi) + "/bsv20/";
    struct Row {
        const char* what;
        FakeFault fault;
        std::string address;
    } rows[] = {
        {"server error", FakeFault{500}, owner.address},
        {"body that is not JSON", FakeFault{0, 0, 0, false, true}, owner.address},
        {"empty address", FakeFault{}, ""},
        {"address that is a path", FakeFault{}, "../txos/" + owner.address},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        gp.server.set_fault(path, row.fault);
        const int before = gp.server.request_count(path);
        reply = json::object();
        EXPECT_FALSE(gp_bsv20_unspent(row.address, reply, 8));
        EXPECT_EQ(reply, json::array());
        if (row.address != owner.address) {
            EXPECT_EQ(gp.server.request_count(path), before);
        }
    }
}
