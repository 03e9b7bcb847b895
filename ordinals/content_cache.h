// The per-user cache of inscription content, content types and display names in the folder
// "ord_cache" of the data folder: "<key>.bin", "<key>.typ" and "<key>.nam" per ordinal key.
// Callers hold the wallet mutex around reads and writes that must not interleave.
#pragma once

#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

// Largest content kept in the cache.
constexpr std::size_t kOrdCacheMaxContent = 10 * 1024 * 1024;

// Writes the content (1 byte to 10 MiB; anything else is skipped) and, when not empty, its type.
void ord_cache_write_content(const std::string& key, const std::string& content_type, const Bytes& content);

// Writes the display name through clip_ord_name; an empty name writes nothing.
void ord_cache_write_name(const std::string& key, const std::string& name);

// The cached display name, or "".
std::string ord_cache_read_name(const std::string& key);

// The cached content type, or "" (the content itself is not read).
std::string ord_cache_read_type(const std::string& key);

// True when content of an allowed size is cached for the key; hands out it and its type.
bool ord_cache_read_content(const std::string& key, std::string& content_type, Bytes& content);

// Copies the names of one wallet file's "ord_owned" list into the cache.
void harvest_ord_owned_names(const nlohmann::json& wallet_file);

// Harvests the names of every wallet file of this machine's registry.
void harvest_wallet_ord_names();
