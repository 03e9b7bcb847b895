// What the windows show of the steps the engine holds: a step that pays or moves coins and whose
// transaction is not known to have gone out is not offered again for the same artwork until its
// fate is known. The engine keeps the holds on disk, so they stand after a restart; the windows
// keep nothing of them. GUI thread.
#pragma once

#include "shell/task_popup.h"

#include <string>

// Control of the task popups that says why their action button is grey.
constexpr int kBoxHeldLine = 326;

// What that line says while the artwork chosen in a Pair popup was paired by this program.
constexpr const char* kAlreadyPairedText = "That artwork is already paired.";

// True while the engine holds `step` for `subject` (an artwork id, asked as normalize_outpoint_key
// gives it; for "inscribe" the SHA-256 of the artwork's file in hex); `why` then holds the text to
// show. An empty subject is never held.
bool window_step_held(const std::string& step, const std::string& subject, std::string& why);

// The step a task popup of `mode` takes with its action button ("inscribe", "certificate", "pair",
// "pass"); "" for a mode that pays nothing.
const char* box_step(BoxMode mode);

// True when the artwork (asked as normalize_outpoint_key gives it) is known paired on chain: a
// read found its first pair (title_pair_known), however old the row of this program's pair is.
bool window_artwork_paired(const std::string& artwork);

// Greys the action button of `box` while its step is held for what the popup has chosen (the
// selected artwork, or the chosen file), or, in a Pair popup, once that artwork's pair went out or
// is known paired, and writes why beside it as a sentence; gives the button back otherwise. True
// while grey for that reason, with the engine's own text in `why` when given. A popup that takes
// no step, or has nothing chosen yet, is left as it is.
bool show_box_step_hold(HWND box, const BoxState& state, std::string* why = nullptr);
// The same for every open task popup, after any result: a step's, or one of a Refresh's.
void show_step_holds();

// Replace the engine's answers (null restores them). For tests only.
void set_step_held_for_tests(bool (*held)(const std::string& step, const std::string& subject, std::string& why));
void set_artwork_paired_for_tests(bool (*paired)(const std::string& artwork));
