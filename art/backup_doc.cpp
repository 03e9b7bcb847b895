#include "art/backup_doc.h"

#include "art/art_folders.h"
#include "art/art_records.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

using nlohmann::json;

namespace {

constexpr const char* kBackupVersion = "0.001";
constexpr const char* kNotConnected = "error: Connect Cofferly first.";
constexpr const char* kNotABackup = "error: that file is not an Corvane backup.";

// "%Y-%m-%dT%H:%M:%SZ" of the clock seam's time, by the civil-from-days reckoning, so the same text
// comes out on every platform whatever its time_t.
std::string utc_timestamp_text(std::int64_t unix_ms) {
    const std::int64_t seconds = unix_ms / 1000;
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buffer[48] = {};
    std::snprintf(buffer, sizeof(buffer),
                  "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "T%02" PRId64 ":%02" PRId64 ":%02" PRId64 "Z", year, month,
                  day, rest / 3600, rest / 60 % 60, rest % 60);
    return buffer;
}

std::string current_wallet_name() {
    std::string id;
    {
        WalletLock lock(kv_wallet_mutex(), std::try_to_lock);
        id = lock.owns_lock() ? kv_wallet().wallet_id : wallet_view().wallet_id;
    }
    return id.empty() ? std::string() : wallet_name_for_id(id);
}

} // namespace

std::string art_backup_json() {
    if (!is_cofferly_connected()) return kNotConnected;
    std::vector<ArtFolder> folders;
    std::string error;
    if (!load_art_folders(folders, error)) return "error: " + error;
    json list = json::array();
    for (const ArtFolder& folder : folders)
        list.push_back(json{{"name", folder.name}, {"certs", folder.certs}, {"arts", folder.arts}});
    const json doc = {{"app", kBackupAppName},
                      {"version", kBackupVersion},
                      {"wallet", current_wallet_name()},
                      {"date", utc_timestamp_text(clock_system_ms())},
                      {"folders", std::move(list)}};
    return doc.dump(2, ' ', false, json::error_handler_t::replace);
}

void merge_id_array(const json& source, const char* key, std::vector<std::string>& target,
                    std::unordered_set<std::string>& seen, std::size_t& added) {
    if (!source.is_object()) return;
    auto it = source.find(key);
    if (it == source.end() || !it->is_array()) return;
    for (const json& element : *it) {
        if (!element.is_string()) continue;
        std::string id = to_lower_copy(element.get<std::string>());
        if (id.empty() || !seen.insert(id).second) continue;
        target.push_back(std::move(id));
        ++added;
    }
}

void merge_id_array(const json& source, const char* key, std::vector<std::string>& target, std::size_t& added) {
    std::unordered_set<std::string> seen(target.begin(), target.end());
    merge_id_array(source, key, target, seen, added);
}

std::string art_restore_backup(const std::string& document) {
    if (!is_cofferly_connected()) return kNotConnected;
    const json doc = json_parse_or_discarded(document);
    if (doc.is_discarded() || !doc.is_object()) return kNotABackup;
    auto app = doc.find("app");
    if (app == doc.end() || !app->is_string() || app->get_ref<const std::string&>() != kBackupAppName)
        return kNotABackup;
    auto source = doc.find("folders");
    if (source == doc.end() || !source->is_array()) return kNotABackup;

    const std::unique_lock<std::mutex> hold = lock_art_folders();
    std::vector<ArtFolder> folders;
    std::string error;
    if (!load_art_folders(folders, error)) return "error: " + error;

    // Folders by lower-cased name (the first of a name wins, as a search from the front would find)
    // and the ids each already holds, so a restore costs one look-up per id however large the folder.
    struct Seen {
        std::unordered_set<std::string> certs, arts;
    };
    std::unordered_map<std::string, std::size_t> by_name;
    std::vector<Seen> seen(folders.size());
    for (std::size_t i = 0; i < folders.size(); ++i) {
        by_name.emplace(to_lower_copy(folders[i].name), i);
        seen[i].certs.insert(folders[i].certs.begin(), folders[i].certs.end());
        seen[i].arts.insert(folders[i].arts.begin(), folders[i].arts.end());
    }

    std::size_t new_folders = 0;
    std::size_t new_ids = 0;
    for (const json& element : *source) {
        if (!element.is_object()) continue;
        auto name_member = element.find("name");
        // A name of another type is skipped like an empty one rather than guessed at.
        if (name_member != element.end() && !name_member->is_string()) continue;
        const std::string name = art_trim_copy(json_text(element, "name"));
        if (name.empty()) continue;
        auto found = by_name.emplace(to_lower_copy(name), folders.size());
        if (found.second) {
            ArtFolder folder;
            folder.name = name;
            folders.push_back(std::move(folder));
            seen.emplace_back();
            ++new_folders;
        }
        const std::size_t at = found.first->second;
        merge_id_array(element, "certs", folders[at].certs, seen[at].certs, new_ids);
        merge_id_array(element, "arts", folders[at].arts, seen[at].arts, new_ids);
    }
    if (!save_art_folders(folders, error)) return "error: " + error;
    return "success: restored " + std::to_string(new_folders) + " folder(s) and " + std::to_string(new_ids) +
           " filing(s).";
}
