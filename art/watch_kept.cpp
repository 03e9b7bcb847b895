#include "art/watch_kept.h"

#include "chain/outpoints.h"
#include "chain/tx.h"
#include "identity/typed_verify.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"

#include <algorithm>
#include <limits>

using json = nlohmann::json;

namespace {

constexpr int kFileVersion = 2;
// What a record, a note or a range adds to the file besides its own texts.
constexpr std::size_t kEntryOverhead = 96;

std::string kept_path(const std::string& key) {
    return kestrava_data_dir() + "/registry/watch_" + sha256_hex(key).substr(0, 32) + ".json";
}

bool json_i64(const json& obj, const char* name, std::int64_t& out) {
    const auto it = obj.find(name);
    if (it == obj.end() || !it->is_number_integer()) return false;
    out = it->get<std::int64_t>();
    return true;
}

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

// A kept record as it must be to be trusted: its JSON is the transaction of its id and carries a
// record that verifies.
bool kept_record_sound(const std::string& txid, const KeptRecord& record) {
    json tx;
    std::string error;
    if (record.tx.empty() || !json_parse_bounded(record.tx, tx, error)) return false;
    WatchRecord read;
    return tx_json_hashes_to(tx, txid) && watch_record_of_tx(txid, 0, std::move(tx), read);
}

// False when the text is no kept file of this service; records that fail their checks are left
// out with the blocks from theirs on. A record `trusted` holds as it stands was checked already.
bool parse_kept(const std::string& key, const std::string& text, WatchKept& kept, const WatchKept* trusted) {
    json doc;
    std::string error;
    if (text.size() > kKeptFileBytes || !json_parse_bounded(text, doc, error) || !doc.is_object() ||
        json_text(doc, "service") != key)
        return false;
    std::int64_t version = 0;
    json_i64(doc, "version", version);
    // A file of the earlier form kept every payment's block but no ranges: only its notes carry over.
    const auto notes = doc.find("notes");
    if (notes != doc.end() && notes->is_object()) {
        for (const auto& [name, value] : notes->items()) {
            if (kept.notes.size() >= kKeptNotesLimit) break;
            KeptNote note;
            if (value.is_string()) {
                note.value = value.get<std::string>();
            } else if (!value.is_object() || !json_optional_text(value, "v", note.value) ||
                       !json_i64(value, "at", note.version)) {
                continue;
            }
            take_note(kept, name, note);
        }
    }
    if (version != kFileVersion) return true;
    json_i64(doc, "seq", kept.next_seq);
    const auto ranges = doc.find("ranges");
    if (ranges != doc.end() && ranges->is_array()) {
        for (const json& range : *ranges) {
            if (!range.is_array() || range.size() != 2 || !range[0].is_number_integer() ||
                !range[1].is_number_integer())
                continue;
            const std::int64_t from = range[0].get<std::int64_t>(), to = range[1].get<std::int64_t>();
            if (from >= 0 && from <= to) kept_add_range(kept, from, to);
        }
    }
    const auto records = doc.find("records");
    if (records == doc.end() || !records->is_object()) {
        kept.ranges.clear();
        return true;
    }
    std::vector<std::int64_t> unsound;
    for (const auto& [txid, entry] : records->items()) {
        if (kept.records.size() >= kKeptRecordsLimit) break;
        KeptRecord record;
        const bool shaped = is_txid_hex(txid) && entry.is_object() && json_i64(entry, "h", record.height) &&
                            record.height > 0 && json_i64(entry, "n", record.seq) &&
                            json_optional_text(entry, "tx", record.tx);
        if (!shaped) {
            // A record whose block is unknown leaves no block known to be read whole.
            unsound.push_back(0);
            continue;
        }
        const auto known = trusted ? trusted->records.find(txid) : std::map<std::string, KeptRecord>::const_iterator();
        const bool checked = trusted && known != trusted->records.end() && known->second.tx == record.tx;
        if (!checked && !kept_record_sound(txid, record)) {
            unsound.push_back(record.height);
            continue;
        }
        kept.next_seq = std::max(kept.next_seq, record.seq + 1);
        kept.records[txid] = std::move(record);
    }
    for (std::int64_t height : unsound)
        cut_ranges_from(kept, height);
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
            json_optional_text(line, "v", note.value) && json_i64(line, "at", note.version) &&
            (kept.notes.count(name) || kept.notes.size() < kKeptNotesLimit))
            take_note(kept, name, note);
        start = end + 1;
    }
}

// The file and journal as they stand; the caller holds the file lock or accepts a torn view.
void load_from_disk(const std::string& key, WatchKept& kept, const WatchKept* trusted = nullptr) {
    const std::string path = kept_path(key);
    std::string text;
    if (platform_read_file(path, text) && !text.empty() && !parse_kept(key, text, kept, trusted)) {
        kept = WatchKept{};
        set_aside_damaged_file(path);
    }
    std::string journal;
    if (platform_read_file(path + ".notes", journal) && journal.size() <= kKeptJournalBytes * 4)
        parse_journal(journal, kept);
}

// Drops the `count` oldest records, the others of the block the last one stood in, and the ranges
// they stood in.
void drop_oldest(WatchKept& kept, std::size_t count) {
    std::vector<std::pair<std::int64_t, std::string>> by_age;
    for (const auto& [txid, record] : kept.records)
        by_age.emplace_back(record.height, txid);
    std::sort(by_age.begin(), by_age.end());
    std::int64_t dropped_to = 0;
    for (std::size_t i = 0; i < count && i < by_age.size(); ++i)
        dropped_to = by_age[i].first;
    // The block the last one went from is read again whole.
    for (auto it = kept.records.begin(); it != kept.records.end();)
        it = it->second.height <= dropped_to ? kept.records.erase(it) : std::next(it);
    cut_ranges_to(kept, dropped_to);
}

// Drops the oldest records, and the ranges they stood in, until the kept watch fits its bound;
// removals of notes go before notes.
void bound_kept(WatchKept& kept) {
    std::size_t bytes = 0;
    for (const auto& [txid, record] : kept.records)
        bytes += txid.size() + record.tx.size() + kEntryOverhead;
    for (const auto& [name, note] : kept.notes)
        bytes += name.size() + note.value.size() + kEntryOverhead;
    bytes += kept.ranges.size() * kEntryOverhead;
    // Half the bound is the records': escaped JSON text may double on writing.
    const std::size_t record_bytes = kKeptFileBytes / 2 - (std::size_t(1) << 20);
    std::size_t excess = 0;
    if (kept.records.size() > kKeptRecordsLimit || bytes > record_bytes) {
        // Oldest first, as drop_oldest takes them.
        std::vector<std::pair<std::int64_t, std::size_t>> by_age;
        for (const auto& [txid, record] : kept.records)
            by_age.emplace_back(record.height, txid.size() + record.tx.size() + kEntryOverhead);
        std::sort(by_age.begin(), by_age.end());
        for (const auto& [height, size] : by_age) {
            if (kept.records.size() - excess <= kKeptRecordsLimit && bytes <= record_bytes) break;
            bytes -= size;
            ++excess;
        }
    }
    if (excess > 0) drop_oldest(kept, excess);
    while (kept.notes.size() > kKeptNotesLimit) {
        auto oldest = kept.notes.begin();
        for (auto it = kept.notes.begin(); it != kept.notes.end(); ++it) {
            const bool removal = it->second.value.empty(), oldest_removal = oldest->second.value.empty();
            if (removal != oldest_removal ? removal : it->second.version < oldest->second.version) oldest = it;
        }
        kept.notes.erase(oldest);
    }
}

std::string kept_text(const std::string& key, const WatchKept& kept) {
    json doc = {{"service", key},          {"version", kFileVersion},   {"seq", kept.next_seq},
                {"ranges", json::array()}, {"records", json::object()}, {"notes", json::object()}};
    for (const KeptRange& range : kept.ranges)
        doc["ranges"].push_back({range.from, range.to});
    for (const auto& [txid, record] : kept.records)
        doc["records"][txid] = {{"h", record.height}, {"n", record.seq}, {"tx", record.tx}};
    for (const auto& [name, note] : kept.notes)
        doc["notes"][name] = {{"v", note.value}, {"at", note.version}};
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Removes what an earlier start set aside of this file, now that a sound one stands.
void remove_set_aside(const std::string& path) {
    const std::string dir = path.substr(0, path.find_last_of('/'));
    const std::string name = path.substr(dir.size() + 1) + ".damaged-";
    for (const std::string& file : platform_file_names(dir))
        if (file.compare(0, name.size(), name) == 0) platform_remove_file(dir + "/" + file);
}

struct LockedKept {
    FileLock lock;
    explicit LockedKept(const std::string& path) {
        platform_make_dirs(path.substr(0, path.find_last_of('/')));
        file_lock_acquire(path + ".lock", lock);
    }
    ~LockedKept() { file_lock_release(lock); }
    LockedKept(const LockedKept&) = delete;
    LockedKept& operator=(const LockedKept&) = delete;
};

} // namespace

bool watch_record_of_tx(const std::string& txid, std::int64_t listed, json tx, WatchRecord& record) {
    record = WatchRecord{};
    record.listed = listed;
    record.tx = std::move(tx);
    if (!find_art_message_in_tx(record.tx, record.msg)) return false;
    // A record keeps the meaning it had when it went on chain: it speaks for the key it carries,
    // whatever key its paymail names today. The rules that read it compare keys.
    if (!verify_art_record(record.msg)) return false;
    record.ts = json_ts(record.msg);
    if (record.ts <= 0) return false;
    record.txid = txid;
    return true;
}

bool tx_json_hashes_to(const json& tx, const std::string& txid) {
    std::int64_t version = 0, locktime = 0;
    if (!tx.is_object() || !json_i64(tx, "version", version) || !json_i64(tx, "locktime", locktime)) return false;
    const auto vin = tx.find("vin");
    const auto vout = tx.find("vout");
    if (vin == tx.end() || !vin->is_array() || vout == tx.end() || !vout->is_array()) return false;
    Bytes raw;
    append_u32_le(raw, static_cast<std::uint32_t>(version));
    append_varint(raw, vin->size());
    for (const json& in : *vin) {
        std::int64_t sequence = 0;
        if (!in.is_object() || !json_i64(in, "sequence", sequence)) return false;
        std::string script_hex;
        if (in.contains("coinbase")) {
            raw.insert(raw.end(), 32, 0);
            append_u32_le(raw, 0xFFFFFFFFu);
            script_hex = json_text(in, "coinbase");
        } else {
            std::int64_t index = 0;
            const Bytes prev = from_hex(json_text(in, "txid"));
            if (prev.size() != 32 || !json_i64(in, "vout", index)) return false;
            raw.insert(raw.end(), prev.rbegin(), prev.rend());
            append_u32_le(raw, static_cast<std::uint32_t>(index));
            const auto sig = in.find("scriptSig");
            if (sig != in.end() && sig->is_object()) script_hex = json_text(*sig, "hex");
        }
        const Bytes script = from_hex(script_hex);
        if (script.size() * 2 != script_hex.size()) return false;
        append_varint(raw, script.size());
        raw.insert(raw.end(), script.begin(), script.end());
        append_u32_le(raw, static_cast<std::uint32_t>(sequence));
    }
    append_varint(raw, vout->size());
    for (const json& out : *vout) {
        const auto spk = out.is_object() ? out.find("scriptPubKey") : json::const_iterator();
        if (!out.is_object() || spk == out.end() || !spk->is_object()) return false;
        const std::string script_hex = json_text(*spk, "hex");
        const Bytes script = from_hex(script_hex);
        if (script.size() * 2 != script_hex.size()) return false;
        append_u64_le(raw, static_cast<std::uint64_t>(vout_value_sats(out)));
        append_varint(raw, script.size());
        raw.insert(raw.end(), script.begin(), script.end());
    }
    append_u32_le(raw, static_cast<std::uint32_t>(locktime));
    return compute_txid(raw) == to_lower_copy(txid);
}

void kept_load(const std::string& key, WatchKept& kept) {
    kept = WatchKept{};
    load_from_disk(key, kept);
}

void kept_save(const std::string& key, WatchKept& kept) {
    const std::string path = kept_path(key);
    const LockedKept locked(path);
    WatchKept merged;
    load_from_disk(key, merged, &kept);
    // What another process kept stays; what this one read anew, or found gone, wins.
    for (const std::string& txid : kept.dropped)
        merged.records.erase(txid);
    for (const auto& [txid, record] : kept.records)
        merged.records[txid] = record;
    for (const KeptRange& range : kept.ranges)
        kept_add_range(merged, range.from, range.to);
    for (const auto& [name, note] : kept.notes)
        take_note(merged, name, note);
    merged.next_seq = std::max(merged.next_seq, kept.next_seq);
    bound_kept(merged);
    std::string text = kept_text(key, merged);
    // The loader takes no longer file: what escaping added past the bound goes, oldest first.
    while (text.size() > kKeptFileBytes && !merged.records.empty()) {
        drop_oldest(merged, merged.records.size() / 8 + 1);
        text = kept_text(key, merged);
    }
    // A kept watch that cannot be written is read again from the chain next time; nothing is lost.
    if (write_data_file(path, text, false)) {
        platform_remove_file(path + ".notes");
        remove_set_aside(path);
    }
    kept = std::move(merged);
}

void kept_note_append(const std::string& key, const std::string& name, const KeptNote& note, WatchKept& kept) {
    const std::string path = kept_path(key);
    {
        const LockedKept locked(path);
        std::string journal;
        platform_read_file(path + ".notes", journal);
        const json line = {{"n", name}, {"v", note.value}, {"at", note.version}};
        // A line only, begun on a line of its own in case a crash cut the last one short; the file
        // is rewritten at the next save, which folds the journal in.
        if (journal.size() < kKeptJournalBytes &&
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
    if (from > to) return;
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
