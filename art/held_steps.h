// The engine's hold on a step that pays or moves coins while its transaction's fate is not known:
// the same step for the same artwork is refused until the services show it sent or never sent, in
// every process on the data folder and after a restart.
#pragma once

#include <string>

// Steps and their subjects: "pair", "pass", "pay", "accept" and "complete" of an artwork (its id,
// lower-case), "certificate" of the artwork it certifies, "inscribe" of a file (the lower-case
// hex SHA-256 of its bytes).

// True while the step for the subject waits on a transaction not known to have been sent, with
// the text that tells the user to wait in `why`. False otherwise; `why` then says so when the
// step's last transaction went out, else it is empty. Reads one small file and never waits for
// the network or the wallet mutex: the window thread may ask.
bool step_held(const std::string& step, const std::string& subject, std::string& why);

// The engine's answer before a step runs: the wait text while the step is held; "success: " and
// the transaction id, once, when the step's last try went out after all (that hold then ends);
// "" when the step may run.
std::string held_step_answer(const std::string& step, const std::string& subject);

// Holds the step when `result` is a broadcast's "not known whether it was sent" answer. `result`
// is returned unchanged.
std::string note_step_result(const std::string& step, const std::string& subject, const std::string& result);
