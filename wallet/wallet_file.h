// The wallet file of the bound wallet: where it lives, its two JSON layouts (HD and the older
// single key), loading it into the wallet state and writing it back, and the recognition of a
// sealed wallet, which is never opened or written here. The caller holds the wallet mutex unless
// a function says otherwise.
#pragma once

#include <nlohmann/json_fwd.hpp>

struct KvCofferlyWallet;

#include <string>

// The current wallet's file: its "wallet.json" in the registry, or the older single-wallet file
// when no wallet id is set. "" when the id is not safe to put in a path.
std::string wallet_file_path();

// The text without leading and trailing spaces, tabs, carriage returns and line feeds.
std::string trim_copy(const std::string& text);

// A contact destination in its stored form: a bare handle for a paymail of the platform's own
// domain, an address unchanged, anything else lower-cased.
std::string normalize_contact_dest(const std::string& text);

// Refills the wallet's contacts from a parsed wallet document. False (contacts emptied) when a
// contact holds a "dest" or "note" that is not text.
bool load_contacts(const nlohmann::json& doc);

// Adds "contacts" to the document being built when the wallet has contacts.
void save_contacts(nlohmann::json& doc);

// Wipes the clear-text secrets ("mnemonic", "priv") a parsed wallet document may hold.
void wipe_wallet_doc_secrets(nlohmann::json& doc);

// True when the document is the wallet program's lock record ("lock": "KV-LOCK1") rather than a
// wallet.
bool is_wallet_lock_record(const nlohmann::json& doc);

// Clears every field a load fills and wipes the secrets they held; the wallet id, address, public
// key and shown index stay.
void reset_loaded_wallet_fields(KvCofferlyWallet& w);

// The whole file in binary mode; false when it cannot be read.
bool read_file_text(const std::string& path, std::string& out);

// True when the wallet is locked by the wallet program: a ".seal" side file beside the wallet
// file, or a wallet file that is a lock record. Takes the wallet mutex for the wallet id.
bool is_wallet_sealed();

// Makes sure the wallet state holds the bound wallet's keys. False when there is no wallet, the
// file is missing, malformed, sealed or of unexpected types, or its keys are unusable. With the
// keys already held it saves a pending change again once 5 s have passed since the disk refused it.
bool load_wallet();

// Rewrites the wallet file from the wallet state, keeping the keys this program does not write.
// False when no wallet is loaded, the wallet is sealed, or the file cannot be written; in the last
// case the change is marked pending (in the state and its view) until a save succeeds.
bool save_wallet();

// The current ordinals address of an HD wallet, or "" (takes the wallet mutex itself).
std::string cofferly_ord_address();

// Defined with the coin snapshots (chain/): merges this wallet's stored spent set into memory.
void load_spent_outpoints();
