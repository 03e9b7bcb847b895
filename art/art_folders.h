// Art folders: named lists of certificate and artwork ids kept on this PC, one folders file per
// wallet ("folders_" + wallet key + ".json" under the data folder's "art"). Folders never touch the
// chain. A folders file that cannot be read makes every operation fail and is never overwritten.
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct ArtFolder {
    std::string name;               // as typed, trimmed
    std::vector<std::string> certs; // certificate ids, lower-case
    std::vector<std::string> arts;  // artwork ids, lower-case
};

// The wallet id made fit for a file name: every byte other than an ASCII letter, digit, "-" or "_"
// becomes "_", cut to 64 bytes; "none" for an empty id.
std::string art_folders_wallet_key(const std::string& wallet_id);

// The current wallet's folders file; creates the "art" folder.
std::string art_folders_path();

// Clears `folders`, then reads the file. A missing file gives true and no folders. False with
// "could not read the folder file" when the file exists but cannot be read, is not JSON, is not an
// object or has a `folders` member that is not an array.
bool load_art_folders(std::vector<ArtFolder>& folders, std::string& error);

// Replaces the folders file as a whole (indent 2, no trailing newline). False with "could not write
// the folder file" when it cannot be written; the old file then stays as it was.
bool save_art_folders(const std::vector<ArtFolder>& folders, std::string& error);

// The lock that every change of the folders file holds from its read to its save, so that the
// filing worker and the window thread never lose each other's change. art_folder_create, _add and
// _remove take it themselves; another read-change-save of the file (a restore) takes it around all
// three steps.
std::unique_lock<std::mutex> lock_art_folders();

// Each returns "success" or one "error: ..." line; the file is left unchanged on every error.
std::string art_folder_create(const std::string& name);
// Files the id (norm_txid form) into the named folder, taking it out of every other folder.
std::string art_folder_add(const std::string& folder_name, const std::string& id, bool is_artwork);
std::string art_folder_remove(const std::string& folder_name, const std::string& id);

// Moves the entries whose norm_txid form differs from `normalized_id` to the front, keeping their
// order, and returns the new end; the caller erases the tail.
std::vector<std::string>::iterator folder_remove_id(std::vector<std::string>::iterator first,
                                                    std::vector<std::string>::iterator last,
                                                    const std::string& normalized_id);
