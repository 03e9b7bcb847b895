// The windows a read kept of what it listed, so a later listing of the same rows fetches none of
// them: a confirming read lists the artwork's span afresh, and the newest blocks are listed again at
// each read, yet neither reads the watch's payments again.
#include "art/watch_scan.h"

#include "chain/outpoints.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"

#include <algorithm>
#include <cstdio>

namespace {

// Notes named with this prefix keep windows: the newest blocks under the prefix alone, each span
// under the prefix and its first block.
constexpr const char* kWindowNote = "~listed";
constexpr std::size_t kSpansKept = 16;
// Blocks summed one by one while a listing goes on; older ones are folded together.
constexpr std::size_t kTallyBlocks = 4096;

std::string window_text(const ListedWindow& window) {
    return std::to_string(window.from) + " " + std::to_string(window.to) + " " + std::to_string(window.rows) + " " +
           std::to_string(window.sum_high) + " " + std::to_string(window.sum_low) + " " +
           std::to_string(window.records);
}

// False when the text is no window.
bool window_parse(const std::string& text, ListedWindow& window) {
    window = ListedWindow{};
    long long from = 0, to = 0;
    unsigned long long rows = 0, high = 0, low = 0, records = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lld %lld %llu %llu %llu %llu%n", &from, &to, &rows, &high, &low, &records, &used) !=
            6 ||
        static_cast<std::size_t>(used) != text.size() || from < 0 || to < from || to > kHeightLimit)
        return false;
    window = {from, to, rows, high, low, records};
    return true;
}

bool is_window_note(const std::string& name) {
    return name.compare(0, std::string(kWindowNote).size(), kWindowNote) == 0;
}

std::uint64_t kept_records_in(const WatchKept& kept, const ListedWindow& window) {
    std::uint64_t count = 0;
    for (const auto& [txid, record] : kept.records)
        count += record.height >= window.from && record.height <= window.to;
    return count;
}

// Sets a note newer than any this process saw; false when it says that already.
bool put_note(WatchMemory& memory, const std::string& name, const std::string& value) {
    const auto it = memory.kept.notes.find(name);
    if (it != memory.kept.notes.end() && it->second.value == value) return false;
    KeptNote note{value, std::max(clock_system_ms(), memory.note_version + 1)};
    if (it != memory.kept.notes.end()) note.version = std::max(note.version, it->second.version + 1);
    memory.note_version = note.version;
    memory.kept.notes[name] = note;
    return true;
}

} // namespace

void ListedWindow::add(const std::string& txid) {
    ++rows;
    sum_high += hex_u64(txid, 0);
    sum_low += hex_u64(txid, 16);
}

void ListedWindow::add(const ListedWindow& other) {
    rows += other.rows;
    sum_high += other.sum_high;
    sum_low += other.sum_low;
}

void WindowTally::add(std::int64_t height, const std::string& txid) {
    if (height <= 0) return;
    by_block_[height].add(txid);
    if (by_block_.size() <= kTallyBlocks) return;
    while (by_block_.size() > kTallyBlocks / 2) {
        const auto oldest = by_block_.begin();
        folded_.add(oldest->second);
        folded_from_ = folded_from_ < 0 ? oldest->first : std::min(folded_from_, oldest->first);
        folded_to_ = std::max(folded_to_, oldest->first);
        by_block_.erase(oldest);
    }
}

bool WindowTally::sum(std::int64_t from, std::int64_t to, ListedWindow& out) const {
    out = ListedWindow{};
    if (to < from || (folded_to_ >= 0 && (folded_from_ < from || folded_to_ > to))) return false;
    out.from = from;
    out.to = to;
    if (folded_to_ >= 0) out.add(folded_);
    for (auto it = by_block_.lower_bound(from); it != by_block_.end() && it->first <= to; ++it)
        out.add(it->second);
    return true;
}

HeldWindow held_window(WatchScan& scan, std::int64_t from) {
    HeldWindow held;
    std::lock_guard<std::mutex> lock(scan.memory.mutex);
    for (const auto& [name, note] : scan.memory.kept.notes) {
        ListedWindow window;
        if (!is_window_note(name) || !window_parse(note.value, window)) continue;
        if (window.from < from || (scan.bounds.mined_by > 0 && window.to > scan.bounds.mined_by)) continue;
        if (held.open && window.to - window.from <= held.kept.to - held.kept.from) continue;
        if (kept_records_in(scan.memory.kept, window) < window.records) continue;
        held.kept = window;
        held.open = true;
    }
    return held;
}

void release_window(WatchScan& scan, HeldWindow& held, bool listed_past, std::vector<WatchRow>& rows) {
    if (!held.open) return;
    held.open = false;
    if (listed_past && held.listed.same_rows(held.kept)) {
        std::lock_guard<std::mutex> lock(scan.memory.mutex);
        for (const WatchRow& row : held.rows) {
            const std::string txid = to_lower_copy(row.txid);
            if (is_txid_hex(txid) && !scan.memory.kept.records.count(txid)) scan.memory.no_record.add(txid);
        }
    }
    rows.insert(rows.end(), std::make_move_iterator(held.rows.begin()), std::make_move_iterator(held.rows.end()));
    held.rows.clear();
}

bool keep_windows(WatchMemory& memory, ListedWindow newest, ListedWindow span) {
    bool changed = false;
    if (newest.to >= newest.from) {
        newest.records = kept_records_in(memory.kept, newest);
        changed = put_note(memory, kWindowNote, window_text(newest));
    }
    if (span.to < span.from) return changed;
    span.records = kept_records_in(memory.kept, span);
    changed =
        put_note(memory, std::string(kWindowNote) + " " + std::to_string(span.from), window_text(span)) || changed;
    // The last few spans stand; an older one is removed, its removal kept like any note's.
    for (;;) {
        std::vector<std::pair<std::int64_t, std::string>> spans;
        for (const auto& [name, note] : memory.kept.notes)
            if (is_window_note(name) && name != kWindowNote && !note.value.empty())
                spans.emplace_back(note.version, name);
        if (spans.size() <= kSpansKept) break;
        put_note(memory, std::min_element(spans.begin(), spans.end())->second, "");
    }
    return changed;
}
