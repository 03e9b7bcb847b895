#include "shell/step_holds.h"

#include "art/held_steps.h"
#include "art/title_chain.h"
#include "shell/art_list.h"
#include "shell/jobs.h"
#include "shell/text_helpers.h"

namespace {

bool (*held_function)(const std::string&, const std::string&, std::string&) = nullptr;
bool (*paired_function)(const std::string&) = nullptr;

std::string box_step_subject(HWND box, const BoxState& state) {
    if (state.mode == kBoxMintArtwork) return state.file_sha256;
    return selected_row_id(GetDlgItem(box, kBoxCombo));
}

} // namespace

bool window_step_held(const std::string& step, const std::string& subject, std::string& why) {
    why.clear();
    if (subject.empty()) return false;
    // One artwork has one name here, however the list or the frame spelled its id.
    const std::string key = step == "inscribe" ? subject : normalize_outpoint_key(subject);
    return held_function ? held_function(step, key, why) : step_held(step, key, why);
}

bool window_artwork_paired(const std::string& artwork) {
    if (artwork.empty()) return false;
    const std::string key = normalize_outpoint_key(artwork);
    return paired_function ? paired_function(key) : title_pair_known(key);
}

const char* box_step(BoxMode mode) {
    switch (mode) {
    case kBoxMintArtwork:
        return "inscribe";
    case kBoxMintCertificate:
        return "certificate";
    case kBoxPair:
        return "pair";
    case kBoxPass:
        return "pass";
    default:
        return "";
    }
}

bool show_box_step_hold(HWND box, const BoxState& state, std::string* why_out) {
    const char* step = box_step(state.mode);
    HWND button = GetDlgItem(box, kBoxAction);
    HWND line = GetDlgItem(box, kBoxHeldLine);
    if (!*step || !button || !line) return false;
    std::string why;
    const std::string subject = box_step_subject(box, state);
    bool held = window_step_held(step, subject, why);
    // A pair that went out, or any pair the chain shows first, starts the artwork's title: a second
    // one would pay its fee for nothing, and the engine refuses it only after the user confirmed
    // that fee. The row of this program's pair is kept a day; the chain's answer is kept longer.
    const bool read_paired = !subject.empty() && normalize_outpoint_key(subject) == state.paired_read;
    if (!held && state.mode == kBoxPair && (!why.empty() || read_paired || window_artwork_paired(subject))) {
        held = true;
        why = kAlreadyPairedText;
    }
    if (why_out) *why_out = why;
    // The engine's texts begin "error: " for the status line; beside the button they read as a sentence.
    SetWindowTextW(line, strip_error_prefix(utf8_to_wide(why)).c_str());
    // Another action running keeps the certificate's button grey on its own account.
    if (held)
        EnableWindow(button, FALSE);
    else if (action_busy.load() == 0 || state.mode != kBoxMintCertificate)
        EnableWindow(button, TRUE);
    return held;
}

void show_step_holds() {
    for (BoxMode mode : {kBoxMintArtwork, kBoxMintCertificate, kBoxPair, kBoxPass})
        for (HWND box : open_boxes_in_mode(mode))
            if (const BoxState* state = box_state_of(box)) show_box_step_hold(box, *state);
}

void set_step_held_for_tests(bool (*held)(const std::string& step, const std::string& subject, std::string& why)) {
    held_function = held;
}

void set_artwork_paired_for_tests(bool (*paired)(const std::string& artwork)) {
    paired_function = paired;
}
