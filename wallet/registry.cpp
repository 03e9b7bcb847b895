#include "wallet/registry.h"

#include "wallet/session.h"

#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"

#include <array>
#include <cassert>
#include <functional>
#include <mutex>

namespace {

std::recursive_mutex g_registry_mutex;
std::uint32_t g_registry_depth = 0; // guarded by g_registry_mutex
FileLock g_registry_file;           // held only while the depth is above 0

std::mutex g_binding_mutex;
WalletBinding g_binding;

const char kRegistryFile[] = "/wallets.json";
const char kLegacyWalletFile[] = "/kestrava_cofferly.json";
const int kReplaceAttempts = 40;
const std::int64_t kReplaceRetryMs = 25;

const int kSetAsideNames = 100;
// No whole-file write takes this long; a temporary file of the own naming that is older was left
// by a process that ended mid-write.
const std::int64_t kStaleTmpAgeS = 600;

// The turn of the writers of `path` in this process; a few files share one, which costs only a wait.
std::mutex& writer_turn(const std::string& path) {
    static std::array<std::mutex, 64> turns;
    return turns[std::hash<std::string>()(path) % turns.size()];
}

// The safe "wallet_id" of a bind file, or "".
std::string read_bind_id(const std::string& path) {
    std::string text;
    if (!platform_read_file(path, text)) return std::string();
    std::string id = json_text(json_parse_or_discarded(text), "wallet_id");
    return is_safe_wallet_id(id) ? id : std::string();
}

void write_bind_file(const WalletBinding& binding, const std::string& id) {
    nlohmann::json doc = nlohmann::json::object();
    doc["app"] = binding.app_name;
    doc["instance"] = binding.instance_key;
    doc["wallet_id"] = id;
    std::string text;
    try {
        text = doc.dump(2);
    } catch (const nlohmann::json::exception&) {
        return; // a name that is not UTF-8; the bind file stays as it was
    }
    write_data_file(bind_file_path(), text, true);
}

} // namespace

std::string kestrava_data_dir() {
    std::string dir = platform_data_dir_path();
    platform_make_dirs(dir);
    return dir;
}

void wallet_registry_lock() {
    g_registry_mutex.lock();
    if (++g_registry_depth > 1) return;
    // Without the file lock the process mutex still orders this program's own threads.
    file_lock_acquire(kestrava_data_dir() + "/wallets.lock", g_registry_file);
}

void wallet_registry_unlock() {
    assert(g_registry_depth > 0);
    if (g_registry_depth == 0) return;
    if (--g_registry_depth == 0) file_lock_release(g_registry_file);
    g_registry_mutex.unlock();
}

std::intptr_t wallet_registry_lock_handle() {
    std::lock_guard<std::recursive_mutex> hold(g_registry_mutex);
    return g_registry_depth > 0 ? g_registry_file.handle : -1;
}

std::string sanitize_wallet_id(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 'A' && c <= 'Z')
            out.push_back(static_cast<char>(c - 'A' + 'a'));
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            out.push_back(static_cast<char>(c));
        else
            out.push_back('_');
    }
    if (out.size() > 96) out.erase(0, out.size() - 96);
    if (out.empty()) out = "default";
    return out;
}

bool is_safe_wallet_id(const std::string& id) {
    if (id.empty() || id.find("..") != std::string::npos) return false;
    for (char ch : id) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '/' || c == '\\' || c == ':' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

std::string new_wallet_id() {
    return "w" + std::to_string(clock_system_ms());
}

bool read_wallets_json(nlohmann::json& doc) {
    doc = nlohmann::json::object();
    const std::string path = kestrava_data_dir() + kRegistryFile;
    bool clean = true;
    std::string text;
    if (platform_read_file(path, text)) {
        nlohmann::json parsed = json_parse_or_discarded(text);
        if (parsed.is_discarded())
            clean = false;
        else if (parsed.is_object())
            doc = std::move(parsed);
    } else if (platform_file_exists(path)) {
        clean = false; // there but unreadable (held open by another process, say)
    }
    auto it = doc.find("wallets");
    if (it == doc.end() || !it->is_array()) doc["wallets"] = nlohmann::json::array();
    return clean;
}

nlohmann::json load_wallets_json() {
    nlohmann::json doc;
    read_wallets_json(doc);
    return doc;
}

bool write_data_file(const std::string& path, const std::string& text, bool text_mode) {
    // On Windows a reader that has the file open (the wallet program may read the registry without
    // the lock) makes the move fail until it closes the file, which takes moments.
    // Sibling programs and this program's own threads rewrite the shared files (reserves, tags, the
    // wallet file) without one common lock; each write's own temporary name keeps two writers from
    // filling one temporary file together, and the last complete move wins.
    // This program's own writers of one file take turns: on Windows a move over the file fails
    // while another move reads its access list, and on a busy machine one writer could meet the
    // others at every try. A writer waits for its turn for as long as the one before it takes.
    const std::lock_guard<std::mutex> turn(writer_turn(path));
    return platform_write_file_aside(path, text, text_mode, kReplaceAttempts, [] { clock_sleep_ms(kReplaceRetryMs); });
}

bool set_aside_damaged_file(const std::string& path) {
    const std::string stamp = path + ".damaged-" + std::to_string(clock_system_ms());
    // Two set-asides in one millisecond must both be kept: a taken name gets a number.
    for (int n = 1; n <= kSetAsideNames; ++n) {
        const std::string aside = n == 1 ? stamp : stamp + "-" + std::to_string(n);
        if (platform_file_exists(aside) || !platform_move_file_new(path, aside)) continue;
        emit_log_line("Could not read " + path + "; kept it as " + aside + " and started a new one.\n");
        return true;
    }
    return false;
}

bool save_wallets_json(const nlohmann::json& doc) {
    std::string text;
    try {
        text = doc.dump(2) + "\n";
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    // The registry is written under the cross-process lock, through the one temporary name that
    // the wallet program knows as well.
    return platform_write_file_aside(
        kestrava_data_dir() + kRegistryFile, text, true, kReplaceAttempts, [] { clock_sleep_ms(kReplaceRetryMs); },
        ".tmp");
}

int sweep_stale_tmp_files() {
    return platform_sweep_stale_tmp_files(kestrava_data_dir(), kStaleTmpAgeS);
}

void migrate_legacy_wallet() {
    WalletRegistryLock lock;
    const std::string dir = kestrava_data_dir();
    const std::string legacy = dir + kLegacyWalletFile;
    if (!platform_file_exists(legacy)) return;
    nlohmann::json doc;
    // A registry that did not read cleanly may list wallets this read could not see.
    if (!read_wallets_json(doc) || !doc["wallets"].empty()) return;

    const std::string id = new_wallet_id();
    const std::string folder = dir + "/wallets/" + id;
    platform_make_dirs(folder);
    const std::string target = folder + "/wallet.json";
    bool moved = platform_move_file(legacy, target);
    if (!moved && platform_copy_file(legacy, target)) {
        moved = true;
        platform_remove_file(legacy);
    }
    // Recording "Wallet 1" without its file would stop every later start from migrating it.
    if (!moved) return;

    doc["wallets"].push_back({{"id", id}, {"name", "Wallet 1"}});
    doc["active"] = id;
    if (!save_wallets_json(doc)) {
        // Put the file back so that the next start finds it and tries again.
        if (!platform_file_exists(legacy)) platform_move_file(target, legacy);
    }
}

std::string wallet_file_path_for_id(const std::string& id) {
    if (!is_safe_wallet_id(id)) return std::string();
    return kestrava_data_dir() + "/wallets/" + id + "/wallet.json";
}

std::vector<WalletRegistryEntry> list_wallets() {
    std::vector<WalletRegistryEntry> out;
    WalletRegistryLock lock;
    nlohmann::json doc = load_wallets_json();
    for (const auto& entry : doc["wallets"]) {
        WalletRegistryEntry row;
        row.id = json_text(entry, "id");
        if (row.id.empty()) continue;
        row.name = json_text(entry, "name");
        if (row.name.empty()) row.name = row.id;
        out.push_back(std::move(row));
    }
    return out;
}

std::string wallet_name_for_id(const std::string& id) {
    if (id.empty()) return id;
    for (const auto& row : list_wallets())
        if (row.id == id) return row.name;
    return id;
}

void name_wallet_by_paymail(const std::string& id) {
    if (id.empty()) return;
    std::string alias;
    {
        WalletLock wallet = lock_wallet();
        alias = kv_wallet().paymail;
    }
    if (alias.empty()) return;

    WalletRegistryLock lock;
    nlohmann::json doc;
    if (!read_wallets_json(doc)) return;
    bool changed = false;
    for (auto& entry : doc["wallets"]) {
        if (!entry.is_object() || json_text(entry, "id") != id) continue;
        auto name = entry.find("name");
        if (name != entry.end() && name->is_string() && name->get<std::string>() == alias) continue;
        entry["name"] = alias;
        changed = true;
    }
    if (changed) save_wallets_json(doc);
}

WalletBinding wallet_binding() {
    std::lock_guard<std::mutex> hold(g_binding_mutex);
    return g_binding;
}

void set_wallet_binding(const WalletBinding& binding) {
    std::lock_guard<std::mutex> hold(g_binding_mutex);
    g_binding = binding;
}

void init_wallet_binding(const std::string& instance_key, const std::string& app_name) {
    // Lock order: the wallet mutex first, then the registry lock.
    WalletLock wallet = lock_wallet();
    WalletRegistryLock lock;

    WalletBinding binding;
    binding.app_mode = true;
    binding.app_name = app_name.empty() ? "App" : app_name;
    binding.instance_key = instance_key.empty() ? "." : instance_key;
    set_wallet_binding(binding);

    migrate_legacy_wallet();
    sweep_stale_tmp_files();

    std::string id = read_bind_id(bind_file_path());
    if (id.empty()) {
        const nlohmann::json doc = load_wallets_json();
        const nlohmann::json& wallets = doc["wallets"];
        if (wallets.size() == 1) {
            std::string only = json_text(wallets[0], "id");
            if (is_safe_wallet_id(only)) id = only;
        }
    }
    kv_wallet().wallet_id = id;
    note_wallet_state_changed();
    if (!id.empty()) write_bind_file(binding, id);
}

std::string bind_file_path() {
    const std::string folder = kestrava_data_dir() + "/binds";
    platform_make_dirs(folder);
    return folder + "/" + sanitize_wallet_id(wallet_binding().instance_key) + ".json";
}

std::string bound_wallet_id() {
    if (!wallet_binding().app_mode) {
        WalletLock wallet = lock_wallet();
        return kv_wallet().wallet_id;
    }
    return read_bind_id(bind_file_path());
}

void write_bind(const std::string& id) {
    const WalletBinding binding = wallet_binding();
    if (!binding.app_mode || !is_safe_wallet_id(id)) return;
    {
        WalletLock wallet = lock_wallet();
        kv_wallet().wallet_id = id;
        note_wallet_state_changed();
    }
    write_bind_file(binding, id);
}
