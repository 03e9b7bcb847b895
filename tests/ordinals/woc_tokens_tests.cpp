#include "ordinals/woc_tokens.h"

#include "chain/inscription.h"
#include "ordinals/content_cache.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kMint = R"({"p":"bsv-20","op":"deploy+mint","sym":"ZED","amt":"9"})";

// The program's own layout: P2PKH lock, then the envelope.
Bytes lock_then_envelope(const Hash160& owner, const std::string& type, const std::string& content) {
    return build_inscription_script(owner, type, Bytes(content.begin(), content.end()), "", "");
}

// The same envelope ahead of the lock, as other wallets write it.
Bytes envelope_then_lock(const Hash160& owner, const std::string& type, const std::string& content) {
    const Bytes script = lock_then_envelope(owner, type, content);
    Bytes out(script.begin() + 25, script.end());
    out.insert(out.end(), script.begin(), script.begin() + 25);
    return out;
}

json woc_vout(const Bytes& script) {
    return {{"value", 1e-8}, {"n", 0}, {"scriptPubKey", {{"hex", to_hex(script)}, {"type", "nonstandard"}}}};
}

} // namespace

TEST(WocTokens, TokenOutputsInEitherLayoutAndEverythingElse) {
    TempDataDir dir;
    const TestKey owner = test_key_from_byte(0x41);
    const Bytes before = envelope_then_lock(owner.hash, "application/bsv-20", kMint);
    const Bytes short_lock(before.begin(), before.end() - 1);
    const Bytes cut = lock_then_envelope(owner.hash, "application/bsv-20", kMint);
    struct Row {
        const char* what;
        json vout;
        std::string txid;
        bool ok;
    } rows[] = {
        {"lock then envelope", woc_vout(lock_then_envelope(owner.hash, "application/bsv-20", kMint)), kTx, true},
        {"envelope then lock", woc_vout(before), kTx, true},
        {"envelope then a 24-byte lock", woc_vout(short_lock), kTx, false},
        {"bare P2PKH", woc_vout(p2pkh_script(owner.hash)), kTx, false},
        {"envelope cut short", woc_vout(Bytes(cut.begin(), cut.end() - 3)), kTx, false},
        {"image", woc_vout(lock_then_envelope(owner.hash, "image/png", "PNG")), kTx, false},
        {"JSON without p", woc_vout(lock_then_envelope(owner.hash, "application/json", R"({"op":"mint"})")), kTx,
         false},
        {"not an object", json::array({woc_vout(before)}), kTx, false},
        {"script as text", {{"scriptPubKey", to_hex(before)}}, kTx, false},
        {"hex as number", {{"scriptPubKey", {{"hex", 76}}}}, kTx, false},
        {"no hex", {{"scriptPubKey", json::object()}}, kTx, false},
        {"odd hex", {{"scriptPubKey", {{"hex", to_hex(before) + "0"}}}}, kTx, false},
        {"txid that is a path", woc_vout(before), "../../" + kTx.substr(6), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Hash160 hash{};
        TokenInscription token;
        std::string key = "stale";
        ASSERT_EQ(inscription_from_woc_vout(row.vout, row.txid, 7, hash, token, key), row.ok);
        if (!row.ok) {
            EXPECT_EQ(key, "");
            continue;
        }
        EXPECT_EQ(hash, owner.hash);
        EXPECT_EQ(token.op, "deploy+mint");
        EXPECT_EQ(token.sym, "ZED");
        EXPECT_EQ(key, kTx + "_7");
    }

    std::string type;
    Bytes content;
    ASSERT_TRUE(ord_cache_read_content(kTx + "_7", type, content));
    EXPECT_EQ(type, "application/bsv-20");
    EXPECT_EQ(std::string(content.begin(), content.end()), kMint);
}
