#include "art/gallery_rules.h"

#include "art/art_pass.h"
#include "art/gallery_frames.h"
#include "art/offer_tx.h"
#include "art/title_chain.h"
#include "chain/coin_refresh.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "identity/typed_message.h"
#include "wallet/bounded_cache.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/step_scope.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

namespace {

// A title read this young may serve a frame read that asked for reuse, as its listings do.
constexpr std::int64_t kTitleReuseMs = 5000;
constexpr std::size_t kTitlesKept = 256;

struct RecentTitle {
    ExhibitTitle title;
    std::int64_t read_ms = 0;
};
std::mutex g_titles_mutex;
BoundedCache<RecentTitle> g_titles(kTitlesKept);

// The chain's time for a record's transaction: its block's time where the service gives one, so a
// computer's clock that runs behind hides no mined record; else (unconfirmed) this computer's.
std::int64_t chain_time(const nlohmann::json& tx, std::int64_t now) {
    if (tx_block_height(tx) <= 0) return now;
    const std::int64_t time = gallery_json_int(tx, "blocktime");
    return time > 0 ? time : now;
}

// A funded offer counts only when an accepted buyer signed it and it is exactly the sale of one
// of that buyer's acceptances; anyone can post a record, and an offer that pays less, or skips
// the fee or the title, is no sale the owner agreed to.
bool offer_is_accepted_sale(const SpotFrame& spot, const SpotFunded& funded) {
    for (const SpotAccept& accept : spot.accepts) {
        if (accept.buyer == funded.buyer && offer_matches_sale(funded.offer, frame_sale_terms(spot, accept)))
            return true;
    }
    return false;
}

bool coin_spent(const std::string& key) {
    std::string txid, spender;
    std::uint32_t vout = 0;
    return parse_outpoint(key, txid, vout) && woc_spent_by(txid, vout, spender) == 0;
}

bool same_hold(const OfferHold& a, const OfferHold& b) {
    return a.spot == b.spot && a.pic_utxo == b.pic_utxo && a.utxos == b.utxos;
}

// Whether the offer was paid for the hanging the frame shows now. An offer kept before hangings
// were named is judged by its coins and price alone.
bool hold_counts_for(const OfferHold& hold, const SpotLoad& load) {
    if (load.hidden) return false;
    if (load.pic_utxo != hold.pic_utxo || (hold.price > 0 && load.price != hold.price)) return false;
    return hold.show_txid.empty() || hold.show_txid == load.show_txid;
}

// Whether a signed time runs past the chain's time by more than the slack. Both may come from a
// service, so the difference is taken only where it cannot overflow.
bool dated_ahead(std::int64_t ts, std::int64_t chain) {
    if (chain < 0) return ts > chain + kRecordClockSlackS;
    return ts > chain && ts - chain > kRecordClockSlackS;
}

} // namespace

std::set<std::string> read_coin_txs(const std::vector<std::string>& coins) {
    const std::string source = service_settings().woc_base;
    std::set<std::string> seen, unknown;
    std::vector<std::string> missing;
    for (const std::string& coin : coins) {
        std::string txid;
        std::uint32_t vout = 0;
        nlohmann::json kept;
        if (!parse_outpoint(coin, txid, vout) || !seen.insert(txid).second || tx_store_find(source, txid, kept))
            continue;
        missing.push_back(txid);
    }
    if (missing.empty()) return unknown;
    std::vector<nlohmann::json> txs;
    std::vector<char> not_known;
    woc_bulk_tx_json(missing, txs, &not_known);
    // A copy not yet mined is left for the title read to ask again: its block may still change.
    for (std::size_t i = 0; i < txs.size(); ++i) {
        if (woc_tx_usable(txs[i]) && tx_block_height(txs[i]) > 0) tx_store_keep(source, missing[i], txs[i]);
        if (not_known[i]) unknown.insert(missing[i]);
    }
    return unknown;
}

void read_hangings_ahead(const std::vector<SpotLoad>& shows, KnownSpends& spends, std::set<std::string>& unknown,
                         std::vector<std::string>& artworks) {
    std::vector<std::string> coins, certificates;
    artworks.clear();
    for (const SpotLoad& show : shows) {
        coins.push_back(show.pic_utxo);
        coins.push_back(show.cert_utxo);
        certificates.push_back(show.cert + "_0");
        artworks.push_back(show.pic);
    }
    std::vector<std::pair<std::string, std::uint32_t>> outputs;
    for (const std::string& coin : coins) {
        std::string txid;
        std::uint32_t vout = 0;
        if (parse_outpoint(coin, txid, vout)) outputs.emplace_back(txid, vout);
    }
    spends = woc_bulk_spent_by(outputs);
    coins.insert(coins.end(), certificates.begin(), certificates.end());
    for (const std::string& artwork : artworks)
        coins.push_back(artwork + "_0");
    unknown = read_coin_txs(coins);
    artworks.erase(std::remove_if(artworks.begin(), artworks.end(),
                                  [&unknown](const std::string& pic) { return unknown.count(pic) > 0; }),
                   artworks.end());
}

void read_earlier_artworks(const std::vector<WatchRecord>& records, std::size_t end, const SpotRow& row,
                           std::set<std::string>& unknown, KnownSpends* spends,
                           const std::function<bool(const std::string&)>& passed_over) {
    std::vector<SpotLoad> shows;
    std::vector<std::string> artworks;
    for (std::size_t i = 0; i < end && i < records.size(); ++i) {
        const nlohmann::json& msg = records[i].msg;
        if (json_text(msg, "type") != "art_show" || to_lower_copy(json_text(msg, "spot")) != row.label) continue;
        if (passed_over && passed_over(records[i].txid)) continue;
        shows.push_back(parse_art_show(records[i], row.spot));
        if (!shows.back().pic.empty()) artworks.push_back(shows.back().pic + "_0");
    }
    const std::set<std::string> found = read_coin_txs(artworks);
    unknown.insert(found.begin(), found.end());
    if (!spends) return;
    // The coins the hangings of known artworks name are asked about together, as the newest
    // hangings' were: a title read would otherwise look up each one alone, at every read.
    std::vector<std::pair<std::string, std::uint32_t>> outputs;
    for (const SpotLoad& show : shows) {
        for (const std::string& coin : {show.pic_utxo, show.cert_utxo}) {
            std::string txid;
            std::uint32_t vout = 0;
            if (!unknown.count(show.pic) && parse_outpoint(coin, txid, vout) && !spends->count(coin))
                outputs.emplace_back(txid, vout);
        }
    }
    std::sort(outputs.begin(), outputs.end());
    outputs.erase(std::unique(outputs.begin(), outputs.end()), outputs.end());
    if (outputs.empty()) return;
    const KnownSpends read = woc_bulk_spent_by(outputs);
    spends->insert(read.begin(), read.end());
}

bool order_frame_records(std::vector<WatchRecord>& records, std::int64_t now) {
    std::map<std::int64_t, int> per_height;
    for (const WatchRecord& record : records) {
        const std::int64_t height = tx_block_height(record.tx);
        if (height > 0) ++per_height[height];
    }
    std::map<std::string, ChainPlace> places;
    bool placed = true;
    for (const WatchRecord& record : records) {
        ChainPlace& place = places[record.txid];
        place.height = tx_block_height(record.tx);
        place.listed = record.listed;
        place.txid = record.txid;
        // The block's own order is asked for only where two records share a block.
        if (place.height > 0 && per_height[place.height] > 1) {
            place.position = woc_tx_block_place(place.height, record.txid);
            placed = placed && place.position >= 0;
        }
    }
    if (!placed) return false;
    std::stable_sort(records.begin(), records.end(), [&places](const WatchRecord& a, const WatchRecord& b) {
        return chain_order_before(places.at(a.txid), places.at(b.txid));
    });
    // Anyone may post a signed record again in a transaction of their own; only its first place in
    // the chain is what the signer said. A copy is known by its signer and signed text, as its
    // signature bytes can be written anew without the key. The first place decides even when the
    // record is dated ahead of the chain there, so a later copy cannot bring it back.
    std::set<std::string> seen;
    std::vector<WatchRecord> kept;
    for (WatchRecord& record : records) {
        if (!seen.insert(json_identity_pubkey(record.msg) + "\n" + canonical_message_preimage(record.msg)).second)
            continue;
        if (!dated_ahead(record.ts, chain_time(record.tx, now))) kept.push_back(std::move(record));
    }
    records = std::move(kept);
    return true;
}

bool hung_before(const SpotLoad& a, const SpotLoad& b) {
    if ((a.height > 0) != (b.height > 0)) return a.height > 0;
    if (a.height != b.height) return a.height < b.height;
    if (a.height <= 0) return false; // both unconfirmed, at two watches: no order the chain shows
    const std::vector<std::int64_t> at = woc_tx_block_places(a.height, {a.show_txid, b.show_txid});
    return at[0] >= 0 && at[1] >= 0 && at[0] < at[1];
}

namespace {

// The title as one of the two reads gives it, kept for the readers that may reuse a recent one.
// The key a recent title is kept under: the artwork, and the hanging it was read for.
std::string recent_title_key(const std::string& pic, const ChainPlace* hung) {
    if (!hung) return service_key(pic);
    return service_key(pic + " " + std::to_string(hung->height) + " " + hung->txid);
}

std::string read_exhibit_title(const std::string& pic, bool confirm, const KnownSpends* spends, const ChainPlace* hung,
                               ExhibitTitle& title) {
    std::vector<KvArtTitleRow> rows;
    TitlePair pair;
    TitleCoins coins;
    const std::string error = confirm ? art_title_confirm(pic, rows, pair, &coins)
                              : hung  ? art_title_at_hanging(pic, *hung, rows, pair, &coins, spends)
                                      : art_title_coins(pic, rows, pair, false, &coins, spends);
    if (!error.empty()) return error;
    if (!rows.empty()) {
        title.owner = rows.back().owner;
        title.head = rows.back().txid;
        title.cert = norm_txid(pair.certificate);
        title.pic_coin = coins.pic_coin;
        title.cert_coin = coins.cert_coin;
        title.pair = pair.txid;
        title.pair_height = pair.height;
        title.pair_owner = pair.owner;
        title.pic_origin = title_origin_coin(pair.artwork);
        if (title.pic_origin.empty()) title.pic_origin = title_origin_coin(pic);
        title.cert_origin = title_origin_coin(pair.certificate);
    }
    std::lock_guard<std::mutex> lock(g_titles_mutex);
    g_titles.put(recent_title_key(pic, hung), RecentTitle{title, clock_steady_ms()});
    return "";
}

} // namespace

std::string exhibit_title_read(const std::string& pic, ExhibitTitle& title, bool reuse_recent,
                               const KnownSpends* spends, const ChainPlace* hung) {
    title = ExhibitTitle{};
    if (reuse_recent) {
        std::lock_guard<std::mutex> lock(g_titles_mutex);
        const RecentTitle* kept = g_titles.find(recent_title_key(pic, hung));
        const std::int64_t age = kept ? clock_steady_ms() - kept->read_ms : -1;
        if (age >= 0 && age < kTitleReuseMs) {
            title = kept->title;
            return "";
        }
    }
    return read_exhibit_title(pic, false, spends, hung, title);
}

std::string exhibit_title_confirm(const std::string& pic, ExhibitTitle& title) {
    title = ExhibitTitle{};
    // One step confirms a title once: its frame read and its check before money moves, seconds
    // apart, would each list the registry watch afresh.
    const std::string key = "exhibit title " + service_key(pic);
    if (const auto kept = std::static_pointer_cast<const ExhibitTitle>(step_kept(key))) {
        title = *kept;
        return "";
    }
    const std::string error = read_exhibit_title(pic, true, nullptr, nullptr, title);
    if (error.empty()) step_keep(key, std::make_shared<const ExhibitTitle>(title));
    return error;
}

bool hanging_matches_title(const SpotFrame& show, const ExhibitTitle& title) {
    return !title.owner.empty() && show.owner == title.owner && show.cert == title.cert && !title.pic_coin.empty() &&
           show.pic_utxo == title.pic_coin && !title.cert_coin.empty() && show.cert_utxo == title.cert_coin;
}

int pair_before_hanging(const ExhibitTitle& title, const ChainPlace& hung) {
    if (hung.height <= 0) return 1;
    if (title.pair_height <= 0 || title.pair_height > hung.height) return 0;
    if (title.pair_height < hung.height) return 1;
    return pair_first_in_block(title.pair, hung);
}

std::size_t owner_take_down(const std::vector<WatchRecord>& records, std::size_t shown, const SpotRow& row,
                            const SpotFrame& exhibit) {
    for (std::size_t i = shown + 1; i < records.size(); ++i) {
        const nlohmann::json& msg = records[i].msg;
        if (json_text(msg, "type") != "art_hide" || to_lower_copy(json_text(msg, "spot")) != row.label) continue;
        std::string scratch;
        if (spot_origin_key(json_text(msg, "pic"), scratch) == exhibit.pic &&
            json_identity_pubkey(msg) == exhibit.owner)
            return i;
    }
    return records.size();
}

void collect_sale_records(const std::vector<WatchRecord>& records, std::size_t shown, std::size_t taken_down,
                          SpotLoad& spot) {
    // Two transactions in one block, or two unconfirmed, have no order the chain fixes: an ask
    // beside an acceptance is as good as one before it.
    const auto block_rank = [](const WatchRecord& record) {
        const std::int64_t height = tx_block_height(record.tx);
        return height > 0 ? height : std::numeric_limits<std::int64_t>::max();
    };
    std::vector<std::int64_t> ask_ranks;
    for (std::size_t i = shown + 1; i < records.size(); ++i) {
        const nlohmann::json& msg = records[i].msg;
        std::string scratch;
        if (json_text(msg, "type") != "art_gask" || spot_origin_key(json_text(msg, "pic"), scratch) != spot.pic)
            continue;
        if (gallery_json_int(msg, "price_sats") != spot.price) continue;
        const std::string buyer = to_lower_copy(json_text(msg, "buyer"));
        if (json_identity_pubkey(msg) != buyer) continue;
        SpotAsk ask;
        ask.txid = records[i].txid;
        ask.buyer = buyer;
        ask.buyer_ord = json_text(msg, "buyer_ord");
        ask.price_sats = spot.price;
        ask.ts = records[i].ts;
        spot.asks.push_back(std::move(ask));
        ask_ranks.push_back(block_rank(records[i]));
    }
    for (std::size_t i = shown + 1; i < records.size(); ++i) {
        const WatchRecord& record = records[i];
        const nlohmann::json& msg = record.msg;
        const std::string type = json_text(msg, "type");
        std::string scratch;
        const std::string pic = spot_origin_key(json_text(msg, "pic"), scratch);
        if (type != "art_gfunded" && pic != spot.pic) continue;
        if (type == "art_gaccept") {
            // Once the owner took the hanging down it sells no more: a later acceptance binds nobody.
            if (i > taken_down || json_identity_pubkey(msg) != spot.owner) continue;
            if (gallery_json_int(msg, "price_sats") != spot.price) continue;
            const std::string title_json = json_text(msg, "title_json");
            if (to_lower_copy(json_text(msg, "title_sha")) != sha256_hex(title_json)) continue;
            SpotAccept accept;
            accept.buyer = to_lower_copy(json_text(msg, "buyer"));
            // An acceptance the buyer never asked for, at this price, binds the buyer to nothing.
            bool asked = false;
            for (std::size_t k = 0; k < spot.asks.size() && !asked; ++k)
                asked = spot.asks[k].buyer == accept.buyer && ask_ranks[k] <= block_rank(record);
            if (!asked) continue;
            accept.txid = record.txid;
            accept.title_json = title_json;
            accept.price_sats = spot.price;
            accept.ts = record.ts;
            spot.accepts.push_back(std::move(accept));
        } else if (type == "art_gfunded") {
            const std::string offer = json_text(msg, "offer");
            const std::string offer_sha = to_lower_copy(json_text(msg, "offer_sha"));
            if (offer_sha.empty() || offer_sha != sha256_hex(offer)) continue;
            SpotFunded funded;
            funded.buyer = json_identity_pubkey(msg);
            if (funded.buyer.empty()) continue;
            funded.txid = record.txid;
            funded.offer = offer;
            funded.offer_sha = offer_sha;
            funded.ts = record.ts;
            spot.funded.push_back(std::move(funded));
        }
    }
    // Acceptances may stand after the offers they accept, so offers are judged once all are read.
    std::vector<SpotFunded> kept;
    for (SpotFunded& funded : spot.funded) {
        if (offer_is_accepted_sale(spot, funded) && !offer_payment_spent(funded.offer))
            kept.push_back(std::move(funded));
    }
    spot.funded = std::move(kept);
}

void release_dead_offers(const std::vector<SpotLoad>& loads, std::int64_t now) {
    std::vector<OfferHold> holds;
    {
        WalletLock lock = lock_wallet();
        if (!load_offer_holds(holds) || holds.empty()) return;
    }
    std::vector<OfferHold> dead;
    for (const OfferHold& hold : holds) {
        bool over = hold.exp > 0 && hold.exp <= now;
        if (!over && hold.spot >= 1 && hold.spot <= kSpotCount) {
            const SpotLoad& load = loads[static_cast<std::size_t>(hold.spot) - 1];
            over = load.error.empty() && !hold_counts_for(hold, load);
        }
        over = over || coin_spent(hold.pic_utxo) || coin_spent(hold.cert_utxo);
        for (std::size_t i = 0; !over && i < hold.utxos.size(); ++i)
            over = coin_spent(hold.utxos[i]);
        if (over) dead.push_back(hold);
    }
    if (dead.empty()) return;
    // The coins of an offer that the chain shows spent (a completed sale spends the buyer's) are
    // gone: freed as they are, one kept among the change coins would be paid with again.
    std::vector<TxInput> gone;
    for (const OfferHold& hold : dead) {
        for (const std::string& key : hold.utxos) {
            TxInput in;
            if (coin_spent(key) && parse_outpoint(key, in.txid, in.vout)) gone.push_back(in);
        }
    }

    // The file is read again under the lock: a step may have added an offer meanwhile.
    WalletLock lock = lock_wallet();
    if (!gone.empty()) spend_inputs_expire_caches(gone, 0);
    if (!load_offer_holds(holds)) return;
    std::vector<OfferHold> live;
    std::vector<std::string> freed;
    for (OfferHold& hold : holds) {
        const bool over =
            std::any_of(dead.begin(), dead.end(), [&hold](const OfferHold& d) { return same_hold(d, hold); });
        if (over) {
            freed.insert(freed.end(), hold.utxos.begin(), hold.utxos.end());
        } else {
            live.push_back(std::move(hold));
        }
    }
    // The offer stays on file until its coins are free, so a failed write is tried again next time.
    if (remove_offer_locks(freed)) save_offer_holds(live);
}
