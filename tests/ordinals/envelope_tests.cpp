#include "ordinals/envelope.h"

#include "chain/inscription.h"

#include <gtest/gtest.h>

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kTxUpper = "0123456789ABCDEF00112233445566778899AABBCCDDEEFF0F1E2D3C4B5A6978";

// Hex of a direct push of a short text (under 76 bytes).
std::string h(const std::string& text) {
    return to_hex(Bytes{static_cast<std::uint8_t>(text.size())}) + to_hex(Bytes(text.begin(), text.end()));
}

const std::string kOrdHead = "0063" + h("ord");
const std::string kPng = "51" + h("image/png");
const std::string kP2pkh = "76a914" + std::string(40, '1') + "88ac";
// The MAP part as the program writes it, with the app name and the sealed tag to vary.
std::string map_part(const std::string& app, const std::string& tag) {
    return "6a" + h(kMapPrefix) + h("SET") + h("app") + h(app) + h("type") + h("ord") + h("tag") + h(tag);
}

} // namespace

TEST(EnvelopeTest, ReadScriptPush) {
    struct Row {
        std::string script;
        std::uint64_t cursor;
        bool ok;
        std::string out;
        std::uint64_t end;
    } rows[] = {
        {"00", 0, true, "", 1},
        {"03616263ff", 0, true, "616263", 4},
        {"ff4c0161", 1, true, "61", 4},
        {"4d020061ff", 0, true, "61ff", 5},
        {"4e0100000077", 0, true, "77", 6},
        {"4c", 0, false, "", 0},   // length byte missing
        {"4d01", 0, false, "", 0}, // half a two-byte length
        {"0361", 0, false, "", 0}, // data shorter than its length
        {"4effffffff00", 0, false, "", 0},
        {"51", 0, false, "", 0}, // OP_1 is not a push
        {"00", ~std::uint64_t{0}, false, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script + " at " + std::to_string(row.cursor));
        std::uint64_t cursor = row.cursor;
        Bytes out{9};
        ASSERT_EQ(read_script_push(from_hex(row.script), cursor, out), row.ok);
        EXPECT_EQ(to_hex(out), row.out);
        if (row.ok) {
            EXPECT_EQ(cursor, row.end);
        }
    }
}

TEST(EnvelopeTest, ParseEnvelope) {
    struct Row {
        std::string name;
        std::string script;
        bool ok;
        std::string type;
        std::string body;
        std::string meta;
    } rows[] = {
        {"whole", kOrdHead + kPng + "00" + h("png!") + "68", true, "image/png", "png!", ""},
        {"metadata and other tags", kOrdHead + kPng + "55" + h("{}") + "52" + h("x") + "68", true, "image/png", "",
         "{}"},
        {"later body wins", kOrdHead + kPng + "00" + h("a") + "00" + h("b") + "68", true, "image/png", "b", ""},
        {"later type wins", kOrdHead + kPng + "51" + h("text/plain") + "68", true, "text/plain", "", ""},
        {"no type: fields still handed out", kOrdHead + "55" + h("m") + "00" + h("b") + "68", false, "", "b", "m"},
        {"head only", kOrdHead, false, "", "", ""},
        {"no OP_ENDIF", kOrdHead + kPng, false, "image/png", "", ""},
        {"upper-case protocol", "0063" + h("ORD") + kPng + "68", false, "", "", ""},
        {"longer protocol", "0063" + h("ordx") + kPng + "68", false, "", "", ""},
        {"tag as data push", kOrdHead + "0101" + h("image/png") + "68", false, "", "", ""},
        {"field value cut short", kOrdHead + "51" + "09696d", false, "", "", ""},
        {"body cut short", kOrdHead + kPng + "00" + "4c", false, "image/png", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes script = from_hex(row.script);
        std::uint64_t cursor = 0;
        std::string type = "stale";
        Bytes body;
        std::string meta = "stale";
        EXPECT_EQ(parse_ord_envelope(script, cursor, type, &body, &meta), row.ok);
        EXPECT_EQ(type, row.type);
        if (row.ok || !row.body.empty()) {
            EXPECT_EQ(std::string(body.begin(), body.end()), row.body);
            EXPECT_EQ(meta, row.meta);
        }
        if (row.ok) {
            EXPECT_EQ(cursor, script.size());
        }
    }
}

TEST(EnvelopeTest, ArtTag) {
    Hash160 owner{};
    owner.fill(0x11);
    const std::string envelope = kOrdHead + kPng + "00" + h("png") + "68";
    struct Row {
        std::string name;
        Bytes script;
        std::string tag;
    } rows[] = {
        {"written by this program",
         build_inscription_script(owner, "image/png", Bytes{1, 2}, "{\"name\":\"Sun\"}", "5ea1ed"), "5ea1ed"},
        {"no P2PKH lock", from_hex(envelope + map_part("Corvane", "t1")), "t1"},
        {"later tag wins", from_hex(kP2pkh + envelope + map_part("Corvane", "t1") + h("tag") + h("t2")), "t2"},
        {"last key without value", from_hex(kP2pkh + envelope + map_part("Corvane", "t1") + h("app")), "t1"},
        {"app in lower case", from_hex(kP2pkh + envelope + map_part("corvane", "t1")), ""},
        {"app one character longer", from_hex(kP2pkh + envelope + map_part("Corvanes", "t1")), ""},
        {"no SET", from_hex(kP2pkh + envelope + "6a" + h(kMapPrefix) + h("app") + h("Corvane") + h("tag") + h("t")),
         ""},
        {"no tag key", from_hex(kP2pkh + envelope + "6a" + h(kMapPrefix) + h("SET") + h("app") + h("Corvane")), ""},
        {"no OP_RETURN", from_hex(kP2pkh + envelope + map_part("Corvane", "t1").substr(2)), ""},
        {"envelope without type", from_hex(kP2pkh + kOrdHead + "68" + map_part("Corvane", "t1")), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(art_tag_from_script(row.script), row.tag);
    }
}

TEST(EnvelopeTest, LockedEnvelope) {
    const std::string envelope = kOrdHead + kPng + "00" + h("png") + "55" + h("{}") + "68";
    const std::string other_lock = "76a914" + std::string(40, '2') + "88ac";
    struct Row {
        std::string name;
        std::string script;
        bool ok;
        char lock_digit;
    } rows[] = {
        {"lock first", kP2pkh + envelope, true, '1'},
        {"lock after, more script after it", envelope + other_lock + "6a", true, '2'},
        {"lock first wins over one after", kP2pkh + envelope + other_lock, true, '1'},
        {"bare lock", kP2pkh, false, 0},
        {"lock first, no envelope after it", kP2pkh + "6a", false, 0},
        {"lock after cut to 24 bytes", envelope + other_lock.substr(0, 48), false, 0},
        {"no lock", envelope, false, 0},
        {"gap between lock and envelope", kP2pkh + "61" + envelope, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Hash160 lock{};
        std::string type;
        Bytes body;
        std::string meta = "stale";
        ASSERT_EQ(read_locked_envelope(from_hex(row.script), lock, type, body, &meta), row.ok);
        if (row.ok) {
            EXPECT_EQ(to_hex(Bytes(lock.begin(), lock.end())), std::string(40, row.lock_digit));
            EXPECT_EQ(type + std::string(body.begin(), body.end()) + meta, "image/pngpng{}");
        }
    }
}

TEST(EnvelopeTest, ParseOutpoint) {
    struct Row {
        std::string key;
        bool ok;
        std::uint32_t vout;
    } rows[] = {
        {kTx, true, 0},
        {kTx + "_12", true, 12},
        {kTx + "_ +7", true, 7},
        {kTx + "_3x", true, 3},
        {kTx + "_2147483647", true, 2147483647u},
        {kTxUpper + "_1", true, 1},
        {kTx + "_2147483648", false, 0}, // beyond a signed 32-bit index
        {kTx + "_-1", false, 0},
        {kTx + "_", false, 0},
        {kTx + "_x", false, 0},
        {kTx + "1", false, 0},
        {"g" + kTx.substr(1) + "_1", false, 0},
        {kTx.substr(1), false, 0},
        {"", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        std::string txid = "stale";
        std::uint32_t vout = 99;
        ASSERT_EQ(parse_ord_outpoint(row.key, txid, vout), row.ok);
        if (!row.ok) continue;
        EXPECT_EQ(txid, row.key.substr(0, 64));
        EXPECT_EQ(vout, row.vout);
    }
}

TEST(EnvelopeTest, Names) {
    const std::string e_acute = "\xC3\xA9";
    struct Row {
        std::string text;
        std::string clipped;
        std::string from_json;
    } rows[] = {
        {" \tSun \t\n", "Sun", "Sun"},
        {"Sun\r", "Sun\r", "Sun\r"},
        {std::string(60, 'a'), std::string(48, 'a'), ""},
        // A cut at 48 bytes would split the last character; the whole character goes.
        {std::string(47, 'a') + e_acute, std::string(47, 'a'), ""},
        {"{\"name\":\" \\tSun \"}", "{\"name\":\" \\tSun \"}", "Sun"},
        {"{\"name\":\"" + std::string(47, 'b') + e_acute + "\"}", "{\"name\":\"" + std::string(39, 'b'),
         std::string(47, 'b')},
        {"{\"title\":\"Sun\"}", "{\"title\":\"Sun\"}", ""},
        {"{\"name\":7}", "{\"name\":7}", "{\"name\":7}"},
        {"[\"Sun\"]", "[\"Sun\"]", "[\"Sun\"]"},
        {"{\"name\":", "{\"name\":", "{\"name\":"},
        {std::string("Su\0n", 4), std::string("Su\0n", 4), ""},
        {"", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(clip_ord_name(row.text), row.clipped);
        EXPECT_EQ(ord_name_from_json(row.text), row.from_json);
    }
}
