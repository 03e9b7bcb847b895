// The inputs of transactions not known to have been sent: unsettled, kept with the spent set until
// the listings and the services show whether the transaction went out.
#pragma once

#include "chain/outpoints.h"
#include "chain/tx.h"

#include <cstdint>
#include <string>
#include <vector>

struct AddressRefresh;

// How long the inputs of a transaction not known to have been sent stay unsettled at least: a service
// that took it lists it within seconds, and a transaction no service knows after this long was not
// taken. Spending the same coins again can never pay twice; only other coins could.
constexpr std::int64_t kUnsettledMinMs = 5 * 60 * 1000;
// An unsettled transaction that the services answered neither way about is asked again after this long.
constexpr std::int64_t kUnsettledAskGapMs = 60 * 1000;
// How long after the row's own time a service that cannot be asked delays the answer of those
// that can: a service whose status route fails may still have taken the transaction, and sends
// it on within this time when it did.
constexpr std::int64_t kUnaskedWaitMs = 60 * 60 * 1000;

// The unsettled row of a transaction: its id, lower-case, unsettled from now, and its inputs' outpoints.
UnsettledInputs unsettled_row_of(const std::string& txid, const std::vector<TxInput>& inputs);

// As spend_inputs_expire_caches for every input, and remembers them (saved with the spent set) as
// unsettled by `txid`, whose sending is not known.
void mark_inputs_unsettled(const std::string& txid, const std::vector<TxInput>& inputs);

// The answer of a step that did not go out because what it needs on disk could not be written.
constexpr const char* kDataFolderUnwritable =
    "error: the data folder cannot be written, so nothing was sent and nothing paid. Free some disk space or let "
    "the folder be written, then try again.";

// Writes ahead of a transaction about to go out, before the wallet mutex is let go for its
// broadcast: its inputs marked unsettled in the spent file, and the hold of this thread's step
// (hold_step_ahead). No other step or process selects the inputs meanwhile, and should this process
// end before the answer, they stay unsettled and the step held as one whose sending is not known.
// "" when both were written; else kDataFolderUnwritable, the inputs given back: the transaction must
// not go out. The caller holds the wallet mutex.
std::string write_ahead_of_sending(const std::string& txid, const std::vector<TxInput>& inputs);

// Gives back at once the inputs marked by write_ahead_of_sending when the broadcast surely failed; a
// coin another unsettled row still names stays out.
void give_back_unsent_inputs(const std::string& txid, const std::vector<TxInput>& inputs);

// Gives back the inputs unsettled at least kUnsettledMinMs by a transaction when every service answers
// that it does not know the transaction (past kUnsettledMinMs + kUnaskedWaitMs, every service that
// could be asked; the steps it holds name the others meanwhile) and every input is unspent (shown by these whole
// listings, else by its own spend status); they are then spendable again and count in the balance, and the change the
// transaction would have left is dropped. Inputs of a transaction that went out stay spent and are no longer unsettled;
// so do those of one that can never go out (an input spent by another transaction). Spent marks that these listings
// show unspent and no row names, in a file a previous version wrote (its holds), are unsettled from now on and given
// back by the listing alone; a mark this version wrote without a row stays. Each unsettled transaction is asked about
// at most once per kUnsettledAskGapMs, all side by side, with the wallet mutex free (the caller must not hold it); the
// spent set is read again before it is written; nothing is applied when another wallet was loaded meanwhile (its
// rows are asked about again at their wallet's next Refresh). Once no transaction is unsettled, a steps file set aside
// holds no step any longer (end_hold_of_all_steps).
void release_unsent_inputs(const std::vector<AddressRefresh>& records);
