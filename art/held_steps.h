// The engine's hold on a step that pays or moves coins while its transaction's fate is not known:
// the same step for the same artwork is refused until the services show it sent or never sent, in
// every process on the data folder and after a restart.
#pragma once

#include <string>

struct StepHold;

// Steps and their subjects: "pair", "pass", "pay", "accept" and "complete" of an artwork (its id,
// lower-case), "certificate" of the artwork it certifies, "inscribe" of a file (the lower-case
// hex SHA-256 of its bytes). A step's terms are what its try names: the recipient of a pass, the
// offer and price of a Pay, the buyer and price of an Accept, the offer or buyer of a Complete.

// True while the step for the subject waits on a transaction not known to have been sent, or on a
// steps file that did not read, with the text that tells the user why in `why`. False otherwise;
// `why` then says so when the step's last transaction went out, else it is empty. Reads one small
// file and never waits for the network or the wallet mutex: the window thread may ask.
bool step_held(const std::string& step, const std::string& subject, std::string& why);

// The refusal of a try while `row`, not sent, holds the step.
std::string step_wait_text(const std::string& step, const StepHold& row);

// The engine's answer before a step runs: the wait text while the step is held; when the step's
// last try went out after all (that hold then ends), "success: " and the transaction id, once, to
// a try of the same terms, and to another a refusal that names the transaction; "" when the step
// may run. Names the step's subject and terms (name_step_subject) for the hold its transaction writes
// ahead.
std::string held_step_answer(const std::string& step, const std::string& subject, const std::string& terms);

// Holds the step on the try's terms when `result` is a broadcast's "not known whether it was
// sent" answer. `result` is returned unchanged.
std::string note_step_result(const std::string& step, const std::string& subject, const std::string& terms,
                             const std::string& result);
