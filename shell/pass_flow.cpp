#include "shell/pass_flow.h"

#include "identity/recipient.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/status_line.h"
#include "shell/text_helpers.h"
#include "wallet/settings.h"

#include <memory>

namespace {

constexpr const char* kPassNotStarted = "error: could not start that action. Try again.";

bool (*pass_start_function)(const PassJob&) = nullptr;

bool start_pass(const PassJob& job) {
    return pass_start_function ? pass_start_function(job) : start_pass_art(job);
}

// Runs on the worker thread: the same resolution the pass itself would make, but before the user
// is asked, so the window thread never waits on the network.
void job_resolve_pass_address(PassAddressJob& job) {
    auto result = std::make_unique<PassAddressResult>();
    result->box = job.box;
    result->pass = std::move(job.pass);
    RecipientAddress resolved;
    bool found = false;
    // The popup waits for this answer to take clicks again, so even a throw must give one.
    try {
        found = resolve_recipient_for_confirmation(result->pass.recipient, resolved, result->error);
    } catch (...) {
        result->error = "the recipient could not be looked up.";
    }
    if (found) {
        result->pass.ord_address = resolved.address;
        result->paymail = resolved.paymail;
        result->from_loopback = resolved.from_loopback;
    } else if (result->error.empty()) {
        result->error = "no ordinals address for that paymail.";
    }
    // A post that fails frees the record, and with no result to release it the flag would stay
    // taken until restart.
    if (!post_to_main_window(kMsgJobResult, kOpPassAddress, std::move(result))) action_busy.store(0);
}

BoxState* pass_box_state(HWND box) {
    BoxState* state = box && IsWindow(box) && window_of_this_process(box) ? box_state_of(box) : nullptr;
    return state && state->mode == kBoxPass ? state : nullptr;
}

} // namespace

std::string pass_confirm_text(const std::string& paymail, const std::string& address, bool from_loopback) {
    std::string text = "Pass the artwork and its certificate?\n\nTo: ";
    text += paymail.empty() ? address : paymail + " (" + address + ")";
    if (from_loopback)
        text += "\nThis address was named by the local address service on this computer, not by " +
                service_settings().paymail_domain + ".";
    return text + "\n\nBoth move, and the title row is in the same transaction. Cofferly will prompt.";
}

void pass_clicked(HWND box, BoxState& state) {
    if (state.address_pending) return;
    PassAddressJob job;
    job.box = box;
    job.pass.artwork_id = selected_row_id(GetDlgItem(box, kBoxCombo));
    job.pass.recipient = wide_to_utf8(get_control_text(box, kBoxPaymailEdit));
    if (job.pass.artwork_id.empty() || job.pass.recipient.empty()) {
        set_status_text(std::string("Pick an artwork and their paymail."));
        return;
    }
    if (action_busy.exchange(1) != 0) {
        set_status_text(std::string("Already working..."));
        return;
    }
    state.address_pending = 1;
    SetDlgItemTextW(box, kBoxResultEdit, L"");
    set_status_text(std::string("Finding their ordinals address..."));
    if (start_job(job_resolve_pass_address, std::move(job), &action_busy)) return;
    state.address_pending = 0;
    release_action_busy();
    set_status_text(std::string(kPassNotStarted));
}

void pass_address_arrived(PassAddressResult& result) {
    BoxState* state = pass_box_state(result.box);
    if (!state) {
        // Nobody is left to confirm: nothing is passed.
        release_action_busy();
        return;
    }
    state->address_pending = 0;
    if (!result.error.empty()) {
        release_action_busy();
        const std::string text = "error: " + result.error;
        SetDlgItemTextW(result.box, kBoxResultEdit, strip_error_prefix(utf8_to_wide(text)).c_str());
        set_status_text(text);
        return;
    }
    set_status_text(std::string(""));
    if (!ask_box_confirmation(result.box,
                              pass_confirm_text(result.paymail, result.pass.ord_address, result.from_loopback))) {
        release_action_busy();
        return;
    }
    set_status_text(std::string("Passing artwork and certificate in Cofferly..."));
    if (start_pass(result.pass)) return;
    release_action_busy();
    set_status_text(std::string(kPassNotStarted));
}

void set_pass_start_for_tests(bool (*start)(const PassJob& job)) {
    pass_start_function = start;
}
