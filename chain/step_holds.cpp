#include "chain/step_holds.h"

#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/step_wallet.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <mutex>

using nlohmann::json;

namespace {

// One bound, in bytes, for the writer and the reader: no honest wallet has tens of thousands of
// steps of unknown fate at once, and a count of rows would hide the newest holds behind old ones.
constexpr std::size_t kMaxStepsFileBytes = 8u << 20;
// Times this program wrote lie between 1970 and the year 3000; a row past them is not its own,
// and its age could not be reckoned without overflowing.
constexpr std::int64_t kLastSaneMs = 32503680000000LL;

// Said once a damaged file is set aside: the steps wait only for what a Refresh settles, which with
// no payment of unknown fate is the next Refresh itself.
const char* const kSetAsideNotice = "error: the list of held steps was damaged; it is kept aside and a new one "
                                    "started. No step that pays goes out until a Refresh has settled every payment "
                                    "whose fate is not known.";
const char* const kStuckNotice = "error: the list of held steps is damaged and could not be moved aside; it is "
                                 "left as it is. Every step that pays waits until it is mended.";

std::mutex g_path_mutex;
std::string g_path; // guarded by g_path_mutex
// A file lock keeps processes apart; on POSIX it does not keep two threads of one process apart,
// so every change of the file also holds this.
std::mutex g_file_mutex;
std::mutex g_notice_mutex;
std::string g_notice; // guarded by g_notice_mutex
// Holds this process took that could not be written, by the file they belong in: every step that
// pays waits until they are.
std::mutex g_unwritten_mutex;
std::vector<std::pair<std::string, StepHold>> g_unwritten; // guarded by g_unwritten_mutex

std::string known_path() {
    std::lock_guard<std::mutex> guard(g_path_mutex);
    return g_path;
}

struct StepsFile {
    std::vector<StepHold> rows;
    bool redated = false;  // a row dated past now was dated now: the file is to be written so
    bool all_held = false; // a damaged file was set aside: every step waits
    // With all_held, once the unsettled transactions were first seen: those that may have had rows in
    // the file set aside. The hold of every step ends when none of them is held any longer.
    bool waiting_known = false;
    std::vector<std::string> waiting_on;
};

bool read_row(const json& entry, std::int64_t now, StepHold& row) {
    if (!entry.is_object()) return false;
    const auto at = entry.find("at");
    const auto sent = entry.find("sent");
    if (!json_optional_text(entry, "step", row.step) || !json_optional_text(entry, "subject", row.subject) ||
        !json_optional_text(entry, "txid", row.txid) || !json_optional_text(entry, "terms", row.terms) ||
        !json_optional_text(entry, "unasked", row.unasked) || row.step.empty() || !is_txid_hex(row.txid) ||
        at == entry.end() || !at->is_number_integer() || (sent != entry.end() && !sent->is_boolean()))
        return false;
    row.at_ms = at->get<std::int64_t>();
    row.sent = sent != entry.end() && sent->get<bool>();
    return row.at_ms >= 0 && row.at_ms <= kLastSaneMs;
}

// A row written while the clock ran ahead would be kept, or hold its step, until the clock caught
// up: it is dated now.
void date_no_later_than(std::int64_t now, StepHold& row, bool& redated) {
    if (row.at_ms <= now) return;
    row.at_ms = now;
    redated = true;
}

// False when the file is there and does not read whole: a row skipped could be a hold.
bool read_rows(const std::string& path, StepsFile& file) {
    file = StepsFile();
    if (path.empty() || !platform_file_exists(path)) return true;
    std::string text;
    if (!platform_read_file(path, text) || text.size() > kMaxStepsFileBytes) return false;
    const json doc = json_parse_or_discarded(text);
    const auto list = doc.is_object() ? doc.find("steps") : doc.end();
    const auto all = doc.is_object() ? doc.find("all_held") : doc.end();
    if (!doc.is_object() || list == doc.end() || !list->is_array() || (all != doc.end() && !all->is_boolean()))
        return false;
    file.all_held = all != doc.end() && all->get<bool>();
    const auto waiting = doc.find("waiting_on");
    if (waiting != doc.end()) {
        if (!waiting->is_array()) return false;
        file.waiting_known = true;
        for (const json& txid : *waiting) {
            if (!txid.is_string() || !is_txid_hex(txid.get_ref<const std::string&>())) return false;
            file.waiting_on.push_back(txid.get<std::string>());
        }
    }
    const std::int64_t now = clock_system_ms();
    for (const json& entry : *list) {
        StepHold row;
        if (!read_row(entry, now, row)) return false;
        date_no_later_than(now, row, file.redated);
        file.rows.push_back(std::move(row));
    }
    return true;
}

bool write_rows(const std::string& path, const StepsFile& file) {
    json list = json::array();
    for (const StepHold& row : file.rows) {
        json entry{
            {"step", row.step}, {"subject", row.subject}, {"txid", row.txid}, {"at", row.at_ms}, {"sent", row.sent}};
        if (!row.terms.empty()) entry["terms"] = row.terms;
        if (!row.unasked.empty()) entry["unasked"] = row.unasked;
        list.push_back(std::move(entry));
    }
    json doc{{"steps", std::move(list)}};
    if (file.all_held) doc["all_held"] = true;
    if (file.all_held && file.waiting_known) doc["waiting_on"] = file.waiting_on;
    std::string text;
    try {
        text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return false;
    }
    // A file the loader would refuse is never written: the holds on disk stay as they are.
    return text.size() <= kMaxStepsFileBytes && write_data_file(path, text, false);
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

// A damaged file is kept aside, the user told, and a new one started that holds every step until
// no transaction of unknown fate is left; false when it could not be moved.
bool set_aside_steps_file(const std::string& path, StepsFile& file) {
    const bool moved = set_aside_damaged_file(path);
    const char* notice = moved ? kSetAsideNotice : kStuckNotice;
    {
        std::lock_guard<std::mutex> guard(g_notice_mutex);
        g_notice = notice;
    }
    emit_status_event(kCofferlyTag, "error", notice);
    file = StepsFile();
    file.all_held = true;
    return moved;
}

// Reads the file, lets `change` edit it and writes it back, all under the file's lock and the
// mutex beside it, so that the holds of two processes and of two threads all stay.
template <typename Change> bool change_rows_at(const std::string& path, Change change) {
    if (path.empty()) return false;
    std::lock_guard<std::mutex> guard(g_file_mutex);
    // Without the lock another process's holds could be lost: the file is neither read for a change
    // nor written.
    const SharedFileLock locked(path);
    if (!locked.taken()) return false;
    StepsFile file;
    bool readable = read_rows(path, file);
    const bool damaged = !readable;
    if (damaged) readable = set_aside_steps_file(path, file);
    bool written = false;
    if (readable) {
        // Compared this way round, no sane time can overflow.
        const std::int64_t oldest = clock_system_ms() - kSentStepKeepMs;
        auto& rows = file.rows;
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [&](const StepHold& row) { return row.sent && row.at_ms < oldest; }),
                   rows.end());
        const bool changed = change(file) || file.redated;
        written = (!changed && !damaged) || write_rows(path, file);
    }
    return written;
}

template <typename Change> bool change_rows(Change change) {
    return change_rows_at(step_holds_path(), change);
}

StepHold all_held_row(bool set_aside) {
    StepHold row;
    row.all_held = true;
    row.set_aside = set_aside;
    return row;
}

void put_row(std::vector<StepHold>& rows, StepHold row) {
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const StepHold& kept) { return same_key(kept, row.step, row.subject); }),
               rows.end());
    rows.push_back(std::move(row));
}

// Writes the holds of the file that could not be written before; false while some still cannot be.
bool write_unwritten(const std::string& path) {
    std::vector<StepHold> rows;
    {
        std::lock_guard<std::mutex> guard(g_unwritten_mutex);
        for (const auto& entry : g_unwritten)
            if (entry.first == path) rows.push_back(entry.second);
    }
    if (rows.empty()) return true;
    const bool written = change_rows_at(path, [&](StepsFile& file) {
        for (const StepHold& row : rows)
            put_row(file.rows, row);
        return true;
    });
    if (!written) return false;
    std::lock_guard<std::mutex> guard(g_unwritten_mutex);
    g_unwritten.erase(
        std::remove_if(g_unwritten.begin(), g_unwritten.end(), [&](const auto& entry) { return entry.first == path; }),
        g_unwritten.end());
    return true;
}

// The path of the steps file of a wallet whose files are named by `stem`; "" for none.
std::string steps_path_of(const std::string& stem) {
    if (stem.empty() || stem == "wallet") return std::string();
    return kestrava_data_dir() + "/ord_snap/" + stem + "_steps.json";
}

// The file a step of this thread files its holds in, else the loaded wallet's; never waits for
// the wallet mutex outside a step.
std::string reading_path() {
    return step_wallet_bound() ? step_holds_path() : known_path();
}

} // namespace

std::string step_holds_path() {
    return steps_path_of(step_wallet_stem());
}

void note_step_holds_path(const std::string& path) {
    {
        std::lock_guard<std::mutex> guard(g_path_mutex);
        if (g_path == path) return;
        g_path = path;
    }
    // A file damaged while the program was closed is told when its wallet is first loaded, not at
    // the first step or Refresh that reads it.
    StepsFile file;
    if (!read_rows(path, file)) change_rows_at(path, [](StepsFile&) { return false; });
}

namespace {

StepHold hold_row(const std::string& step, const std::string& subject, const std::string& txid, bool sent,
                  const std::string& terms) {
    StepHold row;
    row.step = step;
    row.subject = subject_key(subject);
    row.txid = to_lower_copy(txid);
    row.at_ms = clock_system_ms();
    row.sent = sent;
    row.terms = terms;
    return row;
}

bool write_hold(const std::string& path, const StepHold& row) {
    return change_rows_at(path, [&](StepsFile& file) {
        put_row(file.rows, row);
        return true;
    });
}

} // namespace

bool hold_step(const std::string& step, const std::string& subject, const std::string& txid, bool sent,
               const std::string& terms) {
    StepHold row = hold_row(step, subject, txid, sent, terms);
    const std::string path = step_holds_path();
    if (write_hold(path, row)) return true;
    // Kept in memory, so that no step of this process pays again meanwhile, and written by the
    // next step that comes by.
    if (!path.empty()) {
        std::lock_guard<std::mutex> guard(g_unwritten_mutex);
        g_unwritten.emplace_back(path, std::move(row));
    }
    return false;
}

void forget_unwritten_holds() {
    std::lock_guard<std::mutex> guard(g_unwritten_mutex);
    g_unwritten.clear();
}

bool hold_step_ahead(const std::string& txid) {
    StepSubject named;
    if (!named_step_subject(named)) return true;
    return write_hold(step_holds_path(), hold_row(named.step, named.subject, txid, false, named.terms));
}

void end_step_hold_ahead(const std::string& txid, bool sent) {
    StepSubject named;
    if (!named_step_subject(named)) return;
    const std::string own = to_lower_copy(txid);
    change_rows([&](StepsFile& file) {
        auto& rows = file.rows;
        const auto ahead = std::find_if(rows.begin(), rows.end(), [&](const StepHold& row) {
            return same_key(row, named.step, named.subject) && row.txid == own && !row.sent;
        });
        if (ahead == rows.end()) return false;
        if (sent && named.keep_sent) {
            ahead->sent = true;
            ahead->at_ms = clock_system_ms();
        } else {
            rows.erase(ahead);
        }
        return true;
    });
}

bool forget_step(const std::string& step, const std::string& subject) {
    return change_rows([&](StepsFile& file) {
        auto& rows = file.rows;
        const std::size_t before = rows.size();
        rows.erase(
            std::remove_if(rows.begin(), rows.end(), [&](const StepHold& row) { return same_key(row, step, subject); }),
            rows.end());
        return rows.size() != before;
    });
}

void resolve_held_steps(const std::vector<std::string>& sent, const std::vector<std::string>& not_sent) {
    if (sent.empty() && not_sent.empty()) return;
    const std::int64_t now = clock_system_ms();
    {
        // A hold not written yet ends as one on file does.
        std::lock_guard<std::mutex> guard(g_unwritten_mutex);
        const auto named = [](const std::vector<std::string>& list, const StepHold& row) {
            return std::find(list.begin(), list.end(), row.txid) != list.end();
        };
        g_unwritten.erase(
            std::remove_if(g_unwritten.begin(), g_unwritten.end(),
                           [&](const auto& entry) { return !entry.second.sent && named(not_sent, entry.second); }),
            g_unwritten.end());
        for (auto& entry : g_unwritten)
            if (!entry.second.sent && named(sent, entry.second)) {
                entry.second.sent = true;
                entry.second.at_ms = now;
            }
    }
    change_rows([&](StepsFile& file) {
        auto& rows = file.rows;
        bool changed = false;
        for (StepHold& row : rows) {
            if (row.sent || std::find(sent.begin(), sent.end(), row.txid) == sent.end()) continue;
            row.sent = true;
            row.at_ms = now;
            row.unasked.clear();
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

void note_unasked_services(const std::vector<std::pair<std::string, std::string>>& unasked) {
    if (unasked.empty()) return;
    change_rows([&](StepsFile& file) {
        bool changed = false;
        for (StepHold& row : file.rows) {
            for (const auto& entry : unasked) {
                if (row.sent || row.txid != entry.first || row.unasked == entry.second) continue;
                row.unasked = entry.second;
                changed = true;
            }
        }
        return changed;
    });
}

void end_hold_of_all_steps(const std::vector<std::string>& held) {
    // Read first without the lock: nearly always there is nothing to end.
    StepsFile file;
    if (read_rows(step_holds_path(), file) && !file.all_held) return;
    change_rows([&](StepsFile& kept) {
        if (!kept.all_held) return false;
        const std::size_t before = kept.waiting_on.size();
        if (!kept.waiting_known) {
            kept.waiting_known = true;
            kept.waiting_on = held;
        } else {
            auto& waiting = kept.waiting_on;
            waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                         [&](const std::string& txid) {
                                             return std::find(held.begin(), held.end(), txid) == held.end();
                                         }),
                          waiting.end());
        }
        if (kept.waiting_on.empty()) {
            kept.all_held = false;
            kept.waiting_known = false;
        }
        return !kept.all_held || kept.waiting_on.size() != before || before == 0;
    });
}

bool step_hold_of(const std::string& step, const std::string& subject, StepHold& row) {
    const std::string path = reading_path();
    if (!write_unwritten(path)) {
        row = StepHold();
        row.all_held = true;
        row.unwritten = true;
        return true;
    }
    // The file is replaced whole in one step: a read without the lock sees one version or the
    // other, yet a read can fail while it is replaced on some systems. Only a read under the lock
    // that fails too finds it damaged; it is then set aside at once rather than at the next write,
    // which may follow a step that paid twice.
    StepsFile file;
    if (!read_rows(path, file) || file.redated) {
        bool read = false;
        change_rows_at(path, [&](StepsFile& locked) {
            file = locked;
            read = true;
            return false;
        });
        if (!read) {
            row = all_held_row(false);
            return true;
        }
    }
    if (file.all_held) {
        row = all_held_row(true);
        return true;
    }
    const std::int64_t oldest = clock_system_ms() - kSentStepKeepMs;
    for (const StepHold& candidate : file.rows) {
        if (!same_key(candidate, step, subject) || (candidate.sent && candidate.at_ms < oldest)) continue;
        row = candidate;
        return true;
    }
    return false;
}

std::string take_steps_file_notice() {
    std::lock_guard<std::mutex> guard(g_notice_mutex);
    std::string notice;
    notice.swap(g_notice);
    return notice;
}
