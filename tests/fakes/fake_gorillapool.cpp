#include "fakes/fake_gorillapool.h"

#include "wallet/codecs.h"
#include "wallet/crypto.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

const std::string kApi = kGorillaPoolApi;
const std::string kOutpoint = "([0-9a-fA-F]{64})_([0-9]{1,10})";

// The output the route's outpoint captures (txid, index) name; false when the ledger has none.
bool output_of_route(const Ledger& ledger, const FakeRequest& req, LedgerOutput& out) {
    const std::uint64_t vout = std::stoull(req.matches[2]);
    return vout <= 0xFFFFFFFFull && ledger.find_output(req.matches[1], static_cast<std::uint32_t>(vout), out);
}

FakeResponse not_found() {
    return json_reply({{"message", "not-found"}}, 404);
}

std::string text_of(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

bool p2pkh_at(const Bytes& s, std::size_t pos) {
    return s.size() >= pos + 25 && s[pos] == 0x76 && s[pos + 1] == 0xA9 && s[pos + 2] == 0x14 && s[pos + 23] == 0x88 &&
           s[pos + 24] == 0xAC;
}

std::string address_at(const Bytes& s, std::size_t pos) {
    Hash160 h{};
    std::copy(s.begin() + pos + 3, s.begin() + pos + 23, h.begin());
    return base58check_encode(h);
}

bool read_push(const Bytes& s, std::size_t& pos, Bytes& out) {
    out.clear();
    if (pos >= s.size()) return false;
    const std::uint8_t op = s[pos++];
    std::size_t len = 0;
    std::size_t width = 0;
    if (op < 0x4C) {
        len = op;
    } else if (op <= 0x4E) {
        width = op == 0x4C ? 1 : op == 0x4D ? 2 : 4;
        if (s.size() - pos < width) return false;
        for (std::size_t i = 0; i < width; ++i)
            len |= static_cast<std::size_t>(s[pos + i]) << (8 * i);
        pos += width;
    } else {
        return false;
    }
    if (s.size() - pos < len) return false;
    out.assign(s.begin() + pos, s.begin() + pos + len);
    pos += len;
    return true;
}

std::string outpoint_text(const std::string& txid, std::uint32_t vout) {
    return txid + "_" + std::to_string(vout);
}

// The JSON object an inscription body holds, or null.
json body_json(const FakeInscription& ins) {
    if (ins.body.empty() || ins.body[0] != '{') return nullptr;
    json doc = json::parse(text_of(ins.body), nullptr, false);
    return doc.is_object() ? doc : json();
}

std::string json_text(const json& doc, const char* key) {
    auto it = doc.find(key);
    if (it == doc.end()) return std::string();
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_integer()) return std::to_string(it->get<std::int64_t>());
    return std::string();
}

// Token data of a bsv-20 body: "bsv20" for a ticker token, "bsv21" for one named by its id (a
// deploy+mint is its own id).
void add_token_data(const json& doc, const std::string& own_outpoint, json& data) {
    if (!doc.is_object() || json_text(doc, "p") != "bsv-20") return;
    json token = {{"op", json_text(doc, "op")}, {"amt", json_text(doc, "amt")}, {"status", 1}};
    for (const char* key : {"dec", "sym", "icon"}) {
        const std::string value = json_text(doc, key);
        if (!value.empty()) token[key] = value;
    }
    if (!json_text(doc, "tick").empty()) {
        token["tick"] = json_text(doc, "tick");
        data["bsv20"] = token;
    } else if (!json_text(doc, "id").empty() || json_text(doc, "op") == "deploy+mint") {
        const std::string id = json_text(doc, "id");
        token["id"] = id.empty() ? own_outpoint : id;
        data["bsv21"] = token;
    }
}

// The inscription data of one output's own script; an empty object when it carries none.
json own_data(const LedgerOutput& o) {
    json data = json::object();
    const FakeInscription ins = fake_read_inscription(o.script);
    if (!ins.found) return data;
    Hash256 hash = sha256(ins.body);
    json insc = {{"file", {{"type", ins.content_type}, {"size", ins.body.size()}, {"hash", to_hex(hash.data(), 32)}}}};
    const json doc = body_json(ins);
    if (doc.is_object()) insc["json"] = doc;
    if (ins.content_type.compare(0, 5, "text/") == 0) insc["text"] = text_of(ins.body);
    data["insc"] = insc;
    if (!ins.map.empty()) {
        json map = json::object();
        for (const auto& kv : ins.map)
            map[kv.first] = kv.second;
        data["map"] = map;
    }
    add_token_data(doc, outpoint_text(o.txid, o.vout), data);
    return data;
}

// Whether a script is the address's: a bare P2PKH to it, or a lock of it beside an envelope. The
// address's hash is compared where it can stand, so no script of a busy ledger is turned into an
// address only to be compared.
std::function<bool(const Bytes&)> owned_by(const std::string& address) {
    Hash160 h{};
    if (address.empty() || !address_to_hash160(address, h)) return [](const Bytes&) { return false; };
    return [h, address](const Bytes& s) {
        if (p2pkh_at(s, 0)) return std::equal(h.begin(), h.end(), s.begin() + 3);
        if (std::search(s.begin(), s.end(), h.begin(), h.end()) == s.end()) return false;
        return fake_script_owner(s) == address;
    };
}

// The fields GorillaPool gives a token output of "/bsv20/<address>/unspent", flat.
// A count from the query ("limit", "offset"); the fallback when it is absent or not all digits.
std::size_t query_count(const FakeRequest& req, const char* name, std::size_t fallback) {
    const auto it = req.query.find(name);
    if (it == req.query.end() || it->second.empty() || it->second.size() > 9) return fallback;
    std::size_t value = 0;
    for (char c : it->second) {
        if (c < '0' || c > '9') return fallback;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

json token_row(const LedgerOutput& o, const json& token) {
    json row = {{"txid", o.txid},
                {"vout", o.vout},
                {"outpoint", outpoint_text(o.txid, o.vout)},
                {"owner", fake_script_owner(o.script)},
                {"script", base64_encode(o.script)},
                {"spend", o.spent_by},
                {"height", o.height},
                {"idx", 0}};
    for (auto it = token.begin(); it != token.end(); ++it)
        row[it.key()] = it.value();
    return row;
}

void add_routes(FakeGorillaPool& gp) {
    Ledger& ledger = gp.ledger;
    // Answered first and counted afterwards, as the WhatsOnChain fake does, so a lag of n hides a
    // transaction from exactly the next n look-ups.
    auto get = [&gp, &ledger](const std::string& regex, FakeHandler handler) {
        gp.server.on("GET", regex, [&ledger, handler](const FakeRequest& req) {
            FakeResponse r = handler(req);
            ledger.note_lookup();
            return r;
        });
    };

    // Paged as the index pages: "limit" (100 unless asked) outputs from "offset" on.
    get(kApi + "/txos/address/([^/]+)/unspent", [&ledger](const FakeRequest& req) {
        const std::string address = req.matches[1];
        const std::size_t limit = query_count(req, "limit", 100);
        const std::size_t offset = query_count(req, "offset", 0);
        json rows = json::array();
        const auto mine = owned_by(address);
        std::size_t at = 0;
        for (const LedgerOutput& o : ledger.outputs_where(mine, false)) {
            if (at++ < offset) continue;
            if (rows.size() >= limit) break;
            rows.push_back(fake_txo_document(ledger, o));
        }
        return json_reply(rows);
    });

    get(kApi + "/txos/" + kOutpoint, [&ledger](const FakeRequest& req) {
        LedgerOutput o;
        if (!output_of_route(ledger, req, o)) return not_found();
        return json_reply(fake_txo_document(ledger, o));
    });

    get(kApi + "/bsv20/([^/]+)/unspent", [&ledger](const FakeRequest& req) {
        const std::string address = req.matches[1];
        json rows = json::array();
        const auto mine = owned_by(address);
        for (const LedgerOutput& o : ledger.outputs_where(mine, false)) {
            const json data = own_data(o);
            for (const char* kind : {"bsv20", "bsv21"}) {
                if (data.contains(kind)) rows.push_back(token_row(o, data[kind]));
            }
        }
        return json_reply(rows);
    });

    get(kApi + "/bsv20/id/" + kOutpoint, [&ledger](const FakeRequest& req) {
        LedgerOutput o;
        if (!output_of_route(ledger, req, o)) return not_found();
        const json data = own_data(o);
        if (!data.contains("bsv21")) return not_found();
        return json_reply(data["bsv21"]);
    });

    auto content = [&ledger](const FakeRequest& req) {
        LedgerOutput o;
        if (!output_of_route(ledger, req, o)) return not_found();
        const FakeInscription ins = fake_read_inscription(o.script);
        if (!ins.found) return not_found();
        FakeResponse r;
        r.body = text_of(ins.body);
        r.content_type = ins.content_type.empty() ? "application/octet-stream" : ins.content_type;
        return r;
    };
    get("/content/" + kOutpoint, content);
    get("/api/files/inscriptions/" + kOutpoint, content);
}

} // namespace

FakeInscription fake_read_inscription(const Bytes& s) {
    FakeInscription ins;
    const bool lock_first = p2pkh_at(s, 0);
    std::size_t pos = lock_first ? 25 : 0;
    if (s.size() < pos + 6 || s[pos] != 0x00 || s[pos + 1] != 0x63) return {};
    pos += 2;
    Bytes push;
    if (!read_push(s, pos, push) || text_of(push) != "ord") return {};
    while (pos < s.size() && s[pos] != 0x68) {
        const std::uint8_t op = s[pos++];
        if (op != 0x00 && (op < 0x51 || op > 0x60)) return {};
        if (!read_push(s, pos, push)) return {};
        if (op == 0x00) ins.body = push;
        if (op == 0x51) ins.content_type = text_of(push);
        if (op == 0x55) ins.metadata = text_of(push);
    }
    if (pos >= s.size()) return {};
    ++pos;
    if (lock_first) {
        ins.owner = address_at(s, 0);
    } else if (p2pkh_at(s, pos)) {
        ins.owner = address_at(s, pos);
        pos += 25;
    }
    ins.found = true;
    if (pos < s.size() && s[pos] == 0x6A) {
        ++pos;
        std::vector<std::string> pushes;
        while (read_push(s, pos, push))
            pushes.push_back(text_of(push));
        if (pushes.size() >= 2 && pushes[1] == "SET") {
            for (std::size_t i = 2; i + 1 < pushes.size(); i += 2)
                ins.map[pushes[i]] = pushes[i + 1];
        }
    }
    return ins;
}

std::string fake_script_owner(const Bytes& script) {
    if (p2pkh_at(script, 0)) return address_at(script, 0);
    return fake_read_inscription(script).owner;
}

json fake_txo_document(const Ledger& ledger, const LedgerOutput& o) {
    json txo = {{"txid", o.txid},
                {"vout", o.vout},
                {"outpoint", outpoint_text(o.txid, o.vout)},
                {"satoshis", o.sats},
                {"height", o.height},
                {"idx", 0},
                {"owner", fake_script_owner(o.script)},
                {"script", base64_encode(o.script)},
                {"spend", o.spent_by},
                {"origin", nullptr}};
    const json data = own_data(o);
    if (!data.empty()) txo["data"] = data;
    if (!o.origin.empty()) {
        json origin = {{"outpoint", o.origin}, {"nonce", 0}};
        const std::size_t cut = o.origin.find('_');
        LedgerOutput first;
        if (cut != std::string::npos &&
            ledger.find_output(o.origin.substr(0, cut),
                               static_cast<std::uint32_t>(std::stoul(o.origin.substr(cut + 1))), first, false)) {
            origin["data"] = own_data(first);
        }
        txo["origin"] = origin;
    }
    return txo;
}

FakeGorillaPool::FakeGorillaPool(Ledger& chain_ledger) : ledger(chain_ledger) {
    add_routes(*this);
}

std::string FakeGorillaPool::api_base() const {
    return server.base_url() + kApi;
}

ServiceSettings settings_for(const FakeChain& chain, const FakeGorillaPool& gorillapool) {
    ServiceSettings s = settings_for(chain);
    s.gorillapool_base = gorillapool.api_base();
    return s;
}
