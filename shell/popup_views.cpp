#include "shell/popup_views.h"

#include "identity/paymail_registry.h"
#include "identity/wallet_status.h"
#include "shell/drawing.h"
#include "shell/gdiplus_include.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"
#include "wallet/settings.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr COLORREF kSuccessBadge = RGB(0x34, 0x9E, 0x60);
constexpr COLORREF kFailureBadge = RGB(0xBA, 0x40, 0x40);
constexpr COLORREF kFailureHeadline = RGB(0xE8, 0xA8, 0xA8);
constexpr COLORREF kFailureSubline = RGB(0xDC, 0x8C, 0x8C);
constexpr COLORREF kSuccessSubline = RGB(0xBA, 0xD6, 0xAA);
constexpr const char* kCheckHint = "Use the Certificate Drop down menu and then click Check Certificate";

constexpr int kMargin = 16;
constexpr int kCardGap = 14;
constexpr int kCaptionBand = 20;

void draw_text(HDC dc, const std::string& text, RECT box, HFONT font, COLORREF color, UINT format) {
    if (text.empty() || box.right <= box.left || box.bottom <= box.top) return;
    ScopedSelect font_scope(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, color);
    std::wstring wide = utf8_to_wide(text);
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box, format | DT_NOPREFIX);
}

constexpr UINT kSingleLine = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS;
constexpr UINT kWrapped = DT_WORDBREAK | DT_END_ELLIPSIS | DT_EDITCONTROL;

// Every card and row shares this frame; slivers left by a small window are not drawn at all.
void paint_card_frame(HDC dc, const RECT& card, COLORREF border_base) {
    if (card.right - card.left <= 8 || card.bottom - card.top <= 8) return;
    draw_rounded_card(dc, card, theme_color(kSlotFace), blend_colors(border_base, theme_color(kSlotBorder), 70), 12,
                      false);
}

RECT client_rect_of(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    return client;
}

void set_control_text(HWND popup, int id, const std::string& text) {
    SetDlgItemTextW(popup, id, utf8_to_wide(text).c_str());
}

void relayout_and_repaint(HWND popup, BoxState& state) {
    if (state.mode == kBoxCheck) layout_check_card(popup, state);
    if (state.mode == kBoxPair) layout_pair_card(popup, state);
    InvalidateRect(popup, nullptr, FALSE);
}

std::string capitalised_without_error_prefix(const std::string& text) {
    return wide_to_utf8(strip_error_prefix(utf8_to_wide(text)));
}

} // namespace

int action_button_bottom(HWND popup, int fallback) {
    HWND button = GetDlgItem(popup, kBoxAction);
    if (!button) return fallback;
    RECT rect = {};
    GetWindowRect(button, &rect);
    MapWindowPoints(nullptr, popup, reinterpret_cast<POINT*>(&rect), 2);
    return rect.bottom;
}

std::vector<InfoRow> help_rows() {
    const std::string& domain = service_settings().paymail_domain;
    return {
        {"Connect", "Connect Cofferly and a published @" + domain + " name. Fees spend messenger coins."},
        {"Mint artwork", "Choose a PNG, JPEG, WebP, GIF, or PDF up to 10 MB, then Inscribe artwork."},
        {"Mint certificate", "Pick that artwork. Add the art name, the artist, and an optional note."},
        {"Pair", "Match the artwork to its certificate. One prompt. 0.002 BSV pair fee."},
        {"Check", "A green tick means the pair matches. Authentic means you hold both coins and the title."},
        {"Ownership", "Read the live owner, the certificate, the last sale, and the title chain."},
        {"Look up", "Paste an artwork id or a certificate id. The answer is the owner, both ids, and the last sale."},
        {"Pass", "Send both coins to another @" + domain + " name. The new title is in the same transaction."},
        {"Folders", "File a certificate or an artwork on this PC. It leaves the main list until you remove it."},
    };
}

std::vector<InfoRow> terms_rows() {
    return {
        {"The app", "Corvane links to Cofferly. It does not keep a seed."},
        {"The chain", "Inscriptions, pairs, and titles are public Bitcoin SV records."},
        {"The coins", "The keys can move the artwork and the certificate. A pass needs the title and both coins."},
        {"Fees", "Pairing pays 0.002 BSV. Miner fees and the report spam-protection fee are separate."},
        {"Use", "Do not use it for unlawful activity, fraud, or someone else's work."},
        {"Law", "These terms are governed by the laws of England and Wales."},
    };
}

CheckRowHeights check_row_heights(int spare) {
    CheckRowHeights heights;
    if (spare >= 201 && spare <= 377) {
        if (spare >= 346) heights.row = (spare - 122) / 4;
        heights.last_row = std::max(spare - (heights.row * 4 + 48), 56);
    }
    return heights;
}

void layout_check_card(HWND popup, BoxState& state) {
    const RECT client = client_rect_of(popup);
    const int top = action_button_bottom(popup, 92) + 16;
    const int card_height = (state.result_state != 0 || state.animating) ? 112 : 92;
    state.check_card = RECT{kMargin, top, client.right - kMargin, top + card_height};

    const int spare = client.bottom - (state.check_card.bottom + 14) - 58;
    const CheckRowHeights heights = check_row_heights(spare);
    RECT* rows[] = {&state.pair_row, &state.artwork_row, &state.certificate_row, &state.sha_row};
    int y = state.check_card.bottom + 14;
    for (RECT* row : rows) {
        *row = RECT{kMargin, y, client.right - kMargin, y + heights.row};
        y = row->bottom + 12;
    }
    const int middle = client.right / 2;
    state.holder_row = RECT{kMargin, y, middle - 6, y + heights.last_row};
    state.owner_row = RECT{middle + 6, y, client.right - kMargin, y + heights.last_row};

    const bool shown = state.show_detail != 0;
    place_copy_field(popup, state.pair_row, kBoxPairField, kBoxCopyPair, shown);
    place_copy_field(popup, state.artwork_row, kBoxArtworkField, kBoxCopyArtwork, shown);
    place_copy_field(popup, state.certificate_row, kBoxCertField, kBoxCopyCert, shown);
    place_copy_field(popup, state.sha_row, kBoxShaField, kBoxCopySha, shown);
}

void layout_pair_card(HWND popup, BoxState& state) {
    const RECT client = client_rect_of(popup);
    const int top = action_button_bottom(popup, 182) + 18;
    int height = 118;
    if (top + 118 > client.bottom - 58) height = std::max(static_cast<int>(client.bottom) - 58 - top, 72);
    state.check_card = RECT{kMargin, top, client.right - kMargin, top + height};
}

void layout_report_panel(HWND popup) {
    const RECT client = client_rect_of(popup);
    if (HWND edit = GetDlgItem(popup, kBoxReportEdit))
        MoveWindow(edit, 18, 132, client.right - 36, std::max(static_cast<int>(client.bottom) - 190, 80), TRUE);
    if (HWND button = GetDlgItem(popup, kBoxSendReport)) MoveWindow(button, 18, client.bottom - 48, 150, 32, TRUE);
}

void paint_card_header(HDC dc, const RECT& card, const std::string& caption, bool accented) {
    paint_card_frame(dc, card, theme_color(kSlotAccent));
    int left = card.left + 4;
    if (accented) {
        paint_command_icon(dc, kIdMintCertificate, card.left + 16, card.top - 9, theme_color(kSlotAccent), 20);
        left += 28;
    }
    draw_text(dc, caption, RECT{left, card.top - 18, card.right - 4, card.top - 1}, font_small,
              theme_color(kSlotAccent), kSingleLine);
}

void paint_result_badge(HDC dc, int centre_x, int centre_y, bool ok) {
    Gdiplus::Graphics graphics(dc);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    const COLORREF fill = ok ? kSuccessBadge : kFailureBadge;
    Gdiplus::SolidBrush brush(Gdiplus::Color(255, GetRValue(fill), GetGValue(fill), GetBValue(fill)));
    graphics.FillEllipse(&brush, static_cast<Gdiplus::REAL>(centre_x - 22), static_cast<Gdiplus::REAL>(centre_y - 22),
                         44.0f, 44.0f);
    Gdiplus::Pen pen(Gdiplus::Color(255, 0xF8, 0xF4, 0xE6), 3.4f);
    pen.SetStartCap(Gdiplus::LineCapRound);
    pen.SetEndCap(Gdiplus::LineCapRound);
    pen.SetLineJoin(Gdiplus::LineJoinRound);
    const Gdiplus::REAL x = static_cast<Gdiplus::REAL>(centre_x);
    const Gdiplus::REAL y = static_cast<Gdiplus::REAL>(centre_y);
    if (ok) {
        const Gdiplus::PointF tick[] = {{x - 9.24f, y + 0.44f}, {x - 1.76f, y + 8.36f}, {x + 10.12f, y - 7.92f}};
        graphics.DrawLines(&pen, tick, 3);
    } else {
        graphics.DrawLine(&pen, x - 7.48f, y - 7.48f, x + 7.48f, y + 7.48f);
        graphics.DrawLine(&pen, x + 7.48f, y - 7.48f, x - 7.48f, y + 7.48f);
    }
}

void paint_detail_row(HDC dc, const RECT& row, const std::string& label, const std::string& value) {
    paint_card_frame(dc, row, theme_color(kSlotAccent));
    draw_text(dc, label, RECT{row.left + 14, row.top + 8, row.right - 12, row.top + 28}, font_small,
              theme_color(kSlotAccent), kSingleLine);
    draw_text(dc, value, RECT{row.left + 14, row.top + 30, row.right - 12, row.bottom - 10}, font_body,
              theme_color(kSlotText), kWrapped);
}

void paint_check_card(HDC dc, const BoxState& state) {
    const RECT& card = state.check_card;
    paint_card_frame(dc, card, theme_color(kSlotAccent));
    const bool has_result = state.result_state != 0;
    if (has_result) paint_result_badge(dc, card.left + 46, (card.top + card.bottom) / 2, state.result_state == 1);
    const std::string headline = state.headline.empty() ? kCheckHint : state.headline;
    const int left = card.left + (has_result ? 84 : 18);
    const bool resting = !has_result && !state.animating;
    RECT headline_box = {left, card.top + 18, card.right - 16, resting ? card.bottom - 16 : card.top + 50};
    draw_text(dc, headline, headline_box, font_bold, theme_color(kSlotBright), resting ? kWrapped : kSingleLine);
    if (!state.subline.empty() && !resting) {
        const COLORREF color = state.result_state == 1 ? kSuccessSubline : theme_color(kSlotText);
        draw_text(dc, state.subline, RECT{left, headline_box.bottom + 2, card.right - 16, card.bottom - 14}, font_body,
                  color, kWrapped);
    }
    if (!state.show_detail) return;
    paint_detail_row(dc, state.pair_row, "PAIR", "");
    paint_detail_row(dc, state.artwork_row, "ARTWORK", "");
    paint_detail_row(dc, state.certificate_row, "CERTIFICATE", "");
    paint_detail_row(dc, state.sha_row, "IMAGE SHA-256", "");
    paint_detail_row(dc, state.holder_row, "Holds Certificate And Artwork", state.holder_text);
    paint_detail_row(dc, state.owner_row, "OWNER", state.owner_text);
}

void paint_pair_card(HDC dc, const BoxState& state) {
    const RECT& card = state.check_card;
    const bool has_result = state.result_state != 0;
    if (card.bottom - card.top <= 8) return;
    if (!state.animating && !has_result && state.headline.empty()) return;
    const bool failed = state.result_state == 2;
    paint_card_frame(dc, card, failed ? kFailureBadge : theme_color(kSlotAccent));
    if (has_result) paint_result_badge(dc, card.left + 46, (card.top + card.bottom) / 2, state.result_state == 1);
    std::string headline = state.headline;
    if (headline.empty()) headline = failed ? "Could not pair" : has_result ? "Paired successfully" : "Pairing ...";
    const int left = card.left + (has_result ? 84 : 18);
    draw_text(dc, headline, RECT{left, card.top + 18, card.right - 16, card.top + 50}, font_bold,
              failed ? kFailureHeadline : theme_color(kSlotBright), kSingleLine);
    const COLORREF sub_color = failed ? kFailureSubline : has_result ? kSuccessSubline : theme_color(kSlotText);
    draw_text(dc, state.subline, RECT{left, card.top + 52, card.right - 16, card.bottom - 14}, font_body, sub_color,
              kWrapped);
}

void draw_field_caption(HWND popup, HDC dc, int control_id, const std::string& caption) {
    HWND control = GetDlgItem(popup, control_id);
    if (!control || !IsWindowVisible(control)) return;
    RECT rect = {};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, popup, reinterpret_cast<POINT*>(&rect), 2);
    draw_text(dc, caption, RECT{rect.left, rect.top - 18, rect.left + 280, rect.top - 1}, font_small,
              theme_color(kSlotAccent), kSingleLine);
}

void paint_report_cards(HWND popup, HDC dc) {
    const RECT client = client_rect_of(popup);
    const RECT intro = {kMargin, 16, client.right - kMargin, 100};
    paint_card_frame(dc, intro, theme_color(kSlotAccent));
    draw_text(dc, "Bug reports and abuse. Not email.",
              RECT{intro.left + 18, intro.top + 12, intro.right - 16, intro.top + 36}, font_bold,
              theme_color(kSlotBright), kSingleLine);
    draw_text(dc,
              "The text is encrypted for the reader, signed with your identity key and sent on chain for 1001 sats "
              "and the miner fee.",
              RECT{intro.left + 18, intro.top + 38, intro.right - 16, intro.bottom - 8}, font_small,
              theme_color(kSlotText), kWrapped);
    HWND edit = GetDlgItem(popup, kBoxReportEdit);
    if (!edit || !IsWindowVisible(edit)) return;
    RECT field = {};
    GetWindowRect(edit, &field);
    MapWindowPoints(nullptr, popup, reinterpret_cast<POINT*>(&field), 2);
    // The card rings the edit, so its caption band sits between the two cards.
    paint_card_header(dc, RECT{field.left - 6, field.top - 6, field.right + 6, field.bottom + 6},
                      "REPORT (MAX 2000 CHARACTERS)", false);
}

int info_row_height(int limit, int count) {
    if (count <= 0) return 54;
    return std::clamp((limit - (count * 8 + 8)) / count, 54, 70);
}

void paint_info_table(HDC dc, const RECT& client, const std::vector<InfoRow>& rows) {
    const int limit = client.bottom - 58;
    const int count = static_cast<int>(rows.size());
    const int row_height = info_row_height(limit, count);
    int y = 16;
    for (int n = 1; n <= count; ++n) {
        const int bottom = y + row_height;
        if (bottom > limit) break;
        const InfoRow& row = rows[n - 1];
        paint_card_frame(dc, RECT{18, y, client.right - 18, bottom}, theme_color(kSlotAccent));
        draw_text(dc, std::to_string(n), RECT{26, y, 54, bottom}, font_bold, theme_color(kSlotAccent),
                  DT_SINGLELINE | DT_VCENTER | DT_CENTER);
        draw_text(dc, row.title, RECT{62, y + 6, client.right - 32, y + 26}, font_bold, theme_color(kSlotBright),
                  kSingleLine);
        draw_text(dc, row.text, RECT{62, y + 26, client.right - 32, bottom - 6}, font_body, theme_color(kSlotText),
                  kWrapped);
        y = bottom + 8;
    }
}

std::string pair_found_subline(bool holds_both, bool title_is_mine) {
    if (!holds_both && title_is_mine)
        return "The pair is signed and you are the owner. This wallet does not hold both coins.";
    if (!holds_both) return "The pair is signed. This wallet does not hold both coins.";
    if (title_is_mine) return "You hold the Authentic Certificate for this artwork.";
    return "The pair is signed. This wallet holds the certificate and artwork. Another owner is named.";
}

void show_pair_check(HWND popup, const PairInfo& info) {
    BoxState* state = box_state_of(popup);
    if (!state) return;
    KillTimer(popup, kBoxDotsTimer);
    state->animating = 0;
    state->dots = 0;
    state->pair_text.clear();
    state->artwork_text.clear();
    state->certificate_text.clear();
    state->sha_text.clear();
    state->holder_text.clear();
    state->owner_text.clear();

    if (info.pair_found) {
        const bool holds_both = info.holds_artwork && info.holds_certificate;
        const bool mine = info.title_is_mine != 0;
        state->result_state = 1;
        state->show_detail = 1;
        state->headline = "Pair matches";
        state->subline = pair_found_subline(holds_both, mine);
        state->pair_text = info.pair_txid;
        state->artwork_text = info.artwork_id;
        state->certificate_text = info.certificate_id;
        state->sha_text = info.sha256;
        state->holder_text = holds_both ? "Yes" : "No";
        std::string owner = info.owner_label;
        if (owner.empty() && mine) owner = connected_paymail_alias();
        if (owner.empty() && !info.owner.empty()) owner = primary_paymail_name_for_pubkey(info.owner);
        owner = owner.substr(0, owner.find('@'));
        if (owner.empty()) owner = mine ? "This wallet" : "Another owner";
        state->owner_text = owner;
    } else {
        state->result_state = 2;
        state->show_detail = 0;
        state->headline = "Pair does not match";
        state->subline = info.message.empty() ? "No signed pair for this certificate and artwork." : info.message;
    }
    set_control_text(popup, kBoxPairField, state->pair_text);
    set_control_text(popup, kBoxArtworkField, state->artwork_text);
    set_control_text(popup, kBoxCertField, state->certificate_text);
    set_control_text(popup, kBoxShaField, state->sha_text);
    relayout_and_repaint(popup, *state);
}

void show_pair_result(HWND popup, bool ok, const std::string& text) {
    BoxState* state = box_state_of(popup);
    if (!state) return;
    KillTimer(popup, kBoxDotsTimer);
    state->dots = 0;
    state->animating = 0;
    state->show_detail = 0;
    state->result_state = ok ? 1 : 2;
    state->headline = ok ? "Paired successfully" : "Could not pair";
    state->subline = ok ? "The certificate is bound to this artwork on chain." : capitalised_without_error_prefix(text);
    relayout_and_repaint(popup, *state);
}
