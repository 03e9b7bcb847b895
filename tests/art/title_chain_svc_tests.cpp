// The title as people who want an artwork they did not pay for would try it: alice, bob, carol and
// mallory each sign with their own key, every transaction goes through the ledger, which checks its
// signatures, and the title chain must follow the coins, not what a record says about itself.

#include "art/ownership.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"

#include "art/art_records.h"
#include "art/gallery_rules.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "identity/identity_lookup.h"
#include "platform/fs.h"
#include "wallet/host_pace.h"
#include "wallet/registry.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kArtBytes = "\x89PNG harbour at dusk";

struct Person {
    const char* name;
    std::uint8_t fill;
    TestKey key;
};

Person person(const char* name, std::uint8_t fill) {
    return {name, fill, test_key_from_byte(fill)};
}

struct TitleChainSvcTest : FakeIdentityTest {
    const Person alice = person("alice", 0x11);
    const Person bob = person("bob", 0x22);
    const Person carol = person("carol", 0x33);
    const Person mallory = person("mallory", 0x44);
    std::string art, cert;        // alice's inscriptions, as origins
    KeyedCoin art_at, cert_at;    // where the two coins are now
    std::int64_t ts = 1767225600; // the time honest records carry, moved on by each step

    TitleChainSvcTest() {
        for (const Person* p : {&alice, &bob, &carol, &mallory})
            ids.set_key(std::string(p->name) + "@kestrava.net", p->key.pub);
        inscribe_artwork("");
    }

    // A fresh artwork of alice's and its certificate, both coins still hers; `tag` keeps its
    // inscription apart from the others of the test.
    void inscribe_artwork(const std::string& tag) {
        art = fake_inscribe(chain, alice.key.hash, "image/png", kArtBytes + tag);
        cert = certificate(alice, art);
        art_at = {art.substr(0, 64), 0, alice.key};
        cert_at = {cert.substr(0, 64), 0, alice.key};
    }

    std::string certificate(const Person& artist, const std::string& pic) {
        const json body = {{"pic", pic}, {"sha256", sha256_hex(kArtBytes)}, {"artist", artist.key.pub}};
        return fake_inscribe(chain, artist.key.hash, "application/json", body.dump());
    }
    json record(const Person& signer, const char* type, std::int64_t at, const json& fields) {
        return fake_signed_record(fake_art_record(type, signer.name, at, fields), signer.fill);
    }
    KeyedCoin funds(const Person& who) { return {chain.ledger.fund(who.key.address, 10000), 0, who.key}; }
    TxOutput to_address(const std::string& address, std::uint64_t sats = 1) {
        return {sats, p2pkh_script(test_hash_of(address))};
    }

    std::string pair(const Person& signer, const std::string& owner, const std::string& certificate_id,
                     std::int64_t at) {
        return fake_pair_tx(
            chain, signer.key,
            record(signer, "art_pair", at,
                   {{"pic", art}, {"cert", certificate_id}, {"sha256", sha256_hex(kArtBytes)}, {"owner", owner}}));
    }
    // Both coins to `to` with an owner record signed by `signer`.
    std::string pass(const Person& to, const Person& signer, const std::string& prev, std::int64_t at) {
        const std::string txid = fake_pass_tx(
            chain, art_at, cert_at, to.key.address,
            record(signer, "art_owner", at, {{"pic", art}, {"cert", cert}, {"owner", to.key.pub}, {"prev", prev}}));
        art_at = {txid, 0, to.key};
        cert_at = {txid, 1, to.key};
        return txid;
    }
    // The coin moved on its own to `to`, 1 sat to 1 sat.
    void hop(KeyedCoin& coin, const Person& to) {
        coin = {fake_send(chain, {coin}, {to_address(to.key.address)}), 0, to.key};
    }
    // `n` strangers' 1-sat payments to `address`, mined in one block.
    void strangers(const std::string& address, int n) {
        for (int i = 0; i < n; ++i)
            chain.ledger.fund(address, 1, false);
        chain.ledger.mine();
    }
    // A fresh process: nothing remembered but what was kept on disk.
    void restart() {
        title_memory_forget();
        tx_store_clear();
        woc_cache_clear();
    }
    // An owner record posted on its own, moving no coin.
    std::string post_owner(const Person& signer, const Person& to, const std::string& prev, std::int64_t at) {
        return fake_post_record(
            chain, kTitleWatchAddress,
            record(signer, "art_owner", at, {{"pic", art}, {"cert", cert}, {"owner", to.key.pub}, {"prev", prev}}));
    }
    // The owners of the title, oldest first, by name.
    std::string owners() {
        std::vector<KvArtTitleRow> rows;
        const std::string error = art_title_chain(art, rows);
        if (!error.empty()) return "error: " + error;
        std::string names;
        for (const KvArtTitleRow& row : rows) {
            for (const Person* p : {&alice, &bob, &carol, &mallory})
                if (row.owner == p->key.pub) names += std::string(names.empty() ? "" : " ") + p->name;
        }
        return names;
    }
};

} // namespace

// Pair, pass, pass back: each step is a transaction that moves both coins.
TEST_F(TitleChainSvcTest, HonestRoadFollowsTheCoins) {
    const std::string p = pair(alice, alice.key.pub, cert, ts);
    const std::string to_bob = pass(bob, alice, p, ts + 60);
    chain.ledger.mine();
    const std::string back = pass(alice, bob, to_bob, ts + 120);
    chain.ledger.mine();

    std::vector<KvArtTitleRow> rows;
    std::string certificate_id = "stale";
    EXPECT_EQ(art_title_chain(" " + upper_copy(art) + " ", rows, &certificate_id), "");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].txid, p);
    EXPECT_EQ(rows[0].type, "art_pair");
    EXPECT_EQ(rows[1].txid, to_bob);
    EXPECT_EQ(rows[1].owner, bob.key.pub);
    EXPECT_EQ(rows[1].signer, alice.key.pub);
    EXPECT_EQ(rows[1].ts, ts + 60);
    EXPECT_EQ(rows[2].txid, back);
    EXPECT_EQ(rows[2].owner, alice.key.pub);
    EXPECT_EQ(rows[2].handle, "bob");
    EXPECT_EQ(certificate_id, cert.substr(0, 64));
}

// A title read asks for the watch listing and each listed transaction once until the artwork's
// pair is found mined; from then on only for the coins' path: their spenders, and transactions not
// read before, the values of the inputs before a coin in bulk. Strangers' payments to the watch
// cost such a read nothing.
TEST_F(TitleChainSvcTest, TitleReadCostsTheListingAndTheCoinsPath) {
    const std::string p = pair(alice, alice.key.pub, cert, ts);
    pass(bob, alice, p, ts + 60);
    chain.ledger.mine();
    const std::string to_carol = pass(carol, bob, art_at.txid, ts + 120);
    chain.ledger.mine();

    const auto requests = [this] { return chain.woc.request_count() + chain.platform.request_count(); };
    chain.woc.reset_counts();
    chain.platform.reset_counts();
    EXPECT_EQ(owners(), "alice bob carol");
    const int listing = chain.platform.request_count("/oi/oracle/") + chain.woc.request_count("/v1/bsv/main/address/");
    const int listed_txs = chain.platform.request_count("/oi/tx/");
    const int path = chain.woc.request_count("/v1/bsv/main/tx/") + chain.woc.request_count("/v1/bsv/main/txs") +
                     chain.woc.request_count("/v1/bsv/main/block/");
    // One page of each watch from the artwork's block, which ends past the pair's; each watch's
    // listed transactions come in one bulk request, counted with the path's, as is the artwork's
    // own transaction, whose block bounds the watches' read. A spender a listed record shows is
    // not looked up.
    EXPECT_EQ(listing, 2);
    EXPECT_EQ(listed_txs, 0);
    EXPECT_EQ(path, 5);
    // Checking the records' signatures may ask for the signers' published keys; the chain's tip
    // tells which of the blocks read can no longer change.
    const int keys = chain.platform.request_count("/api/bsvalias/id/");
    const int tip = chain.woc.request_count("/v1/bsv/main/chain/info");
    EXPECT_EQ(tip, 1);
    EXPECT_EQ(requests(), listing + listed_txs + path + keys + tip);

    // The next read asks each mined hop's spender once; later ones only where the coins are now.
    EXPECT_EQ(owners(), "alice bob carol");
    chain.woc.reset_counts();
    chain.platform.reset_counts();
    EXPECT_EQ(owners(), "alice bob carol");
    EXPECT_EQ(requests(), 2);
    for (int i = 0; i < 400; ++i)
        chain.ledger.fund(kTitleWatchAddress, 1);
    chain.ledger.mine();
    chain.woc.reset_counts();
    chain.platform.reset_counts();
    EXPECT_EQ(owners(), "alice bob carol");
    EXPECT_LE(requests(), 2 + 10);
    RecordProperty("title_read_requests_after_400_strangers", requests());

    // Carol moves the artwork behind 200 coins of her own, then passes it to alice.
    std::vector<KeyedCoin> inputs;
    for (int i = 0; i < 200; ++i)
        inputs.push_back(funds(carol));
    inputs.push_back(art_at);
    art_at = {fake_send(chain, inputs, {to_address(carol.key.address, 200 * 10000), to_address(carol.key.address)}), 1,
              carol.key};
    pass(alice, carol, to_carol, ts + 180);
    chain.woc.reset_counts();
    chain.platform.reset_counts();
    EXPECT_EQ(owners(), "alice bob carol alice");
    EXPECT_LE(requests(), 30);
    RecordProperty("title_read_requests_after_200_inputs", requests());

    // Two more artworks paired, then 400 more strangers: a first read after them costs at most 10
    // requests more than one before them.
    std::vector<std::string> paired;
    for (int i = 0; i < 2; ++i) {
        paired.push_back(art = fake_inscribe(chain, alice.key.hash, "image/png", kArtBytes));
        pair(alice, alice.key.pub, cert = certificate(alice, art), ts + 240);
    }
    chain.ledger.mine();
    const auto first_read = [&](const std::string& artwork) {
        art = artwork;
        chain.woc.reset_counts();
        chain.platform.reset_counts();
        EXPECT_EQ(owners(), "alice");
        return requests();
    };
    const int before_strangers = first_read(paired[0]);
    for (int i = 0; i < 400; ++i)
        chain.ledger.fund(kTitleWatchAddress, 1);
    chain.ledger.mine();
    EXPECT_LE(first_read(paired[1]), before_strangers + 10);
    RecordProperty("first_title_read_requests_after_400_strangers", requests());
}

// The ways a record could claim the title without the coins, and the one where a slow clock
// signed an honest pass.
TEST_F(TitleChainSvcTest, OnlyTransactionsThatMoveBothCoinsPassTheTitle) {
    struct Row {
        const char* name;
        std::function<void(TitleChainSvcTest&)> act;
        const char* owners;
    } rows[] = {
        {"after passing to bob, alice names carol in a record dated before the pass",
         [](TitleChainSvcTest& t) {
             const std::string p = t.pair(t.alice, t.alice.key.pub, t.cert, t.ts);
             t.pass(t.bob, t.alice, p, t.ts + 600);
             t.chain.ledger.mine();
             t.post_owner(t.alice, t.carol, p, t.ts + 300);
         },
         "alice bob"},
        {"a pass signed on a clock five minutes slow",
         [](TitleChainSvcTest& t) {
             const std::string p = t.pair(t.alice, t.alice.key.pub, t.cert, t.ts);
             t.chain.ledger.mine();
             t.pass(t.bob, t.alice, p, t.ts - 300);
         },
         "alice bob"},
        {"a signed owner record posted alone gives the buyer nothing; the seller still passes",
         [](TitleChainSvcTest& t) {
             const std::string p = t.pair(t.alice, t.alice.key.pub, t.cert, t.ts);
             t.chain.ledger.mine();
             t.post_owner(t.alice, t.bob, p, t.ts + 60);
             t.pass(t.carol, t.alice, p, t.ts + 120);
         },
         "alice carol"},
        {"coins handed over without a record leave the title; the new holder cannot sign it on",
         [](TitleChainSvcTest& t) {
             const std::string p = t.pair(t.alice, t.alice.key.pub, t.cert, t.ts);
             const std::string plain = fake_send(t.chain, {t.art_at, t.cert_at, t.funds(t.alice)},
                                                 {t.to_address(t.bob.key.address), t.to_address(t.bob.key.address),
                                                  t.to_address(t.alice.key.address, 9000)});
             t.art_at = {plain, 0, t.bob.key};
             t.cert_at = {plain, 1, t.bob.key};
             t.pass(t.carol, t.bob, p, t.ts + 60);
         },
         "alice"},
        {"a pass that moves only the artwork",
         [](TitleChainSvcTest& t) {
             const std::string p = t.pair(t.alice, t.alice.key.pub, t.cert, t.ts);
             const json msg = t.record(t.alice, "art_owner", t.ts + 60,
                                       {{"pic", t.art}, {"cert", t.cert}, {"owner", t.bob.key.pub}, {"prev", p}});
             fake_send(t.chain, {t.art_at, t.funds(t.alice)},
                       {t.to_address(t.bob.key.address), t.to_address(kTitleWatchAddress), fake_record_output(msg),
                        t.to_address(t.alice.key.address, 9000)});
         },
         "alice"},
        // Last: alice's name is left naming another key.
        {"alice's paymail names another key after she passed it; mallory pairs later",
         [](TitleChainSvcTest& t) {
             t.pass(t.bob, t.alice, t.pair(t.alice, t.alice.key.pub, t.cert, t.ts), t.ts + 60);
             t.chain.ledger.mine();
             t.ids.set_key("alice@kestrava.net", test_key_from_byte(0x55).pub);
             clear_identity_cache();
             t.pair(t.mallory, t.mallory.key.pub, t.certificate(t.mallory, t.art), t.ts + 120);
         },
         "alice bob"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TitleChainSvcTest& t = *this;
        inscribe_artwork(row.name);
        row.act(t);
        EXPECT_EQ(owners(), row.owners);
    }
}

// Each coin follows its own path; the title moves where both paths meet, whichever coin took a hop
// of its own before, between or after the passes, mined or not.
TEST_F(TitleChainSvcTest, EachCoinFollowsItsOwnPath) {
    using T = TitleChainSvcTest;
    struct Row {
        const char* name;
        std::function<void(T&, const std::string& pair)> act;
    } rows[] = {
        {"nothing moved alone", [](T& t, const std::string& p) { t.pass(t.bob, t.alice, p, t.ts + 60); }},
        {"the artwork alone",
         [](T& t, const std::string& p) {
             t.hop(t.art_at, t.alice);
             t.pass(t.bob, t.alice, p, t.ts + 60);
         }},
        {"the certificate alone before the pass",
         [](T& t, const std::string& p) {
             t.hop(t.cert_at, t.alice);
             t.pass(t.bob, t.alice, p, t.ts + 60);
         }},
        {"both alone, certificate first",
         [](T& t, const std::string& p) {
             t.hop(t.cert_at, t.alice);
             t.chain.ledger.mine();
             t.hop(t.art_at, t.alice);
             t.pass(t.bob, t.alice, p, t.ts + 60);
         }},
        {"both hops and the pass in one block",
         [](T& t, const std::string& p) {
             t.chain.ledger.mine();
             t.hop(t.art_at, t.alice);
             t.hop(t.cert_at, t.alice);
             t.pass(t.bob, t.alice, p, t.ts + 60);
             t.chain.ledger.mine();
         }},
    };
    for (bool mined : {true, false}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (mined ? ", mined" : ", unconfirmed"));
            T& t = *this;
            inscribe_artwork(std::string(row.name) + (mined ? "m" : "u"));
            row.act(t, pair(alice, alice.key.pub, cert, ts));
            if (mined) chain.ledger.mine();
            // A later pass by bob, after the certificate took another hop of its own.
            hop(cert_at, bob);
            pass(carol, bob, art_at.txid, ts + 120);
            if (mined) chain.ledger.mine();
            EXPECT_EQ(owners(), "alice bob carol");
        }
    }
    // The honest road of a certificate inscribed by someone else and sent to the artist before the pair.
    art = fake_inscribe(chain, alice.key.hash, "image/png", kArtBytes + "sent");
    cert = certificate(carol, art);
    art_at = {art.substr(0, 64), 0, alice.key};
    cert_at = {cert.substr(0, 64), 0, carol.key};
    hop(cert_at, alice);
    pass(bob, alice, pair(alice, alice.key.pub, cert, ts), ts + 60);
    EXPECT_EQ(owners(), "alice bob");
}

// Which pair starts the title: the first in the chain, whatever time its signer wrote into it.
TEST_F(TitleChainSvcTest, FirstPairInTheChainStartsTheTitle) {
    // Mallory's back-dated pair comes after alice's on the chain; one pays only the title watch.
    pair(alice, alice.key.pub, cert, ts);
    chain.ledger.mine();
    const std::string mallory_cert = certificate(mallory, art);
    fake_post_record(
        chain, kTitleWatchAddress,
        record(mallory, "art_pair", 1000,
               {{"pic", art}, {"cert", mallory_cert}, {"sha256", sha256_hex(kArtBytes)}, {"owner", mallory.key.pub}}));
    pair(mallory, mallory.key.pub, mallory_cert, 1000);
    chain.ledger.mine();
    std::string certificate_id;
    std::vector<KvArtTitleRow> rows;
    EXPECT_EQ(art_title_chain(art, rows, &certificate_id), "");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].owner, alice.key.pub);
    EXPECT_EQ(certificate_id, cert.substr(0, 64));
}

// Two pairs in one block: the block's own order decides, not the order an index lists them in.
TEST_F(TitleChainSvcTest, PairsInOneBlockGoByTheirPlaceInIt) {
    const std::string first = pair(alice, alice.key.pub, cert, ts);
    const std::string mallory_cert = certificate(mallory, art);
    const std::string second = pair(mallory, mallory.key.pub, mallory_cert, ts - 3600);
    chain.ledger.mine();
    fake_oracle_list(chain, kTitleWatchKey, second);
    fake_oracle_list(chain, kTitleWatchKey, first);
    EXPECT_EQ(owners(), "alice");
    EXPECT_EQ(chain.woc.request_count("/v1/bsv/main/block/height/"), 1);

    // A pair still unconfirmed comes after every mined one, however early the index lists it.
    art = fake_inscribe(chain, alice.key.hash, "image/png", kArtBytes);
    pair(alice, alice.key.pub, certificate(alice, art), ts);
    chain.ledger.mine();
    fake_oracle_list(chain, kTitleWatchKey, pair(mallory, mallory.key.pub, certificate(mallory, art), ts - 7200));
    EXPECT_EQ(owners(), "alice");

    // The block's order cannot be read: the read is incomplete rather than decided by the listing.
    art = fake_inscribe(chain, alice.key.hash, "image/png", kArtBytes + "one block");
    pair(mallory, mallory.key.pub, certificate(mallory, art), ts - 3600);
    pair(alice, alice.key.pub, certificate(alice, art), ts);
    chain.ledger.mine();
    chain.woc.set_fault("/v1/bsv/main/block/", FakeFault{500});
    EXPECT_EQ(owners(), "error: the order of the artwork's pairs could not be read. Try again.");
}

// A busy block lists only its first hundred ids; the pairs stand past them and are placed through
// the block's pages. A copy of alice's pair, posted by anyone, starts the same title wherever it
// stands, and her pass that names her own pair still moves it.
TEST_F(TitleChainSvcTest, PairsInABusyBlockArePlacedThroughItsPages) {
    struct Row {
        const char* name;
        bool mallory_first; // mallory's record stands before alice's in the block
        bool copy;          // mallory posts a copy of alice's record rather than her own pair
        const char* owners;
    };
    const Row rows[] = {
        {"a copy before alice's pair", true, true, "alice bob"},
        {"a copy after alice's pair", false, true, "alice bob"},
        {"mallory's own pair first", true, false, "mallory"},
        {"mallory's own pair second", false, false, "alice bob"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        inscribe_artwork(row.name);
        const json alice_record =
            record(alice, "art_pair", ts,
                   {{"pic", art}, {"cert", cert}, {"sha256", sha256_hex(kArtBytes)}, {"owner", alice.key.pub}});
        const json mallory_record = row.copy ? alice_record
                                             : record(mallory, "art_pair", ts - 3600,
                                                      {{"pic", art},
                                                       {"cert", certificate(mallory, art)},
                                                       {"sha256", sha256_hex(kArtBytes)},
                                                       {"owner", mallory.key.pub}});
        for (int i = 0; i < 1050; ++i)
            chain.ledger.fund(carol.key.address, 1, false);
        std::string alice_pair;
        if (row.mallory_first) fake_pair_tx(chain, mallory.key, mallory_record);
        alice_pair = fake_pair_tx(chain, alice.key, alice_record);
        if (!row.mallory_first) fake_pair_tx(chain, mallory.key, mallory_record);
        chain.ledger.mine();
        pass(bob, alice, alice_pair, ts + 60);
        chain.ledger.mine();
        EXPECT_EQ(owners(), row.owners);
        restart();
        EXPECT_EQ(owners(), row.owners);
    }
}

// Strangers pay both watches before and after the pair. The first title read of a fresh process
// costs the listings and what it did not read before, not a read of every payment.
TEST_F(TitleChainSvcTest, StrangersAtTheWatchesCostAListingNotAReadOfEach) {
    struct Row {
        const char* name;
        int pair_before; // at the pair watch, between the inscription and the pair
        int pair_after;
        int title_after;
        int title_earlier; // at each watch, before the artwork
        int waiting;       // at each watch, in the mempool while the artist reads before pairing
    };
    const Row rows[] = {
        {"no strangers", 0, 0, 0, 0, 0},
        {"4,000 at the pair watch before the pair", 4000, 0, 0, 0, 0},
        {"4,000 at the pair watch after the pair", 0, 4000, 0, 0, 0},
        {"10,001 at the title watch after the pair", 0, 0, 10001, 0, 0},
        {"100,001 at each watch before the artwork", 0, 0, 0, 100001, 0},
        {"400 waiting at each watch", 0, 0, 0, 0, 400},
    };
    const auto requests = [this] { return chain.woc.request_count() + chain.platform.request_count(); };
    const auto kept_bytes = [] {
        std::size_t bytes = 0;
        const std::string dir = kestrava_data_dir() + "/registry";
        for (const std::string& name : platform_file_names(dir)) {
            std::string text;
            if (name.compare(0, 6, "watch_") == 0 && platform_read_file(dir + "/" + name, text)) bytes += text.size();
        }
        return bytes;
    };
    int none = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            chain.ledger.add_payments(watch, static_cast<std::uint64_t>(row.title_earlier));
        inscribe_artwork(row.name);
        strangers(kPairWatchAddress, row.pair_before);
        for (int i = 0; i < row.waiting; ++i)
            for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
                chain.ledger.fund(watch, 1, false);
        // The artist's program reads the watches before it pairs, the mempool's payments once.
        EXPECT_EQ(owners(), "");
        chain.woc.reset_counts();
        EXPECT_EQ(owners(), "");
        EXPECT_EQ(chain.woc.request_count("/v1/bsv/main/txs"), 0);
        const std::string p = pair(alice, alice.key.pub, cert, ts);
        chain.ledger.mine();
        strangers(kPairWatchAddress, row.pair_after);
        strangers(kTitleWatchAddress, row.title_after);
        restart();
        chain.woc.reset_counts();
        chain.platform.reset_counts();
        EXPECT_EQ(owners(), "alice");
        if (&row == rows) none = requests();
        // Payments mined between the artwork and its pair are read once, in bulk, 20 a request.
        EXPECT_LE(requests(), none + 20 + row.waiting / 10);
        RecordProperty(std::string("first_read_requests ") + row.name, requests());
        // Strangers' payments leave the kept watches no entry of their own.
        EXPECT_LE(kept_bytes(), 64u << 10);
        pass(bob, alice, p, ts + 60);
        chain.ledger.mine();
        restart();
        EXPECT_EQ(owners(), "alice bob");
        // A look-up by the artwork's id or its certificate's reads the artwork's blocks, not the watch.
        for (const std::string& id : {art, cert}) {
            restart();
            chain.woc.reset_counts();
            chain.platform.reset_counts();
            EXPECT_EQ(art_lookup_by_id(id).rfind("Live owner\r\n", 0), 0u);
            EXPECT_LE(requests(), 60 + row.pair_before / 20 + row.waiting / 10);
        }
    }
}

// Every read of one process names the owner the chain shows when the spend look-up lags what a
// watch lists (here the pass that the watch lists with the pair, in one block).
TEST_F(TitleChainSvcTest, ReadsOfOneProcessAgreeOnASpender) {
    pass(bob, alice, pair(alice, alice.key.pub, cert, ts), ts + 60);
    chain.ledger.mine();
    chain.woc.set_fault("/v1/bsv/main/tx/" + art.substr(0, 64) + "/0/spent", FakeFault{404});
    EXPECT_EQ(owners(), "alice bob");
    EXPECT_EQ(owners(), "alice bob");
    chain.woc.clear_faults();
    woc_cache_clear();
    EXPECT_EQ(owners(), "alice bob");
}

// The bulk spend status already lists the pass while the single look-up still answers "not spent":
// a gallery read (which reads the bulk status) and a look-up of the same process name one owner,
// the one the chain shows, whichever read first.
TEST_F(TitleChainSvcTest, GalleryReadAndLookUpNameOneOwnerWhileSpendAnswersDisagree) {
    const struct Row {
        const char* name;
        bool look_up_first;
    } rows[] = {{"the gallery reads first", false}, {"the look-up reads first", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        inscribe_artwork(row.name);
        pass(bob, alice, pair(alice, alice.key.pub, cert, ts), ts + 60);
        chain.ledger.mine();
        restart();
        chain.woc.set_fault("/v1/bsv/main/tx/" + art.substr(0, 64) + "/0/spent", FakeFault{404});
        if (row.look_up_first) owners();
        const KnownSpends spends = woc_bulk_spent_by({{art.substr(0, 64), 0}, {cert.substr(0, 64), 0}});
        ExhibitTitle title;
        ASSERT_EQ(exhibit_title_read(art, title, false, &spends), "");
        EXPECT_EQ(title.owner, to_lower_copy(bob.key.pub));
        EXPECT_EQ(owners(), "alice bob");
        chain.woc.clear_faults();
    }
}

// What a read remembers, in memory and on disk, belongs to the service it read.
TEST_F(TitleChainSvcTest, WhatIsRememberedBelongsToItsService) {
    pair(alice, alice.key.pub, cert, ts);
    chain.ledger.mine();
    EXPECT_EQ(owners(), "alice");
    FakeChain other;
    {
        // The other service knows no such transaction: no artwork there.
        ScopedServiceSettings at_other(settings_for(other));
        EXPECT_EQ(owners(), "error: no transaction has that id.");
        restart();
        EXPECT_EQ(owners(), "error: no transaction has that id.");
    }
    restart();
    EXPECT_EQ(owners(), "alice");
}

// A reorganisation moves alice's remembered pair past mallory's: a read that reads the watches
// afresh (the certificate check, the look-up) finds it no longer in its block and forgets it.
TEST_F(TitleChainSvcTest, APairMovedByAReorganisationIsForgotten) {
    const std::string p = pair(alice, alice.key.pub, cert, ts);
    chain.ledger.mine();
    EXPECT_EQ(owners(), "alice");
    pair(mallory, mallory.key.pub, certificate(mallory, art), ts + 60);
    chain.ledger.mine();
    ASSERT_TRUE(chain.ledger.unmine(p));
    chain.ledger.mine();
    std::vector<KvArtTitleRow> rows;
    std::string certificate_id;
    EXPECT_EQ(art_title_chain(art, rows, &certificate_id), "");
    EXPECT_EQ(owners(), "mallory");
    restart();
    EXPECT_EQ(owners(), "mallory");
}

// A pair first read in a young block is kept for the process alone; once a listing of the title
// watch shows its block final, the next read of it notes it on disk, so a restart reads it without
// listing the watch (here refused) rather than listing its whole span again.
TEST_F(TitleChainSvcTest, APairReadYoungIsNotedOnDiskOnceAListingShowsItFinal) {
    const std::string first_art = art;
    inscribe_artwork("another");
    const std::string other_art = art;
    art = first_art;
    pair(alice, alice.key.pub, cert, ts);
    chain.ledger.mine();
    EXPECT_EQ(owners(), "alice");
    for (int block = 0; block < 8; ++block)
        strangers(kTitleWatchAddress, 1);
    art = other_art;
    EXPECT_EQ(owners(), ""); // its read lists the title watch to its newest block
    art = first_art;
    EXPECT_EQ(owners(), "alice");
    restart();
    chain.woc.set_fault(std::string(kWocPrefix) + "/address/" + kTitleWatchAddress, FakeFault{500});
    EXPECT_EQ(owners(), "alice");
    chain.woc.clear_faults();
}

// A chain route seven blocks behind the address history: a pair mined a moment ago stays in the
// read as waiting, and the confirm before money finds it, never "never paired".
TEST_F(TitleChainSvcTest, AJustMinedPairIsFoundWhileTheChainRouteLags) {
    pair(alice, alice.key.pub, cert, ts);
    chain.ledger.mine();
    chain.claimed_tip = chain.ledger.tip() - 7;
    restart();
    std::vector<KvArtTitleRow> rows;
    TitlePair paired;
    EXPECT_EQ(art_title_confirm(art, rows, paired), "");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].owner, to_lower_copy(alice.key.pub));
    EXPECT_EQ(owners(), "alice");
    chain.claimed_tip = 0;
    restart();
    EXPECT_EQ(owners(), "alice");
}

TEST_F(TitleChainSvcTest, FailuresGiveTheirTexts) {
    std::vector<KvArtTitleRow> rows{KvArtTitleRow{}};
    EXPECT_EQ(art_title_chain(" \t", rows), "Pick an artwork.");
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(art_title_chain(art, rows), "");
    EXPECT_TRUE(rows.empty()) << "never paired";

    chain.platform.set_fault("/oi/oracle/", FakeFault{500});
    chain.woc.set_fault("/v1/bsv/main/address/", FakeFault{500});
    std::string certificate_id = "stale";
    EXPECT_EQ(art_title_chain(art, rows, &certificate_id), kWatchListUnread);
    EXPECT_TRUE(certificate_id.empty());
    chain.platform.clear_faults();
    chain.woc.clear_faults();
    // A history that could not be paged may hide the pair: never "not paired" as if all was seen.
    FakeFault once{500};
    once.times = 1;
    chain.woc.set_fault(std::string("/v1/bsv/main/address/") + kTitleWatchAddress + "/confirmed/history", once);
    EXPECT_EQ(art_title_chain(art, rows), kWatchListUnread);
    // WhatsOnChain asks for an hour: the read fails at once and says how long the program waits.
    // The two watches are read side by side and one request gets through: whichever watch took it,
    // the read fails and names the wait.
    chain.woc.set_rate_limit(1.0 / 3600, 1);
    const std::string paused = art_title_chain(art, rows);
    EXPECT_EQ(paused.rfind("the registry's listing could not be read", 0), 0u) << paused;
    const std::string wait = "WhatsOnChain asks to wait 90 s. Try again then.";
    EXPECT_TRUE(paused.size() > wait.size() && paused.compare(paused.size() - wait.size(), wait.size(), wait) == 0)
        << paused;
    chain.woc.set_rate_limit(0, 1);
    host_pace_forget(chain.woc.base_url());

    const std::string p = pair(alice, alice.key.pub, cert, ts);
    pass(bob, alice, p, ts + 60);
    chain.ledger.mine();
    // The coins' path cannot be read: no owner is named from half of it.
    chain.woc.set_fault("/v1/bsv/main/tx/", FakeFault{500});
    EXPECT_EQ(art_title_chain(art, rows), "the artwork's coins could not be followed. Try again.");
    EXPECT_TRUE(rows.empty());
    chain.woc.clear_faults();
    // An id no transaction has names no artwork, and an artwork whose own transaction cannot be
    // read bounds nothing: neither is answered by a read of the watches' whole history.
    restart();
    chain.woc.set_fault("/v1/bsv/main/tx/" + art.substr(0, 64), FakeFault{500});
    for (const std::string& id : {std::string(64, 'd'), art}) {
        chain.woc.reset_counts();
        chain.platform.reset_counts();
        EXPECT_EQ(art_title_chain(id, rows, &certificate_id),
                  id == art ? "the artwork's transaction could not be read. Try again."
                            : "no transaction has that id.");
        EXPECT_EQ(chain.woc.request_count("/v1/bsv/main/address/") + chain.platform.request_count("/oi/"), 0);
    }
    chain.woc.clear_faults();
}

// A coin that moved more often than the walk follows makes the title unknown, never half read.
TEST_F(TitleChainSvcTest, CoinPathLongerThanTheBoundIsAnError) {
    const std::string p = pair(alice, alice.key.pub, cert, ts);
    post_owner(alice, bob, p, ts + 60); // met nowhere on the path, so the walk goes to its end
    for (int hop = 0; hop < 401; ++hop) {
        const std::string moved = fake_send(chain, {art_at}, {to_address(alice.key.address)});
        ASSERT_FALSE(moved.empty());
        art_at = {moved, 0, alice.key};
    }
    chain.ledger.mine();
    std::vector<KvArtTitleRow> rows;
    EXPECT_EQ(art_title_chain(art, rows), "the artwork's coins moved too often to follow.");
    EXPECT_TRUE(rows.empty());
}

// Without the title watch the pair alone would name the registering owner, and the pair itself
// may not be the first: neither is named.
TEST_F(TitleChainSvcTest, UnreadableTitleWatchNamesNoStaleOwner) {
    pair(alice, alice.key.pub, cert, ts);
    chain.ledger.mine();
    chain.platform.set_fault("/oi/oracle/otx/", FakeFault{500});
    chain.woc.set_fault(std::string("/v1/bsv/main/address/") + kTitleWatchAddress, FakeFault{500});

    std::vector<KvArtTitleRow> rows;
    std::string certificate_id;
    EXPECT_EQ(art_title_chain(art, rows, &certificate_id), kWatchListUnread);
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(certificate_id.empty());
}
