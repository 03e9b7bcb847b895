#include "ordinals/ord_snapshots.h"

#include "ordinals/envelope.h"
#include "platform/fs.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <algorithm>

using nlohmann::json;

namespace {

std::string snap_dir() {
    return kestrava_data_dir() + "/ord_snap";
}

// Wallet file stems are made of ASCII letters, digits and "_" only; anything else (a "..", a
// separator, a drive colon) is not a stem and must not become part of a path.
bool is_file_stem(const std::string& stem) {
    return !stem.empty() && std::all_of(stem.begin(), stem.end(), [](char c) { return c == '_' || is_ascii_alnum(c); });
}

// One entry of "lots"; false when a member has the wrong JSON type, which discards the whole file.
bool read_lot(const json& entry, LocalOrd& lot) {
    if (!json_optional_text(entry, "origin", lot.origin) || !json_optional_text(entry, "txid", lot.txid) ||
        !json_optional_text(entry, "type", lot.type) || !json_optional_text(entry, "name", lot.name) ||
        !json_optional_text(entry, "icon", lot.icon) || !json_optional_text(entry, "address", lot.address))
        return false;
    auto vout = entry.find("vout");
    // An index that is negative or beyond 32 bits is as malformed as one written as text.
    return vout == entry.end() || json_as_u32(*vout, lot.vout);
}

// Appends every string element of the array `key` whose length passes `keep`; other elements are skipped.
template <typename Keep> void read_texts(const json& doc, const char* key, Keep keep, std::vector<std::string>& out) {
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_array()) return;
    for (const json& element : *it)
        if (element.is_string() && keep(element.get_ref<const std::string&>().size()))
            out.push_back(element.get<std::string>());
}

bool read_snapshot(const json& doc, OrdSnapshot& out) {
    read_texts(
        doc, "txids", [](std::size_t n) { return n == 64; }, out.txids);
    read_texts(
        doc, "token_ids", [](std::size_t n) { return n >= 66; }, out.token_ids);
    auto lots = doc.find("lots");
    if (lots == doc.end() || !lots->is_array()) return true;
    for (const json& entry : *lots) {
        if (!entry.is_object()) continue;
        LocalOrd lot = local_ord_init();
        if (!read_lot(entry, lot)) return false;
        if (lot.origin.size() < 66) continue;
        if (lot.txid.size() != 64) {
            // Older entries carry only the origin; its own txid and index stand in.
            std::string txid;
            std::uint32_t vout = 0;
            if (parse_ord_outpoint(lot.origin, txid, vout)) {
                lot.txid = txid;
                lot.vout = vout;
            }
        }
        out.lots.push_back(std::move(lot));
    }
    return true;
}

json lot_json(const LocalOrd& lot) {
    json obj = {{"origin", lot.origin}, {"txid", lot.txid}, {"vout", lot.vout}};
    if (!lot.type.empty()) obj["type"] = lot.type;
    if (!lot.name.empty()) obj["name"] = lot.name;
    if (!lot.icon.empty()) obj["icon"] = lot.icon;
    if (!lot.address.empty()) obj["address"] = lot.address;
    return obj;
}

} // namespace

std::string ord_snap_path(const std::string& stem) {
    if (!is_file_stem(stem)) return std::string();
    return snap_dir() + "/" + stem + ".json";
}

bool ord_snap_load(const std::string& stem, OrdSnapshot& out) {
    out = OrdSnapshot();
    const std::string path = ord_snap_path(stem);
    if (path.empty()) return false;
    std::string text;
    if (!platform_read_file(path, text)) return false;
    const json doc = json_parse_or_discarded(text);
    if (!doc.is_object()) return false;
    if (!read_snapshot(doc, out)) {
        out = OrdSnapshot();
        return false;
    }
    return !out.lots.empty() || !out.txids.empty();
}

void ord_snap_save(const std::string& stem, const OrdSnapshot& snap) {
    const std::string path = ord_snap_path(stem);
    if (path.empty()) return;
    platform_make_dirs(snap_dir());
    json lots = json::array();
    for (const LocalOrd& lot : snap.lots)
        lots.push_back(lot_json(lot));
    const json doc = {{"lots", std::move(lots)}, {"token_ids", snap.token_ids}, {"txids", snap.txids}};
    std::string text;
    try {
        // A name that is not UTF-8 is written with U+FFFD rather than costing the whole file.
        text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const json::exception&) {
        return;
    }
    write_data_file(path, text, false);
}
