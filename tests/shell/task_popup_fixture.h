// The task popups' test fixture, shared by the shell's test files that open popups.
#pragma once

#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/jobs.h"
#include "shell/status_line.h"
#include "shell/task_popup.h"
#include "support/eventually.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Confirmation boxes the test's stand-ins were asked, reset for each test, and the last one's text.
inline int confirmations = 0;
inline std::string last_confirmation;
inline bool cancel_and_keep_text(HWND, const std::string& text) {
    ++confirmations;
    last_confirmation = text;
    return false;
}

// Popups built hidden against a stand-in status line, with the wallet rows the combos show.
class TaskPopupWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSEXW window_class = {};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = box_wnd_proc;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = kBoxClassName;
        RegisterClassExW(&window_class);
    }
    void SetUp() override {
        status_line = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        main_window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        action_busy = 0;
        confirmations = 0;
        KvCofferlyOrdRow art;
        art.key = std::string(64, 'a') + "_0";
        art.name = "Sunset";
        art.type = "image/png";
        art.kind = "Artwork";
        art_rows = {art};
    }
    void TearDown() override {
        set_box_confirmation_for_tests(nullptr);
        for (HWND box : boxes)
            DestroyWindow(box);
        DestroyWindow(status_line);
        status_line = nullptr;
        MSG message = {};
        while (PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_REMOVE))
            handle_job_result(message.wParam, message.lParam);
        DestroyWindow(main_window);
        main_window = nullptr;
        art_rows.clear();
        action_busy = 0;
    }
    // Hands the next result posted to the stand-in main window to the real handler; false when none
    // came (support/eventually.h).
    static bool deliver_next_result() {
        MSG message = {};
        if (!eventually([&] { return PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_REMOVE); }))
            return false;
        handle_job_result(message.wParam, message.lParam);
        return true;
    }
    static std::string line_of(HWND box, int id) { return text_of(box, id); }
    HWND make_box(BoxMode mode) {
        BoxState state = box_state_init();
        state.mode = mode;
        HWND box = CreateWindowExW(WS_EX_TOOLWINDOW, kBoxClassName, L"test", WS_CAPTION | WS_SYSMENU, 0, 0, 980, 860,
                                   nullptr, nullptr, GetModuleHandleW(nullptr), &state);
        if (box) boxes.push_back(box);
        return box;
    }
    static std::string text_of(HWND window, int id) {
        wchar_t text[2048] = {};
        GetDlgItemTextW(window, id, text, 2048);
        return wide_to_utf8(text);
    }
    static std::string status() {
        wchar_t text[512] = {};
        GetWindowTextW(status_line, text, 512);
        return wide_to_utf8(text);
    }
    static void click_action(HWND box) { SendMessageW(box, WM_COMMAND, MAKEWPARAM(kBoxAction, BN_CLICKED), 0); }
    std::vector<HWND> boxes;
};
