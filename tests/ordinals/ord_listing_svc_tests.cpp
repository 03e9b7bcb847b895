#include "ordinals/ord_listing.h"

#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_server.h"
#include "ordinals/art_listing.h"
#include "ordinals/content_cache.h"
#include "ordinals/envelope.h"
#include "ordinals/ord_inbox.h"
#include "ordinals/token_records.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

namespace {

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct OrdListingTest : FakeChainTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings gp_settings{settings_for(chain, gp)};
    std::string ord_address;
    Hash160 ord_hash{};

    OrdListingTest() {
        clear_token_outpoint_memory();
        write_test_wallet_file("w1");
        EXPECT_TRUE(load_wallet_id("w1"));
        WalletLock lock = lock_wallet();
        ord_address = derive_ordinals_key();
        ord_hash = test_hash_of(ord_address);
    }
    ~OrdListingTest() override { clear_token_outpoint_memory(); }

    // Funds one 1-sat inscription at the ordinals address; returns its key txid "_0".
    std::string inscribe(const std::string& type, const std::string& body, const std::string& tag = "") {
        const Bytes script = build_inscription_script(ord_hash, type, bytes_of(body), build_name_metadata("Item"),
                                                      tag.empty() ? "" : seal_art_tag(tag));
        return chain.ledger.fund_outputs({{script, 1}}) + "_0";
    }

    void add_local(const std::string& origin, const std::string& type, const std::string& address, bool hidden) {
        WalletLock lock = lock_wallet();
        LocalOrd ord = local_ord_init();
        ord.origin = origin;
        ASSERT_TRUE(parse_ord_outpoint(origin, ord.txid, ord.vout));
        ord.type = type;
        ord.address = address;
        ord.hidden = hidden;
        kv_wallet().ord_owned.push_back(ord);
        ASSERT_TRUE(save_wallet());
    }
};

const KvCofferlyOrdRow* row_of(const std::vector<KvCofferlyOrdRow>& rows, const std::string& key) {
    for (const KvCofferlyOrdRow& row : rows)
        if (row.key == key) return &row;
    return nullptr;
}

} // namespace

// Artwork, certificate, a token held in two outputs, a plain coin with a stale placeholder, a
// hidden ordinal and an artwork the wallet sent away, all in one listing.
TEST_F(OrdListingTest, ListsArtCertificatesAndOneHoldingPerTokenAndDropsWhatIsGone) {
    const std::string art = inscribe("image/png", "\x89PNG-bytes", "Artwork");
    const std::string cert = inscribe("application/json", R"({"artwork":"x"})", "Certificate");
    const std::string deploy = inscribe("application/bsv-20", R"({"p":"bsv-20","op":"deploy+mint","amt":"300",)"
                                                              R"("sym":"ZED","dec":"0"})");
    const std::string transfer =
        inscribe("application/bsv-20", R"({"p":"bsv-20","op":"transfer","id":")" + deploy + R"(","amt":"21"})");
    const std::string hidden = inscribe("image/png", "hidden-bytes", "Artwork");
    const std::string plain = chain.ledger.fund(ord_address, 1) + "_0";
    const std::string gone = hex_id('a') + "_0";
    save_art_tag(gone, "Artwork");
    add_local(plain, "", "", false);
    add_local(hidden, "image/png", ord_address, true);
    add_local(gone, "image/png", ord_address, false);

    std::vector<KvCofferlyOrdRow> rows;
    ASSERT_EQ(kv_cofferly_list_ordinals(rows), "");

    const KvCofferlyOrdRow* art_row = row_of(rows, art);
    ASSERT_NE(art_row, nullptr);
    EXPECT_EQ(art_row->kind, "Artwork");
    EXPECT_EQ(art_row->type, "image/png");
    EXPECT_EQ(art_row->address, ord_address);
    const KvCofferlyOrdRow* cert_row = row_of(rows, cert);
    ASSERT_NE(cert_row, nullptr);
    EXPECT_EQ(cert_row->kind, "Certificate");
    EXPECT_EQ(load_art_tag(cert), "Certificate");

    // Rows are ordered by key, so the holding takes the smaller of its two outputs' keys.
    std::vector<const KvCofferlyOrdRow*> holdings;
    for (const KvCofferlyOrdRow& row : rows)
        if (is_token_row(row)) holdings.push_back(&row);
    ASSERT_EQ(holdings.size(), 1u);
    EXPECT_EQ(holdings[0]->token_id, deploy);
    EXPECT_EQ(holdings[0]->amt, "321");
    EXPECT_EQ(holdings[0]->key, std::min(deploy, transfer));
    EXPECT_EQ(holdings[0]->aliases.size(), 2u);

    for (const std::string& key : {hidden, plain, gone})
        EXPECT_EQ(row_of(rows, key), nullptr) << key;
    {
        WalletLock lock = lock_wallet();
        EXPECT_EQ(find_local_ord(plain), nullptr);
        EXPECT_NE(find_local_ord(art), nullptr);
    }

    struct Ask {
        std::string key;
        std::int32_t held;
    } asks[] = {
        {" \t" + upper_copy(art) + "\n", 1},
        {transfer, 1},
        {deploy, 1},
        {gone, 0},
        {hex_id('a'), 0}, // a bare txid is not the key txid "_0"
        {"  \n", -1},
    };
    for (const Ask& ask : asks)
        EXPECT_EQ(wallet_holds_coin(ask.key), ask.held) << ask.key;
}

// The art list keeps the artworks and certificates the wallet still holds. What the index has just
// listed at the wallet needs no further question; a row without a kind is asked for one, and an
// artwork only the inbox names is asked where its coin went.
TEST_F(OrdListingTest, ArtListAsksOnlyAboutWhatTheIndexDidNotList) {
    ord_inbox_forget_seen();
    const std::string art = inscribe("image/png", "\x89PNG-listed", "Artwork");
    const std::string cert = inscribe("application/json", R"({"artwork":"x"})", "Certificate");
    inscribe("text/plain", "no kind");
    inscribe("application/bsv-20", R"({"p":"bsv-20","op":"deploy+mint","amt":"5","sym":"QQ","dec":"0"})");
    const Bytes elsewhere = build_inscription_script(test_key_from_byte(0x52).hash, "image/png", bytes_of("away"), "",
                                                     seal_art_tag("Artwork"));
    const std::string away = chain.ledger.fund_outputs({{elsewhere, 1}}) + "_0";
    const std::string pending = hex_id('9') + "_0";
    save_art_tag(pending, "Artwork");
    for (const std::string& key : {away, pending})
        ord_inbox_post(ord_hash, ord_address, key, "image/png", "Gift", "");
    gp.server.reset_counts();
    std::vector<KvCofferlyOrdRow> rows;
    bool index_read = false;
    EXPECT_EQ(list_art_rows(rows, &index_read), "");
    EXPECT_TRUE(index_read);
    std::vector<std::string> keys;
    for (const KvCofferlyOrdRow& row : rows)
        keys.push_back(row.key);
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> expected = {art, cert, pending};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(keys, expected);
    // One txo each for the kinds of the two rows without one and the trails of the two inbox rows.
    EXPECT_EQ(gp.server.request_count("/api/txos/") - gp.server.request_count("/api/txos/address/"), 4);
    ord_inbox_forget_seen();
}

// Contents whose sizes the index told are read from their transactions in bulk, twenty a request
// and never one alone, at the service's own pace; one larger than a bulk reply should carry, or of
// untold size, goes alone.
TEST_F(OrdListingTest, ContentsOfKnownSizeAreReadInBulk) {
    for (int i = 0; i < 25; ++i)
        inscribe("image/png", "\x89PNG-" + std::to_string(i), "Artwork");
    const std::string large = inscribe("image/png", "\x89PNG" + std::string(std::size_t{3} << 20, 'x'), "Artwork");
    limit_woc_to_free_rate(chain);
    std::vector<KvCofferlyOrdRow> rows;
    EXPECT_EQ(kv_cofferly_list_ordinals(rows), "");
    EXPECT_EQ(rows.size(), 26u);
    EXPECT_EQ(chain.woc.request_count("POST", "/v1/bsv/main/txs"), 2);
    EXPECT_EQ(chain.woc.request_count("/v1/bsv/main/tx/"), 1) << [&] {
        std::string paths;
        for (const FakeRequest& r : chain.woc.requests())
            paths += r.method + " " + r.path + "\n";
        return paths;
    }();
    EXPECT_EQ(chain.woc.request_count("/v1/bsv/main/tx/" + large.substr(0, 64)), 1);
    EXPECT_EQ(chain.woc.rate_limited_count(), 0);
}

// Without the index every 1-sat coin stays held back, and the ownership test cannot answer.
TEST_F(OrdListingTest, FailingIndexWithNothingFoundIsReported) {
    gp.server.set_fault("/api/", FakeFault{500});
    std::vector<KvCofferlyOrdRow> rows;
    EXPECT_EQ(kv_cofferly_list_ordinals(rows), kListIndexUnavailable);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(wallet_holds_coin(hex_id('b') + "_0"), -1);
}

// An ordinal the wallet file knows survives an index that did not answer for its address: an
// outage must not read as the coin being sent away.
TEST_F(OrdListingTest, FailingIndexKeepsTheWalletsOwnRecords) {
    std::string receive;
    {
        WalletLock lock = lock_wallet();
        receive = kv_wallet().address;
    }
    const Bytes script = build_inscription_script(test_hash_of(receive), "image/png", bytes_of("kept"), "", "");
    const std::string art = chain.ledger.fund_outputs({{script, 1}}) + "_0";
    save_art_tag(art, "Artwork");
    add_local(art, "image/png", receive, false);
    FakeFault garbage;
    garbage.bad_json = true;
    struct Row {
        const char* what;
        std::string failing;
        FakeFault fault;
        bool woc_down;
        const char* result;
        bool platform_down = false;
        FakeFault platform_fault = FakeFault{500};
    } cases[] = {
        {"whole index", "/api/", FakeFault{500}, false, kListIndexUnavailable},
        {"the art's address only", "/api/txos/address/" + receive, FakeFault{500}, false, kListIndexUnavailable},
        {"the art's address answers garbage", "/api/txos/address/" + receive, garbage, false, kListIndexUnavailable},
        {"every connection dropped", "/api/", FakeFault{500}, true, kListServicesUnavailable},
        {"the index and the platform", "/api/", FakeFault{500}, false, kListIndexAndPlatformUnavailable, true},
        {"every service, the platform too", "/api/", FakeFault{500}, true, kListAllServicesUnavailable, true},
        {"the platform answers what no list is", "/api/", FakeFault{500}, true, kListAllServicesUnavailable, true,
         garbage},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(c.what);
        gp.server.set_fault(c.failing, c.fault);
        if (c.woc_down) chain.woc.set_fault("/", FakeFault{500});
        if (c.platform_down) chain.platform.set_fault("/", c.platform_fault);
        std::vector<KvCofferlyOrdRow> rows;
        bool index_read = true;
        EXPECT_EQ(kv_cofferly_list_ordinals(rows, &index_read), c.result);
        EXPECT_NE(row_of(rows, art), nullptr);
        EXPECT_EQ(index_read, c.failing != "/api/");
        gp.server.clear_faults();
        chain.woc.clear_faults();
        chain.platform.clear_faults();
    }
}

TEST_F(OrdListingTest, AnotherWalletLoadedMidwayEndsTheListing) {
    write_test_wallet_file("w2", 3);
    FakeFault held;
    held.gather = 1000; // until released
    gp.server.set_fault("/api/txos/", held);
    std::string result;
    std::thread listing([&result] {
        std::vector<KvCofferlyOrdRow> rows;
        result = kv_cofferly_list_ordinals(rows);
    });
    // The address requests run without the wallet mutex; the switch lands while they wait.
    for (int i = 0; i < 5000 && gp.server.request_count("/api/txos/") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    {
        WalletLock lock = lock_wallet();
        kv_wallet().wallet_id = "w2";
        EXPECT_TRUE(load_wallet());
    }
    gp.server.release_held();
    listing.join();
    EXPECT_EQ(result, kListWalletChanged);
}

// An output the index lists but whose record cannot be read, or whose index is not a number, stays
// out of payments under its own outpoint; a plain coin listed beside them does not.
TEST_F(OrdListingTest, UnreadableListedOutputIsStillHeldBack) {
    const std::string odd = hex_id('c');
    const std::string plain = hex_id('d');
    const std::string text_vout = hex_id('f');
    FakeServer index;
    index.on("GET", "/api/txos/address/([^/]+)/unspent", [&](const FakeRequest& request) {
        nlohmann::json list = nlohmann::json::array();
        if (request.matches[1] == ord_address) {
            list.push_back({{"txid", odd},
                            {"vout", 0},
                            {"outpoint", odd + "_0"},
                            {"satoshis", 1},
                            {"origin", {{"outpoint", odd + "_0"}, {"data", {{"insc", {{"file", {{"type", 7}}}}}}}}}});
            list.push_back({{"txid", plain}, {"vout", 0}, {"outpoint", plain + "_0"}, {"satoshis", 1}});
            list.push_back(
                {{"txid", text_vout},
                 {"vout", "1"},
                 {"outpoint", text_vout + "_1"},
                 {"satoshis", 1},
                 {"origin",
                  {{"outpoint", text_vout + "_1"}, {"data", {{"insc", {{"file", {{"type", "image/png"}}}}}}}}}});
        }
        return json_reply(list);
    });
    ServiceSettings settings = settings_for(chain, gp);
    settings.gorillapool_base = index.base_url() + "/api";
    ScopedServiceSettings use_index(settings);
    std::vector<KvCofferlyOrdRow> rows;
    EXPECT_EQ(kv_cofferly_list_ordinals(rows), "");
    WalletLock lock = lock_wallet();
    EXPECT_TRUE(is_ord_outpoint_at(ord_address, Utxo{odd, 0, 1, 1}));
    EXPECT_FALSE(is_ord_outpoint_at(ord_address, Utxo{plain, 0, 1, 1}));
    EXPECT_TRUE(is_ord_outpoint_at(ord_address, Utxo{text_vout, 1, 1, 1}));
    EXPECT_FALSE(is_ord_outpoint_at(ord_address, Utxo{text_vout, 0, 1, 1}));
}

// A listing cut short by a wallet switch gathered its rows partly for the other wallet: neither a
// coin among them nor one missing from them is known to be held.
TEST_F(OrdListingTest, OwnershipAfterAWalletSwitchIsUnknown) {
    write_test_wallet_file("w2", 3);
    const std::string art = inscribe("image/png", "\x89PNG-switch", "Artwork");
    inscribe("application/bsv-20", R"({"p":"bsv-20","op":"deploy+mint","amt":"5","sym":"QQ","dec":"0"})");
    FakeFault held;
    held.gather = 1000; // until released
    // Token information is asked late, after the rows are gathered.
    struct Ask {
        std::string key;
        std::int32_t held;
    } asks[] = {{art, -1}, {hex_id('e') + "_0", -1}};
    for (const Ask& ask : asks) {
        SCOPED_TRACE(ask.key);
        {
            WalletLock lock = lock_wallet();
            kv_wallet().wallet_id = "w1";
            ASSERT_TRUE(load_wallet());
        }
        gp.server.reset_counts();
        gp.server.set_fault("/api/bsv20/id/", held);
        std::int32_t holds = 2;
        std::thread asking([&holds, &ask] { holds = wallet_holds_coin(ask.key); });
        for (int i = 0; i < 5000 && gp.server.request_count("/api/bsv20/id/") == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        {
            WalletLock lock = lock_wallet();
            kv_wallet().wallet_id = "w2";
            EXPECT_TRUE(load_wallet());
        }
        gp.server.release_held();
        asking.join();
        EXPECT_EQ(holds, ask.held);
    }
}

// A token held through an outage of both indexes (no content cached, nothing answering) keeps its
// record and its amount; once the services are back it shows again.
TEST_F(OrdListingTest, OutageNeverHidesATokenHolding) {
    const std::string token =
        inscribe("application/bsv-20", R"({"p":"bsv-20","op":"deploy+mint","amt":"5","sym":"ABC","dec":"0"})");
    add_local(token, "application/bsv-20", ord_address, false);
    {
        WalletLock lock = lock_wallet();
        LocalOrd* local = find_local_ord(token);
        ASSERT_NE(local, nullptr);
        local->name = "ABC";
        local->amt = "5";
        ASSERT_TRUE(save_wallet());
    }
    gp.server.set_fault("/", FakeFault{500}); // the index and its content
    chain.woc.set_fault("/v1/bsv/main/tx/", FakeFault{500});
    std::vector<KvCofferlyOrdRow> rows;
    kv_cofferly_list_ordinals(rows);
    {
        WalletLock lock = lock_wallet();
        ASSERT_NE(find_local_ord(token), nullptr);
        EXPECT_FALSE(find_local_ord(token)->hidden);
    }
    const KvCofferlyOrdRow* during = row_of(rows, token);
    ASSERT_NE(during, nullptr);
    EXPECT_EQ(during->amt, "5");

    gp.server.clear_faults();
    chain.woc.clear_faults();
    ASSERT_EQ(kv_cofferly_list_ordinals(rows), "");
    const KvCofferlyOrdRow* after = row_of(rows, token);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->amt, "5");
}

// An artwork announced through the inbox shows while the index has not listed it yet, and is
// taken for sent away once the index had time to list it and still does not.
TEST_F(OrdListingTest, InboxOrdinalShowsUntilTheIndexHadTime) {
    ord_inbox_forget_seen();
    const std::string art = hex_id('9') + "_0";
    save_art_tag(art, "Artwork");
    ord_inbox_post(ord_hash, ord_address, art, "image/png", "Gift", "");
    std::vector<KvCofferlyOrdRow> rows;
    ASSERT_EQ(kv_cofferly_list_ordinals(rows), "");
    EXPECT_NE(row_of(rows, art), nullptr);

    clock.advance(kOrdInboxGraceMs + 1000);
    ASSERT_EQ(kv_cofferly_list_ordinals(rows), "");
    EXPECT_EQ(row_of(rows, art), nullptr);
    ord_inbox_forget_seen();
}

// Every 1-sat output any reader names as an ordinal or a token is held back from payments: one
// on the second page of the address listing, one only the token reply names, one only the wallet's
// inbox names. A plain coin stays spendable.
TEST_F(OrdListingTest, OutputsAnyReaderNamesAreHeldBack) {
    ord_inbox_forget_seen();
    const std::string paged = hex_id('1');
    const std::string token_only = hex_id('2');
    const std::string inbox_only = hex_id('3');
    const std::string plain = hex_id('4');
    const std::string change = hex_id('6');
    // Change the index names with an empty MAP, recorded as an ordinal by an earlier listing, and
    // change so recorded that has been spent since.
    add_local(change + "_1", "", ord_address, false);
    add_local(change + "_2", "", ord_address, false);
    FakeServer index;
    index.on("GET", "/api/txos/address/([^/]+)/unspent", [&](const FakeRequest& request) {
        nlohmann::json list = nlohmann::json::array();
        if (request.matches[1] != ord_address) return json_reply(list);
        const auto offset = request.query.find("offset");
        const bool second = offset != request.query.end() && offset->second == "100";
        if (!second) {
            // A full first page of plain coins, as the index pages at 100.
            for (int i = 0; i < 100; ++i)
                list.push_back(
                    {{"txid", plain}, {"vout", i}, {"outpoint", plain + "_" + std::to_string(i)}, {"satoshis", 1}});
        } else {
            list.push_back(
                {{"txid", paged},
                 {"vout", 0},
                 {"outpoint", paged + "_0"},
                 {"satoshis", 1},
                 {"origin", {{"outpoint", paged + "_0"}, {"data", {{"insc", {{"file", {{"type", "image/png"}}}}}}}}}});
            list.push_back({{"txid", change},
                            {"vout", 1},
                            {"outpoint", change + "_1"},
                            {"satoshis", 499780},
                            {"origin", {{"outpoint", change + "_1"}, {"data", {{"map", nlohmann::json::object()}}}}}});
        }
        return json_reply(list);
    });
    index.on("GET", "/api/bsv20/([^/]+)/unspent", [&](const FakeRequest& request) {
        nlohmann::json list = nlohmann::json::array();
        if (request.matches[1] == ord_address)
            list.push_back({{"txid", token_only},
                            {"vout", 2},
                            {"outpoint", token_only + "_2"},
                            {"owner", ord_address},
                            {"tick", "ZZZ"},
                            {"amt", "7"}});
        return json_reply(list);
    });
    ServiceSettings settings = settings_for(chain, gp);
    settings.gorillapool_base = index.base_url() + "/api";
    ScopedServiceSettings use_index(settings);
    ord_inbox_post(ord_hash, ord_address, inbox_only + "_1", "image/png", "Gift", "");
    std::vector<KvCofferlyOrdRow> rows;
    EXPECT_EQ(kv_cofferly_list_ordinals(rows), "");
    EXPECT_NE(row_of(rows, paged + "_0"), nullptr);
    WalletLock lock = lock_wallet();
    EXPECT_TRUE(is_ord_outpoint_at(ord_address, Utxo{paged, 0, 1, 1}));
    EXPECT_TRUE(is_ord_outpoint_at(ord_address, Utxo{token_only, 2, 1, 1}));
    EXPECT_TRUE(is_ord_outpoint_at(ord_address, Utxo{inbox_only, 1, 1, 1}));
    EXPECT_FALSE(is_ord_outpoint_at(ord_address, Utxo{plain, 3, 1, 1}));
    EXPECT_FALSE(is_ord_outpoint_at(ord_address, Utxo{change, 1, 499780, 1}));
    EXPECT_EQ(row_of(rows, change + "_1"), nullptr);
    EXPECT_EQ(find_local_ord(change + "_1"), nullptr);
    EXPECT_EQ(find_local_ord(change + "_2"), nullptr);
    ord_inbox_forget_seen();
}

// A coin passed away and passed back shows again, in the list and in the wallet file a restart
// reads; one the index still lists where it was passed from, or at an output this wallet spent,
// stays hidden.
TEST_F(OrdListingTest, ACoinThatCameBackShowsAgain) {
    const std::string origin = hex_id('6') + "_0";
    const std::string spent = hex_id('8');
    struct Row {
        const char* what;
        std::string txid;
        std::uint32_t vout;
        bool shows;
    } rows[] = {
        {"passed back", hex_id('7'), 1, true},
        {"index not yet past the pass", hex_id('6'), 0, false},
        {"at an output this wallet spent", spent, 0, false},
    };
    mark_outpoint_spent(spent, 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        {
            WalletLock lock = lock_wallet();
            kv_wallet().ord_owned.clear();
        }
        add_local(origin, "image/png", ord_address, true);
        FakeServer index;
        index.on("GET", "/api/txos/address/([^/]+)/unspent", [&](const FakeRequest& request) {
            nlohmann::json list = nlohmann::json::array();
            const std::string outpoint = row.txid + "_" + std::to_string(row.vout);
            if (request.matches[1] == ord_address)
                list.push_back(
                    {{"txid", row.txid},
                     {"vout", row.vout},
                     {"outpoint", outpoint},
                     {"satoshis", 1},
                     {"origin", {{"outpoint", origin}, {"data", {{"insc", {{"file", {{"type", "image/png"}}}}}}}}}});
            return json_reply(list);
        });
        ServiceSettings settings = settings_for(chain, gp);
        settings.gorillapool_base = index.base_url() + "/api";
        ScopedServiceSettings use_index(settings);
        std::vector<KvCofferlyOrdRow> listed;
        EXPECT_EQ(kv_cofferly_list_ordinals(listed), "");
        EXPECT_EQ(row_of(listed, origin) != nullptr, row.shows);
        std::ifstream file(wallet_file_path());
        const nlohmann::json doc = nlohmann::json::parse(file, nullptr, false);
        ASSERT_TRUE(doc.is_object());
        ASSERT_EQ(doc["ord_owned"].size(), 1u);
        EXPECT_EQ(doc["ord_owned"][0].contains("hidden"), !row.shows);
    }
}

// A key a service gives that is not an outpoint never becomes a row or a wallet record, and its
// output is still held back.
TEST_F(OrdListingTest, KeysThatAreNotOutpointsAreRefused) {
    const std::string txid = hex_id('5');
    const std::string bad_keys[] = {"../../x", txid + "_1/../../x", txid + "_99999999999", txid};
    for (const std::string& bad : bad_keys) {
        SCOPED_TRACE(bad);
        FakeServer index;
        index.on("GET", "/api/txos/address/([^/]+)/unspent", [&](const FakeRequest& request) {
            nlohmann::json list = nlohmann::json::array();
            if (request.matches[1] == ord_address)
                list.push_back(
                    {{"txid", txid},
                     {"vout", 1},
                     {"outpoint", bad},
                     {"satoshis", 1},
                     {"origin", {{"outpoint", bad}, {"data", {{"insc", {{"file", {{"type", "image/png"}}}}}}}}}});
            return json_reply(list);
        });
        index.on("GET", "/api/bsv20/([^/]+)/unspent", [&](const FakeRequest& request) {
            nlohmann::json list = nlohmann::json::array();
            if (request.matches[1] == ord_address)
                list.push_back({{"txid", txid}, {"vout", 1}, {"outpoint", bad}, {"tick", "ZZZ"}, {"amt", "7"}});
            return json_reply(list);
        });
        ServiceSettings settings = settings_for(chain, gp);
        settings.gorillapool_base = index.base_url() + "/api";
        ScopedServiceSettings use_index(settings);
        std::vector<KvCofferlyOrdRow> rows;
        EXPECT_EQ(kv_cofferly_list_ordinals(rows), "");
        EXPECT_EQ(row_of(rows, bad), nullptr);
        WalletLock lock = lock_wallet();
        EXPECT_EQ(find_local_ord(bad), nullptr);
        EXPECT_TRUE(is_ord_outpoint_at(ord_address, Utxo{txid, 1, 1, 1}));
    }
}

// A counter past 5,000 is ordinary use: the address at it is watched and its key found. Only a
// counter no wallet reaches is damage, and that answers at once with a clear error.
TEST_F(OrdListingTest, EveryAddressUpToTheCounterAndDamagedCounters) {
    struct Row {
        const char* what;
        std::uint32_t counter;
        bool damaged;
    } rows[] = {
        {"past five thousand", 5100, false}, {"past a million", 1000001, true}, {"near 2^31", 0x7FFFFFFF, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WalletLock lock = lock_wallet();
        kv_wallet().recv[kOrdinalsAccount] = row.counter;
        kv_wallet().recv[kReceiveAccount] = row.counter;
        ASSERT_TRUE(save_wallet());
        std::string error;
        if (row.damaged) {
            lock.unlock();
            std::vector<KvCofferlyOrdRow> listed;
            EXPECT_EQ(kv_cofferly_list_ordinals(listed), kAddressCounterTooLarge);
            EXPECT_EQ(gp.server.request_count(), 0);
            EXPECT_FALSE(refresh_wallet_coins(lock, error));
            EXPECT_EQ(error, kAddressCounterTooLargeText);
            continue;
        }
        warm_wallet_keys(lock);
        std::string priv, pub, receive, ordinals, found_priv, found_pub;
        ASSERT_TRUE(derive_account_key(kOrdinalsAccount, row.counter, priv, pub, ordinals));
        ASSERT_TRUE(derive_account_key(kReceiveAccount, row.counter, priv, pub, receive));
        std::vector<std::string> watched;
        collect_watch_addresses(watched);
        EXPECT_NE(std::find(watched.begin(), watched.end(), receive), watched.end());
        EXPECT_NE(std::find(watched.begin(), watched.end(), ordinals), watched.end());
        EXPECT_TRUE(find_key_for_hash160(test_hash_of(receive), found_priv, found_pub));
        EXPECT_EQ(found_priv, priv);
        wipe(priv);
        wipe(found_priv);
    }
}

#ifdef __linux__
namespace {
std::size_t process_threads() {
    std::size_t count = 0;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) count = static_cast<std::size_t>(std::stoul(line.substr(8)));
    return count;
}
} // namespace

// Many ordinals addresses are asked on a bounded pool, not on a thread each.
TEST_F(OrdListingTest, ManyAddressesUseABoundedPool) {
    {
        WalletLock lock = lock_wallet();
        kv_wallet().recv[kOrdinalsAccount] = 300;
        ASSERT_TRUE(save_wallet());
    }
    FakeFault slow;
    slow.delay_ms = 20;
    gp.server.set_fault("/api/txos/address/", slow);
    const std::size_t before = process_threads();
    std::atomic<bool> done{false};
    std::size_t most = 0;
    std::thread watch([&] {
        while (!done) {
            most = std::max(most, process_threads());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<KvCofferlyOrdRow> rows;
    EXPECT_EQ(kv_cofferly_list_ordinals(rows), "");
    done = true;
    watch.join();
    // The pools of the phases that run side by side, not one thread per address.
    EXPECT_LT(most, before + 150);
}
#endif

// A listing reads each cached content once, however many records refer to it; what it learnt of a
// key without content is read again once something may have filled the cache.
TEST_F(OrdListingTest, CachedContentIsReadOncePerListing) {
    const std::string token = hex_id('6') + "_0";
    const std::string missing = hex_id('7') + "_0";
    ord_cache_write_content(token, "application/bsv-20", bytes_of(R"({"p":"bsv-20","op":"transfer","amt":"4"})"));
    OrdListingRun run;
    read_cached_contents(run, {token, missing, token});
    EXPECT_TRUE(cached_content_facts(run, token).is_token);
    EXPECT_EQ(cached_content_facts(run, token).token.amt, "4");
    EXPECT_FALSE(cached_content_facts(run, missing).cached);

    ord_cache_write_content(token, "image/png", bytes_of("\x89PNG"));
    ord_cache_write_content(missing, "image/png", bytes_of("\x89PNG"));
    EXPECT_TRUE(cached_content_facts(run, token).is_token);
    EXPECT_FALSE(cached_content_facts(run, missing).cached);
    forget_uncached_contents(run);
    EXPECT_TRUE(cached_content_facts(run, token).is_token);
    EXPECT_EQ(cached_content_facts(run, missing).type, "image/png");
}
