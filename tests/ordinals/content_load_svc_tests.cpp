#include "ordinals/content_load.h"

#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "ordinals/content_cache.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <map>

namespace {

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8);

struct ContentLoadTest : FakeChainTest {
    WalletLock lock = lock_wallet();
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings with_gp{settings_for(chain, gp)};
    TestKey owner = test_key_from_byte(0x21);

    // One server standing in for both WhatsOnChain ("/woc") and GorillaPool ("/gp"), answering what
    // the test puts in `replies` by path and 404 for anything else.
    FakeServer scripted;
    std::map<std::string, FakeResponse> replies;
    void use_scripted() {
        scripted.on("GET", ".*", [this](const FakeRequest& req) {
            auto it = replies.find(req.path);
            return it != replies.end() ? it->second : FakeResponse{404, "not found", "text/plain"};
        });
        ServiceSettings s = settings_for(chain, gp);
        s.woc_base = scripted.base_url() + "/woc";
        s.gorillapool_base = scripted.base_url() + "/gp/api";
        set_service_settings(s);
    }

    // The envelope of an inscription without its P2PKH lock.
    Bytes envelope(const std::string& type, const std::string& body, const std::string& name) {
        const Bytes full = build_inscription_script(owner.hash, type, bytes_of(body),
                                                    name.empty() ? "" : build_name_metadata(name), "");
        return Bytes(full.begin() + 25, full.end());
    }

    int woc_requests() { return chain.woc.request_count() + scripted.request_count("/woc"); }
    int gp_requests() { return gp.server.request_count() + scripted.request_count("/gp"); }
    void reset_counts() {
        chain.woc.reset_counts();
        gp.server.reset_counts();
        scripted.reset_counts();
    }
};

} // namespace

TEST_F(ContentLoadTest, InscriptionsAreReadFromTheOutputScriptAndCachedWithTheirName) {
    const Bytes lock_script = p2pkh_script(owner.hash);
    auto lock_then = [&](const Bytes& env) {
        Bytes s = lock_script;
        s.insert(s.end(), env.begin(), env.end());
        return s;
    };
    auto then_lock = [&](Bytes env) {
        env.insert(env.end(), lock_script.begin(), lock_script.end());
        return env;
    };
    const std::string token = R"({"p":"bsv-20","op":"deploy+mint","amt":"9","name":" Gold "})";
    struct Row {
        const char* what;
        Bytes script;
        bool found;
        std::string type, body, name;
        int woc, gorillapool;
    } rows[] = {
        {"lock first", lock_then(envelope("text/plain", "hello", "Rose")), true, "text/plain", "hello", "Rose", 1, 0},
        {"envelope first", then_lock(envelope("image/png", kPng, "")), true, "image/png", kPng, "", 1, 0},
        {"token names itself", lock_then(envelope("application/bsv-20", token, "")), true, "application/bsv-20", token,
         "Gold", 1, 0},
        // WhatsOnChain's script is refused; GorillaPool indexes the envelope all the same.
        {"no lock on either side", envelope("text/plain", "hello", "Rose"), true, "application/octet-stream", "hello",
         "", 3, 1},
        // The fake GorillaPool serves the empty body, which is refused as well.
        {"empty body", lock_then(envelope("text/plain", "", "")), false, "", "", "", 3, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string txid = chain.ledger.fund_outputs({{lock_script, 500}, {row.script, 1}});
        const std::string key = txid + "_1";
        reset_counts();
        std::string type = "stale";
        Bytes content = {1};
        ASSERT_EQ(load_inscription_content(key, type, content, true, false), row.found);
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(content, bytes_of(row.body));
        EXPECT_EQ(woc_requests(), row.woc);
        EXPECT_EQ(gp_requests(), row.gorillapool);
        EXPECT_EQ(ord_cache_read_name(key), row.name);

        // What was fetched now comes from the cache, without the network.
        reset_counts();
        EXPECT_EQ(load_inscription_content(key, type, content, false, false), row.found);
        EXPECT_EQ(content, bytes_of(row.body));
        EXPECT_EQ(woc_requests() + gp_requests(), 0);
    }
}

// The cache holds no wallet state: storing and reading content never waits for the wallet mutex,
// which another thread (here the fixture) may hold for as long as it likes.
TEST_F(ContentLoadTest, CacheStoreAndReadDoNotWaitForTheWalletMutex) {
    ASSERT_TRUE(lock.owns_lock());
    auto store = std::async(std::launch::async, [] {
        std::string type;
        Bytes content;
        ord_cache_store("unlocked", "text/plain", bytes_of("body"), "Name", type, content);
        std::string read_type;
        Bytes read;
        return load_inscription_content("unlocked", read_type, read, false, false) && read == bytes_of("body") &&
               read_type == "text/plain" && type == "text/plain" && content == bytes_of("body");
    });
    const bool done = store.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!done) lock.unlock();
    EXPECT_TRUE(done) << "the store waited for the wallet mutex";
    EXPECT_TRUE(store.get());
    EXPECT_EQ(ord_cache_read_name("unlocked"), "Name");
}

TEST_F(ContentLoadTest, KeysThatAreNeitherCachedNorOrdinalKeysCostNoRequest) {
    const std::string txid = hex_id('a');
    ord_cache_write_content("local-only", "text/plain", bytes_of("kept"));
    struct Row {
        const char* what;
        std::string key;
        bool network, found;
    } rows[] = {
        {"cached, not an ordinal key", "local-only", false, true},
        {"uncached, network off", txid + "_0", false, false},
        {"63 hex digits", txid.substr(1), true, false},
        {"path in the key", "../" + txid, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset_counts();
        std::string type;
        Bytes content;
        EXPECT_EQ(load_inscription_content(row.key, type, content, row.network, false), row.found);
        EXPECT_EQ(content, row.found ? bytes_of("kept") : Bytes());
        EXPECT_EQ(woc_requests() + gp_requests(), 0);
    }
    std::string type;
    Bytes content;
    for (const std::string& key : {std::string("../x"), txid + "?q=1", txid + "/raw", std::string()})
        EXPECT_FALSE(gorillapool_download_content(key, type, content)) << key;
    EXPECT_EQ(gp_requests(), 0);
}

TEST_F(ContentLoadTest, WhatsOnChainReplyFormsLeadToTheScript) {
    use_scripted();
    const Bytes script = p2pkh_script(owner.hash);
    const Bytes insc_script = [&] {
        Bytes s = script;
        const Bytes env = envelope("text/plain", "body", "");
        s.insert(s.end(), env.begin(), env.end());
        return s;
    }();
    LedgerTx tx;
    ASSERT_TRUE(chain.ledger.find_tx(chain.ledger.fund_outputs({{script, 700}, {insc_script, 1}}), tx));
    const std::string hex = to_hex(tx.raw);
    const std::string raw(tx.raw.begin(), tx.raw.end());
    const std::string plain_out = R"({"scriptPubKey":{"hex":")" + to_hex(script) + "\"}}";
    const std::string json_out = R"({"scriptPubKey":")" + to_hex(insc_script) + "\"}";
    const FakeResponse fail{500, "{}"};
    auto ok = [](const std::string& body) { return FakeResponse{200, body, "text/plain"}; };
    struct Row {
        const char* what;
        FakeResponse json, hex, raw;
        bool found;
        int woc;
    } rows[] = {
        {"script as a bare string", ok("{\"vout\":[" + plain_out + "," + json_out + "]}"), fail, fail, true, 1},
        {"quoted hex with a line end", ok("{\"vout\":[" + plain_out + "," + plain_out + "]}"),
         ok("\"" + hex + "\"\r\n"), fail, true, 2},
        {"raw bytes as they come", ok("not json"), ok("\"short\""), ok(raw), true, 3},
        {"raw as quoted hex", ok("{\"vout\":{}}"), fail, ok("\"" + hex + "\"\n "), true, 3},
        {"output beyond the list, truncated hex", ok("{\"vout\":[" + plain_out + "]}"),
         ok(hex.substr(0, hex.size() - 60)), ok(hex.substr(0, 40)), false, 3},
        {"wrong types", ok(R"({"vout":[1,{"scriptPubKey":5}]})"), ok(std::string(30, 'z')), fail, false, 3},
    };
    const std::string key = tx.txid + "_1";
    const std::string woc = "/woc/tx/" + tx.txid;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        replies = {{woc, row.json}, {woc + "/hex", row.hex}, {woc + "/raw", row.raw}};
        reset_counts();
        std::string type;
        Bytes content;
        EXPECT_EQ(load_inscription_content(key, type, content, true, false), row.found);
        EXPECT_EQ(content, row.found ? bytes_of("body") : Bytes());
        EXPECT_EQ(scripted.request_count("/woc"), row.woc);
        std::filesystem::remove(data_dir.data_dir + "/ord_cache/" + key + ".bin");
    }
}

TEST_F(ContentLoadTest, GorillaPoolContentIsTypedByItsFirstBytes) {
    use_scripted();
    const FakeResponse missing{404, "not found", "text/plain"};
    auto ok = [](const std::string& body) { return FakeResponse{200, body, "application/octet-stream"}; };
    struct Row {
        const char* what;
        FakeResponse content, files;
        bool found;
        std::string type, body;
        int gorillapool;
    } rows[] = {
        {"error object, then the second address", ok(R"({"error":"x"})"), ok(kPng), true, "image/png", kPng, 2},
        {"object without error", ok(R"({"ok":1})"), missing, true, "application/octet-stream", R"({"ok":1})", 1},
        {"webp", ok("RIFFxxxxWEBP"), missing, true, "image/webp", "RIFFxxxxWEBP", 1},
        {"gif", missing, ok("GIF89a"), true, "image/gif", "GIF89a", 2},
        {"jpeg", ok("\xFF\xD8\xFF"), missing, true, "image/jpeg", "\xFF\xD8\xFF", 1},
        {"pdf signature only", ok("%PDF"), missing, true, "application/octet-stream", "%PDF", 1},
        {"pdf", ok("%PDF-"), missing, true, "application/pdf", "%PDF-", 1},
        // Asked first, GorillaPool is asked again after the three WhatsOnChain forms.
        {"empty, then failing", ok(""), FakeResponse{500, "{}"}, false, "", "", 4},
    };
    char c = '1';
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // A bare transaction id is asked for as its output 0 and cached as the caller named it.
        const std::string key = hex_id(c++);
        replies = {{"/gp/content/" + key + "_0", row.content}, {"/gp/api/files/inscriptions/" + key + "_0", row.files}};
        std::string type;
        Bytes content;
        reset_counts();
        ASSERT_EQ(load_inscription_content(key, type, content, true, true), row.found);
        EXPECT_EQ(gp_requests(), row.gorillapool);
        EXPECT_EQ(woc_requests(), row.found ? 0 : 3);
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(content, bytes_of(row.body));
        std::string cached_type;
        Bytes cached;
        EXPECT_EQ(ord_cache_read_content(key, cached_type, cached), row.found);
        EXPECT_EQ(cached, bytes_of(row.body));
    }
}
