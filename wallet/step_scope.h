// What one step that moves money or a title (pairing, a pass, an acceptance, a payment, a
// completion) has been told by the services, kept from the step's start to its end: an output's
// spend status is asked once a step, whichever of its reads asks and on whichever thread.
// parallel_for and run_beside carry the step into the threads they start.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

struct StepAnswers {
    std::mutex mutex;
    // By "<txid>_<index>", the id lower-cased: the look-up's code and the spender it named.
    std::map<std::string, std::pair<int, std::string>> spends;
    // What the readers of higher layers keep for the rest of the step, by a key each chooses.
    std::map<std::string, std::shared_ptr<const void>> kept;
};

// Opens a step on this thread for the life of the scope; inside a step already, it is part of it.
class StepScope {
public:
    StepScope();
    ~StepScope();
    StepScope(const StepScope&) = delete;
    StepScope& operator=(const StepScope&) = delete;

private:
    std::unique_ptr<StepAnswers> own_;
};

// The step this thread works for; null outside one.
StepAnswers* step_answers();

// This thread works for `step` (null: for none) for the life of the scope.
class StepJoin {
public:
    explicit StepJoin(StepAnswers* step);
    ~StepJoin();
    StepJoin(const StepJoin&) = delete;
    StepJoin& operator=(const StepJoin&) = delete;

private:
    StepAnswers* previous_ = nullptr;
};

// The spend status the step this thread works for was given for the output; false outside a step
// or when the step has not asked about it yet.
bool step_spend_known(const std::string& txid, std::uint32_t vout, int& code, std::string& spender);
// Keeps the answer for the rest of the step; nothing outside a step.
void step_spend_note(const std::string& txid, std::uint32_t vout, int code, const std::string& spender);
// What a reader kept for the step this thread works for under `key`; null outside a step or when
// nothing was kept.
std::shared_ptr<const void> step_kept(const std::string& key);
// Keeps `answer` for the rest of the step; nothing outside a step.
void step_keep(const std::string& key, std::shared_ptr<const void> answer);
