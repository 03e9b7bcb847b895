#include "art/art_folders.h"

#include "art/art_records.h"
#include "platform/fs.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <mutex>

using nlohmann::json;

namespace {

constexpr std::size_t kMaxFolderNameBytes = 48;
constexpr std::size_t kMaxWalletKeyBytes = 64;
constexpr const char* kReadError = "could not read the folder file";
constexpr const char* kWriteError = "could not write the folder file";

// The GUI thread builds this path while a pass or an inscription may hold the wallet mutex for
// long, so it answers from the wallet view instead of waiting.
std::string current_wallet_id() {
    WalletLock lock(kv_wallet_mutex(), std::try_to_lock);
    if (lock.owns_lock()) return kv_wallet().wallet_id;
    return wallet_view().wallet_id;
}

bool is_key_byte(char c) {
    return is_ascii_alnum(c) || c == '-' || c == '_';
}

void take_id_strings(const json& element, const char* key, std::vector<std::string>& out) {
    auto it = element.find(key);
    if (it == element.end() || !it->is_array()) return;
    for (const json& id : *it)
        if (id.is_string()) out.push_back(to_lower_copy(id.get<std::string>()));
}

// The last folder whose name matches without regard to ASCII case, or null.
ArtFolder* find_last_folder(std::vector<ArtFolder>& folders, const std::string& name) {
    const std::string wanted = to_lower_copy(art_trim_copy(name));
    ArtFolder* found = nullptr;
    for (ArtFolder& folder : folders)
        if (to_lower_copy(folder.name) == wanted) found = &folder;
    return found;
}

// True when the list got shorter.
bool erase_id(std::vector<std::string>& ids, const std::string& normalized_id) {
    const std::size_t before = ids.size();
    ids.erase(folder_remove_id(ids.begin(), ids.end(), normalized_id), ids.end());
    return ids.size() != before;
}

std::mutex g_folders_mutex;

std::string save_result(const std::vector<ArtFolder>& folders) {
    std::string error;
    if (!save_art_folders(folders, error)) return "error: " + error;
    return "success";
}

} // namespace

std::string art_folders_wallet_key(const std::string& wallet_id) {
    std::string key = wallet_id;
    for (char& c : key)
        if (!is_key_byte(c)) c = '_';
    if (key.size() > kMaxWalletKeyBytes) key.resize(kMaxWalletKeyBytes);
    return key.empty() ? "none" : key;
}

std::unique_lock<std::mutex> lock_art_folders() {
    return std::unique_lock<std::mutex>(g_folders_mutex);
}

std::string art_folders_path() {
    const std::string dir = kestrava_data_dir() + "/art";
    platform_make_dirs(dir);
    return dir + "/folders_" + art_folders_wallet_key(current_wallet_id()) + ".json";
}

bool load_art_folders(std::vector<ArtFolder>& folders, std::string& error) {
    folders.clear();
    error.clear();
    const std::string path = art_folders_path();
    std::string text;
    if (!platform_read_file(path, text)) {
        // A file that is there but cannot be read (locked, say) must not pass for an empty cabinet,
        // or the next save would wipe the folders it holds.
        if (!platform_file_exists(path)) return true;
        error = kReadError;
        return false;
    }
    const json doc = json_parse_or_discarded(text);
    if (doc.is_discarded() || !doc.is_object()) {
        error = kReadError;
        return false;
    }
    auto list = doc.find("folders");
    if (list == doc.end()) return true;
    if (!list->is_array()) {
        error = kReadError;
        return false;
    }
    for (const json& element : *list) {
        if (!element.is_object()) continue;
        auto name = element.find("name");
        if (name == element.end() || !name->is_string() || name->get_ref<const std::string&>().empty()) continue;
        ArtFolder folder;
        folder.name = name->get<std::string>();
        take_id_strings(element, "certs", folder.certs);
        take_id_strings(element, "arts", folder.arts);
        folders.push_back(std::move(folder));
    }
    return true;
}

bool save_art_folders(const std::vector<ArtFolder>& folders, std::string& error) {
    error.clear();
    json list = json::array();
    for (const ArtFolder& folder : folders)
        list.push_back(json{{"name", folder.name}, {"certs", folder.certs}, {"arts", folder.arts}});
    const std::string text = json{{"folders", std::move(list)}}.dump(2, ' ', false, json::error_handler_t::replace);

    // Written beside the file and moved over it, so a crash or a full disk mid-write never leaves
    // a cut-off folders file that would then refuse to load.
    if (!write_data_file(art_folders_path(), text, false)) {
        error = kWriteError;
        return false;
    }
    return true;
}

std::string art_folder_create(const std::string& name) {
    const std::unique_lock<std::mutex> hold = lock_art_folders();
    const std::string trimmed = art_trim_copy(name);
    if (trimmed.empty() || trimmed.size() > kMaxFolderNameBytes)
        return "error: folder name must be 1 to 48 characters.";
    std::vector<ArtFolder> folders;
    std::string error;
    if (!load_art_folders(folders, error)) return "error: " + error;
    const std::string wanted = to_lower_copy(trimmed);
    for (const ArtFolder& folder : folders)
        if (to_lower_copy(folder.name) == wanted) return "error: that folder already exists.";
    ArtFolder folder;
    folder.name = trimmed;
    folders.push_back(std::move(folder));
    return save_result(folders);
}

std::string art_folder_add(const std::string& folder_name, const std::string& id, bool is_artwork) {
    const std::unique_lock<std::mutex> hold = lock_art_folders();
    const std::string key = norm_txid(id);
    if (key.empty()) return is_artwork ? "error: pick an artwork." : "error: pick a certificate.";
    std::vector<ArtFolder> folders;
    std::string error;
    if (!load_art_folders(folders, error)) return "error: " + error;
    ArtFolder* target = find_last_folder(folders, folder_name);
    if (!target) return "error: no folder by that name.";
    for (ArtFolder& folder : folders) {
        erase_id(folder.certs, key);
        erase_id(folder.arts, key);
    }
    (is_artwork ? target->arts : target->certs).push_back(key);
    return save_result(folders);
}

std::string art_folder_remove(const std::string& folder_name, const std::string& id) {
    const std::unique_lock<std::mutex> hold = lock_art_folders();
    const std::string key = norm_txid(id);
    if (key.empty()) return "error: pick a certificate or an artwork.";
    std::vector<ArtFolder> folders;
    std::string error;
    if (!load_art_folders(folders, error)) return "error: " + error;
    ArtFolder* target = find_last_folder(folders, folder_name);
    if (!target) return "error: no folder by that name.";
    const bool from_certs = erase_id(target->certs, key);
    const bool from_arts = erase_id(target->arts, key);
    if (!from_certs && !from_arts) return "error: that is not in this folder.";
    return save_result(folders);
}

std::vector<std::string>::iterator folder_remove_id(std::vector<std::string>::iterator first,
                                                    std::vector<std::string>::iterator last,
                                                    const std::string& normalized_id) {
    return std::stable_partition(first, last,
                                 [&](const std::string& entry) { return norm_txid(entry) != normalized_id; });
}
