// What was read of a watch at one service, kept in the data folder across reads and restarts: the
// mined transactions that carry a verified record, the ranges of blocks read whole (every record
// mined in them is kept; strangers' payments leave nothing but the range), and the notes readers
// keep with them. Writer and loader share one bound, so a file this program wrote always loads. A
// note is appended to a journal beside the file; a save folds it in, merging under a file lock
// with what other processes wrote. Nothing here asks the network.
#pragma once

#include "art/art_records.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct KeptRecord {
    std::int64_t height = 0;
    std::int64_t seq = 0; // order first listed in, across reads
    std::string tx;       // the transaction's JSON text, parsed when used; "" when only its block is kept
    std::int64_t at = 0;  // when it was kept, set at the save after a read found it
    // When the read that found it began (0: unknown), in memory only: the save after it stamps the
    // record so, and a copy another process read later stands over it, whoever saves last.
    std::int64_t read_at = 0;
};

// Blocks from..to read whole.
struct KeptRange {
    std::int64_t from = 0;
    std::int64_t to = 0;
};

// A note and when it was set; an empty value is a removal, kept so a merge does not bring back
// what another process still remembers.
struct KeptNote {
    std::string value;
    std::int64_t version = 0;
};

struct WatchKept {
    std::map<std::string, KeptRecord> records;
    std::vector<KeptRange> ranges; // ascending, apart
    std::map<std::string, KeptNote> notes;
    std::int64_t next_seq = 1;
    std::set<std::string> dropped; // records a fresh read no longer found where they were, until saved
    // Records some process found gone, and when: an older copy from another process stays out.
    std::map<std::string, std::int64_t> removed;
    // Transactions of blocks not yet read whole that a read found to carry no record, with their
    // block: a read its bound stopped inside a busy block goes on past them after a restart.
    std::map<std::string, std::int64_t> no_record;
};

// The one bound of a kept watch. Only records of a type some reader reads are kept. A record a
// note names is never dropped, and keeps only its block past the bytes after every other record
// did; of the others, past the count the oldest go with the ranges they stood in, and past the
// bytes the largest keep only their block. Notes and removals of notes are bounded apart, so a
// removal never goes to make room for a note.
constexpr std::size_t kKeptRecordsLimit = 20000;
constexpr std::size_t kKeptNotesLimit = 20000;
constexpr std::size_t kKeptRemovalsLimit = 20000;
// Ids known to carry no record in blocks not read whole: about 80 bytes each in the file; those of
// the newest blocks go first, as a read goes on from the oldest.
constexpr std::size_t kKeptNoRecordLimit = 50000;
constexpr std::size_t kKeptFileBytes = std::size_t(48) << 20;
// What a kept watch may hold besides what it writes around it: escaped JSON text may double on
// writing.
constexpr std::size_t kKeptRecordBytes = kKeptFileBytes / 2 - (std::size_t(1) << 20);
// A journal longer than this is folded into the file at the next note.
constexpr std::size_t kKeptJournalBytes = std::size_t(256) << 10;
// A record whose transaction text is longer keeps only its block: a read that reaches it fetches
// it again. The longest honest record, a buyer's funded offer, carries the offer itself: about
// 6 KB with its scripts in hex when the buyer pays from one coin, twice that where a service also
// gives each script in words, and about 1 KB more for each further coin.
constexpr std::size_t kKeptRecordTxBytes = std::size_t(32) << 10;
// Past these a kept height or a time is damage: no chain reaches block 2^40, no clock the year 3000.
constexpr std::int64_t kKeptHeightLimit = std::int64_t(1) << 40;
constexpr std::int64_t kKeptTimeLimit = 32503680000000; // 3000-01-01 in ms

// The kept file of `key`; its journal is this path + ".notes".
std::string kept_file_path(const std::string& key);

// Reads the kept file of `key` and its journal, as one under the file lock, into `kept`. A record
// that fails its checks (its JSON, its id, its record, its block) is left out, and the blocks from
// its own on are no longer read whole; a range, note or time past its sane bound is left out. A
// file of the earlier form gives its notes. A file that cannot be read as such is set aside and
// nothing is loaded.
void kept_load(const std::string& key, WatchKept& kept);

// Merges `kept` with what is on disk under the file lock, bounds it, writes it whole and folds
// the journal in; `kept` becomes what was written. Of two copies of a record, a note or a removal,
// the later stands. A set-aside copy of the file goes once written.
void kept_save(const std::string& key, WatchKept& kept);

// Brings a kept watch within its bound, as a save does with kKeptRecordBytes: past the count the
// oldest records no note names go with the ranges they stood in; past `record_bytes` the largest
// whole records keep only their block, those a note names last; notes, removals of notes and
// removals of records each keep their newest.
void kept_bound(WatchKept& kept, std::size_t record_bytes);

// Appends a note to the journal under the file lock; a journal grown past its bound is folded in
// by a save of `kept` instead.
void kept_note_append(const std::string& key, const std::string& name, const KeptNote& note, WatchKept& kept);

// The last block b such that start..b was read whole; start - 1 when start was not.
std::int64_t kept_covered_to(const WatchKept& kept, std::int64_t start);

// Adds from..to to the blocks read whole; nothing for a range below block 0 or past the height bound.
void kept_add_range(WatchKept& kept, std::int64_t from, std::int64_t to);

// Keeps of the ids known to carry no record only those of blocks not read whole, at most
// kKeptNoRecordLimit, the oldest blocks' first.
void kept_bound_no_record(WatchKept& kept);
