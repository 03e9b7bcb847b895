#include "shell/pair_flow.h"

#include "art/title_chain.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/popup_views.h"
#include "shell/status_line.h"
#include "shell/step_holds.h"

#include <memory>

namespace {

constexpr const char* kPairNotStarted = "error: could not start that action. Try again.";

bool (*pair_read_function)(const std::string&, bool&, std::string&) = nullptr;

// The read the pair step itself rests on: a pair either watch lists makes a second one worthless.
// The pair is named even when the coins' path could not be read; then only that failure counts.
bool read_pair_of(const std::string& artwork, bool& paired, std::string& error) {
    std::vector<KvArtTitleRow> rows;
    TitlePair pair;
    error = art_title_read(artwork, rows, pair, true);
    paired = !pair.txid.empty();
    return paired || error.empty();
}

// Runs on the worker thread, so the window thread never waits on the network.
void job_read_pair(PairReadJob& job) {
    auto result = std::make_unique<PairReadResult>();
    result->box = job.box;
    result->pair = std::move(job.pair);
    // The popup waits for this answer to take clicks again, so even a throw must give one.
    try {
        const bool read = pair_read_function
                              ? pair_read_function(result->pair.artwork_id, result->paired, result->error)
                              : read_pair_of(result->pair.artwork_id, result->paired, result->error);
        if (!read && result->error.empty()) result->error = "the artwork's title could not be read. Try again.";
        if (read) result->error.clear();
    } catch (...) {
        result->error = "the artwork's title could not be read. Try again.";
    }
    if (!post_to_main_window(kMsgJobResult, kOpPairRead, std::move(result))) action_busy.store(0);
}

BoxState* pair_box_state(HWND box) {
    BoxState* state = box && IsWindow(box) && window_of_this_process(box) ? box_state_of(box) : nullptr;
    return state && state->mode == kBoxPair ? state : nullptr;
}

void show_failure(HWND box, const std::string& text) {
    set_status_text(text);
    show_pair_result(box, false, text);
}

// The card shows the dots until the pair's own result (code 9) replaces them.
void show_pairing(HWND box, BoxState& state) {
    state.animating = 1;
    state.result_state = 0;
    state.dots = 3;
    state.headline = "Pairing ...";
    state.subline = "Confirm the spend in Cofferly. Pair fee 200000 sats plus both watch hooks.";
    layout_pair_card(box, state);
    SetTimer(box, kBoxDotsTimer, kBoxDotsInterval, nullptr);
    InvalidateRect(box, nullptr, FALSE);
}

} // namespace

void pair_clicked(HWND box, BoxState& state) {
    if (state.address_pending) return;
    PairReadJob job;
    job.box = box;
    job.pair.artwork_id = selected_row_id(GetDlgItem(box, kBoxCombo));
    job.pair.certificate_id = selected_row_id(GetDlgItem(box, kBoxCertCombo));
    if (job.pair.artwork_id.empty() || job.pair.certificate_id.empty()) {
        show_failure(box, "error: pick an artwork and a certificate.");
        return;
    }
    if (action_busy.exchange(1) != 0) {
        set_status_text(std::string("Already working..."));
        return;
    }
    state.address_pending = 1;
    set_status_text(std::string("Reading the artwork's title..."));
    if (start_job(job_read_pair, std::move(job), &action_busy)) return;
    state.address_pending = 0;
    release_action_busy();
    set_status_text(std::string(kPairNotStarted));
}

void pair_read_arrived(PairReadResult& result) {
    BoxState* state = pair_box_state(result.box);
    if (!state) {
        // Nobody is left to confirm: nothing is paired.
        release_action_busy();
        return;
    }
    state->address_pending = 0;
    if (result.paired) {
        release_action_busy();
        // The popup keeps the button grey for that artwork, as for any pair known before.
        state->paired_read = normalize_outpoint_key(result.pair.artwork_id);
        show_box_step_hold(result.box, *state);
        set_status_text(std::string(kAlreadyPairedText));
        return;
    }
    if (!result.error.empty()) {
        release_action_busy();
        show_failure(result.box, "error: " + result.error);
        return;
    }
    set_status_text(std::string(""));
    if (!ask_box_confirmation(result.box, kPairConfirmText)) {
        release_action_busy();
        return;
    }
    show_pairing(result.box, *state);
    set_status_text(std::string("Pairing in Cofferly..."));
    if (start_pair_on_chain(result.pair)) return;
    release_action_busy();
    show_failure(result.box, kPairNotStarted);
}

void set_pair_read_for_tests(bool (*read)(const std::string& artwork, bool& paired, std::string& error)) {
    pair_read_function = read;
}
