#include "chain/unsettled_inputs.h"

#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/step_holds.h"
#include "chain/step_wallet.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/parallel.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <unordered_set>
#include <utility>

UnsettledInputs unsettled_row_of(const std::string& txid, const std::vector<TxInput>& inputs) {
    UnsettledInputs row;
    row.txid = to_lower_copy(txid);
    row.unsettled_at_ms = clock_system_ms();
    for (const TxInput& in : inputs)
        row.outpoints.push_back(outpoint_key(in.txid, in.vout));
    return row;
}

void mark_inputs_unsettled(const std::string& txid, const std::vector<TxInput>& inputs) {
    WalletLock lock = lock_wallet();
    add_unsettled(unsettled_row_of(txid, inputs));
    note_unsettled_changed();
    spend_inputs_expire_caches(inputs, 0);
}

namespace {

// The unsettled row of the transaction goes, and its inputs with no other row naming them are spendable
// again (the caller holds the wallet mutex and saves).
void drop_unsettled_row_of(const std::string& txid, const std::vector<TxInput>& inputs) {
    const UnsettledInputs row = unsettled_row_of(txid, inputs);
    drop_unsettled(row.txid, row.outpoints);
    note_unsettled_changed();
    for (const std::string& key : row.outpoints)
        if (!unsettled_names(key)) unmark_spent_key(key);
}

} // namespace

std::string write_ahead_of_sending(const std::string& txid, const std::vector<TxInput>& inputs) {
    add_unsettled(unsettled_row_of(txid, inputs));
    note_unsettled_changed();
    // Writes the row with the marks. The cached coins stay: a refused broadcast gives them back.
    if (mark_inputs_spent(inputs) && hold_step_ahead(txid)) return std::string();
    // Nothing goes out: the coins are spendable again, on disk too where the marks were written.
    drop_unsettled_row_of(txid, inputs);
    save_spent_outpoints();
    return kDataFolderUnwritable;
}

void give_back_unsent_inputs(const std::string& txid, const std::vector<TxInput>& inputs) {
    WalletLock lock = lock_wallet();
    // Another process may have marked outpoints spent since this one read the set; they must stay.
    load_spent_outpoints();
    drop_unsettled_row_of(txid, inputs);
    save_spent_outpoints();
}

namespace {

// A previous version held the inputs of a transaction whose sending was not known with a spent
// mark alone. A mark of its file that a whole listing shows unspent and that no unsettled row names is
// taken in as a row of its own, naming no transaction, so that the same rule gives it back. A mark
// this version wrote without a row is of a coin a service or a refused payment showed spent: a
// listing that has not caught up with the mempool shows it unspent, and giving it back would pay
// with it twice.
void adopt_unnamed_holds(const std::unordered_set<std::string>& listed) {
    std::vector<std::string> keys;
    for (const std::string& key : legacy_spent_marks())
        if (listed.count(key) != 0 && spent_outpoints().count(key) != 0) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    bool adopted = false;
    for (const std::string& key : keys) {
        note_legacy_mark_taken(key);
        adopted = true;
        if (unsettled_names(key)) continue;
        UnsettledInputs row;
        row.unsettled_at_ms = clock_system_ms();
        row.outpoints.push_back(key);
        add_unsettled(std::move(row));
    }
    if (adopted) save_spent_outpoints();
}

// A spent file found damaged may have named any coin the wallet has: each coin a whole listing shows
// is made unsettled as a row naming no transaction, given back by the same rule as a previous version's hold
// once a listing shows it unspent past kUnsettledMinMs. Only then may coins be spent again.
void hold_coins_of_damaged_file(const std::vector<AddressRefresh>& records) {
    if (spent_file_hold_text().empty()) return;
    bool whole = false;
    for (const AddressRefresh& record : records) {
        if (!record.ok || !record.any_ok) continue;
        whole = true;
        for (const Utxo& coin : record.utxos) {
            const std::string key = outpoint_key(coin.txid, coin.vout);
            if (unsettled_names(key) || is_outpoint_spent(coin.txid, coin.vout)) continue;
            UnsettledInputs row;
            row.unsettled_at_ms = clock_system_ms();
            row.outpoints.push_back(key);
            add_unsettled(std::move(row));
        }
    }
    if (!whole) return;
    end_spent_file_hold();
    save_spent_outpoints();
}

enum class Inputs { Unspent, Unusable, Unknown };

// What the chain says of an unsettled transaction's inputs that no listing read now shows (an ordinal's
// coin, or a coin whose address was not read): every one unspent; one spent by another
// transaction or of a transaction the service does not know, so that this one can never go out;
// or not known.
Inputs unlisted_inputs(const UnsettledInputs& row, const std::unordered_set<std::string>& listed) {
    Inputs state = Inputs::Unspent;
    for (const std::string& key : row.outpoints) {
        if (listed.count(key) != 0) continue;
        const std::size_t colon = key.find(':');
        if (colon == std::string::npos) return Inputs::Unknown;
        errno = 0;
        char* end = nullptr;
        const long long vout = std::strtoll(key.c_str() + colon + 1, &end, 10);
        if (errno != 0 || end == key.c_str() + colon + 1 || *end != '\0' || vout < INT32_MIN || vout > UINT32_MAX)
            return Inputs::Unknown;
        // Stored indexes may be written as signed numbers; the same bits are the output's index.
        const auto index = static_cast<std::uint32_t>(vout);
        const std::string txid = key.substr(0, colon);
        std::string spender;
        int code = woc_spent_by(txid, index, spender);
        if (code == 3 && !reverse_txid_hex(txid).empty()) code = woc_spent_by(reverse_txid_hex(txid), index, spender);
        // Spent by this very transaction, it went out, whatever a lagging look-up said.
        if ((code == 0 && to_lower_copy(spender) != row.txid) || code == 3) return Inputs::Unusable;
        if (code != 1) state = Inputs::Unknown;
    }
    return state;
}

// The ids of the unsettled transactions (the caller holds the wallet mutex).
std::vector<std::string> unsettled_txids() {
    std::vector<std::string> txids;
    for (const UnsettledInputs& row : unsettled_inputs())
        if (is_txid_hex(row.txid)) txids.push_back(row.txid);
    return txids;
}

// The change a payment that never went out would have left is no coin: it goes with the payment.
void drop_change_of(const std::vector<std::string>& txids) {
    if (txids.empty()) return;
    load_change_coins();
    std::vector<ChangeCoin>& coins = change_coins();
    const auto gone = [&](const ChangeCoin& coin) {
        return std::any_of(txids.begin(), txids.end(),
                           [&](const std::string& txid) { return outpoint_equal(txid, 0, coin.txid, 0); });
    };
    const std::size_t before = coins.size();
    for (ChangeCoin& coin : coins)
        if (gone(coin)) wipe(coin.priv_hex);
    coins.erase(std::remove_if(coins.begin(), coins.end(), gone), coins.end());
    if (coins.size() != before) save_change_coins();
}

} // namespace

namespace {

// The outpoints the listings show unspent, in both byte orders: only a listing that answered whole
// says an output is unspent.
std::unordered_set<std::string> listed_outpoints(const std::vector<AddressRefresh>& records) {
    std::unordered_set<std::string> listed;
    for (const AddressRefresh& record : records) {
        if (!record.ok || !record.any_ok) continue;
        for (const Utxo& coin : record.utxos) {
            listed.insert(outpoint_key(coin.txid, coin.vout));
            const std::string reversed = reverse_txid_hex(coin.txid);
            if (!reversed.empty()) listed.insert(outpoint_key(reversed, coin.vout));
        }
    }
    return listed;
}

// The unsettled rows due to be asked about now, marked as asked; the caller holds the wallet mutex.
std::vector<UnsettledInputs> rows_due() {
    std::vector<UnsettledInputs> due;
    const std::int64_t before = clock_system_ms() - kUnsettledMinMs;
    const std::int64_t now = clock_steady_ms();
    for (UnsettledInputs& row : unsettled_inputs()) {
        // A service that answers neither way is asked again a minute later, not at every Refresh.
        if (row.unsettled_at_ms > before || (row.asked_at_ms != 0 && now - row.asked_at_ms < kUnsettledAskGapMs))
            continue;
        row.asked_at_ms = now;
        due.push_back(row);
    }
    return due;
}

// What the services and the chain say of each row due.
struct DueFates {
    std::vector<TxFate> fates;
    std::vector<bool> stale; // no service decided past the wait: the inputs' own spend status does
    std::vector<Inputs> unlisted;
};

// Asks the services of every row due side by side, with the wallet mutex free: one after another,
// each service that does not answer would add its whole time-out for every one of them. The rows
// still waiting on a service say which (note_unasked_services).
DueFates ask_fates(const std::vector<UnsettledInputs>& due, const std::unordered_set<std::string>& listed) {
    DueFates out;
    out.fates.assign(due.size(), TxFate::Unsure);
    std::vector<std::string> unasked(due.size());
    parallel_for(due.size(), kRefreshThreads, [&](std::uint64_t i) {
        // A row of a previous version names no transaction: its inputs' listing is all there is.
        out.fates[i] = due[i].txid.empty() ? TxFate::NotSent : ask_tx_fate(due[i].txid, &unasked[i]);
    });
    // A service that cannot be asked delays the answer of the others, never for good.
    const std::int64_t unasked_before = clock_system_ms() - kUnsettledMinMs - kUnaskedWaitMs;
    std::vector<std::pair<std::string, std::string>> still_unasked;
    for (std::size_t i = 0; i < due.size(); ++i) {
        TxFate& fate = out.fates[i];
        if (fate == TxFate::Unasked && due[i].unsettled_at_ms <= unasked_before) fate = TxFate::NotSent;
        if (!due[i].txid.empty() && fate != TxFate::Sent && fate != TxFate::NotSent)
            still_unasked.emplace_back(due[i].txid, fate == TxFate::Unasked ? unasked[i] : std::string());
    }
    note_unasked_services(still_unasked);
    // A transaction no service knows whose inputs the listings do not all show is decided by
    // those inputs' own spend status. So is one that WhatsOnChain still does not list past the
    // wait while another service says it knows it: spent by another transaction, an input means
    // it can never go out.
    out.stale.assign(due.size(), false);
    for (std::size_t i = 0; i < due.size(); ++i)
        out.stale[i] = out.fates[i] == TxFate::Unsure && due[i].unsettled_at_ms <= unasked_before;
    out.unlisted.assign(due.size(), Inputs::Unknown);
    parallel_for(due.size(), kRefreshThreads, [&](std::uint64_t i) {
        if ((out.fates[i] == TxFate::NotSent || out.stale[i]) && !due[i].txid.empty())
            out.unlisted[i] = unlisted_inputs(due[i], listed);
    });
    return out;
}

// Ends the rows whose fate is known; the caller holds the wallet mutex. The ids of the transactions
// that went out go to `sent`, of those that never will to `not_sent`; true when a row ended.
bool end_decided_rows(const std::vector<UnsettledInputs>& due, const DueFates& known,
                      const std::unordered_set<std::string>& listed, std::vector<std::string>& sent,
                      std::vector<std::string>& not_sent) {
    bool changed = false;
    for (std::size_t i = 0; i < due.size(); ++i) {
        const UnsettledInputs& entry = due[i];
        const TxFate fate = known.fates[i];
        const bool all_listed = std::all_of(entry.outpoints.begin(), entry.outpoints.end(),
                                            [&](const std::string& key) { return listed.count(key) != 0; });
        const bool given_back = fate == TxFate::NotSent && (all_listed || known.unlisted[i] == Inputs::Unspent);
        // Inputs of a transaction that went out stay spent; only the row goes. So too when one of
        // them cannot be spent by it: it can never go out.
        const bool refused =
            (known.stale[i] || (fate == TxFate::NotSent && !given_back)) && known.unlisted[i] == Inputs::Unusable;
        const bool went_out = fate == TxFate::Sent || (entry.txid.empty() && !all_listed);
        if (!given_back && !went_out && !refused) continue;
        if (went_out && !entry.txid.empty()) sent.push_back(entry.txid);
        if (refused) not_sent.push_back(entry.txid);
        if (given_back) {
            // A coin another unsettled row still names stays out of the balance until that one ends.
            drop_unsettled(entry.txid, entry.outpoints);
            for (const std::string& key : entry.outpoints)
                if (!unsettled_names(key)) unmark_spent_key(key);
            if (!entry.txid.empty()) not_sent.push_back(entry.txid);
        }
        drop_unsettled(entry.txid, entry.outpoints);
        changed = true;
    }
    note_unsettled_changed();
    return changed;
}

} // namespace

void release_unsent_inputs(const std::vector<AddressRefresh>& records) {
    const std::unordered_set<std::string> listed = listed_outpoints(records);
    // What the services answer is of the wallet whose rows were asked about, whatever is loaded then.
    const StepWalletScope release("");
    std::vector<UnsettledInputs> due;
    std::vector<std::string> unsettled_before;
    WalletLock lock(kv_wallet_mutex(), std::defer_lock);
    if (!relock_same_wallet(lock)) return;
    load_spent_outpoints();
    hold_coins_of_damaged_file(records);
    adopt_unnamed_holds(listed);
    unsettled_before = unsettled_txids();
    due = rows_due();
    lock.unlock();
    if (due.empty()) {
        end_hold_of_all_steps(unsettled_before);
        return;
    }
    const DueFates known = ask_fates(due, listed);
    // Another wallet loaded meanwhile: its spent set does not hold these rows. Their wallet asks
    // again at its next Refresh.
    if (!relock_same_wallet(lock)) return;
    // Another process may have marked outpoints spent since this one read the set; they must stay.
    load_spent_outpoints();
    std::vector<std::string> not_sent, sent;
    if (end_decided_rows(due, known, listed, sent, not_sent)) save_spent_outpoints();
    drop_change_of(not_sent);
    // A gallery offer whose record never went out can never complete: its coins come back with it.
    release_unsent_offers(not_sent);
    // A step held for its transaction is done when it went out, and may be taken again when not.
    resolve_held_steps(sent, not_sent);
    end_hold_of_all_steps(unsettled_txids());
}
