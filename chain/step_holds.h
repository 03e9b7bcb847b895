// The steps that pay or move coins whose transaction is not known to have been sent: kept per
// wallet in "ord_snap" under the data folder, keyed by the step and its subject, so that no
// process of this program takes the same step for the same subject again until the services show
// the transaction sent or never sent.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct StepHold {
    std::string step;       // "pair", "inscribe", "certificate", "pass", "pay", "accept", "complete"
    std::string subject;    // the artwork's id (for an inscription, its file's SHA-256)
    std::string txid;       // the step's transaction
    std::int64_t at_ms = 0; // system clock of the hold, or of the sending once known
    bool sent = false;      // the services showed the transaction: the step is done
    std::string terms;      // what the try named (recipient, offer, price); "" answers any try
    std::string unasked;    // the services that could not be asked of its fate at the last ask
    // Every step is held: the file did not read, or was set aside while transactions of unknown
    // fate may have had rows in it. The other members are then empty.
    bool all_held = false;
    bool set_aside = true;  // with all_held: false when the damaged file could not be moved aside
    bool unwritten = false; // with all_held: a hold of this process could not be written to the file
};

// How long a step known to have been sent is remembered to say so.
constexpr std::int64_t kSentStepKeepMs = 24LL * 60 * 60 * 1000;

// data folder + "/ord_snap/" + stem + "_steps.json" for the wallet this thread's step began in,
// else the loaded one; "" when no wallet is named (takes the wallet mutex).
std::string step_holds_path();

// Remembers the file of the loaded wallet, so that step_hold_of never waits for the wallet mutex;
// "" forgets it (no wallet loaded). A file new to it that does not read is set aside and told
// (take_steps_file_notice) at once.
void note_step_holds_path(const std::string& path);

// Holds the step for the subject as sent or not known to have been sent, on the try's terms,
// replacing an earlier row of the same step and subject, in the file of the wallet this thread's
// step began in (chain/step_wallet.h). False when the file could not be read, written or locked: the
// row is then kept in memory, and every step that pays is held (unwritten) until it is written.
bool hold_step(const std::string& step, const std::string& subject, const std::string& txid, bool sent,
               const std::string& terms = std::string());

// Writes the hold of this thread's step (name_step_subject in chain/step_wallet.h) on `txid`, not
// sent, before the transaction goes out, so that a step whose process ends before the answer stays
// held. True when written, or when the step named no subject; false when the file could not be
// written or its lock taken: nothing is kept, and the transaction must not go out.
bool hold_step_ahead(const std::string& txid);

// Ends the hold written ahead on `txid` once its answer is known: a row kept as sent for a step that
// keeps it (a pair) when `sent`, else dropped. A row another try wrote since stays.
void end_step_hold_ahead(const std::string& txid, bool sent);

// Forgets the holds this process keeps in memory alone, as a process that starts again has none of
// them: what stands between a step and paying twice is what is on disk.
void forget_unwritten_holds();

// Drops the row of the step and subject; false when the file could not be written.
bool forget_step(const std::string& step, const std::string& subject);

// The services showed these transactions sent, or never sent: rows waiting on a sent one are done,
// rows waiting on one never sent are dropped (the step may be taken again).
void resolve_held_steps(const std::vector<std::string>& sent, const std::vector<std::string>& not_sent);

// The services (by name, "" for none) that could not be asked of each transaction's fate: the
// rows waiting on it say so.
void note_unasked_services(const std::vector<std::pair<std::string, std::string>>& unasked);

// The transactions whose fate is not known yet (held by the spent set), by id. Once none is held
// that was held when a damaged steps file was first followed by this call, the file set aside
// hides no hold any longer, and every step may be taken again.
void end_hold_of_all_steps(const std::vector<std::string>& held);

// The row of the step and subject in the file of this thread's step's wallet, else the loaded
// wallet's, read afresh without the wallet mutex; false when there is none (a sent row older than
// kSentStepKeepMs counts as none). While the file does not read under its lock, was set aside, or
// a hold of this process could not be written to it, every step has a row with all_held. A row
// dated past now is dated now.
bool step_hold_of(const std::string& step, const std::string& subject, StepHold& row);

// What the user is to be told of a steps file found damaged since the last call, once; "" when
// nothing is.
std::string take_steps_file_notice();
