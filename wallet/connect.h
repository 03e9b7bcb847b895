// The connect handshake with the wallet program: a request file in the data folder's "connect"
// folder, the wallet program raised or started, and its reply file polled until the user approved
// or denied there. An approval binds this program instance to the approved wallet and loads it.
#pragma once

#include <string>

// Runs the whole handshake on the calling (worker) thread, blocking for up to about a minute.
// "success" when the instance was already connected or the approved wallet loaded; otherwise a
// text beginning "error: ", which is also sent as an "error" status event.
std::string connect_cofferly();

// Writes "<id>.req.json" into the "connect" folder and returns the request id; "" outside app mode
// or when the file could not be written.
std::string write_connect_request();

// "pending" while the reply file is missing; "denied" for a denial or a reply that is unreadable,
// malformed or names a wallet id unfit for a path; "ok" for an approval, after binding this
// instance to the reply's wallet id when it gives one.
std::string poll_connect_reply(const std::string& request_id);

// Raises the wallet program's window, or starts the wallet program from the program's own folder
// or the folder above it. True when it was raised or started.
bool launch_or_focus_cofferly();

// launch_or_focus_cofferly for a program whose own folder is `program_dir`.
bool launch_or_focus_cofferly_from(const std::string& program_dir);

// The wallet program's executable in `program_dir`, else in the folder above it; "" when neither
// exists.
std::string wallet_program_candidate(const std::string& program_dir);

// The "parked" folder of the data folder, created if missing (a failure is ignored).
std::string parked_dir();
