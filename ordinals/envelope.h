// Readers of 1Sat ordinal inscriptions in locking scripts: one script data push, the "ord"
// envelope with its fields, the sealed artwork tag in the MAP part that follows the program's own
// envelopes, the text form of an ordinal key (txid "_" vout, or a bare txid for output 0) and the
// form in which display names are stored and shown.
//
// Pure functions: no state, no exceptions; failure is the result (false or an empty text).
#pragma once

#include "wallet/codecs.h"

#include <cstdint>
#include <string>

// Longest display name of an ordinal, in bytes.
constexpr std::size_t kOrdNameMax = 48;

// Reads one data push at `cursor` into `out` and moves the cursor past it. False for a non-push
// opcode (OP_1NEGATE and above) or a push that runs past the end; the cursor is then undefined.
bool read_script_push(const Bytes& script, std::uint64_t& cursor, Bytes& out);

// Reads an OP_FALSE OP_IF "ord" ... OP_ENDIF envelope starting at `cursor` and leaves the cursor
// after its OP_ENDIF. True only when the envelope is whole and has a non-empty OP_1 content type;
// `body` (OP_0 field) and `metadata` (OP_5 field) are handed out even when that is missing.
bool parse_ord_envelope(const Bytes& script, std::uint64_t& cursor, std::string& content_type, Bytes* body = nullptr,
                        std::string* metadata = nullptr);

// The envelope of an inscription paying an address: read right after a leading P2PKH lock when the
// script is longer than that lock and starts with one, else from byte 0 with a whole P2PKH lock
// right after its OP_ENDIF (more script may follow). `lock_hash160` is that lock's. False when the
// envelope does not parse or the lock is missing; the outputs may then hold partial values.
bool read_locked_envelope(const Bytes& script, Hash160& lock_hash160, std::string& content_type, Bytes& body,
                          std::string* metadata = nullptr);

// The sealed "tag" of the MAP part after an envelope that this program wrote (app "Corvane"), as
// the script holds it; empty for any other script.
std::string art_tag_from_script(const Bytes& script);

// Splits an ordinal key into its transaction id (the 64 hex digits as written) and output index.
// False for anything but 64 hex digits, optionally followed by "_" and a non-negative index.
bool parse_ord_outpoint(const std::string& key, std::string& txid, std::uint32_t& vout);

// The name without leading blanks and tabs or trailing blanks, tabs and line feeds, cut to
// kOrdNameMax bytes.
std::string clip_ord_name(std::string name);

// Display name from inscription metadata or content: the "name" member of a JSON object, else the
// whole text when it is a short plain name; empty otherwise.
std::string ord_name_from_json(const std::string& text);
