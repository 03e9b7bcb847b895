#include "shell/box_placement.h"

#include "shell/ownership_cards.h"
#include "shell/sale_window.h"
#include "task_popup_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TaskPopup, ModeTable) {
    struct Row {
        BoxMode mode;
        bool needs_wallet;
        bool resizable;
        LONG width;
        LONG height;
        LONG small_height; // on a work area of 1024 by 600, which every popup fits
    };
    const Row rows[] = {
        {kBoxMintArtwork, true, false, 540, 480, 480}, {kBoxMintCertificate, true, false, 560, 660, 576},
        {kBoxPair, true, false, 560, 560, 560},        {kBoxFolders, true, true, 760, 640, 576},
        {kBoxCheck, true, true, 960, 820, 576},        {kBoxOwnership, true, true, 980, 780, 576},
        {kBoxPass, true, false, 540, 540, 540},        {kBoxSettings, false, false, 500, 460, 460},
        {kBoxHelp, false, false, 740, 760, 576},       {kBoxTerms, false, false, 740, 700, 576},
        {kBoxReport, false, false, 720, 560, 560},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.mode));
        EXPECT_EQ(box_needs_wallet(row.mode), row.needs_wallet);
        EXPECT_EQ(box_is_resizable(row.mode), row.resizable);
        SIZE size = {};
        ASSERT_TRUE(box_size_for_mode(row.mode, 1920, 1080, size));
        EXPECT_EQ(size.cx, row.width);
        EXPECT_EQ(size.cy, row.height);
        ASSERT_TRUE(box_size_for_mode(row.mode, 1024, 600, size));
        EXPECT_EQ(size.cx, row.width);
        EXPECT_EQ(size.cy, row.small_height);
        // Nor may the system hold a popup larger than that, to fit its panel or an answer.
        MINMAXINFO info = {};
        box_track_sizes(row.mode, RECT{0, 0, 1024, 600}, info);
        EXPECT_LE(info.ptMinTrackSize.y, size.cy) << "nor pushed past the size it opens at, and off the screen";
        if (row.resizable) {
            EXPECT_EQ(info.ptMaxTrackSize.y, 600);
        }
    }
    EXPECT_TRUE(box_needs_wallet(kBoxLookUp));
    EXPECT_TRUE(box_is_resizable(kBoxLookUp));
    SIZE size = {};
    EXPECT_FALSE(box_size_for_mode(static_cast<BoxMode>(12), 1920, 1080, size));
    EXPECT_FALSE(box_size_for_mode(static_cast<BoxMode>(-1), 1920, 1080, size));
}

TEST(TaskPopup, LookUpFollowsTheWorkArea) {
    struct Row {
        int work_width;
        int work_height;
        LONG width;
        LONG height;
    };
    const Row rows[] = {
        {1920, 1080, 980, 780},                                             // capped
        {1000, 800, 936, 736},                                              // 64 short of the work area
        {600, 480, 576, 456},                                               // too small for the margin: 24 short
        {300, 300, 276, 276},   {201, 201, 177, 177}, {200, 200, 560, 420}, // below 201 the floor wins
        {0, 0, 560, 420},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.work_width) + "x" + std::to_string(row.work_height));
        SIZE size = {};
        ASSERT_TRUE(box_size_for_mode(kBoxLookUp, row.work_width, row.work_height, size));
        EXPECT_EQ(size.cx, row.width);
        EXPECT_EQ(size.cy, row.height);
    }
}

TEST(TaskPopup, PlacementBesideTheMainWindow) {
    const RECT work = {0, 0, 1920, 1040};
    struct Row {
        const char* name;
        RECT main;
        RECT work;
        SIZE size;
        LONG x;
        LONG y;
    };
    const Row rows[] = {
        {"right of the main window", {100, 50, 900, 750}, work, {540, 480}, 912, 50},
        {"flips to the left", {1000, 50, 1800, 750}, work, {540, 480}, 448, 50},
        {"raised off the bottom", {100, 700, 900, 1000}, work, {540, 480}, 912, 552},
        {"left edge clamp", {200, 50, 1700, 750}, work, {540, 480}, 12, 50},
        {"top edge clamp", {100, 50, 900, 750}, RECT{0, 100, 1920, 500}, {540, 480}, 912, 108},
        {"offset work area", {2000, 50, 2800, 750}, RECT{1920, 0, 3840, 1040}, {540, 480}, 2812, 50},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const POINT at = place_box(row.main, row.work, row.size);
        EXPECT_EQ(at.x, row.x);
        EXPECT_EQ(at.y, row.y);
    }
}

// The Offers window opens beside the main window like the task popups, always inside the work area.
TEST(TaskPopup, OffersWindowStaysInsideTheWorkArea) {
    struct Row {
        const char* name;
        RECT main;
        RECT work;
    };
    const Row rows[] = {
        {"room on the right", {100, 50, 600, 850}, {0, 0, 1920, 1040}},
        {"main window at the right edge of 1280 px", {190, 40, 1170, 860}, {0, 0, 1280, 984}},
        {"main window fills the screen", {0, 0, 1280, 1024}, {0, 0, 1280, 984}},
        {"second monitor", {2000, 600, 2980, 1400}, {1920, 0, 3840, 1040}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const POINT at = sale_window_origin(row.main, row.work);
        EXPECT_GE(at.x, row.work.left);
        EXPECT_GE(at.y, row.work.top);
        EXPECT_LE(at.x + kSaleWindowSize, row.work.right);
        EXPECT_LE(at.y + kSaleWindowSize, row.work.bottom);
    }
    const POINT beside = sale_window_origin(RECT{100, 50, 600, 850}, RECT{0, 0, 1920, 1040});
    EXPECT_EQ(beside.x, 612);
    EXPECT_EQ(beside.y, 98);
}

// On a 1024 x 768 screen (its work area above a 40-pixel taskbar) every popup opens inside the
// work area, and every control and card of it lies inside the popup and clear of its Close
// button, also with an answer longer than the screen.
TEST_F(TaskPopupWindow, EveryPopupFitsA1024By768Screen) {
    const RECT work = {0, 0, 1024, 728};
    set_work_area_for_tests(&work);
    std::string note;
    for (int i = 0; i < 60; ++i)
        note += "Note line " + std::to_string(i) + "\r\n";
    const std::string answer = "Live owner\r\nalice\r\n\r\nCertificate\r\nArtwork\r\n" + std::string(64, 'a') +
                               "\r\n\r\n" + note + "\r\nLast sale\r\n500 sats\r\n\r\nHistory\r\n" + note;
    for (int m = kBoxMintArtwork; m <= kBoxReport; ++m) {
        const BoxMode mode = static_cast<BoxMode>(m);
        SCOPED_TRACE(m);
        SIZE size = {};
        ASSERT_TRUE(box_size_for_mode(mode, 1024, 728, size));
        HWND box = make_box(mode);
        ASSERT_NE(box, nullptr);
        SetWindowPos(box, nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
        for (const char* shown : {"", answer.c_str()}) {
            if (*shown && mode != kBoxOwnership && mode != kBoxLookUp) continue;
            if (*shown) show_title_chain(box, shown);
            RECT outer = {}, client = {}, close = {};
            GetWindowRect(box, &outer);
            GetClientRect(box, &client);
            EXPECT_LE(outer.bottom - outer.top, 728);
            EXPECT_LE(outer.right - outer.left, 1024);
            HWND close_button = GetDlgItem(box, kBoxClose);
            ASSERT_NE(close_button, nullptr);
            GetWindowRect(close_button, &close);
            MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&close), 2);
            std::vector<RECT> parts;
            for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
                if (!(GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE)) continue;
                RECT rect = {};
                GetWindowRect(child, &rect);
                MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&rect), 2);
                if (child != close_button) parts.push_back(rect);
                EXPECT_TRUE(rect.left >= 0 && rect.top >= 0 && rect.right <= client.right &&
                            rect.bottom <= client.bottom)
                    << "control " << GetDlgCtrlID(child) << " at " << rect.left << "," << rect.top << "-" << rect.right
                    << "," << rect.bottom;
            }
            const BoxState* state = box_state_of(box);
            for (const RECT& card : {state->live_owner_card, state->certificate_card, state->last_sale_card,
                                     state->history_card, state->check_card})
                if (card.bottom > card.top) parts.push_back(card);
            for (const RECT& part : parts) {
                RECT overlap = {};
                EXPECT_FALSE(IntersectRect(&overlap, &part, &close))
                    << "under Close: " << part.left << "," << part.top << "-" << part.right << "," << part.bottom;
            }
        }
    }
    set_work_area_for_tests(nullptr);
}

} // namespace
