#include "chain/coin_snapshots.h"

#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/step_holds.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <mutex>
#include <unordered_map>

using nlohmann::json;

namespace {

std::vector<ChangeCoin> g_change;
// Set while a damaged spent file could not be moved aside: writing over it would lose it.
bool g_spent_file_stuck = false;
// The spent file that replaced a damaged one: until a Refresh holds every coin the listings show,
// any of them may have been named by it. Stored in the file, so other processes and a restart hold
// them too.
std::string g_holds_all_path;
// The spent file whose hold this process began or ended since it last wrote it: the file's word
// does not undo that.
std::string g_hold_changed_path;
// What the user is to be told of a damaged spent file, until the window takes it.
std::mutex g_spent_notice_mutex;
std::string g_spent_notice;

std::string snap_dir() {
    return kestrava_data_dir() + "/ord_snap";
}

// The parsed root of a bookkeeping file, or a discarded value when it is missing or malformed.
json read_json_file(const std::string& path) {
    std::string text;
    if (!platform_read_file(path, text)) return json(json::value_t::discarded);
    return json_parse_or_discarded(text);
}

// Writes compactly; invalid UTF-8 in a stored text becomes U+FFFD rather than losing the file.
void write_json_file(const std::string& path, const json& doc) {
    std::string text;
    try {
        text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return;
    }
    write_data_file(path, text, false);
}

// The array under `key` of a bookkeeping file; empty when the file is missing, malformed or has none.
json snapshot_list(const std::string& path, const char* key) {
    const json doc = read_json_file(path);
    if (!doc.is_object()) return json::array();
    auto it = doc.find(key);
    return it != doc.end() && it->is_array() ? *it : json::array();
}

// A whole-number field: absent leaves value as it was, a number above max leaves it and clears
// fits; false for any other type.
bool read_whole_number(const json& entry, const char* key, std::int64_t max, std::int64_t& value, bool& fits) {
    auto f = entry.find(key);
    if (f == entry.end()) return true;
    if (!f->is_number_integer()) return false;
    fits = json_whole_number(*f, std::numeric_limits<std::int64_t>::min(), max, value);
    return true;
}

// A stem that names no wallet keeps no file.
bool stem_names_a_wallet(const std::string& stem) {
    return !stem.empty() && stem != "wallet";
}

} // namespace

Utxo utxo_of(const ChangeCoin& coin) {
    Utxo u;
    u.txid = coin.txid;
    u.vout = coin.vout;
    u.sats = coin.sats;
    u.height = coin.height;
    return u;
}

std::vector<ChangeCoin>& change_coins() {
    return g_change;
}

void clear_change_coins() {
    for (ChangeCoin& coin : g_change)
        wipe(coin.priv_hex);
    g_change.clear();
}

std::string wallet_file_stem_of(const std::string& wallet_id, const std::string& identity_address,
                                const std::string& address) {
    std::string source = !wallet_id.empty() ? wallet_id : !identity_address.empty() ? identity_address : address;
    for (char& c : source)
        if (!is_ascii_alnum(c)) c = '_';
    if (source.empty()) return "wallet";
    if (source.size() > 80) source.resize(80);
    return source;
}

std::string wallet_file_stem() {
    WalletLock lock = lock_wallet();
    const KvCofferlyWallet& w = kv_wallet();
    return wallet_file_stem_of(w.wallet_id, w.identity_address, w.address);
}

std::string spent_file_path() {
    return snap_dir() + "/" + wallet_file_stem() + "_spent.json";
}

std::string change_file_path() {
    return snap_dir() + "/" + wallet_file_stem() + "_change.json";
}

namespace {

// A give-back older than this is dropped, so that the list does not grow with every coin that ever
// came back. A copy of the set read before one was dropped may still hold the coin spent: the file
// counts its drops ("pruned"), and a process that has not read the file since the last one takes
// the file's word over its own copy.
constexpr std::int64_t kGivenBackKeepMs = 30LL * 24 * 60 * 60 * 1000;
// A coin's count grows by one a mark or give-back; no honest file comes near this.
constexpr std::int64_t kMaxSpentCount = std::int64_t{1} << 40;
// A give-back a previous version stored without a count undid a mark it made.
constexpr std::int64_t kUncountedGiveBack = 2;
// The form this version writes: every spent mark without an unsettled row is a sent payment's. A file
// without a version was written by one that held unsent inputs with a spent mark alone.
constexpr std::int64_t kSpentFileVersion = 2;

// Marks a previous version wrote that the release has not told apart yet (its holds among them).
std::unordered_set<std::string> g_legacy;
std::unordered_set<std::string> g_legacy_taken; // taken in as unsettled rows since the last save
// How many give-backs each spent file had dropped when this process last read it.
std::unordered_map<std::string, std::int64_t> g_read_pruned;

// Every spent file this program and its siblings write names its marks under "outpoints"; one
// without them is not a spent set with none, but one that lost them.
bool is_spent_doc(const json& doc) {
    if (!doc.is_object()) return false;
    const auto marks = doc.find("outpoints");
    if (marks == doc.end() || !marks->is_array()) return false;
    for (const char* key : {"held", "given_back", "legacy"}) {
        const auto it = doc.find(key);
        if (it != doc.end() && !it->is_array()) return false;
    }
    const auto all = doc.find("all_held");
    return all == doc.end() || all->is_boolean();
}

// The spent set as stored, or a discarded value when there is none or it is damaged. A damaged file
// holds spent outpoints and held payments that a save would wipe: it is kept aside whole and the
// user told, and the set starts again from what this process knows, holding every coin.
json read_spent_doc(const std::string& path) {
    if (!platform_file_exists(path)) return json(json::value_t::discarded);
    json doc = read_json_file(path);
    if (is_spent_doc(doc)) return doc;
    // A sibling program that rewrites the file in place may be caught mid-write.
    clock_sleep_ms(kSharedFileRetryMs);
    doc = read_json_file(path);
    if (is_spent_doc(doc) || !platform_file_exists(path)) return doc;
    g_spent_file_stuck = !set_aside_damaged_file(path);
    g_holds_all_path = path;
    g_hold_changed_path = path;
    const char* notice = g_spent_file_stuck
                             ? "error: the list of spent coins is damaged and could not be moved aside; it is left "
                               "as it is. Check the balance before paying."
                             : "error: the list of spent coins was damaged; it is kept aside and a new one started. "
                               "Every coin waits until the services show which are still unspent.";
    {
        std::lock_guard<std::mutex> lock(g_spent_notice_mutex);
        g_spent_notice = notice;
    }
    emit_status_event(kCofferlyTag, "error", notice);
    return json(json::value_t::discarded);
}

bool whole_number(const json& obj, const char* key, std::int64_t& out) {
    const auto it = obj.find(key);
    return it != obj.end() && json_whole_number(*it, std::numeric_limits<std::int64_t>::min(),
                                                std::numeric_limits<std::int64_t>::max(), out);
}

std::vector<std::string> text_list(const json& doc, const char* key) {
    std::vector<std::string> out;
    const auto list = doc.find(key);
    if (list == doc.end() || !list->is_array()) return out;
    for (const json& entry : *list)
        if (entry.is_string() && !entry.get_ref<const std::string&>().empty()) out.push_back(entry.get<std::string>());
    return out;
}

// A count or number of drops as stored: a whole number from `low` to kMaxSpentCount, else false.
bool stored_count(const json& value, std::int64_t low, std::int64_t& out) {
    return json_whole_number(value, low, kMaxSpentCount, out);
}

struct StoredSpent {
    bool found = false;
    bool all_held = false;
    StoredSpentSet set;
    std::int64_t pruned = 0;
    std::vector<UnsettledInputs> unsettled;
    bool redated = false; // an unsettled row was dated past now
    std::vector<std::string> legacy;
};

// The give-backs as stored. One dated past now is not taken at its date, which would keep it for
// ever: it is dated now. Its count, not its date, places it among the coin's marks.
void read_given_back(const json& doc, std::unordered_map<std::string, GivenBack>& out) {
    const auto list = doc.find("given_back");
    if (list == doc.end() || !list->is_array()) return;
    const std::int64_t now = clock_system_ms();
    for (const json& entry : *list) {
        std::string key;
        GivenBack back;
        back.count = kUncountedGiveBack;
        const auto count = entry.is_object() ? entry.find("n") : entry.end();
        if (!entry.is_object() || !json_optional_text(entry, "k", key) || key.empty() ||
            !whole_number(entry, "at", back.at_ms) || (count != entry.end() && !stored_count(*count, 1, back.count)))
            continue;
        back.at_ms = std::min(back.at_ms, now);
        GivenBack& kept = out[key];
        if (back.count > kept.count || (back.count == kept.count && back.at_ms > kept.at_ms)) kept = back;
    }
}

// A row dated past now is dated now, as a give-back is: held from a clock that ran ahead, its
// inputs would stay out until the clock caught up. `redated` says the file is to be written so.
std::vector<UnsettledInputs> stored_unsettled(const json& doc, bool& redated) {
    std::vector<UnsettledInputs> rows;
    const std::int64_t now = clock_system_ms();
    const auto held = doc.find("held");
    if (held == doc.end() || !held->is_array()) return rows;
    for (const json& entry : *held) {
        UnsettledInputs row;
        const auto at = entry.is_object() ? entry.find("at") : entry.end();
        const auto keys = entry.is_object() ? entry.find("outpoints") : entry.end();
        // A row naming no transaction is a previous version's hold, taken in by the refresh.
        if (!entry.is_object() || !json_optional_text(entry, "txid", row.txid) ||
            (!row.txid.empty() && !is_txid_hex(row.txid)) || at == entry.end() || !at->is_number_integer() ||
            keys == entry.end() || !keys->is_array())
            continue;
        row.unsettled_at_ms = at->get<std::int64_t>();
        if (row.unsettled_at_ms > now) {
            row.unsettled_at_ms = now;
            redated = true;
        }
        for (const json& key : *keys)
            if (key.is_string()) row.outpoints.push_back(key.get<std::string>());
        row.txid = to_lower_copy(row.txid);
        const bool known = std::any_of(rows.begin(), rows.end(), [&](const UnsettledInputs& h) {
            return h.txid == row.txid && (!row.txid.empty() || h.outpoints == row.outpoints);
        });
        if (!known && !row.outpoints.empty()) rows.push_back(std::move(row));
    }
    return rows;
}

StoredSpent read_stored_spent(const std::string& path) {
    StoredSpent out;
    const json doc = read_spent_doc(path);
    if (!doc.is_object()) return out;
    out.found = true;
    g_spent_file_stuck = false;
    out.all_held = doc.value("all_held", false);
    out.set.marks = text_list(doc, "outpoints");
    const auto counts = doc.find("counts");
    if (counts != doc.end() && counts->is_object()) {
        for (const auto& [key, value] : counts->items()) {
            std::int64_t count = 0;
            if (stored_count(value, 2, count)) out.set.counts[key] = count;
        }
    }
    read_given_back(doc, out.set.given_back);
    const auto pruned = doc.find("pruned");
    if (pruned != doc.end() && !stored_count(*pruned, 0, out.pruned)) out.pruned = 0;
    out.unsettled = stored_unsettled(doc, out.redated);
    std::int64_t version = 0;
    if (!whole_number(doc, "version", version) || version < kSpentFileVersion)
        out.legacy = out.set.marks;
    else
        out.legacy = text_list(doc, "legacy");
    return out;
}

// Takes the stored set in with this process's unsaved changes on top.
void take_stored_spent(const std::string& path, const StoredSpent& stored) {
    // A copy read before the file dropped a give-back may still hold that coin spent. A file read
    // for the first time leaves the set as it is (with another wallet's marks, if any).
    const auto read = g_read_pruned.find(path);
    const bool missed_drops = read != g_read_pruned.end() && stored.pruned > read->second;
    g_read_pruned[path] = stored.pruned;
    if (g_hold_changed_path != path) {
        if (stored.all_held)
            g_holds_all_path = path;
        else if (g_holds_all_path == path)
            g_holds_all_path.clear();
    }
    take_stored_unsettled(stored.unsettled);
    merge_stored_spent(stored.set, missed_drops);
    g_legacy.clear();
    for (const std::string& key : stored.legacy)
        if (g_legacy_taken.count(key) == 0) g_legacy.insert(key);
}

} // namespace

bool save_spent_outpoints() {
    if (!stem_names_a_wallet(wallet_file_stem()) || g_spent_file_stuck) return false;
    const std::string path = spent_file_path();
    // The spent file is read, merged and written by this program's processes on one data folder in
    // turn. Without the lock another process's marks could be lost: nothing is written, the marks
    // stay in memory for the next save, and a step that needed them on disk does not go out.
    const SharedFileLock locked(path);
    if (!locked.taken()) return false;
    // What another process wrote since this one read the file stays: the file is merged, never
    // simply overwritten.
    const StoredSpent stored = read_stored_spent(path);
    if (g_spent_file_stuck) return false;
    take_stored_spent(path, stored);

    const std::int64_t since = clock_system_ms() - kGivenBackKeepMs;
    bool dropped = false;
    json back_list = json::array();
    for (auto it = given_back_outpoints().begin(); it != given_back_outpoints().end();) {
        // A coin in the set is spent, whatever else this process remembers of it.
        const bool expired = it->second.at_ms < since;
        if (expired || spent_outpoints().count(it->first) != 0) {
            it = given_back_outpoints().erase(it);
            dropped |= expired;
            continue;
        }
        back_list.push_back({{"k", it->first}, {"n", it->second.count}, {"at", it->second.at_ms}});
        ++it;
    }
    json list = json::array();
    for (const std::string& key : spent_outpoints())
        list.push_back(key);
    json counts = json::object();
    for (const auto& [key, count] : spent_counts())
        counts[key] = count;
    json unsettled = json::array();
    for (const UnsettledInputs& entry : unsettled_inputs())
        unsettled.push_back({{"txid", entry.txid}, {"at", entry.unsettled_at_ms}, {"outpoints", entry.outpoints}});
    // The sibling programs read "outpoints" alone; the other members sit beside it.
    json doc{{"version", kSpentFileVersion}, {"outpoints", std::move(list)}};
    if (!counts.empty()) doc["counts"] = std::move(counts);
    if (!back_list.empty()) doc["given_back"] = std::move(back_list);
    const std::int64_t pruned = stored.pruned + (dropped ? 1 : 0);
    if (pruned > 0) doc["pruned"] = pruned;
    if (!unsettled.empty()) doc["held"] = std::move(unsettled);
    json legacy = json::array();
    for (const std::string& key : g_legacy)
        if (spent_outpoints().count(key) != 0) legacy.push_back(key);
    if (!legacy.empty()) doc["legacy"] = std::move(legacy);
    if (g_holds_all_path == path) doc["all_held"] = true;
    std::string text;
    try {
        text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return false;
    }
    if (!write_data_file(path, text, false)) return false;
    g_read_pruned[path] = pruned;
    if (g_hold_changed_path == path) g_hold_changed_path.clear();
    note_spent_saved();
    g_legacy_taken.clear();
    return true;
}

std::string spent_file_hold_text() {
    if (g_spent_file_stuck)
        return "the list of spent coins is damaged and could not be moved aside. Every coin waits until it is mended.";
    if (g_holds_all_path.empty() || g_holds_all_path != spent_file_path()) return std::string();
    return "the list of spent coins was damaged; it is kept aside. Every coin waits until the services show which "
           "are still unspent. Refresh in a few minutes.";
}

void end_spent_file_hold() {
    if (g_spent_file_stuck || g_holds_all_path != spent_file_path()) return;
    g_hold_changed_path = g_holds_all_path;
    g_holds_all_path.clear();
}

std::string take_spent_file_notice() {
    std::lock_guard<std::mutex> lock(g_spent_notice_mutex);
    std::string notice;
    notice.swap(g_spent_notice);
    return notice;
}

void load_spent_outpoints() {
    note_step_holds_path(step_holds_path());
    const std::string path = spent_file_path();
    StoredSpent stored;
    {
        // A file read while another process may be halfway through its change is not merged.
        const SharedFileLock locked(path);
        if (!locked.taken()) return;
        stored = read_stored_spent(path);
    }
    if (!stored.found) return;
    take_stored_spent(path, stored);
    // The date given now is kept, so that the hold ends in its time.
    if (stored.redated) save_spent_outpoints();
}

std::unordered_set<std::string>& legacy_spent_marks() {
    return g_legacy;
}

void note_legacy_mark_taken(const std::string& key) {
    g_legacy.erase(key);
    g_legacy_taken.insert(key);
}

void save_change_coins() {
    if (!stem_names_a_wallet(wallet_file_stem())) return;
    platform_make_dirs(snap_dir());
    json coins = json::array();
    for (const ChangeCoin& coin : g_change) {
        if (!is_txid_hex(coin.txid) || coin.sats <= 0 || is_outpoint_spent(coin.txid, coin.vout)) continue;
        const std::string addr = base58check_encode(coin.hash160);
        if (addr.empty()) continue;
        coins.push_back({{"txid", coin.txid}, {"vout", coin.vout}, {"sats", coin.sats}, {"addr", addr}});
    }
    write_json_file(change_file_path(), json{{"coins", std::move(coins)}});
}

void load_change_coins() {
    for (const json& entry : snapshot_list(change_file_path(), "coins")) {
        if (!entry.is_object()) continue;
        std::string txid;
        std::string addr;
        std::int64_t vout = -1;
        std::int64_t sats = 0;
        bool vout_fits = true;
        bool sats_fits = true;
        // A field of the wrong type means the file is not what this program wrote: stop there,
        // keeping the coins already taken.
        if (!json_optional_text(entry, "txid", txid) ||
            !read_whole_number(entry, "vout", std::numeric_limits<std::int32_t>::max(), vout, vout_fits) ||
            !read_whole_number(entry, "sats", std::numeric_limits<std::int64_t>::max(), sats, sats_fits) ||
            !json_optional_text(entry, "addr", addr))
            return;
        if (!is_txid_hex(txid) || !vout_fits || vout < 0 || !sats_fits || sats < 1 || addr.empty()) continue;
        const auto index = static_cast<std::uint32_t>(vout);
        if (is_outpoint_spent(txid, index)) continue;
        bool known = false;
        for (const ChangeCoin& coin : g_change)
            if (outpoint_equal(coin.txid, coin.vout, txid, index)) known = true;
        if (known) continue;
        ChangeCoin coin;
        if (!is_my_address(addr, coin.priv_hex, coin.pub_hex, coin.hash160)) {
            wipe(coin.priv_hex);
            continue;
        }
        coin.txid = txid;
        coin.vout = index;
        coin.sats = sats;
        coin.height = 0;
        g_change.push_back(std::move(coin));
    }
}
