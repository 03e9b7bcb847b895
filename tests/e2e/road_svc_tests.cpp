// The first whole road, from the Connect click to transactions on the network and back after a
// restart: the wallet program's stand-in approves one of two wallets, the wallet is funded in the
// fake ledger, an artwork is inscribed and the pair, gallery and report records are paid for.
// The ledger verifies every signature itself; this file checks what landed there against what the
// program believes (coins, spent set, change file, balance), and a second process, started on the
// same data folder, checks that the files alone carry that belief across a restart.

#include "chain/balance.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/gorillapool.h"
#include "chain/inscribe.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/pay.h"
#include "chain/payloads.h"
#include "chain/tx.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_chain.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_gorillapool.h"
#include "platform/fs.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "support/wallet_reset.h"
#include "wallet/connect.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include <unistd.h>

using nlohmann::json;

namespace {

// The approved wallet ("w2") and the other one the wallet program holds ("w1").
const char* kStudioMnemonic = "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon "
                              "abandon about";
const char* kOtherMnemonic = "legal winner thank year wave sausage worth useful legal winner thank yellow";
// Receive address 0 of the approved wallet.
const char* kStudioReceive = "18pBoqRpHUYf9udsab5G9LT3vQUPxEyMFf";

constexpr std::size_t kArtworkCap = 10485760;
const char* kArtworkCapText = "file is over 10 MB. Shrink it first.";
const char* kShareCoins = "error: need a bit more BSV so the offer and the 1-sat hook do not share coins.";
// Longer than the test can ever run: what the ledger takes from then on stays unlisted.
constexpr int kForever = 1000000;

std::string foreign_address(char c) {
    return pub_hex_to_address("02" + std::string(64, c));
}

// The record output as a node reads it: OP_FALSE OP_RETURN and one minimal push, spelled out here
// rather than built by the program.
Bytes record_script(const std::string& payload) {
    Bytes s = {0x00, 0x6a};
    const std::size_t n = payload.size();
    if (n < 0x4c) {
        s.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xff) {
        s.insert(s.end(), {0x4c, static_cast<std::uint8_t>(n)});
    } else {
        s.insert(s.end(), {0x4d, static_cast<std::uint8_t>(n & 0xff), static_cast<std::uint8_t>(n >> 8)});
    }
    s.insert(s.end(), payload.begin(), payload.end());
    return s;
}

std::string balance_line(std::int64_t sats) {
    return std::string(kBalanceTag) + kStatusSeparator + std::to_string(sats) + kStatusSeparator + "w2";
}

json read_json_file(const std::string& path) {
    return json::parse(test_read_file(path), nullptr, false);
}

using CoinMap = std::map<std::string, std::uint64_t>; // outpoint key -> sats

struct RoadTest : testing::Test {
    TempDataDir dir;
    FakeClock clock;
    FakeChain chain;
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings settings{settings_for(chain, gp)};
    const std::string instance_key = dir.root + "/Corvane";
    const bool balance_noted = !isatty(fileno(stdout)); // the program notes payments only then
    std::vector<std::string> events;
    std::vector<std::string> lines;
    SpawnedProcess standin;
    int standin_exit = -2;
    std::vector<std::string> road; // ids of the transactions the road sent, in order

    RoadTest() {
        reset_wallet_state_for_tests();
        woc_cache_clear();
        {
            WalletLock lock = lock_wallet();
            clear_wallet_session();
            last_success_txid().clear();
        }
        WalletBinding binding;
        binding.app_name = "Corvane";
        binding.instance_key = instance_key;
        binding.app_mode = true;
        set_wallet_binding(binding);
        set_log_sink([this](const std::string& line) { lines.push_back(line); });
        limit_woc_to_free_rate(chain);
    }
    ~RoadTest() override {
        set_status_sink(nullptr);
        set_log_sink(nullptr);
        end_standin_answer(dir.root, standin);
        drop_platform_session();
        reset_wallet_state_for_tests();
        set_wallet_binding(WalletBinding{});
    }
    SpawnRequest standin_request(const std::vector<std::string>& args) const {
        return ::standin_request(dir.root, args);
    }
    void run_standin(const std::vector<std::string>& args) {
        ASSERT_EQ(spawn_run(standin_request(args)), 0) << test_read_file(dir.root + "/standin.log");
    }

    // The transaction the ledger took for a payment's result; every one of them joins the road.
    LedgerTx landed(const std::string& result) {
        std::string txid;
        LedgerTx tx;
        EXPECT_TRUE(parse_success_txid(result, txid)) << result;
        EXPECT_TRUE(chain.ledger.find_tx(txid, tx, false)) << txid;
        road.push_back(txid);
        return tx;
    }
    std::uint64_t input_sum(const LedgerTx& tx) {
        std::uint64_t sum = 0;
        for (const LedgerInput& in : tx.inputs) {
            LedgerOutput out;
            EXPECT_TRUE(chain.ledger.find_output(in.prev_txid, in.prev_vout, out, false));
            sum += out.sats;
        }
        return sum;
    }
    // The fee the transaction paid, checked against 100 sat per 1000 bytes of its size with every
    // unlocking script counted as 107 bytes. A real one here holds 106 to 108 bytes, so the estimate
    // lies within [size - n, size + 2n] for n inputs.
    std::uint64_t checked_fee(const LedgerTx& tx) {
        std::uint64_t out_sum = 0;
        for (const LedgerOutput& out : tx.outputs)
            out_sum += out.sats;
        const std::uint64_t fee = input_sum(tx) - out_sum;
        const std::uint64_t n = tx.inputs.size();
        const std::uint64_t size = tx.raw.size();
        EXPECT_GE(fee, (size - n + 9) / 10);
        EXPECT_LE(fee, (size + 2 * n + 9) / 10);
        return fee;
    }
    bool spends(const LedgerTx& tx, const std::string& txid, std::uint32_t vout) {
        for (const LedgerInput& in : tx.inputs)
            if (in.prev_txid == txid && in.prev_vout == vout) return true;
        return false;
    }
    bool unspent(const std::string& txid, std::uint32_t vout) {
        LedgerOutput out;
        return chain.ledger.find_output(txid, vout, out, false) && out.spent_by.empty();
    }
    // The unspent coins of more than 1 sat at the address, as the ledger itself knows them.
    std::vector<LedgerOutput> ledger_plain_outputs(const std::string& address) {
        std::vector<LedgerOutput> coins;
        for (const LedgerOutput& out : chain.ledger.outputs_of_address(address, false, false))
            if (out.sats > 1) coins.push_back(out);
        return coins;
    }
    CoinMap ledger_plain_coins(const std::string& address) {
        CoinMap coins;
        for (const LedgerOutput& out : ledger_plain_outputs(address))
            coins[outpoint_key(out.txid, out.vout)] = out.sats;
        return coins;
    }
    // Those of them that the road's own transactions made: the change the wallet must remember.
    CoinMap road_change() {
        const std::set<std::string> ours(road.begin(), road.end());
        CoinMap coins;
        for (const LedgerOutput& out : ledger_plain_outputs(kStudioReceive))
            if (ours.count(out.txid)) coins[outpoint_key(out.txid, out.vout)] = out.sats;
        return coins;
    }
    std::int64_t ledger_plain_balance() {
        std::int64_t sum = 0;
        for (const LedgerOutput& out : ledger_plain_outputs(kStudioReceive))
            sum += static_cast<std::int64_t>(out.sats);
        return sum;
    }
    // The coins the next payment would choose from, in the order it would take them (keys wiped).
    std::vector<TxInput> program_coins() {
        WalletLock lock = lock_wallet();
        std::vector<TxInput> inputs;
        std::uint64_t total = 0;
        std::string error;
        collect_spendable_utxos(inputs, total, error);
        for (TxInput& in : inputs)
            wipe(in.priv_hex);
        return inputs;
    }
    static CoinMap coin_map(const std::vector<TxInput>& inputs) {
        CoinMap coins;
        for (const TxInput& in : inputs)
            coins[outpoint_key(in.txid, in.vout)] = in.sats;
        return coins;
    }
    // After a payment the balance shown, the one expected, the face file and the status line all
    // give what the ledger holds, and the spendable balance knows it from the local coins alone.
    void expect_balance_follows_ledger(const char* step) {
        SCOPED_TRACE(step);
        const std::int64_t plain = ledger_plain_balance();
        WalletLock lock = lock_wallet();
        EXPECT_EQ(spendable_balance_sats(), plain);
        if (!balance_noted) return;
        EXPECT_EQ(displayed_balance().shown, plain);
        EXPECT_EQ(displayed_balance().expected, plain);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(), balance_line(plain));
        EXPECT_EQ(load_history_face(kStudioReceive), plain);
    }
    // Ten seconds of the user's time between two steps: each payment lists the coins afresh.
    void next_step() { clock.advance(10000); }

    void connect_to_the_studio_wallet();
};

void RoadTest::connect_to_the_studio_wallet() {
    run_standin({"create", "w1", "Other", "hd", kOtherMnemonic});
    run_standin({"create", "w2", "Studio", "hd", kStudioMnemonic});
    ASSERT_TRUE(start_standin_answer(dir.root, {"approve", "w2"}, standin));
    const std::string pending = build_status_event(kCofferlyTag, "connect-pending", "Approve the connect in Cofferly.");
    // The user approves while the program waits: the request is on disk once it says so.
    set_status_sink([this, pending](const std::string& e) {
        events.push_back(e);
        if (e == pending && standin.handle != -1) standin_exit = spawn_wait(standin);
    });

    EXPECT_EQ(connect_cofferly(), "success");
    EXPECT_EQ(standin_exit, 0) << "the stand-in found the request malformed or never saw it";
    EXPECT_EQ(clock.recorded_sleeps(), std::vector<std::int64_t>{500});
    EXPECT_EQ(events, (std::vector<std::string>{pending, build_status_event(kCofferlyTag, "paymail")}))
        << "a wallet without an alias is announced without a paymail";
    EXPECT_EQ(lines, (std::vector<std::string>{"Waiting for Cofferly to approve this app...\n",
                                               "Connected to Cofferly wallet Studio\n"}));
    EXPECT_EQ(bound_wallet_id(), "w2");
    EXPECT_TRUE(is_cofferly_connected());
    WalletLock lock = lock_wallet();
    EXPECT_EQ(kv_wallet().wallet_id, "w2");
    ASSERT_EQ(kv_wallet().address, kStudioReceive);
    events.clear();
}

} // namespace

TEST_F(RoadTest, FromConnectToTheNetworkAndBackAfterARestart) {
    ASSERT_NO_FATAL_FAILURE(connect_to_the_studio_wallet());
    std::string ord_address;
    {
        WalletLock lock = lock_wallet();
        ord_address = derive_ordinals_key();
    }
    ASSERT_FALSE(ord_address.empty());
    ASSERT_NE(ord_address, kStudioReceive);

    // Three confirmed coins, one still in the mempool, and a 1-sat coin that may be an ordinal.
    const std::string a = chain.ledger.fund(kStudioReceive, 900000);
    const std::string b = chain.ledger.fund(kStudioReceive, 600000);
    chain.ledger.fund(kStudioReceive, 250000);
    chain.ledger.fund(kStudioReceive, 120000, false);
    const std::string ordinal = chain.ledger.fund(kStudioReceive, 1);
    const std::int64_t funded = 900000 + 600000 + 250000 + 120000;
    {
        WalletLock lock = lock_wallet();
        std::string error;
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        EXPECT_EQ(shown_balance(spendable_balance_sats(), 0), funded) << "the 1-sat coin is no money";
    }

    // The artwork: one byte over the cap is refused before the network is asked anything; exactly
    // the cap is inscribed.
    const std::string name = build_name_metadata("Harbour at dusk");
    Bytes artwork(kArtworkCap + 1);
    for (std::size_t i = 0; i < artwork.size(); ++i)
        artwork[i] = static_cast<std::uint8_t>(i * 31 + i / 4099);
    const int asked = chain.woc.request_count() + chain.platform.request_count();
    std::string inscribed;
    {
        WalletLock lock = lock_wallet();
        EXPECT_EQ(inscribe_file(lock, "image/png", artwork, name, kArtworkCap, kArtworkCapText, "Artwork"),
                  std::string("error: ") + kArtworkCapText);
        EXPECT_EQ(chain.woc.request_count() + chain.platform.request_count(), asked);
        artwork.pop_back();
        // The platform host turns the 10 MB upload away, as its 2 s limit would on most links;
        // WhatsOnChain takes it.
        FakeFault refused;
        refused.status = 503;
        refused.times = 1;
        chain.platform.set_fault("/oi/submit", refused);
        inscribed = inscribe_file(lock, "image/png", artwork, name, kArtworkCap, kArtworkCapText, "Artwork");
        EXPECT_TRUE(lock.owns_lock());
        EXPECT_EQ(chain.woc.request_count(std::string(kWocPrefix) + "/tx/raw"), 1);
    }
    const LedgerTx insc = landed(inscribed);
    ASSERT_EQ(insc.outputs.size(), 2u);
    const LedgerOutput& art = insc.outputs[0];
    EXPECT_EQ(art.sats, 1u);
    EXPECT_EQ(art.origin, insc.txid + "_0");
    FakeInscription found = fake_read_inscription(art.script);
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.owner, ord_address);
    EXPECT_EQ(found.content_type, "image/png");
    EXPECT_TRUE(found.body == artwork) << "the artwork's bytes, whole";
    EXPECT_EQ(found.metadata, name);
    EXPECT_EQ(found.map["app"], "Corvane");
    EXPECT_EQ(open_art_tag(found.map["tag"]), "Artwork");
    found.body.clear();
    // GorillaPool's record of it reads as an artwork of this program, under its name.
    std::string listed_name;
    EXPECT_EQ(txo_art_kind(fake_txo_document(chain.ledger, art), &listed_name), "Artwork");
    EXPECT_EQ(listed_name, "Harbour at dusk");
    EXPECT_EQ(insc.outputs[1].address, kStudioReceive) << "change";
    EXPECT_TRUE(spends(insc, a, 0) && spends(insc, b, 0)) << "confirmed coins first, largest first";
    const std::uint64_t insc_fee = checked_fee(insc);
    EXPECT_GT(insc_fee, 1000000u);
    RecordProperty("inscription_fee", static_cast<int>(insc_fee));
    expect_balance_follows_ledger("after the inscription");
    if (balance_noted) {
        WalletLock lock = lock_wallet();
        EXPECT_EQ(shown_balance(funded, 0), ledger_plain_balance())
            << "a service that still counts the spent coins is not believed right after the payment";
        shown_balance(spendable_balance_sats(), 0);
    }

    // A block arrives: the artwork, its change and the coin of the mempool are confirmed.
    chain.ledger.mine();

    // The pair record: the fee, a hook at each title watch, the record, then change.
    next_step();
    const std::string pair_fee = foreign_address('1'), zuz = foreign_address('2'), otx = foreign_address('3');
    const std::string pair_record = json{
        {"artwork", insc.txid + "_0"}, {"certificate", std::string(64, 'c') + "_0"},
        {"owner", kStudioReceive},     {"protocol", "KV1"},
        {"sig", std::string(88, 'A')}, {"ts", 1767225600},
        {"type", "art_pair"}}.dump();
    const LedgerTx pair = landed(send_art_pair_payload(pair_record, zuz, otx, pair_fee));
    ASSERT_EQ(pair.outputs.size(), 5u);
    EXPECT_EQ(pair.outputs[0].address, pair_fee);
    EXPECT_EQ(pair.outputs[0].sats, 200000u);
    EXPECT_EQ(pair.outputs[1].address, zuz);
    EXPECT_EQ(pair.outputs[1].sats, 1u);
    EXPECT_EQ(pair.outputs[2].address, otx);
    EXPECT_EQ(pair.outputs[2].sats, 1u);
    EXPECT_EQ(pair.outputs[3].sats, 0u);
    EXPECT_TRUE(pair.outputs[3].script == record_script(pair_record));
    EXPECT_EQ(pair.outputs[4].address, kStudioReceive);
    RecordProperty("pair_fee", static_cast<int>(checked_fee(pair)));
    expect_balance_follows_ledger("after the pair");

    // A gallery record whose buyer's offer spends the coin a payment would take first: the record
    // is paid around it.
    next_step();
    const std::vector<TxInput> before_gallery = program_coins();
    ASSERT_GE(before_gallery.size(), 2u);
    const std::string held_txid = before_gallery[0].txid;
    const std::uint32_t held_vout = before_gallery[0].vout;
    const std::string watch = foreign_address('4');
    const std::string gallery_record = json{
        {"frame", 3},
        {"offer", test_offer_hex({{held_txid, held_vout}})},
        {"protocol", "KV1"},
        {"type", "gallery_accept"}}.dump();
    const LedgerTx gallery = landed(send_gallery_payload(gallery_record, watch));
    ASSERT_EQ(gallery.outputs.size(), 3u);
    EXPECT_EQ(gallery.outputs[0].address, watch);
    EXPECT_EQ(gallery.outputs[0].sats, 1u);
    EXPECT_TRUE(gallery.outputs[1].script == record_script(gallery_record));
    EXPECT_EQ(gallery.outputs[2].address, kStudioReceive);
    EXPECT_FALSE(spends(gallery, held_txid, held_vout)) << "the coin the offer spends";
    EXPECT_TRUE(spends(gallery, before_gallery[1].txid, before_gallery[1].vout)) << "the next coin in order";
    RecordProperty("gallery_fee", static_cast<int>(checked_fee(gallery)));
    expect_balance_follows_ledger("after the gallery record");

    // From here on the services lag: nothing the ledger takes is listed any more, so only the
    // program's own records tell which coins are gone and which change has come.
    next_step();
    chain.ledger.set_lag(kForever);
    const std::string report_record =
        json{{"kind", "bug"}, {"protocol", "KV1"}, {"text", "The viewer stays grey."}, {"type", "report"}}.dump();
    const LedgerTx report = landed(send_report_payload(report_record));
    ASSERT_EQ(report.outputs.size(), 4u);
    EXPECT_EQ(report.outputs[0].address, kReportFeeAddress);
    EXPECT_EQ(report.outputs[0].sats, 1000u);
    EXPECT_EQ(report.outputs[1].address, kReportOracleAddress);
    EXPECT_EQ(report.outputs[1].sats, 1u);
    EXPECT_TRUE(report.outputs[2].script == record_script(report_record));
    EXPECT_EQ(report.outputs[3].address, kStudioReceive);
    EXPECT_TRUE(spends(report, held_txid, held_vout)) << "no offer holds that coin now";
    RecordProperty("report_fee", static_cast<int>(checked_fee(report)));
    expect_balance_follows_ledger("after the report");

    // GorillaPool goes down. A gallery record whose offer spends every plain coin leaves nothing
    // but the 1-sat coin, which must not pay for it; an ordinary payment goes around that coin too.
    next_step();
    gp.server.set_fault(kGorillaPoolApi, FakeFault{500});
    gp.server.reset_counts();
    std::vector<std::pair<std::string, std::uint32_t>> every_coin;
    for (const LedgerOutput& out : ledger_plain_outputs(kStudioReceive))
        every_coin.emplace_back(out.txid, out.vout);
    int submitted = chain.platform.request_count("/oi/submit");
    const std::string hold_all =
        json{{"frame", 4}, {"offer", test_offer_hex(every_coin)}, {"type", "gallery_accept"}}.dump();
    EXPECT_EQ(send_gallery_payload(hold_all, watch), kShareCoins);
    EXPECT_EQ(chain.platform.request_count("/oi/submit"), submitted);
    EXPECT_GT(gp.server.request_count(kGorillaPoolApi), 0) << "the resync asked GorillaPool, which was down";
    EXPECT_TRUE(unspent(ordinal, 0));
    Hash160 target{};
    ASSERT_TRUE(address_to_hash160(foreign_address('5'), target));
    std::string paid;
    {
        WalletLock lock = lock_wallet();
        paid = pay_with_retry(lock, {TxOutput{10000, p2pkh_script(target)}});
    }
    const LedgerTx while_down = landed(paid);
    EXPECT_FALSE(spends(while_down, ordinal, 0));
    EXPECT_TRUE(unspent(ordinal, 0));
    RecordProperty("payment_fee", static_cast<int>(checked_fee(while_down)));
    gp.server.clear_faults();
    expect_balance_follows_ledger("after the payment while GorillaPool was down");

    // Every payment landed once and nothing else reached the ledger.
    ASSERT_EQ(road.size(), 5u);
    std::set<std::string> others;
    for (const LedgerTx& tx : chain.ledger.history_of_address(kStudioReceive, false))
        if (!tx.coinbase) others.insert(tx.txid);
    EXPECT_EQ(others, std::set<std::string>(road.begin(), road.end()));
    EXPECT_TRUE(unspent(insc.txid, 0)) << "the artwork";
    EXPECT_TRUE(unspent(ordinal, 0));

    // On disk: every input of the road in both byte orders, and the change the road left.
    std::set<std::string> spent_keys;
    const std::string spent_text = test_read_file(dir.data_dir + "/ord_snap/w2_spent.json");
    EXPECT_EQ(spent_text.find_first_of(" \n"), std::string::npos) << "written compactly";
    json spent_doc = json::parse(spent_text, nullptr, false);
    ASSERT_TRUE(spent_doc.is_object() && spent_doc["outpoints"].is_array());
    for (const json& key : spent_doc["outpoints"])
        if (key.is_string()) spent_keys.insert(key.get<std::string>());
    json inputs = json::array();
    for (const std::string& id : road) {
        LedgerTx tx;
        ASSERT_TRUE(chain.ledger.find_tx(id, tx, false));
        for (const LedgerInput& in : tx.inputs) {
            SCOPED_TRACE(outpoint_key(in.prev_txid, in.prev_vout));
            EXPECT_TRUE(spent_keys.count(outpoint_key(in.prev_txid, in.prev_vout)));
            EXPECT_TRUE(spent_keys.count(outpoint_key(reverse_txid_hex(in.prev_txid), in.prev_vout)));
            inputs.push_back({in.prev_txid, in.prev_vout});
        }
    }
    const CoinMap change = road_change();
    ASSERT_FALSE(change.empty());
    const std::string change_text = test_read_file(dir.data_dir + "/ord_snap/w2_change.json");
    EXPECT_EQ(change_text.find_first_of(" \n"), std::string::npos) << "written compactly";
    json change_doc = json::parse(change_text, nullptr, false);
    ASSERT_TRUE(change_doc.is_object() && change_doc["coins"].is_array()) << change_text;
    CoinMap filed;
    for (json coin : change_doc["coins"]) {
        ASSERT_TRUE(coin.is_object() && coin["txid"].is_string() && coin["vout"].is_number_unsigned() &&
                    coin["sats"].is_number_unsigned())
            << coin.dump();
        EXPECT_EQ(coin.value("addr", ""), kStudioReceive);
        filed[outpoint_key(coin["txid"].get<std::string>(), coin["vout"].get<std::uint32_t>())] =
            coin["sats"].get<std::uint64_t>();
    }
    EXPECT_EQ(filed, change);
    const std::int64_t plain = ledger_plain_balance();
    if (balance_noted) {
        EXPECT_EQ(test_read_file(dir.data_dir + "/tx_hist/w2_face.json"),
                  "{\"address\":\"" + std::string(kStudioReceive) + "\",\"sats\":" + std::to_string(plain) + "}");
    }

    // The restart: another process on the same data folder and the same services, which still
    // list the coin the report spent, a confirmed one the child would take first, as unspent. Only
    // the spent file keeps the child from paying with it again.
    LedgerOutput listed;
    ASSERT_TRUE(chain.ledger.find_output(held_txid, held_vout, listed));
    ASSERT_TRUE(listed.spent_by.empty() && listed.height > 0);
    const ServiceSettings s = service_settings();
    const std::string child_record = json{{"frame", 5}, {"protocol", "KV1"}, {"type", "gallery_hang"}}.dump();
    const json setup = {{"report", dir.root + "/child-report.json"},
                        {"instance", instance_key},
                        {"woc", s.woc_base},
                        {"arc", s.arc_base},
                        {"platform", s.platform_base},
                        {"gorillapool", s.gorillapool_base},
                        {"inputs", inputs},
                        {"payload", child_record},
                        {"watch", watch}};
    test_write_file(dir.root + "/child-setup.json", setup.dump());
    // The restarted program keeps its own clock, which the fake's rate cannot follow.
    chain.woc.set_rate_limit(0, 1);
    submitted = chain.platform.request_count("/oi/submit");
    const int woc_posts = chain.woc.request_count(std::string(kWocPrefix) + "/tx/raw");
    const int arc_posts = chain.arc.request_count();
    SpawnRequest child;
    child.exe = spawn_self_path();
    child.args = {"--gtest_filter=RoadChild.DISABLED_AfterRestart", "--gtest_also_run_disabled_tests"};
    child.env = {{"CORVANE_ROAD_CHILD", dir.root + "/child-setup.json"}};
    child.output_path = dir.root + "/child.log";
    ASSERT_EQ(spawn_run(child), 0) << test_read_file(child.output_path);
    json seen = read_json_file(dir.root + "/child-report.json");
    ASSERT_TRUE(seen.is_object()) << test_read_file(child.output_path);

    if (balance_noted) {
        EXPECT_EQ(seen["face"], plain) << "the status line's figure before anything is fetched";
    }
    EXPECT_EQ(seen["connected"], true);
    EXPECT_EQ(seen["wallet_id"], "w2");
    EXPECT_EQ(seen["inputs_checked"], inputs.size());
    EXPECT_EQ(seen["inputs_not_spent"], json::array());
    CoinMap reloaded;
    for (json coin : seen["change"]) {
        SCOPED_TRACE(coin.dump());
        EXPECT_EQ(coin["addr"], kStudioReceive);
        EXPECT_EQ(coin["keyed"], true);
        reloaded[outpoint_key(coin.value("txid", ""), coin.value("vout", 0u))] = coin.value("sats", 0u);
    }
    EXPECT_EQ(reloaded, change);
    EXPECT_EQ(seen["spendable"], plain) << "from the change file alone";
    bool offered = false;
    for (const json& key : seen["listed"])
        offered = offered || key == outpoint_key(held_txid, held_vout);
    EXPECT_TRUE(offered) << "the restarted program's own listing showed the coin the report spent";

    // The child's payment landed at the first try, spending none of the road's inputs again.
    const LedgerTx after = landed(seen.value("payment", ""));
    for (const LedgerInput& in : after.inputs)
        EXPECT_EQ(spent_keys.count(outpoint_key(in.prev_txid, in.prev_vout)), 0u) << in.prev_txid;
    EXPECT_FALSE(spends(after, held_txid, held_vout));
    EXPECT_FALSE(spends(after, ordinal, 0));
    ASSERT_EQ(after.outputs.size(), 3u);
    EXPECT_EQ(after.outputs[0].address, watch);
    EXPECT_TRUE(after.outputs[1].script == record_script(child_record));
    RecordProperty("restart_payment_fee", static_cast<int>(checked_fee(after)));
    EXPECT_EQ(chain.platform.request_count("/oi/submit"), submitted + 1);
    EXPECT_EQ(chain.woc.request_count(std::string(kWocPrefix) + "/tx/raw"), woc_posts);
    EXPECT_EQ(chain.arc.request_count(), arc_posts);
    // While the services lag, the child shows what the ledger holds, and its change file still
    // names every change coin, those the lagging listing dropped from memory included.
    EXPECT_EQ(seen["shown_after"], ledger_plain_balance());
    EXPECT_EQ(seen["face_after"], ledger_plain_balance());
    CoinMap filed_after;
    const json after_doc = read_json_file(dir.data_dir + "/ord_snap/w2_change.json");
    for (const json& coin : after_doc.value("coins", json::array()))
        filed_after[outpoint_key(coin.value("txid", ""), coin.value("vout", 0u))] = coin.value("sats", 0u);
    EXPECT_EQ(filed_after, road_change());

    // Back in the first process, which never saw the child's payment and still holds the coin
    // the child spent as its own change: a payment of nearly all the wallet holds must take every
    // coin there is, the child's change among them, and none that is gone. Afterwards the coins
    // the next payment would choose from are exactly those the ledger holds for the wallet.
    next_step();
    submitted = chain.platform.request_count("/oi/submit");
    const CoinMap holding = ledger_plain_coins(kStudioReceive);
    {
        WalletLock lock = lock_wallet();
        paid = pay_with_retry(
            lock, {TxOutput{static_cast<std::uint64_t>(ledger_plain_balance() - 1000), p2pkh_script(target)}});
    }
    const LedgerTx last = landed(paid);
    CoinMap taken;
    for (const LedgerInput& in : last.inputs) {
        LedgerOutput out;
        ASSERT_TRUE(chain.ledger.find_output(in.prev_txid, in.prev_vout, out, false));
        taken[outpoint_key(in.prev_txid, in.prev_vout)] = out.sats;
    }
    EXPECT_EQ(taken, holding);
    EXPECT_EQ(chain.platform.request_count("/oi/submit"), submitted + 1);
    EXPECT_EQ(chain.woc.request_count(std::string(kWocPrefix) + "/tx/raw"), woc_posts);
    EXPECT_EQ(chain.arc.request_count(), arc_posts);
    EXPECT_TRUE(unspent(insc.txid, 0)) << "the artwork";
    EXPECT_TRUE(unspent(ordinal, 0));
    EXPECT_EQ(coin_map(program_coins()), ledger_plain_coins(kStudioReceive));
}

// Runs only as the child of the road test: a fresh process on the parent's data folder (it
// inherits LOCALAPPDATA) and the parent's fake services, started as the program starts.
TEST(RoadChild, DISABLED_AfterRestart) {
    const std::string setup_path = platform_env("CORVANE_ROAD_CHILD");
    if (setup_path.empty()) return;
    FakeClock clock;
    json setup = read_json_file(setup_path);
    ASSERT_TRUE(setup.is_object() && setup["inputs"].is_array());
    ServiceSettings s;
    s.woc_base = setup.value("woc", "");
    s.arc_base = setup.value("arc", "");
    s.platform_base = setup.value("platform", "");
    s.gorillapool_base = setup.value("gorillapool", "");
    set_service_settings(s);
    init_wallet_binding(setup.value("instance", ""), "Corvane");

    json report;
    report["connected"] = is_cofferly_connected();
    report["face"] = cached_history_face();
    {
        WalletLock lock = lock_wallet();
        report["wallet_id"] = kv_wallet().wallet_id;
        json missing = json::array();
        for (const json& in : setup["inputs"]) {
            const std::string txid = in.at(0).get<std::string>();
            const auto vout = in.at(1).get<std::uint32_t>();
            if (!is_outpoint_spent(txid, vout) || !is_outpoint_spent(reverse_txid_hex(txid), vout))
                missing.push_back(outpoint_key(txid, vout));
        }
        report["inputs_checked"] = setup["inputs"].size();
        report["inputs_not_spent"] = missing;
        load_change_coins();
        json change = json::array();
        for (const ChangeCoin& coin : change_coins()) {
            std::string pub;
            const bool keyed = priv_hex_to_pub_hex(coin.priv_hex, pub) && pub == coin.pub_hex &&
                               hash160_of(from_hex(pub)) == coin.hash160;
            change.push_back({{"txid", coin.txid},
                              {"vout", coin.vout},
                              {"sats", coin.sats},
                              {"addr", base58check_encode(coin.hash160)},
                              {"keyed", keyed}});
        }
        report["change"] = change;
        report["spendable"] = spendable_balance_sats();
        // What the status line shows at start-up, before any payment.
        shown_balance(spendable_balance_sats(), 0);
    }
    // The services' own listing after the restart, before the payment refreshes the coins.
    std::vector<Utxo> listed;
    std::string error;
    list_address_utxos(wallet_view().address, listed, error);
    json listed_keys = json::array();
    for (const Utxo& coin : listed)
        listed_keys.push_back(outpoint_key(coin.txid, coin.vout));
    report["listed"] = listed_keys;

    report["payment"] = send_gallery_payload(setup.value("payload", ""), setup.value("watch", ""));
    {
        WalletLock lock = lock_wallet();
        report["shown_after"] = displayed_balance().shown;
        report["face_after"] = load_history_face(kv_wallet().address);
    }
    ASSERT_TRUE(platform_write_file(setup.value("report", ""), report.dump(), false));
}
