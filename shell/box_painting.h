// The task popup's painter: its gradient background, the colours of its labels, edits and lists,
// the owner-drawn combo rows, buttons and lists, and the cards of the modes that paint their
// results. GUI thread only.
#pragma once

#include <windows.h>

#include "shell/task_popup.h"

// Answer to WM_CTLCOLORSTATIC, WM_CTLCOLOREDIT and WM_CTLCOLORLISTBOX of a popup's control.
LRESULT box_control_color(HWND window, HWND control, HDC dc);
// Row heights of the owner-drawn combo boxes and lists.
void box_measure_item(MEASUREITEMSTRUCT& item);
// Owner draw of a popup's combo row, list row or button.
void box_draw_item(const DRAWITEMSTRUCT& item);
// Fills the client area with the popup's gradient.
void box_paint_background(HWND window, HDC dc);
// WM_PAINT: the background and the cards of the popup's mode.
void box_paint(HWND window, const BoxState& state);
