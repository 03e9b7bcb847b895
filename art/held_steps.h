// The steps that pay or move coins, held while the fate of their transaction is not known: the
// same step for the same subject must not go out a second time and pay twice.
#pragma once

#include <string>

// True while `step` ("pair", "inscribe", "certificate", "pass", "pay", "accept", "complete") for
// `subject` (the artwork it acts on) is held; `why` then says what the user waits for. False, with
// `why` empty, when the step may be taken.
bool step_held(const std::string& step, const std::string& subject, std::string& why);
