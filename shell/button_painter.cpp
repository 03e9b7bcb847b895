#include "shell/drawing.h"

#include "shell/gdiplus_include.h"
#include "shell/shell.h"
#include "shell/theme.h"

#include <algorithm>

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
// Buttons of the main window above this line sit on the header band.
constexpr int kHeaderBandBottom = 192;
constexpr int kButtonCaptionMax = 128;

Gdiplus::Color gdiplus_color(COLORREF c) {
    return Gdiplus::Color(255, GetRValue(c), GetGValue(c), GetBValue(c));
}

bool is_command_card(int id) {
    return id >= 104 && id <= 111;
}

bool is_copy_button(int id) {
    return id >= kFirstCopyButtonId && id <= kLastCopyButtonId;
}

COLORREF button_background(HWND button) {
    HWND parent = GetParent(button);
    if (!parent || parent != main_window) return theme_color(kSlotPanel);
    RECT r = {};
    GetWindowRect(button, &r);
    POINT top_left = {r.left, r.top};
    ScreenToClient(parent, &top_left);
    return theme_color(top_left.y < kHeaderBandBottom ? kSlotHeader : kSlotWindow);
}

void draw_copy_glyph(HDC dc, const RECT& rect, bool pressed) {
    Gdiplus::Graphics g(dc);
    g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    Gdiplus::Pen pen(gdiplus_color(theme_color(kSlotAccent)), 1.7f);
    pen.SetLineJoin(Gdiplus::LineJoinRound);
    Gdiplus::SolidBrush back(gdiplus_color(theme_color(kSlotFace)));
    const float x = (rect.left + rect.right) / 2.0f;
    const float y = (rect.top + rect.bottom) / 2.0f + (pressed ? 1.0f : 0.0f);
    g.DrawRectangle(&pen, x - 1.2f, y - 6.9f, 7.8f, 9.3f);
    g.FillRectangle(&back, x - 6.9f, y - 2.4f, 7.8f, 9.3f);
    g.DrawRectangle(&pen, x - 6.9f, y - 2.4f, 7.8f, 9.3f);
}

} // namespace

COLORREF command_accent_color(int id) {
    switch (id) {
    case 104:
        return RGB(0xD4, 0xA4, 0x34);
    case 105:
        return RGB(0x56, 0x92, 0xD2);
    case 106:
        return RGB(0x38, 0xB0, 0xA2);
    case 107:
        return RGB(0xCC, 0x7A, 0x30);
    case 108:
        return RGB(0x40, 0xA8, 0xCE);
    case 109:
        return RGB(0xC4, 0x84, 0x40);
    case 110:
        return RGB(0x58, 0xB8, 0x70);
    case 111:
        return RGB(0x8A, 0x70, 0xCE);
    default:
        return RGB(0xD4, 0xAF, 0x37);
    }
}

const wchar_t* command_subtitle(int id) {
    switch (id) {
    case 104:
        return L"1Sat, up to 10 MB";
    case 105:
        return L"hash and origin";
    case 106:
        return L"0.002 BSV pair fee";
    case 107:
        return L"this PC only";
    case 108:
        return L"match the artwork";
    case 109:
        return L"who holds the title";
    case 110:
        return L"Certificate and Artwork";
    case 111:
        return L"artwork or certificate id";
    default:
        return L"";
    }
}

void draw_button_item(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    const RECT& rc = item.rcItem;
    const int id = static_cast<int>(item.CtlID);
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const bool pressed = !disabled && (item.itemState & ODS_SELECTED) != 0;
    const bool hot = !disabled && GetPropW(item.hwndItem, kHotButtonProperty) != nullptr;
    const bool card = is_command_card(id);
    const int shift = pressed ? 1 : 0;

    fill_solid_rect(dc, rc, button_background(item.hwndItem));
    const COLORREF face = theme_color(hot ? kSlotFaceHot : kSlotFace);
    const COLORREF border =
        pressed ? blend_colors(theme_color(kSlotAccent), kWhite, 40) : theme_color(hot ? kSlotAccent : kSlotBorder);

    if (is_copy_button(id)) {
        fill_solid_rect(dc, rc, theme_color(kSlotFace));
        draw_rounded_card(dc, rc, face, border, 8, pressed);
        draw_copy_glyph(dc, rc, pressed);
        return;
    }

    // A disabled button keeps its shape but loses most of its accent, so that it reads as resting.
    const COLORREF accent =
        disabled ? blend_colors(command_accent_color(id), theme_color(kSlotWindow), 190) : command_accent_color(id);
    if (card) {
        COLORREF top =
            blend_colors(blend_colors(theme_color(kSlotFace), accent, hot ? 168 : 128), kWhite, hot ? 42 : 22);
        COLORREF bottom = blend_colors(theme_color(kSlotWindow), accent, pressed ? 55 : 92);
        if (pressed) std::swap(top, bottom);
        draw_bevel_button(dc, rc, top, bottom, accent, pressed);
    } else {
        draw_rounded_card(dc, rc, disabled ? blend_colors(face, button_background(item.hwndItem), 150) : face,
                          disabled ? theme_color(kSlotBorder) : border, 8, pressed);
    }

    wchar_t caption[kButtonCaptionMax + 1] = {};
    GetWindowTextW(item.hwndItem, caption, kButtonCaptionMax + 1);
    SetBkMode(dc, TRANSPARENT);
    const int icon_x = rc.left + (card ? 42 : 18);
    const int icon_y = (rc.top + rc.bottom) / 2 + shift;
    const bool has_icon = command_has_icon(id);
    if (card && has_icon) {
        const RECT plate = {icon_x - 22, icon_y - 22, icon_x + 22, icon_y + 22};
        draw_gradient_round_rect(dc, plate, blend_colors(theme_color(kSlotWindow), accent, 150),
                                 blend_colors(theme_color(kSlotWindow), accent, 70),
                                 blend_colors(accent, kWhite, hot ? 80 : 36), 20);
    }
    const COLORREF ink = disabled ? theme_color(kSlotTextDim) : theme_color(kSlotAccent);
    if (has_icon) paint_command_icon(dc, id, icon_x, icon_y, ink, card ? 22 : 13);

    constexpr UINT kLineFlags = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS;
    ScopedSelect font_in(dc, font_bold);
    SetTextColor(dc, disabled ? theme_color(kSlotTextDim) : theme_color(kSlotBright));
    if (card) {
        RECT caption_rect = {rc.left + 78, rc.top + 8 + shift, rc.right - 10, rc.top + 30 + shift};
        DrawTextW(dc, caption, -1, &caption_rect, kLineFlags | DT_NOPREFIX);
        RECT subtitle_rect = {caption_rect.left, caption_rect.bottom, caption_rect.right, rc.bottom - 6};
        ScopedSelect small_in(dc, font_small);
        SetTextColor(dc, theme_color(kSlotTextDim));
        DrawTextW(dc, command_subtitle(id), -1, &subtitle_rect, kLineFlags | DT_NOPREFIX);
        return;
    }
    RECT text_rect = rc;
    if (has_icon) text_rect.left += 30;
    OffsetRect(&text_rect, 0, shift);
    DrawTextW(dc, caption, -1, &text_rect, kLineFlags | DT_CENTER | DT_NOPREFIX);
}
