// Where the report road gets the wallet program's channel keys, and how a report is encrypted
// with them. The keys sit in three process-wide slots under their own mutex, emptied at the start
// of every load and wiped at exit. Where they come from is a pluggable source; none is installed
// until the wallet program offers its keys, so a load fails with "Connect Cofferly".
#pragma once

#include <functional>
#include <string>

// The three key values of a channel, as hex texts.
struct ChannelKeys {
    std::string own_pub;  // this wallet's channel public key
    std::string own_priv; // its private key; wiped whenever the slots are cleared
    std::string peer_pub; // the recipient channel's public key
};

// Fills the keys, or returns false with an error text (which may be empty).
using ChannelKeySource = std::function<bool(ChannelKeys& keys, std::string& error)>;

// Installs the source (an empty one removes it).
void set_channel_key_source(ChannelKeySource source);

// Clears the slots and loads them for encrypting report_text. False with "Connect Cofferly" when
// no source is reachable, or the source's text, or "could not load Cofferly encryption keys".
bool load_channel_keys(const std::string& report_text, std::string& error);

// A copy of the slots as the last load left them.
ChannelKeys loaded_channel_keys();

// Encrypts `text` for the peer channel of `keys`: ECDH of the own private key with the peer public
// key on secp256k1, SHA-256 of the shared X as an AES-256-GCM key, and base64 of nonce (12 bytes),
// cipher text and tag (16 bytes). `associated` (the signed text of the report that carries it) is
// the cipher's additional data, so the body opens only in that report. False with an error text on
// a malformed key or a failing cipher.
bool encrypt_report_text(const ChannelKeys& keys, const std::string& text, const std::string& associated,
                         std::string& encrypted, std::string& error);
