#include "art/title_walk.h"

#include "art/art_records.h"
#include "chain/outpoints.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <list>
#include <map>
#include <set>
#include <string>

using json = nlohmann::json;

namespace {

// Hops of both coins together. An artwork whose coins moved more often than this is not followed:
// the read fails rather than name an owner from half a path.
constexpr int kMaxCoinHops = 400;
const char* const kCoinsUnreadable = "the artwork's coins could not be followed.";
const char* const kCoinsTooBusy = "the artwork's coins moved too often to follow.";

bool is_owner_record_of(const WatchRecord& record, const std::string& artwork_key, const std::string& title_address) {
    return json_text(record.msg, "type") == "art_owner" && norm_txid(json_text(record.msg, "pic")) == artwork_key &&
           tx_pays_address(record.tx, title_address);
}

struct CoinWalk {
    std::map<std::string, const WatchRecord*> listed; // records by transaction: listed, then read on the path
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
    if (listed != walk.listed.end() && woc_tx_usable(listed->second->tx)) {
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
    if (!is_txid_hex(txid) || !woc_tx_json(txid, tx, false) || !woc_tx_usable(tx)) return nullptr;
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
        if (!woc_tx_usable(txs[i])) continue;
        keep_if_mined(missing[i], txs[i]);
        walk.fetched[missing[i]] = std::move(txs[i]);
    }
}

// The record a path transaction carries, as the watch reader would have kept it; listed ones are
// known already.
void read_path_record(CoinWalk& walk, const std::string& txid) {
    if (walk.listed.count(txid)) return;
    const json* tx = walk_tx(walk, txid);
    WatchRecord record;
    if (!tx || !find_art_message_in_tx(*tx, record.msg) || !verify_art_record(record.msg)) return;
    record.ts = json_ts(record.msg);
    if (record.ts <= 0) return;
    record.txid = txid;
    record.tx = *tx;
    walk.path_records.push_back(std::move(record));
    walk.listed[txid] = &walk.path_records.back();
}

// Whether an owner record's `prev` names the title's last step: that step, or for the pair any
// copy of it, which anyone may have posted again.
bool names_head(CoinWalk& walk, const std::string& prev, const KvArtTitleRow& head, const WatchRecord& pair,
                const std::string& artwork_key, const std::string& title_address) {
    if (prev == head.txid) return true;
    if (head.type != "art_pair" || !is_txid_hex(prev)) return false;
    read_path_record(walk, prev);
    const auto copy = walk.listed.find(prev);
    if (copy == walk.listed.end()) return false;
    const WatchRecord& record = *copy->second;
    return is_pair_of(record, artwork_key) && pair_terms(record) == pair_terms(pair) &&
           to_lower_copy(json_text(record.msg, "owner")) == head.owner && tx_pays_address(record.tx, title_address);
}

// The step a transaction that spent both coins makes, when its listed owner record continues the
// title: signed by the owner now, naming the head, paying the title watch.
bool title_step(CoinWalk& walk, const std::string& txid, const std::string& artwork_key,
                const std::string& title_address, const WatchRecord& pair, const KvArtTitleRow& head,
                KvArtTitleRow& row) {
    const auto listed = walk.listed.find(txid);
    if (listed == walk.listed.end()) return false;
    const WatchRecord& record = *listed->second;
    if (!is_owner_record_of(record, artwork_key, title_address)) return false;
    const std::string signer = json_identity_pubkey(record.msg);
    const std::string owner = to_lower_copy(json_text(record.msg, "owner"));
    if (signer.empty() || owner.empty() || signer != head.owner) return false;
    if (!names_head(walk, to_lower_copy(json_text(record.msg, "prev")), head, pair, artwork_key, title_address))
        return false;
    row.txid = record.txid;
    row.type = "art_owner";
    row.owner = owner;
    row.signer = signer;
    row.handle = json_text(record.msg, "handle");
    row.ts = record.ts;
    return true;
}

} // namespace

// Follows each coin from its origin along its own path and appends the title's steps to rows:
// the transactions on both paths, in path order. "" or the reason the paths could not be read.
std::string follow_coins(const std::vector<WatchRecord>& records, const WatchRecord& pair,
                         const std::string& artwork_key, const std::string& title_address, const SatPlace& art,
                         const SatPlace& cert, std::vector<KvArtTitleRow>& rows, TitleCoins* coins,
                         const KnownSpends* spends) {
    CoinWalk walk;
    // A listed record's transaction is on the chain as read: the outputs it spends are spent by
    // it for every reader of the process, also where a spend look-up still lags.
    for (const WatchRecord& record : records) {
        walk.listed.emplace(record.txid, &record);
        woc_spends_seen(record.txid, record.tx);
    }
    SatPathReader reader;
    reader.tx = [&](const std::string& txid) { return walk_tx(walk, txid); };
    reader.prefetch = [&](const std::vector<std::string>& txids) { prefetch_txs(walk, txids); };
    // Every spender comes from the spend look-up, which the listed records have taught what they
    // spend: each read of the process then names the same owner, whether or not it read the watches.
    reader.spent_by = [spends](const std::string& txid, std::uint32_t vout, std::string& spender) {
        const auto known = spends ? spends->find(txid + "_" + std::to_string(vout)) : KnownSpends::const_iterator();
        if (!spends || known == spends->end()) return woc_spent_by(txid, vout, spender);
        spender = known->second;
        return spender.empty() ? 1 : 0;
    };
    SatPath art_path, cert_path;
    follow_sat(art, reader, kMaxCoinHops, art_path);
    if (art_path.end != SatPathEnd::too_long && art_path.end != SatPathEnd::unreadable)
        follow_sat(cert, reader, kMaxCoinHops - static_cast<int>(art_path.txids.size()), cert_path);
    for (const SatPath* path : {&art_path, &cert_path}) {
        if (path->end == SatPathEnd::too_long) return kCoinsTooBusy;
        if (path->end == SatPathEnd::unreadable) return kCoinsUnreadable + std::string(" ") + try_again_text();
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
        if (title_step(walk, txid, artwork_key, title_address, pair, rows.back(), row)) rows.push_back(row);
    }
    return "";
}

bool is_pair_of(const WatchRecord& record, const std::string& artwork_key) {
    return json_text(record.msg, "type") == "art_pair" && norm_txid(json_text(record.msg, "pic")) == artwork_key;
}

// Pair records that name the same owner, artwork and certificate start the same title: a copy
// posted again by anyone changes nothing, wherever it stands.
std::string pair_terms(const WatchRecord& record) {
    return json_identity_pubkey(record.msg) + "|" + norm_txid(json_text(record.msg, "cert"));
}
