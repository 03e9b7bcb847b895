#include "art/gallery_frames.h"

#include "art/art_records.h"
#include "art/gallery_sale.h"
#include "art/never_counting.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"
#include "chain/inscription.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/curve.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>

using nlohmann::json;

namespace {

const std::string kSha = std::string(64, 'e');

struct GalleryFramesTest : FakeIdentityTest {
    const std::string alice = secp_pubkey_hex(Bytes(32, 0x11));
    const std::string bob = secp_pubkey_hex(Bytes(32, 0x22));
    // Alice's artwork and certificate: both coins hers until a pass moves them.
    const TestKey alice_key = test_key_from_byte(0x11);
    const TestKey bob_key = test_key_from_byte(0x22);
    const std::string kArt = fake_inscribe(chain, alice_key.hash, "image/png", "png-bytes");
    const std::string kCert = fake_inscribe(chain, alice_key.hash, "application/json", "{}");

    std::map<std::string, std::string> pairs; // artwork -> its pair transaction

    // Alice's artwork is paired, so its title is hers and her hangings of it count.
    GalleryFramesTest() {
        ids.set_key("alice@kestrava.net", alice);
        ids.set_key("bob@kestrava.net", bob);
        pair(kArt, kCert);
    }
    // The pair is mined before anything after it is posted: an owner hangs after pairing.
    std::string pair(const std::string& art, const std::string& cert) {
        std::string& txid = pairs[art];
        if (!txid.empty()) return txid;
        txid = fake_pair_tx(
            chain, alice_key,
            fake_signed_record(fake_art_record("art_pair", "alice", 50,
                                               {{"pic", art}, {"cert", cert}, {"sha256", kSha}, {"owner", alice}}),
                               0x11));
        chain.ledger.mine();
        return txid;
    }

    // A record signed by alice (0x11) or bob (0x22), posted at the frame's watch.
    std::string post(std::int32_t spot, std::uint8_t key, const char* type, std::int64_t ts, const json& fields) {
        json msg =
            fake_art_record(type, key == 0x11 ? "alice" : "bob", ts, {{"spot", spot_label(spot)}, {"pic", kArt}});
        for (const auto& item : fields.items())
            msg[item.key()] = item.value();
        return fake_post_record(chain, spot_row(spot).watch, fake_signed_record(msg, key));
    }
    // Alice pairs the artwork, then passes both coins and its title to `owner` at `to_address`; the
    // pass's id, whose outputs 0 and 1 are the coins.
    std::string pair_and_pass(const std::string& owner, const std::string& to_address) {
        return pair_and_pass(owner, to_address, kArt, kCert);
    }
    std::string pair_and_pass(const std::string& owner, const std::string& to_address, const std::string& art,
                              const std::string& cert) {
        const std::string paired = pair(art, cert);
        const std::string pass = fake_pass_tx(
            chain, {art.substr(0, 64), 0, alice_key}, {cert.substr(0, 64), 0, alice_key}, to_address,
            fake_signed_record(fake_art_record("art_owner", "alice", 60,
                                               {{"pic", art}, {"cert", cert}, {"owner", owner}, {"prev", paired}}),
                               0x11));
        chain.ledger.mine();
        return pass;
    }
    std::string show(std::int32_t spot, std::int64_t ts, const json& extra = json::object()) {
        json fields = {{"cert", kCert}, {"sha256", kSha}, {"price", "1000"}, {"pay_addr", "1Pay"}};
        for (const auto& item : extra.items())
            fields[item.key()] = item.value();
        return post(spot, 0x11, "art_show", ts, fields);
    }
    std::vector<SpotFrame> frames() {
        std::vector<SpotFrame> list(3);
        EXPECT_EQ(load_all_spots(list), "");
        EXPECT_EQ(list.size(), 10u);
        return list;
    }
};

} // namespace

TEST_F(GalleryFramesTest, ShowAskAcceptAndTheRecordsThatDoNotCount) {
    post(1, 0x11, "art_show", 90, {{"cert", kCert}, {"sha256", kSha}, {"price", "5"}}); // replaced below
    const std::string shown = show(1, 100, {{"price", 1000}});              // a price that is no text: no price
    post(1, 0x22, "art_gask", 105, {{"price_sats", 1000}, {"buyer", bob}}); // before the show
    show(1, 110);
    post(1, 0x22, "art_gask", 120, {{"price_sats", "1000"}, {"buyer", bob}, {"buyer_ord", "1Ord"}});
    post(1, 0x22, "art_gask", 121, {{"price_sats", 999}, {"buyer", bob}});            // another price
    post(1, 0x22, "art_gask", 122, {{"price_sats", 1000}, {"buyer", alice}});         // signer is not buyer
    post(1, 0x22, "art_hide", 123, {});                                               // not the owner
    post(1, 0x11, "art_show", 124, {{"pic", ""}, {"cert", kCert}, {"sha256", kSha}}); // no artwork
    const std::string title = R"({"type":"art_owner"})";
    post(1, 0x11, "art_gaccept", 130,
         {{"price_sats", 1000}, {"buyer", upper_copy(bob)}, {"title_json", title}, {"title_sha", sha256_hex(title)}});
    post(1, 0x11, "art_gaccept", 131,
         {{"price_sats", 1000}, {"buyer", bob}, {"title_json", title}, {"title_sha", "x"}});
    post(1, 0x11, "art_gfunded", 132, {{"offer", "00"}, {"offer_sha", "bad"}});
    post(2, 0x11, "art_show", 100, {{"cert", kCert}, {"sha256", "short"}, {"price", "1"}}); // malformed
    post(3, 0x11, "art_show", 100, {{"cert", kCert}, {"sha256", kSha}, {"exp", 1}});        // expired
    post(4, 0x11, "art_show", 100, {{"spot", "as5"}, {"cert", kCert}, {"sha256", kSha}});   // another frame's label

    // A stranger hangs it in alice's name. Then the names point elsewhere (alice's to the stranger's
    // key): every record keeps the key it carries.
    post(1, 0x22, "art_show", 140, {{"actor", "alice"}, {"cert", kCert}, {"sha256", kSha}});
    ids.set_key("alice@kestrava.net", bob);
    ids.set_key("bob@kestrava.net", secp_pubkey_hex(Bytes(32, 0x33)));

    const std::vector<SpotFrame> list = frames();
    const SpotFrame& f = list[0];
    EXPECT_TRUE(f.shown);
    EXPECT_EQ(f.spot, 1);
    EXPECT_NE(f.show_txid, shown);
    EXPECT_EQ(f.pic, kArt.substr(0, 64));
    EXPECT_EQ(f.pic_utxo, kArt);
    EXPECT_EQ(f.cert, kCert.substr(0, 64));
    EXPECT_EQ(f.owner, alice);
    EXPECT_EQ(f.pay_addr, "1Pay");
    EXPECT_EQ(f.price, 1000);
    EXPECT_EQ(f.ts, 110);
    ASSERT_EQ(f.asks.size(), 1u);
    EXPECT_EQ(f.asks[0].buyer, bob);
    EXPECT_EQ(f.asks[0].buyer_ord, "1Ord");
    ASSERT_EQ(f.accepts.size(), 1u);
    EXPECT_EQ(f.accepts[0].buyer, bob);
    EXPECT_EQ(f.accepts[0].title_json, title);
    EXPECT_TRUE(f.funded.empty());
    for (int i : {1, 2, 3, 4}) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(list[i].shown);
        EXPECT_EQ(list[i].spot, 0);
        EXPECT_EQ(list[i].price, -1);
    }
}

TEST_F(GalleryFramesTest, HiddenExhibitStaysWhileItsTitleHasNotMoved) {
    const std::string title = R"({"type":"art_owner"})";
    const json accept = {{"price_sats", 1000}, {"buyer", bob}, {"title_json", title}, {"title_sha", sha256_hex(title)}};
    show(1, 100);
    post(1, 0x22, "art_gask", 105, {{"price_sats", 1000}, {"buyer", bob}});
    post(1, 0x11, "art_gaccept", 106, accept);
    post(1, 0x11, "art_hide", 110, {});
    post(1, 0x11, "art_hide", 111, {});        // hidden already: nothing changes
    post(1, 0x11, "art_gaccept", 112, accept); // the hanging was over: no sale to accept
    // While alice holds the title and the coins she named, the hidden exhibit stays, lists and all.
    const std::vector<SpotFrame> list = frames();
    EXPECT_FALSE(list[0].shown);
    EXPECT_EQ(list[0].spot, 1);
    EXPECT_EQ(list[0].pic, kArt.substr(0, 64));
    EXPECT_EQ(list[0].asks.size(), 1u);
    EXPECT_EQ(list[0].accepts.size(), 1u);

    // Once the title and the coins went to bob, the sale is over and the frame is cleared.
    pair_and_pass(bob, test_key_from_byte(0x22).address);
    const std::vector<SpotFrame> after = frames();
    EXPECT_FALSE(after[0].shown);
    EXPECT_EQ(after[0].spot, 0);
    EXPECT_EQ(after[0].pic, "");
    EXPECT_TRUE(after[0].asks.empty());
}

// Whatever the records' own times say, the hanging later in the chain stays.
TEST_F(GalleryFramesTest, OlderOfTwoHangingsLosesItsExhibit) {
    for (std::int32_t spot : {3, 7, 9, 8}) {
        show(spot, 300 - spot);
        chain.ledger.mine();
    }
    const std::vector<SpotFrame> list = frames();
    for (int i : {2, 6, 8}) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(list[i].shown);
        EXPECT_EQ(list[i].spot, 0);
    }
    EXPECT_TRUE(list[7].shown);
    EXPECT_EQ(list[7].spot, 8);
}

// A remembered pair's block is confirmed against the listing before a frame is judged on it, and a
// hanging judged during a lag is not kept as never counting: the data folder that read while the
// services disagreed and a fresh one judge the hanging alike once they agree.
TEST_F(GalleryFramesTest, EveryDataFolderJudgesAHangingOnThePairsBlockAlike) {
    enum class Lag { in_its_block, after_it, left_out, tip_ahead, spend_unlisted, reorganised };
    const struct Row {
        const char* name;
        Lag lag;
        bool shown; // after the change, in both folders
    } rows[] = {
        {"the history listed the pair a block late, in the hanging's, then corrected", Lag::in_its_block, true},
        {"the history listed the pair after the hanging, then corrected", Lag::after_it, true},
        {"the history left the pair out, then listed it", Lag::left_out, true},
        {"the chain route ran ahead of a history without the pair, past a hanging just mined", Lag::tip_ahead, true},
        {"a buyer hung what he bought before the spend index listed the sale", Lag::spend_unlisted, true},
        {"a reorganisation moves the pair past the hanging", Lag::reorganised, false}};
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string art = fake_inscribe(chain, alice_key.hash, "image/png", "moved " + std::to_string(n));
        const std::string cert = fake_inscribe(chain, alice_key.hash, "application/json", std::to_string(n++));
        const auto finalise = [&] { // every block involved can no longer change
            for (int block = 0; block < 8; ++block)
                chain.ledger.fund(bob_key.address, 1);
        };
        const std::string paired = pair(art, cert);
        const std::int32_t frame = 1 + n; // a frame of its own
        std::string lagging = paired;
        std::int32_t hung_at = chain.ledger.tip() + 1;
        if (row.lag == Lag::spend_unlisted) { // bob buys it and hangs it at once
            finalise();
            lagging = fake_pass_tx(
                chain, {art.substr(0, 64), 0, alice_key}, {cert.substr(0, 64), 0, alice_key}, bob_key.address,
                fake_signed_record(fake_art_record("art_owner", "alice", 60,
                                                   {{"pic", art}, {"cert", cert}, {"owner", bob}, {"prev", paired}}),
                                   0x11));
            chain.ledger.mine();
            chain.set_spends_unlisted(lagging, true);
            hung_at = chain.ledger.tip() + 1;
            post(frame, 0x22, "art_show", 100,
                 {{"pic", art},
                  {"cert", cert},
                  {"sha256", kSha},
                  {"price", "1000"},
                  {"pay_addr", "1Pay"},
                  {"pic_utxo", lagging + "_0"},
                  {"cert_utxo", lagging + "_1"}});
        } else {
            show(frame, 100, {{"pic", art}, {"cert", cert}});
        }
        if (row.lag == Lag::in_its_block) chain.set_history_height(lagging, hung_at);
        if (row.lag == Lag::after_it) chain.set_history_height(lagging, hung_at + 1);
        if (row.lag == Lag::left_out || row.lag == Lag::tip_ahead) chain.set_history_height(lagging, -1);
        if (row.lag == Lag::tip_ahead) {
            chain.ledger.mine();
            chain.claimed_tip = chain.ledger.tip() + 10;
        }
        std::vector<SpotFrame> list;
        load_all_spots(list);
        if (row.lag == Lag::reorganised) {
            ASSERT_TRUE(chain.ledger.unmine(paired));
            chain.ledger.mine();
            finalise();
        } else {
            if (row.lag != Lag::tip_ahead) finalise();
            title_memory_forget();
            load_all_spots(list); // read again after a restart, the services still apart
            chain.set_history_height(lagging, 0);
            chain.set_spends_unlisted(lagging, false);
            chain.claimed_tip = 0;
        }
        for (const bool fresh_folder : {false, true}) {
            SCOPED_TRACE(fresh_folder ? "a fresh data folder" : "the folder that read it before");
            title_memory_forget();
            woc_cache_clear();
            gallery_cache_clear();
            if (fresh_folder) {
                const std::string registry = kestrava_data_dir() + "/registry";
                for (const std::string& name : platform_file_names(registry))
                    platform_remove_file(registry + "/" + name);
            }
            EXPECT_EQ(load_all_spots(list), "");
            EXPECT_EQ(list[frame - 1].pic, row.shown ? art.substr(0, 64) : "") << list[frame - 1].reading;
            if (row.shown) {
                EXPECT_EQ(list[frame - 1].owner, row.lag == Lag::spend_unlisted ? bob : alice);
            }
        }
    }
}

TEST_F(GalleryFramesTest, ListedIdsThatAreNoTransactionIdsAreNeverRequested) {
    fake_oracle_list(chain, "as1", "../../api/paymail/identity/" + std::string(37, 'x'));
    fake_oracle_list(chain, "as1", std::string(64, 'f')); // a real id that no service can read
    std::vector<WatchRecord> records;
    std::string error;
    EXPECT_FALSE(read_gallery_watch("as1", spot_row(1).watch, records, error));
    EXPECT_EQ(error, "frame as1: " + std::string(kWatchRecordsUnread));
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(chain.platform.request_count("/oi/tx/"), 1);
    EXPECT_EQ(chain.platform.request_count("/api/"), 0);
}

// A second look at the gallery in one process checks no signature again; a record's check is kept
// by its whole text, so an altered copy is checked on its own.
TEST_F(GalleryFramesTest, RecordChecksAreKeptByTheRecordsText) {
    show(1, 100);
    const std::uint64_t before = curve_verifications();
    EXPECT_TRUE(frames()[0].shown);
    const std::uint64_t first = curve_verifications() - before;
    EXPECT_GT(first, 0u);
    EXPECT_TRUE(frames()[0].shown);
    EXPECT_EQ(curve_verifications() - before, first);

    const json genuine = fake_signed_record(fake_art_record("art_show", "alice", 100, {{"pic", kArt}}), 0x11);
    json altered = genuine;
    altered["pic"] = kCert;
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(verify_art_record(genuine));
        EXPECT_FALSE(verify_art_record(altered));
    }
}

TEST_F(GalleryFramesTest, UnreadableWatchesGiveTheFirstErrorAndEmptyFrames) {
    chain.woc.set_fault("/v1/bsv/main/address", FakeFault{500}); // one address and many alike
    chain.platform.set_fault("/oi/oracle/", FakeFault{500});
    std::vector<SpotFrame> list(12);
    EXPECT_EQ(load_all_spots(list), "OI as1 missed and WhatsOnChain missed");
    ASSERT_EQ(list.size(), 10u);
    EXPECT_FALSE(list[4].shown);
}

// WhatsOnChain's histories of the ten watches come in one bulk request; when that fails, each
// watch is asked on its own and the frames read the same.
TEST_F(GalleryFramesTest, WatchHistoriesComeInOneBulkRequestOrOneByOne) {
    show(1, 100);
    chain.platform.set_fault("/oi/oracle/", FakeFault{500});
    const std::string woc = kWocPrefix;
    for (const bool bulk_fails : {false, true}) {
        SCOPED_TRACE(bulk_fails ? "bulk request fails" : "bulk request answers");
        if (bulk_fails) chain.woc.set_fault(woc + "/addresses/history/all", FakeFault{500});
        chain.woc.reset_counts();
        EXPECT_TRUE(frames()[0].shown);
        EXPECT_EQ(chain.woc.request_count("POST", woc + "/addresses/history/all"), 1);
        // The hanging's title lists the pair and title watches.
        const int title_read = chain.woc.request_count("GET", woc + "/address/" + kTitleWatchAddress) +
                               chain.woc.request_count("GET", woc + "/address/" + kPairWatchAddress);
        EXPECT_EQ(chain.woc.request_count("GET", woc + "/address/") - title_read, bulk_fails ? 2 * kSpotCount : 0);
    }
}

// Hangings that name real transactions never paired cost a gallery read at most two requests
// each, and a payment waiting at a registry watch is read once a process.
TEST_F(GalleryFramesTest, UnpairedHangingsAndWaitingPaymentsCostLittle) {
    show(1, 100);
    chain.ledger.mine();
    const struct Row {
        const char* name;
        int junk;
        int waiting; // at each registry watch
    } rows[] = {{"neither", 0, 0}, {"five hangings of unpaired transactions, 400 payments waiting", 5, 400}};
    const auto requests = [this] { return chain.woc.request_count() + chain.platform.request_count(); };
    int later_none = 0, restart_none = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (int i = 0; i < row.junk; ++i)
            post(2 + i, 0x22, "art_show", 200 + i,
                 {{"pic", chain.ledger.fund(bob_key.address, 1)}, {"cert", kCert}, {"sha256", kSha}, {"price", "9"}});
        chain.ledger.mine();
        for (int i = 0; i < row.waiting; ++i)
            for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
                chain.ledger.fund(watch, 1, false);
        EXPECT_TRUE(frames()[0].shown);
        chain.woc.reset_counts();
        chain.platform.reset_counts();
        EXPECT_TRUE(frames()[0].shown);
        const int later = requests();
        title_memory_forget();
        woc_cache_clear();
        gallery_cache_clear();
        chain.woc.reset_counts();
        chain.platform.reset_counts();
        EXPECT_TRUE(frames()[0].shown);
        const int restarted = requests();
        if (row.junk == 0) later_none = later, restart_none = restarted;
        EXPECT_LE(later, later_none + 2 * row.junk);
        EXPECT_LE(restarted, restart_none + 2 * row.junk + row.waiting / 10);
        RecordProperty(std::string("gallery_read_requests ") + row.name, later);
        RecordProperty(std::string("gallery_read_after_restart_requests ") + row.name, restarted);
    }
}

// Hangings of paired artworks that do not count, over ten frames that show: alice's naming a
// certificate not their own, then a stranger's of the artworks the other frames show, naming their
// coins. Once judged, they cost each later gallery read at most one request a frame, after a
// restart too: the data folder keeps them, with what another process on it judged meanwhile.
TEST_F(GalleryFramesTest, HangingsThatDoNotCountCostALaterReadOneRequestAFrame) {
    std::vector<std::string> arts, certs;
    for (std::int32_t spot = 1; spot <= kSpotCount; ++spot) {
        arts.push_back(fake_inscribe(chain, alice_key.hash, "image/png", "good " + std::to_string(spot)));
        certs.push_back(fake_inscribe(chain, alice_key.hash, "application/json", std::to_string(spot)));
        pair(arts.back(), certs.back());
        show(spot, 100, {{"pic", arts.back()}, {"cert", certs.back()}});
    }
    const struct Row {
        const char* name;
        int per_frame;
        bool stranger;
    } rows[] = {{"none", 0, false},
                {"forty naming a certificate not their own", 4, false},
                {"ninety of a stranger's, of the others' artworks", 9, true}};
    const auto restart = [] {
        title_memory_forget();
        woc_cache_clear();
        gallery_cache_clear();
    };
    const std::string noted_elsewhere = "http://other|http://other|" + std::string(64, 'a'); // another process's
    int none = 0, none_restarted = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.stranger) { // noted by another process since this one read the file
            std::string text;
            platform_read_file(never_counting_path(), text);
            json doc = json_parse_or_discarded(text);
            doc = doc.is_object() ? doc : json{{"hangings", json::array()}};
            doc["hangings"].push_back(
                {{"h", noted_elsewhere}, {"pic", std::string(64, 'b')}, {"pair", std::string(64, 'c')}});
            ASSERT_TRUE(platform_write_file(never_counting_path(), doc.dump(), false));
        }
        for (std::int32_t spot = 1; spot <= kSpotCount; ++spot) {
            for (int k = 0; k < row.per_frame; ++k) {
                const auto other = static_cast<std::size_t>((spot + k) % kSpotCount);
                if (row.stranger) {
                    post(spot, 0x22, "art_show", 300, {{"pic", arts[other]}, {"cert", certs[other]}, {"sha256", kSha}});
                    continue;
                }
                const std::string name = std::to_string(spot) + " " + std::to_string(k);
                const std::string art = fake_inscribe(chain, alice_key.hash, "image/png", "other " + name);
                pair(art, fake_inscribe(chain, alice_key.hash, "application/json", name));
                show(spot, 200, {{"pic", art}, {"cert", certs[other]}});
            }
        }
        chain.ledger.mine();
        frames();
        std::string kept;
        platform_read_file(never_counting_path(), kept);
        EXPECT_EQ(kept.find(noted_elsewhere) != std::string::npos, row.stranger);
        // Laid out otherwise than the program writes it, so that a rewrite would show.
        if (!kept.empty()) {
            ASSERT_TRUE(platform_write_file(never_counting_path(), kept = json::parse(kept).dump(1), false));
        }
        chain.woc.reset_counts();
        const std::vector<SpotFrame> list = frames();
        const int later = chain.woc.request_count();
        std::string after;
        platform_read_file(never_counting_path(), after);
        EXPECT_EQ(after, kept); // nothing new was judged: nothing written
        for (std::int32_t spot = 1; spot <= kSpotCount; ++spot)
            EXPECT_EQ(list[spot - 1].pic, arts[spot - 1].substr(0, 64)) << spot;
        if (row.per_frame == 0) none = later;
        EXPECT_LE(later, none + kSpotCount);
        restart();
        chain.woc.reset_counts();
        EXPECT_EQ(frames()[0].pic, arts[0].substr(0, 64));
        const int restarted = chain.woc.request_count();
        if (row.per_frame == 0) none_restarted = restarted;
        EXPECT_LE(restarted, none_restarted + kSpotCount);
        RecordProperty(std::string("later_gallery_read_requests ") + row.name, later);
        RecordProperty(std::string("gallery_read_after_restart_requests ") + row.name, restarted);
    }
    // In a fresh data folder, or over a damaged file, they are judged again once; the file then
    // written serves the next restart.
    // Another process's file of more hangings than the bound loads its newest, and what is written
    // keeps to the bound.
    const auto other_key = [](std::size_t i) {
        char id[65];
        std::snprintf(id, sizeof id, "%064zx", i);
        return json{{"h", "http://other|http://other|" + std::string(id)}, {"pic", id}, {"pair", id}};
    };
    for (const char* state : {"a fresh data folder", "a damaged file", "a file past the bound"}) {
        SCOPED_TRACE(state);
        const bool damaged = state[2] == 'd', past_bound = state[7] == 'p';
        const std::string registry = kestrava_data_dir() + "/registry";
        if (damaged) {
            ASSERT_TRUE(platform_write_file(never_counting_path(), R"({"hangings":[")", false));
        }
        json others = {{"version", 2}, {"hangings", json::array()}};
        for (std::size_t i = 0; past_bound && i <= kNeverCountingKept; ++i)
            others["hangings"].push_back(other_key(i));
        if (past_bound) {
            ASSERT_TRUE(platform_write_file(never_counting_path(), others.dump(), false));
        }
        for (const std::string& name :
             damaged || past_bound ? std::vector<std::string>() : platform_file_names(registry))
            platform_remove_file(registry + "/" + name);
        restart();
        frames();
        if (past_bound) {
            std::string text;
            platform_read_file(never_counting_path(), text);
            const json kept = json_parse_or_discarded(text);
            ASSERT_TRUE(kept.is_object() && kept["hangings"].is_array());
            EXPECT_LE(kept["hangings"].size(), kNeverCountingKept);
            EXPECT_GT(kept["hangings"].size(), kNeverCountingKept - kSpotCount * 10);
            EXPECT_EQ(text.find(other_key(0)["h"].get<std::string>()), std::string::npos);
            EXPECT_NE(text.find(other_key(kNeverCountingKept)["h"].get<std::string>()), std::string::npos);
        }
        // A hanging the first read's budget left unjudged is judged at the next.
        for (const int later_read : {1, 2}) {
            restart();
            chain.woc.reset_counts();
            EXPECT_EQ(frames()[9].pic, arts[9].substr(0, 64));
            EXPECT_LE(chain.woc.request_count(), none_restarted + (later_read == 1 ? 2 : 1) * kSpotCount) << later_read;
        }
    }
}

// A hanging of an inscription never paired costs each gallery read a bounded number of requests,
// whatever the registry watches hold: its frame says its title is still being read, the others
// show, and each read goes on from where the last stopped. A hanging of an older inscription then
// lists its own blocks only, not again those the earlier reads kept.
TEST_F(GalleryFramesTest, NeverPairedHangingsAreReadAPartAtATime) {
    show(1, 100);
    chain.ledger.mine();
    const std::string older = fake_inscribe(chain, alice_key.hash, "image/png", "older, never paired");
    const std::string lone = fake_inscribe(chain, alice_key.hash, "image/png", "never paired");
    // Alice's own paired artwork hangs in frame 4 before a stranger's junk goes up over it.
    const std::string dawn = fake_inscribe(chain, alice_key.hash, "image/png", "dawn");
    const std::string dawn_cert = fake_inscribe(chain, alice_key.hash, "application/json", "{\"dawn\":1}");
    pair(dawn, dawn_cert);
    chain.ledger.mine();
    show(4, 150, {{"pic", dawn}, {"cert", dawn_cert}});
    std::vector<std::string> junk;
    for (int i = 0; i < 7; ++i)
        junk.push_back(fake_inscribe(chain, bob_key.hash, "image/png", "junk " + std::to_string(i)));
    const std::int32_t first = chain.ledger.tip() + 1;
    for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
        chain.ledger.add_payments(watch, 2500, first);
    chain.ledger.mine();
    const std::string busy = fake_inscribe(chain, bob_key.hash, "image/png", "never paired, busy blocks after it");
    const std::string quiet = fake_inscribe(chain, bob_key.hash, "image/png", "never paired, busy after its hanging");
    const auto gallery = [this](int& woc) {
        chain.woc.reset_counts();
        std::vector<SpotFrame> list;
        load_all_spots(list);
        woc = chain.woc.request_count();
        return list;
    };
    int none = 0;
    gallery(none);
    gallery(none);
    const struct Row {
        const char* name;
        std::vector<std::string> arts; // hung in frames `frame`, `frame` + 1, ...
        std::int32_t frame;
        int most_reads;
        std::uint8_t signer;
        std::uint64_t payments;  // at each watch since the inscription, before it is hung
        bool restart;            // before each read
        std::uint64_t after = 0; // at each watch once it hangs
    } rows[] = {
        {"an inscription older than 2,500 payments at each watch", {lone}, 2, 40, 0x11, 0, false},
        {"an older one, hung once the first was read", {older}, 3, 1, 0x11, 0, false},
        {"seven never paired hung by a stranger, one over alice's paired artwork", junk, 4, 6, 0x22, 0, false},
        {"2,000 payments in blocks of 1,000 since it, a restart before each read", {busy}, 2, 20, 0x22, 2000, true},
        {"2,000 payments at each watch after the hanging", {quiet}, 3, 1, 0x22, 0, false, 2000}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            if (row.payments > 0) chain.ledger.add_payments(watch, row.payments);
        for (std::size_t i = 0; i < row.arts.size(); ++i)
            post(row.frame + static_cast<std::int32_t>(i), row.signer, "art_show", 200,
                 {{"pic", row.arts[i]}, {"cert", kCert}, {"sha256", kSha}});
        chain.ledger.mine();
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            if (row.after > 0) chain.ledger.add_payments(watch, row.after);
        int reads = 0, woc = 0;
        std::vector<SpotFrame> list;
        const auto reading = [&list] {
            return std::any_of(list.begin(), list.end(),
                               [](const SpotFrame& f) { return f.reading == kFrameTitleReading; });
        };
        do {
            if (row.restart) {
                title_memory_forget();
                woc_cache_clear();
                gallery_cache_clear();
            }
            list = gallery(woc);
            ++reads;
            EXPECT_TRUE(list[0].shown);
            // Each hanging's first look, and after a restart the frames' records and coins and
            // the listings kept for a few seconds read again.
            EXPECT_LE(woc, none + static_cast<int>(kGalleryTitleRequests) + 4 * static_cast<int>(row.arts.size()) +
                               (row.restart ? 20 : 0));
        } while (reading() && reads < row.most_reads);
        EXPECT_FALSE(reading());
        for (std::size_t i = 0; i < row.arts.size(); ++i)
            EXPECT_EQ(list[row.frame - 1 + i].shown, list[row.frame - 1 + i].pic == dawn.substr(0, 64)) << i;
        EXPECT_TRUE(list[3].shown);
        // Its own blocks listed and its coins read: the payments the first one's reads kept cost
        // nothing (reading them again took some 250 bulk requests).
        if (row.most_reads == 1) {
            EXPECT_LE(woc, none + 16);
        }
        RecordProperty(std::string("gallery_reads ") + row.name, reads);
    }
}

// A fresh data folder's gallery read finds each hanging's pair among what the reads before it
// fetched: strangers' payments after the pairs cost it no fetch for each hanging.
TEST_F(GalleryFramesTest, StrangersAfterThePairsCostNoFetchPerHanging) {
    // A stranger's inscriptions, each in a block of its own, older than the artists' artworks.
    std::vector<std::string> junk;
    for (int i = 0; i < 3; ++i)
        junk.push_back(fake_inscribe(chain, bob_key.hash, "image/png", "junk " + std::to_string(i)));
    show(1, 100);
    for (std::int32_t spot = 2; spot <= 6; ++spot) {
        const std::string art = fake_inscribe(chain, alice_key.hash, "image/png", "art " + std::to_string(spot));
        const std::string cert = fake_inscribe(chain, alice_key.hash, "application/json", std::to_string(spot));
        pair(art, cert);
        show(spot, 100, {{"pic", art}, {"cert", cert}});
        chain.ledger.mine();
    }
    const struct Row {
        const char* name;
        int strangers; // at each watch, after the pairs
        bool junk;     // then alice hangs a new artwork, the stranger his never paired inscriptions
    } rows[] = {{"none", 0, false},
                {"400 at each watch after the pairs", 400, false},
                {"4,000 more, then a new artwork in frame 7 beside junk in 8 to 10", 4000, true}};
    int none = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            chain.ledger.add_payments(watch, static_cast<std::uint64_t>(row.strangers));
        // Alice pairs and hangs a new artwork in frame 7, after all those payments; the stranger
        // hangs his inscriptions, older than them, in frames 8 to 10.
        if (row.junk) {
            const std::string art = fake_inscribe(chain, alice_key.hash, "image/png", "art 7");
            const std::string cert = fake_inscribe(chain, alice_key.hash, "application/json", "7");
            pair(art, cert);
            show(7, 100, {{"pic", art}, {"cert", cert}});
        }
        for (std::size_t i = 0; row.junk && i < 3; ++i)
            post(8 + static_cast<std::int32_t>(i), 0x22, "art_show", 200,
                 {{"pic", junk[i]}, {"cert", kCert}, {"sha256", kSha}});
        chain.ledger.mine();
        title_memory_forget();
        woc_cache_clear();
        gallery_cache_clear();
        const std::string registry = kestrava_data_dir() + "/registry";
        for (const std::string& name : platform_file_names(registry))
            platform_remove_file(registry + "/" + name);
        chain.woc.reset_counts();
        std::vector<SpotFrame> list;
        const std::string error = load_all_spots(list);
        if (!row.junk) {
            EXPECT_EQ(error, "");
        }
        for (int i = 0; i < (row.junk ? 7 : 6); ++i)
            EXPECT_TRUE(list[i].shown) << i;
        if (row.strangers == 0) none = chain.woc.request_count();
        // The junk's title reads take the gallery read's bound and a first look each, its coins a
        // few bulk reads.
        const int junk_reads = static_cast<int>(kGalleryTitleRequests) + 4 * 3 + 4;
        EXPECT_LE(chain.woc.request_count(), none + 2 + (row.junk ? junk_reads : 0));
    }
}

// The owner's side of a sale with this wallet as carol, up to the acceptance on the frame watch.
struct GallerySaleTest : GalleryFramesTest {
    std::string me;

    GallerySaleTest() {
        write_test_wallet_file("w1");
        me = become("w1", "carol");
        chain.ledger.fund(current_receive_address(), 1000000);
    }
    // Starts afresh as wallet `id` with the alias; the identity route knows its key.
    std::string become(const std::string& id, const std::string& alias) {
        reset_wallet_state_for_tests();
        EXPECT_TRUE(load_wallet_id(id));
        WalletLock lock = lock_wallet();
        kv_wallet().paymail = alias;
        ids.set_key(alias + "@kestrava.net", kv_wallet().identity_pub);
        return kv_wallet().identity_pub;
    }
    static bool succeeded(const std::string& result) { return result.rfind("success: ", 0) == 0; }
};

TEST_F(GallerySaleTest, StepChecksStopBeforePosting) {
    show(2, 100); // signed by another key than this wallet's
    post(2, 0x22, "art_gask", 110, {{"price_sats", 1000}, {"buyer", bob}});
    struct Row {
        std::string result, expected;
    } rows[] = {
        {gallery_accept_ask(0, bob), "error: that frame is not for sale."},
        {gallery_accept_ask(11, bob), "error: that frame is not for sale."},
        {gallery_accept_ask(1, bob), "error: that frame is not for sale."},
        {gallery_accept_ask(2, bob), "error: only the owner can accept."},
        {gallery_fund_offer(0, "", 0, ""), "error: that frame is not for sale."},
        {gallery_fund_offer(2, "", 1000, ""), "error: the owner has not accepted this ask yet."},
        {gallery_complete_sale(11, ""), "error: that frame is empty."},
        {gallery_complete_sale(2, ""), "error: only the owner can complete this sale."},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.result, row.expected);
    EXPECT_EQ(chain.platform.request_count("/oi/submit"), 0);
}

TEST_F(GallerySaleTest, OwnerAcceptsAnAskAndTheFrameListsIt) {
    // Alice paired the artwork and passed its title to this wallet, which hangs it.
    std::string my_ord;
    {
        WalletLock lock = lock_wallet();
        my_ord = derive_ordinals_key();
    }
    const std::string pass = pair_and_pass(me, my_ord);
    // The exhibit is signed by this wallet through the gallery's own signer.
    json show_msg = new_art_message("art_show");
    show_msg["spot"] = "as5";
    show_msg["pic"] = kArt;
    show_msg["cert"] = kCert;
    show_msg["sha256"] = kSha;
    show_msg["price"] = "1000";
    show_msg["pic_utxo"] = pass + "_0";
    show_msg["cert_utxo"] = pass + "_1";
    ASSERT_EQ(gallery_sign_and_post(show_msg, spot_row(5).watch).rfind("success: ", 0), 0u);
    chain.ledger.mine();
    post(5, 0x22, "art_gask", clock_system_ms() / 1000, {{"price_sats", 1000}, {"buyer", bob}});

    EXPECT_EQ(gallery_accept_ask(5, " " + upper_copy(alice) + " "), "error: that buyer has not asked.");
    const std::string result = gallery_accept_ask(5, " " + upper_copy(bob) + " ");
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    chain.ledger.mine();

    const std::vector<SpotFrame> list = frames();
    ASSERT_EQ(list[4].accepts.size(), 1u);
    const SpotAccept& accept = list[4].accepts[0];
    EXPECT_EQ(accept.buyer, bob);
    const json title = json::parse(accept.title_json);
    EXPECT_EQ(title["type"], "art_owner");
    EXPECT_EQ(title["owner"], bob);
    EXPECT_EQ(title["pic"], kArt.substr(0, 64));
    EXPECT_EQ(json_identity_pubkey(title), me);
}

// A whole sale between two wallets: carol hangs her artwork, dave asks and pays, carol completes.
// The ledger takes the sale only with both parties' signatures; it hands both coins to dave and
// pays carol the price less the fee.
TEST_F(GallerySaleTest, SecondWalletPaysAndTheOwnerCompletes) {
    std::string carol_ord, carol_pay;
    {
        WalletLock lock = lock_wallet();
        carol_ord = derive_ordinals_key();
        carol_pay = kv_wallet().address;
    }
    const std::string art = fake_inscribe(chain, alice_key.hash, "image/png", "png-bytes");
    const std::string cert = chain.ledger.fund(alice_key.address, 1) + "_0";
    const std::string pass = pair_and_pass(me, carol_ord, art, cert);
    json show_msg = new_art_message("art_show");
    show_msg.update({{"spot", "as4"},
                     {"pic", art},
                     {"cert", cert},
                     {"sha256", kSha},
                     {"price", "1000"},
                     {"pay_addr", carol_pay},
                     {"pic_utxo", pass + "_0"},
                     {"cert_utxo", pass + "_1"}});
    ASSERT_TRUE(succeeded(gallery_sign_and_post(show_msg, spot_row(4).watch)));

    const json buyer_file = {
        {"mnemonic", "legal winner thank year wave sausage worth useful legal winner thank yellow"},
        {"recv", {0, 0, 0, 0, 0, 0}}};
    test_write_file(wallet_file_path_for_id("w2"), buyer_file.dump());
    const std::string dave = become("w2", "dave");
    ASSERT_NE(dave, me);
    chain.ledger.fund(current_receive_address(), 200000);
    json ask = new_art_message("art_gask");
    ask.update({{"spot", "as4"}, {"pic", art}, {"price_sats", 1000}, {"buyer", dave}});
    ASSERT_TRUE(succeeded(gallery_sign_and_post(ask, spot_row(4).watch)));
    chain.ledger.mine();

    become("w1", "carol");
    const std::string accepted = gallery_accept_ask(4, dave);
    ASSERT_TRUE(succeeded(accepted)) << accepted;
    chain.ledger.mine();

    become("w2", "dave");
    // The funded record's own payment needs a coin that the offer does not lock.
    chain.ledger.fund(current_receive_address(), 5000);
    const SpotFrame shown = frames()[3];
    ASSERT_EQ(shown.accepts.size(), 1u);
    const std::string funded = gallery_fund_offer(4, shown.show_txid, shown.price, shown.accepts[0].txid);
    ASSERT_TRUE(succeeded(funded)) << funded;
    std::string dave_ord;
    {
        WalletLock lock = lock_wallet();
        dave_ord = derive_ordinals_key();
    }
    chain.ledger.mine();

    become("w1", "carol");
    const std::string sale = gallery_complete_sale(4, "");
    ASSERT_TRUE(succeeded(sale)) << sale;
    const std::string txid = sale.substr(9, 64);
    LedgerTx tx;
    ASSERT_TRUE(chain.ledger.find_tx(txid, tx));
    const std::pair<std::string, std::uint64_t> expected[] = {
        {dave_ord, 1}, {dave_ord, 1}, {kGallerySaleFeeAddress, 20}, {carol_pay, 980}};
    for (std::uint32_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        LedgerOutput out;
        ASSERT_TRUE(chain.ledger.find_output(txid, i, out));
        EXPECT_EQ(out.script, p2pkh_script(test_hash_of(expected[i].first)));
        EXPECT_EQ(out.sats, expected[i].second);
    }
    EXPECT_FALSE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());
}

// The transactions of a frame do not depend on each other: they are read side by side, each once,
// and the frame's records come out whole.
TEST_F(GalleryFramesTest, FrameTransactionsAreReadSideBySide) {
    show(1, 100);
    for (std::int64_t ts = 101; ts <= 109; ++ts)
        post(1, 0x22, "art_gask", ts, {{"price_sats", "1000"}, {"buyer", bob}});
    FakeFault together;
    together.gather = 2;
    chain.platform.set_fault("/oi/tx/", together);
    chain.platform.count_in_flight_under("/oi/tx/");

    const std::vector<SpotFrame> list = frames();
    EXPECT_TRUE(list[0].shown);
    EXPECT_EQ(list[0].asks.size(), 9u);
    int record_reads = 0;
    for (const LedgerTx& tx : chain.ledger.history_of_address(spot_row(1).watch))
        record_reads += chain.platform.request_count("GET", "/oi/tx/" + tx.txid);
    EXPECT_EQ(record_reads, 10);
    EXPECT_GT(chain.platform.peak_in_flight(), 1) << "one after another";

    // Once mined, the oracle's copies are kept as the oracle's, never handed out as WhatsOnChain's.
    chain.ledger.mine();
    tx_store_clear();
    frames();
    nlohmann::json kept;
    for (const LedgerTx& tx : chain.ledger.history_of_address(spot_row(1).watch))
        EXPECT_FALSE(tx_store_find(service_settings().woc_base, tx.txid, kept)) << tx.txid;
}
