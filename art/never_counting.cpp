#include "art/never_counting.h"

#include "art/art_records.h"
#include "art/watch/reader.h"
#include "chain/outpoints.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"
#include "wallet/settings.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

using nlohmann::json;

namespace {

// 2: each hanging with the artwork and the pair it was judged against. The hangings of version 1
// said neither, and some rested on a pair not found: they are judged again.
constexpr int kFileVersion = 2;
// A key is two service bases and a transaction id; no service base of the program's settings comes
// near this length.
constexpr std::size_t kKeyBytes = 512;
// An entry is its key, two transaction ids and the names around them, so the loader's bound on the
// file follows from the writer's bounds on the keys and their count.
constexpr std::size_t kEntryBytes = kKeyBytes + 2 * 64 + 64;
constexpr std::size_t kFileBytes = kNeverCountingKept * kEntryBytes + 256;

// What a hanging was judged against: its artwork and the first pair of that artwork.
struct Judged {
    std::string pic;
    std::string pair;
};

struct NeverCounting {
    std::string path; // the file what is held was loaded from; "" until loaded
    std::deque<std::string> order;
    std::map<std::string, Judged> entries;
    std::set<std::string> dropped; // held by the file maybe, to go at the next write
    bool noted = false;            // something new since the last write
};

std::mutex g_mutex;
NeverCounting g_held;

// A key the file can hold as written: within its length, printable without escapes, and ending in
// a transaction id after the services' bases.
bool key_sound(const std::string& key) {
    if (key.size() < 65 || key.size() > kKeyBytes || key[key.size() - 65] != '|') return false;
    for (const char c : key)
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
    return is_txid_hex(key.substr(key.size() - 64));
}

bool entry_sound(const std::string& key, const Judged& judged) {
    return key_sound(key) && is_txid_hex(judged.pic) && is_txid_hex(judged.pair);
}

// Adds the key as the newest, dropping the oldest past the bound; false when it was held already.
bool hold(NeverCounting& held, const std::string& key, const Judged& judged) {
    if (!held.entries.emplace(key, judged).second) return false;
    held.order.push_back(key);
    while (held.order.size() > kNeverCountingKept) {
        held.entries.erase(held.order.front());
        held.order.pop_front();
    }
    return true;
}

// The entries the file holds, oldest first (hold keeps the newest within the bound); false when it
// exists but does not read, which is then set aside. The caller holds the file's lock, so no
// writer is caught halfway.
bool read_file(const std::string& path, std::vector<std::pair<std::string, Judged>>& entries) {
    entries.clear();
    std::string text;
    if (!platform_read_file(path, text)) return !platform_file_exists(path);
    json doc;
    std::string error;
    const bool sound = text.size() <= kFileBytes && json_parse_bounded(text, doc, error) && doc.is_object() &&
                       doc.contains("hangings") && doc["hangings"].is_array();
    if (!sound) {
        // Only a cost goes with it: the hangings are judged again and a new file is written.
        set_aside_damaged_file(path);
        return false;
    }
    for (const json& entry : doc["hangings"]) {
        if (!entry.is_object()) continue; // an earlier form's bare key
        std::pair<std::string, Judged> read{json_text(entry, "h"), {json_text(entry, "pic"), json_text(entry, "pair")}};
        if (entry_sound(read.first, read.second)) entries.push_back(std::move(read));
    }
    return true;
}

void open_locked() {
    const std::string path = never_counting_path();
    if (g_held.path == path) return;
    g_held = NeverCounting{};
    g_held.path = path;
    std::vector<std::pair<std::string, Judged>> entries;
    if (platform_file_exists(path)) {
        const SharedFileLock locked(path);
        read_file(path, entries);
    }
    for (const auto& [key, judged] : entries)
        hold(g_held, key, judged);
}

// What the file holds now, less what this process dropped, then what this process holds, newer.
NeverCounting merged_with(const std::vector<std::pair<std::string, Judged>>& disk, bool& changed) {
    NeverCounting merged;
    merged.path = g_held.path;
    changed = false;
    for (const auto& [key, judged] : disk) {
        if (g_held.dropped.count(key))
            changed = true;
        else
            hold(merged, key, judged);
    }
    for (const std::string& key : g_held.order)
        if (entry_sound(key, g_held.entries.at(key)) && hold(merged, key, g_held.entries.at(key))) changed = true;
    return merged;
}

} // namespace

std::string never_counting_path() {
    return kestrava_data_dir() + "/registry/never_counting.json";
}

void never_counting_open() {
    std::lock_guard<std::mutex> lock(g_mutex);
    open_locked();
}

bool never_counting_known(const std::string& txid) {
    const std::string key = service_key(txid);
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_held.entries.count(key) != 0;
}

void never_counting_judge(const SpotFrame& show, const ExhibitTitle& title, const ChainPlace& hung) {
    const std::string& hung_txid = hung.txid;
    // Only a first pair read whole before the hanging, in a block the history listings themselves show
    // final, can no longer change; a chain route's tip that runs ahead of the listing finalises nothing.
    if (title.owner.empty() || !is_txid_hex(title.pair) || !watch_block_final_listed(kTitleWatchKey, title.pair_height))
        return;
    // What the hanging names is its own: a certificate that is not the pair's never becomes it, and
    // the coins where the pair left them are the first owner's for good (a coin once spent never
    // stands there again). Coins anywhere else may have moved by a spend the service lists later.
    const bool other_certificate = show.cert != title.cert;
    const bool first_owners_coins = !title.pic_origin.empty() && show.pic_utxo == title.pic_origin &&
                                    show.cert_utxo == title.cert_origin && show.owner != title.pair_owner;
    // A final block's order never changes: a pair after the hanging in it never stands before it.
    const bool pair_after_in_final_block =
        hung.height > 0 && title.pair_height == hung.height && pair_first_in_block(title.pair, hung) == 0;
    if (!other_certificate && !first_owners_coins && !pair_after_in_final_block) return;
    const std::string key = service_key(hung_txid);
    const Judged judged{norm_txid(show.pic), title.pair};
    std::lock_guard<std::mutex> lock(g_mutex);
    g_held.dropped.erase(key);
    if (hold(g_held, key, judged) && entry_sound(key, judged)) g_held.noted = true;
}

void never_counting_pair_found(const std::string& artwork_key, const std::string& pair_txid) {
    std::lock_guard<std::mutex> lock(g_mutex);
    open_locked();
    for (auto it = g_held.order.begin(); it != g_held.order.end();) {
        const Judged& judged = g_held.entries.at(*it);
        if (judged.pic != artwork_key || judged.pair == pair_txid) {
            ++it;
            continue;
        }
        g_held.dropped.insert(*it);
        g_held.entries.erase(*it);
        it = g_held.order.erase(it);
    }
}

void never_counting_keep() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if ((!g_held.noted && g_held.dropped.empty()) || g_held.path.empty()) return;
    const SharedFileLock locked(g_held.path);
    // Without the lock another process's file could be written over; what was noted waits.
    if (!locked.taken()) return;
    std::vector<std::pair<std::string, Judged>> disk;
    read_file(g_held.path, disk);
    bool changed = false;
    NeverCounting merged = merged_with(disk, changed);
    json doc = {{"version", kFileVersion}, {"hangings", json::array()}};
    for (const std::string& key : merged.order)
        doc["hangings"].push_back(
            {{"h", key}, {"pic", merged.entries.at(key).pic}, {"pair", merged.entries.at(key).pair}});
    // A cache that cannot be written costs its hangings a judgement after the next start, no more.
    if (changed && !write_data_file(g_held.path, doc.dump(), false)) return;
    // An entry the file cannot hold is kept in memory alone, until a restart.
    for (const std::string& key : g_held.order)
        if (!entry_sound(key, g_held.entries.at(key))) hold(merged, key, g_held.entries.at(key));
    g_held = std::move(merged);
}

void never_counting_forget() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_held = NeverCounting{};
}
