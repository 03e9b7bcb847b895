// Paying a list of outputs from the wallet: up to three attempts, each refreshing the coins,
// collecting and selecting them, building the transaction with change, signing and broadcasting
// it, with the recovery steps between attempts. Every payment of the program ends here.
#pragma once

#include "chain/tx.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <cstdint>
#include <string>
#include <vector>

// At most this many attempts per payment.
constexpr int kPayAttempts = 3;

// What one payment call remembers between its attempts; nothing of it outlives the call.
struct PaymentState {
    std::uint64_t sum = 0; // the requested outputs' total
    std::int64_t fee = 0;  // fee of the latest built transaction
    Hash160 change_hash160{};
    std::string latest_txid;              // id of the latest transaction that reached the broadcast
    std::vector<TxInput> latest_inputs;   // its inputs, private keys already wiped
    std::vector<TxOutput> latest_outputs; // its outputs, change included
    bool aged = false;                    // the coin caches were aged once
    bool resynced = false;                // the GorillaPool resync ran once
    int attempt = 0;
};

// Pays the outputs, in order, with change after them. The caller holds the wallet mutex through
// wallet_lock; the coin refresh releases it around network calls and it is held again on return.
// Coins whose reserve keys are in `avoid` are not spent. Returns "success: " and the transaction
// id, or a text that begins "error: ".
std::string pay_with_retry(WalletLock& wallet_lock, const std::vector<TxOutput>& outputs,
                           const std::vector<std::string>& avoid = {});

// The 64-hex id after the first blank of a text that begins "success" (trailing blanks and line
// ends dropped). False, with txid empty, for any other text.
bool parse_success_txid(const std::string& text, std::string& txid);

// When the latest id is 64 hex digits: records that transaction as sent (spent inputs, change)
// and sets text to "success: " and the id. Otherwise text is left empty.
void record_found_payment(const PaymentState& state, std::string& text);

// Moves text into result; a success first reports the outputs' total plus the fee as the amount
// just sent to the displayed balance.
void finish_payment_result(const PaymentState& state, std::string text, std::string& result);

// True when a broadcast reply carries the node's code for a transaction it already holds, as
// opposed to a conflicting spend of its inputs. A hint only: it names no id.
bool is_own_tx_known_reply(const std::string& reply);
