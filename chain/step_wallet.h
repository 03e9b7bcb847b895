// The wallet a step that pays began in. Such a step lets the wallet mutex go while its transaction
// goes out, and the user may load another wallet, or none, meanwhile: what the step learns (its
// hold, its sent transaction, its offer, its notes) is filed in the wallet that began it, whatever
// is loaded when the answer comes.
#pragma once

#include "wallet/kv_cofferly_wallet.h"
#include "wallet/step_scope.h"

#include <memory>
#include <string>

struct StepWalletBinding;

// Binds the step this thread runs, for the life of the scope, to the wallet loaded when it opens
// (takes the wallet mutex). `step` names it as the steps file does ("pair", "inscribe",
// "certificate", "pass", "pay", "accept", "complete"). Inside a scope already, it is part of that. The
// steps that keep the services' answers for their life open it through PayingStepScope.
class StepWalletScope {
public:
    explicit StepWalletScope(const char* step);
    ~StepWalletScope();
    StepWalletScope(const StepWalletScope&) = delete;
    StepWalletScope& operator=(const StepWalletScope&) = delete;

private:
    std::unique_ptr<StepWalletBinding> own_;
};

// Opens a step that pays (or moves a title) where it begins: the services' answers are kept for the
// step's life (StepScope) and it is bound to the wallet loaded now (StepWalletScope), in that order.
// Inside a step already, it is part of that.
class PayingStepScope {
public:
    explicit PayingStepScope(const char* step) : wallet_(step) {}

private:
    StepScope answers_;
    StepWalletScope wallet_;
};

// The file stem (wallet_file_stem) and the wallet id of the wallet this thread's step began in;
// outside a step, of the wallet loaded now. Take the wallet mutex.
std::string step_wallet_stem();
std::string step_wallet_id();

// True when this thread runs a step bound to a wallet; never waits for the wallet mutex.
bool step_wallet_bound();

// What this thread's step holds while its transaction's fate is not known (chain/step_holds.h).
struct StepSubject {
    std::string step;       // as the steps file names it
    std::string subject;    // the artwork's id, or an inscription's SHA-256
    std::string terms;      // what the try names
    bool keep_sent = false; // the row stays, as sent, once the transaction went out
};

// Names the step (as the steps file does), subject and terms of this thread's step, so that the hold
// its transaction writes ahead is the one a later try of the step asks for. `keep_sent` for a step
// whose result the services may show late (a pair): its row stays as sent. Does nothing outside a
// step.
void name_step_subject(const std::string& step, const std::string& subject, const std::string& terms,
                       bool keep_sent = false);

// The subject this thread's step named; false when it named none, or no step is open.
bool named_step_subject(StepSubject& out);

// True when the wallet loaded now is the one this thread's step began in, or no step is open. The
// caller holds the wallet mutex; false means the step's results go to its own wallet's files and
// nothing of the loaded wallet's state may change for them.
bool step_wallet_loaded();

// Takes the wallet mutex again (when `lock` does not hold it) after this thread's step let it go:
// true when the wallet loaded now is the one the step began in, or no step is open. False means
// another wallet, or none, was loaded meanwhile: nothing of the loaded wallet may change for the
// step, and what the step learned is filed in its own wallet's files or waits for its next read.
bool relock_same_wallet(WalletLock& lock);

// Marks this thread's transaction as going out for the life of the scope (the wallet mutex let go).
class GoingOut {
public:
    GoingOut();
    ~GoingOut();
    GoingOut(const GoingOut&) = delete;
    GoingOut& operator=(const GoingOut&) = delete;
};

// What the window tells a user who would Unbind or Connect while a step's transaction goes out:
// which step it is, and to wait for its answer; "" when none goes out. Never waits for the wallet
// mutex.
std::string step_going_out_text();
