#include "art/held_steps.h"

#include "chain/broadcast.h"
#include "chain/step_holds.h"

namespace {

std::string wait_text(const std::string& step) {
    return "error: the last " + step + " of this artwork is not known to have been sent yet. Wait a few minutes " +
           "and Refresh.";
}

} // namespace

bool step_held(const std::string& step, const std::string& subject, std::string& why) {
    why.clear();
    StepHold row;
    if (!step_hold_of(step, subject, row)) return false;
    if (row.sent) {
        why = "The last " + step + " of this artwork went out: " + row.txid + ".";
        return false;
    }
    why = wait_text(step);
    return true;
}

std::string held_step_answer(const std::string& step, const std::string& subject) {
    StepHold row;
    if (!step_hold_of(step, subject, row)) return std::string();
    if (!row.sent) return wait_text(step);
    forget_step(step, subject);
    return "success: " + row.txid;
}

std::string note_step_result(const std::string& step, const std::string& subject, const std::string& result) {
    std::string txid;
    if (not_known_if_sent_txid(result, txid)) hold_step(step, subject, txid, false);
    return result;
}
