// The four cards of Ownership and Look up (modes 5 and 7): the ownership report split into its
// sections, the cards laid out to the answer's length within the screen's work area, and their
// captions. Window functions run on the GUI thread; the text functions are pure.
#pragma once

#include "shell/task_popup.h"

#include <cstddef>
#include <string>
#include <vector>

// Places the cards for the answer shown; grows the popup for a long one, as far as the work area
// of its screen lets it (rising when its foot would pass the bottom), and past that shortens the
// longest texts, which then scroll.
void layout_ownership_cards(HWND popup, BoxState& state);
// Lines of an edit's text that hold a character other than CR; 0 for a missing control.
int count_text_lines(HWND edit);
// Puts a card of `height` a caption band below `cursor`, fits control `edit_id` inside it at `inset`
// from its top, and moves `cursor` past the card and its gap.
void place_result_card(HWND popup, int edit_id, int height, int inset, int& cursor, RECT& card);
void paint_ownership_cards(HWND popup, HDC dc, const BoxState& state);
// Codes 3 and 13: the report's sections go into the cards. An answer that is no report (a read
// that failed, an id that names nothing) stands in the live-owner card, and the last-sale card
// says the sale did not load.
void show_title_chain(HWND popup, const std::string& report);

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
