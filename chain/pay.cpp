#include "chain/pay.h"

#include "chain/balance.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/coin_state.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/step_wallet.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/wallet_file.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// The node's reject codes for a transaction it already holds. They name no id, so they prove
// nothing; they only say that paying again from other coins might pay twice.
const char* const kOwnTxKnown[] = {"txn-already-known", "txn-already-in-mempool"};

const char* const kNoWallet = "error: no Kestrava Cofferly wallet. Use cofferly create first.";
const char* const kNeedHd = "error: need an HD Cofferly wallet.";
const char* const kHeldNotListed = "error: the network says it already holds this payment, but it is not listed. "
                                   "Nothing was recorded; check the balance in a minute before paying again.";
const char* const kCoinsUnsettled =
    "error: no coin is free: a payment not known to have been sent yet holds Cofferly's "
    "coins. If no service knows it 5 minutes after it was sent, the next Refresh puts them "
    "back; try again then.";
const char* const kShareCoins = "error: need a bit more BSV so the offer and the 1-sat hook do not share coins.";

bool begins_with(const std::string& text, const char* prefix) {
    const std::string p(prefix);
    return text.compare(0, p.size(), p) == 0;
}

void wipe_input_keys(std::vector<TxInput>& inputs) {
    for (TxInput& in : inputs)
        wipe(in.priv_hex);
}

// The keys of the working inputs must not outlive the call, whichever way it returns.
struct InputKeyWiper {
    std::vector<TxInput>& inputs;
    ~InputKeyWiper() { wipe_input_keys(inputs); }
};

std::uint64_t total_of(const std::vector<TxOutput>& outputs) {
    std::uint64_t sum = 0;
    for (const TxOutput& out : outputs)
        sum = out.sats > std::numeric_limits<std::uint64_t>::max() - sum ? std::numeric_limits<std::uint64_t>::max()
                                                                         : sum + out.sats;
    return sum;
}

// True, with the finished success in result, when WhatsOnChain lists the transaction of an
// earlier attempt: it reached the network after all. The look-up runs with the wallet mutex free;
// the attempt's inputs are unsettled meanwhile.
bool found_on_chain(WalletLock& wallet_lock, const PaymentState& state, std::string& result) {
    if (!is_txid_hex(state.latest_txid)) return false;
    wallet_lock.unlock();
    const bool listed = woc_returns_txid(state.latest_txid);
    // Another wallet loaded meanwhile: a payment that went out is filed in its own wallet; one that
    // did not is tried again only from its own wallet (pay_with_retry).
    relock_same_wallet(wallet_lock);
    if (!listed) return false;
    std::string text;
    record_found_payment(state, text);
    if (text.empty()) return false;
    finish_payment_result(state, std::move(text), result);
    return true;
}

// The answer when no coin could be collected after the caches were aged and resynced.
std::string no_coin_text(bool avoiding) {
    if (avoiding) return kShareCoins;
    if (!unsettled_inputs().empty()) return kCoinsUnsettled;
    if (cached_history_face() > 0)
        return "error: Cofferly can see the balance, but not a coin it can spend yet. Try again in a few seconds.";
    return "error: you have 0 in your Cofferly wallet.";
}

void keep_latest(PaymentState& state, const std::string& txid, const std::vector<TxInput>& inputs,
                 const std::vector<TxOutput>& outputs) {
    wipe_input_keys(state.latest_inputs);
    state.latest_txid = txid;
    state.latest_inputs = inputs;
    wipe_input_keys(state.latest_inputs);
    state.latest_outputs = outputs;
}

void spend_missing_inputs(WalletLock& wallet_lock, const std::vector<TxInput>& inputs) {
    mark_inputs_spent(inputs);
    drop_spent_cached_utxos();
    resync_plain_coins(wallet_lock);
}

} // namespace

bool is_own_tx_known_reply(const std::string& reply) {
    const std::string lowered = to_lower_copy(reply);
    return std::any_of(std::begin(kOwnTxKnown), std::end(kOwnTxKnown),
                       [&](const char* words) { return lowered.find(words) != std::string::npos; });
}

bool parse_success_txid(const std::string& text, std::string& txid) {
    txid.clear();
    if (!begins_with(text, "success")) return false;
    const std::size_t blank = text.find(' ');
    if (blank == std::string::npos) return false;
    std::string id = text.substr(blank + 1);
    while (!id.empty() && (id.back() == ' ' || id.back() == '\n' || id.back() == '\r'))
        id.pop_back();
    if (!is_txid_hex(id)) return false;
    txid = std::move(id);
    return true;
}

void record_found_payment(const PaymentState& state, std::string& text) {
    text.clear();
    if (!is_txid_hex(state.latest_txid)) return;
    {
        WalletLock lock = lock_wallet();
        if (step_wallet_loaded()) last_success_txid() = state.latest_txid;
    }
    record_sent_tx(state.latest_inputs, state.latest_outputs, state.latest_txid, &state.change_hash160);
    text = "success: " + state.latest_txid;
}

void finish_payment_result(const PaymentState& state, std::string text, std::string& result) {
    // Another wallet loaded meanwhile: the balance shown is that wallet's.
    if (begins_with(text, "success") && step_wallet_loaded()) {
        constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        const std::uint64_t sum = std::min(state.sum, kMax);
        const std::uint64_t fee = state.fee > 0 ? static_cast<std::uint64_t>(state.fee) : 0;
        const std::uint64_t sent = fee > kMax - sum ? kMax : sum + fee;
        note_balance_after_send(static_cast<std::int64_t>(sent));
    }
    result = std::move(text);
}

std::string pay_with_retry(WalletLock& wallet_lock, const std::vector<TxOutput>& outputs,
                           const std::vector<std::string>& avoid) {
    if (!wallet_lock.owns_lock()) wallet_lock.lock();
    // Whatever is loaded when an answer comes, what this payment learns is the paying wallet's.
    const StepWalletScope payment("");
    if (!step_wallet_loaded()) return "error: wallet changed.";
    PaymentState state;
    state.sum = total_of(outputs);
    if (!load_wallet()) return kNoWallet;
    if (!kv_wallet().is_hd) return kNeedHd;
    std::string error;
    if (!change_hash160(state.change_hash160, error)) return "error: " + error;

    const std::vector<std::string>* avoid_list = avoid.empty() ? nullptr : &avoid;
    std::string result;
    std::vector<TxInput> inputs;
    InputKeyWiper wiper{inputs};
    for (state.attempt = 0; state.attempt < kPayAttempts; ++state.attempt) {
        // An attempt let the mutex go: the next one pays only from the wallet the payment began in.
        if (!relock_same_wallet(wallet_lock)) return "error: wallet changed.";
        if (!refresh_wallet_coins(wallet_lock, error)) return "error: " + error;

        std::uint64_t total = 0;
        if (!collect_spendable_utxos(inputs, total, error, avoid_list)) {
            if (found_on_chain(wallet_lock, state, result)) return result;
            // An unreadable reserve file is not a lack of coins: aging the caches cannot mend it,
            // and spending without it could take a coin a sibling program holds.
            if (!error.empty()) return begins_with(error, "error: ") ? error : "error: " + error;
            if (!state.aged) {
                state.aged = true;
                expire_address_coins();
                continue;
            }
            if (!state.resynced) {
                state.resynced = true;
                resync_plain_coins(wallet_lock);
                continue;
            }
            return no_coin_text(avoid_list != nullptr);
        }

        std::vector<TxOutput> built;
        std::int64_t fee = 0;
        if (!build_payment_tx(inputs, built, state.change_hash160, outputs, fee, error)) {
            if (found_on_chain(wallet_lock, state, result)) return result;
            if (state.attempt < kPayAttempts - 1) continue;
            if (avoid_list && error.find("insufficient") != std::string::npos)
                return std::string(kShareCoins) + " (" + error + ")";
            return "error: " + error;
        }
        state.fee = fee;

        std::string attempt_result = "error: signing failed.";
        std::string receive_priv = kv_wallet().priv;
        const std::string receive_pub = kv_wallet().pub;
        const bool signed_all = sign_tx_inputs(inputs, built, state.change_hash160, receive_priv, receive_pub, nullptr);
        wipe(receive_priv);
        std::string txid;
        if (signed_all)
            attempt_result = broadcast_with_wallet_free(wallet_lock, inputs, built, state.change_hash160, &txid);
        // The id and the copies always describe the same transaction, so a later find on chain
        // records the inputs that transaction really spent, not those of an attempt that failed.
        const bool sent = is_txid_hex(txid);
        if (sent) keep_latest(state, txid, inputs, built);

        if (begins_with(attempt_result, "success")) {
            finish_payment_result(state, std::move(attempt_result), result);
            return result;
        }
        if (found_on_chain(wallet_lock, state, result)) return result;
        if (!sent) return attempt_result;
        if (is_own_tx_known_reply(attempt_result)) {
            // Neither an answer naming this id nor the listing showed it: a double spend can read
            // the same. Nothing is recorded, and nothing is paid again that could pay twice.
            return kHeldNotListed;
        }
        if (is_already_known_error(attempt_result)) {
            spend_inputs_expire_caches(inputs, 0);
            continue;
        }
        if (is_missing_inputs_error(attempt_result)) {
            spend_missing_inputs(wallet_lock, inputs);
            continue;
        }
        return attempt_result;
    }
    if (found_on_chain(wallet_lock, state, result)) return result;
    return "error: broadcast failed after retry.";
}
