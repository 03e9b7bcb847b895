// The hangings a gallery read judged never to count, by service and transaction (service_key), so
// that a later read passes them over unread: kept in the data folder, so that the first read after
// a restart, or another process's on the same folder, does not judge them again. A hanging is kept
// only on what no later listing can overturn: the artwork's first pair in a block final by the
// history listings themselves, and the hanging's own content against it. Each is kept with the pair
// it was judged against; a read that finds the title starting elsewhere drops it.
#pragma once

#include "art/gallery_rules.h"

#include <cstddef>
#include <string>

// The most hangings kept, in memory and in the file alike; past it the one noted longest ago goes.
constexpr std::size_t kNeverCountingKept = 4096;

// data folder + "/registry/never_counting.json".
std::string never_counting_path();

// Loads the file of the data folder in force unless this process holds it already. A file that
// does not read is set aside and nothing is loaded; the next write starts a new one. Entries of
// an earlier form, which did not say the pair they were judged against, are left out: they are
// judged again.
void never_counting_open();

// True when the hanging's transaction was noted as never counting at the services in force.
bool never_counting_known(const std::string& txid);

// Judges the hanging at `hung` (`show`), which did not count against `title` as read for it, and
// notes it as never counting (written at the next never_counting_keep) only when that can no
// longer change: the title's first pair stands before it in a block the history listings
// show final, and the hanging names another certificate than the pair's, or the coins where the
// pair left them while another key than the pair's signed it; or the pair stands after it in
// their one final block. A pair not found or after the
// hanging, and coins whose spends the service may not list yet, decide nothing kept.
void never_counting_judge(const SpotFrame& show, const ExhibitTitle& title, const ChainPlace& hung);

// A read found the artwork's (`artwork_key`, norm_txid form) first pair `pair_txid` ("": none): the
// hangings of it noted against another pair are dropped, in memory and at the next
// never_counting_keep, and judged again.
void never_counting_pair_found(const std::string& artwork_key, const std::string& pair_txid);

// Writes what was noted or dropped since the last write, merged under the file's lock with what
// the file holds now (another process may have written since); what this process holds becomes the
// merged set. Writes nothing when nothing changed, or when the lock cannot be taken (it is tried
// again at the next call).
void never_counting_keep();

// Forgets in memory what was loaded and noted, as a restart does; the file stays.
void never_counting_forget();
