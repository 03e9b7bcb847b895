// What one Refresh, and a Connect followed by it, asks of WhatsOnChain for a fresh wallet, counted
// through the jobs the window runs for them.
#include "art/art_records.h"
#include "art/window_reads.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "support/wallet_fixture.h"
#include "wallet/connect.h"
#include "wallet/host_pace.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

struct RefreshBudgetTest : FakeChainTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings with_gp{settings_for(chain, gp)};

    RefreshBudgetTest() {
        write_test_wallet_file("budget");
        load_wallet_id("budget");
        chain.ledger.fund(test_receive_key(0).address, 50000);
        limit_woc_to_free_rate(chain);
    }
    ~RefreshBudgetTest() override { drop_platform_session(); }

    std::map<std::string, std::string> certs; // artwork -> its certificate

    // How an owner who pairs and hangs at once pays for the hanging: from a coin of its own, or
    // from the pair's change (as a wallet left with that one coin does); or hangs first and pays
    // the pair from the hanging's change.
    enum class AtOnce { no, own_coin, pair_change, hanging_first };

    // An artist of its own (numbered as the frame, or past 10; past 50, 60 or 80 when at once)
    // pairs an artwork and, unless `hung` is false, hangs it in the frame once the pair is mined,
    // or at once: both wait together and are mined in one block, the pair first unless the
    // hanging is. The artwork's origin.
    std::string hang(std::int32_t spot, bool hung = true, AtOnce at_once = AtOnce::no) {
        const int offset = at_once == AtOnce::no            ? 0
                           : at_once == AtOnce::own_coin    ? 50
                           : at_once == AtOnce::pair_change ? 60
                                                            : 80;
        const auto fill = static_cast<std::uint8_t>(0x30 + spot + offset);
        const TestKey artist = test_key_from_byte(fill);
        const std::string owner = json_identity_pubkey(fake_signed_record(json::object(), fill));
        const std::string art = fake_inscribe(chain, artist.hash, "image/png", "art " + std::to_string(spot));
        const std::string cert = fake_inscribe(chain, artist.hash, "application/json", "{}");
        certs[art] = cert;
        const json terms = {{"pic", art}, {"cert", cert}, {"sha256", std::string(64, 'e')}};
        json pair = fake_art_record("art_pair", "artist", 50, terms);
        pair["owner"] = owner;
        json show = fake_art_record("art_show", "artist", 100, terms);
        show["spot"] = spot_label(spot);
        show["price"] = "1000";
        show["pay_addr"] = artist.address;
        const TxOutput shown = fake_record_output(fake_signed_record(show, fill));
        const auto pay = [](const std::string& address, std::uint64_t sats) {
            Hash160 hash{};
            EXPECT_TRUE(address_to_hash160(address, hash));
            return TxOutput{sats, p2pkh_script(hash)};
        };
        if (at_once == AtOnce::hanging_first) {
            const std::string show_txid = fake_send(chain, {{chain.ledger.fund(artist.address, 10000), 0, artist}},
                                                    {pay(spot_row(spot).watch, 1), shown, pay(artist.address, 9000)});
            fake_send(chain, {{show_txid, 2, artist}},
                      {pay(kPairWatchAddress, 1), pay(kTitleWatchAddress, 1),
                       fake_record_output(fake_signed_record(pair, fill)), pay(artist.address, 8000)});
        } else {
            const std::string pair_txid = fake_pair_tx(chain, artist, fake_signed_record(pair, fill));
            if (at_once == AtOnce::no) chain.ledger.mine();
            if (!hung) return art;
            if (at_once == AtOnce::pair_change)
                fake_send(chain, {{pair_txid, 3, artist}},
                          {pay(spot_row(spot).watch, 1), shown, pay(artist.address, 8000)});
            else
                fake_post_record(chain, spot_row(spot).watch, fake_signed_record(show, fill), 1, at_once == AtOnce::no);
        }
        if (at_once != AtOnce::no) chain.ledger.mine();
        return art;
    }

    // A stranger hangs in the frame an id that names no transaction, a few satoshis a time.
    void hang_unpaired(std::int32_t spot, int n) {
        const json terms = {{"pic", std::string(60, 'b') + "0dd" + std::to_string(n % 10) + "_0"},
                            {"cert", std::string(64, 'c')},
                            {"sha256", std::string(64, 'e')}};
        json show = fake_art_record("art_show", "stranger", 200 + n, terms);
        show["spot"] = spot_label(spot);
        show["price"] = "1000";
        show["pay_addr"] = test_key_from_byte(0x77).address;
        fake_post_record(chain, spot_row(spot).watch, fake_signed_record(show, 0x77));
        chain.ledger.mine();
    }

    // A stranger hangs in the frame an artwork someone else paired, naming its coins.
    void hang_others(std::int32_t spot, const std::string& art) {
        const json terms = {{"pic", art}, {"cert", certs[art]}, {"sha256", std::string(64, 'e')}};
        json show = fake_art_record("art_show", "stranger", 300, terms);
        show["spot"] = spot_label(spot);
        show["price"] = "1";
        show["pay_addr"] = test_key_from_byte(0x77).address;
        fake_post_record(chain, spot_row(spot).watch, fake_signed_record(show, 0x77));
    }

    // The Refresh button's jobs as the window runs them: the balance beside the art rows, then
    // the gallery once the rows are in. The frames on show; `pics` the artwork each shows, or "".
    std::vector<std::string> pics;
    int refresh() {
        std::int64_t sats = 0;
        std::thread balance([&sats] { read_window_balance(sats); });
        std::vector<KvCofferlyOrdRow> rows;
        bool index_read = false;
        read_art_rows(rows, index_read);
        std::vector<SpotLoad> spots;
        std::set<std::string> closed;
        read_gallery(spots, closed);
        balance.join();
        EXPECT_EQ(spots.size(), 10u);
        pics.clear();
        for (const SpotLoad& spot : spots)
            pics.push_back(spot.shown ? spot.pic : "");
        return static_cast<int>(std::count_if(spots.begin(), spots.end(), [](const SpotLoad& s) { return s.shown; }));
    }
};

} // namespace

TEST_F(RefreshBudgetTest, RefreshAndConnectStayWithinTheirWhatsOnChainBudget) {
    const std::string woc = kWocPrefix;
    chain.woc.reset_counts();
    refresh();
    EXPECT_LE(chain.woc.request_count(), 15);
    // Paced to the service's rate, on few connections.
    EXPECT_EQ(chain.woc.rate_limited_count(), 0);
    EXPECT_LE(chain.woc.connection_count(), 2);
    // Every watch address's history comes in one bulk request, not three each: one for the
    // wallet's addresses, one for the ten frames.
    EXPECT_EQ(chain.woc.request_count("POST", woc + "/addresses/history/all"), 2);
    for (const std::string& address : {test_receive_key(1).address, std::string(spot_row(3).watch)})
        EXPECT_EQ(chain.woc.request_count("GET", woc + "/address/" + address), 0) << address;

    // A restart straight after, as a new process: the run before filled the service's last second.
    reset_chain_session_for_tests();
    load_wallet_id("budget");
    host_pace_start_run();
    refresh();
    EXPECT_EQ(chain.woc.rate_limited_count(), 0) << "a restart keeps to the service's rate";

    reset_chain_session_for_tests();
    load_wallet_id("budget");
    WalletBinding binding = wallet_binding();
    binding.app_name = "Corvane";
    binding.instance_key = data_dir.root + "/Corvane";
    binding.app_mode = true;
    set_wallet_binding(binding);
    chain.woc.reset_counts();
    ASSERT_EQ(connect_cofferly(), "success");
    refresh();
    EXPECT_LE(chain.woc.request_count(), 25);
    EXPECT_EQ(chain.woc.rate_limited_count(), 0);
}

// A gallery with hangings, each by an artist of its own: the frames' title reads share the watch
// listings and their records, and the hangings' coins, their transactions and their certificates
// are asked about together. Hangings of ids that name no transaction cost the read nothing at
// WhatsOnChain beyond the bulk reads every hanging shares.
TEST_F(RefreshBudgetTest, RefreshWithHangingsOnShowStaysWithinItsWhatsOnChainBudget) {
    struct Row {
        std::int32_t hangings, unpaired;
        int first, later;
        // Hangings of the other frames' artworks a stranger adds to each frame; their pairs, in
        // blocks that may still change, are listed again at each Refresh.
        int others = 0;
        // Then ten artists hang anew, each pairing and hanging at once. Paid from a coin of its own,
        // the first Refresh reads the order of each of the ten blocks once; paid from the pair's
        // change, the hanging's transaction shows the pair before it, as a pair a block earlier;
        // a pair paid from the hanging's change shows it after the hanging, which does not count.
        AtOnce at_once = AtOnce::no;
    };
    std::int32_t hung = 0;
    std::string first_art;
    std::vector<std::pair<std::string, std::uint8_t>> frame1_at_once; // artwork, its artist's key byte
    std::vector<std::string> arts, on_show(10);
    for (const Row& row : {Row{1, 0, 25, 15}, Row{1, 7, 20, 10}, Row{10, 0, 25, 15}, Row{10, 0, 50, 26, 3},
                           Row{10, 0, 26, 15, 0, AtOnce::own_coin}, Row{10, 0, 16, 10, 0, AtOnce::pair_change},
                           Row{10, 0, 42, 14, 0, AtOnce::hanging_first}}) {
        SCOPED_TRACE(::testing::Message()
                     << row.hangings << " hung, " << row.unpaired << " unpaired, " << row.others
                     << " of others' in each frame"
                     << (row.at_once == AtOnce::own_coin        ? ", then at once on a coin of its own"
                         : row.at_once == AtOnce::pair_change   ? ", then at once on the pair's change"
                         : row.at_once == AtOnce::hanging_first ? ", then at once, the hanging first"
                                                                : ""));
        while (hung < row.hangings) {
            const std::string art = hang(++hung);
            arts.push_back(art);
            on_show[hung - 1] = art.substr(0, 64);
            if (first_art.empty()) first_art = art;
        }
        for (std::int32_t spot = 1; spot <= row.hangings && row.at_once != AtOnce::no; ++spot) {
            const std::string art = hang(spot, true, row.at_once).substr(0, 64);
            if (row.at_once != AtOnce::hanging_first) on_show[spot - 1] = art;
        }
        if (row.at_once == AtOnce::own_coin || row.at_once == AtOnce::pair_change)
            frame1_at_once.emplace_back(on_show[0], row.at_once == AtOnce::own_coin ? 0x31 + 50 : 0x31 + 60);
        for (int n = 0; n < row.unpaired; ++n)
            hang_unpaired(hung + 1 + n % 5, n);
        for (std::int32_t spot = 1; spot <= row.hangings && row.others > 0; ++spot)
            for (int n = 0; n < row.others; ++n)
                hang_others(spot, hang(10 + (spot - 1) * row.others + n + 1, false));
        chain.ledger.mine();
        std::vector<std::string> expected(on_show.begin(), on_show.begin() + row.hangings);
        expected.resize(10);
        // The first Refresh of a process remembers nothing read before.
        reset_chain_session_for_tests();
        load_wallet_id("budget");
        chain.woc.reset_counts();
        // The frames' blocks are read side by side: each is read once all the same.
        const std::string blocks = std::string(kWocPrefix) + "/block/height/";
        EXPECT_EQ(refresh(), row.hangings);
        EXPECT_EQ(pics, expected);
        if (row.at_once == AtOnce::own_coin) {
            EXPECT_EQ(chain.woc.request_count("GET", blocks), row.hangings);
        }
        EXPECT_LE(chain.woc.request_count(), row.first) << [&] {
            std::string paths;
            for (const FakeRequest& r : chain.woc.requests())
                paths += r.method + " " + r.path + "\n";
            return paths;
        }();
        // Where one of the pair and the hanging spends the other, no block's order is asked for.
        if (row.at_once == AtOnce::pair_change || row.at_once == AtOnce::hanging_first) {
            EXPECT_EQ(chain.woc.request_count("GET", blocks), 0);
        }
        EXPECT_EQ(chain.woc.rate_limited_count(), 0);
        chain.woc.reset_counts();
        EXPECT_EQ(refresh(), row.hangings);
        EXPECT_EQ(pics, expected);
        EXPECT_LE(chain.woc.request_count(), row.later) << [&] {
            std::string paths;
            for (const FakeRequest& r : chain.woc.requests())
                paths += r.method + " " + r.path + "\n";
            return paths;
        }();
        if (row.at_once != AtOnce::own_coin) continue;
        // Once their blocks are final, the orders read are kept: a later start reads none again.
        for (int n = 0; n < 6; ++n)
            chain.ledger.mine();
        for (int start = 0; start < 2; ++start) {
            reset_chain_session_for_tests();
            load_wallet_id("budget");
            chain.woc.reset_counts();
            EXPECT_EQ(refresh(), row.hangings);
            EXPECT_EQ(pics, expected);
        }
        EXPECT_EQ(chain.woc.request_count("GET", blocks), 0);
    }
    // Frame 1's last artists' coins go elsewhere: those hangings no longer count and the first
    // artist's shows again, also when the bulk answer is missing and each coin is asked on its own.
    for (const auto& [art, key] : frame1_at_once)
        fake_send(chain, {{art, 0, test_key_from_byte(key)}},
                  {TxOutput{1, p2pkh_script(test_key_from_byte(0x77).hash)}});
    reset_chain_session_for_tests();
    load_wallet_id("budget");
    EXPECT_EQ(refresh(), hung);
    EXPECT_EQ(pics[0], first_art.substr(0, 64));
    FakeFault down;
    down.status = 500;
    FakeFault garbled;
    garbled.bad_json = true;
    for (const FakeFault& fault : {down, garbled}) {
        chain.woc.set_fault(std::string(kWocPrefix) + "/utxos/spent", fault);
        reset_chain_session_for_tests();
        load_wallet_id("budget");
        EXPECT_EQ(refresh(), hung);
        EXPECT_EQ(pics[0], first_art.substr(0, 64));
    }
}
