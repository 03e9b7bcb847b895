#include "art/ownership.h"

#include "art/art_records.h"
#include "art/gallery_frames.h"
#include "chain/inscription.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_oracle.h"
#include "fakes/fake_paymail.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

constexpr std::int64_t kDay1 = 1700000000; // 2023-11-14
constexpr std::int64_t kDay2 = 1700100000; // 2023-11-16
constexpr std::int64_t kDay3 = 1700200000; // 2023-11-17

struct OwnershipSvcTest : FakeIdentityTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings gp_settings{settings_for(chain, gp)};
    FakePaymail paymail;
    const std::string alice = secp_pubkey_hex(Bytes(32, 0x11));
    const std::string bob = secp_pubkey_hex(Bytes(32, 0x22));
    const std::string carol = secp_pubkey_hex(Bytes(32, 0x33));

    const std::string kArt = inscribe_json({{"artwork", "harbour"}}); // an inscription that is no certificate

    OwnershipSvcTest() {
        serve_fake_paymail(chain.platform, paymail);
        ids.set_key("alice@kestrava.net", alice);
        ids.set_key("bob@kestrava.net", bob);
    }

    // A record signed by alice (0x11) or bob (0x22), paid to the address; its transaction id.
    std::string post(const std::string& address, const char* actor, const char* type, std::int64_t ts,
                     const json& fields) {
        return fake_post_record(
            chain, address,
            fake_signed_record(fake_art_record(type, actor, ts, fields), actor[0] == 'a' ? 0x11 : 0x22));
    }
    // Alice's pair record; at the pair watch as the pair sender pays it, both watches paid.
    std::string pair(const std::string& address, const std::string& pic, const std::string& cert, std::int64_t ts,
                     const std::string& owner) {
        const json fields = {{"pic", pic}, {"cert", cert}, {"sha256", std::string(64, 'e')}, {"owner", owner}};
        if (address != kPairWatchAddress) return post(address, "alice", "art_pair", ts, fields);
        return fake_pair_tx(chain, test_key_from_byte(0x11),
                            fake_signed_record(fake_art_record("art_pair", "alice", ts, fields), 0x11));
    }
    // The transaction id of a JSON inscription held by someone else.
    std::string inscribe_json(const json& body) {
        Hash160 owner{};
        owner.fill(0x44);
        return fake_inscribe(chain, owner, "application/json", body.dump()).substr(0, 64);
    }
    void labels(const std::string& key, const json& body) {
        paymail.set(&FakePaymailTables::labels, key, json_reply(body));
    }
    int label_requests() { return chain.platform.request_count("/api/paymail/labels/"); }
};

} // namespace

TEST_F(OwnershipSvcTest, DisplayLabelPrefersTheLongestNonStaffLabel) {
    const std::string key = "02" + std::string(64, 'b');
    const std::string shortened = "02bbbbbb\xE2\x80\xA6"
                                  "bbbbbb";
    struct Row {
        const char* name;
        FakeResponse reply;
        std::string shown;
    } rows[] = {
        {"longest wins over staff", json_reply({{"labels", {"operator", "ann", "maria", "admin"}}}),
         "maria@kestrava.net"},
        {"first of equally long", json_reply({{"labels", {"maria", "paula"}}}), "maria@kestrava.net"},
        {"only staff: the first", json_reply({{"labels", {"admin", "support"}}}), "admin@kestrava.net"},
        {"staff compared by case", json_reply({{"labels", {"Admin", "ann"}}}), "Admin@kestrava.net"},
        {"nothing usable", json_reply({{"labels", {"", 7, nullptr}}}), shortened},
        {"reply not an object", json_reply(json::array({"maria"})), shortened},
        {"server error", json_reply({{"labels", {"maria"}}}, 500), shortened},
        // The platform's label of a key is history; the name itself now names alice's key.
        {"a name that now names another key", json_reply({{"labels", {"alicia"}}}),
         "alicia@kestrava.net (that name now points to another key)"},
    };
    ids.set_key("alicia@kestrava.net", alice);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        paymail.set(&FakePaymailTables::labels, key, row.reply);
        EXPECT_EQ(paymail_display_label(" 02" + std::string(64, 'B') + "\n"), row.shown);
    }
}

TEST_F(OwnershipSvcTest, DisplayLabelOfKeysThatAreNotAskedFor) {
    struct Row {
        const char* name;
        std::string key;
        std::string shown;
    } rows[] = {
        {"empty", " \t", ""},
        {"short key as it is", "02ABCDEF", "02abcdef"},
        {"sixteen characters kept", std::string(16, 'c'), std::string(16, 'c')},
        // A key from a record is not a path: it is never sent, and it is cut between characters.
        {"path characters", "../../admin/x?y=1",
         "../../ad\xE2\x80\xA6"
         "/x?y=1"},
        {"multi-byte characters",
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xE2\x80\xA6\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
         "\xC3\xA9\xC3\xA9"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(paymail_display_label(row.key), row.shown);
    }
    EXPECT_EQ(label_requests(), 2); // the short key and the sixteen characters
}

TEST_F(OwnershipSvcTest, ReportOfAnArtworkPassedTwiceWithAGallerySale) {
    // Alice holds both coins; each pass moves them on with its record.
    const TestKey alice_key = test_key_from_byte(0x11);
    const TestKey bob_key = test_key_from_byte(0x22);
    const TestKey carol_key = test_key_from_byte(0x33);
    const std::string art = fake_inscribe(chain, alice_key.hash, "image/png", "png-bytes");
    const std::string art_txid = art.substr(0, 64);
    const std::string cert = fake_inscribe(chain, alice_key.hash, "application/json",
                                           json{{"pic", art},
                                                {"title", "Harbour at dusk"},
                                                {"artist_name", "Ann Lee"},
                                                {"created", 2023},
                                                {"owner_paymail", "alice@kestrava.net"}}
                                               .dump());
    const std::string cert_txid = cert.substr(0, 64);
    const std::string p = pair(kPairWatchAddress, art, cert, kDay1, alice);
    const std::string pass1 = fake_pass_tx(
        chain, {art_txid, 0, alice_key}, {cert_txid, 0, alice_key}, bob_key.address,
        fake_signed_record(fake_art_record("art_owner", "alice", kDay2,
                                           {{"pic", art_txid}, {"cert", cert_txid}, {"owner", bob}, {"prev", p}}),
                           0x11));
    // Bob sells to carol through frame 7.
    const json to_carol =
        fake_signed_record(fake_art_record("art_owner", "bob", kDay3,
                                           {{"pic", art_txid}, {"cert", cert_txid}, {"owner", carol}, {"prev", pass1}}),
                           0x22);
    fake_sale_tx(chain, {pass1, 0, bob_key}, {pass1, 1, bob_key}, carol_key.address, 2500, to_carol);
    chain.ledger.mine();
    post(spot_row(7).watch, "bob", "art_gaccept", kDay3 - 5,
         {{"spot", "as7"},
          {"pic", art_txid},
          {"cert", cert_txid},
          {"buyer", carol},
          {"prev", pass1},
          {"price_sats", "2500"},
          {"title_sha", sha256_hex(to_carol.dump())}});
    labels(alice, {{"labels", {"admin", "al", "alice"}}});
    labels(carol, {{"labels", {"carol"}}});
    const std::string bob_short = bob.substr(0, 8) + "\xE2\x80\xA6" + bob.substr(60);

    const std::string expected = "Live owner\r\ncarol@kestrava.net\r\n"
                                 "\r\nCertificate\r\nArtwork\r\n" +
                                 art_txid + "\r\n\r\nCertificate\r\n" + cert_txid +
                                 "\r\n\r\n"
                                 "Artwork Title: Harbour at dusk\r\nArtist Name: Ann Lee\r\nCreated: \r\n"
                                 "First Owner: alice@kestrava.net\r\nNote: \r\n"
                                 "\r\nLast sale\r\n2500 sats\r\nFrom " +
                                 bob_short + "\r\nTo carol@kestrava.net\r\nFrame AP7\r\n2023-11-17\r\n" +
                                 "\r\nTitle\r\nCurrent owner\r\ncarol@kestrava.net\r\n2023-11-17\r\n"
                                 "\r\nPrevious owner\r\n" +
                                 bob_short +
                                 "\r\n2023-11-16\r\n"
                                 "\r\nRegistered\r\nalice@kestrava.net\r\n2023-11-14\r\n";
    EXPECT_EQ(art_ownership_report("  " + upper_copy(art) + " "), expected);
}

// Mallory's pair, earlier on the chain, names alice as owner and a certificate he inscribed: it
// starts nothing, and the report shows the certificate of the pair that did. His other pair, of
// his own artwork with alice's certificate, does not carry the look-up of her certificate away.
TEST_F(OwnershipSvcTest, ReportShowsTheCertificateOfTheAcceptedPair) {
    const TestKey mallory = test_key_from_byte(0x44);
    ids.set_key("mallory@kestrava.net", mallory.pub);
    const std::string art = fake_inscribe(chain, test_key_from_byte(0x11).hash, "image/png", "png-bytes");
    const std::string forged = inscribe_json({{"pic", art}, {"title", "FORGED TITLE"}});
    const std::string cert = inscribe_json({{"pic", art}, {"title", "Harbour at dusk"}});
    fake_pair_tx(
        chain, mallory,
        fake_signed_record(
            fake_art_record("art_pair", "mallory", kDay1,
                            {{"pic", art}, {"cert", forged}, {"sha256", std::string(64, 'e')}, {"owner", alice}}),
            0x44));
    // And a pair of an artwork of his own naming alice's certificate, earlier than hers.
    const std::string own_art = fake_inscribe(chain, mallory.hash, "image/png", "other-bytes");
    fake_pair_tx(
        chain, mallory,
        fake_signed_record(
            fake_art_record(
                "art_pair", "mallory", kDay1,
                {{"pic", own_art}, {"cert", cert + "_0"}, {"sha256", std::string(64, 'e')}, {"owner", mallory.pub}}),
            0x44));
    // And a pair naming alice's certificate as its artwork, with his forged certificate.
    const json on_cert = {{"pic", cert}, {"cert", forged}, {"owner", mallory.pub}};
    fake_pair_tx(chain, mallory, fake_signed_record(fake_art_record("art_pair", "mallory", kDay1, on_cert), 0x44));
    chain.ledger.mine();
    pair(kPairWatchAddress, art, cert + "_0", kDay2, alice);
    chain.ledger.mine();

    const std::string report = art_ownership_report(art);
    EXPECT_NE(report.find("\r\nCertificate\r\n" + cert + "\r\n\r\nArtwork Title: Harbour at dusk\r\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("FORGED"), std::string::npos) << report;
    EXPECT_EQ(art_lookup_by_id(cert), report);
}

TEST_F(OwnershipSvcTest, ReportWithMissingPieces) {
    // Nothing recorded: every section says so.
    EXPECT_EQ(art_ownership_report(kArt), "Live owner\r\nNo title yet. Pair the artwork first.\r\n"
                                          "\r\nCertificate\r\nNo certificate is paired with this artwork.\r\n"
                                          "\r\nLast sale\r\nNo sale yet.\r\n"
                                          "\r\nTitle\r\nNone yet.\r\n");
    EXPECT_EQ(art_ownership_report(" \r\n"), "Pick an artwork.");

    // Registered only, with a certificate that cannot be read: no frame is read for the sale.
    const std::string cert = std::string(64, 'c');
    pair(kPairWatchAddress, kArt + "_0", cert + "_0", kDay1, alice);
    const std::string alice_short = alice.substr(0, 8) + "\xE2\x80\xA6" + alice.substr(60);
    EXPECT_EQ(art_ownership_report(kArt), "Live owner\r\n" + alice_short + "\r\n\r\nCertificate\r\nArtwork\r\n" + kArt +
                                              "\r\n\r\nCertificate\r\n" + cert +
                                              "\r\n\r\nArtwork Title: \r\nArtist Name: \r\nCreated: \r\n"
                                              "First Owner: \r\nNote: \r\n"
                                              "\r\nLast sale\r\nNo sale yet.\r\n"
                                              "\r\nTitle\r\nRegistered\r\n" +
                                              alice_short + "\r\n2023-11-14\r\n");
    EXPECT_EQ(chain.platform.request_count("/oi/oracle/as"), 0);
}

TEST_F(OwnershipSvcTest, ReportWhenTheWatchesCannotBeRead) {
    chain.platform.set_fault("/oi/oracle/", FakeFault{500});
    chain.woc.set_fault("/v1/bsv/main/address/", FakeFault{500});
    // The title's read is bounded by the artwork's block: it says to try again rather than reading
    // the whole watch through the index.
    const std::string error = "The registry's listing could not be read. Try again.";
    EXPECT_EQ(art_ownership_report(kArt), "Live owner\r\n" + error +
                                              "\r\n\r\nCertificate\r\nThe certificate did not load. Try again.\r\n"
                                              "\r\nLast sale\r\nThe last sale did not load. Try again.\r\n"
                                              "\r\nTitle\r\nThe title chain did not load. Try again.\r\n");
    EXPECT_EQ(art_lookup_by_id(kArt), error);

    // The listings answer but the records cannot be fetched: nothing is said to be missing.
    chain.platform.clear_faults();
    chain.woc.clear_faults();
    pair(kPairWatchAddress, kArt + "_0", std::string(64, 'c'), kDay1, alice);
    chain.platform.set_fault("/oi/tx/", FakeFault{429});
    chain.woc.set_fault("/v1/bsv/main/tx", FakeFault{500}); // one by one and in bulk
    EXPECT_EQ(art_lookup_by_id(kArt), "Some records could not be read. Try again.");
    chain.platform.clear_faults();
    chain.woc.clear_faults();
    // Coins that cannot be followed: the section says so in a sentence of its own.
    chain.woc.set_fault("/v1/bsv/main/tx/" + kArt + "/0/spent", FakeFault{500});
    chain.woc.set_fault("/v1/bsv/main/utxos/spent", FakeFault{500});
    const std::string report = art_ownership_report(kArt);
    EXPECT_EQ(report.rfind("Live owner\r\nThe artwork's coins could not be followed.", 0), 0u) << report;
}

TEST_F(OwnershipSvcTest, LookUpFindsTheArtworkOfAnId) {
    const std::string art2 = inscribe_json({{"artwork", "second"}});
    const std::string cert = inscribe_json({{"pic", kArt + "_0"}, {"sha256", std::string(64, 'e')}});
    const std::string odd_cert = inscribe_json({{"pic", art2}, {"sha256", std::string(64, 'e')}});
    const std::string unread = inscribe_json({{"pic", art2}, {"sha256", std::string(64, 'e')}, {"n", 2}});
    pair(kPairWatchAddress, kArt + "_0", cert + "_0", kDay1, alice);
    // A second pair naming the same certificate, later: the earliest decides.
    pair(kPairWatchAddress, art2 + "_0", cert + "_0", kDay2, alice);
    // A pair paying only the title watch, mined first, starts art2's title.
    fake_oracle_list(chain, kPairWatchKey, pair(kTitleWatchAddress, art2, odd_cert, kDay1, alice));
    // Owner not the signer, and a pair whose artwork is no transaction id: neither names anything.
    pair(kPairWatchAddress, std::string(64, '1'), std::string(64, '2'), kDay1, bob);
    pair(kPairWatchAddress, "not-an-id", std::string(64, '3'), kDay1, alice);

    const std::string report_art = art_ownership_report(kArt);
    const std::string report_art2 = art_ownership_report(art2);
    ASSERT_NE(report_art, report_art2);
    const std::string paste = "Paste an artwork id or a certificate id. It is 64 hex characters.";
    const std::string none = "No artwork or certificate uses that id.";
    struct Row {
        const char* name;
        std::string pasted;
        std::string result;
    } rows[] = {
        {"artwork", kArt, report_art},
        {"artwork origin, upper case", " " + upper_copy(kArt) + "_2\n", report_art},
        {"certificate", cert + "_0", report_art},
        {"a certificate whose artwork's title began with another", unread, none},
        {"certificate of a pair that paid the title watch alone", odd_cert, report_art2},
        {"owner is not the signer", std::string(64, '2'), none},
        {"artwork not an id", std::string(64, '3'), none},
        {"unknown", std::string(64, '9'), none},
        {"63 digits", std::string(63, 'a'), paste},
        {"65 digits", std::string(65, 'a'), paste},
        {"not hex", std::string(63, 'a') + "g", paste},
        {"empty", "", paste},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(art_lookup_by_id(row.pasted), row.result);
    }
    // An id no transaction has names nothing, and one whose inscription cannot be read today says
    // so: neither reads a watch in its place.
    const struct Fault {
        const char* name;
        std::string id;
        int status;
        const char* result;
    } faults[] = {{"unknown", std::string(64, '9'), 0, "No artwork or certificate uses that id."},
                  {"unreadable", inscribe_json({{"artwork", "third"}}), 500,
                   "The inscription of that id could not be read. Try again."},
                  {"refused", inscribe_json({{"artwork", "fourth"}}), 429,
                   "The inscription of that id could not be read. Try again."}};
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        if (fault.status) chain.woc.set_fault("/v1/bsv/main/tx/" + fault.id, FakeFault{fault.status});
        chain.woc.reset_counts();
        chain.platform.reset_counts();
        EXPECT_EQ(art_lookup_by_id(fault.id), fault.result);
        EXPECT_EQ(chain.woc.request_count("/v1/bsv/main/address/"), 0);
        EXPECT_EQ(chain.platform.request_count("/oi/"), 0);
        chain.woc.clear_faults();
    }
}
