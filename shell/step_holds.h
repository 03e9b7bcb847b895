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

// Greys the action button of `box` while its step is held for what the popup has chosen (the
// selected artwork, or the chosen file), or, in a Pair popup, once that artwork's pair went out,
// and writes why beside it; gives the button back otherwise. True while grey for that reason. A
// popup that takes no step, or has nothing chosen yet, is left as it is.
bool show_box_step_hold(HWND box, const BoxState& state);
// The same for every open task popup, after any result: a step's, or one of a Refresh's.
void show_step_holds();

// Replaces the engine's answer (null restores it). For tests only.
void set_step_held_for_tests(bool (*held)(const std::string& step, const std::string& subject, std::string& why));
