#include "art/title_chain.h"

#include "art/art_pass.h"
#include "art/art_records.h"
#include "art/watch_reader.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"

#include <algorithm>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string>

using json = nlohmann::json;

namespace {

// Hops of both coins together. An artwork whose coins moved more often than this is not followed:
// the read fails rather than name an owner from half a path.
constexpr int kMaxCoinHops = 400;
// More satoshis than there will ever be: an output claiming more is malformed.
constexpr std::int64_t kMaxSats = 2100000000000000;
constexpr std::size_t kConfirmedTxCacheLimit = 4096;
constexpr std::size_t kBlockListLimit = 1000000;
constexpr std::int32_t kTxTimeoutS = 12;
constexpr std::int32_t kBlockTimeoutS = 12;
const char* const kCoinsUnreadable = "the artwork's coins could not be followed. Try again.";
const char* const kCoinsTooBusy = "the artwork's coins moved too often to follow.";

// Mined transactions never change, so their JSON is kept for the next read.
std::mutex g_tx_mutex;
std::map<std::string, json> g_confirmed_tx;

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

// The outpoint an input spends; false for a coinbase input or a malformed one.
bool input_outpoint(const json& in, std::string& txid, std::uint32_t& vout) {
    if (!in.is_object()) return false;
    const auto id = in.find("txid");
    const auto n = in.find("vout");
    if (id == in.end() || !id->is_string() || n == in.end() || !n->is_number_integer()) return false;
    const std::int64_t index = n->get<std::int64_t>();
    if (index < 0 || index > std::numeric_limits<std::uint32_t>::max()) return false;
    txid = to_lower_copy(id->get<std::string>());
    vout = static_cast<std::uint32_t>(index);
    return is_txid_hex(txid);
}

bool output_sats(const json& out, std::uint64_t& sats) {
    if (!out.is_object()) return false;
    const std::int64_t value = vout_value_sats(out);
    if (value < 0 || value > kMaxSats) return false;
    sats = static_cast<std::uint64_t>(value);
    return true;
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

// One coin on its way: the output that holds the ordinal's satoshi now, and the spender once asked.
struct Coin {
    std::string txid;
    std::uint32_t vout = 0;
    std::uint64_t offset = 0; // the satoshi's place within the output
    bool gone = false;        // paid to the miner: it never moves again
    bool asked = false;
    std::string spender;
};

struct CoinWalk {
    std::map<std::string, const WatchRecord*> listed;  // the title watch's records by transaction
    std::map<std::string, std::string> listed_spender; // outpoint -> the listed transaction spending it
    std::set<std::string> waiting;                     // owner records of the artwork not met yet
    std::map<std::string, json> fetched;
    int hops = 0;
    bool to_end = false; // follow the coins to where they are now, past the last owner record
};

// A transaction on the path: the watch's own copy when it lists its inputs, else the kept copy of a
// mined one, else WhatsOnChain's. Null when it cannot be read.
const json* walk_tx(CoinWalk& walk, const std::string& txid) {
    const auto listed = walk.listed.find(txid);
    if (listed != walk.listed.end() && usable_tx(listed->second->tx)) return &listed->second->tx;
    const auto seen = walk.fetched.find(txid);
    if (seen != walk.fetched.end()) return &seen->second;
    json tx;
    {
        std::lock_guard<std::mutex> lock(g_tx_mutex);
        const auto kept = g_confirmed_tx.find(txid);
        if (kept != g_confirmed_tx.end()) tx = kept->second;
    }
    if (tx.is_null()) {
        if (!is_txid_hex(txid) || !http_get_json(woc_url("/tx/" + txid), tx, kTxTimeoutS) || !usable_tx(tx))
            return nullptr;
        if (tx_block_height(tx) > 0) {
            std::lock_guard<std::mutex> lock(g_tx_mutex);
            if (g_confirmed_tx.size() >= kConfirmedTxCacheLimit) g_confirmed_tx.clear();
            g_confirmed_tx[txid] = tx;
        }
    }
    return &(walk.fetched[txid] = std::move(tx));
}

// Finds who spent the coin: a listed transaction that names it among its inputs, else
// WhatsOnChain. Once no listed owner record is left to meet, where the coin goes no longer
// matters and nothing is asked. False when the service could not tell.
bool find_spender(CoinWalk& walk, Coin& coin) {
    if (coin.gone || coin.asked) return true;
    const auto listed = walk.listed_spender.find(outpoint_text(coin.txid, coin.vout));
    if (listed != walk.listed_spender.end()) {
        coin.spender = listed->second;
        coin.asked = true;
        return true;
    }
    if (walk.waiting.empty() && !walk.to_end) return true;
    std::string by;
    const int code = woc_spent_by(coin.txid, coin.vout, by);
    if (code == 2) return false;
    coin.spender = code == 0 ? to_lower_copy(by) : std::string();
    coin.asked = true;
    return true;
}

// Moves the coin through its spender, first in, first out: the satoshi's position is the value of
// the inputs before the coin's own plus its place within the coin. False when a transaction on the
// way cannot be read or does not spend the coin.
bool move_coin(CoinWalk& walk, Coin& coin) {
    const json* tx = walk_tx(walk, coin.spender);
    if (!tx) return false;
    std::uint64_t position = coin.offset;
    bool found = false;
    for (const json& in : (*tx)["vin"]) {
        std::string txid;
        std::uint32_t vout = 0;
        if (!input_outpoint(in, txid, vout)) return false;
        if (txid == coin.txid && vout == coin.vout) {
            found = true;
            break;
        }
        const json* prev = walk_tx(walk, txid);
        std::uint64_t sats = 0;
        if (!prev || vout >= (*prev)["vout"].size() || !output_sats((*prev)["vout"][vout], sats)) return false;
        position += sats;
    }
    if (!found) return false;
    Coin next;
    next.txid = coin.spender;
    next.gone = !ordinal_output((*tx)["vout"], position, next.vout, next.offset);
    coin = next;
    return true;
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

// Follows both coins from their origins and appends the title's steps to rows. "" or the reason
// the coins' path could not be read.
std::string follow_coins(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                         const std::string& title_address, Coin art, Coin cert, std::vector<KvArtTitleRow>& rows,
                         TitleCoins* coins) {
    CoinWalk walk;
    walk.to_end = coins != nullptr;
    for (const WatchRecord& record : records) {
        walk.listed.emplace(record.txid, &record);
        if (is_owner_record_of(record, artwork_key, title_address)) walk.waiting.insert(record.txid);
        if (!usable_tx(record.tx)) continue;
        for (const json& in : record.tx["vin"]) {
            std::string txid;
            std::uint32_t vout = 0;
            if (input_outpoint(in, txid, vout)) walk.listed_spender.emplace(outpoint_text(txid, vout), record.txid);
        }
    }
    for (;;) {
        if (!find_spender(walk, art) || !find_spender(walk, cert)) return kCoinsUnreadable;
        if (art.spender.empty() && cert.spender.empty()) {
            if (coins && !art.gone) coins->pic_coin = art.txid + "_" + std::to_string(art.vout);
            if (coins && !cert.gone) coins->cert_coin = cert.txid + "_" + std::to_string(cert.vout);
            return "";
        }
        if (++walk.hops > kMaxCoinHops) return kCoinsTooBusy;
        if (art.spender == cert.spender) {
            // Both coins in one transaction: the only place where the title can move.
            walk.waiting.erase(art.spender);
            KvArtTitleRow row;
            if (title_step(walk, art.spender, artwork_key, title_address, rows.back(), row)) rows.push_back(row);
            if (!move_coin(walk, art) || !move_coin(walk, cert)) return kCoinsUnreadable;
        } else {
            Coin& moved = art.spender.empty() ? cert : art;
            walk.waiting.erase(moved.spender);
            if (!move_coin(walk, moved)) return kCoinsUnreadable;
        }
    }
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

} // namespace

std::int64_t tx_block_height(const json& tx) {
    if (!tx.is_object()) return 0;
    const auto height = tx.find("blockheight");
    if (height == tx.end() || !height->is_number_integer()) return 0;
    const std::int64_t value = height->get<std::int64_t>();
    return value > 0 ? value : 0;
}

bool ordinal_output(const json& vout, std::uint64_t position, std::uint32_t& index, std::uint64_t& offset) {
    if (!vout.is_array()) return false;
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < vout.size() && i <= std::numeric_limits<std::uint32_t>::max(); ++i) {
        std::uint64_t sats = 0;
        if (!output_sats(vout[i], sats)) return false;
        if (position - start < sats) {
            index = static_cast<std::uint32_t>(i);
            offset = position - start;
            return true;
        }
        start += sats;
    }
    return false;
}

const WatchRecord*
first_pair_in_chain(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                    const std::string& title_address, const std::string& pair_address,
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
        // A pair names its signer as the first owner, and the pair transaction pays both watches.
        const std::string signer = json_identity_pubkey(record.msg);
        if (signer.empty() || to_lower_copy(json_text(record.msg, "owner")) != signer) continue;
        if (!tx_pays_address(record.tx, title_address) || !tx_pays_address(record.tx, pair_address)) continue;
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
    std::string title_error;
    const bool title_ok = scan_watch_messages(kTitleWatchKey, title_address, records, title_error);
    // The pair transaction pays both watches, so the title watch usually lists the pair record
    // already and the second full read is spared.
    const bool pair_listed =
        std::any_of(records.begin(), records.end(), [&](const WatchRecord& r) { return is_pair_of(r, artwork_key); });
    std::string pair_error;
    if (read_pair_watch || !pair_listed) {
        std::vector<WatchRecord> pair_records;
        if (scan_watch_messages(kPairWatchKey, pair_address, pair_records, pair_error))
            merge_pair_records(records, pair_records, artwork_key);
    }
    std::map<std::int64_t, std::vector<std::string>> blocks;
    const WatchRecord* first = first_pair_in_chain(
        records, artwork_key, title_address, pair_address,
        [&](std::int64_t height, const std::string& txid) { return block_position(blocks, height, txid); });
    if (first) {
        pair.txid = first->txid;
        pair.artwork = lower_text(first->msg, "pic");
        pair.certificate = lower_text(first->msg, "cert");
        pair.sha256 = lower_text(first->msg, "sha256");
        pair.owner = json_identity_pubkey(first->msg);
        pair.handle = json_text(first->msg, "handle");
    }
    // Every pass is listed only at the title watch: without it the pair record alone would name
    // the registering owner as the owner now, even after the artwork has passed on.
    if (!title_ok) return title_error.empty() ? pair_error : title_error;
    if (!first) return "";

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
    Coin art, cert;
    if (!origin_outpoint(pair.artwork, art.txid, art.vout) && !origin_outpoint(artwork_id, art.txid, art.vout))
        return "";
    if (!origin_outpoint(pair.certificate, cert.txid, cert.vout)) return "";
    // One coin named twice is not two coins travelling together.
    if (art.txid == cert.txid && art.vout == cert.vout) return "";
    const std::string error = follow_coins(records, artwork_key, title_address, art, cert, rows, coins);
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
