// Gallery sales between three wallets on the fake ledger: carol owns and hangs the artwork, dave
// asks and is accepted, eve tries to get the artwork, or to jam the frame, without being the
// accepted buyer. Every transaction passes the ledger's own checks.
#include "art/gallery_sale.h"

#include "art/art_inscribe.h"
#include "art/art_pass.h"
#include "art/gallery_frames.h"
#include "art/gallery_rules.h"
#include "art/last_sale.h"
#include "art/offer_tx.h"
#include "art/ownership.h"
#include "art/pairing.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"
#include "art/window_reads.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/payloads.h"
#include "chain/reserves.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "chain/unsettled_inputs.h"
#include "chain/woc_client.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "identity/identity_lookup.h"
#include "identity/typed_sign.h"
#include "ordinals/ord_listing.h"
#include "platform/fs.h"
#include "support/eventually.h"
#include "support/full_disk.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <thread>

using nlohmann::json;

namespace {

constexpr std::int32_t kSpot = 4;
constexpr std::int64_t kPrice = 1000;

struct Party {
    std::string id{}, alias{}, identity{}, receive{}, ord{};
};

struct GalleryRoadTest : FakeIdentityTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings gp_settings{settings_for(chain, gp)};
    Party carol{"w1", "carol"}, dave{"w2", "dave"}, eve{"w3", "eve"};
    std::string art, cert;
    std::string cert_utxo; // where the certificate is when it moved since its inscription

    GalleryRoadTest() {
        clear_token_outpoint_memory();
        write_test_wallet_file("w1");
        write_wallet("w2", "legal winner thank year wave sausage worth useful legal winner thank yellow");
        write_wallet("w3", "letter advice cage absurd amount doctor acoustic avoid letter advice cage above");
        for (Party* p : {&carol, &dave, &eve}) {
            become(*p);
            // Several coins: an offer locks the ones it spends, and its record is paid with others.
            for (int i = 0; i < 5; ++i)
                chain.ledger.fund(p->receive, 60000);
        }
        chain.ledger.fund(carol.receive, 1000000); // each pairing pays the pair fee
    }
    ~GalleryRoadTest() override { clear_token_outpoint_memory(); }

    static void write_wallet(const std::string& id, const std::string& mnemonic) {
        test_write_file(wallet_file_path_for_id(id), json{{"mnemonic", mnemonic}, {"recv", {0, 0, 0, 0, 0, 0}}}.dump());
    }
    // Starts afresh as the party's wallet; the identity route knows its key.
    // Each step happens a second after the one before, so the records replay in the order posted.
    void become(Party& p) {
        clock.advance(1000);
        reset_wallet_state_for_tests();
        ASSERT_TRUE(load_wallet_id(p.id));
        WalletLock lock = lock_wallet();
        kv_wallet().paymail = p.alias;
        p.identity = kv_wallet().identity_pub;
        p.receive = kv_wallet().address;
        p.ord = derive_ordinals_key();
        ids.set_key(p.alias + "@kestrava.net", p.identity);
    }
    static bool succeeded(const std::string& result) { return result.rfind("success: ", 0) == 0; }

    // Carol inscribes and pairs her artwork, then hangs it in the frame at the price. With
    // `cert_sent` the certificate is inscribed at another address and sent to her first;
    // `before_pair` runs just before she pairs.
    void hang(std::int64_t exp = 0, bool cert_sent = false, const std::function<void()>& before_pair = nullptr) {
        become(carol);
        const TestKey studio = test_key_from_byte(0x5a);
        art = fake_inscribe(chain, test_hash_of(carol.ord), "image/png", "\x89PNG carol's artwork");
        cert = fake_inscribe(
            chain, cert_sent ? studio.hash : test_hash_of(carol.ord), "application/json",
            json{{"pic", art}, {"sha256", sha256_hex("\x89PNG carol's artwork")}, {"artist", carol.identity}}.dump());
        if (cert_sent) {
            cert_utxo =
                fake_send(chain, {{cert.substr(0, 64), 0, studio}}, {{1, p2pkh_script(test_hash_of(carol.ord))}});
            cert_utxo += "_0";
            chain.ledger.mine();
        }
        if (before_pair) before_pair();
        const std::string paired = art_pair_artwork(art, cert);
        ASSERT_TRUE(succeeded(paired)) << paired;
        show(kPrice, exp);
    }
    // Carol hangs her paired artwork in the frame, again or for the first time; a `ts` of her choice
    // dates the record.
    void show(std::int64_t price, std::int64_t exp = 0, std::int64_t ts = 0, std::int32_t spot = kSpot) {
        become(carol);
        json record = new_art_message("art_show");
        if (ts > 0) record["ts"] = ts;
        record.update({{"spot", spot_label(spot)},
                       {"pic", art},
                       {"cert", cert},
                       {"sha256", sha256_hex("\x89PNG carol's artwork")},
                       {"price", std::to_string(price)},
                       {"pay_addr", carol.receive}});
        if (exp > 0) record["exp"] = exp;
        if (!cert_utxo.empty()) record["cert_utxo"] = cert_utxo;
        ASSERT_TRUE(succeeded(gallery_sign_and_post(record, spot_row(spot).watch)));
        chain.ledger.mine();
    }
    // eve hangs carol's artwork as "carol" in `spot`, naming the coins she likes, paid to herself.
    void eve_hangs(std::int32_t spot, const std::string& pic_coin, const std::string& cert_coin) {
        become(eve);
        json record = new_art_message("art_show");
        record.update({{"spot", spot_label(spot)},
                       {"handle", "carol"},
                       {"pic", art.substr(0, 64)},
                       {"cert", cert.substr(0, 64)},
                       {"pic_utxo", pic_coin},
                       {"cert_utxo", cert_coin},
                       {"sha256", sha256_hex("\x89PNG carol's artwork")},
                       {"price", std::to_string(kPrice)},
                       {"pay_addr", eve.receive}});
        ASSERT_TRUE(succeeded(gallery_sign_and_post(record, spot_row(spot).watch)));
        chain.ledger.mine();
    }
    // Carol accepts dave at `price` with a title record of the given fields, signed by `signer`.
    void post_accept(const json& title_fields, std::int64_t price, Party& signer, bool mined = true) {
        std::vector<KvArtTitleRow> rows;
        ASSERT_EQ(art_title_chain(art, rows), "");
        ASSERT_FALSE(rows.empty());
        become(signer);
        TypedMessage title = new_art_message("art_owner");
        title.update({{"pic", art.substr(0, 64)}, {"cert", cert.substr(0, 64)}, {"owner", dave.identity}});
        title["prev"] = rows.back().txid;
        if (title_fields.is_object()) title.update(title_fields);
        std::string error;
        ASSERT_TRUE(sign_typed_message(title, error)) << error;
        const std::string title_json = title.dump();
        become(carol);
        json msg = new_art_message("art_gaccept");
        msg.update({{"spot", spot_label(kSpot)},
                    {"pic", art.substr(0, 64)},
                    {"buyer", dave.identity},
                    {"price_sats", price},
                    {"title_sha", sha256_hex(title_json)},
                    {"title_json", title_json}});
        ASSERT_TRUE(succeeded(gallery_sign_and_post(msg, spot_row(kSpot).watch)));
        if (mined) chain.ledger.mine();
    }
    void ask(Party& buyer, bool mined = true, const std::string& handle = "") {
        become(buyer);
        json msg = new_art_message("art_gask");
        msg.update({{"spot", spot_label(kSpot)},
                    {"pic", art},
                    {"price_sats", kPrice},
                    {"buyer", buyer.identity},
                    {"buyer_ord", buyer.ord}});
        if (!handle.empty()) msg["handle"] = handle;
        ASSERT_TRUE(succeeded(gallery_sign_and_post(msg, spot_row(kSpot).watch)));
        if (mined) chain.ledger.mine();
    }
    // Carol takes the artwork down; the hide record's transaction.
    std::string take_down() {
        become(carol);
        json hide = new_art_message("art_hide");
        hide.update({{"spot", spot_label(kSpot)}, {"pic", art}, {"cert", cert}});
        const std::string posted = gallery_sign_and_post(hide, spot_row(kSpot).watch);
        EXPECT_TRUE(succeeded(posted)) << posted;
        chain.ledger.mine();
        return posted.substr(9, 64);
    }
    // eve posts the frame records of these transactions again, as they stand, in one of her own.
    void eve_copies(const std::vector<std::string>& txids) {
        std::vector<WatchRecord> records;
        std::string error;
        ASSERT_TRUE(read_gallery_watch(spot_label(kSpot), spot_row(kSpot).watch, records, error)) << error;
        become(eve);
        for (const std::string& txid : txids) {
            const auto it =
                std::find_if(records.begin(), records.end(), [&txid](const WatchRecord& r) { return r.txid == txid; });
            ASSERT_NE(it, records.end()) << txid;
            ASSERT_TRUE(succeeded(send_gallery_payload(it->msg.dump(), spot_row(kSpot).watch)));
            chain.ledger.mine();
        }
        gallery_forget_listings();
    }
    void accept(const Party& buyer) {
        become(carol);
        const std::string accepted = gallery_accept_ask(kSpot, buyer.identity);
        ASSERT_TRUE(succeeded(accepted)) << accepted;
        chain.ledger.mine();
    }
    // Hangs the artwork, and dave asks and is accepted.
    void hang_and_accept_dave() {
        hang();
        ask(dave);
        accept(dave);
    }
    // The buyer pays on the terms the frame shows them now, or on `seen`.
    std::string pay(Party& buyer, const SpotFrame* seen = nullptr) {
        become(buyer);
        const SpotFrame f = seen ? *seen : frame();
        std::string accept_txid;
        for (const SpotAccept& accept : f.accepts)
            if (accept.buyer == buyer.identity) accept_txid = accept.txid;
        const std::string funded = gallery_fund_offer(kSpot, f.show_txid, f.price, accept_txid);
        chain.ledger.mine();
        return funded;
    }
    // A funded record carrying `offer`, signed by the party whose wallet is loaded.
    std::string post_funded(const std::string& offer) {
        json msg = new_art_message("art_gfunded");
        msg.update({{"spot", spot_label(kSpot)}, {"offer_sha", sha256_hex(offer)}, {"offer", offer}});
        const std::string posted = gallery_sign_and_post(msg, spot_row(kSpot).watch);
        EXPECT_TRUE(succeeded(posted)) << posted;
        chain.ledger.mine();
        return posted;
    }
    // The offer a buyer builds for the frame, with any outputs and sale record the buyer likes.
    std::string build_offer(const std::string& pay_addr, std::int64_t split, const std::string& record) {
        const SpotFrame f = frame();
        return gallery_offer_build(f.pic_utxo, f.cert_utxo, kPrice, pay_addr, kGallerySaleFeeAddress, split,
                                   kTitleWatchAddress, record);
    }
    SpotFrame frame(std::int32_t spot = kSpot) {
        std::vector<SpotFrame> list;
        load_all_spots(list);
        return list[static_cast<std::size_t>(spot) - 1];
    }
    // The records the frame watch received so far.
    std::size_t frame_records() { return chain.ledger.history_of_address(spot_row(kSpot).watch).size(); }
    // Carol moves both frame coins to her own ordinals address in one transaction of her own.
    std::string carol_moves_the_coins() {
        become(carol);
        std::vector<TxInput> ins(2);
        std::vector<TxOutput> outs;
        const std::string coins[] = {art, cert};
        WalletLock lock = lock_wallet();
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_TRUE(parse_outpoint(coins[i], ins[i].txid, ins[i].vout));
            LedgerOutput prev;
            EXPECT_TRUE(chain.ledger.find_output(ins[i].txid, ins[i].vout, prev));
            ins[i].sats = prev.sats;
            ins[i].prev_script = prev.script;
            ins[i].hash160 = test_hash_of(carol.ord);
            EXPECT_TRUE(find_key_for_hash160(ins[i].hash160, ins[i].priv_hex, ins[i].pub_hex));
            outs.push_back({prev.sats, p2pkh_script(test_hash_of(carol.ord))});
        }
        for (TxInput& in : ins)
            EXPECT_TRUE(sign_tx_input(in, ins, outs, in.hash160, in.priv_hex, in.pub_hex));
        std::string reason, txid;
        EXPECT_TRUE(chain.ledger.accept(serialize_tx(ins, outs, false), reason, &txid)) << reason;
        chain.ledger.mine();
        return txid;
    }
    std::vector<std::string> locks() {
        std::vector<std::string> list;
        EXPECT_TRUE(load_offer_locks(list));
        return list;
    }
    // The buyer coins (inputs from the third on) of an offer.
    static std::vector<TxInput> buyer_inputs(const std::string& offer) {
        std::vector<TxInput> ins;
        std::vector<TxOutput> outs;
        EXPECT_TRUE(parse_raw_tx(from_hex(offer), ins, outs));
        if (ins.size() > 2) ins.erase(ins.begin(), ins.begin() + 2);
        return ins;
    }
    static std::string offer_of(const std::string& funded_result, const SpotFrame& f) {
        const std::string txid = funded_result.substr(9, 64);
        for (const SpotFunded& funded : f.funded)
            if (funded.txid == txid) return funded.offer;
        return "";
    }
    // The steps that kept the wallet while the fake held their broadcast under `path`, so that the
    // window's reads waited behind the services, or whose inputs the spent file on disk did not hold
    // meanwhile, so that another process could spend them.
    std::vector<std::string> kept_wallet;
    void send_with_wallet_free(const char* name, FakeServer& server, const std::string& path,
                               const std::function<void()>& step) {
        FakeFault held;
        held.gather = 2;
        server.reset_counts();
        server.count_in_flight_under(path);
        server.set_fault(path, held);
        bool free_and_held = false;
        std::thread window([&] {
            if (eventually([&] { return server.request_count("POST", path) > 0; }) && kv_wallet_mutex().try_lock()) {
                kv_wallet_mutex().unlock();
                std::vector<TxInput> ins;
                std::vector<TxOutput> outs;
                const std::string stored = test_read_file(spent_file_path());
                free_and_held =
                    parse_raw_tx(from_hex(json::parse(server.requests().back().body).value("txhex", "")), ins, outs) &&
                    std::all_of(ins.begin(), ins.end(), [&](const TxInput& in) {
                        return stored.find(outpoint_key(in.txid, in.vout)) != std::string::npos;
                    });
            }
            server.release_held();
        });
        step();
        window.join();
        server.clear_faults();
        server.count_in_flight_under("");
        if (!free_and_held) kept_wallet.push_back(name);
    }
    // The step's answer while the data folder refuses every write: nothing of it reaches the ledger.
    std::string with_disk_full(const std::function<std::string()>& step) {
        const std::size_t sent_before = chain.ledger.mempool_txids().size();
        std::string answer;
        {
            const FullDisk full;
            answer = step();
        }
        EXPECT_EQ(chain.ledger.mempool_txids().size(), sent_before) << "went out with nothing written: " << answer;
        return answer;
    }
    // The step's record goes out while the user loads `other`'s wallet: its answer comes meanwhile.
    void send_while_loading(Party& other, const std::function<void()>& step) {
        FakeFault held;
        held.gather = 2;
        chain.platform.reset_counts();
        chain.platform.set_fault("/oi/submit", held);
        std::thread window([&] {
            if (eventually([&] { return chain.platform.request_count("POST", "/oi/submit") > 0; })) {
                WalletLock lock = lock_wallet();
                clear_wallet_session();
                kv_wallet().wallet_id = other.id;
                load_wallet();
            }
            chain.platform.release_held();
        });
        step();
        window.join();
        chain.platform.clear_faults();
    }
    // Checks that the sale transaction is dave's offer completed: both coins at dave's ordinals
    // address, the fee, carol's price, the title hook and record, every input of the offer.
    void expect_sale_to_dave(const std::string& sale_txid, const std::string& offer) {
        LedgerTx tx;
        ASSERT_TRUE(chain.ledger.find_tx(sale_txid, tx));
        const std::pair<std::string, std::uint64_t> expected[] = {
            {dave.ord, 1}, {dave.ord, 1}, {kGallerySaleFeeAddress, 20}, {carol.receive, 980}, {kTitleWatchAddress, 1}};
        for (std::uint32_t i = 0; i < std::size(expected); ++i) {
            SCOPED_TRACE(i);
            LedgerOutput out;
            ASSERT_TRUE(chain.ledger.find_output(sale_txid, i, out));
            EXPECT_EQ(out.script, p2pkh_script(test_hash_of(expected[i].first)));
            EXPECT_EQ(out.sats, expected[i].second);
        }
        for (const TxInput& in : buyer_inputs(offer))
            EXPECT_EQ(chain.ledger.spender_of(in.txid, in.vout), sale_txid);
        EXPECT_EQ(chain.ledger.spender_of(art.substr(0, 64), 0), sale_txid);
    }
};

} // namespace

// eve was never accepted: her funded offer pays carol the price but skips the fee and the title
// record. No step of the sale takes it; dave then pays and carol completes his offer.
// Each step is first tried while the data folder refuses writes: it stops before its transaction
// goes out, and a restart's try pays once.
TEST_F(GalleryRoadTest, OfferFromAStrangerIsIgnoredAndTheAcceptedBuyerCompletes) {
    const std::string submit = "/oi/submit";
    become(carol);
    const auto inscribe = [] { return inscribe_artwork("image/png", Bytes{0x89, 'P', 'N', 'G', 7}, "Study"); };
    const auto certify = [] { return inscribe_certificate_file("application/json", Bytes{'{', '}'}, "Study", ""); };
    EXPECT_EQ(with_disk_full(inscribe), kDataFolderUnwritable);
    send_with_wallet_free("inscribe", chain.platform, submit, [&] { EXPECT_TRUE(succeeded(inscribe())); });
    EXPECT_EQ(with_disk_full(certify), kDataFolderUnwritable);
    send_with_wallet_free("certificate", chain.platform, submit, [&] { EXPECT_TRUE(succeeded(certify())); });
    chain.ledger.mine();
    send_with_wallet_free("pairing", chain.platform, submit, [&] {
        hang(0, false, [&] {
            // The services do not list yet a pair that went out, and the program starts again.
            chain.ledger.set_lag(1000);
            EXPECT_EQ(with_disk_full([&] { return art_pair_artwork(art, cert); }), kDataFolderUnwritable);
            chain.ledger.set_lag(0);
            become(carol);
        });
    });
    EXPECT_EQ(chain.ledger.history_of_address(kPairFeeAddress, false).size(), 1u) << "the pair fee is paid once";
    ask(dave);
    become(carol);
    EXPECT_EQ(with_disk_full([&] { return gallery_accept_ask(kSpot, dave.identity); }), kDataFolderUnwritable);
    send_with_wallet_free("accept", chain.platform, submit, [&] { accept(dave); });
    become(eve);
    const std::string eve_offer = build_offer(carol.receive, 0, "eve's own record");
    ASSERT_EQ(eve_offer.rfind("error", 0), std::string::npos) << eve_offer;
    post_funded(eve_offer);

    EXPECT_TRUE(frame().funded.empty());
    become(carol);
    EXPECT_EQ(gallery_complete_sale(kSpot, ""), "error: no funded offer is waiting.");
    EXPECT_EQ(gallery_complete_sale(kSpot, eve_offer), "error: that offer is not on this frame.");
    EXPECT_TRUE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());

    // dave has spent his funded coins elsewhere: he pays with the change of his own records.
    become(dave);
    ASSERT_TRUE(succeeded(send_gallery_payload("a note of dave's", spot_row(kSpot + 1).watch)));
    chain.ledger.mine();
    {
        std::vector<TxInput> spendable, funded_coins;
        std::uint64_t total = 0;
        std::string error;
        WalletLock lock = lock_wallet();
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        load_change_coins();
        const std::vector<ChangeCoin> change = change_coins();
        ASSERT_TRUE(collect_spendable_utxos(spendable, total, error)) << error;
        for (TxInput& coin : spendable) {
            wipe(coin.priv_hex);
            if (std::none_of(change.begin(), change.end(),
                             [&](const ChangeCoin& c) { return outpoint_equal(c.txid, c.vout, coin.txid, coin.vout); }))
                funded_coins.push_back(coin);
        }
        ASSERT_TRUE(lock_offer_inputs(funded_coins));
    }
    std::string funded;
    EXPECT_EQ(with_disk_full([&] {
                  const SpotFrame shown = frame();
                  return gallery_fund_offer(kSpot, shown.show_txid, shown.price, shown.accepts.at(0).txid);
              }),
              kDataFolderUnwritable);
    send_with_wallet_free("pay", chain.platform, submit, [&] { funded = pay(dave); });
    ASSERT_TRUE(succeeded(funded)) << funded;
    const SpotFrame f = frame();
    ASSERT_EQ(f.funded.size(), 1u);
    const std::string offer = offer_of(funded, f);
    ASSERT_FALSE(offer.empty());

    become(carol);
    std::string sale;
    EXPECT_EQ(with_disk_full([&] { return gallery_complete_sale(kSpot, ""); }), kDataFolderUnwritable);
    send_with_wallet_free("complete", chain.woc, std::string(kWocPrefix) + "/tx/raw",
                          [&] { sale = gallery_complete_sale(kSpot, ""); });
    ASSERT_TRUE(succeeded(sale)) << sale;
    ASSERT_EQ(sale.find(" Frame notice failed"), std::string::npos) << sale;
    expect_sale_to_dave(sale.substr(9, 64), offer);
    chain.ledger.mine();
    // dave's next payment, after a restart, takes none of the coins the sale spent.
    become(dave);
    frame();
    {
        std::vector<TxInput> spendable;
        std::uint64_t total = 0;
        std::string error;
        WalletLock lock = lock_wallet();
        ASSERT_TRUE(refresh_wallet_coins(lock, error)) << error;
        ASSERT_TRUE(collect_spendable_utxos(spendable, total, error)) << error;
        for (const TxInput& in : buyer_inputs(offer))
            for (const TxInput& coin : spendable)
                EXPECT_FALSE(outpoint_equal(in.txid, in.vout, coin.txid, coin.vout)) << "spent by the sale";
        for (TxInput& coin : spendable)
            wipe(coin.priv_hex);
    }

    std::vector<KvArtTitleRow> rows;
    ASSERT_EQ(art_title_chain(art, rows), "");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.back().owner, dave.identity);
    const std::string block = last_sale_block(art, rows);
    // Neither party has a paymail on the platform here, so both show as shortened keys.
    const std::string expected = "1000 sats\r\nFrom " + carol.identity.substr(0, 8) + "\xE2\x80\xA6" +
                                 carol.identity.substr(60) + "\r\nTo " + dave.identity.substr(0, 8) + "\xE2\x80\xA6" +
                                 dave.identity.substr(60) + "\r\nFrame AP4\r\n";
    EXPECT_EQ(block.rfind(expected, 0), 0u) << block;
    // The sale closed for dave once he passed it on; an acceptance on eve's head, taken down, closed none.
    become(dave);
    EXPECT_EQ(with_disk_full([&] { return art_pass_to_paymail(art, "eve", eve.ord); }), kDataFolderUnwritable);
    send_with_wallet_free("pass", chain.platform, submit,
                          [&] { ASSERT_TRUE(succeeded(art_pass_to_paymail(art, "eve", eve.ord))); });
    chain.ledger.mine();
    EXPECT_EQ(kept_wallet, std::vector<std::string>{})
        << "these steps kept the wallet while their transaction went out";
    ASSERT_EQ(art_title_chain(art, rows), "");
    SpotLoad taken_down;
    static_cast<SpotFrame&>(taken_down) = f;
    taken_down.shown = false;
    taken_down.funded.clear();
    std::set<std::string> closed, accepted_later;
    load_gallery_state({taken_down}, closed);
    taken_down.accepts[0].title_json = json{{"prev", rows.back().txid}}.dump();
    load_gallery_state({taken_down}, accepted_later);
    EXPECT_TRUE(closed.size() == 1 && accepted_later.empty()) << closed.size() << accepted_later.size();
}

// The honest road with a certificate inscribed elsewhere and sent to carol before she paired it:
// dave pays, carol completes, and the title follows both coins to dave.
TEST_F(GalleryRoadTest, SaleOfAnArtworkWhoseCertificateArrivedFromAnotherAddress) {
    hang(0, true);
    ask(dave);
    accept(dave);
    const std::string funded = pay(dave);
    ASSERT_TRUE(succeeded(funded)) << funded;
    become(carol);
    const std::string sale = gallery_complete_sale(kSpot, "");
    ASSERT_TRUE(succeeded(sale)) << sale;
    chain.ledger.mine();
    std::vector<KvArtTitleRow> rows;
    ASSERT_EQ(art_title_chain(art, rows), "");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.back().owner, dave.identity);
}

// Only an offer with exactly the sale's outputs for its acceptance is completed: each of these was
// posted by dave, the accepted buyer, and each would take more than was agreed.
TEST_F(GalleryRoadTest, AcceptedBuyerOffersThatDifferFromTheSaleAreIgnored) {
    hang_and_accept_dave();
    become(dave);
    const SpotFrame f = frame();
    ASSERT_EQ(f.accepts.size(), 1u);
    const std::string title = f.accepts[0].title_json;
    struct Row {
        const char* name;
        std::string pay;
        std::int64_t split;
        std::string record;
    } rows[] = {
        {"no fee", carol.receive, 0, title},
        {"another title record", carol.receive, 20, title + " "},
        {"the price to dave", dave.receive, 20, title},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string offer = build_offer(row.pay, row.split, row.record);
        ASSERT_EQ(offer.rfind("error", 0), std::string::npos) << offer;
        post_funded(offer);
        release_offer_inputs(buyer_inputs(offer));
    }
    EXPECT_TRUE(frame().funded.empty());
    become(carol);
    EXPECT_EQ(gallery_complete_sale(kSpot, ""), "error: no funded offer is waiting.");
    EXPECT_TRUE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());
}

// eve, accepted too, posts an offer whose coin carries a garbage unlocking script. It neither stops
// dave from paying nor carol from completing dave's offer; named on its own, or by its buyer, it is
// refused.
TEST_F(GalleryRoadTest, OfferWithAnInvalidInputDoesNotJamTheFrame) {
    hang();
    ask(dave);
    ask(eve);
    accept(dave);
    accept(eve);
    become(eve);
    const std::string built = build_offer(carol.receive, 20, frame().accepts.back().title_json);
    ASSERT_EQ(built.rfind("error", 0), std::string::npos) << built;
    std::vector<TxInput> ins;
    std::vector<TxOutput> outs;
    ASSERT_TRUE(parse_raw_tx(from_hex(built), ins, outs));
    ins[2].script_sig = Bytes(72, 0x51);
    const std::string garbage = to_hex(serialize_tx(ins, outs, false));
    post_funded(garbage);

    const std::string funded = pay(dave);
    ASSERT_TRUE(succeeded(funded)) << funded;
    const std::string offer = offer_of(funded, frame());
    ASSERT_FALSE(offer.empty());
    become(eve);
    post_funded(garbage); // the newest offer on the frame

    become(carol);
    EXPECT_EQ(gallery_complete_sale(kSpot, garbage),
              "error: that offer cannot be completed: a buyer input is not signed by the key of its coin.");
    EXPECT_EQ(gallery_complete_sale(kSpot, "", "", eve.identity),
              "error: no funded offer can be completed: a buyer input is not signed by the key of its coin.");
    EXPECT_TRUE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());
    const std::string sale = gallery_complete_sale(kSpot, "");
    ASSERT_TRUE(succeeded(sale)) << sale;
    expect_sale_to_dave(sale.substr(9, 64), offer);
}

// A completion reports success only for the sale of its own offer: after the frame coins went out
// in another transaction, completing dave's offer changes nothing.
TEST_F(GalleryRoadTest, CompletionAfterTheCoinsWentElsewhereChangesNothing) {
    hang_and_accept_dave();
    const std::string funded = pay(dave);
    ASSERT_TRUE(succeeded(funded)) << funded;
    const std::string offer = offer_of(funded, frame());
    ASSERT_FALSE(offer.empty());

    carol_moves_the_coins();
    GalleryReserve reserve;
    reserve.pic_utxo = art;
    reserve.cert_utxo = cert;
    reserve.pic = art;
    reserve.cert = cert;
    reserve.spot = kSpot;
    ASSERT_TRUE(save_gallery_reserves({reserve}));
    const std::size_t records = frame_records();

    EXPECT_EQ(gallery_complete_sale(kSpot, offer), "error: that frame is empty.");
    EXPECT_EQ(frame_records(), records);
    std::vector<GalleryReserve> reserves;
    ASSERT_TRUE(load_gallery_reserves(reserves));
    EXPECT_EQ(reserves.size(), 1u);
    EXPECT_EQ(gallery_complete_sign_send(offer, art), "error: one of the artwork coins was already spent.");
    for (const TxInput& in : buyer_inputs(offer))
        EXPECT_TRUE(chain.ledger.spender_of(in.txid, in.vout).empty());
}

// A failed post of the funded record frees the coins it locked, so retries do not drain the wallet.
TEST_F(GalleryRoadTest, FailedPaymentPostsLeaveNoCoinLocked) {
    hang_and_accept_dave();
    become(dave);
    const SpotFrame seen = frame();
    chain.woc.set_fault("/v1/bsv/main/tx/raw", FakeFault{500});
    chain.arc.set_fault("/v1/tx", FakeFault{500});
    chain.platform.set_fault("/oi/submit", FakeFault{500});
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        EXPECT_EQ(pay(dave, &seen).rfind("error", 0), 0u);
        EXPECT_TRUE(locks().empty());
    }
    chain.woc.clear_faults();
    chain.arc.clear_faults();
    chain.platform.clear_faults();
    const std::string funded = pay(dave);
    ASSERT_TRUE(succeeded(funded)) << funded;
    EXPECT_FALSE(locks().empty());
}

// Once the offer no longer counts for its frame, the next gallery read frees its coins: the frame
// coins went out in another transaction, the exhibit was taken down, hung again at any price, or
// its hanging expired. A stranger's hanging of the same coins at the same price changes nothing.
TEST_F(GalleryRoadTest, LocksOfAnOfferThatCanNoLongerCompleteAreReleased) {
    enum class End { coins_moved, hidden, new_price, same_price, stranger, expired };
    struct Row {
        const char* name;
        End end;
        bool freed = true;
        bool paid_while_switched = false; // carol's wallet was loaded while dave's payment went out
    } rows[] = {{"coins moved", End::coins_moved},
                {"hidden", End::hidden},
                {"hidden, paid while another wallet was loaded", End::hidden, true, true},
                {"new price", End::new_price},
                {"hung again at the same price", End::same_price},
                {"a stranger hangs the same coins", End::stranger, false},
                {"expired", End::expired}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        hang(row.end == End::expired ? clock_system_ms() / 1000 + 3600 : 0);
        ask(dave);
        accept(dave);
        std::string funded;
        if (row.paid_while_switched) {
            chain.ledger.fund(carol.receive, 300000); // the next row's pairing pays its fee too
            send_while_loading(carol, [&] { funded = pay(dave); });
            become(dave);
        } else {
            funded = pay(dave);
        }
        ASSERT_TRUE(succeeded(funded)) << funded;
        frame();
        ASSERT_FALSE(locks().empty()) << "a live offer keeps its coins";

        if (row.end == End::coins_moved) carol_moves_the_coins();
        if (row.end == End::hidden) take_down();
        if (row.end == End::new_price) show(2 * kPrice);
        if (row.end == End::same_price) show(kPrice);
        if (row.end == End::stranger) eve_hangs(kSpot, art, cert);
        if (row.end == End::expired) clock.advance(2 * 3600 * 1000);
        become(dave);
        frame();
        EXPECT_EQ(locks().empty(), row.freed);
        if (row.freed) continue;
        show(kPrice); // the owner's own hanging again ends that offer
        become(dave);
        frame();
        EXPECT_TRUE(locks().empty());
    }
}

// A step right after the gallery was read may take the frame listing from that read only where no
// money moves (an acceptance); paying and completing read every watch again. Mined records are
// read once however often the frame is read.
TEST_F(GalleryRoadTest, OnlyTheAcceptanceReusesAFrameListingReadMomentsBefore) {
    hang();
    ask(dave);
    const std::string watch = spot_row(kSpot).watch;
    const std::string history = std::string(kWocPrefix) + "/address/" + watch + "/";
    const std::string oracle = "/oi/oracle/" + spot_label(kSpot) + "/";
    // WhatsOnChain's two histories of the watch come in the gallery read's one bulk request.
    auto listings = [&] {
        return chain.woc.request_count("GET", history) + chain.platform.request_count("GET", oracle) +
               chain.woc.request_count("POST", std::string(kWocPrefix) + "/addresses/history/all");
    };
    auto record_reads = [&] {
        int n = 0;
        for (const LedgerTx& tx : chain.ledger.history_of_address(watch))
            n += chain.platform.request_count("GET", "/oi/tx/" + tx.txid) +
                 chain.woc.request_count("GET", std::string(kWocPrefix) + "/tx/" + tx.txid);
        return n;
    };

    become(carol);
    frame();
    const int read_once = record_reads();
    int before = listings();
    frame();
    EXPECT_EQ(listings() - before, 2) << "a gallery read asks both services afresh";
    EXPECT_EQ(record_reads(), read_once) << "mined records are not read again";

    // Five seconds on, the listing is read again; the acceptance of a buyer who never asked fails
    // after its read.
    clock.advance(5000);
    before = listings();
    EXPECT_EQ(gallery_accept_ask(kSpot, eve.identity), "error: that buyer has not asked.");
    EXPECT_EQ(listings() - before, 2);

    frame();
    before = listings();
    const std::string accepted = gallery_accept_ask(kSpot, dave.identity);
    ASSERT_TRUE(succeeded(accepted)) << accepted;
    EXPECT_EQ(listings(), before) << "the acceptance used the listing of the gallery read";
    chain.ledger.mine();

    become(dave);
    const SpotFrame seen = frame();
    before = listings();
    const std::string funded = pay(dave, &seen);
    ASSERT_TRUE(succeeded(funded)) << funded;
    EXPECT_EQ(listings() - before, 2) << "paying reads the watch again";

    become(carol);
    frame();
    before = listings();
    const std::string sold = gallery_complete_sale(kSpot, "");
    ASSERT_TRUE(succeeded(sold)) << sold;
    EXPECT_GE(listings() - before, 2) << "completing reads the watch again";
}

// A hanging counts only where its signer holds the title and it names the coins where the title's
// coins are now; hangings replay in chain order and one dated ahead of the chain has no effect.
// After carol's hanging at the price, each row posts one more hanging; the wall then shows carol's
// artwork in one frame at one price, with her pay address, and nothing in the other frame.
TEST_F(GalleryRoadTest, OnlyTheTitleHoldersHangingsCountInChainOrder) {
    const std::int64_t now = clock_system_ms() / 1000;
    struct Row {
        const char* name;
        std::function<void()> hanging;
        std::int32_t shown_in;
        std::int64_t price;
    } rows[] = {
        {"a stranger with coins of her own",
         [&] { eve_hangs(kSpot, chain.ledger.fund(eve.ord, 1) + "_0", chain.ledger.fund(eve.ord, 1) + "_0"); }, kSpot,
         kPrice},
        {"a stranger in another frame",
         [&] { eve_hangs(kSpot + 1, chain.ledger.fund(eve.ord, 1) + "_0", chain.ledger.fund(eve.ord, 1) + "_0"); },
         kSpot, kPrice},
        {"a stranger naming the artwork's own coins", [&] { eve_hangs(kSpot, art, cert); }, kSpot, kPrice},
        {"the owner, dated ten years ahead", [&] { show(2 * kPrice, 0, now + 10 * 365 * 86400); }, kSpot, kPrice},
        {"the owner later, dated back", [&] { show(2 * kPrice, 0, 100); }, kSpot, 2 * kPrice},
        // The sale leaves the frame empty: the hanging it replaced does not come back.
        {"the owner's sale completed",
         [&] {
             ask(dave);
             accept(dave);
             ASSERT_TRUE(succeeded(pay(dave)));
             become(carol);
             ASSERT_TRUE(succeeded(gallery_complete_sale(kSpot, "", frame().show_txid, dave.identity)));
             chain.ledger.fund(carol.receive, 1000000); // the next row's pair fee
             chain.ledger.mine();
         },
         kSpot, -1},
        {"the owner later in another frame, dated back", [&] { show(2 * kPrice, 0, 100, kSpot + 1); }, kSpot + 1,
         2 * kPrice},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        hang();
        row.hanging();
        std::vector<SpotFrame> list;
        load_all_spots(list);
        const SpotFrame& f = list[static_cast<std::size_t>(row.shown_in) - 1];
        EXPECT_EQ(std::to_string(f.shown) + " " + f.owner + " " + f.pay_addr + " " + std::to_string(f.price),
                  row.price < 0 ? "0   -1"
                                : "1 " + carol.identity + " " + carol.receive + " " + std::to_string(row.price));
        EXPECT_FALSE(list[static_cast<std::size_t>(row.shown_in == kSpot ? kSpot : kSpot - 1)].shown);
    }
}

// dave pays only on the terms he was shown, for a title record that hands him the title: each row
// changes the sale after he looked, or has carol accept him with a record that would leave the
// title behind. Nothing is posted, no coin is locked and the artwork stays where it was.
TEST_F(GalleryRoadTest, BuyerPaysOnlyTheTermsShownForTheTitleTheSellerHolds) {
    const char* const kBadTitle = "error: the title record of the acceptance does not pass the artwork to you.";
    struct Row {
        const char* name;
        std::function<void()> change;
        bool seen_before; // dave saw the frame before the change
        const char* expected;
    } rows[] = {
        {"hung again dearer, accepted unasked",
         [&] {
             show(40 * kPrice);
             post_accept({}, 40 * kPrice, carol);
         },
         true, "error: the owner has not accepted this ask yet."},
        {"hung again dearer, the buyer's program in a fresh data folder",
         [&] {
             chain.ledger.fund(carol.receive, 300000); // the next row's pair fee
             show(2 * kPrice);
             title_memory_forget();
             gallery_cache_clear();
             const std::string registry = kestrava_data_dir() + "/registry";
             for (const std::string& name : platform_file_names(registry))
                 platform_remove_file(registry + "/" + name);
         },
         true, "error: the owner has not accepted this ask yet."},
        {"hung again at the same price, accepted again",
         [&] {
             show(kPrice);
             ask(dave);
             accept(dave);
         },
         true, "error: the sale changed since you looked. Read the gallery again before paying."},
        {"a record naming an older head",
         [&] {
             post_accept({{"prev", art.substr(0, 64)}}, kPrice, carol);
         },
         false, kBadTitle},
        {"a record naming the seller",
         [&] {
             post_accept({{"owner", carol.identity}}, kPrice, carol);
         },
         false, kBadTitle},
        {"a record of another artwork",
         [&] {
             post_accept({{"pic", cert.substr(0, 64)}}, kPrice, carol);
         },
         false, kBadTitle},
        {"a record signed by a stranger", [&] { post_accept({}, kPrice, eve); }, false, kBadTitle},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        hang_and_accept_dave();
        become(dave);
        const SpotFrame seen = frame();
        row.change();
        const std::size_t records = frame_records();
        EXPECT_EQ(row.seen_before ? pay(dave, &seen) : pay(dave), row.expected);
        EXPECT_EQ(frame_records(), records);
        EXPECT_TRUE(locks().empty());
        EXPECT_TRUE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());
    }
}

// eve copies carol's first hanging, dave's ask and carol's acceptance after carol changed the sale,
// or an old take-down after dave paid: the wall keeps carol's last word. A taken-down artwork
// cannot be paid for; where the seller's name points today changes nothing for her title record.
TEST_F(GalleryRoadTest, CopiedFrameRecordsChangeNothingAndTheSaleKeepsItsLastTerms) {
    const char* const kNotAccepted = "error: the owner has not accepted this ask yet.";
    const char* const kTakenDown = "error: the owner took this artwork down. It cannot be paid for.";
    const std::vector<std::string> none;
    std::vector<std::string> first, hide; // carol's hanging, dave's ask and her acceptance; her take-down
    struct Row {
        const char* name;
        std::function<void()> change;
        const std::vector<std::string>* copies;
        std::int64_t price;
        bool hidden;
        const char* pay; // null: dave's payment goes through, and carol completes it
    } rows[] = {
        {"hung again dearer", [&] { show(40 * kPrice); }, &first, 40 * kPrice, false, kNotAccepted},
        {"taken down", [&] { take_down(); }, &first, kPrice, true, kTakenDown},
        {"taken down, nothing copied", [&] { take_down(); }, &none, kPrice, true, kTakenDown},
        {"hung again at the price", [&] { show(kPrice); }, &first, kPrice, false, kNotAccepted},
        {"taken down and hung again, then paid",
         [&] {
             hide = {take_down()};
             show(kPrice);
             ask(dave);
             accept(dave);
         },
         &hide, kPrice, false, nullptr},
        {"the seller's name moves to another key",
         [&] {
             ids.set_key(carol.alias + "@kestrava.net", eve.identity);
             clear_identity_cache();
         },
         &none, kPrice, false, nullptr},
        {"the seller's name cannot be looked up",
         [&] {
             clear_identity_cache();
             chain.platform.set_fault("/api/bsvalias/id/" + carol.alias, FakeFault{500});
         },
         &none, kPrice, false, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Each pairing pays the pair fee; each payment locks some of dave's coins.
        chain.ledger.fund(carol.receive, 300000);
        chain.ledger.fund(dave.receive, 60000);
        chain.ledger.fund(dave.receive, 60000);
        hang_and_accept_dave();
        const SpotFrame before = frame();
        ASSERT_TRUE(before.asks.size() == 1 && before.accepts.size() == 1);
        first = {before.show_txid, before.asks[0].txid, before.accepts[0].txid};
        row.change();
        if (row.pay) eve_copies(*row.copies);
        const std::string paid = pay(dave);
        ASSERT_EQ(succeeded(paid), row.pay == nullptr) << paid;
        if (!row.pay) eve_copies(*row.copies);
        chain.platform.clear_faults();
        become(dave);
        const SpotFrame f = frame();
        EXPECT_EQ(f.price, row.price);
        EXPECT_EQ(f.hidden, row.hidden);
        EXPECT_EQ(locks().empty(), row.pay != nullptr);
        become(carol);
        if (row.pay) {
            EXPECT_EQ(paid, row.pay);
            EXPECT_EQ(gallery_complete_sale(kSpot, ""), "error: no funded offer is waiting.");
            EXPECT_TRUE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());
            continue;
        }
        ASSERT_EQ(f.funded.size(), 1u);
        const std::string sale = gallery_complete_sale(kSpot, "", f.show_txid);
        ASSERT_TRUE(succeeded(sale)) << sale;
        expect_sale_to_dave(sale.substr(9, 64), f.funded[0].offer);
    }
}

// Carol completes only the hanging she was shown, and accepts only the ask she was shown: eve's
// ask under dave's handle shows under eve's own key and does not pass for dave's.
TEST_F(GalleryRoadTest, OwnerStepsTakeTheHangingAndAskShown) {
    hang();
    ask(dave);
    ask(eve, true, dave.alias);
    become(carol);
    const SpotFrame seen = frame();
    ASSERT_EQ(seen.asks.size(), 2u);
    EXPECT_EQ(seen.asks[1].handle, paymail_display_label(eve.identity));
    EXPECT_EQ(gallery_accept_ask(kSpot, dave.identity, seen.asks[1].txid),
              "error: that ask changed since you looked. Read the gallery again before accepting.");
    ASSERT_TRUE(succeeded(gallery_accept_ask(kSpot, dave.identity, seen.asks[0].txid)));
    chain.ledger.mine();
    // Paid a moment ago, and only the oracle answers, listing the frame as it was before: a second
    // payment is still refused.
    const std::string watch = spot_row(kSpot).watch, woc = kWocPrefix;
    for (const LedgerTx& tx : chain.ledger.history_of_address(watch))
        fake_oracle_list(chain, spot_label(kSpot), tx.txid);
    const SpotFrame to_pay = frame();
    ASSERT_TRUE(succeeded(pay(dave, &to_pay)));
    for (const std::string& path : {"/address/" + watch + "/history", "/address/" + watch + "/unconfirmed/history",
                                    std::string("/addresses/history/all")})
        chain.woc.set_fault(woc + path, FakeFault{500});
    EXPECT_EQ(pay(dave, &to_pay), "error: you already paid. The owner completes the sale.");
    chain.woc.clear_faults();

    become(carol);
    const SpotFrame paid = frame();
    ASSERT_EQ(paid.funded.size(), 1u);
    show(kPrice);
    EXPECT_EQ(gallery_complete_sale(kSpot, "", paid.show_txid),
              "error: the sale changed since you looked. Read the gallery again before completing.");
    EXPECT_TRUE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());
}

// Neither service lists the frame's watch at the click: each step says the frame could not be read
// and asks to try again, never that it is empty or not for sale; then it goes on.
TEST_F(GalleryRoadTest, StepsOnAFrameThatCannotBeReadSaySo) {
    const std::string label = spot_label(kSpot), woc = kWocPrefix;
    hang();
    ask(dave);
    const std::pair<Party*, std::function<std::string(const SpotFrame&)>> rows[] = {
        {&carol, [&](const SpotFrame&) { return gallery_accept_ask(kSpot, dave.identity); }},
        {&dave, [&](const SpotFrame& seen) { return pay(dave, &seen); }},
        {&carol, [&](const SpotFrame&) { return gallery_complete_sale(kSpot, ""); }},
    };
    for (const auto& [party, step] : rows) {
        SCOPED_TRACE(party->alias);
        become(*party);
        const SpotFrame seen = frame();
        clock.advance(5000); // the listing just read no longer serves
        chain.woc.set_fault(woc + "/address/" + spot_row(kSpot).watch + "/", FakeFault{500});
        chain.woc.set_fault(woc + "/addresses/history/all", FakeFault{500});
        chain.platform.set_fault("/oi/oracle/" + label + "/", FakeFault{500});
        EXPECT_EQ(step(seen), "error: frame " + label + " could not be read: OI " + label +
                                  " missed and WhatsOnChain missed. Try again.");
        chain.woc.clear_faults();
        chain.platform.clear_faults();
        EXPECT_TRUE(succeeded(step(seen)));
        chain.ledger.mine();
    }
}

// An acceptance counts when dave's ask stands before it or beside it, in one block (a busy one
// too, placed through its pages) or both unconfirmed, whichever the block or the listing puts
// first; where two records share a block whose order cannot be read, the frame read says so (the
// records the last road's payment mined into one block are placed only there).
TEST_F(GalleryRoadTest, AnAcceptanceBesideItsAskCounts) {
    const struct {
        const char* name;
        bool mined;
        int others; // unrelated transactions in the block before them
    } roads[] = {{"one block", true, 0}, {"one busy block", true, 1001}, {"both unconfirmed", false, 0}};
    for (const auto& road : roads) {
        SCOPED_TRACE(road.name);
        hang();
        for (int i = 0; i < road.others; ++i)
            chain.ledger.fund(eve.ord, 1);
        post_accept({}, kPrice, carol, false);
        ask(dave, false);
        if (road.mined) chain.ledger.mine();
        become(dave);
        const SpotFrame f = frame();
        ASSERT_EQ(f.accepts.size(), 1u);
        const std::string paid = pay(dave);
        EXPECT_TRUE(succeeded(paid)) << paid;
    }
    chain.woc.set_fault(std::string(kWocPrefix) + "/block/height/", FakeFault{500});
    std::vector<SpotFrame> list;
    EXPECT_EQ(load_all_spots(list), "frame " + spot_label(kSpot) + ": " + kFrameOrderUnknown);
    EXPECT_FALSE(list[kSpot - 1].shown);
}

// The wall remembers carol's pair; then mallory's pair turns up before it: a reorganisation moved
// carol's a block later, an index had not listed mallory's, in her block and before it, or a
// restart kept carol's note on disk (one an earlier program wrote without its block too). No step
// goes on what was remembered: each refuses, nothing is posted or spent, and the next read names
// mallory, after a restart too. A pair in a block that may still change is read afresh by the
// step's frame read too, which then no longer counts carol's hanging: the step refuses on that.
TEST_F(GalleryRoadTest, StepsConfirmTheRememberedFirstPair) {
    const TestKey mallory = test_key_from_byte(0x44);
    const auto mallory_pairs = [&] {
        fake_pair_tx(
            chain, mallory,
            fake_signed_record(
                fake_art_record("art_pair", "mallory", 1767225600, {{"pic", art}, {"owner", mallory.pub}}), 0x44));
    };
    constexpr int kUnlisted = 1000; // look-ups until mallory's pair is listed
    enum class Change { reorganised, unlisted, restarted, bare_note };
    const struct {
        const char* name;
        Change change;
    } rows[] = {{"reorganised", Change::reorganised},
                {"not listed at first", Change::unlisted},
                {"reorganised after a restart", Change::restarted},
                {"reorganised, an earlier program's note", Change::bare_note}};
    const char* const steps[] = {"accept", "pay", "complete", "pass"};
    for (const auto& row : rows) {
        for (const std::string step : steps) {
            if (row.change == Change::bare_note && step != "pay") continue;
            SCOPED_TRACE(std::string(row.name) + ", " + step);
            chain.ledger.fund(carol.receive, 300000);
            chain.ledger.fund(dave.receive, 60000);
            chain.ledger.fund(dave.receive, 60000);
            hang(0, false, [&] {
                if (row.change != Change::unlisted) return;
                chain.ledger.set_lag(kUnlisted);
                mallory_pairs();
                chain.ledger.set_lag(0);
            });
            ask(dave);
            if (step != "accept") accept(dave);
            if (step == "complete") {
                ASSERT_TRUE(succeeded(pay(dave)));
            }
            become(carol);
            frame();
            std::vector<KvArtTitleRow> title;
            ASSERT_EQ(art_title_chain(art, title), "");
            ASSERT_EQ(title.at(0).owner, carol.identity);
            if (row.change == Change::unlisted) {
                for (int i = 0; i < kUnlisted; ++i)
                    chain.ledger.note_lookup();
            } else {
                mallory_pairs();
                chain.ledger.mine();
                ASSERT_TRUE(chain.ledger.unmine(title[0].txid));
                chain.ledger.mine();
            }
            if (row.change == Change::bare_note)
                watch_note_set(kTitleWatchKey, "first pair of " + art.substr(0, 64), title[0].txid);
            if (row.change >= Change::restarted) title_memory_forget();
            const std::size_t records = frame_records();
            std::string result;
            if (step == "accept") result = gallery_accept_ask(kSpot, dave.identity);
            if (step == "pay") result = pay(dave);
            if (step == "complete") result = gallery_complete_sale(kSpot, "");
            if (step == "pass") result = art_pass_to_paymail(art, "dave");
            const std::set<std::string> refusals = {
                "error: the artwork's title changed since it was read. Read it again before this step.",
                "error: that frame is not for sale.",
                "error: that frame is empty.",
                "error: owner is not this identity.",
                "error: title is not this identity. This app will not pass it.",
                "error: you no longer hold this artwork."};
            EXPECT_EQ(refusals.count(result), 1u) << result;
            EXPECT_EQ(frame_records(), records);
            EXPECT_TRUE(chain.ledger.spender_of(art.substr(0, 64), 0).empty());
            for (int restart = 0; restart < 2; ++restart) {
                EXPECT_EQ(art_title_chain(art, title), "");
                EXPECT_EQ(title.empty() ? "" : title[0].owner, mallory.pub);
                title_memory_forget();
            }
        }
    }
}

// Strangers paid both registry watches between the artwork's inscription and its pair, more than
// a gallery read reads at once. Each step of the road runs in a fresh process on an emptied
// registry folder, after the Refresh the window runs first, which leaves the frame's title unread:
// each step still goes through from the first click, on what the frame holds, and asks the
// service once about each output's spend status.
TEST_F(GalleryRoadTest, EachStepGoesThroughFromTheFirstClickAfterABusySpan) {
    const std::string registry = kestrava_data_dir() + "/registry";
    const auto restart = [&](Party& p) {
        become(p);
        title_memory_forget();
        woc_cache_clear();
        gallery_cache_clear();
        for (const std::string& name : platform_file_names(registry))
            platform_remove_file(registry + "/" + name);
    };
    // What the step asked of WhatsOnChain twice, "" when nothing: a request made again word for word
    // (a watch listing, a transaction), one output's spend status, alone or in a bulk request, or one
    // transaction's details in two bulk requests.
    const auto asked_twice = [&] {
        const std::regex single(".*/tx/([0-9a-fA-F]{64})/([0-9]+)/spent");
        std::map<std::string, int> asks;
        for (const FakeRequest& request : chain.woc.requests()) {
            std::string made = request.method + " " + request.path + " " + request.body;
            for (const auto& [name, value] : request.query)
                made += " " + name + "=" + value;
            ++asks[made];
            std::smatch m;
            if (request.method == "GET" && std::regex_match(request.path, m, single))
                ++asks[to_lower_copy(m[1].str()) + "_" + m[2].str()];
            if (request.method != "POST") continue;
            const json body = json::parse(request.body, nullptr, false);
            if (request.path.size() > 4 && request.path.compare(request.path.size() - 4, 4, "/txs") == 0 &&
                body.is_object() && body.contains("txids"))
                for (const json& id : body["txids"])
                    ++asks["details of " + to_lower_copy(id.is_string() ? id.get<std::string>() : "")];
            if (request.path.find("/utxos/spent") == std::string::npos) continue;
            if (!body.is_object() || !body.contains("utxos")) continue;
            for (const json& utxo : body["utxos"])
                ++asks[to_lower_copy(utxo.value("txid", "")) + "_" + std::to_string(utxo.value("vout", 0))];
        }
        for (const auto& [asked, n] : asks)
            if (n > 1) return asked.substr(0, 160);
        return std::string();
    };
    // The terms the buyer and the owner saw on an earlier day.
    SpotLoad seen;

    become(carol);
    art = fake_inscribe(chain, test_hash_of(carol.ord), "image/png", "\x89PNG carol's artwork");
    cert = fake_inscribe(
        chain, test_hash_of(carol.ord), "application/json",
        json{{"pic", art}, {"sha256", sha256_hex("\x89PNG carol's artwork")}, {"artist", carol.identity}}.dump());
    chain.ledger.mine();
    for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
        chain.ledger.add_payments(watch, 2000);
    const struct Row {
        const char* name;
        std::function<void()> before;
        Party* party;
        bool frame_unread; // what the Refresh shows of the frame
        std::function<std::string()> step;
    } rows[] = {
        {"pair", nullptr, &carol, false, [&] { return art_pair_artwork(art, cert); }},
        {"accept",
         [&] {
             show(kPrice);
             ask(dave);
         },
         &carol, true, [&] { return gallery_accept_ask(kSpot, dave.identity); }},
        {"pay", nullptr, &dave, true,
         [&] {
             return gallery_fund_offer(kSpot, seen.show_txid, seen.price,
                                       seen.accepts.empty() ? "" : seen.accepts[0].txid);
         }},
        {"complete", nullptr, &carol, true,
         [&] { return gallery_complete_sale(kSpot, "", seen.show_txid, dave.identity); }},
        {"pass", nullptr, &dave, false, [&] { return art_pass_to_paymail(art, "eve", eve.ord); }},
        {"look-up", nullptr, &eve, false,
         [&] {
             const std::string report = art_lookup_by_id(art);
             return report.rfind("Live owner", 0) == 0 ? "success: " + report : report;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.before) row.before();
        seen = load_spot(kSpot - 1, clock_system_ms() / 1000);
        restart(*row.party);
        std::vector<SpotLoad> refreshed;
        std::set<std::string> closed;
        read_gallery(refreshed, closed);
        const SpotLoad& unread = refreshed.at(kSpot - 1);
        if (row.frame_unread) {
            EXPECT_EQ(unread.reading + " " + unread.show_txid + " " + std::to_string(unread.accepts.size()),
                      kFrameTitleReading + (" " + seen.show_txid) + " " + std::to_string(seen.accepts.size()));
        }
        chain.woc.reset_counts();
        const std::string result = row.step();
        EXPECT_TRUE(succeeded(result)) << result;
        EXPECT_EQ(asked_twice(), "");
        chain.ledger.mine();
    }
    std::vector<KvArtTitleRow> title;
    EXPECT_EQ(art_title_chain(art, title), "");
    EXPECT_EQ(title.empty() ? "" : title.back().owner, eve.identity);
}

// A stranger hangs inscriptions of his, never paired and older than every payment the registry
// watches had since, over the frame while its sale is under way: one, two, six, or one more before
// each Refresh. Each Refresh after a restart shows the sale's hanging with its acceptance, then the
// buyer's offer, and says a newer hanging is being read; dave pays and carol completes from it at no
// more than twice the requests the same steps take without the junk. Neither step asks anything of
// the junk: it adds at most kJunkLeft requests to each, the sale certificate's transaction that the
// Refresh read the junk's in place of and the listings of the payments after it. A step from a
// program that has not read the frame since the junk was hung acts on the hanging its user saw.
TEST_F(GalleryRoadTest, AStrangersNewerHangingNeverStopsTheSaleUnderWay) {
    become(eve);
    std::vector<std::string> junk;
    for (int i = 0; i < 16; ++i)
        junk.push_back(fake_inscribe(chain, test_hash_of(eve.ord), "image/png", "eve's junk " + std::to_string(i)));
    chain.ledger.fund(carol.receive, 1000000); // each row pairs an artwork
    chain.ledger.mine();
    // `fresh`: the program starts in a data folder that never read the registry.
    const auto restart = [&](Party& p, bool fresh = false) {
        become(p);
        title_memory_forget();
        woc_cache_clear();
        gallery_cache_clear();
        const std::string registry = kestrava_data_dir() + "/registry";
        for (const std::string& name : fresh ? platform_file_names(registry) : std::vector<std::string>())
            platform_remove_file(registry + "/" + name);
    };
    std::size_t hung_junk = 0;
    const auto hang_junk = [&] {
        become(eve);
        json record = new_art_message("art_show");
        record.update({{"spot", spot_label(kSpot)},
                       {"pic", junk.at(hung_junk)},
                       {"cert", junk.at(hung_junk)},
                       {"sha256", sha256_hex("eve's junk")},
                       {"price", "5"},
                       {"pay_addr", eve.receive}});
        ++hung_junk;
        ASSERT_TRUE(succeeded(gallery_sign_and_post(record, spot_row(kSpot).watch)));
        chain.ledger.mine();
    };
    const struct Row {
        const char* name;
        std::uint64_t before;    // payments at each registry watch before carol's artwork
        int junk;                // the inscriptions eve hangs over the sale
        std::uint64_t after;     // payments at each registry watch after eve's hangings
        bool one_more = false;   // she hangs one more before each Refresh
        bool no_refresh = false; // the steps come from the frame as it was before the junk, in a fresh data folder
    } rows[] = {{"no junk", 0, 0, 0},
                {"junk older than 2,000 payments", 2000, 1, 0},
                {"another older than 4,000, then 1,000 more", 2000, 1, 1000},
                {"two junk", 2000, 2, 0},
                {"six junk", 2000, 6, 0},
                {"one more junk before each Refresh", 2000, 1, 0, true},
                {"two junk, then 1,000 payments, a fresh data folder", 2000, 2, 1000, false, true}};
    int pay_none = 0, complete_none = 0;
    constexpr int kJunkLeft = 3;
    // The requests that name one of the junk inscriptions.
    const auto junk_asked = [&] {
        const std::vector<FakeRequest> made = chain.woc.requests();
        return std::count_if(made.begin(), made.end(), [&](const FakeRequest& r) {
            return std::any_of(junk.begin(), junk.end(), [&](const std::string& id) {
                return (r.path + r.body).find(id.substr(0, 64)) != std::string::npos;
            });
        });
    };
    // The frame as the party's Refresh after a restart shows it.
    const auto refreshed = [&](Party& p, bool one_more) {
        if (one_more) hang_junk();
        restart(p);
        std::vector<SpotLoad> spots;
        std::set<std::string> closed;
        read_gallery(spots, closed);
        return spots.at(kSpot - 1);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            if (row.before > 0) chain.ledger.add_payments(watch, row.before);
        hang_and_accept_dave();
        const SpotFrame before_junk = frame();
        const std::string hung = before_junk.show_txid;
        for (int i = 0; i < row.junk; ++i)
            hang_junk();
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            if (row.after > 0) chain.ledger.add_payments(watch, row.after);
        const char* newer = row.junk > 0 ? kFrameNewerReading : "";
        SpotFrame seen = before_junk;
        if (!row.no_refresh) {
            seen = refreshed(dave, row.one_more);
            EXPECT_EQ(std::to_string(seen.shown) + " " + seen.show_txid + " " + std::to_string(seen.accepts.size()) +
                          " " + seen.reading,
                      "1 " + hung + " 1 " + newer);
        }
        if (row.no_refresh) restart(dave, true);
        chain.woc.reset_counts();
        const std::string paid = pay(dave, &seen);
        EXPECT_TRUE(succeeded(paid)) << paid;
        const int pay_requests = chain.woc.request_count();
        // A fresh data folder asks once about the artworks of the frame's older hangings, old junk
        // among them, and reads the sale's title from its start.
        EXPECT_EQ(row.no_refresh ? 0 : junk_asked(), 0);
        if (!row.no_refresh) {
            seen = refreshed(carol, row.one_more);
            EXPECT_EQ(std::to_string(seen.shown) + " " + seen.show_txid + " " + std::to_string(seen.funded.size()),
                      "1 " + hung + " 1");
        }
        if (row.no_refresh) restart(carol, true);
        chain.woc.reset_counts();
        const std::string sold = gallery_complete_sale(kSpot, "", seen.show_txid, dave.identity);
        EXPECT_TRUE(succeeded(sold)) << sold;
        const int complete_requests = chain.woc.request_count();
        EXPECT_EQ(row.no_refresh ? 0 : junk_asked(), 0);
        chain.ledger.mine();
        if (row.junk == 0) pay_none = pay_requests, complete_none = complete_requests;
        if (!row.no_refresh) {
            EXPECT_LE(pay_requests, 2 * pay_none);
            EXPECT_LE(complete_requests, 2 * complete_none);
            EXPECT_LE(pay_requests, pay_none + kJunkLeft);
            EXPECT_LE(complete_requests, complete_none + kJunkLeft);
        }
        RecordProperty(std::string("pay_requests ") + row.name, pay_requests);
        RecordProperty(std::string("complete_requests ") + row.name, complete_requests);
    }
}
