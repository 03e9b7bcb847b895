#include "shell/box_painting.h"

#include "platform/win_text.h"
#include "shell/drawing.h"
#include "shell/popup_views.h"
#include "shell/report_panel.h"
#include "shell/theme.h"

#include <algorithm>

namespace {

// The popup's background runs from a lighter to a darker shade of the panel colour.
void background_colors(COLORREF& top, COLORREF& bottom) {
    const COLORREF panel = theme_color(kSlotPanel);
    top = blend_colors(panel, RGB(255, 255, 255), 16);
    bottom = blend_colors(panel, RGB(0, 0, 0), 28);
}

// A pattern brush holding a strip of the popup's gradient, remade only when the popup's height or
// the palette changes. One is enough: a label asks for it and fills with it within one paint.
struct GradientBrush {
    HBITMAP strip = nullptr;
    HBRUSH brush = nullptr;
    int height = 0;
    COLORREF top = 0;
    COLORREF bottom = 0;
    GradientBrush() = default;
    GradientBrush(const GradientBrush&) = delete;
    GradientBrush& operator=(const GradientBrush&) = delete;
    ~GradientBrush() { release(); }
    void release() {
        if (brush) DeleteObject(brush);
        if (strip) DeleteObject(strip);
        brush = nullptr;
        strip = nullptr;
    }
};

GradientBrush label_brush;

HBRUSH gradient_brush_for(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    const int height = std::max(1, static_cast<int>(client.bottom));
    COLORREF top = 0;
    COLORREF bottom = 0;
    background_colors(top, bottom);
    if (label_brush.brush && label_brush.height == height && label_brush.top == top && label_brush.bottom == bottom)
        return label_brush.brush;
    label_brush.release();
    HDC screen = GetDC(nullptr);
    if (!screen) return nullptr;
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP strip = CreateCompatibleBitmap(screen, 8, height);
    ReleaseDC(nullptr, screen);
    if (memory && strip) {
        ScopedSelect selected(memory, strip);
        fill_vertical_gradient(memory, RECT{0, 0, 8, height}, top, bottom);
    }
    if (memory) DeleteDC(memory);
    if (!strip) return nullptr;
    label_brush.strip = strip;
    label_brush.brush = CreatePatternBrush(strip);
    label_brush.height = height;
    label_brush.top = top;
    label_brush.bottom = bottom;
    if (!label_brush.brush) label_brush.release();
    return label_brush.brush;
}

void draw_combo_item(const DRAWITEMSTRUCT& item) {
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    const COLORREF fill =
        selected ? blend_colors(theme_color(kSlotPanel), theme_color(kSlotAccent), 55) : theme_color(kSlotPanel);
    fill_solid_rect(item.hDC, item.rcItem, fill);
    if (item.itemID == static_cast<UINT>(-1)) return;
    const LRESULT length = SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, item.itemID, 0);
    if (length <= 0) return;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied =
        SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID, reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    RECT box = item.rcItem;
    box.left += 8;
    box.right -= 6;
    ScopedSelect font_scope(item.hDC, font_body ? static_cast<HGDIOBJ>(font_body) : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, theme_color(kSlotText));
    DrawTextW(item.hDC, text.c_str(), static_cast<int>(text.size()), &box,
              DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
}

} // namespace

// Labels erase with the popup's own gradient, lined up with their place in the client area, so
// they sit on the background without a strip of another shade; a label whose text changes still
// wipes the old text, which a hollow brush would leave behind. Read-only edits also ask here and
// keep the panel colour of a text box.
LRESULT box_control_color(HWND window, HWND control, HDC dc) {
    const int id = GetDlgCtrlID(control);
    const bool on_card = id == kBoxLiveOwner || id == kBoxCertText || id == kBoxHistory || id == kBoxReportEdit ||
                         id == kBoxLastSale || (id >= kBoxPairField && id <= kBoxShaField);
    SetTextColor(dc, theme_color(kSlotText));
    if (on_card && brush_slot6) {
        SetBkColor(dc, theme_color(kSlotFace));
        return reinterpret_cast<LRESULT>(brush_slot6);
    }
    if ((SendMessageW(control, WM_GETDLGCODE, 0, 0) & DLGC_STATIC) != 0) {
        if (HBRUSH gradient = gradient_brush_for(window)) {
            POINT origin = {0, 0};
            MapWindowPoints(control, window, &origin, 1);
            SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(gradient);
        }
    }
    SetBkColor(dc, theme_color(kSlotPanel));
    return reinterpret_cast<LRESULT>(brush_panel ? brush_panel : GetStockObject(WHITE_BRUSH));
}

void box_measure_item(MEASUREITEMSTRUCT& item) {
    item.itemHeight = item.CtlType == ODT_COMBOBOX ? 26 : 28;
}

void box_draw_item(const DRAWITEMSTRUCT& item) {
    if (item.CtlType == ODT_COMBOBOX)
        draw_combo_item(item);
    else if (item.CtlType == ODT_LISTBOX)
        draw_list_item(item);
    else if (item.CtlType == ODT_BUTTON)
        draw_button_item(item);
}

void box_paint_background(HWND window, HDC dc) {
    RECT client = {};
    GetClientRect(window, &client);
    COLORREF top = 0;
    COLORREF bottom = 0;
    background_colors(top, bottom);
    fill_vertical_gradient(dc, client, top, bottom);
}

void box_paint(HWND window, const BoxState& state) {
    PAINTSTRUCT paint = {};
    HDC dc = BeginPaint(window, &paint);
    if (!dc) return;
    box_paint_background(window, dc);
    RECT client = {};
    GetClientRect(window, &client);
    switch (state.mode) {
    case kBoxOwnership:
    case kBoxLookUp:
        paint_ownership_cards(window, dc, state);
        break;
    case kBoxCheck:
        paint_check_card(dc, state);
        break;
    case kBoxPair:
        paint_pair_card(dc, state);
        break;
    case kBoxHelp:
        paint_info_table(dc, client, help_rows());
        break;
    case kBoxTerms:
        paint_info_table(dc, client, terms_rows());
        break;
    case kBoxReport:
        paint_report_cards(window, dc);
        break;
    default:
        break;
    }
    EndPaint(window, &paint);
}
