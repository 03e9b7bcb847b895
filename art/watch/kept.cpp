#include "art/watch/kept.h"

#include "art/watch/record_checks.h"

#include "chain/outpoints.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"

#include <algorithm>
#include <limits>
#include <tuple>

using json = nlohmann::json;

namespace {

constexpr int kFileVersion = 2;
// What a record, a note or a range adds to the file besides its own texts.
constexpr std::size_t kEntryOverhead = 96;
// The earlier form of the file (every payment's transaction, no ranges) was written up to this
// bound; such a file is read once for its notes.
constexpr std::size_t kEarlierFileBytes = std::size_t(64) << 20;
// A record kept before records carried a time: older than any removal.
constexpr std::int64_t kUntimed = 1;

// The blocks from `height` on are no longer read whole (a record kept from them went or failed).
void cut_ranges_from(WatchKept& kept, std::int64_t height) {
    std::vector<KeptRange> left;
    for (const KeptRange& range : kept.ranges) {
        if (range.from >= height) continue;
        left.push_back({range.from, std::min(range.to, height - 1)});
    }
    kept.ranges = std::move(left);
}

// The blocks up to `height` are no longer read whole (the oldest records went to keep the bound).
void cut_ranges_to(WatchKept& kept, std::int64_t height) {
    std::vector<KeptRange> left;
    for (const KeptRange& range : kept.ranges) {
        if (range.to <= height) continue;
        left.push_back({std::max(range.from, height + 1), range.to});
    }
    kept.ranges = std::move(left);
}

void take_note(WatchKept& kept, const std::string& name, const KeptNote& note) {
    const auto it = kept.notes.find(name);
    if (it == kept.notes.end() || note.version >= it->second.version) kept.notes[name] = note;
}

// A removal at `at` stands unless the record was kept again later.
void take_removal(WatchKept& kept, const std::string& txid, std::int64_t at) {
    const auto record = kept.records.find(txid);
    if (record != kept.records.end()) {
        if (record->second.at > at) return;
        kept.records.erase(record);
    }
    std::int64_t& removed = kept.removed[txid];
    removed = std::max(removed, at);
}

// The type of the record a transaction's text carries; "" when it carries none.
std::string record_type_of(const std::string& text) {
    ArtMessage msg;
    const json tx = json_parse_or_discarded(text);
    return find_art_message_in_tx(tx, msg) ? json_text(msg, "type") : std::string();
}

// A kept record as it must be to be trusted: its JSON is the transaction of its id and carries a
// record that verifies; `type` is the record's.
bool kept_record_sound(const std::string& txid, const KeptRecord& record, std::string& type) {
    json tx;
    std::string error;
    if (record.tx.empty() || !json_parse_bounded(record.tx, tx, error)) return false;
    WatchRecord read;
    if (!tx_json_hashes_to(tx, txid) || !watch_record_of_tx(txid, 0, std::move(tx), read)) return false;
    type = json_text(read.msg, "type");
    return true;
}

// Whether a record a read found is kept whole, by its block only, or not at all.
enum class Keep { whole, block, none };
Keep keep_of(const std::string& type, std::size_t tx_bytes) {
    if (!kept_record_type(type)) return Keep::none;
    return tx_bytes > kKeptRecordTxBytes ? Keep::block : Keep::whole;
}

// The kept file as JSON, without the earlier form's "txs" (the block of every payment and the whole
// transaction of every record), which only that form wrote and this one never reads: skipped as it
// is read, it costs no memory, and the bound on values and containers holds what is kept, which no
// honest file of either form comes near. False for text too deep, holding too much, or not JSON.
bool parse_kept_json(const std::string& text, json& doc) {
    if (json_nested_too_deep(text)) return false;
    std::size_t containers = 0, values = 0;
    bool skipping = false, too_many = false;
    const json::parser_callback_t keep = [&](int depth, json::parse_event_t event, json& parsed) {
        if (depth == 1 && event == json::parse_event_t::key) {
            skipping = parsed == "txs";
            return !skipping;
        }
        if (depth == 0) return true;
        if (skipping || too_many) return false;
        if (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) {
            ++containers;
            ++values;
        } else if (event == json::parse_event_t::value) {
            ++values;
        }
        too_many = containers > kJsonMaxContainers || values > kJsonMaxValues;
        return !too_many;
    };
    try {
        doc = json::parse(text, keep, false);
    } catch (...) {
        return false;
    }
    return !too_many && !doc.is_discarded();
}

void parse_notes(const json& doc, WatchKept& kept) {
    const auto notes = doc.find("notes");
    if (notes == doc.end() || !notes->is_object()) return;
    for (const auto& [name, value] : notes->items()) {
        if (kept.notes.size() >= kKeptNotesLimit + kKeptRemovalsLimit) break;
        KeptNote note;
        if (value.is_string()) {
            // The earlier form kept bare values, older than any this program sets.
            note.value = value.get<std::string>();
        } else if (!value.is_object() || !json_optional_text(value, "v", note.value) ||
                   !json_i64_within(value, "at", 0, kKeptTimeLimit, note.version)) {
            continue;
        }
        take_note(kept, name, note);
    }
}

// The records as kept, checked as parse_kept says; false when there is no record list.
bool parse_records(const json& doc, WatchKept& kept, const WatchKept* trusted) {
    const auto records = doc.find("records");
    if (records == doc.end() || !records->is_object()) return false;
    std::vector<std::int64_t> unsound;
    for (const auto& [txid, entry] : records->items()) {
        if (kept.records.size() >= kKeptRecordsLimit + kKeptNotesLimit) break;
        KeptRecord record;
        record.at = kUntimed;
        const bool shaped = is_txid_hex(txid) && entry.is_object() &&
                            json_i64_within(entry, "h", 1, kKeptHeightLimit, record.height) &&
                            json_i64_within(entry, "n", 0, kKeptHeightLimit, record.seq) &&
                            json_optional_text(entry, "tx", record.tx) &&
                            (!entry.contains("at") || json_i64_within(entry, "at", 0, kKeptTimeLimit, record.at));
        if (!shaped) {
            // A record whose block is unknown leaves no block known to be read whole.
            unsound.push_back(0);
            continue;
        }
        const auto known = trusted ? trusted->records.find(txid) : std::map<std::string, KeptRecord>::const_iterator();
        // What this process read since its last save is not yet checked for keeping.
        const bool checked =
            trusted && known != trusted->records.end() && known->second.at != 0 && known->second.tx == record.tx;
        // A record kept by its block only carries nothing to check: a read fetches it again.
        if (!checked && !record.tx.empty()) {
            std::string type;
            if (!kept_record_sound(txid, record, type)) {
                unsound.push_back(record.height);
                continue;
            }
            const Keep keep = keep_of(type, record.tx.size());
            // No reader asks for it: its block stays read whole without it.
            if (keep == Keep::none) continue;
            if (keep == Keep::block) record.tx.clear();
        }
        kept.next_seq = std::max(kept.next_seq, record.seq + 1);
        kept.records[txid] = std::move(record);
    }
    for (std::int64_t height : unsound)
        cut_ranges_from(kept, height);
    const auto removed = doc.find("removed");
    if (removed != doc.end() && removed->is_object()) {
        for (const auto& [txid, at] : removed->items()) {
            if (kept.removed.size() >= kKeptRecordsLimit) break;
            if (is_txid_hex(txid) && at.is_number_integer() && at.get<std::int64_t>() >= 0 &&
                at.get<std::int64_t>() <= kKeptTimeLimit)
                take_removal(kept, txid, at.get<std::int64_t>());
        }
    }
    return true;
}

// False when the text is no kept file of this service; records that fail their checks are left
// out with the blocks from theirs on. A record `trusted` holds as it stands was checked already.
bool parse_kept(const std::string& key, const std::string& text, WatchKept& kept, const WatchKept* trusted) {
    json doc;
    if (text.size() > kEarlierFileBytes || !parse_kept_json(text, doc) || !doc.is_object() ||
        json_text(doc, "service") != key)
        return false;
    std::int64_t version = 0;
    json_i64(doc, "version", version);
    if (version == kFileVersion && text.size() > kKeptFileBytes) return false;
    parse_notes(doc, kept);
    // A file of the earlier form kept every payment's block but no ranges: only its notes carry over.
    if (version != kFileVersion) return true;
    if (!json_i64_within(doc, "seq", 1, kKeptHeightLimit, kept.next_seq)) kept.next_seq = 1;
    const auto ranges = doc.find("ranges");
    if (ranges != doc.end() && ranges->is_array()) {
        for (const json& range : *ranges) {
            if (kept.ranges.size() >= kKeptRecordsLimit) break;
            if (range.is_array() && range.size() == 2 && range[0].is_number_integer() && range[1].is_number_integer())
                kept_add_range(kept, range[0].get<std::int64_t>(), range[1].get<std::int64_t>());
        }
    }
    if (!parse_records(doc, kept, trusted)) kept.ranges.clear();
    // Written by later versions only; a file without it loads as it always did.
    const auto none = doc.find("none");
    if (none != doc.end() && none->is_object()) {
        for (const auto& [txid, height] : none->items()) {
            if (kept.no_record.size() >= kKeptNoRecordLimit) break;
            if (is_txid_hex(txid) && height.is_number_integer() && height.get<std::int64_t>() > 0 &&
                height.get<std::int64_t>() <= kKeptHeightLimit)
                kept.no_record[txid] = height.get<std::int64_t>();
        }
    }
    return true;
}

void parse_journal(const std::string& text, WatchKept& kept) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        // A line cut short by a crash, or damaged, is skipped; the others stand.
        const json line = json_parse_or_discarded(text.substr(start, end - start));
        KeptNote note;
        std::string name;
        if (line.is_object() && json_optional_text(line, "n", name) && !name.empty() &&
            json_optional_text(line, "v", note.value) && json_i64_within(line, "at", 0, kKeptTimeLimit, note.version) &&
            (kept.notes.count(name) || kept.notes.size() < kKeptNotesLimit + kKeptRemovalsLimit))
            take_note(kept, name, note);
        start = end + 1;
    }
}

// The file and journal as they stand, the file's text in `disk` when given; the caller holds the
// file lock.
void load_from_disk(const std::string& key, WatchKept& kept, const WatchKept* trusted = nullptr,
                    std::string* disk = nullptr) {
    const std::string path = kept_file_path(key);
    std::string text;
    if (platform_read_file(path, text) && !text.empty() && !parse_kept(key, text, kept, trusted)) {
        kept = WatchKept{};
        set_aside_damaged_file(path);
        text.clear();
    }
    if (disk) *disk = std::move(text);
    std::string journal;
    if (platform_read_file(path + ".notes", journal) && journal.size() <= kKeptJournalBytes * 4)
        parse_journal(journal, kept);
}

// The records a note names: a note's value that begins with a kept record's id ("<txid>" or
// "<txid>:<more>") remembers that record.
std::set<std::string> named_records(const WatchKept& kept) {
    std::set<std::string> named;
    for (const auto& [name, note] : kept.notes) {
        const std::string& value = note.value;
        if (value.size() < 64 || (value.size() > 64 && value[64] != ':')) continue;
        const std::string txid = value.substr(0, 64);
        if (kept.records.count(txid)) named.insert(txid);
    }
    return named;
}

// Drops the `count` oldest records no note names, the others of the block the last one stood in,
// and the ranges they stood in.
void drop_oldest(WatchKept& kept, std::size_t count, const std::set<std::string>& named) {
    std::vector<std::pair<std::int64_t, std::string>> by_age;
    for (const auto& [txid, record] : kept.records)
        if (!named.count(txid)) by_age.emplace_back(record.height, txid);
    if (count == 0 || by_age.empty()) return;
    std::sort(by_age.begin(), by_age.end());
    const std::int64_t dropped_to = by_age[std::min(count, by_age.size()) - 1].first;
    // The block the last one went from is read again whole.
    for (auto it = kept.records.begin(); it != kept.records.end();)
        it = it->second.height <= dropped_to && !named.count(it->first) ? kept.records.erase(it) : std::next(it);
    cut_ranges_to(kept, dropped_to);
}

// Keeps only the block of whole records, largest first, those no note names before the others,
// until `bytes` is at most `limit` or `count` went; `bytes` follows.
void keep_blocks_only(WatchKept& kept, const std::set<std::string>& named, std::size_t limit, std::size_t& bytes,
                      std::size_t count = std::numeric_limits<std::size_t>::max()) {
    std::vector<std::tuple<bool, std::size_t, std::string>> order;
    for (const auto& [txid, record] : kept.records)
        if (!record.tx.empty()) order.emplace_back(named.count(txid) > 0, record.tx.size(), txid);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        if (std::get<0>(a) != std::get<0>(b)) return !std::get<0>(a);
        return std::get<1>(a) > std::get<1>(b);
    });
    for (const auto& [is_named, size, txid] : order) {
        if (bytes <= limit || count == 0) break;
        kept.records[txid].tx.clear();
        bytes -= std::min(bytes, size);
        --count;
    }
}

// Drops the oldest notes of one kind (removals or not) past `limit`.
void shed_notes(WatchKept& kept, bool removals, std::size_t limit) {
    std::vector<std::pair<std::int64_t, std::string>> by_age;
    for (const auto& [name, note] : kept.notes)
        if (note.value.empty() == removals) by_age.emplace_back(note.version, name);
    if (by_age.size() <= limit) return;
    std::sort(by_age.begin(), by_age.end());
    for (std::size_t i = 0; i < by_age.size() - limit; ++i)
        kept.notes.erase(by_age[i].second);
}

void shed_removed(WatchKept& kept, std::size_t limit) {
    if (kept.removed.size() <= limit) return;
    std::vector<std::pair<std::int64_t, std::string>> by_age;
    for (const auto& [txid, at] : kept.removed)
        by_age.emplace_back(at, txid);
    std::sort(by_age.begin(), by_age.end());
    for (std::size_t i = 0; i < by_age.size() - limit; ++i)
        kept.removed.erase(by_age[i].second);
}

std::size_t kept_bytes(const WatchKept& kept) {
    std::size_t bytes = kept.ranges.size() * kEntryOverhead;
    for (const auto& [txid, record] : kept.records)
        bytes += txid.size() + record.tx.size() + kEntryOverhead;
    for (const auto& [name, note] : kept.notes)
        bytes += name.size() + note.value.size() + kEntryOverhead;
    for (const auto& [txid, at] : kept.removed)
        bytes += txid.size() + kEntryOverhead;
    for (const auto& [txid, height] : kept.no_record)
        bytes += txid.size() + kEntryOverhead / 4;
    return bytes;
}

// One more step toward a text the loader takes, for a file that escaping made too long; false
// when nothing is left to shed. Removals go last.
bool shed_for_text(WatchKept& kept) {
    std::size_t whole = 0;
    for (const auto& [txid, record] : kept.records)
        whole += record.tx.empty() ? 0 : 1;
    std::size_t bytes = std::numeric_limits<std::size_t>::max();
    if (!kept.no_record.empty()) {
        kept.no_record.clear(); // the cheapest to read again
    } else if (whole > 0) {
        keep_blocks_only(kept, named_records(kept), 0, bytes, whole / 4 + 1);
    } else if (!kept.records.empty()) {
        drop_oldest(kept, kept.records.size() / 8 + 1, {});
    } else if (kept.notes.size() > 0) {
        shed_notes(kept, false, 0);
        shed_notes(kept, true, kept.notes.size() * 7 / 8);
    } else if (!kept.removed.empty()) {
        shed_removed(kept, kept.removed.size() * 7 / 8);
    } else {
        return false;
    }
    return true;
}

std::string kept_text(const std::string& key, const WatchKept& kept) {
    json doc = {{"service", key},           {"version", kFileVersion},   {"seq", kept.next_seq},
                {"ranges", json::array()},  {"records", json::object()}, {"notes", json::object()},
                {"removed", json::object()}};
    for (const KeptRange& range : kept.ranges)
        doc["ranges"].push_back({range.from, range.to});
    for (const auto& [txid, record] : kept.records) {
        json& entry = doc["records"][txid];
        entry = {{"h", record.height}, {"n", record.seq}, {"at", record.at}};
        if (!record.tx.empty()) entry["tx"] = record.tx;
    }
    for (const auto& [name, note] : kept.notes)
        doc["notes"][name] = {{"v", note.value}, {"at", note.version}};
    for (const auto& [txid, at] : kept.removed)
        doc["removed"][txid] = at;
    if (!kept.no_record.empty()) {
        json& none = doc["none"] = json::object();
        for (const auto& [txid, height] : kept.no_record)
            none[txid] = height;
    }
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Takes a record this process holds into what is on disk: the later of a record and its removal
// stands, and of two copies the later. A record a read found since the last save is kept as
// keep_of says, stamped `now`.
void merge_record(WatchKept& merged, const std::string& txid, KeptRecord record, std::int64_t now) {
    if (record.at == 0) {
        record.at = record.read_at > 0 ? std::clamp(record.read_at, kUntimed + 1, now) : now;
        const Keep keep = record.tx.empty() ? Keep::block : keep_of(record_type_of(record.tx), record.tx.size());
        if (keep == Keep::none) return;
        if (keep == Keep::block) record.tx.clear();
    }
    const auto removal = merged.removed.find(txid);
    if (removal != merged.removed.end() && removal->second >= record.at) return;
    const auto held = merged.records.find(txid);
    if (held != merged.records.end()) {
        // The same record read again changes nothing, so an unchanged file is not written again.
        if (held->second.at > record.at || (held->second.height == record.height && held->second.tx == record.tx))
            return;
    }
    merged.records[txid] = std::move(record);
    if (removal != merged.removed.end()) merged.removed.erase(removal);
}

// Removes what an earlier start set aside of this file, now that a sound one stands.
void remove_set_aside(const std::string& path) {
    const std::string dir = path.substr(0, path.find_last_of('/'));
    const std::string name = path.substr(dir.size() + 1) + ".damaged-";
    for (const std::string& file : platform_file_names(dir))
        if (file.compare(0, name.size(), name) == 0) platform_remove_file(dir + "/" + file);
}

} // namespace

std::string kept_file_path(const std::string& key) {
    return kestrava_data_dir() + "/registry/watch_" + sha256_hex(key).substr(0, 32) + ".json";
}

void kept_bound(WatchKept& kept, std::size_t record_bytes) {
    kept_bound_no_record(kept);
    shed_notes(kept, false, kKeptNotesLimit);
    shed_notes(kept, true, kKeptRemovalsLimit);
    shed_removed(kept, kKeptRecordsLimit);
    const std::set<std::string> named = named_records(kept);
    const std::size_t unnamed = kept.records.size() - named.size();
    if (unnamed > kKeptRecordsLimit) drop_oldest(kept, unnamed - kKeptRecordsLimit, named);
    std::size_t bytes = kept_bytes(kept);
    keep_blocks_only(kept, named, record_bytes, bytes);
}

void kept_load(const std::string& key, WatchKept& kept) {
    kept = WatchKept{};
    const std::string path = kept_file_path(key);
    if (!platform_file_exists(path) && !platform_file_exists(path + ".notes")) return;
    // Under the lock: a save replaces the file and then removes the journal it folded in, so a
    // read between the two would take a file and a journal of different moments.
    const SharedFileLock locked(path);
    load_from_disk(key, kept);
}

void kept_save(const std::string& key, WatchKept& kept) {
    const std::string path = kept_file_path(key);
    const SharedFileLock locked(path);
    WatchKept merged;
    std::string disk;
    load_from_disk(key, merged, &kept, &disk);
    // Of what this process and others kept, the later word on each record and note stands, and a
    // removal is a word too: a copy another process still holds does not bring a record back.
    const std::int64_t now = std::clamp<std::int64_t>(clock_system_ms(), kUntimed + 1, kKeptTimeLimit);
    for (const std::string& txid : kept.dropped)
        if (!kept.records.count(txid)) take_removal(merged, txid, now);
    for (const auto& [txid, at] : kept.removed)
        take_removal(merged, txid, at);
    for (const auto& [txid, record] : kept.records)
        merge_record(merged, txid, record, now);
    for (const KeptRange& range : kept.ranges)
        kept_add_range(merged, range.from, range.to);
    for (const auto& [name, note] : kept.notes)
        take_note(merged, name, note);
    merged.next_seq = std::max(merged.next_seq, kept.next_seq);
    merged.no_record.insert(kept.no_record.begin(), kept.no_record.end());
    kept_bound(merged, kKeptRecordBytes);
    std::string text = kept_text(key, merged);
    // The loader takes no longer file: what escaping added past the bound goes.
    while (text.size() > kKeptFileBytes && shed_for_text(merged))
        text = kept_text(key, merged);
    const bool journal = platform_file_exists(path + ".notes");
    // A kept watch that cannot be written is read again from the chain next time; nothing is lost.
    // Without the lock it is not written: another process's save could be undone.
    if (locked.taken() && text.size() <= kKeptFileBytes && (text == disk || write_data_file(path, text, false))) {
        if (journal) platform_remove_file(path + ".notes");
        remove_set_aside(path);
    }
    kept = std::move(merged);
}

void kept_note_append(const std::string& key, const std::string& name, const KeptNote& note, WatchKept& kept) {
    const std::string path = kept_file_path(key);
    {
        const SharedFileLock locked(path);
        std::string journal;
        platform_read_file(path + ".notes", journal);
        const json line = {{"n", name}, {"v", note.value}, {"at", note.version}};
        // A line only, begun on a line of its own in case a crash cut the last one short; the file
        // is rewritten at the next save, which folds the journal in.
        if (locked.taken() && journal.size() < kKeptJournalBytes &&
            platform_append_file(path + ".notes", "\n" + line.dump(-1, ' ', false, json::error_handler_t::replace)))
            return;
    }
    kept_save(key, kept);
}

std::int64_t kept_covered_to(const WatchKept& kept, std::int64_t start) {
    for (const KeptRange& range : kept.ranges)
        if (range.from <= start && start <= range.to) return range.to;
    return start - 1;
}

void kept_add_range(WatchKept& kept, std::int64_t from, std::int64_t to) {
    if (from < 0 || from > to || to > kKeptHeightLimit) return;
    std::vector<KeptRange> ranges;
    KeptRange joined{from, to};
    for (const KeptRange& range : kept.ranges) {
        // Ranges that meet or touch become one.
        if (range.to + 1 < joined.from || joined.to + 1 < range.from) {
            ranges.push_back(range);
            continue;
        }
        joined.from = std::min(joined.from, range.from);
        joined.to = std::max(joined.to, range.to);
    }
    ranges.push_back(joined);
    std::sort(ranges.begin(), ranges.end(), [](const KeptRange& a, const KeptRange& b) { return a.from < b.from; });
    kept.ranges = std::move(ranges);
}

void kept_bound_no_record(WatchKept& kept) {
    std::vector<std::pair<std::int64_t, std::string>> by_block;
    for (const auto& [txid, height] : kept.no_record)
        if (kept_covered_to(kept, height) < height) by_block.emplace_back(height, txid);
    std::sort(by_block.begin(), by_block.end());
    if (by_block.size() > kKeptNoRecordLimit) by_block.resize(kKeptNoRecordLimit);
    kept.no_record.clear();
    for (auto& [height, txid] : by_block)
        kept.no_record.emplace(std::move(txid), height);
}
