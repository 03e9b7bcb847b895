// The one road to an inscription's bytes and content type by ordinal key: the content cache, then
// the output's locking script from WhatsOnChain, then GorillaPool's content service.
#pragma once

#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <string>

// True when the content was found. Answers from the cache first; with `allow_network` it reads
// the script from WhatsOnChain (transaction JSON, hex, raw) and downloads from GorillaPool, asking
// GorillaPool before WhatsOnChain too when `gorillapool_first`. Fetched content is cached.
bool load_inscription_content(const std::string& key, std::string& content_type, Bytes& content, bool allow_network,
                              bool gorillapool_first);

// True when the output of the key's transaction JSON (as WhatsOnChain writes it) holds an
// inscription; it is cached and handed out.
bool content_from_tx_json(const std::string& key, const nlohmann::json& tx, std::string& content_type, Bytes& content);

// True when the script holds an ord envelope beside a P2PKH lock (before or after it) with a
// non-empty body; hands out its type, body and display name.
bool parse_inscription_from_script(const Bytes& script, std::string& content_type, Bytes& content, std::string& name);

// True when GorillaPool's content service gave the content; its type is judged from its first
// bytes. Stores it in the cache.
bool gorillapool_download_content(const std::string& key, std::string& content_type, Bytes& content);

// Writes the cache (content, type, and the name when not empty) without taking the wallet mutex and
// hands the type and content out to the caller's outputs.
void ord_cache_store(const std::string& key, const std::string& content_type, const Bytes& content,
                     const std::string& name, std::string& out_type, Bytes& out_content);
