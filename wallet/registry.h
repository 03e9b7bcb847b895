// The data folder shared with the wallet program, the wallet registry "wallets.json" under its
// cross-process lock, the migration of the older single-wallet file, and the binding of this
// program instance to one wallet through its bind file.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The data folder ("Kestrava" under LOCALAPPDATA, or under "." when that is unset or empty),
// created if missing; a failure to create it shows in the file operations that follow.
std::string kestrava_data_dir();

// The registry lock: a process-wide recursive mutex plus an exclusive lock on byte 0 of
// "wallets.lock", taken only by the outermost taking. When the lock file cannot be opened or
// locked the caller still holds the mutex and goes on without the cross-process lock.
void wallet_registry_lock();
void wallet_registry_unlock();

// Holds the registry lock for the life of the object, so every taking is released on every path.
struct WalletRegistryLock {
    WalletRegistryLock() { wallet_registry_lock(); }
    ~WalletRegistryLock() { wallet_registry_unlock(); }
    WalletRegistryLock(const WalletRegistryLock&) = delete;
    WalletRegistryLock& operator=(const WalletRegistryLock&) = delete;
};

// Handle of the open lock file (file descriptor or HANDLE), -1 while no taking holds it or the
// file could not be locked. For diagnostics and tests.
std::intptr_t wallet_registry_lock_handle();

// A text fit for a file name: ASCII letters and digits lower-cased, every other byte "_", at most
// the last 96 bytes, "default" when empty.
std::string sanitize_wallet_id(const std::string& text);

// True when the id may name a wallet folder: not empty, and without "/", "\", ":", ".." or a
// control character. Any other id, wherever it came from, is treated as no id.
bool is_safe_wallet_id(const std::string& id);

// "w" followed by the system clock's milliseconds since the Unix epoch.
std::string new_wallet_id();

// Reads "wallets.json" (the caller holds the registry lock) into `doc`, always an object whose
// "wallets" is an array; other keys are kept. Returns true when the file parsed or does not exist,
// false when it exists but could not be read or parsed: such a document must not be saved back.
bool read_wallets_json(nlohmann::json& doc);

// The registry document as read_wallets_json gives it, without telling whether it read cleanly.
nlohmann::json load_wallets_json();

// Replaces a file of the data folder whole (platform_write_file_aside), so a full disk or a crash
// never leaves it cut short. A move that another program holds up (on Windows, a reader with the
// file open) is retried for about a second on the clock seam. False when the text could not be
// written or moved; the old file is then untouched.
bool write_data_file(const std::string& path, const std::string& text, bool text_mode);

// Pause before a shared file that failed to read is read again: a sibling program that rewrites
// it in place may have been caught mid-write.
constexpr std::int64_t kSharedFileRetryMs = 50;

// Keeps a damaged file (one that read twice as something this program cannot use) aside as
// "<path>.damaged-<system ms>" ("-2", "-3" and on added when that name is taken), untouched, so
// that a new file can start in its place, and logs one line naming both. False when it could not
// be moved; everything then stays as it was.
bool set_aside_damaged_file(const std::string& path);

// Removes the temporary files of this program's own naming that writers cut short by a crash left
// in the data folder (the wallet file's hold the seed in clear): those whose process has ended,
// and any older than any write takes, so none that a running writer owns. Runs at start. Returns
// how many went.
int sweep_stale_tmp_files();

// Replaces "wallets.json" atomically with `doc` (indent 2, one trailing newline) through
// "wallets.json.tmp"; the caller holds the registry lock. A move that fails is retried for a
// short while. False when it could not write or move the temporary file; the old registry is then
// untouched and no temporary file is left.
bool save_wallets_json(const nlohmann::json& doc);

// Moves "kestrava_cofferly.json" into a new wallet folder and records it as "Wallet 1" (and as
// active) when it exists and the registry, read cleanly, lists no wallet. When the file cannot be
// moved or the registry cannot be saved, everything stays as it was and the next start retries.
void migrate_legacy_wallet();

// Path of a wallet's file in its folder under "wallets"; empty for an empty or unsafe id.
// Creates no folder.
std::string wallet_file_path_for_id(const std::string& id);

struct WalletRegistryEntry {
    std::string id;   // never empty
    std::string name; // never empty: the id when the registry gives no name
};

// The registry's wallets in file order; entries that are not objects or have no text id are
// skipped. Takes the registry lock.
std::vector<WalletRegistryEntry> list_wallets();

// Display name of the first listed wallet with this id, or the id itself when none is listed.
std::string wallet_name_for_id(const std::string& id);

// Names every registry entry with this id after the loaded wallet's paymail alias. Does nothing
// for an empty id or alias; writes the registry only when it read cleanly and an entry changed.
void name_wallet_by_paymail(const std::string& id);

// Process-wide values of this program instance, set by init_wallet_binding.
struct WalletBinding {
    std::string app_name;     // "App" when the caller gave none
    std::string instance_key; // the program's own folder; "." when the caller gave none
    bool app_mode = false;    // bind files and the connect handshake act only when true
};

// A copy of the binding in force.
WalletBinding wallet_binding();

// Replaces the binding for the whole process (tests only).
void set_wallet_binding(const WalletBinding& binding);

// Sets the binding, migrates the older single-wallet file, and selects the current wallet: the one
// this instance's bind file names, else the only wallet of a registry that lists exactly one, else
// none. Loads no wallet. Takes the wallet mutex, then the registry lock, for the whole call.
void init_wallet_binding(const std::string& instance_key, const std::string& app_name);

// This instance's bind file: "binds/" + the sanitised instance key + ".json" under the data
// folder, whose "binds" folder is created if missing.
std::string bind_file_path();

// In app mode, the safe text "wallet_id" of this instance's bind file, or empty when the file is
// missing or malformed; otherwise the current wallet id.
std::string bound_wallet_id();

// In app mode and for a safe id: makes it the current wallet id (under the wallet mutex) and
// rewrites this instance's bind file; a failure to write the file is ignored. Otherwise does
// nothing.
void write_bind(const std::string& id);
