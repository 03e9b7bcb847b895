// What the task popup shows of its long actions: the layouts of its cards and rows, their painters,
// the result views the main window calls when a result arrives, and the Help and Terms tables.
// Window functions run on the GUI thread; the text and size helpers are pure.
#pragma once

#include "art/cert_check.h"
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
void layout_ownership_cards(HWND popup, BoxState& state); // modes 5 and 7; may grow the popup
void layout_check_card(HWND popup, BoxState& state);      // mode 4
void layout_pair_card(HWND popup, BoxState& state);       // mode 2
void layout_report_panel(HWND popup);                     // mode 11

// Lines of an edit's text that hold a character other than CR; 0 for a missing control.
int count_text_lines(HWND edit);
// Puts a card of `height` a caption band below `cursor`, fits control `edit_id` inside it at `inset`
// from its top, and moves `cursor` past the card and its gap.
void place_result_card(HWND popup, int edit_id, int height, int inset, int& cursor, RECT& card);

// Painters.
void paint_card_header(HDC dc, const RECT& card, const std::string& caption, bool accented);
void paint_result_badge(HDC dc, int centre_x, int centre_y, bool ok);
void paint_detail_row(HDC dc, const RECT& row, const std::string& label, const std::string& value);
void paint_check_card(HDC dc, const BoxState& state);
void paint_pair_card(HDC dc, const BoxState& state);
void paint_ownership_cards(HWND popup, HDC dc, const BoxState& state);
void paint_info_table(HDC dc, const RECT& client, const std::vector<InfoRow>& rows);
// The intro card of the report panel and the card that rings its edit (mode 11).
void paint_report_cards(HWND popup, HDC dc);
// Draws `caption` just above control `control_id` when that control exists and is visible.
void draw_field_caption(HWND popup, HDC dc, int control_id, const std::string& caption);

// Result views, one call per open popup of the matching mode.
void show_pair_check(HWND popup, const PairInfo& info);              // code 8, mode 4
void show_pair_result(HWND popup, bool ok, const std::string& text); // code 9, mode 2
void show_title_chain(HWND popup, const std::string& report);        // codes 3 and 13, modes 5 and 7

// Ownership report texts (UTF-8).
// Index of `heading` where it stands alone on a line at or after `start`, or npos.
std::size_t find_heading_line(const std::string& text, const std::string& heading, std::size_t start);
// The section under `heading` up to `next_heading` (empty: to the end), its two-blank indent
// removed; empty when the heading is missing.
std::string report_section(const std::string& text, const std::string& heading, const std::string& next_heading);
// Takes the 64-hex id that follows a line equal to `label` out of `lines`; "" when there is none.
std::string take_labelled_id(std::vector<std::string>& lines, const std::string& label);

// The four sections of an ownership report and the two ids taken out of the certificate section.
struct OwnershipSections {
    std::string live_owner;
    std::string certificate;
    std::string last_sale;
    std::string title;
    std::string artwork_id;
    std::string certificate_id;
};
OwnershipSections split_ownership_report(const std::string& report);

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
