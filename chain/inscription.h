// 1Sat ordinal inscriptions as this program writes them: the wallet's ordinals address, the name
// metadata, the inscription locking script (P2PKH, "ord" envelope, optional MAP part), the sealed
// artwork tag that marks the program's own inscriptions, and "tags.json", the remembered tag text
// of each outpoint. Nothing here throws.
#pragma once

#include "wallet/codecs.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The product name written as the MAP "app" of every inscription the program makes.
constexpr const char* kMapAppName = "Corvane";
// The prefix push of the Magic Attribute Protocol.
constexpr const char* kMapPrefix = "1PuQa7K62MiKCtssSLKy1kh56WWU7MtUR5";
// Longest display name of an inscription, in bytes.
constexpr std::size_t kInscriptionNameMax = 48;

// Hash160 of the current ordinals address (m/44'/236'/5'/0/recv[5]) of the loaded HD wallet.
// False with "need an HD Cofferly wallet.", "could not derive the ordinals address." or
// "ordinals address decode failed.". The caller holds the wallet mutex.
bool derive_ordinals_address(Hash160& hash160, std::string& error);

// The current ordinals address of the loaded wallet; "" when it is not HD, has no mnemonic or the
// derivation fails. The caller holds the wallet mutex.
std::string derive_ordinals_key();

// The name without leading blanks and tabs and trailing blanks, tabs and line feeds, cut to 48
// bytes without splitting a UTF-8 character.
std::string clip_inscription_name(const std::string& name);

// Compact {"name":...} of the clipped name; "" when nothing remains or the name is not UTF-8.
std::string build_name_metadata(const std::string& name);

// Hex of IV (12) || GCM tag (16) || ciphertext of a tag text of 1 to 32 bytes; "" on any failure.
std::string seal_art_tag(const std::string& tag);

// The tag text of a sealed tag; "" when it does not decode, fails the GCM check or is empty.
std::string open_art_tag(const std::string& sealed);

// 64 lower-case hex digits, "_" and the caller's index text ("_0" for a bare txid); "" when the
// outpoint text is not acceptable.
std::string art_tag_key(const std::string& outpoint);

// Path of "tags.json" in the folder "art" of the data folder, which is created when missing.
std::string art_tags_path();

// Guards every read and read-modify-write of "tags.json"; taken last, never across a request.
std::mutex& art_tags_mutex();

// Stores the tag text under the outpoint's tag key. Does nothing for an unacceptable key, an empty
// or non-UTF-8 tag, or a "tags.json" that exists but cannot be read as a JSON object (it is kept).
void save_art_tag(const std::string& outpoint, const std::string& tag);

// Stores each (outpoint, tag) pair as save_art_tag does, later pairs over earlier ones, with one
// read and one write of "tags.json" for all of them.
void save_art_tags(const std::vector<std::pair<std::string, std::string>>& tags);

// The stored tag text under the tag key, else under the outpoint as the caller wrote it; "" when
// there is none or "tags.json" is missing or damaged.
std::string load_art_tag(const std::string& outpoint);

// Every text tag "tags.json" holds, under its key as stored: one read for a caller that looks up
// many outpoints. Empty when the file is missing or damaged.
std::map<std::string, std::string> load_art_tags();

// The tag load_art_tag would find for the outpoint among tags read by load_art_tags.
std::string art_tag_in(const std::map<std::string, std::string>& tags, const std::string& outpoint);

// Appends OP_RETURN and the MAP pushes (app, type, name when not empty, sealed tag) when the
// sealed tag is not empty; otherwise leaves the script as it is.
void append_map_part(Bytes& script, const std::string& name, const std::string& sealed_tag);

// P2PKH lock, "ord" envelope (content type, name metadata when not empty, content in one push),
// then the MAP part when the sealed tag is not empty. Checks nothing itself.
Bytes build_inscription_script(const Hash160& hash160, const std::string& content_type, const Bytes& content,
                               const std::string& name_metadata, const std::string& sealed_tag);
