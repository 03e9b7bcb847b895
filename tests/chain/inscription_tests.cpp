#include "chain/inscription.h"

#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <filesystem>
#include <map>
#include <thread>

using nlohmann::json;

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kTxUpper = "0123456789ABCDEF00112233445566778899AABBCCDDEEFF0F1E2D3C4B5A6978";

// Length byte (or 4C and a length byte), then the text: the pushes here are all under 256 bytes.
Bytes push(const std::string& s) {
    Bytes out;
    if (s.size() >= 76) out.push_back(0x4C);
    out.push_back(static_cast<std::uint8_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// AES-256-GCM with a chosen label and IV, apart from the product's sealing, so its opening is
// checked against the layout IV || tag || ciphertext made by other code.
std::string seal_with(const std::string& label, const std::string& text) {
    const Hash256 key = sha256(label);
    Bytes out(28 + text.size());
    for (std::size_t i = 0; i < 12; ++i)
        out[i] = static_cast<std::uint8_t>(i);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), out.data());
    EVP_EncryptUpdate(ctx, out.data() + 28, &len, reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + 28 + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + 12);
    EVP_CIPHER_CTX_free(ctx);
    return to_hex(out);
}

struct InscriptionTest : testing::Test {
    TempDataDir dir;
    WalletLock lock = lock_wallet();
    void SetUp() override { reset_wallet_state_for_tests(); }
    void TearDown() override { reset_wallet_state_for_tests(); }
};

TEST_F(InscriptionTest, OrdinalsAddressOfAccountFiveOrTheReason) {
    const std::string path = "m/44'/236'/5'/0/7";
    ASSERT_NE(wallet_path_vector(path, "address"), "");
    KvCofferlyWallet& w = kv_wallet();
    w.is_hd = true;
    w.mnemonic = kTestMnemonic;
    w.recv = {0, 3, 0, 0, 0, 7};
    EXPECT_EQ(derive_ordinals_key(), wallet_path_vector(path, "address"));
    Hash160 h{};
    std::string error = "stale";
    ASSERT_TRUE(derive_ordinals_address(h, error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(to_hex(h.data(), h.size()), wallet_path_vector(path, "hash160"));

    for (bool hd : {false, true}) {
        w.is_hd = hd;
        w.mnemonic = hd ? "" : "abandon about";
        EXPECT_EQ(derive_ordinals_key(), "");
        EXPECT_FALSE(derive_ordinals_address(h, error));
        EXPECT_EQ(error, hd ? "could not derive the ordinals address." : "need an HD Cofferly wallet.");
    }
}

TEST(InscriptionName, MetadataTrimsCutsAndKeepsWholeCharacters) {
    const std::string sixty(60, 'n');
    const std::string e_acute = "\xC3\xA9";
    struct Row {
        std::string name, metadata;
    } rows[] = {
        {" \t Rose \t\n", R"({"name":"Rose"})"},
        {"Rose\r", R"({"name":"Rose\r"})"},
        {"say \"hi\"", R"({"name":"say \"hi\""})"},
        {" \t \t", ""},
        {sixty, R"({"name":")" + sixty.substr(0, 48) + "\"}"},
        {std::string(47, 'a') + e_acute, R"({"name":")" + std::string(47, 'a') + "\"}"},
        {std::string(46, 'a') + e_acute, R"({"name":")" + std::string(46, 'a') + e_acute + "\"}"},
        {"bad \xFF name", ""},
        // A cut that ends on a blank: the reader trims it, so it is not written.
        {std::string(47, 'a') + " b", R"({"name":")" + std::string(47, 'a') + "\"}"},
        {std::string(45, 'a') + " \t\nb", R"({"name":")" + std::string(45, 'a') + "\"}"},
        {std::string(46, 'a') + " " + e_acute, R"({"name":")" + std::string(46, 'a') + "\"}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(build_name_metadata(row.name), row.metadata);
        // What is written reads back as itself.
        if (!row.metadata.empty()) {
            const std::string written = json::parse(row.metadata)["name"].get<std::string>();
            EXPECT_EQ(clip_inscription_name(written), written);
        }
    }
}

TEST(InscriptionScript, LaidOutByteForByteWithItsOptionalParts) {
    Hash160 h{};
    for (std::size_t i = 0; i < h.size(); ++i)
        h[i] = static_cast<std::uint8_t>(0xA0 + i);
    const Bytes lock = concat({{0x76, 0xA9, 0x14}, Bytes(h.begin(), h.end()), {0x88, 0xAC}});
    const Bytes head = concat({lock, {0x00, 0x63}, push("ord"), {0x51}, push("image/png")});
    const Bytes body = concat({{0x00}, push("PNG"), {0x68}});
    const std::string tag(70, 'c');
    const std::string sixty(60, 'z');
    auto map_part = [&](const std::string& name) {
        Bytes out{0x6A};
        for (const char* s : {"1PuQa7K62MiKCtssSLKy1kh56WWU7MtUR5", "SET", "app", "Corvane", "type", "ord"})
            out = concat({out, push(s)});
        if (!name.empty()) out = concat({out, push("name"), push(name)});
        return concat({out, push("tag"), push(tag)});
    };
    auto meta = [](const std::string& m) { return concat({{0x55}, push(m)}); };
    struct Row {
        const char* what;
        std::string metadata, tag;
        Bytes expected;
    } rows[] = {
        {"everything", R"({"name":"Rose"})", tag, concat({head, meta(R"({"name":"Rose"})"), body, map_part("Rose")})},
        {"no tag, no metadata", "", "", concat({head, body})},
        {"tag without metadata", "", tag, concat({head, body, map_part("")})},
        {"metadata not JSON", "Rose", tag, concat({head, meta("Rose"), body, map_part("")})},
        {"long name cut, not trimmed", R"({"name":" )" + sixty + "\"}", tag,
         concat({head, meta(R"({"name":" )" + sixty + "\"}"), body, map_part(" " + sixty.substr(0, 47))})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Bytes script = build_inscription_script(h, "image/png", {'P', 'N', 'G'}, row.metadata, row.tag);
        EXPECT_EQ(to_hex(script), to_hex(row.expected));
    }

    const Bytes large = build_inscription_script(h, "image/png", Bytes(70000, 0x5A), "", "");
    ASSERT_EQ(large.size(), head.size() + 1 + 5 + 70000 + 1);
    EXPECT_EQ(to_hex(Bytes(large.begin() + head.size(), large.begin() + head.size() + 6)), "004e70110100");
}

TEST(ArtTag, SealsOpenAgainAndOnlyUnderTheirLabel) {
    for (const std::string& text : {std::string("A"), std::string("Kunstwerk \xC3\xA9"), std::string(32, 'q')}) {
        SCOPED_TRACE(text);
        const std::string sealed = seal_art_tag(text);
        EXPECT_EQ(sealed.size(), 2 * (28 + text.size()));
        EXPECT_EQ(sealed, to_lower_copy(sealed));
        EXPECT_EQ(open_art_tag(sealed), text);
        const std::string again = seal_art_tag(text);
        EXPECT_NE(again, sealed);
        EXPECT_EQ(open_art_tag(again), text);
    }
    EXPECT_EQ(seal_art_tag(std::string(33, 'q')), "");
    EXPECT_EQ(seal_art_tag(""), "");
    EXPECT_EQ(open_art_tag(seal_with("QW-Seal-Lbl-3", "Certificate")), "Certificate");
    EXPECT_EQ(open_art_tag(seal_with("QW-Seal-Lbl-4", "Certificate")), "");
    EXPECT_EQ(open_art_tag(seal_with(std::string("QW-Seal-Lbl-3", 14), "Certificate")), ""); // with its NUL
}

TEST(ArtTag, AlteredCutOrMalformedTagsDoNotOpen) {
    const std::string sealed = seal_art_tag("Artwork");
    auto flip = [&](std::size_t hex_pos) {
        std::string s = sealed;
        s[hex_pos] = s[hex_pos] == '0' ? '1' : '0';
        return s;
    };
    for (const std::string& text :
         {flip(3), flip(24 + 5), flip(56 + 2), sealed.substr(0, sealed.size() - 2), sealed + "00", sealed.substr(0, 69),
          sealed.substr(0, 68) + "zz", sealed.substr(0, 56), sealed.substr(0, 54), std::string("Artwork")})
        EXPECT_EQ(open_art_tag(text), "") << text;
}

TEST(ArtTag, KeysNormaliseTheTransactionPart) {
    struct Row {
        std::string outpoint, key;
    } rows[] = {
        {kTxUpper, kTx + "_0"},
        {kTxUpper + "_12", kTx + "_12"},
        {kTx + "_AB", kTx + "_ab"},
        {kTx + "_", ""},
        {kTx + ":1", ""},
        {kTx + "5", ""},
        {kTx.substr(0, 63) + "g_1", ""},
        {kTx.substr(0, 63), ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(art_tag_key(row.outpoint), row.key) << row.outpoint;
}

struct ArtTagsFileTest : testing::Test {
    TempDataDir dir;
    std::string path() const { return dir.data_dir + "/art/tags.json"; }
};

TEST_F(ArtTagsFileTest, SavedCompactlyUnderNormalisedKeys) {
    EXPECT_EQ(art_tags_path(), path());
    save_art_tag(kTxUpper, "Artwork");
    save_art_tag(kTx + "_3", "Certificate");
    save_art_tag(kTx + "_3", "Artwork");
    for (const std::string& refused : {kTx + ":4", kTx + "5"})
        save_art_tag(refused, "Artwork");
    save_art_tag(kTx + "_5", "");
    save_art_tag(kTx + "_6", "bad \xFF");
    EXPECT_EQ(test_read_file(path()), "{\"" + kTx + "_0\":\"Artwork\",\"" + kTx + "_3\":\"Artwork\"}");
    EXPECT_EQ(load_art_tag(kTxUpper + "_0"), "Artwork");
    EXPECT_EQ(load_art_tag(kTx + "_4"), "");
    EXPECT_EQ(load_art_tag(kTx + ":0"), "");

    // Entries under the caller's own form are found; other entries and types are kept on save.
    test_write_file(path(), "{\"" + kTxUpper + "_1\":\"Certificate\",\"" + kTx + "_2\":7}");
    EXPECT_EQ(load_art_tag(kTxUpper + "_1"), "Certificate");
    EXPECT_EQ(load_art_tag(kTx + "_2"), "");
    save_art_tag(kTx + "_8", "Artwork");
    EXPECT_EQ(json::parse(test_read_file(path())),
              json({{kTxUpper + "_1", "Certificate"}, {kTx + "_2", 7}, {kTx + "_8", "Artwork"}}));

    // One read answers every look-up as a read per look-up does.
    const std::map<std::string, std::string> tags = load_art_tags();
    for (const std::string& outpoint : {kTxUpper + "_1", kTx + "_1", kTx + "_2", kTx + "_8", kTx, kTx + ":8"}) {
        SCOPED_TRACE(outpoint);
        EXPECT_EQ(art_tag_in(tags, outpoint), load_art_tag(outpoint));
    }
    EXPECT_EQ(art_tag_in(tags, kTx + "_8"), "Artwork");
    platform_remove_file(path());
    EXPECT_TRUE(load_art_tags().empty());
}

// A batch ends as the same saves one by one would: normalised keys, later pairs over earlier ones,
// refused pairs left out, entries already in the file kept.
TEST_F(ArtTagsFileTest, BatchSaveEndsAsSavesOneByOne) {
    const std::vector<std::pair<std::string, std::string>> batch = {
        {kTxUpper, "Artwork"}, {kTx + "_3", "Certificate"}, {kTx + "_3", "Artwork"}, {kTx + ":4", "Artwork"},
        {kTx + "_5", ""},      {kTx + "_6", "bad \xFF"}};
    save_art_tag(kTx + "_9", "Certificate");
    save_art_tags(batch);
    const std::string batched = test_read_file(path());
    platform_remove_file(path());
    save_art_tag(kTx + "_9", "Certificate");
    for (const auto& entry : batch)
        save_art_tag(entry.first, entry.second);
    EXPECT_EQ(batched, test_read_file(path()));
    EXPECT_EQ(json::parse(batched),
              json({{kTx + "_0", "Artwork"}, {kTx + "_3", "Artwork"}, {kTx + "_9", "Certificate"}}));

    // Nothing acceptable: the file is neither read nor written.
    platform_remove_file(path());
    save_art_tags({{kTx + ":1", "Artwork"}, {kTx, ""}});
    save_art_tags({});
    EXPECT_FALSE(platform_file_exists(path()));
}

TEST_F(ArtTagsFileTest, DamagedFileIsKeptAsideAndANewOneStarted) {
    FakeClock clock;
    const std::string deep = "{\"x\":" + std::string(75000, '[') + std::string(75000, ']') + "}";
    for (const std::string& damaged : {"{\"" + kTx + "_0\":\"Artwork\",", std::string("[1,2]"), std::string("\"text\""),
                                       std::string("\xEF\xBB\xBF{x}"), deep}) {
        SCOPED_TRACE(damaged.substr(0, 40));
        SinkCapture sink;
        clock.sleeps.clear();
        test_write_file(path(), damaged);
        EXPECT_EQ(load_art_tag(kTx), "");
        EXPECT_EQ(test_read_file(path()), damaged) << "a read changes nothing";
        save_art_tag(kTx + "_1", "Artwork");
        EXPECT_EQ(clock.recorded_sleeps(), std::vector<std::int64_t>{kSharedFileRetryMs});
        const std::string aside = path() + ".damaged-" + std::to_string(clock.system_ms);
        EXPECT_EQ(test_read_file(aside), damaged);
        EXPECT_EQ(load_art_tag(kTx + "_1"), "Artwork");
        save_art_tag(kTx + "_2", "Certificate");
        EXPECT_EQ(json::parse(test_read_file(path())), json({{kTx + "_1", "Artwork"}, {kTx + "_2", "Certificate"}}));
        EXPECT_EQ(sink.lines.size(), 1u);
        platform_remove_file(aside);
    }

    // A file caught mid-write by the first read is taken from the second, and nothing is set aside.
    test_write_file(path(), "{\"" + kTx + "_0\":");
    ClockSeam seam;
    seam.sleep_ms = [&](std::int64_t) { test_write_file(path(), "{\"" + kTx + "_0\":\"Artwork\"}"); };
    set_clock_seam(seam);
    save_art_tag(kTx + "_1", "Certificate");
    reset_clock_seam();
    EXPECT_EQ(json::parse(test_read_file(path())), json({{kTx + "_0", "Artwork"}, {kTx + "_1", "Certificate"}}));
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(dir.data_dir + "/art")))
        EXPECT_EQ(entry.path().u8string().find(".damaged"), std::string::npos);

    test_write_file(path(), " \n"); // holds nothing a save could lose
    save_art_tag(kTx, "Artwork");
    EXPECT_EQ(load_art_tag(kTx), "Artwork");
}

TEST_F(ArtTagsFileTest, ConcurrentSavesKeepEveryEntry) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 10; ++i)
                save_art_tag(kTx + "_" + std::to_string(t * 10 + i), "Artwork");
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(json::parse(test_read_file(path())).size(), 40u);
}

} // namespace
