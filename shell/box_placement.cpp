#include "shell/box_placement.h"

#include "shell/status_line.h"
#include "shell/task_popup.h"
#include "shell/text_helpers.h"
#include "wallet/session.h"

#include <algorithm>

namespace {

// A side of `fixed` pixels on a work area side of `work`: a work area too small even for the margin
// keeps the fixed size, as mode 7's floor does.
LONG fitted(LONG fixed, int work) {
    return work < 201 ? fixed : std::min<LONG>(fixed, work - 24);
}

// A side of the look-up popup, which grows with the work area's side `work` up to `most`; below
// `least` it keeps the narrower margin, or `least` itself as `fitted` does.
LONG followed(int work, LONG most, LONG least) {
    const LONG side = std::min<LONG>(work - 64, most);
    if (side >= least) return side;
    return work < 201 ? least : work - 24;
}

RECT test_work_area = {};

} // namespace

RECT work_area_of(HWND window) {
    if (test_work_area.right > test_work_area.left) return test_work_area;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) return monitor.rcWork;
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

void set_work_area_for_tests(const RECT* work) {
    test_work_area = work ? *work : RECT{};
}

bool box_is_resizable(BoxMode mode) {
    return mode == kBoxFolders || mode == kBoxCheck || mode == kBoxOwnership || mode == kBoxLookUp;
}

bool box_size_for_mode(BoxMode mode, int work_width, int work_height, SIZE& size) {
    static const SIZE kSizes[] = {{540, 480}, {560, 660}, {560, 560}, {760, 640}, {960, 820}, {980, 780},
                                  {540, 540}, {0, 0},     {500, 460}, {740, 760}, {740, 700}, {720, 560}};
    if (mode < kBoxMintArtwork || mode > kBoxReport) return false;
    if (mode != kBoxLookUp) {
        size.cx = fitted(kSizes[mode].cx, work_width);
        size.cy = fitted(kSizes[mode].cy, work_height);
        return true;
    }
    size.cx = followed(work_width, 980, 560);
    size.cy = followed(work_height, 780, 420);
    return true;
}

POINT place_box(const RECT& main_rect, const RECT& work, SIZE size) {
    POINT at = {main_rect.right + 12, main_rect.top};
    if (at.x + size.cx > work.right) at.x = main_rect.left - size.cx - 12;
    if (at.y + size.cy > work.bottom) at.y = work.bottom - size.cy - 8;
    if (at.x < work.left) at.x = work.left + 12;
    if (at.y < work.top) at.y = work.top + 8;
    return at;
}

void box_track_sizes(BoxMode mode, const RECT& work, MINMAXINFO& info) {
    POINT least = {};
    switch (mode) {
    case kBoxFolders:
        least = POINT{700, 520};
        break;
    case kBoxCheck:
        least = POINT{820, 820};
        break;
    case kBoxOwnership:
        least = POINT{960, 860};
        break;
    case kBoxLookUp:
        least = POINT{760, 680};
        break;
    default:
        return;
    }
    const LONG width = work.right - work.left;
    const LONG height = work.bottom - work.top;
    if (width <= 0 || height <= 0) {
        info.ptMinTrackSize = least;
        return;
    }
    // No larger than the size the popup opens at: one held larger would pass the foot of the screen.
    info.ptMinTrackSize = POINT{std::min(fitted(least.x, width), width), std::min(fitted(least.y, height), height)};
    info.ptMaxTrackSize = POINT{width, height};
}

void open_box(BoxMode mode, const std::string& title) {
    if (box_needs_wallet(mode) && !is_cofferly_connected()) {
        set_status_text(std::string("Connect Cofferly first."));
        return;
    }
    RECT main_rect = {};
    if (main_window) GetWindowRect(main_window, &main_rect);
    const RECT work = work_area_of(main_window);
    SIZE size = {};
    if (!box_size_for_mode(mode, work.right - work.left, work.bottom - work.top, size)) return;
    const POINT at = place_box(main_rect, work, size);

    DWORD style = WS_CAPTION | WS_SYSMENU;
    if (box_is_resizable(mode)) style |= WS_THICKFRAME;
    BoxState initial = box_state_init();
    initial.mode = mode;
    HWND box = CreateWindowExW(WS_EX_TOOLWINDOW, kBoxClassName, utf8_to_wide(title).c_str(), style, at.x, at.y, size.cx,
                               size.cy, main_window, nullptr, app_instance, &initial);
    if (!box) return;
    SetWindowPos(box, nullptr, at.x, at.y, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(box, SW_SHOW);
}
