#include "wallet/wallet_file.h"

#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/text_util.h"

#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

struct WalletFileTest : ::testing::Test {
    TempDataDir dir;
    std::string path;

    void SetUp() override {
        reset_wallet_state_for_tests();
        kv_wallet().wallet_id = "w1";
        path = wallet_file_path();
    }
    void TearDown() override { reset_wallet_state_for_tests(); }

    void write(const std::string& text) { test_write_file(path, text); }
    void write(const json& doc) { write(doc.dump(2)); }
    // Forgets the loaded keys so the next load reads the file again.
    void unload() {
        kv_wallet().priv.clear();
        kv_wallet().address.clear();
    }
};

// Keys of the lines indented by exactly `indent` spaces, in file order.
std::vector<std::string> keys_at_indent(const std::string& text, std::size_t indent) {
    std::vector<std::string> keys;
    const std::string lead = "\n" + std::string(indent, ' ') + "\"";
    for (std::size_t at = text.find(lead); at != std::string::npos; at = text.find(lead, at + 1)) {
        const std::size_t start = at + lead.size();
        keys.push_back(text.substr(start, text.find('"', start) - start));
    }
    return keys;
}

json hd_doc() {
    return {{"version", 2}, {"mnemonic", kTestMnemonic}, {"recv", {0, 1, 0, 0, 0, 7}}, {"show", 1}};
}

} // namespace

TEST(TextUtil, CutsOnCharacterBoundaries) {
    const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", emoji = "\xF0\x9F\x8E\xA8";
    struct Row {
        std::string text;
        std::size_t max;
        std::string want;
    } rows[] = {
        {"abc", 2, "ab"}, {"a" + e_acute, 2, "a"},           {"ab" + emoji, 5, "ab"}, {emoji, 4, emoji},
        {euro, 0, ""},    {"a\x80\x80\x80\x80\x80", 4, "a"}, // stray continuation bytes: at most three are backed over
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.want + " max " + std::to_string(row.max));
        EXPECT_EQ(utf8_cut(row.text, row.max), row.want);
    }
}

TEST(TextUtil, ValidatesUtf8) {
    struct Row {
        const char* text;
        bool valid;
    } rows[] = {{"plain", true},
                {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA8", true},
                {"\xC0\x80", false},
                {"\xED\xA0\x80", false},
                {"\xF4\x90\x80\x80", false},
                {"\xE2\x82", false},
                {"\x80", false},
                {"\xFF", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(utf8_valid(row.text), row.valid);
    }
}

TEST_F(WalletFileTest, PathsAndContactNormalisation) {
    EXPECT_EQ(path, dir.data_dir + "/wallets/w1/wallet.json");
    kv_wallet().wallet_id = "";
    EXPECT_EQ(wallet_file_path(), dir.data_dir + "/kestrava_cofferly.json");
    kv_wallet().wallet_id = "../w1";
    EXPECT_EQ(wallet_file_path(), "");
    EXPECT_FALSE(load_wallet());

    EXPECT_EQ(trim_copy(" \t\r\nA b\n"), "A b");
    struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"@@ Alice@kestrava.net", "alice"},
        {" $@$Bob ", "bob"},
        {"carol@other.example", "carol@other.example"},
        {"dave@kestrava.net.example", "dave@kestrava.net.example"},
        {"@1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g6", "1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g6"},
        {"1Short", "1short"},
        {"@ $x ", "$x"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(normalize_contact_dest(row.in), row.out);
    }
}

TEST_F(WalletFileTest, LoadsHdWallet) {
    json doc = hd_doc();
    doc["priv"] = std::string(64, 'f'); // ignored beside a valid mnemonic
    doc["backup"] = true;
    doc["paymail"] = "alice";
    doc["ord_owned"] = {{{"origin", "aa_0"}, {"txid", "aa"}, {"vout", 3}, {"hidden", true}},
                        {{"txid", "bb"}, {"vout", 1}},
                        {{"origin", "cc_1"}, {"created", false}},
                        7};
    std::string long_note = "x";
    for (int i = 0; i < 60; ++i)
        long_note += "\xC3\xA9"; // 121 bytes; byte 80 is inside a character
    doc["contacts"] = {{{"dest", "@@ Alice@kestrava.net"}, {"note", "  " + long_note}}, {{"dest", " "}}, "x"};
    write(doc.dump(2) + "\n} text after the value is ignored");

    ASSERT_TRUE(load_wallet());
    const KvCofferlyWallet& w = kv_wallet();
    EXPECT_TRUE(w.is_hd);
    EXPECT_TRUE(w.backup);
    EXPECT_EQ(w.priv, wallet_path_vector("m/44'/236'/1'/0/1", "privateKey"));
    EXPECT_EQ(w.address, wallet_path_vector("m/44'/236'/1'/0/1", "address"));
    EXPECT_EQ(w.identity_address, wallet_path_vector("m/44'/236'/100'/0/0", "address"));
    EXPECT_EQ(w.paymail, "alice");
    ASSERT_EQ(w.ord_owned.size(), 2u);
    EXPECT_EQ(w.ord_owned[0].vout, 3u);
    EXPECT_TRUE(w.ord_owned[0].hidden);
    EXPECT_TRUE(w.ord_owned[0].created);
    EXPECT_FALSE(w.ord_owned[1].created);
    ASSERT_EQ(w.contacts.size(), 1u);
    EXPECT_EQ(w.contacts[0].dest, "alice");
    EXPECT_EQ(w.contacts[0].note, long_note.substr(0, 79));
    EXPECT_EQ(cofferly_ord_address(), wallet_path_vector("m/44'/236'/5'/0/7", "address"));
}

TEST_F(WalletFileTest, ReadsReceiveCountersAndShow) {
    struct Row {
        const char* name;
        json recv;
        json show; // null: absent
        std::array<std::uint32_t, 6> want_recv;
        std::uint32_t want_show;
    } rows[] = {
        {"three elements", {1, 4, 2}, nullptr, {1, 4, 2, 0, 0, 0}, 4},
        {"fraction skipped", {1, 2.5, 3}, nullptr, {1, 0, 3, 0, 0, 0}, 0},
        {"negative skipped", {-1, 3}, 2, {0, 3, 0, 0, 0, 0}, 2},
        {"too large skipped", {4294967296ULL, 3}, nullptr, {0, 3, 0, 0, 0, 0}, 3},
        {"show clamped", {0, 4}, 9, {0, 4, 0, 0, 0, 0}, 4},
        {"negative show ignored", {0, 4}, -1, {0, 4, 0, 0, 0, 0}, 4},
        {"not an array", "1,2", nullptr, {0, 0, 0, 0, 0, 0}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unload();
        json doc = {{"mnemonic", kTestMnemonic}, {"recv", row.recv}};
        if (!row.show.is_null()) doc["show"] = row.show;
        write(doc);
        ASSERT_TRUE(load_wallet());
        EXPECT_EQ(kv_wallet().recv, row.want_recv);
        EXPECT_EQ(kv_wallet().show, row.want_show);
    }
}

TEST_F(WalletFileTest, LoadsLegacyWallet) {
    const std::string priv = wallet_path_vector("m/44'/236'/1'/0/0", "privateKey");
    for (const json& mnemonic : {json(5), json(nullptr)}) {
        SCOPED_TRACE(mnemonic.dump());
        unload();
        write(json{{"mnemonic", mnemonic}, {"priv", priv}, {"paymail", "bob"}});
        ASSERT_TRUE(load_wallet());
        EXPECT_FALSE(kv_wallet().is_hd);
        EXPECT_EQ(kv_wallet().pub, wallet_path_vector("m/44'/236'/1'/0/0", "publicKey"));
        EXPECT_EQ(kv_wallet().address, wallet_path_vector("m/44'/236'/1'/0/0", "address"));
        EXPECT_EQ(kv_wallet().paymail, "bob");
        EXPECT_EQ(cofferly_ord_address(), "");
    }
    // The older layout is written back with its alias and without a mnemonic.
    ASSERT_TRUE(save_wallet());
    json saved = json::parse(test_read_file(path));
    EXPECT_EQ(saved["paymail"], "bob");
    EXPECT_EQ(saved["pub"], wallet_path_vector("m/44'/236'/1'/0/0", "publicKey"));
    EXPECT_TRUE(saved.at("mnemonic").is_null()); // a key of the file kept as it was
    for (const std::string& bad : {priv.substr(1), priv + "0"}) {
        unload();
        write(json{{"priv", bad}});
        EXPECT_FALSE(load_wallet());
    }
}

TEST_F(WalletFileTest, ReloadWipesThePreviousWalletsSecrets) {
    write(hd_doc());
    ASSERT_TRUE(load_wallet());
    ASSERT_TRUE(kv_wallet().secrets.seed_cached);
    unload();
    write(json{{"priv", wallet_path_vector("m/44'/236'/1'/0/0", "privateKey")}});
    ASSERT_TRUE(load_wallet());
    EXPECT_TRUE(kv_wallet().mnemonic.empty());
    EXPECT_FALSE(kv_wallet().secrets.seed_cached);
    EXPECT_EQ(kv_wallet().secrets.seed, (std::array<std::uint8_t, 64>{}));
    EXPECT_TRUE(kv_wallet().identity_address.empty());
}

TEST_F(WalletFileTest, RefusesMalformedFilesWithoutTouchingThem) {
    const auto with = [](const char* key, json value) {
        json doc = hd_doc();
        doc[key] = std::move(value);
        return doc.dump();
    };
    const std::string rows[] = {
        "",
        "[1,2]",
        with("lock", 5),
        with("lock", "KV-LOCK1"),
        with("backup", "yes"),
        with("ord_owned", json::array({{{"origin", "a_0"}, {"vout", "1"}}})),
        with("ord_owned", json::array({{{"origin", "a_0"}, {"vout", -1}}})),
        with("ord_owned", json::array({{{"origin", "a_0"}, {"hidden", 1}}})),
        with("ord_owned", json::array({{{"origin", "a_0"}, {"created", "true"}}})),
        with("ord_owned", json::array({{{"origin", 5}}})),
        with("contacts", json::array({{{"dest", 5}}})),
        json{{"priv", 5}}.dump(),
        with("mnemonic", "abandon abandon"),
    };
    for (const std::string& text : rows) {
        SCOPED_TRACE(text);
        write(text);
        EXPECT_FALSE(load_wallet());
        EXPECT_TRUE(kv_wallet().priv.empty());
        EXPECT_EQ(test_read_file(path), text);
    }
}

TEST_F(WalletFileTest, SealedWallets) {
    write(json{{"lock", "KV-LOCK1"}, {"kdf", "pbkdf2-sha256"}, {"ct", "00"}});
    EXPECT_FALSE(load_wallet());
    EXPECT_TRUE(is_wallet_sealed());

    const std::string plain = hd_doc().dump(2);
    write(plain);
    EXPECT_FALSE(is_wallet_sealed());
    test_write_file(path + ".seal", "{}");
    ASSERT_TRUE(load_wallet());
    EXPECT_TRUE(is_wallet_sealed());
    kv_wallet().paymail = "changed";
    EXPECT_FALSE(save_wallet());
    EXPECT_EQ(test_read_file(path), plain);
}

TEST_F(WalletFileTest, SavesOnlyTheKeysItOwns) {
    json doc = hd_doc();
    doc["priv"] = "kept as it is";
    doc["extra"] = {{"a", 1}};
    doc["paymail"] = "old";
    write(doc);
    ASSERT_TRUE(load_wallet());
    kv_wallet().paymail.clear();
    ASSERT_TRUE(save_wallet());
    const std::string text = test_read_file(path);
    EXPECT_NE(text.back(), '\n');
    json saved = json::parse(text);
    EXPECT_EQ(saved["extra"], doc["extra"]);
    EXPECT_EQ(saved["priv"], "kept as it is");
    for (const char* absent : {"paymail", "ord_avatar", "ord_owned", "contacts"})
        EXPECT_FALSE(saved.contains(absent));
    EXPECT_EQ(saved["recv"], json({0, 1, 0, 0, 0, 7}));
    EXPECT_EQ(saved["identity"], wallet_path_vector("m/44'/236'/100'/0/0", "address"));

    unload();
    kv_wallet().wallet_id = "";
    EXPECT_FALSE(save_wallet());
}

TEST_F(WalletFileTest, SaveRoundTripAndKeyOrder) {
    json doc = hd_doc();
    doc["contacts"] = {{{"dest", "bob"}}};
    write(doc);
    ASSERT_TRUE(load_wallet());
    KvCofferlyWallet& w = kv_wallet();
    w.paymail = "alice";
    w.ord_avatar = "aa_0";
    LocalOrd ord;
    ord.origin = "aa_0";
    ord.txid = "aa";
    ord.type = "image/png";
    ord.address = "1x";
    ord.name = "bad \xC3 utf8"; // cut mid-character elsewhere; must not stop the save
    ord.icon = "i";
    ord.amt = "5";
    ord.dec = "0";
    ord.token_id = "t";
    ord.hidden = true;
    ord.created = true;
    w.ord_owned = {ord};
    ASSERT_TRUE(save_wallet());
    ASSERT_TRUE(save_wallet());

    const std::string text = test_read_file(path);
    const std::size_t rows_at = text.find("\"ord_owned\"");
    ASSERT_NE(rows_at, std::string::npos);
    EXPECT_EQ(keys_at_indent(text, 2),
              (std::vector<std::string>{"address", "backup", "contacts", "identity", "mnemonic", "ord_avatar",
                                        "ord_owned", "paymail", "recv", "show", "version"}));
    EXPECT_EQ(keys_at_indent(text.substr(rows_at), 6),
              (std::vector<std::string>{"address", "amt", "created", "dec", "hidden", "icon", "name", "origin",
                                        "token_id", "txid", "type", "vout"}));

    reset_wallet_state_for_tests();
    kv_wallet().wallet_id = "w1";
    ASSERT_TRUE(load_wallet());
    EXPECT_EQ(w.paymail, "alice");
    ASSERT_EQ(w.ord_owned.size(), 1u);
    EXPECT_EQ(w.ord_owned[0].name, "bad \xEF\xBF\xBD utf8");
    EXPECT_TRUE(w.ord_owned[0].hidden);
    EXPECT_EQ(json::parse(text)["contacts"], json::parse(R"([{"dest":"bob"}])"));
}

// The wallet program changes its file while this program runs; a save writes this program's
// changes over the file as it is at the save, never over what was read at the load.
TEST_F(WalletFileTest, ASaveKeepsWhatTheWalletProgramWroteSinceTheLoad) {
    const json cc = {{"origin", "cc_0"}, {"txid", "cc"}, {"vout", 0}, {"created", true}};
    const json bb = {{"origin", "bb_0"}, {"txid", "bb"}, {"vout", 1}, {"created", false}, {"name", "theirs"}};
    const json aa = {{"origin", "aa_0"}, {"txid", "aa"}, {"vout", 0}, {"created", false}};
    const auto learn_aa = [](KvCofferlyWallet& w) {
        w.ord_owned.push_back(local_ord_init());
        w.ord_owned.back().origin = "aa_0";
        w.ord_owned.back().txid = "aa";
    };
    struct Row {
        const char* name;
        json there; // merge patch the wallet program applies between the load and the save
        std::function<void(KvCofferlyWallet&)> here;
        json want; // keys of the saved file
    } rows[] = {
        {"contact added there",
         {{"contacts", {{{"dest", "carol"}}}}},
         learn_aa,
         {{"contacts", {{{"dest", "carol"}}}}, {"ord_owned", {cc, aa}}}},
        {"backup confirmed there", {{"backup", true}}, learn_aa, {{"backup", true}}},
        {"counters advanced on both sides",
         {{"recv", {0, 9, 0, 0, 0, 7}}},
         [](KvCofferlyWallet& w) { w.recv[5] = 8; },
         {{"recv", {0, 9, 0, 0, 0, 8}}}},
        {"another program's ordinal row", {{"ord_owned", {cc, bb}}}, learn_aa, {{"ord_owned", {cc, bb, aa}}}},
        {"paymail and avatar changed there",
         {{"paymail", "carol"}, {"ord_avatar", "bb_0"}},
         learn_aa,
         {{"paymail", "carol"}, {"ord_avatar", "bb_0"}}},
        {"paymail changed here, avatar there",
         {{"paymail", "carol"}, {"ord_avatar", "bb_0"}},
         [](KvCofferlyWallet& w) { w.paymail = "dave"; },
         {{"paymail", "dave"}, {"ord_avatar", "bb_0"}}},
        {"a row dropped there", {{"ord_owned", json::array()}}, learn_aa, {{"ord_owned", {aa}}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        json doc = hd_doc();
        doc["paymail"] = "alice";
        doc["ord_owned"] = {cc};
        write(doc);
        unload();
        ASSERT_TRUE(load_wallet());
        doc.merge_patch(row.there);
        write(doc);
        row.here(kv_wallet());
        ASSERT_TRUE(save_wallet());
        const json saved = json::parse(test_read_file(path));
        for (const auto& want : row.want.items())
            EXPECT_EQ(saved.value(want.key(), json()), want.value()) << want.key();
    }
}

// A save the disk refuses leaves the old file whole, and the change pending: the window can say so,
// and the next operation a few seconds on writes it.
TEST_F(WalletFileTest, ASaveTheDiskRefusesLeavesTheOldFileWholeAndTheChangePending) {
    struct Row {
        const char* name;
        std::int64_t budget; // bytes the disk takes; -1 for no limit
        int failing_flushes;
    } rows[] = {{"disk full after 40 bytes", 40, 0}, {"flush fails", -1, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeClock clock;
        const std::string old_text = hd_doc().dump(2);
        write(old_text);
        unload();
        ASSERT_TRUE(load_wallet());
        kv_wallet().paymail = "changed";
        SinkCapture sink;
        platform_set_write_budget_for_tests(row.budget);
        platform_fail_flushes_for_tests(row.failing_flushes);
        const bool saved = save_wallet();
        platform_fail_flushes_for_tests(0);
        platform_set_write_budget_for_tests(-1);
        EXPECT_FALSE(saved);
        EXPECT_EQ(sink.lines,
                  std::vector<std::string>{"Could not save the wallet file; the previous one is kept as it was.\n"});
        EXPECT_EQ(test_read_file(path), old_text);
        EXPECT_EQ(temporary_files_beside(path), 0);
        EXPECT_TRUE(wallet_view().save_pending);

        ASSERT_TRUE(load_wallet());
        EXPECT_EQ(test_read_file(path), old_text) << "not again at once";
        clock.advance(5000);
        ASSERT_TRUE(load_wallet());
        EXPECT_EQ(json::parse(test_read_file(path))["paymail"], "changed");
        EXPECT_FALSE(wallet_view().save_pending);
        EXPECT_EQ(temporary_files_beside(path), 0);
    }
}

TEST_F(WalletFileTest, JsonNestedPastTheBoundIsNeitherLoadedNorWrittenOver) {
    const std::string plain = hd_doc().dump(2);
    const std::string deep =
        plain.substr(0, plain.rfind('}')) + ",\"x\":" + std::string(75000, '[') + std::string(75000, ']') + "}";
    write(deep);
    EXPECT_FALSE(load_wallet());
    EXPECT_FALSE(is_wallet_sealed());

    write(plain);
    ASSERT_TRUE(load_wallet());
    write(deep); // changed by another program after the load
    kv_wallet().paymail = "changed";
    EXPECT_FALSE(save_wallet());
    EXPECT_EQ(test_read_file(path), deep);
}
