// The connected wallet as the rest of the program asks about it: connection, address summary,
// receive address and identity key, disconnect, the refresh from the wallet file, identity
// signatures and the BN key; and the two outputs of the wallet core, status events and log lines.
#pragma once

#include <functional>
#include <string>

// Tags of status events.
constexpr const char* kCofferlyTag = "[KV-COFFERLY]";
constexpr const char* kBalanceTag = "[KV-BALANCE]";
// Separator between the parts of a status event.
constexpr char kStatusSeparator = '\x1f';

using TextSink = std::function<void(const std::string&)>;

// Both slots start empty; an event or line sent to an empty slot is dropped. A sink runs outside
// the sink mutex, so it may send further events, but it must not wait for a thread that needs the
// wallet mutex.
void set_status_sink(TextSink sink);
void set_log_sink(TextSink sink);

// tag 0x1F kind, then each field after 0x1F; trailing empty fields are left out, an empty field
// before a non-empty one stays.
std::string build_status_event(const std::string& tag, const std::string& kind, const std::string& field1 = "",
                               const std::string& field2 = "", const std::string& field3 = "");
void emit_status_event(const std::string& tag, const std::string& kind, const std::string& field1 = "",
                       const std::string& field2 = "", const std::string& field3 = "");
void emit_log_line(const std::string& text);
// Sends ("[KV-COFFERLY]", "error", message) and returns the message unchanged.
std::string emit_cofferly_error(const std::string& message);

// A copy of the wallet facts that the window thread needs, kept apart from the wallet state so
// it can be read while a long operation holds the wallet mutex.
struct WalletView {
    std::string wallet_id;
    bool loaded = false; // priv and address were set
    bool is_hd = false;
    std::string address; // main address: receive address, or the single legacy address
    std::string identity_address;
    std::string paymail;         // alias, without the domain
    bool save_pending = false;   // a change of the wallet has not reached its file yet
    bool save_read_only = false; // and the file's read-only mark is why
};

// The latest copy; never waits for the wallet mutex.
WalletView wallet_view();
// Copies the wallet state into the view. The caller holds the wallet mutex; call it after any
// change of wallet id, load, clear or key derivation.
void note_wallet_state_changed();

// True when this instance has a bound or selected wallet that loads and is an HD wallet. While
// another thread holds the wallet mutex it answers from the view within milliseconds.
bool is_cofferly_connected();

// alias@domain for the platform's paymail domain; "" for an empty alias.
std::string full_paymail(const std::string& alias);

// Address, paymail (alias@domain, or empty) and HD flag of the loaded wallet, or else read from
// the current wallet's file without loading it. False (outs empty) when neither gives an address
// holder: no wallet id, a sealed wallet, or a file that does not parse.
bool wallet_address_info(std::string& address, std::string& paymail, bool& is_hd);

// The receive address (legacy: the single address), or "" when no wallet loads.
std::string current_receive_address();
// The identity public key (legacy: the single public key), or "" when no wallet loads.
std::string current_identity_pubkey();

// Takes into the loaded wallet what the wallet program may have changed in its file: receive
// counters (never lowered), avatar and alias; derives the keys again when the receive counter
// moved. Does nothing when no wallet is loaded or the file is missing, malformed or sealed. The
// caller holds the wallet mutex.
void sync_wallet_from_file();

// Wipes the keys and empties the wallet state and the coin state of the session, keeping the
// wallet id and the binding. The caller holds the wallet mutex.
void clear_wallet_session();

// Defined with the coin side: empties the spent set, the change coins, the last sent id, the
// receive-scan mark, the displayed balance and, last, the coin caches. The caller holds the
// wallet mutex.
void clear_chain_session_state();

// Drops the bind (app mode), clears the session, sends the "status" event and a log line.
// Always "success".
std::string disconnect_cofferly();

// Signs the Bitcoin Signed Message digest of message with the identity key m/44'/236'/100'/0/0:
// pubkey = 66 hex, signature = base64 of r then s (88 characters). False with an error text
// when no HD wallet is connected or the key cannot be derived or sign.
bool sign_with_identity(const std::string& message, std::string& pubkey_hex, std::string& signature_b64,
                        std::string& error);

// The key m/44'/236'/102'/0/0 of the HD wallet. False with an error text otherwise.
bool derive_bn_key(std::string& pubkey_hex, std::string& priv_hex, std::string& address, std::string& error);
