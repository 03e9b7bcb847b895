// Bulk reads: many addresses, transactions or outputs in one request each, the requests of one
// read run side by side on one capped runner.
#include "chain/woc_client.h"

#include "chain/outpoints.h"
#include "chain/woc_reply.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"
#include "wallet/step_scope.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_set>
#include <utility>

using nlohmann::json;
using woc::json_round_i64;
using woc::reply_array;

namespace {

// WhatsOnChain's bulk unspent listings ("Bulk Confirmed UTXOs" and "Bulk Unconfirmed UTXOs" on
// its (Un)Spent Transaction Outputs page) take at most 20 addresses a request and return at most
// 20 confirmed or 100 unconfirmed items a request.
constexpr std::size_t kBulkAddresses = 20;
constexpr std::size_t kBulkConfirmedRows = 20;
constexpr std::size_t kBulkUnconfirmedRows = 100;
// A few bulk requests of transaction details or spend status go side by side, so a read of
// thousands is made in a few rounds without flooding the service.
constexpr std::uint32_t kBulkRequestsAtOnce = 4;
constexpr std::int32_t kBulkTxTimeoutS = 20;
constexpr std::int32_t kSpendTimeoutS = 20;

// Runs `request` on each run of up to kWocBulkPerRequest of `count` items, [first, last), a few
// side by side.
void run_bulk(std::size_t count, const std::function<void(std::size_t first, std::size_t last)>& request) {
    parallel_for((count + kWocBulkPerRequest - 1) / kWocBulkPerRequest, kBulkRequestsAtOnce, [&](std::uint64_t batch) {
        const std::size_t first = static_cast<std::size_t>(batch) * kWocBulkPerRequest;
        request(first, std::min(count, first + kWocBulkPerRequest));
    });
}

// One request of the bulk details for ids [first, last); true when the service answered.
// The transactions the steps' reads are asking for right now, by step: a read of the same step waits
// for that answer rather than asking again.
std::mutex g_step_reads_mutex;
std::condition_variable g_step_reads_done;
std::set<std::pair<StepAnswers*, std::string>> g_step_reads;

bool bulk_batch(const std::vector<std::string>& txids, std::size_t first, std::size_t last, std::vector<json>& txs,
                std::vector<char>* unknown) {
    json body = {{"txids", json::array()}};
    // Only a plain id goes out: anything else names no transaction, and may not even be text.
    for (std::size_t i = first; i < last; ++i)
        if (is_txid_hex(txids[i])) body["txids"].push_back(txids[i]);
    if (body["txids"].empty()) return false;
    std::string response, error;
    if (!http_post_json(woc_url("/txs"), body.dump(), response, error, kBulkTxTimeoutS, kUntilTimeOut)) return false;
    const json reply = json_parse_or_discarded(response);
    if (!reply.is_array()) return false;
    std::unordered_set<std::string> named; // ids with an entry that is no plain "unknown id" answer
    for (const json& tx : reply) {
        if (!tx.is_object()) continue;
        const auto id = tx.find("txid");
        if (id == tx.end() || !id->is_string()) continue;
        const std::string txid = to_lower_copy(id->get<std::string>());
        // The service answers an id it does not know with an error entry in the id's place.
        if (!tx.contains("error")) named.insert(txid);
        if (!woc_tx_usable(tx)) continue;
        for (std::size_t i = first; i < last; ++i)
            if (txs[i].is_null() && to_lower_copy(txids[i]) == txid) txs[i] = tx;
    }
    // A damaged copy says nothing of whether the transaction exists; only an id the answer left
    // out or answered with an error is one the service does not know.
    if (unknown) {
        for (std::size_t i = first; i < last; ++i)
            if (is_txid_hex(txids[i]) && !named.count(to_lower_copy(txids[i]))) (*unknown)[i] = 1;
    }
    return true;
}

using Outpoint = std::pair<std::string, std::uint32_t>;

// One request of the bulk spend status for outputs [first, last), into `found` by
// "<txid>_<index>": "" for an output the service lists unspent, the spender's id for one it lists
// spent; an output without a clear answer is left out.
void spend_batch(const std::vector<Outpoint>& outputs, const std::set<Outpoint>& asked, std::size_t first,
                 std::size_t last, std::map<std::string, std::string>& found) {
    json utxos = json::array();
    for (std::size_t i = first; i < last; ++i)
        utxos.push_back({{"txid", outputs[i].first}, {"vout", outputs[i].second}});
    std::string response, err;
    if (!http_post_json(woc_url("/utxos/spent"), json{{"utxos", utxos}}.dump(), response, err, kSpendTimeoutS,
                        kUntilTimeOut))
        return;
    const json reply = json_parse_or_discarded(response);
    if (!reply.is_array()) return;
    for (const json& row : reply) {
        if (!row.is_object() || !json_text(row, "error").empty()) continue;
        const auto utxo = row.find("utxo");
        if (utxo == row.end() || !utxo->is_object()) continue;
        const auto vout = utxo->find("vout");
        const std::string txid = to_lower_copy(json_text(*utxo, "txid"));
        if (vout == utxo->end() || !vout->is_number_unsigned() || vout->get<std::uint64_t>() > UINT32_MAX) continue;
        const Outpoint output(txid, static_cast<std::uint32_t>(vout->get<std::uint64_t>()));
        if (!asked.count(output)) continue;
        const std::string key = txid + "_" + std::to_string(output.second);
        const auto spent_in = row.find("spentIn");
        if (spent_in == row.end()) {
            found[key] = "";
            continue;
        }
        // Only a spender that is another transaction counts; the service names the output's own
        // transaction for an output it does not know.
        const std::string spender = spent_in->is_object() ? to_lower_copy(json_text(*spent_in, "txid")) : "";
        if (is_txid_hex(spender) && spender != txid) found[key] = spender;
    }
}

// Settles the bulk status's answer for an output (`listed`, null when it gave none) with the
// spender remembered for it, the same way for every reader: a remembered spender stands unless the
// chain does not bear it out, and a spender named here is remembered when none is. False when the
// output is left for the caller to look up alone.
bool settle_spend(const Outpoint& output, const std::string* listed, std::string& spender) {
    const std::string& txid = output.first;
    const std::uint32_t vout = output.second;
    int code = 0;
    std::string kept;
    if (!woc::remembered_spend(txid, vout, code, kept)) {
        if (!listed) return false;
        spender = *listed;
        if (!spender.empty()) woc::remember_spend(txid, vout, code, spender);
        return code == 0;
    }
    if (code != 0) return false;
    if (!listed || *listed == kept) {
        spender = kept;
        return true;
    }
    // The look-up and the bulk status disagree: the spender the chain shows spending the output is
    // every reader's.
    if (woc::spends_output(kept, txid, vout)) {
        spender = kept;
        return true;
    }
    if (!listed->empty() && woc::spends_output(*listed, txid, vout)) {
        woc::replace_spend(txid, vout, 0, *listed);
        spender = *listed;
        return true;
    }
    woc::forget_spend(txid, vout);
    spender.clear();
    return listed->empty();
}

} // namespace

std::string bulk_addresses_body(const std::vector<std::string>& addresses) {
    json list = json::array();
    for (const std::string& a : addresses)
        list.push_back(a);
    const json request = {{"addresses", std::move(list)}};
    return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool woc_bulk_unspent(const std::vector<std::string>& addresses, bool confirmed, std::vector<std::vector<Utxo>>& lists,
                      std::vector<bool>& answered) {
    lists.assign(addresses.size(), {});
    answered.assign(addresses.size(), false);
    if (addresses.empty()) return true;
    if (addresses.size() > kBulkAddresses) return false;
    const std::string body = bulk_addresses_body(addresses);
    std::string response, err;
    const char* path = confirmed ? "/addresses/confirmed/unspent" : "/addresses/unconfirmed/unspent";
    if (!http_post_json(woc_url(path), body, response, err, 20, kUntilTimeOut)) return false;
    json reply = json_parse_or_discarded(response);
    if (reply.is_discarded() || !reply.is_array()) return false;

    std::size_t rows = 0;
    for (const json& item : reply) {
        if (!item.is_object()) continue;
        const std::string address = json_text(item, "address");
        auto at = std::find(addresses.begin(), addresses.end(), address);
        if (address.empty() || at == addresses.end()) continue;
        if (!json_text(item, "error").empty()) continue;
        const json* unspent = reply_array(item, "unspent");
        if (!unspent) unspent = reply_array(item, "result");
        if (!unspent) continue;
        const auto i = static_cast<std::size_t>(at - addresses.begin());
        rows += unspent->size();
        lists[i].clear();
        parse_utxo_list(*unspent, lists[i]);
        answered[i] = true;
    }
    // The service caps the outputs of one reply without saying whether it cut any; a full reply
    // may be missing some, so its addresses are listed one by one instead.
    return rows < (confirmed ? kBulkConfirmedRows : kBulkUnconfirmedRows);
}

bool woc_bulk_funded(const std::vector<std::string>& addresses, std::vector<char>& funded) {
    funded.assign(addresses.size(), 0);
    if (addresses.empty()) return true;
    if (addresses.size() > kBulkAddresses) return false;
    const std::string body = bulk_addresses_body(addresses);
    std::string response, err;
    if (!http_post_json(woc_url("/addresses/balance"), body, response, err, 20, kUntilTimeOut)) return false;
    json reply = json_parse_or_discarded(response);
    if (reply.is_discarded()) return false;
    const json* items = reply_array(reply, "value");
    if (!items) return false;

    for (const json& item : *items) {
        if (!item.is_object()) continue;
        const std::string address = json_text(item, "address");
        if (address.empty()) continue;
        auto bal_it = item.find("balance");
        const json& bal = (bal_it != item.end() && bal_it->is_object()) ? *bal_it : item;
        std::int64_t confirmed = 0, unconfirmed = 0;
        auto c = bal.find("confirmed");
        if (c != bal.end() && !json_round_i64(*c, confirmed)) confirmed = 0;
        auto u = bal.find("unconfirmed");
        if (u != bal.end() && !json_round_i64(*u, unconfirmed)) unconfirmed = 0;
        if (confirmed <= 0 && unconfirmed < 1) continue;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (addresses[i] == address) funded[i] = 1;
        }
    }
    return true;
}

bool woc_bulk_balances(const std::vector<IndexedAddress>& addresses, std::uint32_t& highest) {
    if (addresses.empty()) return true;
    std::vector<std::string> names;
    for (const IndexedAddress& a : addresses)
        names.push_back(a.address);
    std::vector<char> funded;
    if (!woc_bulk_funded(names, funded)) return false;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (funded[i]) highest = std::max(highest, addresses[i].index);
    }
    return true;
}

namespace {

// Asks for `ids` in bulk into their `slot`s of `txs` (and `unknown`) and keeps each transaction
// given for the rest of the step; with `step`, marks them asked until the answer is in.
bool ask_bulk_txs(StepAnswers* step, const std::vector<std::string>& ids, const std::vector<std::size_t>& slot,
                  std::vector<json>& txs, std::vector<char>* unknown) {
    if (ids.empty()) return false;
    // The reads this call made for its step are over, whatever they found.
    struct ReadsOver {
        StepAnswers* step;
        const std::vector<std::string>& ids;
        ~ReadsOver() {
            if (!step) return;
            {
                std::lock_guard<std::mutex> hold(g_step_reads_mutex);
                for (const std::string& id : ids)
                    g_step_reads.erase({step, id});
            }
            g_step_reads_done.notify_all();
        }
    } over{step, ids};
    std::vector<json> read(ids.size());
    std::vector<char> not_known(ids.size(), 0);
    std::atomic<bool> answered{false};
    // Each run writes only its own slots of `read`.
    run_bulk(ids.size(), [&](std::size_t first, std::size_t last) {
        if (bulk_batch(ids, first, last, read, &not_known)) answered = true;
    });
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (unknown) (*unknown)[slot[k]] = not_known[k];
        if (read[k].is_null()) continue;
        step_keep("tx " + ids[k], std::make_shared<const json>(read[k]));
        txs[slot[k]] = std::move(read[k]);
    }
    return answered;
}

} // namespace

bool woc_bulk_tx_json(const std::vector<std::string>& txids, std::vector<json>& txs, std::vector<char>* unknown) {
    txs.assign(txids.size(), json());
    if (unknown) unknown->assign(txids.size(), 0);
    // One action asks for a transaction once: what one of its reads was given, or is being given on
    // another of its threads, serves the others. A read waits for another only once its own answers
    // are in, so two reads never wait for each other.
    StepAnswers* const step = step_answers();
    std::vector<std::string> mine, others;
    std::vector<std::size_t> mine_at, others_at;
    {
        std::lock_guard<std::mutex> hold(g_step_reads_mutex);
        std::set<std::string> marked;
        for (std::size_t i = 0; i < txids.size(); ++i) {
            const std::string id = to_lower_copy(txids[i]);
            if (const auto kept = std::static_pointer_cast<const json>(step_kept("tx " + id))) {
                txs[i] = *kept;
            } else if (step && !marked.count(id) && g_step_reads.count({step, id})) {
                others.push_back(id);
                others_at.push_back(i);
            } else {
                if (step && marked.insert(id).second) g_step_reads.insert({step, id});
                mine.push_back(id);
                mine_at.push_back(i);
            }
        }
    }
    bool answered = mine.empty() && others.empty();
    answered = ask_bulk_txs(step, mine, mine_at, txs, unknown) || answered;
    if (others.empty()) return answered;
    std::vector<std::string> left;
    std::vector<std::size_t> left_at;
    {
        std::unique_lock<std::mutex> hold(g_step_reads_mutex);
        for (std::size_t k = 0; k < others.size(); ++k) {
            std::shared_ptr<const json> kept;
            g_step_reads_done.wait(hold, [&] {
                kept = std::static_pointer_cast<const json>(step_kept("tx " + others[k]));
                return kept || !g_step_reads.count({step, others[k]});
            });
            if (kept) {
                txs[others_at[k]] = *kept;
                answered = true;
            } else {
                left.push_back(others[k]);
                left_at.push_back(others_at[k]);
            }
        }
    }
    // What the other read could not get is asked once more.
    return ask_bulk_txs(nullptr, left, left_at, txs, unknown) || answered;
}

std::map<std::string, std::string>
woc_bulk_spent_by(const std::vector<std::pair<std::string, std::uint32_t>>& asked_outputs) {
    std::vector<Outpoint> outputs;
    std::set<Outpoint> asked;
    std::map<std::string, std::string> spends;
    for (const auto& output : asked_outputs) {
        auto plain = std::make_pair(to_lower_copy(output.first), output.second);
        if (!is_txid_hex(plain.first) || !asked.insert(plain).second) continue;
        // An output the step that asks found unspent a moment ago is not asked about again in the step.
        int code = 0;
        std::string spender;
        if (step_spend_known(plain.first, plain.second, code, spender) && code == 1)
            spends[plain.first + "_" + std::to_string(plain.second)] = "";
        else
            outputs.push_back(std::move(plain));
    }
    std::vector<std::map<std::string, std::string>> found((outputs.size() + kWocBulkPerRequest - 1) /
                                                          kWocBulkPerRequest);
    run_bulk(outputs.size(), [&](std::size_t first, std::size_t last) {
        spend_batch(outputs, asked, first, last, found[first / kWocBulkPerRequest]);
    });
    std::map<std::string, std::string> listed;
    for (auto& batch : found)
        listed.insert(batch.begin(), batch.end());
    for (const Outpoint& output : outputs) {
        const std::string key = output.first + "_" + std::to_string(output.second);
        const auto it = listed.find(key);
        std::string spender;
        if (!settle_spend(output, it == listed.end() ? nullptr : &it->second, spender)) continue;
        spends[key] = spender;
        if (spender.empty()) step_spend_note(output.first, output.second, 1, "");
    }
    return spends;
}
