#include "art/pairing.h"

#include "art/art_pass.h"
#include "art/art_records.h"
#include "art/cert_check.h"
#include "art/held_steps.h"
#include "art/ownership.h"
#include "art/title_chain.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_snapshots.h"
#include "chain/inscription.h"
#include "chain/step_holds.h"
#include "chain/step_wallet.h"
#include "chain/unsettled_inputs.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_oracle.h"
#include "fakes/fake_paymail.h"
#include "fakes/registry_fixture.h"
#include "ordinals/ord_inbox.h"
#include "ordinals/ord_listing.h"
#include "platform/fs.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using nlohmann::json;

namespace {

std::string upper_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

const std::string kArtBytes = "\x89PNG artwork bytes";

// Another process takes the file's lock, and once this process waits for it puts `whole` in the
// file's place; `read` runs meanwhile. False when that process could not run.
bool replaced_under_lock(const std::string& path, const std::string& whole, const std::function<void()>& read) {
    const std::string lock_path = path + ".lock", whole_path = path + ".whole";
    const std::string waiter = " " + std::to_string(getpid()) + " ";
    test_write_file(whole_path, whole);
    int ready[2];
    if (pipe(ready) != 0) return false;
    const pid_t other = fork();
    if (other == 0) {
        // Only calls that allocate nothing: the child of a threaded process.
        const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT, 0644);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLKW, &lock) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
        static char locks[1 << 16];
        for (int tries = 0; tries < 10000; ++tries) {
            const int list = open("/proc/locks", O_RDONLY);
            const ssize_t got = list < 0 ? -1 : ::read(list, locks, sizeof locks - 1);
            if (list >= 0) close(list);
            locks[got > 0 ? got : 0] = '\0';
            bool waiting = false;
            for (char* line = locks; line && *line && !waiting;) {
                char* end = strchr(line, '\n');
                if (end) *end = '\0';
                waiting = strstr(line, "->") && strstr(line, waiter.c_str());
                line = end ? end + 1 : nullptr;
            }
            if (waiting) break;
            usleep(1000);
        }
        _exit(rename(whole_path.c_str(), path.c_str()) == 0 ? 0 : 1);
    }
    close(ready[1]);
    char byte = 0;
    const bool locked = other > 0 && ::read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (locked) read();
    int status = 1;
    if (other > 0) waitpid(other, &status, 0);
    return locked && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct PairingTest : FakeIdentityTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings gp_settings{settings_for(chain, gp)};
    Hash160 ord_hash{};
    std::string identity;
    std::string art, cert;

    PairingTest() {
        clear_token_outpoint_memory();
        write_test_wallet_file("w1");
        EXPECT_TRUE(load_wallet_id("w1"));
        {
            WalletLock lock = lock_wallet();
            kv_wallet().paymail = "alice";
            identity = kv_wallet().identity_pub;
            ord_hash = test_hash_of(derive_ordinals_key());
            chain.ledger.fund(kv_wallet().address, 1000000);
        }
        ids.set_key("alice@kestrava.net", identity);
        art = inscribe("image/png", kArtBytes);
        cert = certificate(art, sha256_hex(kArtBytes), identity);
    }
    ~PairingTest() override { clear_token_outpoint_memory(); }

    std::string inscribe(const std::string& type, const std::string& body) {
        return fake_inscribe(chain, ord_hash, type, body);
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
    std::string certificate(const std::string& pic, const std::string& sha, const std::string& artist) {
        return inscribe("application/json", json{{"pic", pic}, {"sha256", sha}, {"artist", artist}}.dump());
    }
    // Pairs while the platform holds the pair, answering `status` (0: as it does); `meanwhile`
    // runs while it waits.
    std::string pair_while(const std::function<void()>& meanwhile, int status) {
        FakeFault held;
        held.status = status;
        held.gather = 2;
        chain.platform.reset_counts();
        chain.platform.set_fault("/oi/submit", held);
        std::thread window([&] {
            if (eventually([&] { return chain.platform.request_count("POST", "/oi/submit") > 0; })) meanwhile();
            chain.platform.release_held();
        });
        const std::string result = art_pair_artwork(art, cert);
        window.join();
        chain.platform.clear_faults();
        return result;
    }
    // The user unbinds as the window does, then connects `other` ("": none), while the pair goes
    // out; back in this wallet after the answer.
    std::string pair_while_switched(const std::string& other, int status) {
        const std::string result = pair_while(
            [&] {
                // The window's Unbind and Connect say what they wait for.
                EXPECT_EQ(step_going_out_text(), "A pairing is going out. Unbind or Connect once it is answered.");
                WalletLock lock = lock_wallet();
                disconnect_cofferly();
                kv_wallet().wallet_id = other;
                if (!other.empty()) load_wallet();
            },
            status);
        EXPECT_EQ(step_going_out_text(), "");
        become("w1", "alice");
        return result;
    }
};

} // namespace

TEST_F(PairingTest, StopsBeforeSpendingAtEachCheck) {
    const std::string stranger = chain.ledger.fund("1BoatSLRHtKNngkdXEeobR76b6LuMRTQW", 1) + "_0";
    const std::string other_artist = certificate(art, sha256_hex(kArtBytes), "02" + std::string(64, '9'));
    const std::string bare_pic = certificate(art.substr(0, 64), sha256_hex(kArtBytes), identity);
    const std::string short_sha = certificate(art, sha256_hex(kArtBytes).substr(1), identity);
    const std::string wrong_hash = certificate(art, sha256_hex(kArtBytes + "!"), identity);
    const std::string not_json = inscribe("application/json", "[1,2]");
    struct Row {
        std::string artwork, certificate;
        const char* result;
        bool index_down = false;
        bool unbind = false; // the user unbinds while the wallet's coins are listed
    } rows[] = {
        {art, cert, "error: could not read which coins this wallet holds. Try again in a moment.", true},
        {art, cert, "error: the wallet was unbound or changed before the pair went out. Nothing was sent.", false,
         true},
        {art, "", "error: pick an artwork and a different certificate."},
        {art, " " + art + " ", "error: pick an artwork and a different certificate."},
        {art, stranger, "error: this wallet must hold both the artwork and the certificate."},
        {art, not_json, "error: that inscription is not a certificate"},
        {art, bare_pic, "error: that certificate does not name this artwork."},
        {art, short_sha, "error: that certificate does not name this artwork."},
        {art, other_artist, "error: that certificate was not minted by this identity."},
        {art, wrong_hash, "error: the artwork bytes do not match the certificate hash."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.certificate);
        if (row.index_down) gp.server.set_fault("/api/txos/address/", FakeFault{500});
        FakeFault held;
        held.gather = 1000; // until the window has unbound
        if (row.unbind) gp.server.set_fault("/api/txos/address/", held);
        std::thread window([&] {
            if (row.unbind && eventually([&] { return gp.server.request_count("/api/txos/address/") > 0; })) {
                WalletLock lock = lock_wallet();
                disconnect_cofferly();
                kv_wallet().wallet_id = "";
            }
            gp.server.release_held();
        });
        EXPECT_EQ(art_pair_artwork(row.artwork, row.certificate), row.result);
        window.join();
        gp.server.clear_faults();
        if (row.unbind) become("w1", "alice");
    }
    EXPECT_TRUE(chain.ledger.mempool_txids().empty());
}

// The guard refuses exactly where the walk would not start the title with this pair: mallory's
// earlier pair of the bare artwork id starts it; his pair naming alice as owner starts nothing.
TEST_F(PairingTest, PairsWhereTheWalkStartsTheTitleWithIt) {
    const TestKey mallory = test_key_from_byte(0x44);
    for (const bool bare_id : {true, false}) {
        SCOPED_TRACE(bare_id);
        art = inscribe("image/png", kArtBytes + std::to_string(bare_id));
        cert = certificate(art, sha256_hex(kArtBytes + std::to_string(bare_id)), identity);
        const json fields = {{"pic", bare_id ? art.substr(0, 64) : art}, {"owner", bare_id ? mallory.pub : identity}};
        fake_pair_tx(chain, mallory,
                     fake_signed_record(fake_art_record("art_pair", "mallory", 1767225600, fields), 0x44));
        chain.ledger.mine();
        const std::string result = art_pair_artwork(art, cert);
        EXPECT_EQ(result.rfind(bare_id ? "error: that artwork is already paired." : "success: ", 0), 0u) << result;
        std::vector<KvArtTitleRow> title;
        EXPECT_EQ(art_title_chain(art, title), "");
        ASSERT_EQ(title.size(), 1u);
        EXPECT_EQ(title[0].owner, bare_id ? mallory.pub : identity);
    }
}

// A pair whose sending is not known holds the pairing of that artwork, on disk, in every process
// and after a restart, until the services show it never went out; then it may be tried again.
TEST_F(PairingTest, APairOfUnknownFateIsHeldUntilItsFateIsKnown) {
    const char* const kWait =
        "error: the last pair of this artwork is not known to have been sent yet. Wait a few minutes and Refresh.";
    const char* const kAllHeld = "error: the list of held steps was damaged; it is kept aside. No step that pays goes "
                                 "out until a Refresh has settled every payment whose fate is not known. Refresh, "
                                 "then try again.";
    const char* const kUnwritten = "error: the hold of a step that paid could not be written to the list of held "
                                   "steps. Every step that pays waits until it is: check that the data folder can be "
                                   "written, then try again.";
    enum File { intact, cut_short, behind_sent_rows, dated_before_time, unwritable, replaced_while_read };
    struct Row {
        const char* name;
        bool restart; // the second try comes from a fresh start on the same data folder
        bool lagging; // the services do not list the pair that went out at last
        File file = intact;
        const char* switched_to = nullptr; // each pair goes out while this wallet ("": none) is loaded
    } rows[] = {
        {"the steps file cut short in place", false, false, cut_short},
        {"the steps file with a row dated before time", true, false, dated_before_time},
        {"held behind a thousand steps sent today", false, false, behind_sent_rows},
        {"tried again at once", false, false},
        {"tried again after a restart", true, true},
        {"the hold could not be written", false, false, unwritable},
        {"the steps file replaced whole while read", false, false, replaced_while_read},
        {"answered while another wallet is loaded", false, true, intact, "w2"},
        {"answered after Unbind, then Connect", false, true, intact, ""},
    };
    test_write_file(wallet_file_path_for_id("w2"),
                    json{{"mnemonic", "legal winner thank year wave sausage worth useful legal winner thank yellow"},
                         {"recv", {0, 0, 0, 0, 0, 0}}}
                        .dump());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        art = inscribe("image/png", kArtBytes + row.name);
        cert = certificate(art, sha256_hex(kArtBytes + row.name), identity);
        std::string steps_path;
        {
            WalletLock lock = lock_wallet();
            steps_path = step_holds_path();
            chain.ledger.fund(kv_wallet().address, 300000); // each pair that goes out pays its fee
        }
        if (row.file == behind_sent_rows) {
            json sent_rows = json::array();
            for (int i = 0; i < 1000; ++i)
                sent_rows.push_back({{"step", "pass"},
                                     {"subject", std::to_string(i)},
                                     {"txid", std::string(64, 'a')},
                                     {"at", clock.system_ms},
                                     {"sent", true}});
            test_write_file(steps_path, json{{"steps", sent_rows}}.dump());
        }
        // Every service fails, but WhatsOnChain answers as if it took something: it may be out.
        chain.platform.set_fault("/oi/submit", FakeFault{503});
        chain.arc.set_fault("/v1/tx", FakeFault{500});
        FakeFault garbled;
        garbled.bad_json = true;
        chain.woc.set_fault("/v1/bsv/main/tx/raw", garbled);
        // The data folder cannot be written once the pair went out.
        const std::string snap = steps_path.substr(0, steps_path.find_last_of('/'));
        const auto block_folder = [&] {
            ASSERT_EQ(std::rename(snap.c_str(), (snap + ".away").c_str()), 0);
            test_write_file(snap, "not a folder");
        };
        const std::string first = row.switched_to          ? pair_while_switched(row.switched_to, 503)
                                  : row.file == unwritable ? pair_while(block_folder, 503)
                                                           : art_pair_artwork(art, cert);
        std::string txid;
        ASSERT_TRUE(not_known_if_sent_txid(first, txid)) << first;
        chain.platform.clear_faults();
        chain.arc.clear_faults();
        chain.woc.clear_faults();
        if (row.file == cut_short) {
            const std::string text = test_read_file(steps_path);
            test_write_file(steps_path, text.substr(0, text.size() / 2));
        } else if (row.file == dated_before_time) {
            json doc = json::parse(test_read_file(steps_path));
            doc["steps"].push_back({{"step", "pair"},
                                    {"subject", cert},
                                    {"txid", std::string(64, 'b')},
                                    {"at", std::numeric_limits<std::int64_t>::min()},
                                    {"sent", true}});
            test_write_file(steps_path, doc.dump());
        }
        const bool damaged = row.file == cut_short || row.file == dated_before_time;
        const char* const kSetAside = "error: the list of held steps was damaged; it is kept aside and a new one "
                                      "started. No step that pays goes out until a Refresh has settled every payment "
                                      "whose fate is not known.";
        std::string told_at_start;
        if (row.restart) {
            become("w1", "alice");
            // A file damaged while the program was closed is told by the start's own read.
            told_at_start = take_steps_file_notice();
            EXPECT_EQ(told_at_start, damaged ? kSetAside : "");
        }
        const std::size_t sent_before = chain.ledger.mempool_txids().size();
        std::string why;
        if (row.file == replaced_while_read) {
            // Seen cut short outside the lock, whole under it: nothing is damaged.
            const std::string whole = test_read_file(steps_path);
            test_write_file(steps_path, whole.substr(0, whole.size() / 2));
            ASSERT_TRUE(replaced_under_lock(steps_path, whole, [&] { EXPECT_TRUE(step_held("pair", art, why)); }));
            EXPECT_EQ(why, kWait);
        }
        EXPECT_TRUE(step_held("pair", art, why));
        EXPECT_EQ(why, row.file == unwritable ? kUnwritten : damaged ? kAllHeld : kWait);
        EXPECT_EQ(told_at_start + take_steps_file_notice(), damaged ? kSetAside : "");
        EXPECT_TRUE(step_held("pair", upper_case(art.substr(0, 64)), why)) << "the window's spelling of the same id";
        EXPECT_EQ(step_held("pair", cert, why), damaged || row.file == unwritable)
            << "another artwork's pairing is held only by a file that does not read or take the hold";
        EXPECT_EQ(art_pair_artwork(art, cert), row.file == unwritable ? kUnwritten : damaged ? kAllHeld : kWait);
        EXPECT_EQ(chain.ledger.mempool_txids().size(), sent_before) << "the pair fee is not paid twice";
        if (row.file == unwritable) {
            platform_remove_file(snap);
            ASSERT_EQ(std::rename((snap + ".away").c_str(), snap.c_str()), 0);
            EXPECT_TRUE(step_held("pair", art, why));
            EXPECT_EQ(why, kWait) << "written once the folder takes it";
        }

        // No service knows it after the hold: its coins come back and the pairing may run again.
        clock.advance(kUnsettledMinMs);
        {
            WalletLock lock = lock_wallet();
            std::string error;
            ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        }
        EXPECT_FALSE(step_held("pair", art, why));
        // Sent, and not in the title yet while the services lag: a third pair would pay for nothing.
        chain.ledger.set_lag(row.lagging ? 1000 : 0);
        const std::string again =
            row.switched_to ? pair_while_switched(row.switched_to, 0) : art_pair_artwork(art, cert);
        EXPECT_EQ(again.rfind("success: ", 0), 0u) << again;
        if (row.switched_to) {
            WalletLock lock = lock_wallet();
            load_change_coins();
            EXPECT_TRUE(std::any_of(change_coins().begin(), change_coins().end(), [&](const ChangeCoin& coin) {
                return "success: " + coin.txid == again;
            })) << "its change is this wallet's";
        }
        chain.ledger.set_lag(0);
        chain.ledger.mine();
        EXPECT_EQ(art_pair_artwork(art, cert),
                  row.lagging ? "error: the last pair of this artwork went out and is not in its title yet. Wait a few "
                                "minutes and Refresh."
                              : "error: that artwork is already paired.");
    }
}

// The artist pairs right after inscribing, the artwork and its certificate still in the mempool:
// no pair can stand before the artwork's block, so the watches are read from the block after the
// tip on, whatever strangers paid them before.
TEST_F(PairingTest, PairsAnArtworkStillWaitingAtTheCostOfTheNewestBlocks) {
    const struct Row {
        const char* name;
        std::uint64_t strangers; // at each watch, in the blocks before the artwork
    } rows[] = {{"no strangers", 0}, {"2,000 at each watch", 2000}};
    Bytes script;
    int none = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            chain.ledger.add_payments(watch, row.strangers);
        const std::string bytes = kArtBytes + row.name;
        const auto waiting = [&](const std::string& type, const std::string& body) {
            script = build_inscription_script(ord_hash, type, Bytes(body.begin(), body.end()), "", "");
            return chain.ledger.fund_outputs({{script, 1}}, false) + "_0";
        };
        art = waiting("image/png", bytes);
        cert =
            waiting("application/json", json{{"pic", art}, {"sha256", sha256_hex(bytes)}, {"artist", identity}}.dump());
        title_memory_forget();
        chain.woc.reset_counts();
        const std::string result = art_pair_artwork(art, cert);
        EXPECT_EQ(result.rfind("success: ", 0), 0u) << result;
        // Strangers' payments before the artwork cost nothing.
        if (&row == rows) none = chain.woc.request_count();
        EXPECT_LE(chain.woc.request_count(), 16);
        EXPECT_LE(chain.woc.request_count(), none);
        chain.ledger.mine();
    }
}

TEST_F(PairingTest, PairsOnceThenTheCheckFindsThePairOnThisIdentity) {
    const std::string result = art_pair_artwork(" " + art + " ", cert);
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    const std::string txid = result.substr(9);
    // The window greys Pair on this program's own pair after a restart, before any read.
    title_memory_forget();
    EXPECT_TRUE(title_pair_known(upper_case(art.substr(0, 64))));

    const PairInfo info = art_check_certificate(cert);
    EXPECT_EQ(info.pair_found, 1) << info.message;
    EXPECT_EQ(info.pair_txid, txid);
    EXPECT_EQ(info.holds_artwork, 1);
    EXPECT_EQ(info.holds_certificate, 1);
    EXPECT_EQ(info.title_is_mine, 1);
    EXPECT_EQ(info.owner, identity);
    EXPECT_EQ(info.owner_label, "alice");
    EXPECT_EQ(info.message, "Pair matches " + txid + ". This wallet holds both coins. Title names this identity.");

    const PairInfo by_art = art_check_artwork(art);
    EXPECT_EQ(by_art.pair_txid, txid);
    EXPECT_EQ(by_art.certificate_id, cert);

    const std::string second = certificate(art, sha256_hex(kArtBytes), identity);
    EXPECT_FALSE(title_pair_known(second));
    EXPECT_EQ(art_pair_artwork(art, second), "error: that artwork is already paired.");
    // The window greys Pair on what the chain showed, not on the row of this program's pair, which
    // the refusal ended: for the pair still waiting, and once mined after a restart.
    std::string why;
    EXPECT_FALSE(step_held("pair", art, why));
    EXPECT_TRUE(title_pair_known(art));
    chain.ledger.mine();
    EXPECT_EQ(art_pair_artwork(art, second), "error: that artwork is already paired.");
    title_memory_forget();
    EXPECT_TRUE(title_pair_known(upper_case(art.substr(0, 64))));

    // A title that cannot be read never counts as this wallet's.
    chain.platform.set_fault("/oi/oracle/otx/", FakeFault{500});
    chain.woc.set_fault(std::string("/v1/bsv/main/address/") + kTitleWatchAddress, FakeFault{500});
    const PairInfo unread = art_check_certificate(cert);
    EXPECT_EQ(unread.pair_found, 0) << "an earlier pair may be among what was not read";
    EXPECT_EQ(unread.title_is_mine, 0);
    EXPECT_EQ(unread.message, "the registry's listing could not be read. Try again.");
}

TEST_F(PairingTest, CheckStopsWithItsTexts) {
    const std::string no_pic = certificate("", sha256_hex(kArtBytes), identity);
    struct Row {
        std::string certificate;
        const char* message;
    } rows[] = {
        {" ", "Pick a certificate."},
        {no_pic, "That inscription is not a certificate."},
        {cert, "No signed ZUZ pair matches this certificate and artwork."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.certificate);
        const PairInfo info = art_check_certificate(row.certificate);
        EXPECT_EQ(info.message, row.message);
        EXPECT_EQ(info.pair_found, 0);
    }
    const PairInfo held = art_check_certificate(cert);
    EXPECT_EQ(held.holds_artwork + held.holds_certificate, 2);
    const PairInfo by_art = art_check_artwork(" " + art);
    EXPECT_EQ(by_art.message, "No signed pair for this artwork.");
    EXPECT_EQ(by_art.artwork_id, art);
}

// Two wallets of the program and mallory. Alice pairs; mallory's later pair of a certificate of his
// own changes neither the check nor the pass; a paymail of another domain is refused; alice's pass,
// signed on a clock five minutes slow, gives bob the title, and bob passes it back.
TEST_F(PairingTest, PairPassAndPassBackBetweenTwoWallets) {
    const std::string paired = art_pair_artwork(art, cert);
    ASSERT_EQ(paired.rfind("success: ", 0), 0u) << paired;
    chain.ledger.mine();

    const TestKey mallory = test_key_from_byte(0x44);
    ids.set_key("mallory@kestrava.net", mallory.pub);
    const std::string forged = fake_inscribe(
        chain, mallory.hash, "application/json",
        json{{"pic", art}, {"sha256", sha256_hex(kArtBytes)}, {"artist", mallory.pub}, {"title", "FORGED TITLE"}}
            .dump());
    ASSERT_FALSE(fake_pair_tx(chain, mallory,
                              fake_signed_record(fake_art_record("art_pair", "mallory", 1767225700,
                                                                 {{"pic", art},
                                                                  {"cert", forged},
                                                                  {"sha256", sha256_hex(kArtBytes)},
                                                                  {"owner", mallory.pub}}),
                                                 0x44))
                     .empty());
    chain.ledger.mine();
    const PairInfo check = art_check_artwork(art);
    EXPECT_EQ(check.certificate_id, cert) << check.message;
    EXPECT_EQ(check.pair_txid, paired.substr(9));
    EXPECT_EQ(check.title_is_mine, 1) << check.message;
    EXPECT_EQ(art_check_certificate(forged).message, "No signed ZUZ pair matches this certificate and artwork.");

    // Bob's wallet, and where each finds the other.
    std::string alice_ord, bob_ord, bob_identity;
    {
        WalletLock lock = lock_wallet();
        alice_ord = derive_ordinals_key();
    }
    test_write_file(wallet_file_path_for_id("w2"),
                    json{{"mnemonic", "legal winner thank year wave sausage worth useful legal winner thank yellow"},
                         {"recv", {0, 0, 0, 0, 0, 0}}}
                        .dump());
    bob_identity = become("w2", "bob");
    {
        WalletLock lock = lock_wallet();
        bob_ord = derive_ordinals_key();
        chain.ledger.fund(kv_wallet().address, 1000000);
    }
    ASSERT_NE(bob_identity, identity);
    FakePaymail paymail;
    serve_fake_paymail(chain.platform, paymail);
    paymail.set(&FakePaymailTables::address, "bob@kestrava.net", json_reply({{"ordAddress", bob_ord}}));
    paymail.set(&FakePaymailTables::address, "alice@kestrava.net", json_reply({{"ordAddress", alice_ord}}));

    become("w1", "alice");
    chain.woc.reset_counts();
    EXPECT_EQ(art_pass_to_paymail(art, "bob@elsewhere.example"),
              "error: use their handle or an @kestrava.net paymail.");
    EXPECT_EQ(
        art_pass_to_paymail(art, bob_ord),
        "error: an address names no identity to pass the title to: use their handle or an @kestrava.net paymail.");
    EXPECT_EQ(chain.woc.request_count(), 0) << "refused before the title is read";
    EXPECT_TRUE(chain.ledger.mempool_txids().empty());
    {
        std::lock_guard<std::mutex> lock(clock.mutex);
        clock.system_ms -= 300000;
    }
    const std::string to_bob = art_pass_to_paymail(" " + art + " ", "bob@Kestrava.net");
    ASSERT_EQ(to_bob.rfind("success: ", 0), 0u) << to_bob;
    chain.ledger.mine();
    for (std::uint32_t vout : {0u, 1u}) {
        LedgerOutput out;
        ASSERT_TRUE(chain.ledger.find_output(to_bob.substr(9, 64), vout, out));
        EXPECT_EQ(out.script, p2pkh_script(test_hash_of(bob_ord)));
    }
    // Bob's inbox tells what each coin is, as a pass from the wallet's listing does.
    const json inbox = json::parse(test_read_file(ord_inbox_path(test_hash_of(bob_ord))));
    for (const std::pair<std::string, std::string>& coin :
         {std::pair<std::string, std::string>{art, "image/png"}, {cert, "application/json"}}) {
        const auto entry =
            std::find_if(inbox.begin(), inbox.end(), [&](const json& e) { return e["origin"] == coin.first; });
        ASSERT_NE(entry, inbox.end()) << coin.first;
        EXPECT_EQ((*entry)["type"], coin.second) << coin.first;
    }
    std::vector<KvArtTitleRow> rows;
    EXPECT_EQ(art_title_chain(art, rows), "");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_LT(rows[1].ts, rows[0].ts) << "signed on the slow clock";
    EXPECT_EQ(rows[1].owner, bob_identity);
    EXPECT_EQ(art_pass_to_paymail(art, "bob"), "error: title is not this identity. This app will not pass it.");

    become("w2", "bob");
    chain.woc.reset_counts();
    const std::string back = art_pass_to_paymail(art, "alice");
    ASSERT_EQ(back.rfind("success: ", 0), 0u) << back;
    // The pass sends the coins the title read just followed: no listing of the wallet, and no
    // transaction or spend of the path asked for twice.
    EXPECT_LE(chain.woc.request_count(), 8);
    chain.ledger.mine();
    EXPECT_EQ(art_title_chain(art, rows), "");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].owner, identity);

    // The report and the look-up by either id show the pair's own certificate.
    const std::string report = art_ownership_report(art);
    EXPECT_NE(report.find("\r\nCertificate\r\n" + cert.substr(0, 64) + "\r\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("FORGED"), std::string::npos) << report;
    EXPECT_NE(report.find("Current owner\r\n"), std::string::npos) << report;
    chain.woc.reset_counts();
    EXPECT_EQ(art_lookup_by_id(cert), report);
    // One title read of the artwork, and the frames listed in one request for the last sale.
    EXPECT_LE(chain.woc.request_count(), 6);
    EXPECT_EQ(art_lookup_by_id(art), report);
}
