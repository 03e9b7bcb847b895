// What a sent transaction leaves in the wallet: its inputs spent and held until the services show
// its fate, its change kept as coins, the address caches brought up to date, and the ids of the
// last transactions sent.
#pragma once

#include "chain/coin_state.h"
#include "chain/tx.h"
#include "wallet/codecs.h"

#include <string>
#include <vector>

// Id of the last transaction whose sending was recorded; emptied by the wallet session clear.
// Guarded by the wallet mutex.
std::string& last_sent_txid();
// Id of the last transaction a broadcast or a payment reported as sent; never emptied. Guarded
// by the wallet mutex.
std::string& last_success_txid();

// Records a sent transaction: inputs spent (and saved) and held by it until the services show it
// went out or was dropped (release_unsent_inputs), spent coins dropped from the caches, and outputs
// that pay a wallet key kept as change coins (saved) and added to the address caches. While another
// wallet than the one this thread's step began in is loaded (chain/step_wallet.h), nothing of the
// loaded wallet changes: the step's inputs were held in its own wallet's files before they went
// out, and the outputs that pay the change or an input's key are added to that wallet's change
// file.
void record_sent_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs, const std::string& txid,
                    const Hash160* change_hash160);

// True when h is the change hash160, an input's hash160, or a key of the wallet (receive address,
// receive chain of account 1 up to its counter, identity address).
bool is_own_hash160(const Hash160& h, const std::vector<TxInput>& inputs, const Hash160* change_hash160);

// The wallet address, or cached address, whose hash160 is h; "" when none is known.
std::string address_for_hash160(const Hash160& h);

// Adds a coin to the address's cache entry (made when missing) and marks the entry fresh. Does
// nothing for an empty address or a txid that is not 64 hex digits.
void cache_add_utxo(const std::string& address, const Utxo& coin);

// Removes the coins of the spent set from every address cache entry.
void drop_spent_cached_utxos();
