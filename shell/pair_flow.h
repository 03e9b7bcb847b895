// The Pair popup's action. A second pair of an artwork pays its fee for nothing, so before the fee
// is offered a worker reads the artwork's title: a title that starts with a pair greys the button
// and says so, a read that fails says why, and only a title without a pair opens the confirmation,
// which on OK starts the pair. The action flag is held from the click until the pair's own result,
// and released at once on Cancel, on any answer but "not paired", or when the popup has closed.
#pragma once

#include "shell/jobs.h"
#include "shell/task_popup.h"

#include <string>

// The pair a Pair popup asks for, before the artwork's title is read.
struct PairReadJob {
    HWND box = nullptr; // the asking popup; may be gone on arrival
    PairJob pair;
};

// Code 20: what the title read found of the artwork.
struct PairReadResult {
    HWND box = nullptr;
    PairJob pair;
    bool paired = false;
    std::string error; // "" when the title was read
};

// The confirmation's text before the pair fee is paid.
constexpr const char* kPairConfirmText = "Pair them on chain?\n\nOne prompt. 200000 sats (0.002 BSV) pair fee, plus 1 "
                                         "sat to ZUZ and 1 sat to OTX. This names you the original owner.";

// Mode 2's action button: checks the form, takes the action flag and starts the title read. Does
// nothing while this popup's read is pending.
void pair_clicked(HWND box, BoxState& state);

// Code 20 in the main window: greys the button of an artwork found paired, shows a failed read, or
// asks the user and on OK starts the pair.
void pair_read_arrived(PairReadResult& result);

// Replaces the title read (null restores it): true with `paired` when the title was read, false
// with the reason. For tests only.
void set_pair_read_for_tests(bool (*read)(const std::string& artwork, bool& paired, std::string& error));
