// The steps that pay or move coins whose transaction is not known to have been sent: kept per
// wallet in "ord_snap" under the data folder, keyed by the step and its subject, so that no
// process of this program takes the same step for the same subject again until the services show
// the transaction sent or never sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StepHold {
    std::string step;       // "pair", "inscribe", "certificate", "pass", "pay", "accept", "complete"
    std::string subject;    // the artwork's id (for an inscription, its file's SHA-256)
    std::string txid;       // the step's transaction
    std::int64_t at_ms = 0; // system clock of the hold, or of the sending once known
    bool sent = false;      // the services showed the transaction: the step is done
};

// How long a step known to have been sent is remembered to say so.
constexpr std::int64_t kSentStepKeepMs = 24LL * 60 * 60 * 1000;

// data folder + "/ord_snap/" + stem + "_steps.json" (takes the wallet mutex).
std::string step_holds_path();

// Remembers the file of the loaded wallet, so that step_hold_of never waits for the wallet mutex;
// "" forgets it (no wallet loaded).
void note_step_holds_path(const std::string& path);

// Holds the step for the subject as sent or not known to have been sent, replacing an earlier row
// of the same step and subject. False when the file could not be read or written.
bool hold_step(const std::string& step, const std::string& subject, const std::string& txid, bool sent);

// Drops the row of the step and subject; false when the file could not be written.
bool forget_step(const std::string& step, const std::string& subject);

// The services showed these transactions sent, or never sent: rows waiting on a sent one are done,
// rows waiting on one never sent are dropped (the step may be taken again).
void resolve_held_steps(const std::vector<std::string>& sent, const std::vector<std::string>& not_sent);

// The row of the step and subject in the loaded wallet's file, read afresh without the wallet
// mutex; false when there is none (a sent row older than kSentStepKeepMs counts as none).
bool step_hold_of(const std::string& step, const std::string& subject, StepHold& row);
