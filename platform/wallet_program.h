// Raising or starting the wallet program: how the operating system finds its main window and
// starts a program lives here, so the connect handshake stays portable.
#pragma once

#include <string>

// Class of the wallet program's main window.
constexpr const char* kWalletProgramWindowClass = "KestravaCofferlyShell";

// File name of the wallet program's executable: "Cofferly.exe" on Windows, "Cofferly" elsewhere.
const char* wallet_program_file_name();

// Restores the wallet program's top-level window when it is minimised and asks for it to come to
// the foreground. True when such a window exists, whether or not it came to the front; always
// false on POSIX, which has no such window.
bool raise_wallet_program_window();

// Starts the executable with no parameters and `work_dir` as its working folder, without waiting
// for it (Windows: the shell's "open" verb, normal show state). False when it could not be started.
bool start_wallet_program(const std::string& exe_path, const std::string& work_dir);
