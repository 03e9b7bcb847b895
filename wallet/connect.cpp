#include "wallet/connect.h"

#include "platform/fs.h"
#include "platform/wallet_program.h"
#include "wallet/clock.h"
#include "wallet/identity_services.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

using nlohmann::json;

namespace {

constexpr std::int64_t kPollIntervalMs = 500;
constexpr int kPollLimit = 120;
// The sweep of this instance's leftover requests looks at no more entries of the folder than this.
constexpr int kSweepLimit = 512;
constexpr const char* kRequestSuffix = ".req.json";

std::string connect_dir() {
    return kestrava_data_dir() + "/connect";
}

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// Joins with the separator the folder already uses, so a Windows path stays all backslashes.
std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (is_separator(folder.back())) return folder + name;
    const char sep = folder.find('\\') != std::string::npos ? '\\' : '/';
    return folder + sep + name;
}

// The folder above `folder`; "" when there is none (a bare name or a drive root).
std::string parent_folder(std::string folder) {
    while (folder.size() > 1 && is_separator(folder.back()))
        folder.pop_back();
    const std::size_t cut = folder.find_last_of("/\\");
    if (cut == std::string::npos || cut + 1 == folder.size()) return std::string();
    // Keep the separator of a root: "/" or "C:\".
    if (cut == 0 || folder[cut - 1] == ':') return folder.substr(0, cut + 1);
    return folder.substr(0, cut);
}

std::string reply_text(const std::string& request_id, bool& exists) {
    const std::string path = connect_dir() + "/" + request_id + ".rep.json";
    exists = platform_file_exists(path);
    std::string text;
    if (exists && !platform_read_file(path, text)) text.clear();
    return text;
}

void remove_connect_files(const std::string& request_id) {
    const std::string base = connect_dir() + "/" + request_id;
    platform_remove_file(base + kRequestSuffix);
    platform_remove_file(base + ".rep.json");
}

// Removes the request and reply files of a connect when it ends in any way, so the wallet program
// never lists, or answers, a request nobody waits for any more.
struct ConnectFiles {
    std::string request_id;
    explicit ConnectFiles(std::string id) : request_id(std::move(id)) {}
    ConnectFiles(const ConnectFiles&) = delete;
    ConnectFiles& operator=(const ConnectFiles&) = delete;
    ~ConnectFiles() {
        if (!request_id.empty()) remove_connect_files(request_id);
    }
};

// Requests this instance left behind (a crash or a kill mid-connect) are removed before a new one
// is written; other programs' requests stay.
void sweep_own_requests(const std::string& folder, const std::string& instance_key) {
    namespace fs = std::filesystem;
    const std::string suffix = kRequestSuffix;
    std::vector<std::string> stale;
    std::error_code ec;
    int seen = 0;
    for (fs::directory_iterator it(fs::u8path(folder), ec), end; !ec && it != end && seen < kSweepLimit;
         it.increment(ec), ++seen) {
        const std::string name = it->path().filename().u8string();
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string id = name.substr(0, name.size() - suffix.size());
        std::string text;
        if (!is_safe_wallet_id(id) || !platform_read_file(folder + "/" + name, text)) continue;
        const json request = json_parse_or_discarded(text);
        if (!request.is_object()) continue;
        auto instance = request.find("instance");
        if (instance != request.end() && instance->is_string() &&
            instance->get_ref<const std::string&>() == instance_key)
            stale.push_back(id);
    }
    for (const std::string& id : stale)
        remove_connect_files(id);
}

} // namespace

std::string write_connect_request() {
    const WalletBinding binding = wallet_binding();
    if (!binding.app_mode) return std::string();
    const std::string folder = connect_dir();
    platform_make_dirs(folder);
    sweep_own_requests(folder, binding.instance_key);

    const std::string id = new_wallet_id();
    json request = json::object();
    request["id"] = id;
    request["app"] = binding.app_name;
    request["instance"] = binding.instance_key;
    request["ts"] = clock_system_ms() / 1000;
    const std::string text = request.dump(2, ' ', false, json::error_handler_t::replace);

    // Written aside and moved into place, so the wallet program never reads half a request; a
    // request that did not reach the disk whole is reported rather than waited on for a minute.
    const std::string path = folder + "/" + id + kRequestSuffix;
    if (!platform_write_file_aside(path, text, true)) return std::string();
    return id;
}

std::string poll_connect_reply(const std::string& request_id) {
    // The id becomes part of a path; one that could leave the "connect" folder names no request.
    if (!is_safe_wallet_id(request_id)) return "denied";
    bool exists = false;
    const std::string text = reply_text(request_id, exists);
    if (!exists) return "pending";

    const json reply = json_parse_or_discarded(text);
    if (!reply.is_object()) return "denied";
    auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_boolean() || !ok->get<bool>()) return "denied";

    std::string wallet_id;
    auto id = reply.find("wallet_id");
    if (id != reply.end()) {
        if (!id->is_string()) return "denied";
        wallet_id = id->get<std::string>();
    }
    if (wallet_id.empty()) return "ok";
    // An approval that names no usable wallet folder is no approval: binding nothing would let
    // the connect go on with the wallet that was bound before.
    if (!is_safe_wallet_id(wallet_id)) return "denied";
    write_bind(wallet_id);
    return "ok";
}

std::string wallet_program_candidate(const std::string& program_dir) {
    const std::string name = wallet_program_file_name();
    const std::string here = join_path(program_dir, name);
    if (platform_file_exists(here)) return here;
    const std::string above = parent_folder(program_dir);
    if (above.empty()) return std::string();
    const std::string there = join_path(above, name);
    return platform_file_exists(there) ? there : std::string();
}

bool launch_or_focus_cofferly_from(const std::string& program_dir) {
    if (raise_wallet_program_window()) return true;
    const std::string exe = wallet_program_candidate(program_dir);
    if (exe.empty()) return false;
    // From the folder above too, the wallet program runs in this program's folder.
    return start_wallet_program(exe, program_dir);
}

bool launch_or_focus_cofferly() {
    return launch_or_focus_cofferly_from(platform_program_dir());
}

std::string parked_dir() {
    const std::string dir = kestrava_data_dir() + "/parked";
    platform_make_dirs(dir);
    return dir;
}

std::string connect_cofferly() {
    if (!wallet_binding().app_mode) return emit_cofferly_error("error: connect is for apps, not the Cofferly vault.");

    {
        WalletLock lock = lock_wallet();
        const bool loaded = !kv_wallet().wallet_id.empty() && load_wallet();
        note_wallet_state_changed();
        // An older single-key wallet loads, but the rest of the program does not count it as
        // connected; answering "success" for it would leave the user with nothing that works.
        if (loaded && kv_wallet().is_hd) {
            announce_wallet_paymail();
            return "success";
        }
    }

    const std::string request_id = write_connect_request();
    if (request_id.empty()) return emit_cofferly_error("error: could not write connect request.");
    const ConnectFiles files(request_id);
    // Not found and not started: the user may still start the wallet program by hand in time.
    launch_or_focus_cofferly();
    emit_status_event(kCofferlyTag, "connect-pending", "Approve the connect in Cofferly.");
    emit_log_line("Waiting for Cofferly to approve this app...\n");

    // Each poll runs under the wallet mutex, and an approval keeps it: the bind that the poll
    // writes and the clearing of the previous wallet's keys happen in one hold, so no other
    // thread sees the new wallet id with the old wallet's keys still loaded.
    WalletLock hold(kv_wallet_mutex(), std::defer_lock);
    bool approved = false;
    for (int poll = 0; poll < kPollLimit; ++poll) {
        clock_sleep_ms(kPollIntervalMs);
        hold.lock();
        const std::string outcome = poll_connect_reply(request_id);
        if (outcome == "ok") {
            approved = true;
            break;
        }
        hold.unlock();
        if (outcome == "denied") {
            emit_status_event(kCofferlyTag, "connect-denied", "denied");
            return emit_cofferly_error("error: connect denied in Cofferly.");
        }
    }
    if (!approved) {
        emit_status_event(kCofferlyTag, "connect-denied", "timeout");
        return emit_cofferly_error("error: Cofferly did not approve in time. Open Cofferly.exe and try Connect again.");
    }

    clear_wallet_session();
    const bool loaded = load_wallet();
    note_wallet_state_changed();
    if (!loaded) {
        if (is_wallet_sealed()) return emit_cofferly_error("error: This wallet is locked. Open it in Cofferly.");
        return emit_cofferly_error("error: approved, but the wallet would not load.");
    }
    if (!kv_wallet().is_hd)
        return emit_cofferly_error("error: approved, but this older single-key wallet cannot be used here.");
    announce_wallet_paymail();
    const std::string name = wallet_name_for_id(kv_wallet().wallet_id);
    emit_log_line("Connected to Cofferly wallet " + name + "\n");
    return "success";
}
