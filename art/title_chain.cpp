#include "art/title_chain.h"

#include "art/art_pass.h"
#include "art/art_records.h"
#include "art/watch_reader.h"
#include "chain/outpoints.h"
#include "chain/sat_path.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "identity/typed_verify.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <algorithm>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>

using json = nlohmann::json;

namespace {

// Hops of both coins together. An artwork whose coins moved more often than this is not followed:
// the read fails rather than name an owner from half a path.
constexpr int kMaxCoinHops = 400;
constexpr std::size_t kKnownPairLimit = 4096;
constexpr std::size_t kBlockListLimit = 1000000;
constexpr std::int32_t kBlockTimeoutS = 12;
const char* const kCoinsUnreadable = "the artwork's coins could not be followed. Try again.";
const char* const kCoinsTooBusy = "the artwork's coins moved too often to follow.";
const char* const kWatchNotWhole = "the registry's listing could not be read to its end. Try again.";
const char* const kPairOrderUnknown = "the order of the artwork's pairs could not be read. Try again.";

std::string lower_text(const json& msg, const char* key) {
    return to_lower_copy(art_trim_copy(json_text(msg, key)));
}

bool is_pair_of(const WatchRecord& record, const std::string& artwork_key) {
    return json_text(record.msg, "type") == "art_pair" && norm_txid(json_text(record.msg, "pic")) == artwork_key;
}

bool is_owner_record_of(const WatchRecord& record, const std::string& artwork_key, const std::string& title_address) {
    return json_text(record.msg, "type") == "art_owner" && norm_txid(json_text(record.msg, "pic")) == artwork_key &&
           tx_pays_address(record.tx, title_address);
}

bool usable_tx(const json& tx) {
    if (!tx.is_object()) return false;
    const auto vin = tx.find("vin");
    const auto vout = tx.find("vout");
    return vin != tx.end() && vin->is_array() && vout != tx.end() && vout->is_array();
}

// An origin as the walk follows it: "<txid>_<n>", or a bare transaction id for its output 0.
bool origin_outpoint(const std::string& id, std::string& txid, std::uint32_t& vout) {
    const std::string text = to_lower_copy(art_trim_copy(id));
    if (is_txid_hex(text)) {
        txid = text;
        vout = 0;
        return true;
    }
    return parse_outpoint(text, txid, vout);
}

std::string outpoint_text(const std::string& txid, std::uint32_t vout) {
    return txid + ":" + std::to_string(vout);
}

struct CoinWalk {
    std::map<std::string, const WatchRecord*> listed;  // records by transaction: listed, then read on the path
    std::map<std::string, std::string> listed_spender; // outpoint -> the listed transaction spending it
    std::map<std::string, json> fetched;
    std::list<WatchRecord> path_records; // records of path transactions the watch did not list
};

void keep_if_mined(const std::string& txid, const json& tx) {
    tx_store_keep(service_settings().woc_base, txid, tx);
}

// A transaction already at hand: the watch's own copy when it lists its inputs (kept when mined,
// for reads that skip the watch), else one read during this walk, else the kept copy of a mined
// one. Null when none is.
const json* known_tx(CoinWalk& walk, const std::string& txid) {
    const auto listed = walk.listed.find(txid);
    if (listed != walk.listed.end() && usable_tx(listed->second->tx)) {
        keep_if_mined(txid, listed->second->tx);
        return &listed->second->tx;
    }
    const auto seen = walk.fetched.find(txid);
    if (seen != walk.fetched.end()) return &seen->second;
    json kept;
    if (!tx_store_find(service_settings().woc_base, txid, kept)) return nullptr;
    return &(walk.fetched[txid] = std::move(kept));
}

// A transaction on the path: one at hand, else WhatsOnChain's. Null when it cannot be read.
const json* walk_tx(CoinWalk& walk, const std::string& txid) {
    if (const json* tx = known_tx(walk, txid)) return tx;
    json tx;
    if (!is_txid_hex(txid) || !woc_tx_json(txid, tx, false) || !usable_tx(tx)) return nullptr;
    return &(walk.fetched[txid] = std::move(tx));
}

// The transactions of the inputs before a coin, read in bulk rather than one request each.
void prefetch_txs(CoinWalk& walk, const std::vector<std::string>& txids) {
    std::vector<std::string> missing;
    for (const std::string& txid : txids)
        if (!known_tx(walk, txid)) missing.push_back(txid);
    if (missing.empty()) return;
    std::vector<json> txs;
    woc_bulk_tx_json(missing, txs);
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (!usable_tx(txs[i])) continue;
        keep_if_mined(missing[i], txs[i]);
        walk.fetched[missing[i]] = std::move(txs[i]);
    }
}

// Who spent a coin: a listed transaction that names it among its inputs, else WhatsOnChain.
int walk_spent_by(const CoinWalk& walk, const std::string& txid, std::uint32_t vout, std::string& spender) {
    const auto listed = walk.listed_spender.find(outpoint_text(txid, vout));
    if (listed != walk.listed_spender.end()) {
        spender = listed->second;
        return 0;
    }
    return woc_spent_by(txid, vout, spender);
}

// The record a path transaction carries, as the watch reader would have kept it; listed ones are
// known already.
void read_path_record(CoinWalk& walk, const std::string& txid) {
    if (walk.listed.count(txid)) return;
    const json* tx = walk_tx(walk, txid);
    WatchRecord record;
    if (!tx || !find_art_message_in_tx(*tx, record.msg) || !verify_channel_message(record.msg)) return;
    record.ts = json_ts(record.msg);
    if (record.ts <= 0) return;
    record.txid = txid;
    record.tx = *tx;
    walk.path_records.push_back(std::move(record));
    walk.listed[txid] = &walk.path_records.back();
}

// The step a transaction that spent both coins makes, when its listed owner record continues the
// title: signed by the owner now, naming the head, paying the title watch.
bool title_step(const CoinWalk& walk, const std::string& txid, const std::string& artwork_key,
                const std::string& title_address, const KvArtTitleRow& head, KvArtTitleRow& row) {
    const auto listed = walk.listed.find(txid);
    if (listed == walk.listed.end()) return false;
    const WatchRecord& record = *listed->second;
    if (!is_owner_record_of(record, artwork_key, title_address)) return false;
    const std::string signer = json_identity_pubkey(record.msg);
    const std::string owner = to_lower_copy(json_text(record.msg, "owner"));
    if (signer.empty() || owner.empty() || signer != head.owner) return false;
    if (to_lower_copy(json_text(record.msg, "prev")) != head.txid) return false;
    row.txid = record.txid;
    row.type = "art_owner";
    row.owner = owner;
    row.signer = signer;
    row.handle = json_text(record.msg, "handle");
    row.ts = record.ts;
    return true;
}

// Follows each coin from its origin along its own path and appends the title's steps to rows:
// the transactions on both paths, in path order. "" or the reason the paths could not be read.
std::string follow_coins(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                         const std::string& title_address, const SatPlace& art, const SatPlace& cert,
                         std::vector<KvArtTitleRow>& rows, TitleCoins* coins) {
    CoinWalk walk;
    for (const WatchRecord& record : records) {
        walk.listed.emplace(record.txid, &record);
        if (!usable_tx(record.tx)) continue;
        for (const json& in : record.tx["vin"]) {
            if (!in.is_object() || !in.contains("txid") || !in["txid"].is_string()) continue;
            std::string txid = to_lower_copy(in["txid"].get<std::string>());
            const auto n = in.find("vout");
            if (!is_txid_hex(txid) || n == in.end() || !n->is_number_unsigned() ||
                n->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max())
                continue;
            walk.listed_spender.emplace(outpoint_text(txid, n->get<std::uint32_t>()), record.txid);
        }
    }
    SatPathReader reader;
    reader.tx = [&](const std::string& txid) { return walk_tx(walk, txid); };
    reader.prefetch = [&](const std::vector<std::string>& txids) { prefetch_txs(walk, txids); };
    reader.spent_by = [&](const std::string& txid, std::uint32_t vout, std::string& spender) {
        return walk_spent_by(walk, txid, vout, spender);
    };
    SatPath art_path, cert_path;
    follow_sat(art, reader, kMaxCoinHops, art_path);
    if (art_path.end != SatPathEnd::too_long && art_path.end != SatPathEnd::unreadable)
        follow_sat(cert, reader, kMaxCoinHops - static_cast<int>(art_path.txids.size()), cert_path);
    for (const SatPath* path : {&art_path, &cert_path}) {
        if (path->end == SatPathEnd::too_long) return kCoinsTooBusy;
        if (path->end == SatPathEnd::unreadable) return kCoinsUnreadable;
    }
    if (coins && art_path.end == SatPathEnd::unspent)
        coins->pic_coin = art_path.at.txid + "_" + std::to_string(art_path.at.vout);
    if (coins && cert_path.end == SatPathEnd::unspent)
        coins->cert_coin = cert_path.at.txid + "_" + std::to_string(cert_path.at.vout);
    const std::set<std::string> cert_txs(cert_path.txids.begin(), cert_path.txids.end());
    for (const std::string& txid : art_path.txids) {
        // Both coins in one transaction: the only place where the title can move.
        if (!cert_txs.count(txid)) continue;
        read_path_record(walk, txid);
        KvArtTitleRow row;
        if (title_step(walk, txid, artwork_key, title_address, rows.back(), row)) rows.push_back(row);
    }
    return "";
}

// Where a transaction stands in its block, from WhatsOnChain's list of the block's transactions,
// read once per height and call; -1 when unknown.
std::int64_t block_position(std::map<std::int64_t, std::vector<std::string>>& blocks, std::int64_t height,
                            const std::string& txid) {
    auto block = blocks.find(height);
    if (block == blocks.end()) {
        std::vector<std::string> ids;
        json reply;
        if (http_get_json(woc_url("/block/height/" + std::to_string(height)), reply, kBlockTimeoutS) &&
            reply.is_object()) {
            const auto list = reply.find("tx");
            if (list != reply.end() && list->is_array()) {
                for (const json& id : *list) {
                    if (ids.size() >= kBlockListLimit) break;
                    ids.push_back(id.is_string() ? to_lower_copy(id.get<std::string>()) : std::string());
                }
            }
        }
        block = blocks.emplace(height, std::move(ids)).first;
    }
    const auto at = std::find(block->second.begin(), block->second.end(), txid);
    return at == block->second.end() ? -1 : static_cast<std::int64_t>(at - block->second.begin());
}

// The pair that starts an artwork's title, once found mined in a listing read whole: nothing
// listed later can stand before it in the chain, so later reads go straight to the coins.
std::mutex g_pair_mutex;
std::map<std::string, WatchRecord> g_known_pairs;

bool known_pair(const std::string& artwork_key, WatchRecord& record) {
    std::lock_guard<std::mutex> lock(g_pair_mutex);
    const auto it = g_known_pairs.find(artwork_key);
    if (it == g_known_pairs.end()) return false;
    record = it->second;
    return true;
}

void remember_pair(const std::string& artwork_key, const WatchRecord& record) {
    if (tx_block_height(record.tx) <= 0) return;
    std::lock_guard<std::mutex> lock(g_pair_mutex);
    if (g_known_pairs.size() >= kKnownPairLimit) g_known_pairs.clear();
    g_known_pairs[artwork_key] = record;
}

// Reads the watches for the artwork's records and finds the pair that starts its title. "" or the
// reason the title cannot be read, and then no pair. A pair decided from a listing cut short is not
// remembered.
std::string read_first_pair(const std::string& artwork_key, bool read_pair_watch, std::vector<WatchRecord>& records,
                            const WatchRecord*& first) {
    first = nullptr;
    // The title watch carries every record of the platform, the pair watch only pairings. The
    // program's pairs pay both, so the artwork's earliest mined pair at the pair watch bounds the
    // title watch's read: nothing mined in a later block can stand before it.
    std::vector<WatchRecord> pair_records;
    std::string pair_error;
    bool pair_whole = true;
    const bool pair_read = scan_watch_messages(kPairWatchKey, kPairWatchAddress, pair_records, pair_error, &pair_whole);
    // A pair at hand is a pair on chain, whether or not the watch read whole.
    const WatchRecord* candidate = first_pair_in_chain(pair_records, artwork_key, kTitleWatchAddress, nullptr);
    const std::int64_t mined_by = candidate ? tx_block_height(candidate->tx) : 0;
    std::string title_error;
    bool title_whole = false;
    // Every pair that can start the title is listed at the title watch: without all of it the pair
    // watch's pair could be a later one than the first.
    if (!scan_watch_messages(kTitleWatchKey, kTitleWatchAddress, records, title_error, &title_whole, mined_by))
        return title_error;
    const bool pair_listed =
        std::any_of(records.begin(), records.end(), [&](const WatchRecord& r) { return is_pair_of(r, artwork_key); });
    if (read_pair_watch || !pair_listed) {
        if (pair_read)
            merge_pair_records(records, pair_records, artwork_key);
        else
            pair_whole = true; // a failed pair watch is not reported when the title watch answered
    }
    std::map<std::int64_t, std::vector<std::string>> blocks;
    bool order_unknown = false;
    first = first_pair_in_chain(records, artwork_key, kTitleWatchAddress,
                                [&](std::int64_t height, const std::string& txid) {
                                    const std::int64_t position = block_position(blocks, height, txid);
                                    order_unknown = order_unknown || position < 0;
                                    return position;
                                });
    // Two pairs share a block whose order could not be read: listing order would let the first
    // owner change from one read to the next.
    if (order_unknown) {
        first = nullptr;
        return kPairOrderUnknown;
    }
    // A listing cut at a bound may hide an earlier pair; none is named as if all had been seen.
    if (!title_whole || (!pair_listed && !pair_whole)) {
        first = nullptr;
        return kWatchNotWhole;
    }
    return "";
}

} // namespace

std::int64_t tx_block_height(const json& tx) {
    if (!tx.is_object()) return 0;
    const auto height = tx.find("blockheight");
    if (height == tx.end() || !height->is_number_integer()) return 0;
    const std::int64_t value = height->get<std::int64_t>();
    return value > 0 ? value : 0;
}

const WatchRecord*
first_pair_in_chain(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                    const std::string& title_address,
                    const std::function<std::int64_t(std::int64_t, const std::string&)>& block_position) {
    struct Spot {
        const WatchRecord* record = nullptr;
        std::int64_t height = 0;
        std::int64_t position = 0;
    };
    std::vector<Spot> spots;
    std::map<std::int64_t, int> per_height;
    for (const WatchRecord& record : records) {
        if (!is_pair_of(record, artwork_key)) continue;
        // A pair names its signer as the first owner. It must pay the title watch, which every title
        // read lists: a pair found only at the pair watch would start the title for the reads that
        // read that watch too and not for the others.
        const std::string signer = json_identity_pubkey(record.msg);
        if (signer.empty() || to_lower_copy(json_text(record.msg, "owner")) != signer) continue;
        if (!tx_pays_address(record.tx, title_address)) continue;
        Spot spot;
        spot.record = &record;
        spot.height = tx_block_height(record.tx);
        if (spot.height > 0) ++per_height[spot.height];
        spots.push_back(spot);
    }
    if (spots.empty()) return nullptr;
    // The block's own order is asked for only where two pairs share a block.
    for (Spot& spot : spots) {
        if (spot.height > 0 && per_height[spot.height] > 1 && block_position)
            spot.position = block_position(spot.height, spot.record->txid);
    }
    const auto before = [](const Spot& a, const Spot& b) {
        const bool a_mined = a.height > 0;
        const bool b_mined = b.height > 0;
        if (a_mined != b_mined) return a_mined;
        if (a.height != b.height) return a.height < b.height;
        const bool a_placed = a.position >= 0;
        const bool b_placed = b.position >= 0;
        if (a_placed != b_placed) return a_placed;
        if (a.position != b.position) return a.position < b.position;
        if (a.record->listed != b.record->listed) return a.record->listed < b.record->listed;
        return a.record->txid < b.record->txid;
    };
    return std::min_element(spots.begin(), spots.end(), before)->record;
}

void merge_pair_records(std::vector<WatchRecord>& title_records, const std::vector<WatchRecord>& pair_records,
                        const std::string& artwork_key) {
    // Records only the pair watch listed come after every record the title watch listed.
    std::int64_t listed_after = 0;
    for (const WatchRecord& record : title_records)
        listed_after = std::max(listed_after, record.listed + 1);
    for (const WatchRecord& pair : pair_records) {
        if (!is_pair_of(pair, artwork_key)) continue;
        auto same = std::find_if(title_records.begin(), title_records.end(),
                                 [&](const WatchRecord& r) { return r.txid == pair.txid; });
        if (same == title_records.end()) {
            title_records.push_back(pair);
            title_records.back().listed += listed_after;
            continue;
        }
        // Both watches list the same pair transaction; the copies differ only when one source
        // answered with a damaged certificate field, and the better one is kept.
        const std::string pair_cert = json_text(pair.msg, "cert");
        if (!is_txid_hex(norm_txid(json_text(same->msg, "cert"))) && is_txid_hex(norm_txid(pair_cert)) &&
            same->msg.is_object())
            same->msg["cert"] = pair_cert;
    }
    sort_watch_records(title_records);
}

std::int64_t tx_block_place(std::map<std::int64_t, std::vector<std::string>>& blocks, std::int64_t height,
                            const std::string& txid) {
    return block_position(blocks, height, txid);
}

std::string art_title_read(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                           bool read_pair_watch) {
    return art_title_coins(artwork_id, rows, pair, read_pair_watch, nullptr);
}

std::string art_title_coins(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows, TitlePair& pair,
                            bool read_pair_watch, TitleCoins* coins) {
    rows.clear();
    if (coins) *coins = TitleCoins{};
    pair = TitlePair{};
    const std::string pair_address = kPairWatchAddress;
    const std::string title_address = kTitleWatchAddress;
    if (pair_address.empty() || title_address.empty()) return kWatchesNotAssignedText;
    if (art_trim_copy(artwork_id).empty()) return "Pick an artwork.";
    const std::string artwork_key = norm_txid(artwork_id);

    std::vector<WatchRecord> records;
    WatchRecord known;
    const WatchRecord* first = nullptr;
    std::string error;
    if (known_pair(artwork_key, known)) {
        first = &known;
    } else {
        error = read_first_pair(artwork_key, read_pair_watch, records, first);
    }
    if (first) {
        pair.txid = first->txid;
        pair.artwork = lower_text(first->msg, "pic");
        pair.certificate = lower_text(first->msg, "cert");
        pair.sha256 = lower_text(first->msg, "sha256");
        pair.owner = json_identity_pubkey(first->msg);
        pair.handle = json_text(first->msg, "handle");
    }
    if (!error.empty() || !first) return error;

    KvArtTitleRow row;
    row.txid = first->txid;
    row.type = "art_pair";
    row.owner = pair.owner;
    row.signer = pair.owner;
    row.handle = pair.handle;
    row.ts = first->ts;
    rows.push_back(row);

    // The coins are followed from their origins: the artwork as the pair names it, the certificate
    // the pair binds. A pair whose ids are no outpoints binds no coins, and its title never moves.
    SatPlace art, cert;
    if (!origin_outpoint(pair.artwork, art.txid, art.vout) && !origin_outpoint(artwork_id, art.txid, art.vout))
        return "";
    if (!origin_outpoint(pair.certificate, cert.txid, cert.vout)) return "";
    // One coin named twice is not two coins travelling together.
    if (art.txid == cert.txid && art.vout == cert.vout) return "";
    if (first != &known) remember_pair(artwork_key, *first);
    error = follow_coins(records, artwork_key, title_address, art, cert, rows, coins);
    if (!error.empty()) rows.clear();
    return error;
}

std::string art_title_chain(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows,
                            std::string* certificate_id) {
    TitlePair pair;
    const std::string error = art_title_read(artwork_id, rows, pair, certificate_id != nullptr);
    if (certificate_id) {
        const std::string cert = norm_txid(pair.certificate);
        *certificate_id = is_txid_hex(cert) ? cert : std::string();
    }
    return error;
}
