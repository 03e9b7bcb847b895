#include "platform/wallet_program.h"

#include "platform/win_text.h"

#include <cstdint>
#include <windows.h>

// After <windows.h>, which they need.
#include <objbase.h>
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
    // The shell may hand the start to an extension, which needs COM on the calling thread; a
    // worker thread has none of its own.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    HINSTANCE result =
        ShellExecuteW(nullptr, L"open", exe.c_str(), nullptr, dir.empty() ? nullptr : dir.c_str(), SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
    // The shell reports success as a value above 32; smaller values are error codes.
    return reinterpret_cast<std::intptr_t>(result) > 32;
}
