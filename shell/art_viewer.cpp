#include "shell/art_viewer.h"

#include "ordinals/content_load.h"
#include "shell/drawing.h"
#include "shell/gdiplus_include.h"
#include "shell/jobs.h"
#include "shell/save_image.h"
#include "shell/status_line.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>

#include <shellapi.h>
#include <windowsx.h>

namespace {

constexpr UINT_PTR kQuietTimer = 77;
constexpr UINT kQuietMs = 90;
constexpr UINT kMenuSaveImg = 2;
constexpr double kMinZoom = 0.2;
constexpr double kMaxZoom = 16.0;
constexpr double kNearestAbove = 2.5;
constexpr int kScaledCap = 4096;

struct ViewState {
    std::wstring name;
    std::wstring id;
    std::unique_ptr<Gdiplus::Bitmap> image;
    double zoom = 1.0;
    double pan_x = 0.0;
    double pan_y = 0.0;
    bool dragging = false;
    bool interacting = false;
    int last_x = 0;
    int last_y = 0;
    HBITMAP back_buffer = nullptr;
    HBITMAP chrome = nullptr;
    HBITMAP scaled_image = nullptr;
    int buffer_width = 0;
    int buffer_height = 0;
    int scaled_width = 0;
    int scaled_height = 0;
    double scaled_zoom = 0.0;
};

// A memory DC with one bitmap selected, restored and deleted on every path.
struct MemoryDc {
    HDC dc = nullptr;
    HGDIOBJ old = nullptr;
    MemoryDc(HDC compatible, HBITMAP bitmap) {
        dc = CreateCompatibleDC(compatible);
        if (dc) old = SelectObject(dc, bitmap);
    }
    ~MemoryDc() {
        if (!dc) return;
        SelectObject(dc, old);
        DeleteDC(dc);
    }
    MemoryDc(const MemoryDc&) = delete;
    MemoryDc& operator=(const MemoryDc&) = delete;
};

ViewState* state_of(HWND window) {
    return reinterpret_cast<ViewState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void delete_bitmap(HBITMAP& bitmap) {
    if (bitmap) DeleteObject(bitmap);
    bitmap = nullptr;
}

void drop_scaled_image(ViewState& state) {
    delete_bitmap(state.scaled_image);
    state.scaled_width = 0;
    state.scaled_height = 0;
    state.scaled_zoom = 0.0;
}

RECT picture_area(const RECT& client) {
    return {28, 90, client.right - 28, client.bottom - 28};
}

int image_width(const ViewState& state) {
    return state.image ? static_cast<int>(state.image->GetWidth()) : 0;
}

int image_height(const ViewState& state) {
    return state.image ? static_cast<int>(state.image->GetHeight()) : 0;
}

Gdiplus::InterpolationMode quality_mode(double zoom) {
    return zoom > kNearestAbove ? Gdiplus::InterpolationModeNearestNeighbor
                                : Gdiplus::InterpolationModeHighQualityBicubic;
}

std::wstring zoom_text(double zoom) {
    wchar_t text[64] = {};
    std::swprintf(text, 64, L"%d%%   scroll to zoom", static_cast<int>(zoom * 100 + 0.5));
    return text;
}

void draw_zoom_text(HDC dc, const RECT& client, const ViewState& state) {
    RECT area = {client.right - 168, 34, client.right - 16, 58};
    HGDIOBJ old_font = SelectObject(dc, font_small);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, theme_color(kSlotTextDim));
    DrawTextW(dc, zoom_text(state.zoom).c_str(), -1, &area, DT_RIGHT | DT_SINGLELINE | DT_VCENTER);
    SelectObject(dc, old_font);
}

void paint_view_overlay(HDC dc, HWND window, const ViewState& state) {
    RECT client = {};
    GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;
    FillRect(dc, &client, brush_window);

    const COLORREF header = theme_color(kSlotHeader);
    RECT band = {0, 0, width, 64};
    fill_vertical_gradient(dc, band, blend_colors(header, RGB(255, 255, 255), 22), header);
    RECT line = {0, 63, width, 64};
    HBRUSH accent = CreateSolidBrush(theme_color(kSlotAccent));
    if (accent) {
        FillRect(dc, &line, accent);
        DeleteObject(accent);
    }

    SetBkMode(dc, TRANSPARENT);
    const UINT one_line = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX;
    HGDIOBJ old_font = SelectObject(dc, font_bold);
    SetTextColor(dc, theme_color(kSlotBright));
    RECT name_rect = {18, 8, width - 18, 34};
    DrawTextW(dc, state.name.empty() ? L"Artwork" : state.name.c_str(), -1, &name_rect, one_line);
    SelectObject(dc, font_small);
    SetTextColor(dc, theme_color(kSlotTextDim));
    RECT id_rect = {18, 34, width - 150, 58};
    DrawTextW(dc, state.id.c_str(), -1, &id_rect, one_line);
    SelectObject(dc, old_font);
    draw_zoom_text(dc, client, state);

    if (width > 72 && height > 134) {
        RECT panel = {16, 78, width - 16, height - 16};
        draw_rounded_card(dc, panel, theme_color(kSlotPanel), theme_color(kSlotBorder), 12, false);
    }
}

void build_scaled_image(HWND window, ViewState& state, int width, int height) {
    drop_scaled_image(state);
    if (!state.image || width < 1 || height < 1 || width > kScaledCap || height > kScaledCap) return;
    HDC window_dc = GetDC(window);
    if (!window_dc) return;
    HBITMAP bitmap = CreateCompatibleBitmap(window_dc, width, height);
    if (bitmap) {
        MemoryDc memory(window_dc, bitmap);
        if (memory.dc) {
            RECT all = {0, 0, width, height};
            FillRect(memory.dc, &all, brush_panel);
            Gdiplus::Graphics graphics(memory.dc);
            graphics.SetInterpolationMode(quality_mode(state.zoom));
            graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
            graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
            graphics.DrawImage(state.image.get(), Gdiplus::Rect(0, 0, width, height), 0, 0, image_width(state),
                               image_height(state), Gdiplus::UnitPixel);
            state.scaled_image = bitmap;
            state.scaled_width = width;
            state.scaled_height = height;
            state.scaled_zoom = state.zoom;
        } else {
            DeleteObject(bitmap);
        }
    }
    ReleaseDC(window, window_dc);
}

void paint_view_image(HDC dc, HWND window, ViewState& state, bool interacting) {
    if (!state.image || state.image->GetLastStatus() != Gdiplus::Ok) return;
    RECT client = {};
    GetClientRect(window, &client);
    const RECT area = picture_area(client);
    if (area.right - area.left <= 4 || area.bottom - area.top <= 4) return;
    const ViewPlacement at =
        view_placement(image_width(state), image_height(state), area, state.zoom, state.pan_x, state.pan_y);
    const RECT dest = {at.x0, at.y0, at.x0 + at.width, at.y0 + at.height};
    RECT visible = {};
    if (!IntersectRect(&visible, &dest, &area)) return;
    const bool scaled_matches = state.scaled_image && state.scaled_zoom == state.zoom &&
                                state.scaled_width == at.width && state.scaled_height == at.height;
    if (!interacting && scaled_matches) {
        MemoryDc memory(dc, state.scaled_image);
        if (memory.dc) {
            const int saved = SaveDC(dc);
            IntersectClipRect(dc, area.left, area.top, area.right, area.bottom);
            BitBlt(dc, visible.left, visible.top, visible.right - visible.left, visible.bottom - visible.top, memory.dc,
                   visible.left - at.x0, visible.top - at.y0, SRCCOPY);
            RestoreDC(dc, saved);
        }
        return;
    }

    const int iw = image_width(state);
    const int ih = image_height(state);
    {
        Gdiplus::Graphics graphics(dc);
        graphics.SetInterpolationMode(interacting ? Gdiplus::InterpolationModeBilinear : quality_mode(state.zoom));
        graphics.SetPixelOffsetMode(interacting ? Gdiplus::PixelOffsetModeNone : Gdiplus::PixelOffsetModeHalf);
        graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeNone);
        graphics.SetClip(Gdiplus::Rect(area.left, area.top, area.right - area.left, area.bottom - area.top));
        const int vw = visible.right - visible.left;
        const int vh = visible.bottom - visible.top;
        const int sx = static_cast<int>(static_cast<double>(visible.left - at.x0) * iw / at.width);
        const int sy = static_cast<int>(static_cast<double>(visible.top - at.y0) * ih / at.height);
        int sw = static_cast<int>(static_cast<double>(vw) * iw / at.width + 1.5);
        int sh = static_cast<int>(static_cast<double>(vh) * ih / at.height + 1.5);
        if (sx + sw > iw) sw = iw - sx;
        if (sy + sh > ih) sh = ih - sy;
        if (sw >= 1 && sh >= 1)
            graphics.DrawImage(state.image.get(), Gdiplus::Rect(visible.left, visible.top, vw, vh), sx, sy, sw, sh,
                               Gdiplus::UnitPixel);
    }
    if (!interacting && !scaled_matches) build_scaled_image(window, state, at.width, at.height);
}

// Makes the window-sized buffers again when the size changed; false when they do not exist.
bool ensure_buffers(HWND window, HDC dc, ViewState& state, int width, int height) {
    if (state.back_buffer && state.chrome && state.buffer_width == width && state.buffer_height == height) return true;
    delete_bitmap(state.back_buffer);
    delete_bitmap(state.chrome);
    drop_scaled_image(state);
    state.buffer_width = 0;
    state.buffer_height = 0;
    state.back_buffer = CreateCompatibleBitmap(dc, width, height);
    state.chrome = CreateCompatibleBitmap(dc, width, height);
    if (!state.back_buffer || !state.chrome) {
        delete_bitmap(state.back_buffer);
        delete_bitmap(state.chrome);
        return false;
    }
    MemoryDc chrome(dc, state.chrome);
    if (chrome.dc) paint_view_overlay(chrome.dc, window, state);
    state.buffer_width = width;
    state.buffer_height = height;
    return true;
}

void on_paint(HWND window) {
    PAINTSTRUCT ps = {};
    HDC dc = BeginPaint(window, &ps);
    ViewState* state = state_of(window);
    RECT client = {};
    GetClientRect(window, &client);
    if (state && client.right >= 8 && client.bottom >= 8 &&
        ensure_buffers(window, dc, *state, client.right, client.bottom)) {
        MemoryDc chrome(dc, state->chrome);
        MemoryDc back(dc, state->back_buffer);
        if (chrome.dc && back.dc) {
            const COLORREF header = theme_color(kSlotHeader);
            RECT zoom_area = {client.right - 168, 34, client.right - 16, 58};
            fill_vertical_gradient(chrome.dc, zoom_area, blend_colors(header, RGB(255, 255, 255), 22), header);
            draw_zoom_text(chrome.dc, client, *state);
            BitBlt(back.dc, 0, 0, client.right, client.bottom, chrome.dc, 0, 0, SRCCOPY);
            paint_view_image(back.dc, window, *state, state->interacting);
            BitBlt(dc, 0, 0, client.right, client.bottom, back.dc, 0, 0, SRCCOPY);
        }
    }
    EndPaint(window, &ps);
}

void on_create(HWND window, const CREATESTRUCTW& create) {
    auto* passed = static_cast<ViewState*>(create.lpCreateParams);
    if (!passed) return;
    auto* state = new ViewState(std::move(*passed));
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    apply_title_bar_theme(window);
}

void interaction_tail(HWND window) {
    SetTimer(window, kQuietTimer, kQuietMs, nullptr);
    InvalidateRect(window, nullptr, FALSE);
}

void on_size(HWND window, ViewState& state) {
    delete_bitmap(state.back_buffer);
    delete_bitmap(state.chrome);
    state.buffer_width = 0;
    state.buffer_height = 0;
    drop_scaled_image(state);
    InvalidateRect(window, nullptr, FALSE);
}

void on_button_down(HWND window, ViewState& state, LPARAM lparam) {
    state.dragging = true;
    state.last_x = GET_X_LPARAM(lparam);
    state.last_y = GET_Y_LPARAM(lparam);
    SetCapture(window);
    SetFocus(window);
}

void on_mouse_move(HWND window, ViewState& state, LPARAM lparam) {
    if (!state.dragging) return;
    const int x = GET_X_LPARAM(lparam);
    const int y = GET_Y_LPARAM(lparam);
    state.pan_x += x - state.last_x;
    state.pan_y += y - state.last_y;
    state.last_x = x;
    state.last_y = y;
    state.interacting = true;
    interaction_tail(window);
}

void on_button_up(HWND window, ViewState& state) {
    state.dragging = false;
    if (GetCapture() == window) ReleaseCapture();
}

void on_double_click(HWND window, ViewState& state) {
    state.zoom = 1.0;
    state.pan_x = 0.0;
    state.pan_y = 0.0;
    state.interacting = false;
    drop_scaled_image(state);
    InvalidateRect(window, nullptr, FALSE);
}

void on_wheel(HWND window, ViewState& state, WPARAM wparam, LPARAM lparam) {
    const int delta = GET_WHEEL_DELTA_WPARAM(wparam);
    if (!state.image || delta == 0) return;
    POINT cursor = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    ScreenToClient(window, &cursor);
    RECT client = {};
    GetClientRect(window, &client);
    const RECT area = picture_area(client);
    const int iw = image_width(state);
    const int ih = image_height(state);
    const ViewPlacement at = view_placement(iw, ih, area, state.zoom, state.pan_x, state.pan_y);
    const double old_zoom = std::max(state.zoom, 0.05);
    const double new_zoom = view_next_zoom(state.zoom, delta);
    const int aw = area.right - area.left;
    const int ah = area.bottom - area.top;
    if (iw > 0 && ih > 0 && aw > 8 && ah > 8) {
        // Keeps the image point under the cursor where it is.
        state.zoom = new_zoom;
        state.pan_x = cursor.x - (cursor.x - at.x0) * new_zoom / old_zoom -
                      ((aw - std::trunc(at.fit * iw * new_zoom)) * 0.5 + area.left);
        state.pan_y = cursor.y - (cursor.y - at.y0) * new_zoom / old_zoom -
                      ((ah - std::trunc(at.fit * ih * new_zoom)) * 0.5 + area.top);
    }
    state.interacting = true;
    drop_scaled_image(state);
    interaction_tail(window);
}

void on_timer(HWND window, ViewState& state, UINT_PTR id) {
    if (id != kQuietTimer) return;
    KillTimer(window, kQuietTimer);
    state.interacting = false;
    InvalidateRect(window, nullptr, FALSE);
}

void on_context_menu(HWND window, const ViewState& state, LPARAM lparam) {
    if (state.id.empty()) return;
    POINT at = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    if (lparam == -1) {
        RECT frame = {};
        GetWindowRect(window, &frame);
        at = {frame.left + 24, frame.top + 24};
    }
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    AppendMenuW(menu, MF_STRING, kMenuSaveImg, L"Save img");
    const UINT chosen =
        static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr));
    DestroyMenu(menu);
    if (chosen != kMenuSaveImg) return;
    KvCofferlyOrdRow row;
    row.key = wide_to_utf8(state.id);
    row.name = wide_to_utf8(state.name);
    start_save_img(row);
}

void on_destroy(HWND window, ViewState* state) {
    KillTimer(window, kQuietTimer);
    if (state) {
        delete_bitmap(state->back_buffer);
        delete_bitmap(state->chrome);
        delete_bitmap(state->scaled_image);
        delete state;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
}

bool open_pdf(const Bytes& bytes) {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return false;
    wchar_t path[MAX_PATH + 64] = {};
    std::swprintf(path, MAX_PATH + 64, L"%lscv-%llu.pdf", folder, static_cast<unsigned long long>(GetTickCount64()));
    if (bytes.size() > MAXDWORD) return false;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(bytes.size());
    const BOOL ok = WriteFile(file, bytes.data(), size, &written, nullptr);
    CloseHandle(file);
    if (!ok || written != size) return false;
    const auto shown =
        reinterpret_cast<INT_PTR>(ShellExecuteW(main_window, L"open", path, nullptr, nullptr, SW_SHOWNORMAL));
    return shown > 32;
}

} // namespace

ViewPlacement view_placement(int image_width, int image_height, const RECT& area, double zoom, double pan_x,
                             double pan_y) {
    ViewPlacement at;
    at.x0 = area.left;
    at.y0 = area.top;
    const int aw = area.right - area.left;
    const int ah = area.bottom - area.top;
    if (image_width < 1 || image_height < 1 || aw < 8 || ah < 8) return at;
    at.fit = std::min(static_cast<double>(aw) / image_width, static_cast<double>(ah) / image_height);
    const double scale = at.fit * zoom;
    at.width = std::max(static_cast<int>(scale * image_width), 1);
    at.height = std::max(static_cast<int>(scale * image_height), 1);
    at.x0 = area.left + (aw - at.width) / 2 + static_cast<int>(pan_x);
    at.y0 = area.top + (ah - at.height) / 2 + static_cast<int>(pan_y);
    return at;
}

double view_next_zoom(double zoom, int wheel_delta) {
    if (wheel_delta == 0) return zoom;
    const double old_zoom = std::max(zoom, 0.05);
    const double next = wheel_delta > 0 ? old_zoom * 1.2 : old_zoom / 1.2;
    return std::min(std::max(next, kMinZoom), kMaxZoom);
}

bool bytes_look_like_pdf(const Bytes& bytes) {
    return bytes.size() >= 5 && bytes[0] == '%' && bytes[1] == 'P' && bytes[2] == 'D' && bytes[3] == 'F';
}

void start_open_artwork(const KvCofferlyOrdRow& row) {
    set_status_text(std::wstring(L"Opening the artwork..."));
    OpenArtJob job;
    job.id = row.key;
    job.name = row.name;
    start_read_artwork(job);
}

void open_artwork_worker(OpenArtJob& job) {
    auto result = std::make_unique<OpenArtResult>();
    std::string content_type;
    if (load_inscription_content(job.id, content_type, result->bytes, true, false) && !result->bytes.empty()) {
        result->id = job.id;
        result->name = job.name;
        post_to_main_window(kMsgJobResult, kOpOpenArt, std::move(result));
        return;
    }
    post_job_text(kOpOpenFailed, "error: could not read that artwork.");
}

void open_artwork_bytes(const OpenArtResult& result) {
    if (bytes_look_like_pdf(result.bytes)) {
        set_status_text(std::wstring(open_pdf(result.bytes) ? L"PDF open." : L"Could not open that PDF."));
        return;
    }
    ViewState passed;
    passed.name = utf8_to_wide(result.name);
    if (passed.name.empty()) passed.name = L"Artwork";
    passed.id = utf8_to_wide(result.id);
    passed.image = bitmap_from_memory(result.bytes);
    if (!passed.image) {
        set_status_text(std::wstring(L"That file is not an artwork this window can open."));
        return;
    }
    RECT main_rect = {};
    if (main_window) GetWindowRect(main_window, &main_rect);
    // The window takes the image over in its creation handler; should creation fail before that,
    // `passed` still owns it and frees it here.
    HWND window =
        CreateWindowExW(WS_EX_APPWINDOW, kViewClassName, passed.name.c_str(), WS_OVERLAPPEDWINDOW, main_rect.left + 36,
                        main_rect.top + 28, 760, 680, main_window, nullptr, app_instance, &passed);
    if (!window) return;
    apply_title_bar_theme(window);
    ShowWindow(window, SW_SHOW);
    set_status_text(std::wstring(L"Artwork open."));
}

LRESULT CALLBACK view_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    ViewState* state = state_of(window);
    switch (message) {
    case WM_CREATE:
        on_create(window, *reinterpret_cast<const CREATESTRUCTW*>(lparam));
        return 0;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lparam)->ptMinTrackSize = {440, 380};
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        on_paint(window);
        return 0;
    case WM_SIZE:
        if (state) on_size(window, *state);
        return 0;
    case WM_LBUTTONDOWN:
        if (state) on_button_down(window, *state, lparam);
        return 0;
    case WM_MOUSEMOVE:
        if (state) on_mouse_move(window, *state, lparam);
        return 0;
    case WM_LBUTTONUP:
        if (state) on_button_up(window, *state);
        return 0;
    case WM_LBUTTONDBLCLK:
        if (state) on_double_click(window, *state);
        return 0;
    case WM_MOUSEWHEEL:
        if (state) on_wheel(window, *state, wparam, lparam);
        return 0;
    case WM_TIMER:
        if (state) on_timer(window, *state, wparam);
        return 0;
    case WM_CONTEXTMENU:
        if (state) on_context_menu(window, *state, lparam);
        return 0;
    case WM_DESTROY:
        on_destroy(window, state);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
