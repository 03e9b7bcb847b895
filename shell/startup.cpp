// Start-up and shutdown of the desktop program around its message loop.
#include "art/art_records.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/art_viewer.h"
#include "shell/box_placement.h"
#include "shell/drawing.h"
#include "shell/gdiplus_include.h"
#include "shell/jobs.h"
#include "shell/main_window.h"
#include "shell/shell.h"
#include "shell/status_line.h"
#include "shell/task_popup.h"
#include "shell/theme.h"
#include "wallet/host_pace.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <commctrl.h>

#include <string>

namespace {

// The folder of this executable, or "" when its path has no separator.
std::wstring program_folder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, length < MAX_PATH ? length : MAX_PATH);
    const std::size_t cut = full.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : full.substr(0, cut);
}

// A second start only raises the first window, before touching the wallet files.
bool raise_running_instance() {
    HWND running = FindWindowW(kShellClassName, nullptr);
    if (!running) return false;
    if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
    SetForegroundWindow(running);
    return true;
}

HFONT make_font(const wchar_t* face, int height, int weight, DWORD pitch) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, pitch | FF_DONTCARE, face);
}

HICON load_app_icon(int size) {
    return static_cast<HICON>(LoadImageW(app_instance, MAKEINTRESOURCEW(101), IMAGE_ICON, size, size, 0));
}

void load_banner() {
    HRSRC found = FindResourceW(app_instance, MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(10)); // RT_RCDATA
    if (!found) return;
    const DWORD size = SizeofResource(app_instance, found);
    HGLOBAL loaded = size >= 9 ? LoadResource(app_instance, found) : nullptr;
    const auto* data = loaded ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
    if (!data) return;
    banner_image = bitmap_from_memory(Bytes(data, data + size)).release();
}

bool register_class(const wchar_t* name, UINT style, HBRUSH background, HICON icon, WNDPROC procedure) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.style = style;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = app_instance;
    window_class.hIcon = icon;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = background;
    window_class.lpszClassName = name;
    return RegisterClassExW(&window_class) != 0;
}

// Owns the process-wide GDI objects and GDI+ for the life of run_shell, so every return path
// releases them.
struct SharedResources {
    ULONG_PTR gdiplus_token = 0;

    ~SharedResources() {
        for (HFONT* font : {&font_title, &font_body, &font_bold, &font_small, &font_mono})
            if (*font) {
                DeleteObject(*font);
                *font = nullptr;
            }
        for (HBRUSH* brush : {&brush_window, &brush_panel, &brush_header, &brush_slot6})
            if (*brush) {
                DeleteObject(*brush);
                *brush = nullptr;
            }
        if (icon_32 && icon_32 != icon_big) DestroyIcon(icon_32);
        if (icon_big) DestroyIcon(icon_big);
        if (icon_16) DestroyIcon(icon_16);
        icon_big = icon_32 = icon_16 = nullptr;
        delete banner_image;
        banner_image = nullptr;
        if (gdiplus_token) Gdiplus::GdiplusShutdown(gdiplus_token);
    }
};

} // namespace

int run_shell(HINSTANCE instance, int show_command) {
    app_instance = instance;
    const std::wstring folder = program_folder();
    if (!folder.empty()) SetCurrentDirectoryW(folder.c_str());
    if (raise_running_instance()) return 0;
    host_pace_start_run();
    init_wallet_binding(wide_to_utf8(folder), "Corvane");

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    SharedResources resources;
    Gdiplus::GdiplusStartupInput gdiplus_input;
    Gdiplus::GdiplusStartup(&resources.gdiplus_token, &gdiplus_input, nullptr);

    font_title = make_font(L"Georgia", -28, FW_NORMAL, DEFAULT_PITCH);
    font_body = make_font(L"Segoe UI", -15, FW_NORMAL, DEFAULT_PITCH);
    font_bold = make_font(L"Segoe UI", -15, 600, DEFAULT_PITCH);
    font_small = make_font(L"Segoe UI", -13, FW_NORMAL, DEFAULT_PITCH);
    font_mono = make_font(L"Consolas", -15, FW_NORMAL, FIXED_PITCH);
    load_theme_settings();
    recreate_shared_brushes();

    icon_big = load_app_icon(64);
    icon_32 = load_app_icon(32);
    icon_16 = load_app_icon(16);
    if (!icon_big) icon_big = icon_32;
    load_banner();

    HICON class_icon = icon_32 ? icon_32 : icon_big;
    register_class(kBoxClassName, 0, brush_panel, nullptr, box_wnd_proc);
    register_class(kViewClassName, CS_DBLCLKS, brush_window, class_icon, view_wnd_proc);
    register_class(kShellClassName, CS_DBLCLKS, brush_window, class_icon, shell_wnd_proc);

    const RECT place = main_window_rect(work_area_of(nullptr));
    HWND window = CreateWindowExW(WS_EX_COMPOSITED | WS_EX_APPWINDOW, kShellClassName, L"Corvane", WS_OVERLAPPEDWINDOW,
                                  place.left, place.top, place.right - place.left, place.bottom - place.top, nullptr,
                                  nullptr, instance, nullptr);
    if (!window) return 1;
    apply_title_bar_theme(window);
    if (icon_32) SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_32));
    if (icon_16) SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_16));

    refresh_connection_status(window, true);
    if (is_cofferly_connected()) start_read_inscriptions();
    ShowWindow(window, show_command);
    UpdateWindow(window);

    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // Workers still running are left to end with the process.
    return static_cast<int>(message.wParam);
}
