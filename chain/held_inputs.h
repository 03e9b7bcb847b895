// The inputs of transactions not known to have been sent: held with the spent set until the
// listings and the services show whether the transaction went out.
#pragma once

#include "chain/outpoints.h"
#include "chain/tx.h"

#include <cstdint>
#include <string>
#include <vector>

struct AddressRefresh;

// How long the inputs of a transaction not known to have been sent stay held at least: a service
// that took it lists it within seconds, and a transaction no service knows after this long was not
// taken. Spending the same coins again can never pay twice; only other coins could.
constexpr std::int64_t kUnsentHoldMs = 5 * 60 * 1000;
// A held transaction that the services answered neither way about is asked again after this long.
constexpr std::int64_t kHeldAskGapMs = 60 * 1000;
// How long after the hold's own time a service that cannot be asked delays the answer of those
// that can: a service whose status route fails may still have taken the transaction, and sends
// it on within this time when it did.
constexpr std::int64_t kUnaskedWaitMs = 60 * 60 * 1000;

// The held row of a transaction: its id, lower-case, held from now, and its inputs' outpoints.
HeldInputs held_row_of(const std::string& txid, const std::vector<TxInput>& inputs);

// As spend_inputs_expire_caches for every input, and remembers them (saved with the spent set) as
// held by `txid`, whose sending is not known.
void hold_unsent_inputs(const std::string& txid, const std::vector<TxInput>& inputs);

// Holds the inputs of a transaction about to go out, on disk, before the wallet mutex is let go for
// its broadcast: no other step or process selects them meanwhile, and should this process end
// before the answer, they stay held as those of a transaction whose sending is not known.
void hold_inputs_while_sent(const std::string& txid, const std::vector<TxInput>& inputs);

// Gives back at once the inputs held by hold_inputs_while_sent when the broadcast surely failed; a
// coin another held row still names stays out.
void give_back_unsent_inputs(const std::string& txid, const std::vector<TxInput>& inputs);

// Gives back the inputs held at least kUnsentHoldMs by a transaction when every service answers
// that it does not know the transaction (past kUnsentHoldMs + kUnaskedWaitMs, every service that
// could be asked; the steps it holds name the others meanwhile) and every input is unspent (shown by these whole
// listings, else by its own spend status); they are then spendable again and count in the balance, and the change the
// transaction would have left is dropped. Inputs of a transaction that went out stay spent and are no longer held; so
// do those of one that can never go out (an input spent by another transaction). Spent marks that these listings show
// unspent and no row holds, in a file a previous version wrote (its holds), are held from now on and given back by the
// listing alone; a mark this version wrote without a row stays. Each held transaction is asked about at most once per
// kHeldAskGapMs, all side by side, with the wallet mutex free (the caller must not hold it); the spent set is read
// again before it is written. Once no transaction is held, a steps file set aside holds no step any longer
// (end_hold_of_all_steps).
void release_unsent_inputs(const std::vector<AddressRefresh>& records);
