// A change of the wallet that the disk refused: what the status line says of it, and the retry that
// writes it without waiting for the next wallet operation. GUI thread unless a comment says otherwise.
#pragma once

#include <string>

// The status line's words for a refused save, and for one the file's read-only mark refused.
constexpr const char* kWalletNotSaved =
    "error: the wallet file could not be saved; it is tried again every few seconds. Check the disk.";
constexpr const char* kWalletReadOnly =
    "error: the wallet file is read-only, so it could not be saved; it is tried again every few seconds.";

// After a job result: while a change waits for the disk, the status line says so (beside a success
// that stands there, in place of any other text but an error) and the retry runs every few seconds.
void note_refused_wallet_save();

// The status text for `shown` while a save is pending: `shown` once it tells of the refusal, the
// success followed by the refusal, else the refusal alone (kWalletReadOnly when `read_only`).
std::string status_with_refused_save(const std::string& shown, bool read_only);
// The status text for `shown` once the change is on the disk: the refusal taken out again.
std::string status_after_wallet_saved(const std::string& shown);
