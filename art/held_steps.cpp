#include "art/held_steps.h"

#include "chain/broadcast.h"
#include "chain/step_holds.h"
#include "chain/step_wallet.h"

bool step_held(const std::string& step, const std::string& subject, std::string& why) {
    why.clear();
    StepHold row;
    if (!step_hold_of(step, subject, row)) return false;
    if (row.sent) {
        why = "The last " + step + " of this artwork went out: " + row.txid + ".";
        return false;
    }
    why = step_wait_text(step, row);
    return true;
}

std::string step_wait_text(const std::string& step, const StepHold& row) {
    if (row.unwritten)
        return "error: the hold of a step that paid could not be written to the list of held steps. Every step that "
               "pays waits until it is: check that the data folder can be written, then try again.";
    if (row.all_held && !row.set_aside)
        return "error: the list of held steps is damaged and could not be moved aside. Every step that pays waits "
               "until it is mended.";
    if (row.all_held)
        return "error: the list of held steps was damaged; it is kept aside. No step that pays goes out until a "
               "Refresh has settled every payment whose fate is not known. Refresh, then try again.";
    const std::string lead = "error: the last " + step + " of this artwork is not known to have been sent yet";
    if (!row.unasked.empty())
        return lead + ": " + row.unasked + " could not be asked. It is decided by the others an hour after the try; " +
               "Refresh then.";
    return lead + ". Wait a few minutes and Refresh.";
}

std::string held_step_answer(const std::string& step, const std::string& subject, const std::string& terms) {
    name_step_subject(step, subject, terms);
    StepHold row;
    if (!step_hold_of(step, subject, row)) return std::string();
    if (!row.sent) return step_wait_text(step, row);
    forget_step(step, subject);
    // A row of an earlier version names no terms: it answers any try, as it always did.
    if (row.terms.empty() || row.terms == terms) return "success: " + row.txid;
    return "error: the last " + step + " of this artwork went out on other terms: " + row.txid +
           ". Refresh and look before trying again.";
}

std::string note_step_result(const std::string& step, const std::string& subject, const std::string& terms,
                             const std::string& result) {
    std::string txid;
    if (not_known_if_sent_txid(result, txid)) hold_step(step, subject, txid, false, terms);
    return result;
}
