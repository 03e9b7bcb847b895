#include "chain/reserves.h"

#include "chain/outpoints.h"
#include "chain/step_wallet.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>

using nlohmann::json;

const char* const kReserveUnreadableError = "error: a coin reservation file could not be read; try again.";

namespace {

enum class FileState { absent, parsed, unreadable };

// A sibling program rewrites its file in place, so a read can catch it empty or half written (or,
// on Windows, opened exclusively). One pause and a second read get past that; a file that still
// fails is reported rather than taken as an empty list, which would free every promised coin.
FileState read_json_file(const std::string& path, json& doc) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) clock_sleep_ms(kReserveRetryPauseMs);
        if (!platform_file_exists(path)) return FileState::absent;
        std::string text;
        if (!platform_read_file(path, text)) continue;
        doc = json_parse_or_discarded(text);
        if (!doc.is_discarded()) return FileState::parsed;
    }
    doc = json();
    return FileState::unreadable;
}

// The array under the root key, or null when the document has none.
const json* root_array(const json& doc, const char* key) {
    if (!doc.is_object()) return nullptr;
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_array()) return nullptr;
    return &*it;
}

// Field readers: an absent key keeps the default; a key of the wrong type fails.
bool read_int(const json& obj, const char* key, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
    auto it = obj.find(key);
    return it == obj.end() || json_whole_number(*it, lo, hi, out);
}

bool read_i64(const json& obj, const char* key, std::int64_t& out) {
    return read_int(obj, key, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), out);
}

struct LoadResult {
    FileState file = FileState::absent;
    bool bad_element = false;
};

// Reads each element of the root array with `read_one` until one fails; the records before it stay.
template <typename Record, typename Reader>
LoadResult load_records(const std::string& path, const char* root_key, std::vector<Record>& out, Reader read_one) {
    out.clear();
    LoadResult result;
    json doc;
    result.file = read_json_file(path, doc);
    if (result.file != FileState::parsed) return result;
    const json* items = root_array(doc, root_key);
    if (!items) return result;
    for (const json& item : *items) {
        Record rec;
        if (!item.is_object() || !read_one(item, rec)) {
            result.bad_element = true;
            break;
        }
        out.push_back(std::move(rec));
    }
    return result;
}

LoadResult load_bazarel(std::vector<BazarelReserve>& out) {
    return load_records(bazarel_reserves_path(), "reserves", out, [](const json& item, BazarelReserve& rec) {
        if (!json_optional_text(item, "utxo", rec.utxo) || !json_optional_text(item, "origin", rec.origin) ||
            !json_optional_text(item, "listing", rec.listing) || !read_i64(item, "exp", rec.exp))
            return false;
        rec.utxo = normalize_reserve_outpoint(rec.utxo);
        rec.listing = to_lower_copy(rec.listing);
        return true;
    });
}

LoadResult load_gallery(std::vector<GalleryReserve>& out) {
    return load_records(gallery_reserves_path(), "reserves", out, [](const json& item, GalleryReserve& rec) {
        std::int64_t spot = rec.spot;
        if (!json_optional_text(item, "pic_utxo", rec.pic_utxo) ||
            !json_optional_text(item, "cert_utxo", rec.cert_utxo) || !json_optional_text(item, "pic", rec.pic) ||
            !json_optional_text(item, "cert", rec.cert) || !read_i64(item, "price_sats", rec.price_sats) ||
            !read_i64(item, "exp", rec.exp) ||
            !read_int(item, "spot", std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                      spot))
            return false;
        rec.spot = static_cast<std::int32_t>(spot);
        rec.pic_utxo = normalize_reserve_outpoint(rec.pic_utxo);
        rec.cert_utxo = normalize_reserve_outpoint(rec.cert_utxo);
        return true;
    });
}

LoadResult load_tradeloom(std::vector<TradeloomHold>& out) {
    return load_records(tradeloom_holds_path(), "holds", out, [](const json& item, TradeloomHold& rec) {
        return json_optional_text(item, "utxo", rec.utxo) && json_optional_text(item, "listing", rec.listing) &&
               json_optional_text(item, "trade", rec.trade) && read_i64(item, "sats", rec.sats) &&
               read_i64(item, "cover", rec.cover);
    });
}

// Records with an empty coin reserve nothing; they are dropped after loading so that a bad element
// further on is still detected.
template <typename Record, typename Field> void drop_empty(std::vector<Record>& records, Field field) {
    records.erase(std::remove_if(records.begin(), records.end(), [&](const Record& r) { return (r.*field).empty(); }),
                  records.end());
}

FileState load_locks(std::vector<std::string>& locks) {
    locks.clear();
    json doc;
    FileState state = read_json_file(offer_locks_path(), doc);
    if (state != FileState::parsed) return state;
    const json* items = root_array(doc, "utxos");
    if (!items) return state;
    for (const json& item : *items) {
        if (!item.is_string()) continue;
        std::string key = to_lower_copy(item.get<std::string>());
        if (!key.empty()) locks.push_back(std::move(key));
    }
    return state;
}

bool write_json_file(const std::string& path, const json& doc) {
    std::string text;
    try {
        text = doc.dump(2);
    } catch (const json::exception&) {
        return false;
    }
    return write_data_file(path, text, true);
}

// A step that pays files its offer and its locks in the wallet it began in, whatever is loaded
// when its answer comes.
std::string current_wallet_id() {
    return step_wallet_id();
}

bool is_stem_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

std::string offer_locks_stem(const std::string& wallet_id) {
    std::string stem;
    for (char c : wallet_id)
        if (is_stem_char(c)) stem += c;
    return stem.empty() ? "none" : stem;
}

std::string data_file(const char* folder, const std::string& name) {
    std::string dir = kestrava_data_dir() + "/" + folder;
    platform_make_dirs(dir);
    return dir + "/" + name;
}

// Splits "<64 hex>_<decimal index>"; false for every other form.
bool split_lock_entry(const std::string& entry, std::string& txid, std::uint32_t& vout) {
    if (entry.size() < 66 || entry[64] != '_' || entry.size() > 75) return false;
    if (!std::all_of(entry.begin(), entry.begin() + 64, is_hex_digit)) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 65; i < entry.size(); ++i) {
        if (entry[i] < '0' || entry[i] > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(entry[i] - '0');
        if (v > 0xFFFFFFFFull) return false;
    }
    txid = entry.substr(0, 64);
    vout = static_cast<std::uint32_t>(v);
    return true;
}

bool set_holds(const std::unordered_set<std::string>& keys, const std::string& txid, std::uint32_t vout) {
    if (keys.count(reserve_key(txid, vout))) return true;
    std::string reversed = reverse_txid_hex(txid);
    return !reversed.empty() && keys.count(reserve_key(reversed, vout)) > 0;
}

bool gallery_live(const GalleryReserve& r, std::int64_t now_s) {
    return r.exp <= 0 || r.exp >= now_s;
}

} // namespace

std::string reserve_key(const std::string& txid, std::uint32_t vout) {
    return to_lower_copy(txid) + "_" + std::to_string(vout);
}

std::string normalize_reserve_outpoint(const std::string& text) {
    std::string out = to_lower_copy(text);
    std::replace(out.begin(), out.end(), ':', '_');
    return out;
}

std::string reserve_stem(const std::string& wallet_id) {
    std::string stem = wallet_id.empty() ? "none" : wallet_id;
    for (char& c : stem)
        if (!is_stem_char(c)) c = '_';
    if (stem.size() > 64) stem.resize(64);
    return stem;
}

std::string origin_txid_part(const std::string& text) {
    std::string out = to_lower_copy(text);
    if (out.size() > 64 && out[64] == '_') out.resize(64);
    return out;
}

std::string offer_locks_path() {
    return data_file("gallery", "offer_locks_" + offer_locks_stem(current_wallet_id()) + ".json");
}
std::string offer_holds_path() {
    return data_file("gallery", "offer_holds_" + offer_locks_stem(current_wallet_id()) + ".json");
}
std::string bazarel_reserves_path() {
    return data_file("bazarel", "reserves_" + reserve_stem(current_wallet_id()) + ".json");
}
std::string gallery_reserves_path() {
    return data_file("gallery", "reserves_" + reserve_stem(current_wallet_id()) + ".json");
}
std::string tradeloom_holds_path() {
    return data_file("tradeloom", "reserves_" + reserve_stem(current_wallet_id()) + ".json");
}

bool load_offer_locks(std::vector<std::string>& locks) {
    return load_locks(locks) != FileState::unreadable;
}

bool save_offer_locks(const std::vector<std::string>& locks) {
    json doc = json::object();
    doc["utxos"] = locks;
    return write_json_file(offer_locks_path(), doc);
}

bool lock_offer_inputs(const std::vector<TxInput>& inputs) {
    std::vector<std::string> locks;
    if (!load_offer_locks(locks)) return false;
    for (const TxInput& in : inputs) {
        std::string key = reserve_key(in.txid, in.vout);
        if (std::find(locks.begin(), locks.end(), key) == locks.end()) locks.push_back(key);
    }
    return save_offer_locks(locks);
}

bool load_offer_holds(std::vector<OfferHold>& holds) {
    const LoadResult result = load_records(offer_holds_path(), "offers", holds, [](const json& item, OfferHold& rec) {
        std::int64_t spot = 0;
        if (!read_int(item, "spot", 0, std::numeric_limits<std::int32_t>::max(), spot) ||
            !json_optional_text(item, "pic_utxo", rec.pic_utxo) ||
            !json_optional_text(item, "cert_utxo", rec.cert_utxo) || !read_i64(item, "price", rec.price) ||
            !read_i64(item, "exp", rec.exp) || !json_optional_text(item, "show_txid", rec.show_txid) ||
            !json_optional_text(item, "funded_txid", rec.funded_txid))
            return false;
        rec.spot = static_cast<std::int32_t>(spot);
        const auto utxos = item.find("utxos");
        if (utxos == item.end() || !utxos->is_array()) return false;
        for (const json& key : *utxos) {
            if (key.is_string()) rec.utxos.push_back(to_lower_copy(key.get<std::string>()));
        }
        return true;
    });
    return result.file != FileState::unreadable;
}

bool save_offer_holds(const std::vector<OfferHold>& holds) {
    json items = json::array();
    for (const OfferHold& hold : holds) {
        json item = {{"spot", hold.spot},   {"pic_utxo", hold.pic_utxo}, {"cert_utxo", hold.cert_utxo},
                     {"price", hold.price}, {"exp", hold.exp},           {"show_txid", hold.show_txid},
                     {"utxos", hold.utxos}};
        if (!hold.funded_txid.empty()) item["funded_txid"] = hold.funded_txid;
        items.push_back(std::move(item));
    }
    return write_json_file(offer_holds_path(), json{{"offers", items}});
}

bool release_unsent_offers(const std::vector<std::string>& funded_txids) {
    if (funded_txids.empty()) return true;
    std::vector<OfferHold> holds, live;
    if (!load_offer_holds(holds)) return false;
    std::vector<std::string> freed;
    for (OfferHold& hold : holds) {
        const bool unsent = !hold.funded_txid.empty() &&
                            std::find(funded_txids.begin(), funded_txids.end(), hold.funded_txid) != funded_txids.end();
        if (unsent)
            freed.insert(freed.end(), hold.utxos.begin(), hold.utxos.end());
        else
            live.push_back(std::move(hold));
    }
    if (freed.empty()) return true;
    // The offer stays on file until its coins are free, so a failed write is tried again next time.
    return remove_offer_locks(freed) && save_offer_holds(live);
}

bool remove_offer_locks(const std::vector<std::string>& keys) {
    std::vector<std::string> locks;
    if (!load_offer_locks(locks)) return false;
    std::unordered_set<std::string> drop;
    for (const std::string& k : keys)
        drop.insert(to_lower_copy(k));
    std::size_t before = locks.size();
    locks.erase(std::remove_if(locks.begin(), locks.end(), [&](const std::string& e) { return drop.count(e) > 0; }),
                locks.end());
    if (locks.size() == before) return true;
    return save_offer_locks(locks);
}

bool release_offer_inputs(const std::vector<TxInput>& inputs) {
    std::vector<std::string> keys;
    keys.reserve(inputs.size());
    for (const TxInput& in : inputs)
        keys.push_back(reserve_key(in.txid, in.vout));
    return remove_offer_locks(keys);
}

void prune_offer_locks(std::vector<std::string>& locks) {
    std::size_t before = locks.size();
    // An offer for a hanging that has expired can no longer complete, whether or not the gallery
    // was read since; its coins come back without a look at the chain.
    std::vector<OfferHold> holds, live;
    if (load_offer_holds(holds) && !holds.empty()) {
        const std::int64_t now = clock_system_ms() / 1000;
        std::unordered_set<std::string> expired;
        for (OfferHold& hold : holds) {
            if (hold.exp > 0 && hold.exp <= now) {
                expired.insert(hold.utxos.begin(), hold.utxos.end());
            } else {
                live.push_back(std::move(hold));
            }
        }
        if (live.size() != holds.size()) {
            locks.erase(std::remove_if(locks.begin(), locks.end(),
                                       [&expired](const std::string& e) { return expired.count(e) > 0; }),
                        locks.end());
            // The offers go only once their coins are freed on file, so a failed write is tried again.
            if (save_offer_locks(locks)) save_offer_holds(live);
            before = locks.size();
        }
    }
    locks.erase(std::remove_if(locks.begin(), locks.end(),
                               [](const std::string& e) {
                                   std::string txid;
                                   std::uint32_t vout = 0;
                                   return split_lock_entry(e, txid, vout) && is_outpoint_spent(txid, vout);
                               }),
                locks.end());
    if (locks.size() != before) save_offer_locks(locks);
}

bool load_bazarel_reserves(std::vector<BazarelReserve>& reserves) {
    LoadResult r = load_bazarel(reserves);
    drop_empty(reserves, &BazarelReserve::utxo);
    return r.file != FileState::unreadable;
}

bool load_gallery_reserves(std::vector<GalleryReserve>& reserves) {
    LoadResult r = load_gallery(reserves);
    drop_empty(reserves, &GalleryReserve::pic_utxo);
    return r.file != FileState::unreadable;
}

bool load_tradeloom_holds(std::vector<TradeloomHold>& holds) {
    LoadResult r = load_tradeloom(holds);
    drop_empty(holds, &TradeloomHold::utxo);
    return r.file != FileState::unreadable && !r.bad_element;
}

bool save_gallery_reserves(const std::vector<GalleryReserve>& reserves) {
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    for (const GalleryReserve& r : reserves) {
        nlohmann::ordered_json o;
        o["pic_utxo"] = r.pic_utxo;
        o["cert_utxo"] = r.cert_utxo;
        o["pic"] = r.pic;
        o["cert"] = r.cert;
        o["price_sats"] = r.price_sats;
        o["exp"] = r.exp;
        o["spot"] = static_cast<std::int64_t>(r.spot);
        items.push_back(std::move(o));
    }
    nlohmann::ordered_json doc;
    doc["reserves"] = std::move(items);
    std::string text;
    try {
        text = doc.dump(2);
    } catch (const nlohmann::ordered_json::exception&) {
        return false;
    }
    return write_data_file(gallery_reserves_path(), text, true);
}

bool is_bazarel_reserved(const std::string& txid, std::uint32_t vout) {
    std::vector<BazarelReserve> reserves;
    if (!load_bazarel_reserves(reserves)) return true;
    std::unordered_set<std::string> keys;
    for (const BazarelReserve& r : reserves)
        keys.insert(r.utxo);
    return set_holds(keys, txid, vout);
}

bool is_gallery_reserved(const std::string& txid, std::uint32_t vout) {
    std::vector<GalleryReserve> reserves;
    if (!load_gallery_reserves(reserves)) return true;
    const std::int64_t now_s = clock_system_ms() / 1000;
    std::unordered_set<std::string> keys;
    for (const GalleryReserve& r : reserves) {
        if (!gallery_live(r, now_s)) continue;
        keys.insert(r.pic_utxo);
        if (!r.cert_utxo.empty()) keys.insert(r.cert_utxo);
    }
    return set_holds(keys, txid, vout);
}

bool is_tradeloom_held(const std::string& txid, std::uint32_t vout) {
    std::vector<TradeloomHold> holds;
    LoadResult r = load_tradeloom(holds);
    if (r.file == FileState::unreadable) return true;
    std::unordered_set<std::string> keys;
    for (const TradeloomHold& h : holds)
        if (!h.utxo.empty()) keys.insert(h.utxo);
    return set_holds(keys, txid, vout);
}

// Edits the document itself rather than rewriting it from the loaded records, so fields and
// elements this program does not read survive in the gallery's file.
std::string clear_gallery_reserve(const std::string& origin_or_txid) {
    static const char* const kError = "error: could not clear the Gallery reserve.";
    auto lock = lock_wallet();
    const std::string t = origin_txid_part(origin_or_txid);
    const std::string path = gallery_reserves_path();
    json doc;
    FileState state = read_json_file(path, doc);
    if (state == FileState::unreadable) return kError;
    if (state == FileState::absent || !root_array(doc, "reserves")) return {};
    json& items = doc["reserves"];
    json kept = json::array();
    for (json& item : items) {
        if (item.is_object()) {
            auto pic = item.find("pic");
            if (pic != item.end() && pic->is_string() && origin_txid_part(pic->get<std::string>()) == t) continue;
        }
        kept.push_back(std::move(item));
    }
    if (kept.size() == items.size()) return {};
    items = std::move(kept);
    return write_json_file(path, doc) ? std::string() : std::string(kError);
}

bool load_reserved_outpoints(ReservedSet& out, std::string& error) {
    out.keys.clear();
    error.clear();
    auto lock = lock_wallet();
    std::vector<BazarelReserve> bazarel;
    std::vector<GalleryReserve> gallery;
    std::vector<TradeloomHold> holds;
    std::vector<std::string> locks;
    if (load_bazarel(bazarel).file == FileState::unreadable || load_gallery(gallery).file == FileState::unreadable ||
        load_tradeloom(holds).file == FileState::unreadable || load_locks(locks) == FileState::unreadable) {
        error = kReserveUnreadableError;
        return false;
    }
    for (const BazarelReserve& r : bazarel)
        if (!r.utxo.empty()) out.keys.insert(r.utxo);
    const std::int64_t now_s = clock_system_ms() / 1000;
    for (const GalleryReserve& r : gallery) {
        if (r.pic_utxo.empty() || !gallery_live(r, now_s)) continue;
        out.keys.insert(r.pic_utxo);
        if (!r.cert_utxo.empty()) out.keys.insert(r.cert_utxo);
    }
    for (const TradeloomHold& h : holds)
        if (!h.utxo.empty()) out.keys.insert(h.utxo);
    prune_offer_locks(locks);
    out.keys.insert(locks.begin(), locks.end());
    return true;
}

bool is_reserved(const ReservedSet& set, const std::string& txid, std::uint32_t vout) {
    return set_holds(set.keys, txid, vout);
}

bool coin_held_back(const std::string& txid, std::uint32_t vout, bool& held, std::string& error) {
    held = false;
    ReservedSet set;
    if (!load_reserved_outpoints(set, error)) return false;
    held = is_reserved(set, txid, vout);
    return true;
}
