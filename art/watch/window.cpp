// The windows a read kept of what it listed, so a later listing of the same rows fetches none of
// them: a confirming read lists the artwork's span afresh, and the newest blocks are listed again at
// each read, yet neither reads the watch's payments again.
#include "art/watch/window.h"

#include "chain/outpoints.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"

#include <algorithm>
#include <cstdio>

namespace {

// Notes named with this prefix keep windows: the newest blocks under the prefix alone, each span
// under the prefix and its first block.
constexpr const char* kWindowNote = "~listed";
// The spans' windows kept, newest first, by their bytes: an owner's every artwork keeps its own.
constexpr std::size_t kSpanWindowBytes = std::size_t(256) << 10;
// Blocks summed one by one while a listing goes on; older ones are folded together.
constexpr std::size_t kTallyBlocks = 4096;
// Runs of blocks a window sums apart, of about as many rows each.
constexpr std::size_t kWindowParts = 16;

// "from to rows high low records", then each part as " to:rows:high:low" (it starts after the one
// before it).
std::string window_text(const ListedWindow& window) {
    std::string text = std::to_string(window.from) + " " + std::to_string(window.to) + " " +
                       std::to_string(window.rows) + " " + std::to_string(window.sum_high) + " " +
                       std::to_string(window.sum_low) + " " + std::to_string(window.records);
    for (const ListedWindow& part : window.parts)
        text += " " + std::to_string(part.to) + ":" + std::to_string(part.rows) + ":" + std::to_string(part.sum_high) +
                ":" + std::to_string(part.sum_low);
    return text;
}

// False when the text is no window.
bool window_parse(const std::string& text, ListedWindow& window) {
    window = ListedWindow{};
    long long from = 0, to = 0;
    unsigned long long rows = 0, high = 0, low = 0, records = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lld %lld %llu %llu %llu %llu%n", &from, &to, &rows, &high, &low, &records, &used) !=
            6 ||
        from < 0 || to < from || to > kHeightLimit)
        return false;
    window = {from, to, rows, high, low, records, {}};
    for (std::size_t at = static_cast<std::size_t>(used); at < text.size();) {
        long long part_to = 0;
        int part_used = 0;
        ListedWindow part;
        part.from = window.parts.empty() ? window.from : window.parts.back().to + 1;
        if (window.parts.size() >= kWindowParts ||
            std::sscanf(text.c_str() + at, " %lld:%llu:%llu:%llu%n", &part_to, &rows, &high, &low, &part_used) != 4 ||
            part_to < part.from || part_to > window.to)
            return false;
        part.to = part_to;
        part.rows = rows;
        part.sum_high = high;
        part.sum_low = low;
        window.parts.push_back(part);
        at += static_cast<std::size_t>(part_used);
    }
    return window.parts.empty() || window.parts.back().to == window.to;
}

// The part that holds block `height`; parts.size() when none does.
std::size_t part_of(const std::vector<ListedWindow>& parts, std::int64_t height) {
    const auto part = std::lower_bound(parts.begin(), parts.end(), height,
                                       [](const ListedWindow& p, std::int64_t at) { return p.to < at; });
    return part != parts.end() && part->from <= height ? static_cast<std::size_t>(part - parts.begin()) : parts.size();
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
    std::vector<std::pair<std::int64_t, const ListedWindow*>> blocks;
    if (folded_to_ >= 0) blocks.emplace_back(folded_to_, &folded_);
    for (auto it = by_block_.lower_bound(from); it != by_block_.end() && it->first <= to; ++it)
        blocks.emplace_back(it->first, &it->second);
    for (const auto& block : blocks)
        out.add(*block.second);
    if (out.rows == 0) return true;
    // Each part closes once it holds its share of the rows, so there are at most kWindowParts.
    const std::uint64_t share = (out.rows + kWindowParts - 1) / kWindowParts;
    ListedWindow part;
    part.from = from;
    for (const auto& [height, sums] : blocks) {
        part.add(*sums);
        if (part.rows < share) continue;
        part.to = height;
        out.parts.push_back(part);
        part = ListedWindow{};
        part.from = height + 1;
    }
    if (part.rows > 0 || out.parts.empty()) {
        part.to = to;
        out.parts.push_back(part);
    }
    out.parts.back().to = to;
    return true;
}

BufferedWindow buffer_window(WatchScan& scan, std::int64_t from) {
    BufferedWindow buffered;
    std::lock_guard<std::mutex> lock(scan.memory.mutex);
    for (const auto& [name, note] : scan.memory.kept.notes) {
        ListedWindow window;
        if (!is_window_note(name) || !window_parse(note.value, window)) continue;
        if (window.from < from || (scan.bounds.mined_by > 0 && window.to > scan.bounds.mined_by)) continue;
        if (buffered.open && window.to - window.from <= buffered.kept.to - buffered.kept.from) continue;
        if (kept_records_in(scan.memory.kept, window) < window.records) continue;
        buffered.kept = window;
        buffered.open = true;
    }
    buffered.listed.from = buffered.kept.from;
    buffered.listed.to = buffered.kept.to;
    for (const ListedWindow& part : buffered.kept.parts) {
        buffered.listed.parts.emplace_back();
        buffered.listed.parts.back().from = part.from;
        buffered.listed.parts.back().to = part.to;
    }
    return buffered;
}

namespace {

// Gives the buffered rows to `rows`; those `listed_same` says were listed as before that are no
// kept record carry none. Rows of a part listed otherwise (one listed late, or gone) are read again.
template <typename Same>
void flush_rows(WatchScan& scan, BufferedWindow& buffered, const Same& listed_same, std::vector<WatchRow>& rows) {
    {
        std::lock_guard<std::mutex> lock(scan.memory.mutex);
        for (const WatchRow& row : buffered.rows) {
            const std::string txid = to_lower_copy(row.txid);
            if (is_txid_hex(txid) && listed_same(row.height) && !scan.memory.kept.records.count(txid))
                scan.memory.no_record.add(txid);
        }
    }
    rows.insert(rows.end(), std::make_move_iterator(buffered.rows.begin()),
                std::make_move_iterator(buffered.rows.end()));
    buffered.rows.clear();
}

bool same_part(const BufferedWindow& buffered, std::size_t part) {
    return part < buffered.kept.parts.size() && buffered.listed.parts[part].same_rows(buffered.kept.parts[part]);
}

} // namespace

void buffer_row(WatchScan& scan, BufferedWindow& buffered, WatchRow row, bool in_order, std::vector<WatchRow>& rows) {
    buffered.listed.add(row.txid);
    const std::size_t part = part_of(buffered.listed.parts, row.height);
    if (part < buffered.listed.parts.size()) buffered.listed.parts[part].add(row.txid);
    // In block order, a row of a later part says the buffered part was listed whole.
    if (in_order && part < buffered.listed.parts.size() && part > buffered.part) {
        const bool same = same_part(buffered, buffered.part);
        flush_rows(
            scan, buffered, [same](std::int64_t) { return same; }, rows);
        buffered.part = part;
    }
    buffered.rows.push_back(std::move(row));
}

void release_window(WatchScan& scan, BufferedWindow& buffered, bool listed_past, std::vector<WatchRow>& rows) {
    if (!buffered.open) return;
    buffered.open = false;
    const bool whole_same = listed_past && buffered.listed.same_rows(buffered.kept);
    flush_rows(
        scan, buffered,
        [&](std::int64_t height) {
            return whole_same || (listed_past && same_part(buffered, part_of(buffered.kept.parts, height)));
        },
        rows);
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
    // The newest spans stand within their bytes; an older one is removed, its removal kept like
    // any note's.
    std::vector<std::pair<std::int64_t, std::string>> spans;
    for (const auto& [name, note] : memory.kept.notes)
        if (is_window_note(name) && name != kWindowNote && !note.value.empty()) spans.emplace_back(note.version, name);
    std::sort(spans.rbegin(), spans.rend());
    std::size_t bytes = 0;
    for (const auto& [version, name] : spans) {
        bytes += name.size() + memory.kept.notes[name].value.size();
        if (bytes > kSpanWindowBytes) put_note(memory, name, "");
    }
    return changed;
}
