#include "ordinals/recent_scan.h"

#include "chain/balance.h"
#include "chain/gorillapool.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "ordinals/content_cache.h"
#include "ordinals/content_load.h"
#include "ordinals/envelope.h"
#include "ordinals/token_discovery.h"
#include "ordinals/token_records.h"
#include "ordinals/woc_tokens.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

using nlohmann::json;

namespace {

constexpr const char* kTokenType = "application/bsv-20";
// Bounded, yet wide enough that the transactions of a usual wallet's recent history are read in
// one round rather than three.
constexpr std::uint32_t kRecentScanThreads = 64;
constexpr std::int32_t kOracleTimeoutS = 12;
constexpr std::uint32_t kOracleTxThreads = 12;

std::uint32_t vout_or_zero(const json& obj, const char* key) {
    std::uint32_t vout = 0;
    if (obj.is_object()) {
        auto it = obj.find(key);
        if (it != obj.end()) json_as_u32(*it, vout);
    }
    return vout;
}

// The index of a WhatsOnChain output: its "n" when that is an index, else its position.
std::uint32_t output_index(const json& output, std::size_t position) {
    std::uint32_t n = static_cast<std::uint32_t>(position);
    if (output.is_object()) {
        auto it = output.find("n");
        if (it != output.end() && it->is_number()) json_as_u32(*it, n);
    }
    return n;
}

bool is_watch_hash(const std::vector<Hash160>& hashes, const Hash160& hash160, std::size_t* index = nullptr) {
    auto it = std::find(hashes.begin(), hashes.end(), hash160);
    if (it == hashes.end()) return false;
    if (index) *index = static_cast<std::size_t>(it - hashes.begin());
    return true;
}

// The "vout" array of a transaction of WhatsOnChain, or null.
const json* tx_outputs(const std::string& txid, json& tx) {
    if (!woc_tx_json(txid, tx) || !tx.is_object()) return nullptr;
    auto it = tx.find("vout");
    return it != tx.end() && it->is_array() ? &*it : nullptr;
}

// The "vout" array of a transaction already read, or null.
const json* tx_outputs_of(const json& tx) {
    if (!tx.is_object()) return nullptr;
    auto it = tx.find("vout");
    return it != tx.end() && it->is_array() ? &*it : nullptr;
}

// WhatsOnChain's history of an address, newest transactions first from the mempool on.
constexpr const char* kHistorySuffixes[] = {"/unconfirmed/history", "/confirmed/history", "/history"};

// Fills the mempool and confirmed history contexts of every address the bulk history answers
// whole, and marks it in `read`. Addresses the single-address reader would not ask are left out.
void read_bulk_histories(const std::vector<std::string>& addresses, std::vector<HistoryContext>& histories,
                         std::size_t suffixes, std::vector<char>& read) {
    std::vector<std::string> asked;
    for (const std::string& address : addresses)
        if (!address.empty() && is_ascii_alnum_text(address) &&
            std::find(asked.begin(), asked.end(), address) == asked.end())
            asked.push_back(address);
    const std::size_t chunks = (asked.size() + kBulkHistoryAddresses - 1) / kBulkHistoryAddresses;
    std::vector<std::vector<std::string>> chunk_addresses(chunks);
    std::vector<std::vector<BulkHistory>> replies(chunks);
    for (std::size_t i = 0; i < asked.size(); ++i)
        chunk_addresses[i / kBulkHistoryAddresses].push_back(asked[i]);
    parallel_for(chunks, kRecentScanThreads, [&](std::uint64_t c) {
        if (!woc_bulk_history(chunk_addresses[c], replies[c])) replies[c].clear();
    });
    std::unordered_map<std::string, const BulkHistory*> by_address;
    for (std::size_t c = 0; c < chunks; ++c)
        for (std::size_t i = 0; i < replies[c].size(); ++i)
            if (replies[c][i].answered) by_address.emplace(chunk_addresses[c][i], &replies[c][i]);
    for (std::size_t a = 0; a < addresses.size(); ++a) {
        auto it = by_address.find(addresses[a]);
        if (it == by_address.end()) continue;
        add_history_ids(histories[a * suffixes], it->second->unconfirmed, kHistorySuffixes[0]);
        add_history_ids(histories[a * suffixes + 1], it->second->confirmed, kHistorySuffixes[1]);
        read[a] = 1;
    }
}

// Appends a record for every bsv-20 inscription among the outputs that pays a watch address.
void records_of_recent_tx(const std::string& txid, const json* outputs, const std::vector<Hash160>& watch_hashes,
                          std::vector<LocalOrd>& found) {
    if (!outputs) return;
    for (std::size_t position = 0; position < outputs->size(); ++position) {
        const std::uint32_t n = output_index((*outputs)[position], position);
        Hash160 hash160{};
        TokenInscription token;
        std::string key;
        if (!inscription_from_woc_vout((*outputs)[position], txid, n, hash160, token, key)) continue;
        if (!is_watch_hash(watch_hashes, hash160)) continue;
        LocalOrd ord = local_ord_init();
        ord.origin = key;
        ord.txid = txid;
        ord.vout = n;
        ord.type = kTokenType;
        ord.name = token.name;
        ord.icon = token.icon;
        ord.address = base58check_encode(hash160);
        ord.amt = normalize_token_amount(token.amt);
        ord.dec = token.dec;
        ord.token_id = token.id.empty() ? key : token.id;
        found.push_back(std::move(ord));
    }
}

// Fills a token reply record from the inscription its script carries and caches that content.
void apply_script_inscription(const std::string& script_b64, LocalOrd& ord) {
    const Bytes script = base64_decode(script_b64);
    std::string content_type;
    Bytes body;
    std::string unused_name;
    if (!parse_inscription_from_script(script, content_type, body, unused_name)) return;
    ord_cache_write_content(ord.origin, content_type.empty() ? kTokenType : content_type, body);
    TokenInscription token;
    if (parse_token_json(body, token)) {
        ord.name = token.name;
        ord.icon = token.icon;
        // A deploy-and-mint inscription names no id: it is its own token.
        if (ord.token_id.empty()) ord.token_id = token.id.empty() ? ord.origin : token.id;
        if (ord.dec.empty()) ord.dec = token.dec;
    }
    if (ord.name.empty()) {
        const json doc = json_parse_or_discarded(std::string(body.begin(), body.end()));
        ord.name = clip_ord_name(json_text(doc, "name"));
    }
}

// The row of one identity credential output, or false when the output is not one for a watch
// address. `own_key` is the wallet's lower-cased identity key.
bool credential_row(const json& output, const std::string& txid, std::uint32_t index,
                    const std::vector<std::string>& addresses, const std::vector<Hash160>& hashes,
                    const std::string& own_key, KvCofferlyOrdRow& row) {
    if (!output.is_object()) return false;
    auto spk = output.find("scriptPubKey");
    if (spk == output.end() || !spk->is_object()) return false;
    const Bytes script = from_hex(json_text(*spk, "hex"));
    if (script.empty()) return false;
    Hash160 hash160{};
    std::string content_type;
    Bytes body;
    std::size_t matched = 0;
    if (!read_locked_envelope(script, hash160, content_type, body) || !is_watch_hash(hashes, hash160, &matched))
        return false;
    if (body.empty() || body[0] != '{') return false;
    const json record = json_parse_or_discarded(std::string(body.begin(), body.end()));
    if (!record.is_object() || json_text(record, "protocol") != "KV-Identity" ||
        json_text(record, "type") != "id_issue")
        return false;

    row = KvCofferlyOrdRow{};
    row.key = txid + "_" + std::to_string(index);
    row.txid = txid;
    row.vout = index;
    row.satoshis = 1;
    row.type = content_type.empty() ? "application/json" : content_type;
    row.address = addresses[matched];
    row.chain_name = true;
    const std::string label = id_kind_label(json_text(record, "kind"));
    if (label.empty()) {
        row.name = clip_ord_name(json_text(record, "name"));
    } else if (own_key.empty()) {
        row.name = label;
    } else {
        // The title reads the identity key of the loaded wallet, which only the wallet mutex keeps
        // steady.
        WalletLock lock = lock_wallet();
        row.name = credential_title(record);
    }
    ord_cache_write_content(row.key, row.type, body);
    return true;
}

std::vector<Hash160> watch_hashes_of(const std::vector<std::string>& addresses) {
    std::vector<Hash160> hashes;
    for (const std::string& address : addresses) {
        Hash160 h{};
        // An address that does not decode keeps its place with a hash no output can carry, so
        // indices still name the address.
        if (!address_to_hash160(address, h)) h.fill(0xff);
        hashes.push_back(h);
    }
    return hashes;
}

} // namespace

void parse_gp_txo(const AddressTxoLookup& lookup, const json& reply, std::vector<LocalOrd>& out) {
    if (!reply.is_array()) return;
    for (const json& element : reply) {
        if (!element.is_object() || !json_text(element, "spend").empty()) continue;
        // A spend of any other type than text is unreadable, not "unspent".
        auto spend = element.find("spend");
        if (spend != element.end() && !spend->is_null() && !spend->is_string()) continue;
        index_token_outpoint(element);

        const std::string txid = json_text(element, "txid");
        const std::uint32_t vout = vout_or_zero(element, "vout");
        std::string outpoint = json_text(element, "outpoint");
        if (outpoint.empty() && is_txid_hex(txid)) outpoint = txid + "_" + std::to_string(vout);
        if (outpoint.size() < kTokenIdMinLength || !is_txid_hex(txid)) continue;

        LocalOrd ord = local_ord_init();
        ord.origin = outpoint;
        ord.txid = txid;
        ord.vout = vout;
        ord.type = kTokenType;
        const std::string owner = json_text(element, "owner");
        ord.address = owner.empty() ? lookup.address : owner;
        ord.amt = gp_token_amount(element);
        ord.dec = gp_token_dec(element);
        ord.token_id = gp_token_id(element);
        const std::string script = json_text(element, "script");
        if (!script.empty()) apply_script_inscription(script, ord);
        out.push_back(std::move(ord));
    }
}

void ingest_woc_recent_ords_worker(RecentScanContext& context, std::uint64_t index) {
    if (index >= context.addresses.size() || context.addresses[index].empty()) return;
    HistoryContext history;
    history.limit = static_cast<std::int32_t>(kRecentTxMax);
    history.address = context.addresses[index];
    for (const char* suffix : kHistorySuffixes)
        woc_address_history(history, suffix);
    std::vector<LocalOrd> found;
    for (const std::string& txid : history.out) {
        json tx;
        records_of_recent_tx(txid, tx_outputs(txid, tx), context.watch_hashes, found);
    }
    std::lock_guard<std::mutex> lock(context.mutex);
    for (LocalOrd& ord : found)
        context.records.push_back(std::move(ord));
}

bool ingest_woc_recent_ords(const std::vector<std::string>& addresses, std::vector<LocalOrd>& out) {
    const std::vector<Hash160> watch_hashes = watch_hashes_of(addresses);
    // The addresses are asked side by side, and so is every transaction, each read once however
    // many addresses name it. Both history halves of up to 20 addresses come in one bulk request;
    // an address that request does not answer whole is asked on its own: its mempool history
    // first, and only when that falls short of the limit its confirmed and whole histories,
    // together. The whole history names nothing its two halves did not, so it is not asked once
    // both were read. The result is the same as asking address by address, suffix by suffix.
    const std::size_t suffixes = sizeof(kHistorySuffixes) / sizeof(kHistorySuffixes[0]);
    std::vector<HistoryContext> histories(addresses.size() * suffixes);
    for (std::size_t i = 0; i < histories.size(); ++i) {
        histories[i].limit = static_cast<std::int32_t>(kRecentTxMax);
        histories[i].address = addresses[i / suffixes];
    }
    std::vector<char> bulk_read(addresses.size(), 0);
    read_bulk_histories(addresses, histories, suffixes, bulk_read);
    std::vector<std::size_t> alone;
    for (std::size_t a = 0; a < addresses.size(); ++a)
        if (!addresses[a].empty() && !bulk_read[a]) alone.push_back(a);
    parallel_for(alone.size(), kRecentScanThreads, [&histories, &alone, suffixes](std::uint64_t i) {
        woc_address_history(histories[alone[i] * suffixes], kHistorySuffixes[0]);
    });
    std::vector<std::size_t> later;
    for (std::size_t a : alone) {
        if (histories[a * suffixes].out.size() >= kRecentTxMax) continue;
        for (std::size_t k = 1; k < suffixes; ++k)
            later.push_back(a * suffixes + k);
    }
    parallel_for(later.size(), kRecentScanThreads, [&histories, &later, suffixes](std::uint64_t i) {
        woc_address_history(histories[later[i]], kHistorySuffixes[later[i] % suffixes]);
    });
    bool answered = addresses.empty();
    for (std::size_t a = 0; a < addresses.size(); ++a)
        answered |=
            bulk_read[a] || histories[a * suffixes].unconfirmed_read || histories[a * suffixes + 1].confirmed_read;
    std::vector<std::vector<std::string>> per_address(addresses.size());
    std::vector<std::string> txids;
    std::unordered_set<std::string> distinct;
    for (std::size_t a = 0; a < addresses.size(); ++a) {
        std::unordered_set<std::string> seen;
        for (std::size_t k = 0; k < suffixes; ++k) {
            for (const std::string& txid : histories[a * suffixes + k].out) {
                if (per_address[a].size() >= kRecentTxMax) break;
                if (!seen.insert(txid).second) continue;
                per_address[a].push_back(txid);
                if (distinct.insert(txid).second) txids.push_back(txid);
            }
        }
    }
    std::vector<json> txs(txids.size());
    std::vector<char> read(txids.size(), 0);
    parallel_for(txids.size(), kRecentScanThreads,
                 [&](std::uint64_t i) { read[i] = tx_outputs(txids[i], txs[i]) ? 1 : 0; });
    std::unordered_map<std::string, std::size_t> at;
    for (std::size_t i = 0; i < txids.size(); ++i)
        at.emplace(txids[i], i);
    for (const std::vector<std::string>& list : per_address) {
        for (const std::string& txid : list) {
            const std::size_t i = at[txid];
            if (!read[i]) continue;
            json& tx = txs[i];
            records_of_recent_tx(txid, tx_outputs_of(tx), watch_hashes, out);
        }
    }
    return answered;
}

namespace {

// The array of transaction ids in an index's answer: its "txids", or else its "result"; null
// for any other shape.
const json* txid_list_of(const json& reply) {
    if (!reply.is_object()) return nullptr;
    auto list = reply.find("txids");
    if (list == reply.end() || !list->is_array()) list = reply.find("result");
    if (list == reply.end() || !list->is_array()) return nullptr;
    return &*list;
}

bool is_txid_list(const json& reply) {
    return txid_list_of(reply) != nullptr;
}

} // namespace

void parse_txid_list(const json& reply, std::vector<std::string>& ids, std::unordered_set<std::string>& seen) {
    const json* list = txid_list_of(reply);
    if (!list) return;
    for (const json& element : *list) {
        if (ids.size() >= kOracleTxMax) return;
        std::string id;
        if (element.is_string()) {
            id = element.get<std::string>();
        } else if (element.is_object()) {
            id = json_text(element, "tx_hash");
            if (id.empty()) id = json_text(element, "txid");
        }
        id = to_lower_copy(id);
        if (is_txid_hex(id) && seen.insert(id).second) ids.push_back(id);
    }
}

bool ingest_oracle_ident_records(const std::vector<std::string>& addresses, std::vector<KvCofferlyOrdRow>& rows) {
    rows.clear();
    if (addresses.empty()) return true;
    std::string own_key;
    {
        WalletLock lock = lock_wallet();
        own_key = to_lower_copy(kv_wallet().identity_pub);
    }

    std::vector<std::string> ids;
    std::unordered_set<std::string> seen;
    const std::string urls[] = {
        woc_url(std::string("/address/") + kIdentityOracleAddress + "/unconfirmed/history?limit=12"),
        service_settings().platform_base + "/oi/oracle/ident/txids?limit=12",
    };
    // Both indexes, and then every transaction, are asked side by side; the ids keep the order
    // the indexes are listed in.
    std::string bodies[2];
    bool answered[2] = {false, false};
    long status[2] = {0, 0};
    parallel_for(2, 2, [&](std::uint64_t i) {
        std::string error;
        answered[i] = http_get(urls[i], bodies[i], error, kOracleTimeoutS, false, nullptr, &status[i]);
    });
    const json replies[2] = {json_parse_or_discarded(bodies[0]), json_parse_or_discarded(bodies[1])};
    for (std::size_t i = 0; i < 2 && ids.size() < kOracleTxMax; ++i)
        if (answered[i]) parse_txid_list(replies[i], ids, seen);

    std::vector<json> txs(ids.size());
    parallel_for(ids.size(), kOracleTxThreads, [&](std::uint64_t i) {
        if (!tx_outputs(ids[i], txs[i])) txs[i] = nullptr;
    });
    const std::vector<Hash160> hashes = watch_hashes_of(addresses);
    for (std::size_t t = 0; t < ids.size(); ++t) {
        const std::string& txid = ids[t];
        const json* outputs = tx_outputs_of(txs[t]);
        if (!outputs) continue;
        for (std::size_t position = 0; position < outputs->size(); ++position) {
            KvCofferlyOrdRow row;
            const std::uint32_t n = output_index((*outputs)[position], position);
            if (credential_row((*outputs)[position], txid, n, addresses, hashes, own_key, row))
                rows.push_back(std::move(row));
        }
    }
    // An index with nothing for the oracle yet answers 404: the platform was reached all the same.
    // A 200 that holds no list (an empty page, a proxy's) told nothing.
    return (answered[1] && is_txid_list(replies[1])) || status[1] == 404;
}
