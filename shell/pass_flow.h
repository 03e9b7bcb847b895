// The Pass popup's action. The recipient's address may have to be asked online, so a worker
// resolves it and the confirmation, which shows it, opens when it arrives; on OK the pass goes to
// exactly that address. The action flag is held from the click until the pass's own result, and
// released at once on Cancel, on a failed resolution, or when the popup has closed meanwhile.
#pragma once

#include "shell/jobs.h"
#include "shell/task_popup.h"

#include <string>

// The pass a Pass popup asks for, before its recipient's address is known.
struct PassAddressJob {
    HWND box = nullptr; // the asking popup; may be gone on arrival
    PassJob pass;
};

// Code 18: the resolved recipient of a pass, or why it could not be resolved.
struct PassAddressResult {
    HWND box = nullptr;
    PassJob pass;        // `ord_address` is the resolved address, "" on failure
    std::string paymail; // handle@domain
    bool from_loopback = false;
    std::string error; // "" when resolved
};

// Mode 6's action button: checks the form, takes the action flag and starts resolving the
// recipient. Does nothing while this popup's resolution is pending.
void pass_clicked(HWND box, BoxState& state);

// Code 18 in the main window: shows the resolution's error, or asks the user with the address and
// on OK starts the pass to it.
void pass_address_arrived(PassAddressResult& result);

// The confirmation's text: what moves, and the paymail and the address it moves to.
std::string pass_confirm_text(const std::string& paymail, const std::string& address, bool from_loopback);

// Replaces the launcher of the confirmed pass (null restores it). For tests only.
void set_pass_start_for_tests(bool (*start)(const PassJob& job));
