#include "shell/drawing.h"

#include "shell/art_list.h"
#include "shell/art_viewer.h"
#include "shell/gallery_state.h"
#include "shell/gdiplus_include.h"
#include "shell/sale_window.h"
#include "shell/save_image.h"
#include "shell/shell.h"
#include "shell/status_line.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"
#include "wallet/session.h"

#include <commctrl.h>
#include <dwmapi.h>
#include <uxtheme.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kCertTagColor = RGB(0x7E, 0xB8, 0xD6);
constexpr COLORREF kConnectedDotColor = RGB(0x5C, 0xB8, 0x7A);
constexpr int kListTextMax = 512;

// ---- scoped GDI state -------------------------------------------------------------------------

// Narrows the device context's clip to `region` and gives the caller's clip back afterwards.
struct ScopedClip {
    HDC dc = nullptr;
    HRGN saved = nullptr;
    bool had_clip = false;
    ScopedClip(HDC d, HRGN region) : dc(d), saved(CreateRectRgn(0, 0, 0, 0)) {
        had_clip = saved && GetClipRgn(dc, saved) == 1;
        if (had_clip) {
            ExtSelectClipRgn(dc, region, RGN_AND);
        } else {
            SelectClipRgn(dc, region);
        }
    }
    ~ScopedClip() {
        SelectClipRgn(dc, had_clip ? saved : nullptr);
        if (saved) DeleteObject(saved);
    }
    ScopedClip(const ScopedClip&) = delete;
    ScopedClip& operator=(const ScopedClip&) = delete;
};

Gdiplus::Color gdiplus_color(COLORREF c) {
    return Gdiplus::Color(255, GetRValue(c), GetGValue(c), GetBValue(c));
}

void line(HDC dc, int x0, int y0, int x1, int y1) {
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

// Outline of a rounded rectangle with a hollow brush.
void outline_round_rect(HDC dc, int left, int top, int right, int bottom, int diameter, COLORREF color, int width) {
    ScopedGdiObject pen(CreatePen(PS_SOLID, width, color));
    ScopedSelect pen_in(dc, pen.object);
    ScopedSelect brush_in(dc, GetStockObject(HOLLOW_BRUSH));
    RoundRect(dc, left, top, right, bottom, diameter, diameter);
}

bool rect_is_empty(const RECT& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

// ---- command icons ----------------------------------------------------------------------------

struct IconPen {
    Gdiplus::Graphics& g;
    Gdiplus::Pen& pen;
    Gdiplus::SolidBrush& brush;
    float cx;
    float cy;
    float s;

    float x(float f) const { return cx + f * s; }
    float y(float f) const { return cy + f * s; }
    void line(float x0, float y0, float x1, float y1) { g.DrawLine(&pen, x(x0), y(y0), x(x1), y(y1)); }
    // Ellipse of width w and height h (in units of s) centred on (ox, oy).
    void ellipse(float ox, float oy, float w, float h) {
        g.DrawEllipse(&pen, x(ox) - w * s / 2, y(oy) - h * s / 2, w * s, h * s);
    }
    void dot(float ox, float oy, float d) { g.FillEllipse(&brush, x(ox) - d * s / 2, y(oy) - d * s / 2, d * s, d * s); }
    void arc(float ox, float oy, float w, float h, float start, float sweep) {
        g.DrawArc(&pen, x(ox) - w * s / 2, y(oy) - h * s / 2, w * s, h * s, start, sweep);
    }
    void rect(float ox, float oy, float w, float h) {
        g.DrawRectangle(&pen, x(ox) - w * s / 2, y(oy) - h * s / 2, w * s, h * s);
    }
    void triangle(float ax, float ay, float bx, float by, float qx, float qy) {
        Gdiplus::PointF points[3] = {{x(ax), y(ay)}, {x(bx), y(by)}, {x(qx), y(qy)}};
        g.FillPolygon(&brush, points, 3);
    }
    // Line from (x0, y) to (x1, y) ending in a filled head pointing right.
    void arrow_right(float x0, float x1, float yy) {
        line(x0, yy, x1 - 0.1f, yy);
        triangle(x1, yy, x1 - 0.18f, yy - 0.13f, x1 - 0.18f, yy + 0.13f);
    }
};

void paint_icon_shape(int id, IconPen& p) {
    switch (id) {
    case 101: { // Connect
        const bool connected = is_cofferly_connected();
        if (!connected) p.ellipse(0, 0, 0.68f, 0.68f);
        Gdiplus::SolidBrush green(gdiplus_color(kConnectedDotColor));
        Gdiplus::SolidBrush& fill = connected ? green : p.brush;
        p.g.FillEllipse(&fill, p.x(-0.22f), p.y(-0.22f), 0.44f * p.s, 0.44f * p.s);
        break;
    }
    case 102: // Unbind: two links, each open toward the other
        p.arc(-0.2f, 0, 0.44f, 0.44f, 40, 280);
        p.arc(0.2f, 0, 0.44f, 0.44f, 220, 280);
        break;
    case 103: { // Refresh: the head sits where the arc ends (320 degrees) and points along it
        p.arc(0, 0, 0.72f, 0.72f, 40, 280);
        const float a = 320.0f * 3.14159265f / 180.0f;
        const float ex = 0.36f * std::cos(a), ey = 0.36f * std::sin(a);
        const float tx = -std::sin(a), ty = std::cos(a); // direction of travel
        const float nx = std::cos(a), ny = std::sin(a);
        p.triangle(ex + tx * 0.14f, ey + ty * 0.14f, ex - tx * 0.06f + nx * 0.13f, ey - ty * 0.06f + ny * 0.13f,
                   ex - tx * 0.06f - nx * 0.13f, ey - ty * 0.06f - ny * 0.13f);
        break;
    }
    case 104: // Mint artwork: a picture with mountains and a sun
        p.rect(0, 0, 0.8f, 0.64f);
        p.line(-0.32f, 0.22f, -0.1f, -0.02f);
        p.line(-0.1f, -0.02f, 0.04f, 0.12f);
        p.line(0.04f, 0.12f, 0.32f, 0.22f - 0.3f);
        p.dot(0.18f, -0.16f, 0.14f);
        break;
    case 105: // Mint certificate: a page with two lines and a seal
        p.rect(0, 0, 0.52f, 0.76f);
        p.line(-0.16f, -0.22f, 0.16f, -0.22f);
        p.line(-0.16f, -0.08f, 0.16f, -0.08f);
        p.ellipse(0, 0.18f, 0.2f, 0.2f);
        break;
    case 106: // Pair
        p.ellipse(-0.12f, 0, 0.4f, 0.32f);
        p.ellipse(0.12f, 0, 0.4f, 0.32f);
        break;
    case 107:
    case 302: // Folders: a tab over a box
        p.line(-0.36f, -0.2f, -0.36f, -0.3f);
        p.line(-0.36f, -0.3f, -0.08f, -0.3f);
        p.line(-0.08f, -0.3f, 0.0f, -0.2f);
        p.rect(0, 0.04f, 0.72f, 0.48f);
        break;
    case 108: // Check
        p.ellipse(0, 0, 0.72f, 0.72f);
        p.line(-0.16f, 0.0f, -0.04f, 0.13f);
        p.line(-0.04f, 0.13f, 0.18f, -0.12f);
        break;
    case 109: // Ownership
        p.dot(-0.22f, -0.08f, 0.16f);
        p.dot(0, -0.08f, 0.16f);
        p.dot(0.22f, -0.08f, 0.16f);
        p.line(-0.22f, 0.18f, 0.22f, 0.18f);
        break;
    case 110:
    case 323: // Pass, Send report
        p.arrow_right(-0.34f, 0.34f, 0);
        break;
    case 111: // Look up
        p.ellipse(-0.06f, -0.06f, 0.48f, 0.48f);
        p.line(0.12f, 0.12f, 0.34f, 0.34f);
        break;
    case 125:
    case 413: // Close
        p.line(-0.22f, -0.22f, 0.22f, 0.22f);
        p.line(-0.22f, 0.22f, 0.22f, -0.22f);
        break;
    case 127: // Settings gear
        p.ellipse(0, 0, 0.32f, 0.32f);
        for (int i = 0; i < 8; ++i) {
            const float a = static_cast<float>(i) * 3.14159265f / 4.0f;
            p.line(0.22f * std::cos(a), 0.22f * std::sin(a), 0.42f * std::cos(a), 0.42f * std::sin(a));
        }
        break;
    case 128: // Help
        p.ellipse(0, 0, 0.72f, 0.72f);
        p.arc(0, -0.1f, 0.32f, 0.28f, 200, 280);
        p.line(0, 0.04f, 0, 0.1f);
        p.dot(0, 0.2f, 0.08f);
        break;
    case 303: // task popup action
        p.ellipse(0, 0, 0.6f, 0.6f);
        p.dot(0, 0, 0.16f);
        break;
    case 310: // New folder
        p.line(-0.22f, 0, 0.22f, 0);
        p.line(0, -0.22f, 0, 0.22f);
        break;
    case 311: // File certificate: a tray and a down arrow
        p.rect(0, 0.1f, 0.42f, 0.32f);
        p.line(0, -0.36f, 0, -0.04f);
        p.triangle(0, 0.06f, -0.1f, -0.06f, 0.1f, -0.06f);
        break;
    case 320: // Terms of use
        p.rect(0, 0, 0.52f, 0.68f);
        p.line(-0.14f, -0.18f, 0.14f, -0.18f);
        p.line(-0.14f, -0.04f, 0.14f, -0.04f);
        p.line(-0.14f, 0.1f, 0.06f, 0.1f);
        break;
    case 321: // Report: a flag
        p.line(-0.22f, -0.34f, -0.22f, 0.34f);
        p.triangle(-0.22f, -0.34f, 0.28f, -0.18f, -0.22f, -0.02f);
        break;
    default:
        break;
    }
}

// Text of one item of an owner-drawn list or combo box, at most kListTextMax characters.
std::wstring owner_drawn_item_text(const DRAWITEMSTRUCT& item) {
    const bool combo = item.CtlType == ODT_COMBOBOX;
    const UINT length_message = combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN;
    const UINT text_message = combo ? CB_GETLBTEXT : LB_GETTEXT;
    const LRESULT length = SendMessageW(item.hwndItem, length_message, item.itemID, 0);
    if (length <= 0) return std::wstring();
    // The text message has no buffer size, so the buffer is made as long as the list says the
    // text is and cut afterwards.
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(item.hwndItem, text_message, item.itemID, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(copied > 0 ? std::min<std::size_t>(static_cast<std::size_t>(copied), length) : 0);
    if (text.size() > kListTextMax) {
        std::size_t cut = kListTextMax;
        // Never keep half of a surrogate pair.
        if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
        text.resize(cut);
    }
    return text;
}

// The sale label of a main-list row: a gallery row's own status, else the frame status of a wallet
// artwork; empty for certificates and for rows outside the lists.
std::wstring main_list_sale_label(ULONG_PTR data) {
    const auto value = static_cast<LONG_PTR>(data);
    if (value < 0) return std::wstring();
    if (value & kGalleryRowFlag) {
        const auto index = static_cast<std::size_t>(value & ~kGalleryRowFlag);
        return index < gallery_buy_rows.size() ? gallery_buy_rows[index].status : std::wstring();
    }
    const auto index = static_cast<std::size_t>(value);
    if (index >= art_rows.size()) return std::wstring();
    const KvCofferlyOrdRow& row = art_rows[index];
    if (!row_is_artwork(row) || row.type == "application/json") return std::wstring();
    return sale_status_label(find_spot_for_art(row.key), row.key);
}

// ---- main-list context menu -------------------------------------------------------------------

void show_list_context_menu(HWND list, LPARAM lparam) {
    POINT screen = {static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
    if (LOWORD(lparam) == 0xFFFF && HIWORD(lparam) == 0xFFFF) {
        RECT r = {};
        GetWindowRect(list, &r);
        screen = {r.left + 24, r.top + 24};
    }
    POINT client = screen;
    ScreenToClient(list, &client);
    RECT area = {};
    GetClientRect(list, &area);
    if (!PtInRect(&area, client)) return;
    const LRESULT hit = SendMessageW(list, LB_ITEMFROMPOINT, 0, MAKELPARAM(client.x, client.y));
    const int index = LOWORD(hit);
    const LRESULT data = SendMessageW(list, LB_GETITEMDATA, index, 0);
    if (data == LB_ERR) return;
    const auto value = static_cast<LONG_PTR>(data);
    // Results handled while the menu is open may rebuild the rows, so the clicked row is copied now.
    KvCofferlyOrdRow clicked;
    bool wallet_row = false;
    if (value >= 0 && (value & kGalleryRowFlag)) {
        if (static_cast<std::size_t>(value & ~kGalleryRowFlag) >= gallery_buy_rows.size()) return;
    } else if (value >= 0 && static_cast<std::size_t>(value) < art_rows.size()) {
        clicked = art_rows[static_cast<std::size_t>(value)];
        if (!row_is_artwork(clicked) || clicked.type == "application/json") return;
        wallet_row = true;
    } else {
        return;
    }
    SendMessageW(list, LB_SETCURSEL, index, 0);
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    if (wallet_row) {
        AppendMenuW(menu, MF_STRING, kMenuViewArt, L"View art");
        AppendMenuW(menu, MF_STRING, kMenuSaveImage, L"Save img");
    }
    AppendMenuW(menu, MF_STRING, kMenuOffers, L"Offers");
    const UINT command = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, main_window, nullptr));
    DestroyMenu(menu);
    if (command == kMenuViewArt && wallet_row) {
        start_open_artwork(clicked);
    } else if (command == kMenuSaveImage && wallet_row) {
        start_save_img(clicked);
    } else if (command == kMenuOffers) {
        show_sale_window(static_cast<LPARAM>(value));
    }
}

bool is_class(HWND window, const wchar_t* class_name) {
    wchar_t name[32] = {};
    return GetClassNameW(window, name, 32) > 0 && lstrcmpiW(name, class_name) == 0;
}

void set_control_font(HWND control, HFONT font) {
    if (control && font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

HWND create_control(DWORD ex_style, const wchar_t* class_name, const wchar_t* text, DWORD style, int x, int y,
                    int width, int height, HWND parent, int id) {
    return CreateWindowExW(ex_style, class_name, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app_instance, nullptr);
}

} // namespace

// ---- scoped holders ---------------------------------------------------------------------------

ScopedGdiObject::~ScopedGdiObject() {
    if (object) DeleteObject(object);
}

ScopedSelect::ScopedSelect(HDC d, HGDIOBJ object) : dc(d), previous(object ? SelectObject(d, object) : nullptr) {}

ScopedSelect::~ScopedSelect() {
    if (previous && previous != HGDI_ERROR) SelectObject(dc, previous);
}

// ---- colours and paint primitives -------------------------------------------------------------

COLORREF blend_colors(COLORREF c0, COLORREF c1, int amount) {
    const int a = std::clamp(amount, 0, 255);
    auto mix = [a](int v0, int v1) { return std::clamp((v0 * (255 - a) + v1 * a) / 255, 0, 255); };
    return RGB(mix(GetRValue(c0), GetRValue(c1)), mix(GetGValue(c0), GetGValue(c1)), mix(GetBValue(c0), GetBValue(c1)));
}

void fill_solid_rect(HDC dc, const RECT& rect, COLORREF color) {
    if (rect_is_empty(rect)) return;
    ScopedGdiObject brush(CreateSolidBrush(color));
    if (brush.object) FillRect(dc, &rect, static_cast<HBRUSH>(brush.object));
}

void fill_vertical_gradient(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom) {
    if (rect_is_empty(rect)) return;
    TRIVERTEX vertices[2] = {};
    vertices[0] = {rect.left,
                   rect.top,
                   static_cast<COLOR16>(GetRValue(top) << 8),
                   static_cast<COLOR16>(GetGValue(top) << 8),
                   static_cast<COLOR16>(GetBValue(top) << 8),
                   0xFF00};
    vertices[1] = {rect.right,
                   rect.bottom,
                   static_cast<COLOR16>(GetRValue(bottom) << 8),
                   static_cast<COLOR16>(GetGValue(bottom) << 8),
                   static_cast<COLOR16>(GetBValue(bottom) << 8),
                   0xFF00};
    GRADIENT_RECT span = {0, 1};
    GradientFill(dc, vertices, 2, &span, 1, GRADIENT_FILL_RECT_V);
}

void draw_gradient_round_rect(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom, COLORREF border, int radius) {
    if (rect_is_empty(rect)) return;
    {
        ScopedGdiObject region(
            CreateRoundRectRgn(rect.left, rect.top, rect.right + 1, rect.bottom + 1, radius, radius));
        ScopedClip clip(dc, static_cast<HRGN>(region.object));
        fill_vertical_gradient(dc, rect, top, bottom);
    }
    outline_round_rect(dc, rect.left, rect.top, rect.right - 1, rect.bottom - 1, radius, border, 1);
}

void draw_rounded_card(HDC dc, const RECT& rect, COLORREF fill, COLORREF border, int radius, bool pressed) {
    if (rect_is_empty(rect)) return;
    const COLORREF light = blend_colors(fill, kWhite, pressed ? 28 : 78);
    const COLORREF dark = blend_colors(fill, kBlack, pressed ? 28 : 88);
    const COLORREF top = pressed ? dark : light;
    const COLORREF bottom = pressed ? light : dark;
    {
        ScopedGdiObject region(
            CreateRoundRectRgn(rect.left, rect.top, rect.right + 1, rect.bottom + 1, radius, radius));
        ScopedClip clip(dc, static_cast<HRGN>(region.object));
        const int h = rect.bottom - rect.top;
        for (int i = 0; i < h; ++i) {
            const COLORREF c = h == 1 ? top : blend_colors(top, bottom, i * 255 / (h - 1));
            ScopedGdiObject pen(CreatePen(PS_SOLID, 1, c));
            ScopedSelect pen_in(dc, pen.object);
            line(dc, rect.left, rect.top + i, rect.right, rect.top + i);
        }
    }
    const COLORREF highlight = pressed ? blend_colors(light, kBlack, 40) : blend_colors(light, kWhite, 90);
    outline_round_rect(dc, rect.left + 1, rect.top + 1, rect.right - 2, rect.bottom - 2, radius - 2, highlight, 1);
    outline_round_rect(dc, rect.left, rect.top, rect.right - 1, rect.bottom - 1, radius, border, 1);
}

void draw_bevel_button(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom, COLORREF accent, bool pressed) {
    if (rect.right - rect.left < 8 || rect.bottom - rect.top < 8) return;
    constexpr int kDiameter = 14;
    const bool p = pressed;

    RECT shadow = {rect.left + 1, rect.top + 1, rect.right - 1, rect.bottom - 1};
    OffsetRect(&shadow, p ? 1 : 3, p ? 1 : 4);
    shadow.right = std::min(shadow.right, rect.right - 1);
    shadow.bottom = std::min(shadow.bottom, rect.bottom - 1);
    {
        ScopedGdiObject region(
            CreateRoundRectRgn(shadow.left, shadow.top, shadow.right, shadow.bottom, kDiameter, kDiameter));
        ScopedGdiObject brush(CreateSolidBrush(blend_colors(kBlack, accent, p ? 40 : 80)));
        if (region.object && brush.object)
            FillRgn(dc, static_cast<HRGN>(region.object), static_cast<HBRUSH>(brush.object));
    }

    RECT face = rect;
    face.right = std::max(rect.right - (p ? 2 : 5), rect.left + 4);
    face.bottom = std::max(rect.bottom - (p ? 0 : 4) - 2, rect.top + 4);
    if (p) OffsetRect(&face, 1, 1);
    const COLORREF hi = blend_colors(top, kWhite, p ? 10 : 55);
    const COLORREF lo = blend_colors(bottom, kBlack, p ? 20 : 35);
    draw_gradient_round_rect(dc, face, p ? lo : hi, p ? hi : lo, blend_colors(accent, kWhite, p ? 20 : 50), kDiameter);

    const COLORREF light = blend_colors(hi, kWhite, p ? 20 : 90);
    const COLORREF dark = blend_colors(lo, kBlack, 40);
    ScopedGdiObject region(
        CreateRoundRectRgn(face.left, face.top, face.right + 1, face.bottom + 1, kDiameter, kDiameter));
    ScopedClip clip(dc, static_cast<HRGN>(region.object));
    ScopedGdiObject light_pen(CreatePen(PS_SOLID, 2, p ? dark : light));
    ScopedGdiObject dark_pen(CreatePen(PS_SOLID, 2, p ? light : dark));
    {
        ScopedSelect pen_in(dc, light_pen.object);
        line(dc, face.left + 8, face.top + 2, face.right - 8, face.top + 2);
        line(dc, face.left + 2, face.top + 8, face.left + 2, face.bottom - 8);
    }
    ScopedSelect pen_in(dc, dark_pen.object);
    line(dc, face.left + 8, face.bottom - 3, face.right - 8, face.bottom - 3);
    line(dc, face.right - 3, face.top + 8, face.right - 3, face.bottom - 8);
}

// ---- icons and commands -----------------------------------------------------------------------

bool command_has_icon(int id) {
    if (id >= 101 && id <= 111) return true;
    switch (id) {
    case 125:
    case 127:
    case 128:
    case 302:
    case 303:
    case 310:
    case 311:
    case 320:
    case 321:
    case 323:
    case 413:
        return true;
    default:
        return false;
    }
}

void paint_command_icon(HDC dc, int id, int cx, int cy, COLORREF color, int size) {
    if (!command_has_icon(id)) return;
    const int s = std::max(size, 8);
    Gdiplus::Graphics g(dc);
    g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    Gdiplus::Pen pen(gdiplus_color(color), s < 16 ? 1.55f : 1.8f);
    pen.SetLineJoin(Gdiplus::LineJoinRound);
    pen.SetStartCap(Gdiplus::LineCapRound);
    pen.SetEndCap(Gdiplus::LineCapRound);
    Gdiplus::SolidBrush brush(gdiplus_color(color));
    IconPen p{g, pen, brush, static_cast<float>(cx), static_cast<float>(cy), static_cast<float>(s)};
    paint_icon_shape(id, p);
}

// ---- owner draw -------------------------------------------------------------------------------

void draw_list_item(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    const RECT& rc = item.rcItem;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    // A narrow list would otherwise let the tag pill spill into the next row or the frame.
    ScopedGdiObject row_region(CreateRectRgnIndirect(&rc));
    ScopedClip clip(dc, static_cast<HRGN>(row_region.object));
    const COLORREF panel = theme_color(kSlotPanel);
    COLORREF background = selected ? blend_colors(panel, theme_color(kSlotAccent), 48) : panel;
    if (!selected && (item.itemID & 1u)) background = blend_colors(panel, kWhite, 10);
    fill_solid_rect(dc, rc, background);
    if (selected) fill_solid_rect(dc, RECT{rc.left, rc.top, rc.left + 3, rc.bottom}, theme_color(kSlotAccent));
    if (!selected) {
        ScopedGdiObject pen(CreatePen(PS_SOLID, 1, blend_colors(panel, theme_color(kSlotBorder), 80)));
        ScopedSelect pen_in(dc, pen.object);
        line(dc, rc.left + 10, rc.bottom - 1, rc.right - 8, rc.bottom - 1);
    }
    if (item.itemID == static_cast<UINT>(-1)) return;

    std::wstring text = owner_drawn_item_text(item);
    ScopedSelect font_in(dc, font_body);
    SetBkMode(dc, TRANSPARENT);
    RECT text_rect = {rc.left + 12, rc.top, rc.right - 8, rc.bottom};

    static const std::wstring kArtPrefix = L"picture  ";
    static const std::wstring kCertPrefix = L"json  ";
    const wchar_t* tag = nullptr;
    COLORREF tag_color = 0;
    if (text.compare(0, kArtPrefix.size(), kArtPrefix) == 0) {
        tag = L"ART";
        tag_color = theme_color(kSlotAccent);
        text.erase(0, kArtPrefix.size());
    } else if (text.compare(0, kCertPrefix.size(), kCertPrefix) == 0) {
        tag = L"CERT";
        tag_color = kCertTagColor;
        text.erase(0, kCertPrefix.size());
    }
    if (tag) {
        RECT pill = {text_rect.left + 2, rc.top + 6, text_rect.left + 54, rc.bottom - 6};
        draw_rounded_card(dc, pill, blend_colors(background, tag_color, selected ? 70 : 42),
                          blend_colors(tag_color, theme_color(kSlotBorder), 90), 10, false);
        SetTextColor(dc, tag_color);
        DrawTextW(dc, tag, -1, &pill, DT_CENTER | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        text_rect.left += 66;
    }

    if (item.hwndItem && item.hwndItem == art_list) {
        const std::wstring label = main_list_sale_label(item.itemData);
        if (!label.empty()) {
            RECT client = {};
            GetClientRect(item.hwndItem, &client);
            RECT label_rect = {client.right - 16 - 148, rc.top, client.right - 16, rc.bottom};
            SetTextColor(dc, theme_color(kSlotAccent));
            DrawTextW(dc, label.c_str(), -1, &label_rect,
                      DT_RIGHT | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
            text_rect.right = std::min(text_rect.right, label_rect.left - 16);
        }
    }
    SetTextColor(dc, theme_color(selected ? kSlotBright : kSlotText));
    DrawTextW(dc, text.c_str(), -1, &text_rect, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
}

// ---- subclasses -------------------------------------------------------------------------------

LRESULT CALLBACK hot_button_subclass_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                          DWORD_PTR) {
    switch (message) {
    case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
    case WM_MOUSEMOVE:
        if (!GetPropW(window, kHotButtonProperty)) {
            SetPropW(window, kHotButtonProperty, reinterpret_cast<HANDLE>(1));
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, window, 0};
            TrackMouseEvent(&track);
            InvalidateRect(window, nullptr, FALSE);
        }
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        break;
    case WM_MOUSELEAVE:
        RemovePropW(window, kHotButtonProperty);
        InvalidateRect(window, nullptr, FALSE);
        break;
    case WM_NCDESTROY:
        RemovePropW(window, kHotButtonProperty);
        RemoveWindowSubclass(window, hot_button_subclass_proc, kHotButtonSubclassId);
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

LRESULT CALLBACK framed_control_subclass_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                              DWORD_PTR) {
    switch (message) {
    case WM_SETCURSOR:
        if (is_class(window, L"LISTBOX")) {
            SetCursor(LoadCursorW(nullptr, IDC_HAND));
            return TRUE;
        }
        break;
    case WM_ERASEBKGND:
        if (is_class(window, L"LISTBOX")) {
            RECT client = {};
            GetClientRect(window, &client);
            FillRect(reinterpret_cast<HDC>(wparam), &client,
                     brush_panel ? brush_panel : GetSysColorBrush(COLOR_WINDOW));
            return TRUE;
        }
        break;
    case WM_NCPAINT: {
        const LRESULT result = DefSubclassProc(window, message, wparam, lparam);
        HDC dc = GetWindowDC(window);
        if (dc) {
            RECT r = {};
            GetWindowRect(window, &r);
            OffsetRect(&r, -r.left, -r.top);
            ScopedSelect brush_in(dc, GetStockObject(HOLLOW_BRUSH));
            {
                ScopedGdiObject outer(CreatePen(PS_SOLID, 1, theme_color(kSlotBorder)));
                ScopedSelect pen_in(dc, outer.object);
                Rectangle(dc, r.left, r.top, r.right, r.bottom);
            }
            ScopedGdiObject inner(CreatePen(PS_SOLID, 1, blend_colors(theme_color(kSlotPanel), kWhite, 40)));
            ScopedSelect pen_in(dc, inner.object);
            Rectangle(dc, r.left + 1, r.top + 1, r.right - 1, r.bottom - 1);
        }
        if (dc) ReleaseDC(window, dc);
        (void)result;
        return 0;
    }
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, framed_control_subclass_proc, kFramedControlSubclassId);
        break;
    case WM_CONTEXTMENU:
        if (art_list && window == art_list) {
            show_list_context_menu(window, lparam);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

// ---- factories --------------------------------------------------------------------------------

HWND make_button(HWND parent, const std::wstring& text, int id, int x, int y, int width, int height) {
    HWND button = create_control(0, L"BUTTON", text.c_str(), WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, x, y, width, height,
                                 parent, id);
    if (!button) return nullptr;
    set_control_font(button, font_bold);
    SetWindowSubclass(button, hot_button_subclass_proc, kHotButtonSubclassId, 0);
    return button;
}

HWND make_edit(HWND parent, int id, int x, int y, int width) {
    HWND edit = create_control(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, x, y, width, 26,
                               parent, id);
    if (!edit) return nullptr;
    SetWindowTheme(edit, L"", L"");
    set_control_font(edit, font_body);
    SetWindowSubclass(edit, framed_control_subclass_proc, kFramedControlSubclassId, 0);
    return edit;
}

HWND make_readonly_field(HWND parent, int id) {
    HWND field =
        create_control(0, L"EDIT", L"", WS_CHILD | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, 0, 0, 10, 22, parent, id);
    if (!field) return nullptr;
    SetWindowTheme(field, L"", L"");
    set_control_font(field, font_mono ? font_mono : font_body);
    SetWindowSubclass(field, framed_control_subclass_proc, kFramedControlSubclassId, 0);
    return field;
}

HWND make_copy_button(HWND parent, int id) {
    HWND button = create_control(0, L"BUTTON", L"", WS_CHILD | BS_OWNERDRAW, 0, 0, 28, 26, parent, id);
    if (!button) return nullptr;
    SetWindowSubclass(button, hot_button_subclass_proc, kHotButtonSubclassId, 0);
    return button;
}

HWND make_combo(HWND parent, int id, int y, int width, int height) {
    HWND combo =
        create_control(0, L"COMBOBOX", L"",
                       WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS, 16,
                       y, width, height, parent, id);
    if (!combo) return nullptr;
    set_control_font(combo, font_body);
    SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), 26);
    SetWindowSubclass(combo, framed_control_subclass_proc, kFramedControlSubclassId, 0);
    return combo;
}

void place_copy_field(HWND window, const RECT& card, int field_id, int button_id, bool visible) {
    HWND field = GetDlgItem(window, field_id);
    HWND button = GetDlgItem(window, button_id);
    if (!field || !button) return;
    if (visible && GetWindowTextLengthW(field) > 0 && card.bottom - card.top > 8) {
        const int width = std::max(static_cast<int>(card.right - card.left - 24), 80) - 36;
        SetWindowPos(field, nullptr, card.left + 12, card.top + 28, width, 22, SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(button, nullptr, card.right - 40, card.top + 26, 28, 26, SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(field, SW_SHOW);
        ShowWindow(button, SW_SHOW);
        return;
    }
    ShowWindow(field, SW_HIDE);
    ShowWindow(button, SW_HIDE);
}

void copy_control_text(HWND window, int control_id) {
    HWND control = GetDlgItem(window, control_id);
    const std::wstring text = control ? get_control_text(window, control_id) : std::wstring();
    if (text.empty()) {
        set_status_text(std::wstring(L"Nothing to copy."));
        return;
    }
    if (!OpenClipboard(window)) {
        set_status_text(std::wstring(L"Could not copy."));
        return;
    }
    EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    bool copied = false;
    if (HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* target = GlobalLock(block)) {
            std::memcpy(target, text.c_str(), bytes);
            GlobalUnlock(block);
            copied = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
        }
        // The clipboard owns the block only once it took it.
        if (!copied) GlobalFree(block);
    }
    CloseClipboard();
    if (!copied) {
        set_status_text(std::wstring(L"Could not copy."));
        return;
    }
    SendMessageW(control, EM_SETSEL, 0, -1);
    set_status_text(std::wstring(L"Copied."));
}

std::unique_ptr<Gdiplus::Bitmap> bitmap_from_memory(const Bytes& bytes) {
    if (bytes.empty()) return nullptr;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (!block) return nullptr;
    void* target = GlobalLock(block);
    if (!target) {
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(target, bytes.data(), bytes.size());
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || !stream) {
        GlobalFree(block);
        return nullptr;
    }
    // The bitmap keeps its own reference to the stream, which frees the block when the last one goes.
    std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream));
    stream->Release();
    if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return bitmap;
}

void apply_title_bar_theme(HWND window) {
    if (!window) return;
    const DWORD dark = 1;
    const DWORD caption = theme_color(kSlotHeader);
    const DWORD border = theme_color(kSlotAccent);
    const DWORD caption_text = theme_color(kSlotText);
    DwmSetWindowAttribute(window, 20, &dark, sizeof(dark));
    DwmSetWindowAttribute(window, 35, &caption, sizeof(caption));
    DwmSetWindowAttribute(window, 34, &border, sizeof(border));
    DwmSetWindowAttribute(window, 36, &caption_text, sizeof(caption_text));
}
