#include "chain/coin_refresh.h"

#include "chain/broadcast.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/coin_state.h"
#include "chain/kept_listings.h"
#include "chain/outpoints.h"
#include "chain/unsettled_inputs.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/registry_fixture.h"
#include "identity/wallet_status.h"
#include "platform/fs.h"
#include "support/wallet_reset.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <set>
#include <thread>

using nlohmann::json;

namespace {

const Utxo* cached(const std::string& address, const std::string& txid) {
    for (const AddressCoins& e : address_coins()) {
        if (e.address != address) continue;
        for (const Utxo& u : e.utxos)
            if (u.txid == txid) return &u;
    }
    return nullptr;
}

struct RefreshTest : FakeChainTest {
    FakeServer gp; // GorillaPool answers scripted by each test

    void use_gorillapool() {
        ServiceSettings s = settings_for(chain);
        s.gorillapool_base = gp.base_url() + "/api";
        set_service_settings(s);
    }
    void load_hd(std::uint32_t receive_counter, const std::string& id = "w1") {
        write_test_wallet_file(id, receive_counter);
        ASSERT_TRUE(load_wallet_id(id));
    }
    std::string receive(std::uint32_t index) { return test_receive_key(index).address; }
    int woc_address_requests() { return chain.woc.request_count(std::string(kWocPrefix) + "/address/"); }
    // Addresses the refresh listed: in the body of a bulk confirmed listing, or in the path of a
    // one-address listing.
    std::set<std::string> listed_addresses() {
        std::set<std::string> listed;
        const std::string bulk = std::string(kWocPrefix) + "/addresses/confirmed/unspent";
        const std::string one = std::string(kWocPrefix) + "/address/";
        for (const FakeRequest& req : chain.woc.requests()) {
            if (req.path == bulk) {
                const json body = json::parse(req.body);
                for (const json& a : body["addresses"])
                    listed.insert(a.get<std::string>());
            } else if (req.path.compare(0, one.size(), one) == 0 && req.path.size() > 8 &&
                       req.path.compare(req.path.size() - 8, 8, "/unspent") == 0) {
                listed.insert(req.path.substr(one.size(), req.path.find('/', one.size()) - one.size()));
            }
        }
        return listed;
    }
};

} // namespace

TEST_F(RefreshTest, ListsStaleAddressesOnlyAndKeepsTheLock) {
    load_hd(2);
    const std::string r0 = receive(0), r2 = receive(2);
    const std::string t0 = chain.ledger.fund(r0, 5000);
    const std::string t2 = chain.ledger.fund(r2, 700, false);

    WalletLock lock = lock_wallet();
    std::string error;
    ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
    EXPECT_TRUE(lock.owns_lock());
    std::vector<std::string> addresses;
    list_wallet_addresses(addresses);
    ASSERT_EQ(addresses.size(), 4u);
    for (const std::string& a : addresses)
        EXPECT_TRUE(utxo_cache_fresh(a)) << a;
    ASSERT_NE(cached(r0, t0), nullptr);
    EXPECT_EQ(cached(r0, t0)->sats, 5000);
    ASSERT_NE(cached(r2, t2), nullptr);

    chain.woc.reset_counts();
    ASSERT_TRUE(refresh_wallet_coins(lock, error));
    EXPECT_EQ(chain.woc.request_count(), 0) << "every address was fresh";

    // A conflict reply marks the inputs from the given index and makes every address stale.
    std::vector<TxInput> inputs(2);
    inputs[0].txid = t2;
    inputs[1].txid = t0;
    spend_inputs_expire_caches(inputs, 1);
    EXPECT_FALSE(is_outpoint_spent(t2, 0));
    EXPECT_TRUE(is_outpoint_spent(t0, 0));
    EXPECT_EQ(cached(r0, t0), nullptr);
    for (const std::string& a : addresses)
        EXPECT_FALSE(utxo_cache_fresh(a)) << a;
    chain.woc.reset_counts();
    ASSERT_TRUE(refresh_wallet_coins(lock, error));
    EXPECT_EQ(listed_addresses(), std::set<std::string>(addresses.begin(), addresses.end()));

    WalletLock none(kv_wallet_mutex(), std::defer_lock);
    {
        WalletLock unload = lock_wallet();
        clear_wallet_session();
        kv_wallet().wallet_id.clear();
    }
    EXPECT_FALSE(refresh_wallet_coins(none, error));
    EXPECT_EQ(error, "no wallet");
    EXPECT_TRUE(none.owns_lock());
}

TEST_F(RefreshTest, WalletSwitchedDuringListingsAppliesNothing) {
    load_hd(0);
    load_hd(0, "w2");
    {
        WalletLock lock = lock_wallet();
        kv_wallet().wallet_id = "w1";
    }
    const std::string r0 = receive(0);
    chain.ledger.fund(r0, 5000);
    std::atomic<bool> switched{false};
    FakeServer woc;
    woc.on("GET", ".*", [&](const FakeRequest&) {
        if (!switched.exchange(true)) {
            WalletLock other = lock_wallet(); // free while the listings run
            kv_wallet().wallet_id = "w2";
        }
        return json_reply(json::array({{{"tx_hash", hex_id('c')}, {"tx_pos", 0}, {"value", 900}, {"height", 5}}}));
    });
    ServiceSettings s = settings_for(chain);
    s.woc_base = woc.base_url() + kWocPrefix;
    set_service_settings(s);

    WalletLock lock = lock_wallet();
    std::string error;
    EXPECT_FALSE(refresh_wallet_coins(lock, error));
    EXPECT_EQ(error, "wallet changed.");
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_TRUE(address_coins().empty());
    EXPECT_TRUE(ord_outpoint_sets().empty());
}

// The bulk listings of a wallet do not depend on each other: the requests of a hundred addresses
// are all in flight at once, and only the funded addresses are asked for their mempool history.
TEST_F(RefreshTest, BulkListingsOfAHundredAddressesGoOutInOneRound) {
    load_hd(99); // 100 receive addresses and the identity address: six batches, two listings each
    for (std::uint32_t i : {0u, 50u, 99u})
        chain.ledger.fund(receive(i), 20000);
    const std::string bulk = std::string(kWocPrefix) + "/addresses/";
    // Each listing waits until all twelve are in; one sent after another answer would hold the
    // round back, and the peak would stay below twelve.
    FakeFault together;
    together.gather = 12;
    chain.woc.set_fault(bulk, together);
    chain.woc.count_in_flight_under(bulk);

    WalletLock lock = lock_wallet();
    std::string error;
    ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
    EXPECT_EQ(chain.woc.request_count("POST", bulk + "confirmed/unspent"), 6);
    EXPECT_EQ(chain.woc.request_count("POST", bulk + "unconfirmed/unspent"), 6);
    EXPECT_EQ(chain.woc.peak_in_flight(), 12);
    EXPECT_EQ(woc_address_requests(), 3) << "the mempool history of each funded address, nothing else";
    EXPECT_EQ(address_coins().size(), 101u);
}

// Threads of this process right now (Linux), the fake services' left out: those grow with the
// connections they serve, however slowly a checker makes the whole process run.
int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name != kFakeServerThreadName) ++n;
        }
        closedir(d);
    }
    return n;
}

// A wallet with a hundred receive addresses must not start a hundred threads: each address read on
// its own (the bulk listing refused), the coins come out the same on a bounded pool.
TEST_F(RefreshTest, ManyAddressesRunOnABoundedPoolWithTheSameResults) {
    load_hd(99);
    std::vector<std::string> funded;
    for (std::uint32_t i : {0u, 37u, 99u})
        funded.push_back(chain.ledger.fund(receive(i), 1000 + i));
    FakeFault refused;
    refused.status = 500;
    chain.woc.set_fault(std::string(kWocPrefix) + "/addresses/", refused);
    FakeFault slow;
    slow.delay_ms = 2;
    chain.woc.set_fault(std::string(kWocPrefix) + "/address/", slow);

    const int before = thread_count();
    std::atomic<bool> done{false};
    std::atomic<int> peak{before};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), thread_count());
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    WalletLock lock = lock_wallet();
    std::string error;
    const bool ok = refresh_wallet_coins(lock, error);
    done = true;
    sampler.join();
    ASSERT_TRUE(ok) << error;
    // The sampler itself and the refresh's helpers; the calling thread works too.
    EXPECT_LE(peak - before, static_cast<int>(std::max(kRefreshThreads, kBulkThreads)) + 1);

    EXPECT_EQ(address_coins().size(), 101u);
    for (const AddressCoins& e : address_coins())
        EXPECT_TRUE(e.loaded) << e.address;
    EXPECT_NE(cached(receive(0), funded[0]), nullptr);
    EXPECT_NE(cached(receive(37), funded[1]), nullptr);
    EXPECT_NE(cached(receive(99), funded[2]), nullptr);
}

// Many addresses cost two bulk requests per 20 addresses, not three per address; a bulk request
// that fails, or a reply as long as the service's cap (it may have been cut), falls back to the
// one-address listings with the same coins as the result.
TEST_F(RefreshTest, AddressesAreListedInBulkWithOneAddressFallback) {
    struct Row {
        const char* name;
        bool bulk_fails;
        int outputs; // funded on receive address 0
        bool one_address_listings;
    } rows[] = {
        {"bulk answers", false, 3, false},
        {"bulk fails", true, 3, true},
        {"reply as long as the cap", false, 21, true},
    };
    load_hd(2);
    const std::string bulk = std::string(kWocPrefix) + "/addresses/";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            WalletLock lock = lock_wallet();
            expire_address_coins();
        }
        chain.woc.clear_faults();
        if (row.bulk_fails) chain.woc.set_fault(bulk, FakeFault{500});
        std::vector<std::string> funded;
        for (int i = 0; i < row.outputs; ++i)
            funded.push_back(chain.ledger.fund(receive(0), 1000 + static_cast<std::uint64_t>(i)));
        chain.woc.reset_counts();

        WalletLock lock = lock_wallet();
        std::string error;
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        EXPECT_EQ(chain.woc.request_count("POST", bulk + "confirmed/unspent"), 1);
        EXPECT_EQ(chain.woc.request_count("POST", bulk + "unconfirmed/unspent"), 1);
        EXPECT_EQ(woc_address_requests() > 1, row.one_address_listings) << woc_address_requests();
        EXPECT_EQ(listed_addresses().size(), 4u);
        for (const std::string& txid : funded)
            EXPECT_NE(cached(receive(0), txid), nullptr) << txid;
    }
}

// A large wallet's later Refresh, once every listing aged, lists only what can have changed: the
// addresses that held coins, the newest ones, those the service shows funded since and those the
// user's own hangings, asks and offers name; its first listing is kept in the data folder, so a
// restart changes nothing, and a damaged kept file is set aside and the wallet listed whole again.
// The Refresh after keeps every coin: of two processes' listings of an address the newer stands
// whatever their clocks say.
TEST_F(RefreshTest, LargeWalletListsAgainOnlyWhatCanHaveChanged) {
    enum class Between { Nothing, PaidAtAnOldAddress, Restart, FileDamaged, SoldAtItsHangingsAddress, FastClock };
    struct Row {
        const char* name;
        Between between;
        std::size_t most_listed;
        std::uint32_t holding = 10; // an old address that holds coins
    } rows[] = {
        {"nothing changed", Between::Nothing, 4},
        {"paid since at an old address", Between::PaidAtAnOldAddress, 5},
        {"a restart between", Between::Restart, 4},
        // The coins earlier rows paid to 10 and 50 are still there.
        {"coins at an address past this Refresh's balance slice", Between::Nothing, 5, 250},
        {"the kept file damaged", Between::FileDamaged, 401},
        {"a sale paid at the address its hanging names, after a restart", Between::SoldAtItsHangingsAddress, 5},
        // Those of the rows before hold coins since.
        {"spent and paid again, listed between by a process whose clock runs a day ahead", Between::FastClock, 6},
    };
    const std::string kept = data_dir.data_dir + "/tx_hist/w1_listing.json";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reset_chain_session_for_tests();
        std::remove(kept.c_str());
        load_hd(399);                                          // 400 receive addresses and the identity address
        std::vector<std::pair<std::string, std::string>> held; // address, txid
        for (std::uint32_t i : {row.holding, 399u})
            held.emplace_back(receive(i), chain.ledger.fund(receive(i), 3000 + i));
        // An address of the first balance slice with a single coin.
        const std::string once = receive(60);
        const std::string once_coin = row.between == Between::FastClock ? chain.ledger.fund(once, 2500) : "";
        std::string error;
        chain.woc.reset_counts();
        {
            WalletLock lock = lock_wallet();
            ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        }
        ASSERT_EQ(listed_addresses().size(), 401u);
        std::string paid_at = receive(row.holding);
        if (row.between == Between::PaidAtAnOldAddress) {
            paid_at = receive(50);
            held.emplace_back(paid_at, chain.ledger.fund(paid_at, 5000));
        }
        if (row.between == Between::Restart) {
            reset_chain_session_for_tests();
            load_hd(399);
        }
        if (row.between == Between::FileDamaged) {
            ASSERT_TRUE(platform_write_file(kept, "{\"version\":1,", false));
        }
        if (row.between == Between::SoldAtItsHangingsAddress) {
            // Far past the first slice of balances a Refresh asks about.
            paid_at = receive(250);
            note_named_addresses({"1NotAnAddress", paid_at});
            reset_chain_session_for_tests();
            load_hd(399);
            held.emplace_back(paid_at, chain.ledger.fund(paid_at, 7000));
        }
        // The Refresh as the window runs it.
        auto window_refresh = [&] {
            {
                WalletLock lock = lock_wallet();
                expire_address_coins();
            }
            reset_wallet_status_refresh();
            WalletStatus status;
            refresh_wallet_status(status);
            EXPECT_EQ(status.loaded, 1);
        };
        if (row.between == Between::FastClock) {
            // The other process lists the address once its coin is spent, and keeps an empty listing
            // stamped a day ahead; then the address is paid again and this process lists it.
            fake_send(chain, {{once_coin, 0, test_receive_key(60)}}, {pay_to(test_key_from_byte(0x51), 2000)});
            chain.ledger.mine();
            auto shift_clock = [this](std::int64_t ms) {
                std::lock_guard<std::mutex> hold(clock.mutex);
                clock.system_ms += ms;
            };
            shift_clock(86400000);
            reset_chain_session_for_tests();
            load_hd(399);
            {
                // A payment of that process lists the wallet's coins; no balance slice moves on.
                WalletLock lock = lock_wallet();
                expire_address_coins();
                ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
            }
            shift_clock(-86400000);
            reset_chain_session_for_tests();
            load_hd(399);
            paid_at = once;
            held.emplace_back(paid_at, chain.ledger.fund(paid_at, 6000));
        }
        chain.woc.reset_counts();
        window_refresh();
        const std::set<std::string> listed = listed_addresses();
        EXPECT_LE(listed.size(), row.most_listed);
        EXPECT_EQ(listed.count(paid_at), 1u);
        // The Refresh after: each address listed since is still listed, or kept as it was listed.
        for (int refresh = 0; refresh < 2; ++refresh) {
            SCOPED_TRACE(refresh);
            if (refresh == 1) window_refresh();
            WalletLock lock = lock_wallet();
            for (const auto& [address, txid] : held)
                EXPECT_NE(cached(address, txid), nullptr) << address;
        }
        WalletLock lock = lock_wallet();
        EXPECT_EQ(address_coins().size(), 401u);
        bool set_aside = false;
        if (DIR* d = opendir((data_dir.data_dir + "/tx_hist").c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name.rfind("w1_listing.json.damaged-", 0) != 0) continue;
                set_aside = true;
                std::remove((data_dir.data_dir + "/tx_hist/" + name).c_str());
            }
            closedir(d);
        }
        EXPECT_EQ(set_aside, row.between == Between::FileDamaged);
    }
}

// An ordinal sits on an unspent output of its address: GorillaPool is asked about the addresses
// whose listing found outputs or could not be read, and about no other.
TEST_F(RefreshTest, OrdinalSetsAreAskedOnlyWhereAListingFoundOutputs) {
    load_hd(39);
    use_gorillapool();
    struct Row {
        const char* name;
        std::uint32_t addresses; // receive 0 up, the first one funded
        bool listings_fail;
        int gp_reads;
    } rows[] = {
        {"forty addresses in bulk", 40, false, 1},
        {"one address", 1, false, 1},
        {"listings failed", 3, true, 3},
    };
    const std::string funded = receive(0);
    const std::string art = chain.ledger.fund(funded, 1);
    chain.ledger.fund(funded, 5000);
    const json insc = {{"insc", {{"file", {{"type", "image/png"}}}}}};
    gp.on("GET", "/api/txos/address/([^/]+)/unspent", [&](const FakeRequest& req) {
        if (req.matches[1] != funded) return json_reply(json::array());
        return json_reply(json::array(
            {{{"txid", art}, {"vout", 0}, {"satoshis", 1}, {"origin", {{"outpoint", art + "_0"}}}, {"data", insc}}}));
    });
    gp.on("GET", "/api/bsv20/([^/]+)/unspent", [](const FakeRequest&) { return json_reply(json::array()); });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        gp.reset_counts();
        chain.woc.clear_faults();
        if (row.listings_fail) chain.woc.set_fault("", FakeFault{500});
        std::vector<AddressRefresh> records(row.addresses);
        for (std::uint32_t i = 0; i < row.addresses; ++i)
            records[i].address = receive(i);
        refresh_addresses_parallel(records, true);
        EXPECT_EQ(gp.request_count("/api/txos/address/"), row.gp_reads);
        EXPECT_TRUE(records[0].ords_ok);
        EXPECT_EQ(records[0].ord_outpoints, std::unordered_set<std::string>{outpoint_key(art, 0)});
    }
}

TEST_F(RefreshTest, ChangeCoinsSurviveWhileListedOrLastSent) {
    load_hd(1);
    const std::string main = receive(0);
    const Hash160 main_hash = test_hash_of(main), other_hash = test_hash_of(receive(1));
    const std::string listed = hex_id('1'), flipped = "12" + std::string(62, '4'), sent = "ab" + std::string(62, '3');
    struct Row {
        const char* name;
        std::string txid;
        std::uint32_t vout;
        Hash160 hash;
        bool survives;
    } rows[] = {
        {"listed", listed, 0, main_hash, true},
        {"listed in the other byte order", flipped, 1, main_hash, true},
        {"not listed", hex_id('5'), 0, main_hash, false},
        {"last sent, other case and byte order", sent, 1, main_hash, true},
        {"spent although last sent", sent, 0, main_hash, false},
        {"another address", hex_id('6'), 0, other_hash, true},
    };
    WalletLock lock = lock_wallet();
    std::string last = reverse_txid_hex(sent);
    std::transform(last.begin(), last.end(), last.begin(), [](char c) { return static_cast<char>(::toupper(c)); });
    last_sent_txid() = last;
    spent_outpoints().insert(outpoint_key(sent, 0));
    for (const Row& row : rows) {
        ChangeCoin coin;
        coin.txid = row.txid;
        coin.vout = row.vout;
        coin.sats = 100;
        coin.hash160 = row.hash;
        change_coins().push_back(coin);
    }
    prune_change_coins(main, {Utxo{listed, 0, 100, 5}, Utxo{reverse_txid_hex(flipped), 1, 100, 5}});

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto& coins = change_coins();
        const bool left = std::any_of(coins.begin(), coins.end(),
                                      [&](const ChangeCoin& c) { return c.txid == row.txid && c.vout == row.vout; });
        EXPECT_EQ(left, row.survives);
    }
    EXPECT_EQ(change_coins().front().txid, listed) << "the order of the rest is kept";
    EXPECT_EQ(change_coins().back().txid, hex_id('6'));
}

TEST_F(RefreshTest, ChangeGoesToTheFirstAddressThatIsNoHouseOracle) {
    load_hd(3);
    const std::string oracle = house_oracles()[0].addr1;
    const Hash160 expected = test_hash_of(receive(0));
    struct Row {
        const char* name;
        std::string address;
        bool hd;
        bool ok;
        std::string error;
    } rows[] = {
        {"plain main address", receive(0), true, true, ""},
        {"hd wallet on a house oracle", oracle, true, true, ""},
        {"legacy wallet on a house oracle", oracle, false, false, "change would land on a house oracle."},
        {"address that does not decode", "1NotAnAddress", true, false, "cofferly address decode failed."},
    };
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        w.address = row.address;
        w.is_hd = row.hd;
        Hash160 h{};
        std::string error;
        EXPECT_EQ(change_hash160(h, error), row.ok);
        EXPECT_EQ(error, row.error);
        if (row.ok) {
            EXPECT_EQ(h, expected);
        }
    }
}

TEST_F(RefreshTest, GorillaPoolPlainCoinsLeaveOrdinalsAndTokensOut) {
    use_gorillapool();
    const std::string a = hex_id('a'), b = hex_id('b');
    json reply = json::array({
        {{"txid", a}, {"vout", 0}, {"satoshis", 5000}},
        {{"txid", a}, {"vout", 1}, {"value", 2.9}},
        {{"txid", a}, {"vout", 2}, {"satoshis", 1}},
        {{"txid", a},
         {"vout", 3},
         {"satoshis", 900},
         {"origin", {{"outpoint", a + "_3"}}},
         {"data", {{"map", json::object()}}}},
        {{"txid", a}, {"vout", 4}, {"satoshis", 900}, {"data", {{"bsv20", "x"}}}},
        {{"txid", a.substr(1)}, {"vout", 6}, {"satoshis", 900}},
        {{"txid", b}, {"vout", 7}, {"satoshis", 900}, {"origin", {{"outpoint", 5}}}},
    });
    gp.on("GET", "/api/txos/address/([^/]+)/unspent", [&](const FakeRequest& req) {
        if (req.matches[1] == "1Empty") return json_reply(json::array());
        if (req.matches[1] == "1Html") return FakeResponse{200, "<html>", "text/html"};
        return json_reply(reply);
    });
    std::vector<Utxo> list;
    ASSERT_TRUE(gp_plain_coins("1Some", list));
    // Outputs of more than one satoshi are plain whatever data the index gives them; one whose
    // origin cannot be read is not known to be.
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].vout, 0u);
    EXPECT_EQ(list[0].sats, 5000);
    EXPECT_EQ(list[0].height, -1);
    EXPECT_EQ(list[1].vout, 1u);
    EXPECT_EQ(list[1].sats, 2) << "the fraction is dropped";
    EXPECT_EQ(list[2].vout, 3u);
    EXPECT_EQ(list[3].vout, 4u);

    for (const char* address : {"1Empty", "1Html", "", "1a/../b"}) {
        SCOPED_TRACE(address);
        EXPECT_FALSE(gp_plain_coins(address, list));
        EXPECT_TRUE(list.empty());
    }
    EXPECT_EQ(gp.request_count("/api/txos/address/1a"), 0) << "an address that would change the path is not sent";
}

TEST_F(RefreshTest, ResyncUndoesSpentMarksOfCoinsGorillaPoolStillLists) {
    use_gorillapool();
    test_write_file(wallet_file_path_for_id("w2"),
                    json{{"mnemonic", "legal winner thank year wave sausage worth useful legal winner thank yellow"},
                         {"recv", {0, 0, 0, 0, 0, 0}}}
                        .dump());
    load_hd(0);
    const std::string r0 = receive(0);
    const std::string live = hex_id('d');
    // GorillaPool lists the input of a payment of unknown fate as it lists one no service took.
    TxInput held;
    held.txid = hex_id('c');
    held.vout = 1;
    held.sats = 2000;
    const struct Row {
        const char* name;
        bool switched; // the user loads another wallet while GorillaPool is asked
    } rows[] = {{"another wallet loaded meanwhile", true}, {"the same wallet throughout", false}};
    std::atomic<bool> to_switch{false};
    gp.on("GET", "/api/txos/address/([^/]+)/unspent", [&](const FakeRequest& req) {
        if (to_switch.exchange(false)) {
            WalletLock other = lock_wallet();
            clear_wallet_session();
            kv_wallet().wallet_id = "w2";
            load_wallet();
        }
        if (req.matches[1] != r0) return json_reply(json::array());
        return json_reply(json::array({{{"txid", live}, {"vout", 2}, {"satoshis", 4000}},
                                       {{"txid", held.txid}, {"vout", held.vout}, {"satoshis", held.sats}}}));
    });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reset_wallet_state_for_tests();
        load_hd(0);
        mark_inputs_unsettled(hex_id('7'), {held});
        to_switch = row.switched;
        WalletLock lock = lock_wallet();
        mark_outpoint_spent(live, 2);
        mark_outpoint_spent(hex_id('e'), 0);
        ChangeCoin stale;
        stale.txid = hex_id('f');
        stale.sats = 300;
        stale.hash160 = test_hash_of(r0);
        change_coins().push_back(stale);

        resync_plain_coins(lock);
        EXPECT_TRUE(lock.owns_lock());
        if (row.switched) {
            EXPECT_EQ(cached(r0, live), nullptr) << "the other wallet takes none of the first one's coins";
            continue;
        }
        EXPECT_FALSE(is_outpoint_spent(live, 2));
        EXPECT_TRUE(is_outpoint_spent(hex_id('e'), 0));
        EXPECT_TRUE(is_outpoint_spent(held.txid, held.vout));
        spent_outpoints().clear();
        load_spent_outpoints();
        EXPECT_FALSE(is_outpoint_spent(live, 2)) << "the spent file was written without it";
        EXPECT_TRUE(is_outpoint_spent(hex_id('e'), 0));
        EXPECT_TRUE(is_outpoint_spent(held.txid, held.vout));
        ASSERT_NE(cached(r0, live), nullptr);
        EXPECT_EQ(cached(r0, held.txid), nullptr) << "a held coin is left out of the address's coins";
        EXPECT_TRUE(change_coins().empty()) << "a change coin GorillaPool does not list is pruned";
    }
}

TEST(AlreadyKnownReplies, MatchWithoutRegardToCase) {
    struct Row {
        const char* reply;
        bool known;
    } rows[] = {
        {"error: 258: txn-mempool-conflict", true},
        {"DOUBLE SPEND detected", true},
        {"status DOUBLE_SPEND_ATTEMPTED", true},
        {"SEEN_IN_ORPHAN_MEMPOOL", true},
        {"257: txn-already-known", true},
        {"Txn-Already-In-Mempool", true},
        {"16: Missing inputs", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        EXPECT_EQ(is_already_known_error(row.reply), row.known);
    }
}

// Which of two listings of one address is the later, by what the services showed: the coins first,
// then the order the listings were made in, and where nothing tells, the one with coins (its address
// is listed once more rather than its coins forgotten).
TEST(KeptListingOrder, TheLaterListingGoesByWhatTheServicesShowed) {
    const Utxo waiting{std::string(64, 'a'), 0, 1000, 0}, mined{std::string(64, 'a'), 0, 1000, 120};
    const Utxo later{std::string(64, 'b'), 0, 500, 130};
    const struct Row {
        const char* name;
        KeptAddress a, b;
        bool a_later;
    } rows[] = {
        {"a coin listed waiting, then mined", {{mined}, 1}, {{waiting}, 2}, true},
        {"a coin spent since a later block", {{later}, 1}, {{mined, later}, 2}, true},
        {"nothing in the coins, a listing made after the other", {{}, 3}, {{mined}, 2}, true},
        {"nothing tells: the one with coins", {{mined}, 2}, {{}, 2}, true},
        {"nothing tells: not the empty one", {{}, 2}, {{mined}, 2}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(kept_listing_is_later(row.a, row.b), row.a_later);
    }
}

// The refresh leaves the ordinal look-up failed, so coin selection holds every 1-sat coin back.
TEST_F(RefreshTest, OneSatOutputsStayOutOfPaymentsWhileGorillaPoolIsDown) {
    load_hd(0);
    const std::string r0 = receive(0);
    chain.ledger.fund(r0, 1);
    const std::string money = chain.ledger.fund(r0, 3000);
    WalletLock lock = lock_wallet();
    ChangeCoin one_sat_change;
    one_sat_change.txid = hex_id('7');
    one_sat_change.sats = 1;
    one_sat_change.hash160 = test_hash_of(r0);
    change_coins().push_back(one_sat_change);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::string error;
        if (round == 2) {
            std::vector<AddressRefresh> records(1);
            records[0].address = r0;
            refresh_addresses_parallel(records, true);
            EXPECT_FALSE(records[0].ords_ok);
            refresh_coins_and_prune(records);
        } else {
            ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        }
        std::vector<TxInput> inputs;
        std::uint64_t total = 0;
        ASSERT_TRUE(collect_spendable_utxos(inputs, total, error)) << error;
        ASSERT_EQ(inputs.size(), 1u);
        EXPECT_EQ(inputs[0].txid, money);
        EXPECT_EQ(total, 3000u);
        clock.advance(25000);
    }
}
