// The shell's drawing kit: colour mixing and paint primitives, the command icons, the owner-draw
// handlers of buttons and main-list rows, the hot-tracking and framing subclasses, the control
// factories of the popups, clipboard copy of a field, image decoding and the dark title bar.
// Colours are read from the live palette (theme.h) at paint time. GUI thread only.
#pragma once

#include <windows.h>

#include "wallet/codecs.h"

#include <memory>
#include <string>

namespace Gdiplus {
class Bitmap;
}

// Owns a GDI object (pen, brush, region, bitmap, font) and deletes it on every path. Declare it
// before the ScopedSelect that puts it into a device context, so it is put back out first.
struct ScopedGdiObject {
    HGDIOBJ object = nullptr;
    explicit ScopedGdiObject(HGDIOBJ o) : object(o) {}
    ~ScopedGdiObject();
    ScopedGdiObject(const ScopedGdiObject&) = delete;
    ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;
};

// Selects an object into a device context and restores the previous one on every path; a null
// object selects nothing.
struct ScopedSelect {
    HDC dc = nullptr;
    HGDIOBJ previous = nullptr;
    ScopedSelect(HDC d, HGDIOBJ object);
    ~ScopedSelect();
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;
};

// The window property that marks a button under the mouse (set by hot_button_subclass_proc).
constexpr wchar_t kHotButtonProperty[] = L"cv.hot";

// Subclass ids of the two subclass procedures.
constexpr UINT_PTR kHotButtonSubclassId = 1;
constexpr UINT_PTR kFramedControlSubclassId = 2;

// Copy buttons beside read-only fields carry ids in this range and draw a copy glyph.
constexpr int kFirstCopyButtonId = 350;
constexpr int kLastCopyButtonId = 353;

// Commands of the main list's context menu.
constexpr UINT kMenuViewArt = 1;
constexpr UINT kMenuSaveImage = 2;
constexpr UINT kMenuOffers = 3;

// Per channel c0 x (255 - amount) + c1 x amount, divided by 255; amount is clamped to 0..255.
COLORREF blend_colors(COLORREF c0, COLORREF c1, int amount);

// Paint primitives; rectangles are right- and bottom-exclusive and an empty one draws nothing.
void fill_solid_rect(HDC dc, const RECT& rect, COLORREF color);
void fill_vertical_gradient(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom);
void draw_gradient_round_rect(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom, COLORREF border, int radius);
void draw_rounded_card(HDC dc, const RECT& rect, COLORREF fill, COLORREF border, int radius, bool pressed);
// The raised face of a command card; nothing for a rectangle under 8 by 8.
void draw_bevel_button(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom, COLORREF accent, bool pressed);

// The line icon of control `id` centred on (cx, cy), scaled by `size`; nothing for an id without one.
void paint_command_icon(HDC dc, int id, int cx, int cy, COLORREF color, int size);
bool command_has_icon(int id);
// Accent of a command card (ids 104 to 111); the gold accent for any other id.
COLORREF command_accent_color(int id);
// Second line of a command card; empty for any other id.
const wchar_t* command_subtitle(int id);

// Owner-draw handlers: any owner-drawn button of the shell (button_painter.cpp; a disabled one is
// drawn dimmed, without hover or press), and one row of the main list.
void draw_button_item(const DRAWITEMSTRUCT& item);
void draw_list_item(const DRAWITEMSTRUCT& item);

// Hand cursor and hover highlight ("cv.hot") on buttons, subclass id 1.
LRESULT CALLBACK hot_button_subclass_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id,
                                          DWORD_PTR data);
// Two-tone frame around edits, read-only fields, combo boxes and lists, the list background and the
// main list's context menu, subclass id 2.
LRESULT CALLBACK framed_control_subclass_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id,
                                              DWORD_PTR data);

// Control factories of the popups; each returns the new control or null.
HWND make_button(HWND parent, const std::wstring& text, int id, int x, int y, int width, int height);
HWND make_edit(HWND parent, int id, int x, int y, int width);
HWND make_readonly_field(HWND parent, int id); // hidden until placed by place_copy_field
HWND make_copy_button(HWND parent, int id);    // hidden until placed by place_copy_field
HWND make_combo(HWND parent, int id, int y, int width, int height);

// Shows a read-only field and its copy button inside `card` when `visible` and the field has text,
// else hides both.
void place_copy_field(HWND window, const RECT& card, int field_id, int button_id, bool visible);

// Copies the control's text to the clipboard and says so in the status line.
void copy_control_text(HWND window, int control_id);

// A decoded image of encoded bytes (PNG, JPEG, GIF, WebP where GDI+ reads it); null when empty or
// undecodable. Needs GDI+ started.
std::unique_ptr<Gdiplus::Bitmap> bitmap_from_memory(const Bytes& bytes);

// Dark title bar in the live palette's caption, border and caption-text colours.
void apply_title_bar_theme(HWND window);
