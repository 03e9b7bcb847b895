// Where a task popup opens and how large it may be: its size by mode, its place beside the main
// window, and the sizes the system may track it to, all kept inside the work area of the screen.
// GUI thread; the size and place functions are pure so they can be checked apart from the windows.
#pragma once

#include "shell/shell.h"

#include <string>

// Opens a popup of `mode` titled `title` (UTF-8). Modes below 8 open only with a connected wallet;
// otherwise the status line asks to connect first and nothing opens.
void open_box(BoxMode mode, const std::string& title);

// The work area of the screen that `window` stands on (the primary screen's for null).
RECT work_area_of(HWND window);
// Makes work_area_of answer `work` for every window, as a smaller screen would (null: the real
// one). For tests only.
void set_work_area_for_tests(const RECT* work);

// True when the popup of `mode` gets a sizing frame (modes 3, 4, 5 and 7).
bool box_is_resizable(BoxMode mode);
// The popup's outer size for `mode` on a work area of that size: mode 7 follows the work area, the
// others keep their own size where it fits, 24 pixels short of the work area where it does not. False
// for an unknown mode.
bool box_size_for_mode(BoxMode mode, int work_width, int work_height, SIZE& size);
// Top-left corner for a popup of `size` beside `main_rect`, kept inside `work`.
POINT place_box(const RECT& main_rect, const RECT& work, SIZE size);
// WM_GETMINMAXINFO of a popup of `mode` on `work`: the smallest size its panel needs, and no more
// than the work area for the popups that can be sized or grow with their answer.
void box_track_sizes(BoxMode mode, const RECT& work, MINMAXINFO& info);
