#include "art/gallery_frames.h"

#include "art/art_pass.h"
#include "art/gallery_sale.h"
#include "art/offer_tx.h"
#include "art/title_chain.h"
#include "art/watch_reader.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "identity/typed_verify.h"
#include "ordinals/content_load.h"
#include "wallet/clock.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

constexpr std::int32_t kOraclePageSize = 2000;
constexpr std::int32_t kOracleOffsetLimit = 20000;
constexpr const char* kGalleryUserAgent = "Kestrava-Gallery/1";
// Transactions of one frame read at once: a frame's records go in one round up to this many. The
// ten frames load side by side, so the gallery asks for at most ten times this many.
constexpr std::uint32_t kWatchReadThreads = 32;
// A frame's listing this young may serve a read that asked for reuse (see load_all_spots).
constexpr std::int64_t kListingReuseMs = 5000;

// The listings of the frame watches as last read, keyed by the services asked, so a change of
// services never answers from the other's copy.
struct RecentListing {
    std::vector<std::string> txids;
    std::int64_t read_ms = 0;
};
std::mutex g_cache_mutex;
std::map<std::string, RecentListing> g_listings;

std::string services_key(const ServiceSettings& settings, const std::string& item) {
    return settings.platform_base + "|" + settings.woc_base + "|" + item;
}

bool recent_listing(const std::string& key, std::vector<std::string>& txids) {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    const auto it = g_listings.find(key);
    if (it == g_listings.end()) return false;
    const std::int64_t age = clock_steady_ms() - it->second.read_ms;
    if (age < 0 || age >= kListingReuseMs) return false;
    txids = it->second.txids;
    return true;
}

// The transaction from the platform's oracle index, else WhatsOnChain, through the store of mined
// transactions.
bool read_frame_tx(const ServiceSettings& settings, const std::string& txid, nlohmann::json& tx) {
    return tx_store_read(
        settings.woc_base, txid,
        [&](nlohmann::json& out) {
            return http_get_json(settings.platform_base + "/oi/tx/" + txid, out, 6, kGalleryUserAgent) ||
                   http_get_json(settings.woc_base + "/tx/" + txid, out, 12, kGalleryUserAgent);
        },
        tx);
}

// The watch's two histories from the gallery read's bulk request, which the first frame to get
// here makes; null without one, or when it did not list this watch whole.
const BulkHistory* frame_history(FrameHistories* shared, const std::string& watch) {
    if (!shared) return nullptr;
    std::call_once(shared->asked, [shared] {
        std::vector<std::string> watches;
        for (const SpotRow& row : kSpotRows)
            watches.push_back(row.watch);
        if (!woc_bulk_history(watches, shared->watches)) shared->watches.clear();
    });
    for (std::size_t i = 0; i < shared->watches.size(); ++i)
        if (kSpotRows[i].watch == watch && shared->watches[i].answered) return &shared->watches[i];
    return nullptr;
}

bool exhibit_keepable(const SpotFrame& e, std::int64_t now) {
    return e.shown && (e.exp <= 0 || e.exp > now) && e.pic.size() == 64 && e.cert.size() == 64 &&
           e.sha256.size() == 64 && !e.owner.empty();
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

// The records of the exhibit's time or later that name its artwork; a funded offer counts
// whatever artwork it names, as its transaction is checked against the frame itself.
void collect_sale_records(const std::vector<WatchRecord>& records, SpotLoad& spot) {
    for (const WatchRecord& record : records) {
        if (record.ts < spot.ts) continue;
        const nlohmann::json& msg = record.msg;
        const std::string type = json_text(msg, "type");
        std::string scratch;
        const std::string pic = spot_origin_key(json_text(msg, "pic"), scratch);
        if (type != "art_gfunded" && pic != spot.pic) continue;
        if (type == "art_gask") {
            if (gallery_json_int(msg, "price_sats") != spot.price) continue;
            const std::string buyer = to_lower_copy(json_text(msg, "buyer"));
            if (json_identity_pubkey(msg) != buyer) continue;
            SpotAsk ask;
            ask.txid = record.txid;
            ask.buyer = buyer;
            ask.buyer_ord = json_text(msg, "buyer_ord");
            ask.handle = json_text(msg, "handle");
            ask.price_sats = spot.price;
            ask.ts = record.ts;
            spot.asks.push_back(std::move(ask));
        } else if (type == "art_gaccept") {
            if (json_identity_pubkey(msg) != spot.owner) continue;
            if (gallery_json_int(msg, "price_sats") != spot.price) continue;
            const std::string title_json = json_text(msg, "title_json");
            if (to_lower_copy(json_text(msg, "title_sha")) != sha256_hex(title_json)) continue;
            SpotAccept accept;
            accept.txid = record.txid;
            accept.buyer = to_lower_copy(json_text(msg, "buyer"));
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
    // Acceptances may sort after the offers they accept, so offers are judged once all are read.
    std::vector<SpotFunded> kept;
    for (SpotFunded& funded : spot.funded) {
        if (offer_is_accepted_sale(spot, funded) && !offer_payment_spent(funded.offer))
            kept.push_back(std::move(funded));
    }
    spot.funded = std::move(kept);
}

// A hidden exhibit stays in its frame while its title still ends at the exhibit's owner; once the
// title has moved on, the sale is over and the frame is empty.
void close_hidden_exhibit(SpotLoad& spot) {
    std::vector<KvArtTitleRow> rows;
    const std::string error = art_title_chain(spot.pic, rows);
    if (!error.empty() || rows.empty() || rows.back().owner == spot.owner) return;
    const std::int32_t number = spot.spot;
    static_cast<SpotFrame&>(spot) = SpotFrame{};
    spot.spot = number;
}

bool coin_spent(const std::string& key) {
    std::string txid, spender;
    std::uint32_t vout = 0;
    return parse_outpoint(key, txid, vout) && woc_spent_by(txid, vout, spender) == 0;
}

bool same_hold(const OfferHold& a, const OfferHold& b) {
    return a.spot == b.spot && a.pic_utxo == b.pic_utxo && a.utxos == b.utxos;
}

// This wallet's offers that can no longer complete give their coins back: the exhibit they buy
// was taken down, expired, replaced or hung again at another price, its coins went out, or a coin
// of the offer was spent.
// A frame that could not be read decides nothing.
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
            over = load.error.empty() &&
                   (load.hidden || load.pic_utxo != hold.pic_utxo || (hold.price > 0 && load.price != hold.price));
        }
        over = over || coin_spent(hold.pic_utxo) || coin_spent(hold.cert_utxo);
        for (std::size_t i = 0; !over && i < hold.utxos.size(); ++i)
            over = coin_spent(hold.utxos[i]);
        if (over) dead.push_back(hold);
    }
    if (dead.empty()) return;

    // The file is read again under the lock: a step may have added an offer meanwhile.
    WalletLock lock = lock_wallet();
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

} // namespace

const SpotRow& spot_row(std::int32_t spot) {
    if (spot < 1 || spot > kSpotCount) return kSpotRows[0];
    return kSpotRows[spot - 1];
}

std::string spot_label(std::int32_t spot) {
    return "as" + std::to_string(spot);
}

void spot_exhibit_init(SpotFrame& frame) {
    std::vector<SpotAsk> asks = std::move(frame.asks);
    std::vector<SpotAccept> accepts = std::move(frame.accepts);
    std::vector<SpotFunded> funded = std::move(frame.funded);
    frame = SpotFrame{};
    frame.asks = std::move(asks);
    frame.accepts = std::move(accepts);
    frame.funded = std::move(funded);
}

std::string spot_origin_key(const std::string& origin, std::string& outpoint) {
    std::string key = to_lower_copy(origin);
    if (key.find('_') == 64) {
        if (outpoint.empty()) outpoint = key;
        key.resize(64);
    }
    return key;
}

std::int64_t spot_price(const nlohmann::json& record) {
    const std::string text = json_text(record, "price");
    std::int64_t price = -1;
    if (text.empty() || text == "-" || !parse_leading_i64(text, price)) return -1;
    return price;
}

std::int64_t gallery_json_int(const nlohmann::json& obj, const std::string& key) {
    if (!obj.is_object()) return 0;
    const auto it = obj.find(key);
    if (it == obj.end()) return 0;
    if (it->is_number_unsigned()) {
        // A count above the signed range would wrap negative; it is no readable value.
        const auto value = it->get<std::uint64_t>();
        return value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? 0
                   : static_cast<std::int64_t>(value);
    }
    if (it->is_number_integer()) return it->get<std::int64_t>();
    std::int64_t value = 0;
    if (it->is_string() && parse_leading_i64(it->get_ref<const std::string&>(), value)) return value;
    return 0;
}

bool gallery_op_return_payload(const std::string& script_hex, Bytes& out) {
    out.clear();
    // Frame records never travel behind OP_PUSHDATA4; such a script is refused before the
    // registry's carrier reader would take it.
    const Bytes script = from_hex(script_hex);
    const std::size_t i = !script.empty() && script[0] == 0x00 ? 1 : 0;
    if (script.size() > i + 1 && script[i] == 0x6a && script[i + 1] == 0x4e) return false;
    return op_return_first_push(script_hex, out);
}

bool gallery_find_art_message(const nlohmann::json& tx, nlohmann::json& out) {
    if (!tx.is_object()) return false;
    const auto vout = tx.find("vout");
    if (vout == tx.end() || !vout->is_array()) return false;
    for (const nlohmann::json& output : *vout) {
        if (!output.is_object()) continue;
        const auto spk = output.find("scriptPubKey");
        if (spk == output.end() || !spk->is_object()) continue;
        Bytes payload;
        if (!gallery_op_return_payload(json_text(*spk, "hex"), payload)) continue;
        nlohmann::json msg = json_parse_or_discarded(std::string(payload.begin(), payload.end()));
        if (msg.is_object() && json_text(msg, "protocol") == kArtProtocol) {
            out = std::move(msg);
            return true;
        }
    }
    return false;
}

std::int64_t msg_ts(const nlohmann::json& msg) {
    return gallery_json_int(msg, "ts");
}

void gallery_collect_txids(const nlohmann::json& reply, std::vector<std::string>& txids) {
    const nlohmann::json* items = nullptr;
    if (reply.is_array()) {
        items = &reply;
    } else if (reply.is_object()) {
        for (const char* key : {"txids", "result"}) {
            const auto it = reply.find(key);
            if (it != reply.end() && it->is_array()) {
                items = &*it;
                break;
            }
        }
    }
    if (!items) return;
    for (const nlohmann::json& item : *items)
        parse_watch_txid_item(item, txids);
}

bool gallery_watch_txids(const std::string& label, const std::string& watch, std::vector<std::string>& txids,
                         std::string& error, bool reuse_recent, FrameHistories* shared) {
    txids.clear();
    error.clear();
    const ServiceSettings settings = service_settings();
    const std::string key = services_key(settings, label + "|" + watch);
    if (reuse_recent && recent_listing(key, txids)) return true;
    // The oracle's pages and WhatsOnChain's two histories do not depend on each other: all three
    // sources are asked at once, and their ids merged in the same order as before (oracle first).
    std::vector<std::string> sources[3];
    bool answered[3] = {false, false, false};
    parallel_for_rethrow(3, 3, [&](std::uint64_t source) {
        std::vector<std::string>& found = sources[source];
        if (source == 0) {
            for (std::int32_t offset = 0; offset < kOracleOffsetLimit; offset += kOraclePageSize) {
                nlohmann::json reply;
                const std::string url = settings.platform_base + "/oi/oracle/" + label +
                                        "/txids?limit=" + std::to_string(kOraclePageSize) +
                                        "&offset=" + std::to_string(offset);
                if (!http_get_json(url, reply, 8, kGalleryUserAgent) || !reply.is_object()) break;
                const auto page = reply.find("txids");
                if (page == reply.end() || !page->is_array()) break;
                const std::size_t before = found.size();
                gallery_collect_txids(reply, found);
                answered[0] = true;
                if (page->size() < static_cast<std::size_t>(kOraclePageSize) || found.size() == before) break;
            }
            return;
        }
        // WhatsOnChain is asked every time: the oracle index lags behind fresh transactions.
        if (const BulkHistory* listed = frame_history(shared, watch)) {
            found = source == 1 ? listed->unconfirmed : listed->confirmed;
            answered[source] = true;
            return;
        }
        const char* suffix = source == 1 ? "/unconfirmed/history" : "/history";
        nlohmann::json reply;
        if (!http_get_json(settings.woc_base + "/address/" + watch + suffix, reply, 8, kGalleryUserAgent)) return;
        gallery_collect_txids(reply, found);
        answered[source] = true;
    });
    for (const std::vector<std::string>& found : sources) {
        for (const std::string& txid : found)
            append_txid_unique(txids, txid);
    }
    if (!answered[0] && !answered[1] && !answered[2] && txids.empty()) {
        error = "OI " + label + " missed and WhatsOnChain missed";
        return false;
    }
    // Only a listing every source answered may stand in for a later read.
    if (answered[0] && answered[1] && answered[2]) {
        std::lock_guard<std::mutex> lock(g_cache_mutex);
        RecentListing& kept = g_listings[key];
        kept.txids = txids;
        kept.read_ms = clock_steady_ms();
    }
    return true;
}

bool read_gallery_watch(const std::string& label, const std::string& watch, std::vector<WatchRecord>& records,
                        std::string& error, bool reuse_recent, FrameHistories* shared) {
    records.clear();
    std::vector<std::string> txids;
    if (!gallery_watch_txids(label, watch, txids, error, reuse_recent, shared)) return false;
    const ServiceSettings settings = service_settings();
    // Each transaction is read and checked on its own, so they are read side by side on a small
    // pool; the records keep the order of the ids.
    std::vector<WatchRecord> read(txids.size());
    std::vector<char> kept(txids.size(), 0);
    parallel_for_rethrow(txids.size(), kWatchReadThreads, [&](std::uint64_t i) {
        const std::string& txid = txids[i];
        // The ids come from the services and go into request paths: only a real transaction id
        // may, so a listed "../" can never steer the request elsewhere.
        if (!is_txid_hex(txid)) return;
        nlohmann::json tx;
        if (!read_frame_tx(settings, txid, tx)) return;
        nlohmann::json msg;
        if (!gallery_find_art_message(tx, msg) || !verify_typed_message(msg)) return;
        const std::int64_t ts = msg_ts(msg);
        if (ts <= 0) return;
        WatchRecord& record = read[i];
        record.txid = txid;
        record.msg = std::move(msg);
        record.tx = std::move(tx);
        record.ts = ts;
        kept[i] = 1;
    });
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (kept[i]) records.push_back(std::move(read[i]));
    }
    sort_watch_records(records);
    return true;
}

SpotLoad parse_art_show(const WatchRecord& record, std::int32_t spot) {
    const nlohmann::json& msg = record.msg;
    SpotLoad show;
    show.shown = true;
    show.spot = spot;
    show.show_txid = record.txid;
    show.pic_utxo = to_lower_copy(json_text(msg, "pic_utxo"));
    show.cert_utxo = to_lower_copy(json_text(msg, "cert_utxo"));
    show.pic = spot_origin_key(json_text(msg, "pic"), show.pic_utxo);
    show.cert = spot_origin_key(json_text(msg, "cert"), show.cert_utxo);
    show.sha256 = to_lower_copy(json_text(msg, "sha256"));
    show.owner = json_identity_pubkey(msg);
    show.handle = json_text(msg, "handle");
    show.pay_addr = json_text(msg, "pay_addr");
    show.price = spot_price(msg);
    show.exp = gallery_json_int(msg, "exp");
    show.ts = record.ts;
    return show;
}

SaleTerms frame_sale_terms(const SpotFrame& frame, const SpotAccept& accept) {
    SaleTerms terms;
    terms.pic_coin = frame.pic_utxo;
    terms.cert_coin = frame.cert_utxo;
    terms.price = frame.price;
    terms.split = gallery_sale_split(frame.price);
    terms.pay_address = frame.pay_addr;
    terms.fee_address = kGallerySaleFeeAddress;
    terms.title_watch = kTitleWatchAddress;
    for (const SpotAsk& ask : frame.asks) {
        if (ask.buyer == accept.buyer) terms.buyer_ord = ask.buyer_ord;
    }
    terms.title_json = accept.title_json;
    return terms;
}

void load_certificate_fields(SpotFrame& exhibit) {
    std::string content_type;
    Bytes content;
    if (!load_inscription_content(exhibit.cert, content_type, content, true, false) || content.empty()) return;
    const nlohmann::json cert = json_parse_or_discarded(std::string(content.begin(), content.end()));
    if (!cert.is_object()) return;
    exhibit.title = json_text(cert, "title");
    exhibit.artist_name = json_text(cert, "artist_name");
    exhibit.created = json_text(cert, "created");
    exhibit.note = json_text(cert, "note");
    exhibit.owner_paymail = json_text(cert, "owner_paymail");
}

SpotLoad load_spot(std::int32_t index, std::int64_t now, bool reuse_recent, FrameHistories* shared) {
    const SpotRow& row = spot_row(index + 1);
    SpotLoad result;
    result.spot = row.spot;
    std::vector<WatchRecord> records;
    if (!read_gallery_watch(row.label, row.watch, records, result.error, reuse_recent, shared)) return result;
    result.error.clear();

    SpotFrame exhibit;
    bool hidden = false;
    for (const WatchRecord& record : records) {
        const std::string type = json_text(record.msg, "type");
        if (to_lower_copy(json_text(record.msg, "spot")) != row.label) continue;
        if (type == "art_show") {
            SpotLoad show = parse_art_show(record, row.spot);
            if (show.owner.empty() || show.pic.empty()) continue;
            exhibit = std::move(show);
            hidden = false;
        } else if (type == "art_hide") {
            std::string scratch;
            const std::string pic = spot_origin_key(json_text(record.msg, "pic"), scratch);
            if (exhibit.shown && pic == exhibit.pic && json_identity_pubkey(record.msg) == exhibit.owner) {
                exhibit.shown = false;
                hidden = true;
            }
        }
    }
    // A hidden exhibit is past its sale and is kept whatever its expiry or form.
    if (!hidden && !exhibit_keepable(exhibit, now)) exhibit = SpotFrame{};
    if (exhibit.shown || hidden) load_certificate_fields(exhibit);
    static_cast<SpotFrame&>(result) = std::move(exhibit);
    result.hidden = hidden;
    if (result.pic.empty()) return result;

    collect_sale_records(records, result);
    // A paid offer keeps the exhibit on the wall until the owner completes it.
    if (!result.funded.empty()) {
        result.shown = true;
        return result;
    }
    if (!result.shown) close_hidden_exhibit(result);
    return result;
}

std::string load_all_spots(std::vector<SpotFrame>& frames, bool reuse_recent) {
    frames.resize(kSpotCount);
    const std::int64_t now = clock_system_ms() / 1000;
    std::vector<SpotLoad> loads(kSpotCount);
    FrameHistories histories;
    parallel_for(kSpotCount, kSpotCount, [&loads, &histories, now, reuse_recent](std::uint64_t i) {
        const auto index = static_cast<std::int32_t>(i);
        // One frame that fails in an unforeseen way leaves that frame empty; the other nine and
        // the thread pool stand.
        try {
            loads[i] = load_spot(index, now, reuse_recent, &histories);
        } catch (...) {
            loads[i] = SpotLoad{};
            loads[i].spot = index + 1;
            loads[i].error = "frame " + spot_label(index + 1) + " could not be read";
        }
    });
    // Coins are given back only on what the watches show now: a kept listing could predate an
    // exhibit this wallet's offer was made for.
    if (!reuse_recent) release_dead_offers(loads, now);
    std::string error;
    for (std::int32_t i = 0; i < kSpotCount; ++i) {
        if (error.empty()) error = loads[i].error;
        frames[i] = std::move(static_cast<SpotFrame&>(loads[i]));
    }
    // The same artwork hanging twice: only the newer hanging stays, the later frame on a tie.
    for (std::int32_t i = 1; i < kSpotCount; ++i) {
        for (std::int32_t j = 0; j < i && frames[i].shown; ++j) {
            if (!frames[j].shown || frames[j].pic != frames[i].pic) continue;
            spot_exhibit_init(frames[i].ts < frames[j].ts ? frames[i] : frames[j]);
        }
    }
    return error;
}

void gallery_forget_listings() {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    g_listings.clear();
}

void gallery_cache_clear() {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    g_listings.clear();
    tx_store_clear();
}
