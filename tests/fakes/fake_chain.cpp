#include "fakes/fake_chain.h"
#include "fakes/fake_oracle.h"

#include "chain/tx.h"
#include "wallet/codecs.h"

#include <cstdio>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

const std::string kWoc = kWocPrefix;
const std::string kHex64 = "([0-9a-fA-F]{64})";
const std::string kAddr = "/address/([^/]+)";
const std::size_t kBulkConfirmedCap = 20;
const std::size_t kBulkUnconfirmedCap = 100;
const std::size_t kBulkHistoryCap = 1000;
const std::size_t kHistoryPageCap = 1000;
// A block of more than 1,000 transactions lists its first 100 ids; its pages hold 50,000 each.
const std::size_t kBlockListedWhole = 1000;
const std::size_t kBlockFirstIds = 100;
const std::size_t kBlockPageIds = 50000;

FakeResponse text_reply(const std::string& body, int status = 200) {
    FakeResponse r;
    r.status = status;
    r.body = body;
    r.content_type = "text/plain";
    return r;
}

std::string query_value(const FakeRequest& req, const std::string& key) {
    auto it = req.query.find(key);
    return it == req.query.end() ? std::string() : it->second;
}

// The hex member of a broadcast body ({"txhex": ...} or {"rawTx": ...}); empty when unusable.
Bytes body_tx(const std::string& body, const char* key) {
    json j = json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return {};
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return {};
    return from_hex(it->get<std::string>());
}

// The node's reject codes in front of its words, as WhatsOnChain passes them on.
std::string node_words(const std::string& reason) {
    if (reason == "txn-already-known") return "257: txn-already-known";
    if (reason == "txn-mempool-conflict") return "258: txn-mempool-conflict";
    if (reason == "Missing inputs") return "Missing inputs";
    return "16: " + reason;
}

json utxo_row(const LedgerOutput& o) {
    return {{"height", o.height}, {"tx_pos", o.vout}, {"tx_hash", o.txid}, {"value", o.sats}};
}

// The ids of a mined block in block order.
json block_ids(const Ledger& ledger, std::int32_t height) {
    return ledger.block_txids(height);
}

// A block's hash as the fake names it: its height in the last eight hex digits.
std::string fake_block_hash(std::int32_t height) {
    char tail[9];
    std::snprintf(tail, sizeof tail, "%08x", static_cast<unsigned>(height));
    return std::string(56, 'b') + tail;
}

// The offset a page token "pos/<n>+=" names; false for any other token. A client that does not
// percent-encode the token loses the "+" to a blank and is refused.
bool page_offset(const FakeRequest& req, std::size_t& offset) {
    offset = 0;
    if (!req.query.count("token")) return true;
    const std::string token = query_value(req, "token");
    if (token.size() < 7 || token.compare(0, 4, "pos/") != 0 || token.compare(token.size() - 2, 2, "+=") != 0)
        return false;
    try {
        offset = static_cast<std::size_t>(std::stoul(token.substr(4, token.size() - 6)));
    } catch (...) {
        return false;
    }
    return true;
}

json history_json(FakeChain& chain, const std::vector<LedgerHistoryRow>& rows) {
    json out = json::array();
    for (const LedgerHistoryRow& row : rows) {
        const std::int64_t claimed = chain.history_height(row.txid);
        if (claimed < 0) continue;
        out.push_back({{"tx_hash", row.txid}, {"height", claimed > 0 ? claimed : std::int64_t(row.height)}});
    }
    return out;
}

// One page of a one-address history, as the service pages it: `order` asc (oldest block first, the
// default here) or desc, `height` (asc: rows at that height and later; desc: at it and earlier),
// `limit` rows (at most, and by default, 1000) and `token`, the previous page's nextPageToken, which
// continues the same query and is present only while rows remain. Within a block, rows stand in
// the order the ledger took them. The public clients of the service send these parameters as
// named here (order=asc|desc, height=, limit=, token=) and read nextPageToken; the stored copy of
// the service's documentation did not show its default order, so a reader names the order it needs.
// A token "pos/<a|d><height>.<seq>+=" names the last row given; one from another order is refused,
// and so is one whose "+" a client left unencoded.
FakeResponse history_page(const FakeRequest& req, FakeChain& chain, bool mempool) {
    const Ledger& ledger = chain.ledger;
    LedgerHistoryQuery query;
    query.mempool = mempool;
    query.limit = kHistoryPageCap;
    const std::string order = query_value(req, "order");
    if (order != "" && order != "asc" && order != "desc") return json_reply({{"error", "bad order"}}, 400);
    query.newest_first = order == "desc" || (!mempool && chain.history_newest_first);
    try {
        if (req.query.count("limit")) query.limit = std::stoul(query_value(req, "limit"));
        if (req.query.count("height") && (mempool || !chain.history_newest_first))
            query.height = std::stoi(query_value(req, "height"));
    } catch (...) {
        return json_reply({{"error", "bad limit or height"}}, 400);
    }
    query.limit = std::max<std::size_t>(1, std::min<std::size_t>(query.limit, kHistoryPageCap));
    if (req.query.count("token")) {
        const std::string token = query_value(req, "token");
        const char way = query.newest_first ? 'd' : 'a';
        unsigned long long seq = 0;
        int height = 0, used = 0;
        if (token.size() < 9 || token.compare(0, 5, std::string("pos/") + way) != 0 ||
            token.compare(token.size() - 2, 2, "+=") != 0 ||
            std::sscanf(token.c_str() + 5, "%d.%llu+=%n", &height, &seq, &used) != 2 ||
            static_cast<std::size_t>(used) + 5 != token.size())
            return json_reply({{"error", "bad page token"}}, 400);
        query.after_set = true;
        query.after = {height, seq};
    }
    bool more = false;
    LedgerHistoryKey last;
    const auto rows = ledger.history_page(req.matches[1], query, more, last);
    json reply = {{"address", req.matches[1]}, {"result", history_json(chain, rows)}, {"error", ""}};
    if (more)
        reply["nextPageToken"] = std::string("pos/") + (query.newest_first ? 'd' : 'a') + std::to_string(last.height) +
                                 "." + std::to_string(last.seq) + "+=";
    return json_reply(reply);
}

// Rows of one half of a history, oldest first, at most `limit`.
std::vector<LedgerHistoryRow> history_half(const Ledger& ledger, const std::string& address, bool mempool,
                                           std::size_t limit = static_cast<std::size_t>(-1)) {
    LedgerHistoryQuery query;
    query.mempool = mempool;
    query.limit = limit;
    bool more = false;
    LedgerHistoryKey last;
    return ledger.history_page(address, query, more, last);
}

void add_woc_routes(FakeChain& chain) {
    Ledger& ledger = chain.ledger;
    FakeServer& woc = chain.woc;
    // Every look-up is answered first and counted afterwards, so a lag of n hides a transaction
    // from exactly the next n look-ups.
    auto get = [&woc, &ledger](const std::string& regex, FakeHandler handler) {
        woc.on("GET", kWoc + regex, [&ledger, handler](const FakeRequest& req) {
            FakeResponse r = handler(req);
            ledger.note_lookup();
            return r;
        });
    };

    get(kAddr + "/unspent/all", [&chain](const FakeRequest& req) {
        const std::string address = req.matches[1];
        std::vector<LedgerOutput> rows;
        for (const LedgerOutput& o : chain.ledger.outputs_of_address(address, true)) {
            if (o.spent_by.empty() || o.spent_height == 0) rows.push_back(o);
        }
        std::size_t offset = 0;
        if (!page_offset(req, offset)) return json_reply({{"error", "bad page token"}}, 400);
        const std::size_t page = static_cast<std::size_t>(std::max(1, chain.woc_page_size.load()));
        json result = json::array();
        for (std::size_t i = offset; i < rows.size() && i < offset + page; ++i) {
            json row = utxo_row(rows[i]);
            row["isSpentInMempoolTx"] = !rows[i].spent_by.empty();
            row["status"] = rows[i].height > 0 ? "confirmed" : "unconfirmed";
            result.push_back(row);
        }
        json reply = {{"address", address}, {"result", result}, {"error", ""}};
        if (offset + page < rows.size()) reply["nextPageToken"] = "pos/" + std::to_string(offset + page) + "+=";
        return json_reply(reply);
    });

    // The older listing knows nothing of the mempool's spends: an output spent by an unconfirmed
    // transaction is still listed.
    get(kAddr + "/unspent", [&ledger](const FakeRequest& req) {
        json rows = json::array();
        for (const LedgerOutput& o : ledger.outputs_of_address(req.matches[1], true)) {
            if (o.spent_by.empty() || o.spent_height == 0) rows.push_back(utxo_row(o));
        }
        return json_reply(rows);
    });

    get(kAddr + "/unconfirmed/unspent", [&ledger](const FakeRequest& req) {
        json rows = json::array();
        for (const LedgerOutput& o : ledger.outputs_of_address(req.matches[1], false)) {
            if (o.height != 0) continue;
            json row = utxo_row(o);
            row["isSpentInMempoolTx"] = false;
            rows.push_back(row);
        }
        return json_reply({{"address", req.matches[1]}, {"result", rows}, {"error", ""}});
    });

    get(kAddr + "/unconfirmed/history", [&chain](const FakeRequest& req) { return history_page(req, chain, true); });
    get(kAddr + "/confirmed/history", [&chain](const FakeRequest& req) { return history_page(req, chain, false); });
    get("/chain/info", [&chain](const FakeRequest&) {
        const std::int64_t tip = chain.claimed_tip > 0 ? chain.claimed_tip.load() : chain.ledger.tip();
        return json_reply({{"chain", "main"},
                           {"blocks", tip},
                           {"headers", tip},
                           {"bestblockhash", fake_block_hash(static_cast<std::int32_t>(tip))}});
    });
    // Mined rows, then the mempool's, unpaged; written row by row, as a long list would be too
    // costly as one JSON value.
    get(kAddr + "/history", [&ledger](const FakeRequest& req) {
        std::string body = "[";
        for (bool mempool : {false, true}) {
            for (const LedgerHistoryRow& row : history_half(ledger, req.matches[1], mempool)) {
                if (body.size() > 1) body += ",";
                body += R"({"tx_hash":")" + row.txid + R"(","height":)" + std::to_string(row.height) + "}";
            }
        }
        return FakeResponse{200, body + "]", "application/json"};
    });

    auto tx_json = [&chain](const FakeRequest& req) {
        LedgerTx tx;
        if (!chain.ledger.find_tx(req.matches[1], tx)) return text_reply("Not Found", 404);
        return json_reply(chain.tx_copy(tx));
    };
    get("/tx/" + kHex64, tx_json);
    get("/tx/" + kHex64 + "/decoded", tx_json);
    get("/tx/" + kHex64 + "/hex", [&ledger](const FakeRequest& req) {
        LedgerTx tx;
        if (!ledger.find_tx(req.matches[1], tx)) return text_reply("Not Found", 404);
        return text_reply(to_hex(tx.raw));
    });
    get("/tx/" + kHex64 + "/raw", [&ledger](const FakeRequest& req) {
        LedgerTx tx;
        if (!ledger.find_tx(req.matches[1], tx)) return text_reply("Not Found", 404);
        return json_reply(json(to_hex(tx.raw)));
    });
    get("/tx/" + kHex64 + "/([0-9]+)/spent", [&ledger, &chain](const FakeRequest& req) {
        LedgerTx tx;
        if (!ledger.find_tx(req.matches[1], tx)) return json_reply({{"error", "unknown transaction"}}, 400);
        unsigned long vout = 0;
        try {
            vout = std::stoul(req.matches[2]);
        } catch (...) {
            return json_reply({{"error", "bad output index"}}, 400);
        }
        if (vout >= tx.outputs.size()) return json_reply({{"error", "bad output index"}}, 400);
        const LedgerOutput& o = tx.outputs[vout];
        if (o.spent_by.empty() || chain.spends_unlisted(o.spent_by)) return json_reply({{"error", "not spent"}}, 404);
        return json_reply({{"txid", o.spent_by},
                           {"vin", o.spent_by_input},
                           {"status", o.spent_height > 0 ? "confirmed" : "unconfirmed"}});
    });

    // The chain as the service sees it: its tip.
    get("/chain/info", [&ledger](const FakeRequest&) {
        return json_reply({{"chain", "main"}, {"blocks", ledger.tip()}, {"headers", ledger.tip()}});
    });

    // A block's transactions in block order, the order in which the ledger took them. As the
    // service lists a block of more than 1,000: its first 100 ids, and pages that hold them all.
    get("/block/height/([0-9]{1,9})", [&ledger](const FakeRequest& req) {
        const std::int32_t height = std::stoi(req.matches[1]);
        if (height <= 0 || height > ledger.tip()) return text_reply("Not Found", 404);
        const json ids = block_ids(ledger, height);
        const std::string hash = fake_block_hash(height);
        json reply = {{"hash", hash}, {"height", height}, {"txcount", ids.size()}, {"tx", ids}};
        if (ids.size() > kBlockListedWhole) {
            reply["tx"] = json(std::vector<json>(ids.begin(), ids.begin() + kBlockFirstIds));
            json uris = json::array();
            for (std::size_t page = 1; (page - 1) * kBlockPageIds < ids.size(); ++page)
                uris.push_back("/block/hash/" + hash + "/page/" + std::to_string(page));
            reply["pages"] = {{"uri", uris}, {"size", kBlockPageIds}};
        }
        return json_reply(reply);
    });
    get("/block/hash/" + kHex64 + "/page/([0-9]{1,6})", [&ledger](const FakeRequest& req) {
        const std::string hash = req.matches[1];
        const std::int32_t height = static_cast<std::int32_t>(std::stol(hash.substr(56), nullptr, 16));
        const std::size_t page = std::stoul(req.matches[2]);
        if (height <= 0 || height > ledger.tip() || fake_block_hash(height) != hash || page == 0)
            return text_reply("Not Found", 404);
        const json ids = block_ids(ledger, height);
        json rows = json::array();
        for (std::size_t i = (page - 1) * kBlockPageIds; i < ids.size() && i < page * kBlockPageIds; ++i)
            rows.push_back(ids[i]);
        if (rows.empty()) return text_reply("Not Found", 404);
        return json_reply(rows);
    });

    woc.on("POST", kWoc + "/tx/raw", [&ledger](const FakeRequest& req) {
        Bytes raw = body_tx(req.body, "txhex");
        if (raw.empty()) return text_reply("unexpected response code 500: 16: TX decode failed", 400);
        std::string reason, txid;
        if (!ledger.accept(raw, reason, &txid)) return text_reply(node_words(reason), 400);
        return json_reply(json(txid));
    });

    // Bulk transaction details: 20 ids at most, unknown ones left out of the reply.
    woc.on("POST", kWoc + "/txs", [&ledger, &chain](const FakeRequest& req) {
        json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("txids") || !body["txids"].is_array())
            return json_reply({{"error", "bad request"}}, 400);
        if (body["txids"].size() > 20) return json_reply({{"error", "too many txids"}}, 400);
        json reply = json::array();
        for (const json& id : body["txids"]) {
            LedgerTx tx;
            if (id.is_string() && ledger.find_tx(id.get<std::string>(), tx)) reply.push_back(chain.tx_copy(tx));
        }
        ledger.note_lookup();
        return json_reply(reply);
    });

    woc.on("POST", kWoc + "/addresses/balance", [&ledger](const FakeRequest& req) {
        json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("addresses") || !body["addresses"].is_array())
            return json_reply({{"error", "bad request"}}, 400);
        const json& list = body["addresses"];
        if (list.size() > 20) return json_reply({{"error", "too many addresses"}}, 400);
        json reply = json::array();
        for (const json& a : list) {
            const std::string address = a.is_string() ? a.get<std::string>() : std::string();
            Hash160 h{};
            if (!address_to_hash160(address, h)) {
                reply.push_back({{"address", address}, {"error", "invalid address"}});
                continue;
            }
            std::int64_t confirmed = 0, unconfirmed = 0;
            for (const LedgerOutput& o : ledger.outputs_of_address(address, true)) {
                const auto sats = static_cast<std::int64_t>(o.sats);
                bool spent_mined = !o.spent_by.empty() && o.spent_height > 0;
                bool spent_pool = !o.spent_by.empty() && o.spent_height == 0;
                if (o.height > 0 && !spent_mined) confirmed += sats;
                if (o.height == 0 && !spent_mined) unconfirmed += sats;
                if (spent_pool) unconfirmed -= sats;
            }
            reply.push_back({{"address", address},
                             {"balance", {{"confirmed", confirmed}, {"unconfirmed", unconfirmed}}},
                             {"error", ""}});
        }
        ledger.note_lookup();
        return json_reply(reply);
    });
}

// The addresses of a bulk request body ({"addresses": [...]}); false for a body without them.
bool bulk_addresses(const std::string& body, std::vector<std::string>& addresses) {
    json j = json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("addresses") || !j["addresses"].is_array()) return false;
    for (const json& a : j["addresses"])
        addresses.push_back(a.is_string() ? a.get<std::string>() : std::string());
    return true;
}

// The bulk unspent listings: 20 addresses at most, and at most `cap` outputs in the whole reply,
// the later ones left out without notice as the service documents only the count.
void add_bulk_unspent_route(FakeChain& chain, const std::string& path, bool confirmed, std::size_t cap) {
    Ledger& ledger = chain.ledger;
    chain.woc.on("POST", kWoc + path, [&ledger, confirmed, cap](const FakeRequest& req) {
        std::vector<std::string> addresses;
        if (!bulk_addresses(req.body, addresses)) return json_reply({{"error", "bad request"}}, 400);
        if (addresses.size() > 20) return json_reply({{"error", "too many addresses"}}, 400);
        json reply = json::array();
        std::size_t listed = 0;
        for (const std::string& address : addresses) {
            Hash160 h{};
            if (!address_to_hash160(address, h)) {
                reply.push_back({{"address", address}, {"unspent", json::array()}, {"error", "invalid address"}});
                continue;
            }
            json rows = json::array();
            // Like the one-address listings: confirmed outputs still show while a mempool
            // transaction spends them; the unconfirmed listing shows unspent mempool outputs.
            for (const LedgerOutput& o : ledger.outputs_of_address(address, confirmed)) {
                if (confirmed ? (o.height == 0 || (!o.spent_by.empty() && o.spent_height > 0)) : o.height != 0)
                    continue;
                if (listed >= cap) break;
                rows.push_back(utxo_row(o));
                ++listed;
            }
            reply.push_back({{"address", address}, {"unspent", rows}, {"error", ""}});
        }
        ledger.note_lookup();
        return json_reply(reply);
    });
}

// The bulk spend status: 20 outputs at most, each answered as the one-output route does, an
// unspent one without "spentIn" and an unknown one with its own id and "Unknown UTXO".
void add_bulk_spent_route(FakeChain& chain) {
    Ledger& ledger = chain.ledger;
    chain.woc.on("POST", kWoc + "/utxos/spent", [&ledger, &chain](const FakeRequest& req) {
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("utxos") || !body["utxos"].is_array())
            return json_reply({{"error", "bad request"}}, 400);
        if (body["utxos"].size() > 20) return json_reply({{"error", "too many utxos"}}, 400);
        json reply = json::array();
        for (const json& utxo : body["utxos"]) {
            const std::string txid = utxo.is_object() ? utxo.value("txid", "") : "";
            const std::uint64_t vout = utxo.is_object() && utxo.value("vout", json()).is_number_unsigned()
                                           ? utxo["vout"].get<std::uint64_t>()
                                           : ~std::uint64_t(0);
            json row = {{"utxo", {{"txid", txid}, {"vout", vout}}}, {"error", ""}};
            LedgerTx tx;
            if (!ledger.find_tx(txid, tx) || vout >= tx.outputs.size()) {
                row["spentIn"] = {{"txid", txid}, {"vin", 0}, {"status", "Unknown UTXO"}};
            } else if (!tx.outputs[vout].spent_by.empty() && !chain.spends_unlisted(tx.outputs[vout].spent_by)) {
                const LedgerOutput& o = tx.outputs[vout];
                row["spentIn"] = {{"txid", o.spent_by},
                                  {"vin", o.spent_by_input},
                                  {"status", o.spent_height > 0 ? "confirmed" : "unconfirmed"}};
            }
            reply.push_back(row);
        }
        ledger.note_lookup();
        return json_reply(reply);
    });
}

// The bulk history: 20 addresses at most, each with its mempool and mined halves as the
// one-address histories list them, and at most 1000 items of each half in the whole reply, the
// later ones left out without notice.
void add_bulk_history_route(FakeChain& chain) {
    Ledger& ledger = chain.ledger;
    chain.woc.on("POST", kWoc + "/addresses/history/all", [&chain, &ledger](const FakeRequest& req) {
        std::vector<std::string> addresses;
        if (!bulk_addresses(req.body, addresses)) return json_reply({{"error", "bad request"}}, 400);
        if (addresses.size() > 20) return json_reply({{"error", "too many addresses"}}, 400);
        json reply = json::array();
        std::size_t listed[2] = {0, 0};
        for (const std::string& address : addresses) {
            Hash160 h{};
            json entry = {{"address", address}};
            const bool valid = address_to_hash160(address, h);
            for (int half = 0; half < 2; ++half) {
                const json rows =
                    history_json(chain, valid ? history_half(ledger, address, half == 0, kBulkHistoryCap - listed[half])
                                              : std::vector<LedgerHistoryRow>{});
                listed[half] += rows.size();
                entry[half == 0 ? "unconfirmed" : "confirmed"] = {{"result", rows},
                                                                  {"error", valid ? "" : "invalid address"}};
            }
            reply.push_back(entry);
        }
        ledger.note_lookup();
        return json_reply(reply);
    });
}

void add_arc_routes(FakeChain& chain) {
    Ledger& ledger = chain.ledger;
    chain.arc.on("POST", "/v1/tx", [&ledger](const FakeRequest& req) {
        Bytes raw = body_tx(req.body, "rawTx");
        if (raw.empty())
            return json_reply({{"status", 400}, {"title", "Bad request"}, {"detail", "rawTx missing or not hex"}}, 400);
        std::string reason, txid;
        json reply = {{"status", 200}, {"title", "OK"}, {"blockHash", ""}, {"blockHeight", 0}, {"extraInfo", ""}};
        if (ledger.accept(raw, reason, &txid)) {
            // A transaction the other services do not list yet has only been stored so far.
            LedgerTx listed;
            reply["txid"] = txid;
            reply["txStatus"] = ledger.find_tx(txid, listed) ? "SEEN_ON_NETWORK" : "STORED";
            return json_reply(reply);
        }
        txid = compute_txid(raw);
        reply["txid"] = txid;
        reply["extraInfo"] = reason;
        if (reason == "txn-already-known") {
            LedgerTx known;
            bool mined = ledger.find_tx(txid, known, false) && known.height > 0;
            reply["txStatus"] = mined ? "MINED" : "SEEN_ON_NETWORK";
        } else if (reason == "txn-mempool-conflict") {
            reply["txStatus"] = "DOUBLE_SPEND_ATTEMPTED";
        } else {
            reply["txStatus"] = "REJECTED";
        }
        return json_reply(reply);
    });
    // ARC's status of a transaction it holds, stored ones included; 404 for one it never took.
    chain.arc.on("GET", "/v1/tx/([0-9a-fA-F]{64})", [&ledger](const FakeRequest& req) {
        LedgerTx tx;
        if (!ledger.find_tx(req.matches[1], tx, false))
            return json_reply({{"status", 404}, {"title", "Not found"}}, 404);
        return json_reply({{"txid", tx.txid}, {"txStatus", tx.height > 0 ? "MINED" : "SEEN_ON_NETWORK"}});
    });
}

void add_platform_routes(FakeChain& chain) {
    Ledger& ledger = chain.ledger;
    chain.platform.on("POST", "/oi/submit", [&ledger](const FakeRequest& req) {
        Bytes raw = body_tx(req.body, "txhex");
        if (raw.empty()) return json_reply({{"ok", false}, {"error", "txhex missing or not hex"}}, 400);
        std::string reason, txid;
        if (!ledger.accept(raw, reason, &txid)) return json_reply({{"ok", false}, {"error", reason}});
        return json_reply({{"ok", true}, {"txid", txid}});
    });
    chain.platform.on("GET", "/oi/oracle/ident/txids", [&chain](const FakeRequest&) {
        const std::string body = chain.oracle_txids_reply();
        if (body.empty()) return FakeResponse{404, "not found", "text/plain"};
        return FakeResponse{200, body, "application/json"};
    });
}

} // namespace

FakeChain::FakeChain() {
    add_woc_routes(*this);
    add_bulk_unspent_route(*this, "/addresses/confirmed/unspent", true, kBulkConfirmedCap);
    add_bulk_unspent_route(*this, "/addresses/unconfirmed/unspent", false, kBulkUnconfirmedCap);
    add_bulk_history_route(*this);
    add_bulk_spent_route(*this);
    add_arc_routes(*this);
    add_platform_routes(*this);
    add_oracle_index_routes(*this);
}

void FakeChain::set_oracle_txids_reply(const std::string& body) {
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    oracle_txids_ = body;
}

std::string FakeChain::oracle_txids_reply() {
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    return oracle_txids_;
}

void FakeChain::set_history_height(const std::string& txid, std::int64_t height) {
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    if (height == 0)
        history_heights_.erase(txid);
    else
        history_heights_[txid] = height;
}

void FakeChain::set_copy_unmined(const std::string& txid, bool unmined) {
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    if (unmined)
        unmined_copies_.insert(txid);
    else
        unmined_copies_.erase(txid);
}

void FakeChain::set_spends_unlisted(const std::string& txid, bool unlisted) {
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    if (unlisted)
        unlisted_spends_.insert(txid);
    else
        unlisted_spends_.erase(txid);
}

bool FakeChain::spends_unlisted(const std::string& txid) {
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    return unlisted_spends_.count(txid) != 0;
}

json FakeChain::tx_copy(const LedgerTx& tx) {
    json doc = woc_tx_document(tx, ledger.tip());
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    if (unmined_copies_.count(tx.txid)) {
        doc.erase("blockheight");
        doc["confirmations"] = 0;
    }
    return doc;
}

std::int64_t FakeChain::history_height(const std::string& txid) {
    std::lock_guard<std::mutex> lock(oracle_mutex_);
    const auto it = history_heights_.find(txid);
    return it == history_heights_.end() ? 0 : it->second;
}

ServiceSettings settings_for(const FakeChain& chain) {
    ServiceSettings s;
    s.woc_base = chain.woc.base_url() + kWocPrefix;
    s.arc_base = chain.arc.base_url();
    s.platform_base = chain.platform.base_url();
    s.gorillapool_base = chain.woc.base_url() + "/no-gorillapool/api";
    s.woc_pace = s.host_pace;
    return s;
}

void limit_woc_to_free_rate(FakeChain& chain) {
    ServiceSettings s = service_settings();
    s.woc_pace = ServiceSettings().woc_pace;
    set_service_settings(s);
    chain.woc.set_rate_limit(kWocFreeRate, static_cast<int>(kWocFreeRate));
}

ScopedServiceSettings::ScopedServiceSettings(const ServiceSettings& settings) : saved(service_settings()) {
    set_service_settings(settings);
}

ScopedServiceSettings::~ScopedServiceSettings() {
    set_service_settings(saved);
}

json woc_tx_document(const LedgerTx& tx, std::int32_t tip) {
    std::vector<TxInput> parsed_in;
    std::vector<TxOutput> parsed_out;
    bool parsed = !tx.coinbase && parse_raw_tx(tx.raw, parsed_in, parsed_out);

    json vin = json::array();
    // A funding transaction's one input: 41 bytes in, a one-byte length and the coinbase script.
    if (tx.coinbase && tx.raw.size() > 42 && tx.raw.size() >= 42u + tx.raw[41]) {
        vin.push_back({{"coinbase", to_hex(tx.raw.data() + 42, tx.raw[41])}, {"sequence", 4294967295u}});
    }
    for (std::size_t i = 0; i < tx.inputs.size(); ++i) {
        json in = {{"txid", tx.inputs[i].prev_txid}, {"vout", tx.inputs[i].prev_vout}, {"sequence", 4294967295u}};
        if (parsed && i < parsed_in.size()) in["scriptSig"] = {{"hex", to_hex(parsed_in[i].script_sig)}};
        vin.push_back(in);
    }
    json vout = json::array();
    for (const LedgerOutput& o : tx.outputs) {
        json spk = {{"hex", to_hex(o.script)}};
        if (!o.address.empty()) {
            spk["type"] = "pubkeyhash";
            spk["addresses"] = json::array({o.address});
        } else if (o.script.size() >= 2 && o.script[0] == 0x00 && o.script[1] == 0x6A) {
            spk["type"] = "nulldata";
        } else {
            spk["type"] = "nonstandard";
        }
        vout.push_back({{"value", static_cast<double>(o.sats) / 100000000.0}, {"n", o.vout}, {"scriptPubKey", spk}});
    }
    json doc = {{"txid", tx.txid}, {"hash", tx.txid}, {"version", 1}, {"size", tx.raw.size()},
                {"locktime", 0},   {"vin", vin},      {"vout", vout}};
    if (tx.height > 0) {
        doc["blockheight"] = tx.height;
        doc["confirmations"] = tip - tx.height + 1;
    } else {
        doc["confirmations"] = 0;
    }
    return doc;
}
