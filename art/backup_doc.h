// The cabinet backup document: the current wallet's art folders as one JSON text (folder names and
// filed ids only, never keys), and the merge of such a document back into the folders.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

// The program name a backup carries under `app`, compared exactly on restore.
constexpr const char* kBackupAppName = "Corvane";

// The document (indent 2), or "error: ..." when no wallet is connected or the folders cannot be read.
std::string art_backup_json();

// Merges a backup document into the current folders and saves them once at the end. Returns
// "success: restored N folder(s) and M filing(s)." or one "error: ..." line; on error the folders
// file is untouched.
std::string art_restore_backup(const std::string& document);

// Appends to `target` the lower-cased, non-empty text ids of `source[key]` that it lacks, adding one
// to `added` for each; anything that is not an array of texts is ignored.
void merge_id_array(const nlohmann::json& source, const char* key, std::vector<std::string>& target,
                    std::size_t& added);
// The same, where `seen` holds every id of `target` and is kept so across calls: each id costs one
// look-up, however long the folder.
void merge_id_array(const nlohmann::json& source, const char* key, std::vector<std::string>& target,
                    std::unordered_set<std::string>& seen, std::size_t& added);
