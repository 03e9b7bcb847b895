// What the task popup shows of its long actions: the layouts of its cards and rows, their painters,
// the result views the main window calls when a result arrives, and the Help and Terms tables.
// Window functions run on the GUI thread; the text and size helpers are pure.
#pragma once

#include "art/cert_check.h"
#include "shell/ownership_cards.h"
#include "shell/task_popup.h"

#include <cstddef>
#include <string>
#include <vector>

// One row of a painted table: a title and a wrapped text.
struct InfoRow {
    std::string title;
    std::string text;
};

// The Help table (nine rows) and the Terms table, with the platform's paymail domain filled in.
std::vector<InfoRow> help_rows();
std::vector<InfoRow> terms_rows();

// Layouts. Each places the popup's controls for its current client size and stores the card
// rectangles in `state`.
void layout_check_card(HWND popup, BoxState& state); // mode 4
void layout_pair_card(HWND popup, BoxState& state);  // mode 2
void layout_report_panel(HWND popup);                // mode 11
// Bottom of the action button in client coordinates, or `fallback` when the popup has none.
int action_button_bottom(HWND popup, int fallback);

// Painters.
void paint_card_header(HDC dc, const RECT& card, const std::string& caption, bool accented);
void paint_result_badge(HDC dc, int centre_x, int centre_y, bool ok);
void paint_detail_row(HDC dc, const RECT& row, const std::string& label, const std::string& value);
void paint_check_card(HDC dc, const BoxState& state);
void paint_pair_card(HDC dc, const BoxState& state);
void paint_info_table(HDC dc, const RECT& client, const std::vector<InfoRow>& rows);
// The intro card of the report panel and the card that rings its edit (mode 11).
void paint_report_cards(HWND popup, HDC dc);
// Draws `caption` just above control `control_id` when that control exists and is visible.
void draw_field_caption(HWND popup, HDC dc, int control_id, const std::string& caption);

// Result views, one call per open popup of the matching mode.
void show_pair_check(HWND popup, const PairInfo& info);              // code 8, mode 4
void show_pair_result(HWND popup, bool ok, const std::string& text); // code 9, mode 2

// Row heights of the check layout for `spare` pixels below the check card.
struct CheckRowHeights {
    int row = 64;
    int last_row = 74;
};
CheckRowHeights check_row_heights(int spare);
// Height of one painted table row when `count` rows share the space above `limit`.
int info_row_height(int limit, int count);
// The second line of the check card after a pair was found.
std::string pair_found_subline(bool holds_both, bool title_is_mine);
