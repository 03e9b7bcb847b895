// The hangings a gallery read judged never to count, by service and transaction (service_key), so
// that a later read passes them over unread: kept in the data folder, so that the first read after
// a restart, or another process's on the same folder, does not judge them again. Only what blocks
// that can no longer change show is noted; the caller decides that. Nothing here asks the network.
#pragma once

#include <cstddef>
#include <string>

// The most hangings kept, in memory and in the file alike; past it the one noted longest ago goes.
constexpr std::size_t kNeverCountingKept = 4096;

// data folder + "/registry/never_counting.json".
std::string never_counting_path();

// Loads the file of the data folder in force unless this process holds it already. A file that
// does not read is set aside and nothing is loaded; the next write starts a new one.
void never_counting_open();

// True when the hanging's transaction was noted as never counting at the services in force.
bool never_counting_known(const std::string& txid);

// Notes the hanging's transaction as never counting at the services in force; it is written at the
// next never_counting_keep.
void never_counting_note(const std::string& txid);

// Writes what was noted since the last write, merged under the file's lock with what the file holds
// now (another process may have written since); what this process holds becomes the merged set.
// Writes nothing when nothing new was noted, or when the lock cannot be taken (it is tried again at
// the next call).
void never_counting_keep();

// Forgets in memory what was loaded and noted, as a restart does; the file stays.
void never_counting_forget();
