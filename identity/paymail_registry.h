// The local paymail registry "kestrava_paymail.json" in the data folder: paymail labels mapped to
// the identity key that owns them, with the label's receive and ordinals addresses and avatar, the
// avatars by identity key, the label last claimed here ("self") and the host's role for this
// identity ("host_role"). The file is shared with the wallet program, so every operation reads it
// again under the registry mutex and writes it back only when it changed. When both are held, the
// wallet mutex is taken first.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One label's object under "names": pubkey, address, avatar, ordAddress, the older ord, and any
// keys the wallet program keeps there, which every operation here carries along.
using PaymailLabel = nlohmann::json;

// The registry mutex and the in-memory document; the document is meaningful only while the mutex
// is held and after load_paymail_registry.
std::mutex& paymail_registry_mutex();
nlohmann::json& paymail_registry_document();

// Full path of the registry file in the data folder.
std::string paymail_registry_path();

// Caller holds the mutex. Replaces the document by the file's content (an empty object when the
// file is missing). When only the older copy under "userinfo" exists, it is migrated to the data
// folder. A file that cannot be read or is not a JSON object is read again after a short pause;
// when it still fails it is set aside as "<name>.damaged-<ms>" and the document starts empty.
// False only when such a file could not be set aside: the document is then empty and
// save_paymail_registry refuses to write over that file until a load reads cleanly.
bool load_paymail_registry();

// Caller holds the mutex. Replaces the file whole with the document (indent 2), creating the data
// folder. False when the file could not be written or the last load found it unreadable; the old
// file is then untouched.
bool save_paymail_registry();

// Alias normal form: leading '@', '$' and spaces and trailing spaces, CR and LF removed, cut at the
// first '@', ASCII lower-cased. Unlike the label form, no character is filtered out.
std::string normalize_paymail_alias(const std::string& text);

// Label normal form: the alias normal form with only a-z 0-9 '-' '.' '_' kept.
std::string normalize_paymail_name(const std::string& name);

// Quick P2PKH test: 26 to 35 characters, first '1', no '_'. No checksum check.
bool is_plausible_address(const std::string& address);

// Free labels per identity for a host role: -1 (no limit) for "architect", 20 for "dev", else 10.
std::int32_t label_quota_for_role(const std::string& role);

// The identity's main label: "self" when it belongs to the key, else its smallest label; "" when
// none.
std::string primary_paymail_name_for_pubkey(const std::string& pubkey_hex);

// Every label of the identity, normalised and sorted; the list is cleared first.
void paymail_names_for_pubkey(const std::string& pubkey_hex, std::vector<std::string>& names);

// Records the label for the identity and makes it "self". "" on success, else the error text to
// show (bad name, no key, taken by another key, quota reached, unreadable or unwritable file).
std::string claim_paymail_name(const std::string& name, const std::string& pubkey_hex, const std::string& address);

// Sets the root "host_role" ("dev", "agent", "operator", "architect"); any other role removes it.
void set_host_role(const std::string& role);

// The label's ordinals address ("ordAddress", else the older "ord"), "" when none is plausible.
std::string ord_address_for_name(const std::string& name);

// Writes "ordAddress" of one label, creating the label without an owner when missing. Ignores an
// empty name or an implausible address.
void set_label_ord_address(const std::string& name, const std::string& ord_address);

// Sets (or, for "", removes) the loaded wallet's identity avatar under "avatars" and on every label
// of that identity. "" on success, else the error text to show. Caller holds the wallet mutex.
std::string set_identity_avatar(const std::string& avatar);
