#include "chain/step_holds.h"

#include "chain/coin_snapshots.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <mutex>

using nlohmann::json;

namespace {

// No honest wallet has this many steps of unknown fate at once; a longer file is not this
// program's and is read no further.
constexpr std::size_t kMaxStepRows = 1000;

std::mutex g_path_mutex;
std::string g_path; // guarded by g_path_mutex

std::string known_path() {
    std::lock_guard<std::mutex> guard(g_path_mutex);
    return g_path;
}

std::vector<StepHold> read_rows(const std::string& path, bool& readable) {
    std::vector<StepHold> rows;
    readable = true;
    if (path.empty() || !platform_file_exists(path)) return rows;
    std::string text;
    json doc(json::value_t::discarded);
    if (platform_read_file(path, text)) doc = json_parse_or_discarded(text);
    const auto list = doc.is_object() ? doc.find("steps") : doc.end();
    if (!doc.is_object() || list == doc.end() || !list->is_array()) {
        readable = false;
        return rows;
    }
    for (const json& entry : *list) {
        if (rows.size() >= kMaxStepRows) break;
        StepHold row;
        const auto at = entry.is_object() ? entry.find("at") : entry.end();
        const auto sent = entry.is_object() ? entry.find("sent") : entry.end();
        if (!entry.is_object() || !json_optional_text(entry, "step", row.step) ||
            !json_optional_text(entry, "subject", row.subject) || !json_optional_text(entry, "txid", row.txid) ||
            row.step.empty() || row.txid.size() != 64 || at == entry.end() || !at->is_number_integer())
            continue;
        row.at_ms = at->get<std::int64_t>();
        row.sent = sent != entry.end() && sent->is_boolean() && sent->get<bool>();
        rows.push_back(std::move(row));
    }
    return rows;
}

bool write_rows(const std::string& path, const std::vector<StepHold>& rows) {
    json list = json::array();
    for (const StepHold& row : rows)
        list.push_back(
            {{"step", row.step}, {"subject", row.subject}, {"txid", row.txid}, {"at", row.at_ms}, {"sent", row.sent}});
    std::string text;
    try {
        text = json{{"steps", std::move(list)}}.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return false;
    }
    return write_data_file(path, text, false);
}

// One artwork has one subject however a caller spells its id: case ignored, and a bare
// transaction id standing for its output 0.
std::string subject_key(const std::string& subject) {
    std::string key = to_lower_copy(subject);
    if (key.size() == 66 && key.compare(64, 2, "_0") == 0) key.resize(64);
    return key;
}

bool same_key(const StepHold& row, const std::string& step, const std::string& subject) {
    return row.step == step && subject_key(row.subject) == subject_key(subject);
}

// Reads the file, lets `change` edit the rows and writes them back, all under the file's lock, so
// that two processes' holds both stay. A file that does not read is left as it is.
template <typename Change> bool change_rows(Change change) {
    const std::string path = step_holds_path();
    if (path.empty()) return false;
    platform_make_dirs(path.substr(0, path.find_last_of('/')));
    FileLock lock;
    file_lock_acquire(path + ".lock", lock);
    bool readable = true;
    std::vector<StepHold> rows = read_rows(path, readable);
    // A damaged file is kept aside and a new one started, rather than blocking every step for ever.
    if (!readable) readable = set_aside_damaged_file(path);
    bool written = false;
    if (readable) {
        const std::int64_t now = clock_system_ms();
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [&](const StepHold& row) { return row.sent && now - row.at_ms > kSentStepKeepMs; }),
                   rows.end());
        written = !change(rows) || write_rows(path, rows);
    }
    file_lock_release(lock);
    return written;
}

} // namespace

std::string step_holds_path() {
    const std::string stem = wallet_file_stem();
    if (stem.empty() || stem == "wallet") return std::string();
    return kestrava_data_dir() + "/ord_snap/" + stem + "_steps.json";
}

void note_step_holds_path(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_path_mutex);
    g_path = path;
}

bool hold_step(const std::string& step, const std::string& subject, const std::string& txid, bool sent) {
    return change_rows([&](std::vector<StepHold>& rows) {
        rows.erase(
            std::remove_if(rows.begin(), rows.end(), [&](const StepHold& row) { return same_key(row, step, subject); }),
            rows.end());
        StepHold row;
        row.step = step;
        row.subject = subject_key(subject);
        row.txid = to_lower_copy(txid);
        row.at_ms = clock_system_ms();
        row.sent = sent;
        rows.push_back(std::move(row));
        return true;
    });
}

bool forget_step(const std::string& step, const std::string& subject) {
    return change_rows([&](std::vector<StepHold>& rows) {
        const std::size_t before = rows.size();
        rows.erase(
            std::remove_if(rows.begin(), rows.end(), [&](const StepHold& row) { return same_key(row, step, subject); }),
            rows.end());
        return rows.size() != before;
    });
}

void resolve_held_steps(const std::vector<std::string>& sent, const std::vector<std::string>& not_sent) {
    if (sent.empty() && not_sent.empty()) return;
    change_rows([&](std::vector<StepHold>& rows) {
        bool changed = false;
        const std::int64_t now = clock_system_ms();
        for (StepHold& row : rows) {
            if (row.sent || std::find(sent.begin(), sent.end(), row.txid) == sent.end()) continue;
            row.sent = true;
            row.at_ms = now;
            changed = true;
        }
        const std::size_t before = rows.size();
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [&](const StepHold& row) {
                                      return !row.sent &&
                                             std::find(not_sent.begin(), not_sent.end(), row.txid) != not_sent.end();
                                  }),
                   rows.end());
        return changed || rows.size() != before;
    });
}

bool step_hold_of(const std::string& step, const std::string& subject, StepHold& row) {
    // The file is replaced whole in one step: a read without the lock sees one version or the other.
    bool readable = true;
    const std::vector<StepHold> rows = read_rows(known_path(), readable);
    const std::int64_t now = clock_system_ms();
    for (const StepHold& candidate : rows) {
        if (!same_key(candidate, step, subject) || (candidate.sent && now - candidate.at_ms > kSentStepKeepMs))
            continue;
        row = candidate;
        return true;
    }
    return false;
}
