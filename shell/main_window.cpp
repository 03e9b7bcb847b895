#include "shell/main_window.h"

#include "art/art_records.h"
#include "chain/step_wallet.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/art_viewer.h"
#include "shell/box_placement.h"
#include "shell/drawing.h"
#include "shell/gdiplus_include.h"
#include "shell/jobs.h"
#include "shell/status_line.h"
#include "shell/task_popup.h"
#include "shell/theme.h"
#include "wallet/session.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>
#include <cmath>

HINSTANCE app_instance = nullptr;
HWND main_window = nullptr;
HFONT font_title = nullptr;
HFONT font_body = nullptr;
HFONT font_bold = nullptr;
HFONT font_small = nullptr;
HFONT font_mono = nullptr;
HBRUSH brush_window = nullptr;
HBRUSH brush_panel = nullptr;
HBRUSH brush_header = nullptr;
HBRUSH brush_slot6 = nullptr;
HICON icon_big = nullptr;
HICON icon_32 = nullptr;
HICON icon_16 = nullptr;
Gdiplus::Bitmap* banner_image = nullptr;
std::int32_t banner_trim_height = 0;
RECT list_panel_rect = {};
HWND art_list = nullptr;
HWND status_line = nullptr;
HWND update_line = nullptr;
HWND sale_window = nullptr;
std::atomic<std::uint8_t> action_busy{0};
std::atomic<std::uint8_t> coin_check_busy{0};
std::atomic<std::uint8_t> balance_busy{0};

namespace {

constexpr int kHeaderBandBottom = 192;
constexpr int kBannerBottom = 146;
constexpr int kBannerLeftWidth = 720; // source columns drawn unstretched at the band's scale
constexpr int kListRowHeight = 32;

struct ControlSpec {
    int id = 0;
    const wchar_t* class_name = L"";
    const wchar_t* text = L"";
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Creation order matters: it is the tab order.
constexpr ControlSpec kControls[] = {
    {kIdTitle, L"STATIC", L"Corvane", 84, 16, 420, 34},
    {kIdTagline, L"STATIC", L"Certificates stay with the artwork.", 86, 52, 460, 20},
    {kIdConnectionLine, L"STATIC", L"Not connected", 86, 80, 460, 24},
    {kIdConnect, L"BUTTON", L"Connect", 0, 0, 136, 32},
    {kIdGear, L"BUTTON", L"", 0, 0, 30, 30},
    {kIdUnbind, L"BUTTON", L"Unbind", 0, 0, 136, 32},
    {kIdRefresh, L"BUTTON", L"Refresh", 0, 0, 136, 32},
    {kIdMintArtwork, L"BUTTON", L"Mint artwork", 0, 0, 180, 64},
    {kIdMintCertificate, L"BUTTON", L"Mint certificate", 0, 0, 180, 64},
    {kIdPair, L"BUTTON", L"Pair", 0, 0, 180, 64},
    {kIdPass, L"BUTTON", L"Pass", 0, 0, 180, 64},
    {kIdFolders, L"BUTTON", L"Folders", 0, 0, 180, 64},
    {kIdCheck, L"BUTTON", L"Check", 0, 0, 180, 64},
    {kIdOwnership, L"BUTTON", L"Ownership", 0, 0, 180, 64},
    {kIdLookUp, L"BUTTON", L"Look up", 0, 0, 180, 64},
    {kIdListCaption, L"STATIC", L"Artwork", 0, 0, 360, 18},
    {kIdSortToggle, L"BUTTON", L"A-Z", 0, 0, 72, 24},
    {kIdArtList, L"LISTBOX", L"", 0, 0, 400, 200},
    {kIdStatusLine, L"STATIC", L"", 0, 0, 400, 24},
    {kIdUpdateLine, L"STATIC", L"", 0, 0, 180, 20},
    {kIdHelp, L"BUTTON", L"Help", 0, 0, 110, 32},
    {kIdClose, L"BUTTON", L"Close", 0, 0, 128, 32},
};

struct BoxCommand {
    int id = 0;
    BoxMode mode = kBoxMintArtwork;
    const char* title = "";
};

constexpr BoxCommand kBoxCommands[] = {
    {kIdMintArtwork, kBoxMintArtwork, "Mint artwork"},
    {kIdMintCertificate, kBoxMintCertificate, "Mint certificate"},
    {kIdPair, kBoxPair, "Pair"},
    {kIdFolders, kBoxFolders, "Folders"},
    {kIdCheck, kBoxCheck, "Check certificate"},
    {kIdOwnership, kBoxOwnership, "Ownership"},
    {kIdPass, kBoxPass, "Pass"},
    {kIdLookUp, kBoxLookUp, "Look up"},
    {kIdGear, kBoxSettings, "Settings"},
    {kIdHelp, kBoxHelp, "Help"},
};

HFONT font_for_control(int id) {
    switch (id) {
    case kIdTitle:
        return font_title;
    case kIdTagline:
    case kIdArtList:
        return font_body;
    case kIdListCaption:
    case kIdStatusLine:
    case kIdUpdateLine:
        return font_small;
    default:
        return font_bold;
    }
}

DWORD style_for_control(const ControlSpec& spec) {
    DWORD style = WS_CHILD | WS_VISIBLE;
    if (spec.id == kIdTitle || spec.id == kIdTagline) style &= ~WS_VISIBLE;
    if (spec.id == kIdArtList)
        return style | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL;
    if (spec.id == kIdUpdateLine) return style | SS_NOTIFY;
    if (std::wstring(spec.class_name) == L"BUTTON") return style | WS_TABSTOP | BS_OWNERDRAW;
    return style;
}

void on_create(HWND window) {
    main_window = window;
    apply_title_bar_theme(window);
    for (const ControlSpec& spec : kControls) {
        HWND control = CreateWindowExW(0, spec.class_name, spec.text, style_for_control(spec), spec.x, spec.y,
                                       spec.width, spec.height, window,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), app_instance, nullptr);
        if (!control) continue;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_for_control(spec.id)), FALSE);
        if (std::wstring(spec.class_name) == L"BUTTON") SetWindowSubclass(control, hot_button_subclass_proc, 1, 0);
        if (spec.id == kIdArtList) {
            art_list = control;
            SetWindowTheme(control, L"", L"");
            SetWindowSubclass(control, framed_control_subclass_proc, 2, 0);
        } else if (spec.id == kIdStatusLine) {
            status_line = control;
        } else if (spec.id == kIdUpdateLine) {
            update_line = control;
        }
    }

    const bool watches_set = *kPairWatchAddress && *kTitleWatchAddress;
    set_status_text(
        std::string(watches_set ? "Mint an artwork, then a certificate that stays with it." : kWatchesNotAssignedText));
    refresh_connection_status(window, true);
    layout_main_window();
    if (update_line) {
        SetWindowTextW(update_line, utf8_to_wide(update_line_text()).c_str());
        InvalidateRect(update_line, nullptr, TRUE);
    }
    start_update_check(window);
}

void on_unbind() {
    disconnect_cofferly();
    art_rows.clear();
    refresh_art_list();
    refresh_connection_status(main_window, true);
    set_status_text(L"Unbound. Connect again to pick a wallet in Cofferly.");
}

void on_list_double_click() {
    const LRESULT selection = SendMessageW(art_list, LB_GETCURSEL, 0, 0);
    if (selection == LB_ERR) return;
    const LRESULT value = SendMessageW(art_list, LB_GETITEMDATA, static_cast<WPARAM>(selection), 0);
    if (value == LB_ERR || value < 0 || (value & kGalleryRowFlag)) return;
    const auto index = static_cast<std::size_t>(value);
    if (index >= art_rows.size()) return;
    const KvCofferlyOrdRow& row = art_rows[index];
    if (!row_is_artwork(row) || row.type == "application/json") return;
    start_open_artwork(row);
}

LRESULT on_command(HWND window, WPARAM wparam) {
    const int id = LOWORD(wparam);
    const int code = HIWORD(wparam);
    if (id < kIdConnect || id > kIdSortToggle) return 0;
    // A double click on a button brings a second notification of its own; one popup opens.
    for (const BoxCommand& command : kBoxCommands)
        if (command.id == id) {
            if (code == BN_CLICKED) open_box(command.mode, command.title);
            return 0;
        }
    // A step's transaction going out files its answer in the wallet that began it; the user is told
    // which step it is rather than left to wonder why the wallet does not change.
    const std::string going_out = id == kIdConnect || id == kIdUnbind ? step_going_out_text() : std::string();
    if (!going_out.empty()) {
        set_status_text(going_out);
        return 0;
    }
    switch (id) {
    case kIdConnect:
        if (action_busy.exchange(1)) return 0;
        set_status_text(L"Waiting for Cofferly...");
        start_cofferly_connect();
        break;
    case kIdUnbind:
        on_unbind();
        break;
    case kIdRefresh:
        refresh_connection_status(window, true);
        start_read_inscriptions();
        break;
    case kIdArtList:
        if (code == LBN_DBLCLK) on_list_double_click();
        break;
    case kIdClose:
        DestroyWindow(window);
        break;
    case kIdUpdateLine:
        if (code == STN_CLICKED && update_line_clickable()) open_update_page();
        break;
    case kIdSortToggle:
        art_sort_order = art_sort_order < 0 ? 1 : -1;
        refresh_art_list();
        break;
    default:
        break;
    }
    return 0;
}

std::int32_t compute_banner_trim(Gdiplus::Bitmap& image) {
    const int width = static_cast<int>(image.GetWidth());
    const int height = static_cast<int>(image.GetHeight());
    if (width < 9 || height < 9) return height;
    std::vector<std::uint32_t> column(static_cast<std::size_t>(height));
    for (int y = height / 2; y < height; ++y) {
        Gdiplus::Color color;
        image.GetPixel(width / 2, y, &color);
        column[static_cast<std::size_t>(y)] = color.GetR() + color.GetG() + color.GetB();
    }
    return banner_trim_rows(column);
}

void paint_banner(HDC dc, int client_width) {
    if (!banner_image) return;
    if (banner_trim_height == 0) banner_trim_height = compute_banner_trim(*banner_image);
    const int width = static_cast<int>(banner_image->GetWidth());
    if (width < 9 || banner_trim_height < 9 || client_width < 9) return;
    Gdiplus::Graphics graphics(dc);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    graphics.SetPageUnit(Gdiplus::UnitPixel);
    for (const BannerPart& part : banner_parts(width, banner_trim_height, client_width))
        graphics.DrawImage(banner_image,
                           Gdiplus::Rect(part.dest.left, part.dest.top, part.dest.right - part.dest.left,
                                         part.dest.bottom - part.dest.top),
                           part.source_x, 0, part.source_width, banner_trim_height, Gdiplus::UnitPixel);
}

void on_paint(HWND window) {
    PAINTSTRUCT paint = {};
    HDC dc = BeginPaint(window, &paint);
    RECT client = {};
    GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;
    FillRect(dc, &client, brush_window);
    RECT band = {0, 0, width, kHeaderBandBottom};
    FillRect(dc, &band, brush_header);
    paint_banner(dc, width);
    for (int y : {kBannerBottom - 1, kHeaderBandBottom - 1})
        fill_solid_rect(dc, RECT{0, y, width, y + 1}, theme_color(5));
    if (list_panel_rect.right - list_panel_rect.left > 20 && list_panel_rect.bottom - list_panel_rect.top > 20)
        draw_rounded_card(dc, list_panel_rect, blend_colors(theme_color(1), RGB(0, 0, 0), 40), theme_color(2), 12,
                          true);
    if (height - 78 >= kHeaderBandBottom + 1) {
        RECT footer = {0, height - 78, width, height};
        fill_vertical_gradient(dc, footer, theme_color(0), blend_colors(theme_color(0), RGB(0, 0, 0), 40));
        fill_solid_rect(dc, RECT{0, footer.top, width, footer.top + 1}, theme_color(2));
    }
    EndPaint(window, &paint);
}

LRESULT on_set_cursor(HWND window, WPARAM wparam, LPARAM lparam) {
    if (update_line_clickable() && reinterpret_cast<HWND>(wparam) == update_line && LOWORD(lparam) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return 1;
    }
    return DefWindowProcW(window, WM_SETCURSOR, wparam, lparam);
}

LRESULT on_measure_item(LPARAM lparam) {
    auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lparam);
    if (measure->CtlType == ODT_LISTBOX) measure->itemHeight = kListRowHeight;
    return 1;
}

LRESULT on_draw_item(LPARAM lparam) {
    auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lparam);
    if (item->CtlType == ODT_LISTBOX)
        draw_list_item(*item);
    else if (item->CtlType == ODT_BUTTON)
        draw_button_item(*item);
    return 1;
}

} // namespace

std::int32_t banner_trim_rows(const std::vector<std::uint32_t>& column) {
    const auto height = static_cast<std::int32_t>(column.size());
    std::int32_t trim = height;
    for (std::int32_t y = height - 1; y >= height / 2; --y)
        if (column[static_cast<std::size_t>(y)] > 80) {
            trim = y + 1;
            break;
        }
    return trim <= 8 ? height : trim;
}

std::vector<BannerPart> banner_parts(int image_width, int trim_height, int client_width) {
    const int scaled =
        static_cast<int>(std::lround(static_cast<double>(kBannerBottom) / trim_height * kBannerLeftWidth));
    if (image_width > kBannerLeftWidth && scaled >= 9 && scaled < client_width)
        return {{RECT{0, 0, scaled, kBannerBottom}, 0, kBannerLeftWidth},
                {RECT{scaled, 0, client_width, kBannerBottom}, kBannerLeftWidth, image_width - kBannerLeftWidth}};
    return {{RECT{0, 0, client_width, kBannerBottom}, 0, image_width}};
}

MainLayout compute_main_layout(int width, int height, bool update) {
    MainLayout layout;
    auto place = [&layout](int id, int x, int y, int w, int h) {
        layout.controls.push_back({id, RECT{x, y, x + w, y + h}});
    };
    place(kIdConnectionLine, 24, 158, width - 466, 22);
    place(kIdGear, width - 432, 154, 30, 30);
    place(kIdConnect, width - 392, 154, 118, 30);
    place(kIdUnbind, width - 264, 154, 118, 30);
    place(kIdRefresh, width - 136, 154, 118, 30);
    const int column_width = (width - 66) / 4;
    const int rows[2][4] = {{kIdMintArtwork, kIdMintCertificate, kIdPair, kIdPass},
                            {kIdFolders, kIdCheck, kIdOwnership, kIdLookUp}};
    for (int row = 0; row < 2; ++row)
        for (int i = 0; i < 4; ++i)
            place(rows[row][i], 18 + i * (column_width + 10), row == 0 ? 210 : 300, column_width, 80);
    place(kIdListCaption, 22, 390, 220, 18);
    place(kIdSortToggle, 248, 386, 72, 24);
    layout.list_panel = RECT{18, 412, width - 18, std::max(height - 118, 468)};
    const RECT& panel = layout.list_panel;
    place(kIdArtList, panel.left + 8, panel.top + 8, panel.right - panel.left - 16, panel.bottom - panel.top - 16);
    place(kIdStatusLine, 18, height - 112, width - 36, 28);
    place(kIdUpdateLine, 18, height - 34, update ? width - 294 : 120, 20);
    place(kIdHelp, update ? width - 266 : 146, height - 42, 110, 32);
    place(kIdClose, width - 146, height - 42, 128, 32);
    return layout;
}

RECT main_window_rect(const RECT& work) {
    const LONG width = std::min<LONG>(1180, work.right - work.left);
    const LONG height = std::min<LONG>(900, work.bottom - work.top);
    const LONG x = work.left + (work.right - work.left - width) / 2;
    const LONG y = work.top + (work.bottom - work.top - height) / 2;
    return RECT{x, y, x + width, y + height};
}

POINT main_window_min_track(const RECT& work) {
    return POINT{std::min<LONG>(980, work.right - work.left), std::min<LONG>(820, work.bottom - work.top)};
}

void layout_main_window() {
    if (!main_window) return;
    RECT client = {};
    GetClientRect(main_window, &client);
    if (client.right < 200 || client.bottom < 200) return;
    const MainLayout layout = compute_main_layout(client.right, client.bottom, update_available != 0);
    list_panel_rect = layout.list_panel;
    for (const PlacedControl& placed : layout.controls)
        if (HWND control = GetDlgItem(main_window, placed.id))
            MoveWindow(control, placed.rect.left, placed.rect.top, placed.rect.right - placed.rect.left,
                       placed.rect.bottom - placed.rect.top, TRUE);
    InvalidateRect(main_window, nullptr, TRUE);
}

LRESULT CALLBACK shell_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        on_create(window);
        return 0;
    case WM_DESTROY:
        KillTimer(window, kStatusDotsTimer);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (wparam != SIZE_MINIMIZED) layout_main_window();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        on_paint(window);
        return 0;
    case WM_SETCURSOR:
        return on_set_cursor(window, wparam, lparam);
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lparam)->ptMinTrackSize = main_window_min_track(work_area_of(window));
        return 0;
    case WM_MEASUREITEM:
        return on_measure_item(lparam);
    case WM_DRAWITEM:
        return on_draw_item(lparam);
    case WM_TIMER:
        if (wparam == kStatusDotsTimer) advance_reading_dots();
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        return reinterpret_cast<LRESULT>(
            main_control_color(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam)));
    case WM_COMMAND:
        return on_command(window, wparam);
    case kMsgJobResult:
        handle_job_result(wparam, lparam);
        return 0;
    case kMsgBalance:
        handle_balance_result(lparam);
        return 0;
    case kMsgSaveArt:
        handle_save_art_result(lparam);
        return 0;
    case kMsgUpdateCheck:
        handle_update_check_result(wparam);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}
