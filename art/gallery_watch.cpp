#include "art/gallery_watch.h"

#include "art/art_records.h"
#include "art/gallery_frames.h"
#include "art/gallery_rules.h"
#include "art/watch/reader.h"
#include "chain/outpoints.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "identity/typed_verify.h"
#include "wallet/clock.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
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
std::mutex g_listings_mutex;
std::map<std::string, RecentListing> g_listings;

bool recent_listing(const std::string& key, std::vector<std::string>& txids) {
    std::lock_guard<std::mutex> lock(g_listings_mutex);
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
    // Each copy is kept under the service that gave it: the oracle's is no WhatsOnChain answer.
    const std::string oracle = settings.platform_base + "/oi/tx/";
    return tx_store_read(
               oracle, txid,
               [&](nlohmann::json& out) { return http_get_json(oracle + txid, out, 6, kGalleryUserAgent); }, tx) ||
           tx_store_read(
               settings.woc_base, txid,
               [&](nlohmann::json& out) {
                   return http_get_json(settings.woc_base + "/tx/" + txid, out, 12, kGalleryUserAgent);
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

} // namespace

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
    const std::string key = service_key(label + "|" + watch);
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
        std::lock_guard<std::mutex> lock(g_listings_mutex);
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
    std::atomic<bool> unread{false};
    parallel_for_rethrow(txids.size(), kWatchReadThreads, [&](std::uint64_t i) {
        const std::string& txid = txids[i];
        // The ids come from the services and go into request paths: only a real transaction id
        // may, so a listed "../" can never steer the request elsewhere.
        if (!is_txid_hex(txid)) return;
        nlohmann::json tx;
        if (!read_frame_tx(settings, txid, tx)) {
            unread = true;
            return;
        }
        nlohmann::json msg;
        // A record speaks for the key it carries, whatever key its paymail names today; the
        // frame's rules compare that key with the title's.
        if (!gallery_find_art_message(tx, msg) || !verify_art_record(msg)) return;
        const std::int64_t ts = msg_ts(msg);
        if (ts <= 0) return;
        WatchRecord& record = read[i];
        record.txid = txid;
        record.msg = std::move(msg);
        record.tx = std::move(tx);
        record.ts = ts;
        record.listed = static_cast<std::int64_t>(i);
        kept[i] = 1;
    });
    // The transaction that could not be read may hold the newest hanging or an ask: the frame
    // is incomplete, and no older state of it may stand in.
    if (unread) {
        error = "frame " + label + ": " + kWatchRecordsUnread;
        return false;
    }
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (kept[i]) records.push_back(std::move(read[i]));
    }
    if (!order_frame_records(records, clock_system_ms() / 1000)) {
        records.clear();
        error = "frame " + label + ": " + kFrameOrderUnknown;
        return false;
    }
    return true;
}

void gallery_forget_listings() {
    std::lock_guard<std::mutex> lock(g_listings_mutex);
    g_listings.clear();
}

// The fields of a frame's records as the replay reads them.

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
