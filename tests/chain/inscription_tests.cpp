#include "chain/inscription.h"

#include "support/temp_dir.h"
#include "support/wallet_reset.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <fstream>
#include <sstream>
#include <thread>

using nlohmann::json;

namespace {

const char kAbandon[] = "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

Bytes text_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// One short push written out by hand: length byte, then the bytes.
Bytes short_push(const std::string& s) {
    Bytes out{static_cast<std::uint8_t>(s.size())};
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

// AES-256-GCM with a chosen label and IV, written here apart from the product's sealing so the
// product's opening is checked against a sealed text it did not make.
std::string seal_with(const std::string& label, const Bytes& iv, const std::string& text) {
    Hash256 key = sha256(label);
    Bytes out(28 + text.size());
    std::copy(iv.begin(), iv.end(), out.begin());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv.data());
    EVP_EncryptUpdate(ctx, out.data() + 28, &len, reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + 28 + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + 12);
    EVP_CIPHER_CTX_free(ctx);
    return to_hex(out);
}

// GCM's keystream is AES-CTR from the counter block IV || 00000002; decrypting the ciphertext
// that way checks the key and the layout of the sealed bytes without the product's GCM code.
std::string ctr_decrypt(const Bytes& sealed) {
    Hash256 key = sha256(std::string("QW-Seal-Lbl-3"));
    Bytes counter(sealed.begin(), sealed.begin() + 12);
    append(counter, {0, 0, 0, 2});
    Bytes plain(sealed.size() - 28);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key.data(), counter.data());
    EVP_EncryptUpdate(ctx, plain.data(), &len, sealed.data() + 28, static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
    return std::string(plain.begin(), plain.end());
}

json read_vectors(const char* name) {
    std::ifstream f(std::string(CORVANE_TEST_DATA) + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return json::parse(ss.str());
}

struct InscriptionTest : testing::Test {
    TempDataDir dir;
    WalletLock lock = lock_wallet();
    void SetUp() override { reset_wallet_state_for_tests(); }
    void TearDown() override { reset_wallet_state_for_tests(); }
};

TEST_F(InscriptionTest, OrdinalsAddressFollowsTheCounterOfAccountFive) {
    const json vectors = read_vectors("wallet-paths.json");
    for (std::uint32_t index : {0u, 7u}) {
        SCOPED_TRACE(index);
        const std::string path = "m/44'/236'/5'/0/" + std::to_string(index);
        json row;
        for (const json& r : vectors["paths"])
            if (r["path"] == path) row = r;
        ASSERT_TRUE(row.is_object());
        reset_wallet_state_for_tests();
        kv_wallet().is_hd = true;
        kv_wallet().mnemonic = kAbandon;
        kv_wallet().recv[5] = index;
        kv_wallet().recv[1] = 3; // another account's counter must not matter
        EXPECT_EQ(derive_ordinals_key(), row["address"].get<std::string>());
        Hash160 h{};
        std::string error = "stale";
        ASSERT_TRUE(derive_ordinals_address(h, error));
        EXPECT_EQ(error, "");
        EXPECT_EQ(to_hex(h.data(), h.size()), row["hash160"].get<std::string>());
    }
}

TEST_F(InscriptionTest, OrdinalsAddressNeedsAnHdWalletWithAMnemonic) {
    struct Row {
        bool hd;
        const char* mnemonic;
        const char* error;
    } rows[] = {{false, kAbandon, "need an HD Cofferly wallet."}, {true, "", "could not derive the ordinals address."}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        reset_wallet_state_for_tests();
        kv_wallet().is_hd = row.hd;
        kv_wallet().mnemonic = row.mnemonic;
        kv_wallet().address = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
        EXPECT_EQ(derive_ordinals_key(), "");
        Hash160 h{};
        std::string error;
        EXPECT_FALSE(derive_ordinals_address(h, error));
        EXPECT_EQ(error, row.error);
    }
}

TEST(InscriptionName, MetadataTrimsCutsAndKeepsWholeCharacters) {
    const std::string sixty(60, 'n');
    const std::string e_acute = "\xC3\xA9";
    struct Row {
        std::string name, metadata;
    } rows[] = {
        {"Rose", R"({"name":"Rose"})"},
        {" \t Rose \t\n", R"({"name":"Rose"})"},
        {"Rose\r", R"({"name":"Rose\r"})"},
        {"say \"hi\"", R"({"name":"say \"hi\""})"},
        {" \t \t", ""},
        {"\n", ""},
        {"", ""},
        {sixty, R"({"name":")" + sixty.substr(0, 48) + "\"}"},
        {std::string(47, 'a') + e_acute, R"({"name":")" + std::string(47, 'a') + "\"}"},
        {std::string(46, 'a') + e_acute, R"({"name":")" + std::string(46, 'a') + e_acute + "\"}"},
        {"bad \xFF name", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(build_name_metadata(row.name), row.metadata);
    }
}

TEST(InscriptionScript, LaidOutByteForByte) {
    Hash160 h{};
    for (std::size_t i = 0; i < h.size(); ++i)
        h[i] = static_cast<std::uint8_t>(0xA0 + i);
    const std::string tag = std::string(70, 'c');
    const Bytes content = text_bytes("PNGDATA");

    Bytes expected = {0x76, 0xA9, 0x14};
    expected.insert(expected.end(), h.begin(), h.end());
    append(expected, {0x88, 0xAC, 0x00, 0x63, 0x03, 'o', 'r', 'd', 0x51});
    append(expected, short_push("image/png"));
    expected.push_back(0x55);
    append(expected, short_push(R"({"name":"Rose"})"));
    expected.push_back(0x00);
    append(expected, short_push("PNGDATA"));
    append(expected, {0x68, 0x6A});
    for (const char* s :
         {"1PuQa7K62MiKCtssSLKy1kh56WWU7MtUR5", "SET", "app", "Corvane", "type", "ord", "name", "Rose", "tag"})
        append(expected, short_push(s));
    append(expected, short_push(tag));

    EXPECT_EQ(to_hex(build_inscription_script(h, "image/png", content, R"({"name":"Rose"})", tag)), to_hex(expected));
}

TEST(InscriptionScript, OptionalPartsAndTheNameOfTheMapPart) {
    Hash160 h{};
    const std::string tag = std::string(78, 'd');
    const Bytes content = text_bytes("x");
    const Bytes envelope_end = {0x00, 0x01, 'x', 0x68};
    const std::string sixty(60, 'z');
    struct Row {
        const char* what;
        std::string metadata, tag;
        bool has_meta, has_map;
        std::string map_name; // empty: no "name" pair
    } rows[] = {
        {"no tag, no metadata", "", "", false, false, ""},
        {"no tag", R"({"name":"Rose"})", "", true, false, ""},
        {"tag without metadata", "", tag, false, true, ""},
        {"metadata not JSON", "Rose", tag, true, true, ""},
        {"name not text", R"({"name":7})", tag, true, true, ""},
        {"long name is cut", R"({"name":")" + sixty + "\"}", tag, true, true, sixty.substr(0, 48)},
        {"name is not trimmed again", R"({"name":" Rose"})", tag, true, true, " Rose"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Bytes script = build_inscription_script(h, "text/plain", content, row.metadata, row.tag);
        Bytes expected = p2pkh_script(h);
        append(expected, {0x00, 0x63, 0x03, 'o', 'r', 'd', 0x51});
        append(expected, short_push("text/plain"));
        if (row.has_meta) {
            expected.push_back(0x55);
            append(expected, short_push(row.metadata));
        }
        append(expected, envelope_end);
        if (row.has_map) {
            expected.push_back(0x6A);
            for (const char* s : {"1PuQa7K62MiKCtssSLKy1kh56WWU7MtUR5", "SET", "app", "Corvane", "type", "ord"})
                append(expected, short_push(s));
            if (!row.map_name.empty()) {
                append(expected, short_push("name"));
                append(expected, short_push(row.map_name));
            }
            append(expected, short_push("tag"));
            Bytes tag_push = {0x4C, static_cast<std::uint8_t>(row.tag.size())};
            tag_push.insert(tag_push.end(), row.tag.begin(), row.tag.end());
            append(expected, tag_push);
        }
        EXPECT_EQ(to_hex(script), to_hex(expected));
    }
}

TEST(InscriptionScript, LargeContentIsOnePushWithAFourByteLength) {
    Hash160 h{};
    const Bytes content(70000, 0x5A);
    const Bytes script = build_inscription_script(h, "image/png", content, "", "");
    const std::size_t at = 25 + 6 + 1 + 10 + 1; // P2PKH, envelope start, OP_1, type push, OP_0
    ASSERT_EQ(script.size(), at + 5 + content.size() + 1);
    EXPECT_EQ(to_hex(Bytes(script.begin() + at, script.begin() + at + 5)), "4e70110100");
    EXPECT_EQ(script.back(), 0x68);
}

TEST(ArtTag, SealsOpenAgainAndCarryTheirLength) {
    for (const std::string& text : {std::string("A"), std::string("Artwork"), std::string("Certificate"),
                                    std::string("Kunstwerk \xC3\xA9"), std::string(32, 'q')}) {
        SCOPED_TRACE(text);
        const std::string sealed = seal_art_tag(text);
        EXPECT_EQ(sealed.size(), 2 * (28 + text.size()));
        EXPECT_EQ(sealed, to_lower_copy(sealed));
        EXPECT_EQ(open_art_tag(sealed), text);
        EXPECT_EQ(open_art_tag(upper(sealed)), text);
        EXPECT_EQ(ctr_decrypt(from_hex(sealed)), text);
        const std::string again = seal_art_tag(text);
        EXPECT_NE(again, sealed);
        EXPECT_EQ(open_art_tag(again), text);
    }
    EXPECT_EQ(seal_art_tag("Artwork").size(), 70u);
    EXPECT_EQ(seal_art_tag("Certificate").size(), 78u);
    EXPECT_EQ(seal_art_tag(std::string(33, 'q')), "");
    EXPECT_EQ(seal_art_tag(""), "");
}

TEST(ArtTag, OpensWhatAnotherSealerMadeUnderTheSameLabel) {
    const Bytes iv = from_hex("000102030405060708090a0b");
    EXPECT_EQ(open_art_tag(seal_with("QW-Seal-Lbl-3", iv, "Certificate")), "Certificate");
    EXPECT_EQ(open_art_tag(seal_with("QW-Seal-Lbl-4", iv, "Certificate")), "");
    // The label is its 13 bytes alone, without a terminator.
    EXPECT_EQ(open_art_tag(seal_with(std::string("QW-Seal-Lbl-3", 14), iv, "Certificate")), "");
}

TEST(ArtTag, AlteredCutOrMalformedTagsDoNotOpen) {
    const std::string sealed = seal_art_tag("Artwork");
    auto flip = [&](std::size_t hex_pos) {
        std::string s = sealed;
        s[hex_pos] = s[hex_pos] == '0' ? '1' : '0';
        return s;
    };
    struct Row {
        const char* what;
        std::string text;
    } rows[] = {
        {"IV altered", flip(3)},
        {"GCM tag altered", flip(24 + 5)},
        {"ciphertext altered", flip(56 + 2)},
        {"last byte cut", sealed.substr(0, sealed.size() - 2)},
        {"byte added", sealed + "00"},
        {"odd length", sealed.substr(0, sealed.size() - 1)},
        {"not hex", sealed.substr(0, 68) + "zz"},
        {"no ciphertext", sealed.substr(0, 56)},
        {"shorter than IV and tag", sealed.substr(0, 54)},
        {"empty", ""},
        {"plain text", "Artwork"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(open_art_tag(row.text), "");
    }
}

TEST(ArtTag, KeysNormaliseTheTransactionPart) {
    struct Row {
        std::string outpoint, key;
    } rows[] = {
        {kTx, kTx + "_0"},
        {upper(kTx), kTx + "_0"},
        {upper(kTx) + "_12", kTx + "_12"},
        {kTx + "_x", kTx + "_x"},
        {kTx + "_AB", kTx + "_ab"},
        {kTx + "_", ""},
        {kTx + ":1", ""},
        {kTx + "5", ""},
        {kTx.substr(0, 63) + "g_1", ""},
        {kTx.substr(0, 63), ""},
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.outpoint);
        EXPECT_EQ(art_tag_key(row.outpoint), row.key);
    }
}

struct ArtTagsFileTest : testing::Test {
    TempDataDir dir;
    std::string path() const { return dir.data_dir + "/art/tags.json"; }
};

TEST_F(ArtTagsFileTest, SavedCompactlyUnderNormalisedKeys) {
    EXPECT_EQ(art_tags_path(), path());
    save_art_tag(upper(kTx), "Artwork");
    save_art_tag(kTx + "_3", "Certificate");
    save_art_tag(kTx + "_3", "Artwork"); // replaces
    for (const std::string& refused : {kTx + ":4", kTx + "5", std::string("")})
        save_art_tag(refused, "Artwork");
    save_art_tag(kTx + "_5", "");
    save_art_tag(kTx + "_6", "bad \xFF");
    EXPECT_EQ(test_read_file(path()), "{\"" + kTx + "_0\":\"Artwork\",\"" + kTx + "_3\":\"Artwork\"}");

    EXPECT_EQ(load_art_tag(kTx), "Artwork");
    EXPECT_EQ(load_art_tag(upper(kTx) + "_0"), "Artwork");
    EXPECT_EQ(load_art_tag(kTx + "_3"), "Artwork");
    EXPECT_EQ(load_art_tag(kTx + "_4"), "");
    EXPECT_EQ(load_art_tag(kTx + ":0"), "");
}

TEST_F(ArtTagsFileTest, LoadFallsBackToTheCallersOwnFormAndSkipsOtherTypes) {
    const std::string upper_key = upper(kTx) + "_1";
    test_write_file(path(), "{\"" + upper_key + "\":\"Certificate\",\"" + kTx + "_2\":7,\"keep\":[1]}");
    EXPECT_EQ(load_art_tag(upper_key), "Certificate");
    EXPECT_EQ(load_art_tag(kTx + "_1"), "");
    EXPECT_EQ(load_art_tag(kTx + "_2"), "");
    save_art_tag(kTx + "_2", "Artwork");
    const json doc = json::parse(test_read_file(path()));
    EXPECT_EQ(doc[kTx + "_2"], "Artwork");
    EXPECT_EQ(doc[upper_key], "Certificate");
    EXPECT_EQ(doc["keep"], json::array({1}));
}

TEST_F(ArtTagsFileTest, DamagedFileIsNeitherReadNorOverwritten) {
    for (const std::string& damaged : {std::string("{\"") + kTx + "_0\":\"Artwork\",", std::string("[1,2]"),
                                       std::string("\"text\""), std::string("\xEF\xBB\xBF{x}")}) {
        SCOPED_TRACE(damaged);
        test_write_file(path(), damaged);
        EXPECT_EQ(load_art_tag(kTx), "");
        save_art_tag(kTx + "_1", "Artwork");
        EXPECT_EQ(test_read_file(path()), damaged);
    }
    // An empty file holds nothing that a save could lose.
    test_write_file(path(), " \n");
    save_art_tag(kTx, "Artwork");
    EXPECT_EQ(load_art_tag(kTx), "Artwork");
}

TEST_F(ArtTagsFileTest, ConcurrentSavesKeepEveryEntry) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 10; ++i)
                save_art_tag(kTx + "_" + std::to_string(t * 10 + i), t % 2 ? "Artwork" : "Certificate");
        });
    }
    for (std::thread& th : threads)
        th.join();
    const json doc = json::parse(test_read_file(path()));
    EXPECT_EQ(doc.size(), 40u);
    EXPECT_EQ(load_art_tag(kTx + "_39"), "Artwork");
}

} // namespace
