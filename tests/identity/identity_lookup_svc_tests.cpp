#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"
#include "identity/identity_lookup.h"
#include "identity/typed_message.h"
#include "identity/typed_verify.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

const std::int64_t kHalfHourMs = 30 * 60 * 1000;

std::string key_hex(std::uint8_t fill) {
    return secp_pubkey_hex(Bytes(32, fill));
}

// The uncompressed form of the same key, as some platform records hold it.
std::string uncompressed_key_hex(std::uint8_t fill) {
    const Bytes secret(32, fill);
    SecpContext ctx = secp_context();
    secp256k1_pubkey pub;
    if (!secp256k1_ec_pubkey_create(ctx.get(), &pub, secret.data())) return "";
    unsigned char out[65];
    size_t len = sizeof out;
    secp256k1_ec_pubkey_serialize(ctx.get(), out, &len, &pub, SECP256K1_EC_UNCOMPRESSED);
    return to_hex(out, len);
}

FakeResponse raw_reply(const std::string& body, int status = 200) {
    FakeResponse r;
    r.status = status;
    r.body = body;
    return r;
}

struct IdentityLookupTest : FakeIdentityTest {
    const std::string alice = key_hex(0x11);
    const std::string bob = key_hex(0x22);

    IdentityLookupTest() {
        ids.set_key("alice@kestrava.net", alice);
        ids.set_key("bob@kestrava.net", bob);
    }
    int asked() const { return chain.platform.request_count("/api/bsvalias/id/"); }
};

TEST(SplitPaymail, SplitsAtTheFirstAtSign) {
    struct Row {
        const char* text;
        bool ok;
        const char* name;
        const char* domain;
    };
    const Row rows[] = {{" alice@kestrava.net\n", true, "alice", "kestrava.net"},
                        {"a@b@c", true, "a", "b@c"},
                        {"@kestrava.net", false, "", ""},
                        {"alice@", false, "", ""},
                        {"alice", false, "", ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string name = "x", domain = "y";
        EXPECT_EQ(split_paymail(row.text, name, domain), row.ok);
        EXPECT_EQ(name, row.name);
        EXPECT_EQ(domain, row.domain);
    }
}

TEST_F(IdentityLookupTest, HandleFormsShareOneEntryAndForeignDomainsAskNothing) {
    struct Row {
        const char* handle;
        const char* paymail;
        bool found;
        int requests; // in all, after the row
    };
    const Row rows[] = {{"alice", "", true, 1},
                        {"@Alice", "", true, 1},
                        {" $ALICE ", "", true, 1},
                        {"alice", "Alice@KESTRAVA.NET", true, 1},
                        {"alice", "bob@other.example", true, 1},
                        {"bob", "bob@other.example", false, 1},
                        {"", "", false, 1},
                        {" @ ", "", false, 1},
                        {"carol", "", false, 2},
                        {"carol", "", false, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.handle) + " / " + row.paymail);
        EXPECT_EQ(lookup_identity_pubkey(row.handle, row.paymail), row.found ? alice : "");
        EXPECT_EQ(asked(), row.requests);
    }
}

TEST_F(IdentityLookupTest, RepliesAreReadWithCareAndFailuresAskAgain) {
    struct Row {
        const char* name;
        FakeResponse reply;
        bool found;
    };
    const Row rows[] = {
        {"publickey", json_reply({{"publicKey", alice}}), true},
        {"uncompressed", json_reply({{"pubkey", "0X" + upper_copy(uncompressed_key_hex(0x11))}}), true},
        {"numberpubkey", json_reply({{"pubkey", 5}, {"publicKey", alice}}), true},
        {"emptypubkey", json_reply({{"pubkey", ""}, {"publicKey", alice}}), false},
        {"emptybody", raw_reply(""), false},
        {"badjson", raw_reply("{\"pubkey\":"), false},
        {"array", json_reply(json::array({alice})), false},
        {"status", json_reply({{"pubkey", alice}}, 201), false},
        {"nothex", json_reply({{"pubkey", "zz"}}), false},
        {"badprefix", json_reply({{"pubkey", "05" + alice.substr(2)}}), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ids.set_reply(std::string(row.name) + "@kestrava.net", row.reply);
        const int before = asked();
        EXPECT_EQ(lookup_identity_pubkey(row.name, ""), row.found ? alice : "");
        EXPECT_EQ(lookup_identity_pubkey(row.name, ""), row.found ? alice : "");
        EXPECT_EQ(asked() - before, row.found ? 1 : 2);
    }
}

TEST_F(IdentityLookupTest, FoundKeyIsKeptForHalfAnHour) {
    EXPECT_EQ(lookup_identity_pubkey("alice", ""), alice);
    ids.set_key("alice@kestrava.net", bob);
    clock.advance(kHalfHourMs - 1);
    EXPECT_EQ(lookup_identity_pubkey("alice", ""), alice);
    EXPECT_EQ(asked(), 1);
    clock.advance(1);
    EXPECT_EQ(lookup_identity_pubkey("alice", ""), bob);
    EXPECT_EQ(asked(), 2);
}

// Handles come from records on the chain: whatever they hold, the request stays on the identity
// route and names the handle whole.
TEST_F(IdentityLookupTest, HandleBytesStayInsideTheIdentityPath) {
    for (const std::string handle : {"x/../../oi/submit?a=1#f", "bob@evil.example", "Dan Brown"}) {
        SCOPED_TRACE(handle);
        chain.platform.reset_counts();
        ids.set_key(to_lower_copy(handle) + "@kestrava.net", alice);
        EXPECT_EQ(lookup_identity_pubkey(handle, ""), alice);
        ASSERT_EQ(chain.platform.requests().size(), 1u);
        EXPECT_EQ(chain.platform.requests()[0].path, "/api/bsvalias/id/" + to_lower_copy(handle) + "@kestrava.net");
    }
}

TEST_F(IdentityLookupTest, VerificationBindsTheSignerToTheNamedIdentity) {
    const json art = {{"protocol", "KV-Art"}, {"type", "art_pair"}, {"channel", "art"}, {"handle", "alice"},
                      {"actor", "alice"},     {"ts", 1700000000},   {"pic", "p_0"},     {"cert", "c_0"}};
    const json gate = {{"type", "web_gate"}, {"handle", "@Alice"}, {"origin", "https://a.example"},
                       {"path", "/in"},      {"message", "hi"},    {"nonce", "n1"}};
    const json trade = {{"protocol", "KV-Tradeloom"}, {"type", "nt_offer"}, {"location", "tradeloom"},
                        {"handle", "alice"},          {"actor", "alice"},   {"paymail", "alice@kestrava.net"},
                        {"ts", 1700000000},           {"id", "o1"}};
    struct Row {
        const char* name;
        json msg;
        bool genuine;
    };
    json carol = art, foreign = art, gate_bob = gate, gate_art = gate, gate_no_nonce = gate, trade_bob = trade;
    carol["actor"] = "carol";
    foreign["paymail"] = "alice@other.example";
    gate_bob["handle"] = "bob";
    gate_art["protocol"] = "KV-Art";
    gate_no_nonce.erase("nonce");
    trade_bob["actor"] = "bob";
    const Row rows[] = {
        {"art by its actor", fake_signed_record(art, 0x11), true},
        {"art by another key", fake_signed_record(art, 0x22), false},
        {"art by an unknown actor", fake_signed_record(carol, 0x11), false},
        {"art on a foreign paymail", fake_signed_record(foreign, 0x11), false},
        {"web gate by its handle", fake_signed_record(gate, 0x11), true},
        {"web gate for another handle", fake_signed_record(gate_bob, 0x11), false},
        {"web gate under KV-Art", fake_signed_record(gate_art, 0x11), true},
        {"web gate without nonce", fake_signed_record(gate_no_nonce, 0x11), false},
        {"trade with paymail by its actor", fake_signed_record(trade, 0x11), true},
        {"trade with paymail for another actor", fake_signed_record(trade_bob, 0x11), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(verify_typed_message(row.msg), row.genuine);
    }
}

TEST_F(IdentityLookupTest, FailedLookupFailsTheCheckOnlyOnce) {
    const json msg = fake_signed_record({{"protocol", "PQR-Notes"},
                                         {"type", "report"},
                                         {"location", "art"},
                                         {"handle", "alice"},
                                         {"actor", "alice"},
                                         {"ts", 1700000000}},
                                        0x11);
    FakeFault down;
    down.status = 503;
    down.times = 1;
    chain.platform.set_fault("/api/bsvalias/id/", down);
    EXPECT_FALSE(verify_typed_message(msg));
    EXPECT_TRUE(verify_typed_message(msg));
}

} // namespace

// Ten checks of the same signer at once, as a cold gallery makes them: one request, one answer
// for all; a failure is not kept, and a check too late to share it fails alike.
TEST_F(IdentityLookupTest, SameHandleAskedAtOnceIsLookedUpOnce) {
    for (const bool found : {true, false}) {
        SCOPED_TRACE(found);
        clear_identity_cache();
        chain.platform.reset_counts();
        FakeFault slow;
        slow.delay_ms = 40;
        if (!found) slow.status = 500;
        slow.times = found ? 1 : -1;
        chain.platform.set_fault("/api/bsvalias/id/", slow);
        std::vector<std::string> keys(10);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < keys.size(); ++i)
            threads.emplace_back([&keys, i] { keys[i] = lookup_identity_pubkey("alice", ""); });
        for (std::thread& t : threads)
            t.join();
        // A late check finds the key kept, or asks again and fails too.
        const int asked_once = asked();
        EXPECT_TRUE(!found || asked_once == 1);
        for (const std::string& key : keys)
            EXPECT_EQ(key, found ? alice : "");
        chain.platform.clear_faults();
        EXPECT_EQ(lookup_identity_pubkey("alice", ""), alice);
        EXPECT_EQ(asked(), found ? 1 : asked_once + 1);
    }
}
