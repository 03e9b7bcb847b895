// A stand-in for the wallet program, for tests only. It works in the data folder that LOCALAPPDATA
// names, as the wallet program does:
//
//   cofferly_standin create <id> <name> hd <mnemonic> [<alias>]   an HD wallet, listed in the registry
//   cofferly_standin create <id> <name> legacy <priv hex>         an older single-key wallet
//   cofferly_standin seal <id> side|lock                          seals it: a ".seal" side file, or a
//                                                                 lock record in place of the file
//   cofferly_standin answer <reply> [--ready <file>] [--wait-ms <n>]
//       waits for a connect request without a reply and answers it; <reply> is one of
//       approve <id> | approve-no-id | deny | malformed | silent. It writes <file> once it waits,
//       and stops waiting when the test removes it; --wait-ms (ten minutes) only bounds a wait
//       whose test died, so a loaded machine makes the answer late, never missing.
//   cofferly_standin                                              as the shell starts it: notes its
//                                                                 working folder in "standin-started.json"
//
// While it answers, it keeps a hidden window of the wallet program's class on Windows. Every file
// it writes is complete from the moment it exists: written aside, then renamed into place.
// Exit codes: 0 done, 1 bad command line or file error, 2 no request came, 3 the request was malformed.

#include "platform/fs.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

#ifdef _WIN32
struct ShellWindow {
    HWND hwnd = nullptr;
    ShellWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KestravaCofferlyShell";
        RegisterClassW(&wc);
        // Never shown: the connect code only has to find it.
        hwnd = CreateWindowExW(0, wc.lpszClassName, L"Cofferly", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, nullptr, nullptr,
                               wc.hInstance, nullptr);
    }
    ~ShellWindow() {
        if (hwnd != nullptr) DestroyWindow(hwnd);
    }
    void pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
};
#else
struct ShellWindow {
    void pump() {}
};
#endif

std::string data_dir() {
    return platform_data_dir_path();
}

// Writes the text under a temporary name and renames it into place.
bool write_whole(const std::string& path, const std::string& text) {
    const fs::path target = fs::u8path(path);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    const fs::path tmp = fs::u8path(path + ".part");
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!(out << text)) return false;
    }
    fs::rename(tmp, target, ec);
    return !ec;
}

bool read_json(const std::string& path, json& doc) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) return false;
    doc = json::parse(in, nullptr, false);
    return !doc.is_discarded();
}

std::string wallet_path(const std::string& id) {
    return data_dir() + "/wallets/" + id + "/wallet.json";
}

// Adds the wallet to "wallets.json", or renames it when it is listed already.
bool list_wallet(const std::string& id, const std::string& name) {
    const std::string path = data_dir() + "/wallets.json";
    json doc;
    if (!read_json(path, doc) || !doc.is_object()) doc = json::object();
    if (!doc["wallets"].is_array()) doc["wallets"] = json::array();
    for (json& entry : doc["wallets"]) {
        if (entry.is_object() && entry.value("id", "") == id) {
            entry["name"] = name;
            return write_whole(path, doc.dump(2) + "\n");
        }
    }
    doc["wallets"].push_back({{"id", id}, {"name", name}});
    return write_whole(path, doc.dump(2) + "\n");
}

int create_wallet(const std::vector<std::string>& args) {
    if (args.size() < 4) return 1;
    const std::string& id = args[0];
    json doc = json::object();
    if (args[2] == "hd") {
        doc = {{"version", 2}, {"mnemonic", args[3]}, {"backup", false}, {"recv", {0, 0, 0, 0, 0, 0}}, {"show", 0}};
        if (args.size() > 4) doc["paymail"] = args[4];
    } else if (args[2] == "legacy") {
        doc = {{"priv", args[3]}};
    } else {
        return 1;
    }
    return write_whole(wallet_path(id), doc.dump(2)) && list_wallet(id, args[1]) ? 0 : 1;
}

// Sealing takes the keys out of the wallet file; what is left cannot be loaded.
int seal_wallet(const std::vector<std::string>& args) {
    if (args.size() != 2) return 1;
    const std::string path = wallet_path(args[0]);
    json doc;
    if (!read_json(path, doc) || !doc.is_object()) return 1;
    const json sealed_blob = "c2VhbGVkIGJ5IHRoZSBzdGFuZC1pbg==";
    if (args[1] == "lock") return write_whole(path, json{{"lock", "KV-LOCK1"}, {"blob", sealed_blob}}.dump(2)) ? 0 : 1;
    if (args[1] != "side") return 1;
    doc.erase("mnemonic");
    doc.erase("priv");
    return write_whole(path + ".seal", json{{"blob", sealed_blob}}.dump(2)) && write_whole(path, doc.dump(2)) ? 0 : 1;
}

// The id of the first request in the "connect" folder that has no reply yet, or "".
std::string pending_request(const std::string& folder) {
    std::error_code ec;
    const std::string suffix = ".req.json";
    for (fs::directory_iterator it(fs::u8path(folder), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().u8string();
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string id = name.substr(0, name.size() - suffix.size());
        if (!fs::exists(fs::u8path(folder + "/" + id + ".rep.json"), ec)) return id;
    }
    return std::string();
}

// A request holds exactly "app", "id", "instance" and "ts", with "id" naming its own file.
bool request_is_well_formed(const std::string& folder, const std::string& id) {
    json doc;
    if (!read_json(folder + "/" + id + ".req.json", doc) || !doc.is_object() || doc.size() != 4) return false;
    return doc.value("id", json()) == json(id) && doc["app"].is_string() && doc["instance"].is_string() &&
           doc["ts"].is_number_integer();
}

int answer(const std::vector<std::string>& args) {
    if (args.empty()) return 1;
    std::string reply_kind = args[0];
    std::string wallet_id;
    std::string ready;
    long wait_ms = 600000;
    std::size_t i = 1;
    if (reply_kind == "approve") {
        if (args.size() < 2) return 1;
        wallet_id = args[1];
        i = 2;
    }
    for (; i + 1 < args.size(); i += 2) {
        if (args[i] == "--ready")
            ready = args[i + 1];
        else if (args[i] == "--wait-ms")
            wait_ms = std::stol(args[i + 1]);
        else
            return 1;
    }

    ShellWindow window;
    if (!ready.empty() && !write_whole(ready, "ready")) return 1;

    const std::string folder = data_dir() + "/connect";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    std::string id;
    while ((id = pending_request(folder)).empty()) {
        std::error_code ec;
        if (std::chrono::steady_clock::now() > deadline || (!ready.empty() && !fs::exists(fs::u8path(ready), ec)))
            return 2;
        window.pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!request_is_well_formed(folder, id)) return 3;

    std::string reply;
    if (reply_kind == "approve")
        reply = json{{"ok", true}, {"wallet_id", wallet_id}}.dump(2);
    else if (reply_kind == "approve-no-id")
        reply = json{{"ok", true}}.dump(2);
    else if (reply_kind == "deny")
        reply = json{{"ok", false}}.dump(2);
    else if (reply_kind == "malformed")
        reply = "{\"ok\": tru";
    else if (reply_kind == "silent")
        return 0;
    else
        return 1;
    return write_whole(folder + "/" + id + ".rep.json", reply) ? 0 : 1;
}

int note_start() {
    const json doc = {{"cwd", fs::current_path().u8string()}};
    return write_whole(data_dir() + "/standin-started.json", doc.dump()) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.empty()) return note_start();
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "create") return create_wallet(args);
        if (command == "seal") return seal_wallet(args);
        if (command == "answer") return answer(args);
    } catch (const std::exception& e) {
        std::cerr << "cofferly_standin: " << e.what() << "\n";
    }
    return 1;
}
