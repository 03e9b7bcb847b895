// Sending signed transactions: the platform submit, WhatsOnChain and ARC in turn, the check that
// WhatsOnChain lists a transaction it did not plainly accept, and what the services say of a
// transaction's fate; chain/sent_tx.h keeps the books of what went out. Results are "success: "
// and the transaction id, or a text that begins "error: ".
#pragma once

#include "chain/coin_state.h"
#include "chain/sent_tx.h"
#include "chain/tx.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <string>
#include <vector>

// Platform submit, then WhatsOnChain and ARC side by side; the answer comes within about a minute.
// `txid_out`, when given, receives the computed id before any request. "error: serialize failed."
// when the transaction does not serialise. When none accepted it by name and one of them ran out of
// time, took it without naming it, or (WhatsOnChain's node) said it already holds it while ARC said
// nothing, the answer waits for WhatsOnChain's listing; without one it
// begins "error: not known whether it was sent", names the transaction (not_known_if_sent_txid)
// and the inputs stay unsettled (mark_inputs_unsettled) until the services show it sent or never sent.
std::string broadcast_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                         const Hash160& change_hash160, std::string* txid_out = nullptr);

// broadcast_tx with the caller's wallet mutex let go for the requests and taken again before the
// answer: the window's reads of the wallet do not wait for the services. The inputs are marked
// unsettled and the step held on disk first (write_ahead_of_sending), and given back when the broadcast surely failed;
// those of a transaction sent, or not known to be, stay unsettled. kDataFolderUnwritable, and nothing sent, when that
// could not be written. The answer is filed in the wallet whose coins these are
// (chain/step_wallet.h), whatever is loaded when it comes. "error: wallet changed." and nothing sent when the step's
// wallet is no longer loaded; "error: wallet changed." too for a broadcast that surely failed while another was loaded
// (its inputs stay unsettled until a Refresh of their wallet finds them unspent).
std::string broadcast_with_wallet_free(WalletLock& wallet_lock, const std::vector<TxInput>& inputs,
                                       const std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                                       std::string* txid_out = nullptr);

// Signs every input in place (each with its own keys, else the wallet's receive keys and the
// change hash160), then broadcast_with_wallet_free. "error: signing failed." and nothing sent on a
// failure.
std::string sign_and_broadcast(WalletLock& wallet_lock, std::vector<TxInput>& inputs,
                               const std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                               std::string* txid_out = nullptr);

// The completing transaction of a gallery sale: WhatsOnChain, then ARC for missing inputs or a
// node that says it holds the sale; the platform gets a copy once WhatsOnChain took it. Sent only
// when an answer names this transaction's id or WhatsOnChain lists it; "not known whether it was
// sent" as broadcast_tx answers it. Called with the wallet mutex free: the inputs are unsettled and
// the step held on disk while it goes out (else nothing is sent), stay so when it may have gone
// out, and are given back when it surely did not; filed in its step's wallet as
// broadcast_with_wallet_free files.
std::string broadcast_sale_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                              const Hash160& change_hash160);

// True when ARC took the transaction with an accepted status and named no other id; false with
// the reason in `detail`.
bool arc_broadcast(const std::string& tx_hex, const std::string& expected_txid, std::string& detail);

// Hands the transaction to the platform host (8 s, one attempt); the outcome is ignored.
void platform_submit_tx(const std::string& tx_hex);

// One look-up: true when WhatsOnChain returns this transaction, as bytes whose id is `txid` or as a
// record whose "txid" is it. Any other answer, an error page included, is false.
bool woc_returns_txid(const std::string& txid);

// What WhatsOnChain, ARC and the platform, asked side by side, say of a transaction: Sent when
// WhatsOnChain returns its record, NotSent when each answers that it does not know it (HTTP 404),
// Unasked when those that answered do not know it and the others (named in `unasked`, ", "
// between) could not be asked, Unsure when one knows it or none answered.
enum class TxFate { Unsure, Sent, NotSent, Unasked };
TxFate ask_tx_fate(const std::string& txid, std::string* unasked = nullptr);

// True, with the id, when `text` is a broadcast's "not known whether it was sent" answer, which
// ends "Transaction " and the id.
bool not_known_if_sent_txid(const std::string& text, std::string& txid);

// True for the node's wordings of a spent or unknown input.
bool is_missing_inputs_error(const std::string& text);
