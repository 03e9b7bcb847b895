// The controls of each task popup mode, made once when the popup is created; the popup lays them
// out and acts on them.
#pragma once

#include "shell/task_popup.h"

// Makes the controls of `state.mode` in the popup `window` (all but the Close button).
void build_box_panel(HWND window, BoxState& state);
