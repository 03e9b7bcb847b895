#include "art/never_counting.h"

#include "chain/outpoints.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"
#include "wallet/settings.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <mutex>
#include <unordered_set>
#include <vector>

using nlohmann::json;

namespace {

constexpr int kFileVersion = 1;
// A key is two service bases and a transaction id; no service base of the program's settings comes
// near this length.
constexpr std::size_t kKeyBytes = 512;
// A key is written as it is, between quotes and after a comma, so the loader's bound on the file
// follows from the writer's bounds on the keys and their count.
constexpr std::size_t kFileBytes = kNeverCountingKept * (kKeyBytes + 3) + 256;

struct NeverCounting {
    std::string path; // the file what is held was loaded from; "" until loaded
    std::deque<std::string> order;
    std::unordered_set<std::string> keys;
    bool noted = false; // something new since the last write
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

// Adds the key as the newest, dropping the oldest past the bound; false when it was held already.
bool hold(NeverCounting& held, const std::string& key) {
    if (!held.keys.insert(key).second) return false;
    held.order.push_back(key);
    while (held.order.size() > kNeverCountingKept) {
        held.keys.erase(held.order.front());
        held.order.pop_front();
    }
    return true;
}

// The keys the file holds, oldest first (hold keeps the newest within the bound); false when it
// exists but does not read, which is then set aside. The caller holds the file's lock, so no
// writer is caught halfway.
bool read_file(const std::string& path, std::vector<std::string>& keys) {
    keys.clear();
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
    for (const json& entry : doc["hangings"])
        if (entry.is_string() && key_sound(entry.get_ref<const std::string&>()))
            keys.push_back(entry.get<std::string>());
    return true;
}

} // namespace

std::string never_counting_path() {
    return kestrava_data_dir() + "/registry/never_counting.json";
}

void never_counting_open() {
    const std::string path = never_counting_path();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_held.path == path) return;
    g_held = NeverCounting{};
    g_held.path = path;
    std::vector<std::string> keys;
    if (platform_file_exists(path)) {
        const SharedFileLock locked(path);
        read_file(path, keys);
    }
    for (const std::string& key : keys)
        hold(g_held, key);
}

bool never_counting_known(const std::string& txid) {
    const std::string key = service_key(txid);
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_held.keys.count(key) != 0;
}

void never_counting_note(const std::string& txid) {
    const std::string key = service_key(txid);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (hold(g_held, key) && key_sound(key)) g_held.noted = true;
}

void never_counting_keep() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_held.noted || g_held.path.empty()) return;
    const SharedFileLock locked(g_held.path);
    // Without the lock another process's file could be written over; what was noted waits.
    if (!locked.taken()) return;
    std::vector<std::string> disk;
    read_file(g_held.path, disk);
    // What the file holds stays as old as it is there; what only this process holds is newer.
    NeverCounting merged;
    merged.path = g_held.path;
    for (const std::string& key : disk)
        hold(merged, key);
    bool grew = false;
    for (const std::string& key : g_held.order)
        if (key_sound(key) && hold(merged, key)) grew = true;
    json doc = {{"version", kFileVersion}, {"hangings", json::array()}};
    for (const std::string& key : merged.order)
        doc["hangings"].push_back(key);
    // A cache that cannot be written costs its hangings a judgement after the next start, no more.
    if (grew && !write_data_file(g_held.path, doc.dump(), false)) return;
    // A key the file cannot hold is kept in memory alone, until a restart.
    for (const std::string& key : g_held.order)
        if (!key_sound(key)) hold(merged, key);
    g_held = std::move(merged);
}

void never_counting_forget() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_held = NeverCounting{};
}
