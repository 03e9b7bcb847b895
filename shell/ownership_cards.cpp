#include "shell/ownership_cards.h"

#include "art/last_sale.h"
#include "shell/box_placement.h"
#include "shell/drawing.h"
#include "shell/popup_views.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"

#include <algorithm>

namespace {

constexpr int kMargin = 16;
constexpr int kCardGap = 14;
constexpr int kCaptionBand = 20;

void set_control_text(HWND popup, int id, const std::string& text) {
    SetDlgItemTextW(popup, id, utf8_to_wide(text).c_str());
}

bool control_has_text(HWND popup, int id) {
    HWND control = GetDlgItem(popup, id);
    return control && GetWindowTextLengthW(control) > 0;
}

int font_line_height(HWND popup) {
    HDC dc = GetDC(popup);
    if (!dc) return 20;
    TEXTMETRICW metrics = {};
    int height = 16;
    {
        ScopedSelect font_scope(dc, font_body ? static_cast<HGDIOBJ>(font_body) : GetStockObject(DEFAULT_GUI_FONT));
        if (GetTextMetricsW(dc, &metrics)) height = metrics.tmHeight + 2 + metrics.tmExternalLeading;
    }
    ReleaseDC(popup, dc);
    return std::max(height, 16);
}

bool is_hex64(const std::string& line) {
    if (line.size() != 64) return false;
    return std::all_of(line.begin(), line.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void drop_trailing_line_ends(std::string& text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
}

} // namespace

int count_text_lines(HWND edit) {
    if (!edit) return 0;
    const std::string text = wide_to_utf8(get_control_text(GetParent(edit), GetDlgCtrlID(edit)));
    int count = 0;
    for (const std::string& line : split_lines(text))
        if (!line.empty()) ++count;
    return count;
}

void place_result_card(HWND popup, int edit_id, int height, int inset, int& cursor, RECT& card) {
    RECT client = {};
    GetClientRect(popup, &client);
    card.left = kMargin;
    card.top = cursor + kCaptionBand;
    card.right = client.right - kMargin;
    card.bottom = card.top + height;
    cursor = card.bottom + kCardGap;
    HWND edit = GetDlgItem(popup, edit_id);
    if (!edit) return;
    const int width = std::max(static_cast<int>(card.right - card.left) - 28, 40);
    const int edit_height = std::max(height - inset - 12, 20);
    MoveWindow(edit, card.left + 14, card.top + inset, width, edit_height, TRUE);
}

void layout_ownership_cards(HWND popup, BoxState& state) {
    // Growing the popup sends a size message that lays out again; that nested pass must not grow it
    // once more, or a popup held at its largest size by the system would recurse.
    static int depth = 0;
    RECT client = {};
    GetClientRect(popup, &client);
    RECT outer = {};
    GetWindowRect(popup, &outer);
    const RECT work = work_area_of(popup);
    // The height the popup had before the layout grew it: room taken for one answer is measured
    // from there, so it is given back when a later answer needs less, and never adds up.
    const int own_height = client.bottom - state.grown_by;
    const int frame = (outer.bottom - outer.top) - (client.bottom - client.top);
    const int most = std::max(own_height, static_cast<int>(work.bottom - work.top) - frame);
    const int top = action_button_bottom(popup, 94) + 14;
    const int spare = own_height - top - 180;
    const int line = font_line_height(popup);
    const bool has_ids = control_has_text(popup, kBoxArtworkField) || control_has_text(popup, kBoxCertField);
    const int pad = has_ids ? 108 : 0;

    const int cert_lines = count_text_lines(GetDlgItem(popup, kBoxCertText));
    const int sale_lines = count_text_lines(GetDlgItem(popup, kBoxLastSale));
    const int history_lines = count_text_lines(GetDlgItem(popup, kBoxHistory));
    const int live_height = spare >= 200 ? std::min(spare / 4, 92) : 50;
    int cert_height = (cert_lines == 0 ? 88 : cert_lines * line + 36) + pad;
    int sale_height = sale_lines == 0 ? 96 : std::clamp(sale_lines * line + 28, 96, 160);
    int history_height = history_lines == 0 ? 120 : std::clamp(history_lines * line + 36, 120, 220);

    // An answer taller than the screen takes its room from the longest texts, which then scroll.
    int over =
        top + 4 * (kCaptionBand + kCardGap) + live_height + cert_height + sale_height + history_height + 64 - most;
    const int cert_wanted = cert_height;
    for (int* card_height : {&cert_height, &history_height, &sale_height}) {
        const int floor = card_height == &cert_height ? 88 + pad : card_height == &history_height ? 120 : 96;
        const int taken = std::clamp(over, 0, std::max(*card_height - floor, 0));
        *card_height -= taken;
        over -= taken;
    }
    // On a screen too short even for those (1024 x 768), the cards give up more, down to a few
    // lines each, so that the last one still ends above the Close button.
    for (int* card_height : {&history_height, &sale_height, &cert_height}) {
        const int floor = card_height == &cert_height ? 44 + pad : 48;
        const int taken = std::clamp(over, 0, std::max(*card_height - floor, 0));
        *card_height -= taken;
        over -= taken;
    }
    const bool cert_cut = cert_height < cert_wanted;

    int cursor = top;
    place_result_card(popup, kBoxLiveOwner, live_height, 12, cursor, state.live_owner_card);
    place_result_card(popup, kBoxCertText, cert_height, has_ids ? pad + 8 : 12, cursor, state.certificate_card);
    place_result_card(popup, kBoxLastSale, sale_height, 12, cursor, state.last_sale_card);
    place_result_card(popup, kBoxHistory, history_height, 12, cursor, state.history_card);

    const RECT& cert = state.certificate_card;
    place_copy_field(popup, RECT{cert.left, cert.top, cert.right, cert.top + 52}, kBoxArtworkField, kBoxCopyArtwork,
                     has_ids);
    place_copy_field(popup, RECT{cert.left, cert.top + 52, cert.right, cert.top + 104}, kBoxCertField, kBoxCopyCert,
                     has_ids);
    if (HWND cert_edit = GetDlgItem(popup, kBoxCertText)) ShowScrollBar(cert_edit, SB_VERT, cert_cut);

    const int needed = std::max(0, cursor + 64 - own_height);
    const int own_outer = outer.bottom - outer.top - state.grown_by;
    const int wanted = std::min(own_outer + needed, static_cast<int>(work.bottom - work.top));
    // A popup that would pass the foot of the screen's work area rises instead: also one that needs
    // no more room, yet stands lower than the screen allows (placed there, or held there by the
    // system's smallest size on a short screen).
    const int y =
        outer.top + wanted > work.bottom ? std::max(work.top, work.bottom - wanted) : std::max(outer.top, work.top);
    const bool moved = y != outer.top || wanted != outer.bottom - outer.top;
    if ((needed != state.grown_by || moved) && depth == 0) {
        state.grown_by = needed; // the nested layout of the size message measures from the same height
        ++depth;
        SetWindowPos(popup, nullptr, outer.left, y, outer.right - outer.left, wanted, SWP_NOZORDER | SWP_NOACTIVATE);
        // The system may hold the popup smaller, or larger than asked; what it really took counts,
        // and a larger one rises as far as it passes the foot of the work area.
        GetWindowRect(popup, &outer);
        if (outer.bottom > work.bottom && outer.top > work.top) {
            const LONG top = std::max(work.top, work.bottom - (outer.bottom - outer.top));
            SetWindowPos(popup, nullptr, outer.left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            GetWindowRect(popup, &outer);
        }
        --depth;
        state.grown_by = std::max(0, static_cast<int>(outer.bottom - outer.top) - own_outer);
    }
}

void paint_ownership_cards(HWND popup, HDC dc, const BoxState& state) {
    paint_card_header(dc, state.live_owner_card, "LIVE OWNER", false);
    paint_card_header(dc, state.certificate_card, "CERTIFICATE", true);
    paint_card_header(dc, state.last_sale_card, "LAST SALE", false);
    paint_card_header(dc, state.history_card, "HISTORY", false);
    draw_field_caption(popup, dc, kBoxArtworkField, "Artwork");
    draw_field_caption(popup, dc, kBoxCertField, "Certificate");
}

std::size_t find_heading_line(const std::string& text, const std::string& heading, std::size_t start) {
    if (heading.empty()) return std::string::npos;
    for (std::size_t at = text.find(heading, start); at != std::string::npos; at = text.find(heading, at + 1)) {
        const std::size_t end = at + heading.size();
        const bool starts_line = at == 0 || text[at - 1] == '\n';
        const bool ends_line = end == text.size() || text[end] == '\r' || text[end] == '\n';
        if (starts_line && ends_line) return at;
    }
    return std::string::npos;
}

std::string report_section(const std::string& text, const std::string& heading, const std::string& next_heading) {
    const std::size_t at = find_heading_line(text, heading, 0);
    if (at == std::string::npos) return "";
    std::size_t begin = at + heading.size();
    while (begin < text.size() && (text[begin] == '\r' || text[begin] == '\n'))
        ++begin;
    std::size_t end = next_heading.empty() ? std::string::npos : find_heading_line(text, next_heading, begin);
    if (end == std::string::npos) end = text.size();
    std::string section = text.substr(begin, end - begin);
    drop_trailing_line_ends(section);

    std::string unindented;
    unindented.reserve(section.size());
    std::size_t line_start = 0;
    while (line_start < section.size()) {
        std::size_t line_end = section.find('\n', line_start);
        line_end = line_end == std::string::npos ? section.size() : line_end + 1;
        std::size_t from = line_start;
        if (section.compare(line_start, 2, "  ") == 0) from += 2;
        if (from < line_end) unindented.append(section, from, line_end - from);
        line_start = line_end;
    }
    return unindented;
}

std::string take_labelled_id(std::vector<std::string>& lines, const std::string& label) {
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] != label || !is_hex64(lines[i + 1])) continue;
        std::string id = lines[i + 1];
        std::size_t erase_end = i + 2;
        if (erase_end < lines.size() && lines[erase_end].empty()) ++erase_end;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i),
                    lines.begin() + static_cast<std::ptrdiff_t>(erase_end));
        return id;
    }
    return "";
}

OwnershipSections split_ownership_report(const std::string& report) {
    // A section ends at the next heading the report holds, so a report missing one heading does not
    // show the later sections twice.
    static const char* const kHeadings[] = {"Live owner", "Certificate", "Last sale", "Title"};
    std::string parts[4];
    for (int i = 0; i < 4; ++i) {
        std::string next;
        for (int j = i + 1; j < 4 && next.empty(); ++j)
            if (find_heading_line(report, kHeadings[j], 0) != std::string::npos) next = kHeadings[j];
        parts[i] = report_section(report, kHeadings[i], next);
    }
    OwnershipSections sections;
    sections.live_owner = parts[0];
    sections.certificate = parts[1];
    sections.last_sale = parts[2];
    sections.title = parts[3];
    if (sections.live_owner.empty() && sections.certificate.empty() && sections.last_sale.empty() &&
        sections.title.empty()) {
        sections.live_owner = report;
        return sections;
    }
    std::vector<std::string> lines = split_lines(sections.certificate);
    sections.artwork_id = take_labelled_id(lines, "Artwork");
    sections.certificate_id = take_labelled_id(lines, "Certificate");
    std::string rest;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) rest += "\r\n";
        rest += lines[i];
    }
    drop_trailing_line_ends(rest);
    sections.certificate = rest;
    return sections;
}

void show_title_chain(HWND popup, const std::string& report) {
    BoxState* state = box_state_of(popup);
    if (!state) return;
    const OwnershipSections sections = split_ownership_report(report);
    // An answer that is no report is a read's failure; one a service's pause stopped says how long.
    const bool is_report = sections.live_owner != report;
    set_control_text(popup, kBoxLiveOwner, is_report ? sections.live_owner : naming_the_wait(report));
    set_control_text(popup, kBoxCertText, sections.certificate);
    // An answer that is no report (a read that failed, a refused id) tells nothing of a sale.
    std::string last_sale = sections.last_sale;
    if (last_sale.empty()) last_sale = is_report ? "No sale yet." : last_sale_unread_text();
    set_control_text(popup, kBoxLastSale, last_sale);
    set_control_text(popup, kBoxHistory, sections.title);
    set_control_text(popup, kBoxArtworkField, sections.artwork_id);
    set_control_text(popup, kBoxCertField, sections.certificate_id);
    layout_ownership_cards(popup, *state);
    InvalidateRect(popup, nullptr, FALSE);
}
