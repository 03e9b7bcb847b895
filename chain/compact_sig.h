// Bitcoin Signed Message compact signatures (65 bytes with a recovery header, base64) and the
// paymail P2P payment notice: after a broadcast, receivers registered as pending P2P destinations
// are sent the raw transaction with a signature of its id by the wallet's identity key.
#pragma once

#include "chain/tx.h"
#include "wallet/crypto.h"

#include <cstdint>
#include <string>
#include <vector>

// A receiver waiting to be told of a payment to one of its addresses.
struct P2pDestination {
    std::string endpoint;  // URL the notice is posted to
    std::string reference; // the receiver's reference for this payment
    std::string sender;    // paymail named as the sender
    std::int64_t sats = 0; // amount expected at the address
};

struct P2pReceiver {
    std::string endpoint;
    std::string reference;
    std::string sender;
};

// The job of one notice thread.
struct P2pPaymentNote {
    std::vector<P2pReceiver> receivers;
    std::string hex;       // raw transaction, lower-case hex
    std::string pubkey;    // identity public key, 66 hex digits
    std::string signature; // compact signature of the transaction id, base64
};

// Compact signature of the message by a 64-hex private key, in base64 (88 characters). False with
// the output empty on any failure.
bool sign_bitcoin_message(const std::string& priv_hex, const std::string& message, std::string& signature_b64);

// Registers (or replaces) the pending destination of a P2PKH address.
void add_p2p_destination(const std::string& address, const P2pDestination& destination);
// Copies the pending destination of an address; false when there is none.
bool find_p2p_destination(const std::string& address, P2pDestination& destination);

// Compact JSON notice for one receiver: hex, metadata {note, pubkey, sender, signature}, reference.
std::string p2p_notice_body(const P2pPaymentNote& note, const P2pReceiver& receiver);

// Posts the notice to each receiver in order (12 s, one attempt); replies and errors are ignored.
void post_p2p_transaction(const P2pPaymentNote& note);

// After a broadcast: consumes the pending destinations that the outputs pay exactly, signs the
// transaction id with the identity key and posts the notices before it returns. Silent on every
// failure; the registry is left as it was unless a notice is sent.
void notify_p2p_payment(const std::string& raw_hex, const std::string& txid, const std::vector<TxOutput>& outputs);
