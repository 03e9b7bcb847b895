#include "platform/wallet_program.h"

#include "platform/win_text.h"

#include <cstdint>
#include <windows.h>

// After <windows.h>, which it needs.
#include <shellapi.h>

const char* wallet_program_file_name() {
    return "Cofferly.exe";
}

bool raise_wallet_program_window() {
    const std::wstring cls = utf8_to_wide(kWalletProgramWindowClass);
    HWND window = FindWindowW(cls.c_str(), nullptr);
    if (window == nullptr) return false;
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    // Windows may refuse the foreground to a background process; the window is there all the same.
    SetForegroundWindow(window);
    return true;
}

bool start_wallet_program(const std::string& exe_path, const std::string& work_dir) {
    if (exe_path.empty()) return false;
    const std::wstring exe = utf8_to_wide(exe_path);
    const std::wstring dir = utf8_to_wide(work_dir);
    HINSTANCE result =
        ShellExecuteW(nullptr, L"open", exe.c_str(), nullptr, dir.empty() ? nullptr : dir.c_str(), SW_SHOWNORMAL);
    // The shell reports success as a value above 32; smaller values are error codes.
    return reinterpret_cast<std::intptr_t>(result) > 32;
}
