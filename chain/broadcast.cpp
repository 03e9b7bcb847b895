#include "chain/broadcast.h"

#include "chain/coin_refresh.h"
#include "chain/coin_snapshots.h"
#include "chain/compact_sig.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/step_holds.h"
#include "chain/step_wallet.h"
#include "chain/unsettled_inputs.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>

using nlohmann::json;

namespace {

constexpr int kConfirmLookups = 8;
constexpr std::int64_t kConfirmGapMs = 700;
constexpr std::int32_t kWocPostAttempts = 2;
constexpr std::uint32_t kSaleSubmitTimeoutS = 8;
constexpr std::int32_t kWocLookupTimeoutS = 25;
// The user has a broadcast's answer within about a minute however the services fare: WhatsOnChain
// and ARC are asked side by side in what the platform's submit left of it, and the listing
// look-ups after a time-out get what the posts left.
constexpr std::int64_t kBroadcastBudgetMs = 60000;
constexpr std::int64_t kLookupReserveMs = 8000;
const char* const kNotKnownIfSent =
    "error: not known whether it was sent: a service ran out of time, took it without naming it or said it "
    "already holds it, and the transaction is not listed yet. Its "
    "coins stay out of the balance meanwhile. If no service knows it 5 minutes from now, the next Refresh puts them "
    "back; check the balance then before trying again. Transaction ";
// An ARC body shown to the user is cut like the body of an HTTP error.
constexpr std::size_t kDetailMaxBytes = 120;

const char* const kArcRejected[] = {"REJECTED", "DOUBLE_SPEND_ATTEMPTED", "SEEN_IN_ORPHAN_MEMPOOL"};
const char* const kArcAccepted[] = {"RECEIVED",
                                    "STORED",
                                    "ANNOUNCED_TO_NETWORK",
                                    "REQUESTED_BY_NETWORK",
                                    "SENT_TO_NETWORK",
                                    "ACCEPTED_BY_NETWORK",
                                    "SEEN_ON_NETWORK",
                                    "MINED",
                                    "CONFIRMED"};

// The platform submit keeps one connection open across broadcasts; its handle is used by one
// request at a time.
struct SubmitSession {
    std::mutex mutex;
    CurlSession curl;
    ~SubmitSession() { curl_session_reset(curl); }
};

SubmitSession& submit_session() {
    static SubmitSession session;
    return session;
}

bool contains(const std::string& text, const char* needle) {
    return text.find(needle) != std::string::npos;
}

template <std::size_t N> bool is_one_of(const std::string& text, const char* const (&list)[N]) {
    return std::any_of(std::begin(list), std::end(list), [&](const char* s) { return text == s; });
}

// The node's words for a transaction of this id that it already holds.
bool holds_it_already(const std::string& text) {
    return contains(text, "txn-already") || contains(text, "already have");
}

// The node's words for a transaction it already holds, or for a spend it already saw.
bool is_known_or_conflict_reply(const std::string& text) {
    return contains(text, "mempool-conflict") || holds_it_already(text);
}

// The longest a post waits for its service, as the settings in force say.
std::uint32_t post_timeout_s() {
    return static_cast<std::uint32_t>(service_settings().post_timeout_s);
}

std::string submit_url() {
    return service_settings().platform_base + "/oi/submit";
}

std::string tx_body(const char* key, const std::string& tx_hex) {
    json body = json::object();
    body[key] = tx_hex;
    return body.dump();
}

// The id in a "/tx/raw" reply: the bare text, a JSON string, or an object's "txid"; "" when the
// reply names none.
std::string reply_txid(const std::string& body) {
    std::size_t begin = 0;
    while (begin < body.size() && (body[begin] == '"' || body[begin] == ' ' || body[begin] == '\n'))
        ++begin;
    std::size_t end = body.size();
    while (end > begin &&
           (body[end - 1] == '"' || body[end - 1] == ' ' || body[end - 1] == '\n' || body[end - 1] == '\r'))
        --end;
    if (end - begin == 64) return body.substr(begin, 64);
    const json reply = json_parse_or_discarded(body);
    if (reply.is_string()) return reply.get<std::string>();
    return json_text(reply, "txid");
}

// Only an object saying "ok": true is the platform's acceptance; an error page, a refusal or any
// other shape leaves the transaction for WhatsOnChain.
bool platform_reply_ok(const std::string& body) {
    const json reply = json_parse_or_discarded(body);
    if (!reply.is_object()) return false;
    auto ok = reply.find("ok");
    return ok != reply.end() && ok->is_boolean() && ok->get<bool>();
}

// libcurl's own words for a request that ran out of time: the service may have taken the
// transaction all the same.
bool is_time_out(const std::string& error) {
    return error == curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);
}

bool platform_session_submit(const std::string& tx_hex, bool& timed_out) {
    std::string reply, error;
    bool posted = false;
    {
        SubmitSession& session = submit_session();
        std::lock_guard<std::mutex> guard(session.mutex);
        posted = http_post_json_keepalive(session.curl, submit_url(), tx_body("txhex", tx_hex), reply, error);
    }
    if (!posted && is_time_out(error)) timed_out = true;
    return posted && platform_reply_ok(reply);
}

void submit_to(const std::string& url, const std::string& tx_hex) {
    std::string reply, error;
    http_post_json(url, tx_body("txhex", tx_hex), reply, error, kSaleSubmitTimeoutS, 1);
}

// The platform's copy of a sale: a courtesy whose failure, thrown or not, is ignored; the sale
// already stands on WhatsOnChain.
void submit_copy(const std::string& url, const std::string& tx_hex) {
    try {
        submit_to(url, tx_hex);
    } catch (...) {
    }
}

bool same_txid(const std::string& a, const std::string& b) {
    return to_lower_copy(a) == to_lower_copy(b);
}

std::string record_success(const std::string& txid, const std::vector<TxInput>& inputs,
                           const std::vector<TxOutput>& outputs, const Hash160* change_hash160,
                           const std::string& tx_hex, bool notify) {
    bool own_wallet = true;
    {
        WalletLock lock = lock_wallet();
        last_success_txid() = txid;
        own_wallet = step_wallet_loaded();
    }
    record_sent_tx(inputs, outputs, txid, change_hash160);
    // The notice is signed by the identity that paid: another wallet's would not be the payer's.
    if (notify && own_wallet) notify_p2p_payment(tx_hex, txid, outputs);
    return "success: " + txid;
}

// Whole seconds from now to the deadline, at least 2 (the shortest time-out a request runs with)
// and at most cap_s.
std::int32_t seconds_left(std::int64_t deadline_ms, std::int32_t cap_s) {
    const std::int64_t left = (deadline_ms - clock_steady_ms()) / 1000;
    return static_cast<std::int32_t>(std::max<std::int64_t>(2, std::min<std::int64_t>(left, cap_s)));
}

bool woc_returns_txid_within(const std::string& txid, std::int32_t timeout_s) {
    if (!is_txid_hex(txid)) return false;
    const std::string base = woc_url("/tx/" + to_lower_copy(txid));
    std::string body, error;
    // Any page that answers is no proof: the transaction's own bytes, or its record naming the id,
    // is.
    if (http_get(base + "/hex", body, error, timeout_s, false)) {
        const std::size_t begin = body.find_first_not_of(" \t\r\n\"");
        const std::size_t end = body.find_last_not_of(" \t\r\n\"");
        const Bytes raw = begin == std::string::npos ? Bytes() : from_hex(body.substr(begin, end - begin + 1));
        if (!raw.empty() && same_txid(compute_txid(raw), txid)) return true;
    }
    if (!http_get(base, body, error, timeout_s, false)) return false;
    const std::string named = json_text(json_parse_or_discarded(body), "txid");
    return is_txid_hex(named) && same_txid(named, txid);
}

// True once WhatsOnChain returns the id: up to 8 look-ups, 700 ms apart; with a deadline (steady
// ms, 0 for none) no look-up starts after it but the first.
bool listed_on_woc(const std::string& txid, std::int64_t deadline_ms = 0) {
    for (int lookup = 0; lookup < kConfirmLookups; ++lookup) {
        if (lookup > 0) {
            if (deadline_ms > 0 && clock_steady_ms() + kConfirmGapMs >= deadline_ms) return false;
            clock_sleep_ms(kConfirmGapMs);
        }
        // A look-up asks twice (the bytes, then the record): each gets half of what is left.
        const std::int32_t timeout_s =
            deadline_ms > 0 ? seconds_left(deadline_ms, 2 * kWocLookupTimeoutS) / 2 : kWocLookupTimeoutS;
        if (woc_returns_txid_within(txid, timeout_s)) return true;
    }
    return false;
}

bool arc_post(const std::string& tx_hex, const std::string& expected_txid, std::uint32_t timeout_s, std::string& detail,
              bool* took_unnamed = nullptr, bool* silent = nullptr);

// Whether a service may hold a transaction that none accepted by its id: one ran out of time or
// took it without naming it, or WhatsOnChain's node says it already holds one of this id while ARC
// said nothing of it. Only WhatsOnChain's listing can then tell whether it went out; the words alone
// never make it sent, and never make it surely not sent either.
bool may_be_out(const std::string& woc_error, bool woc_took, const std::string& arc_detail, bool arc_took_unnamed,
                bool arc_silent) {
    return woc_took || is_time_out(woc_error) || arc_took_unnamed || is_time_out(arc_detail) ||
           (arc_silent && holds_it_already(woc_error));
}

// The answer for a transaction a service may hold while no listing shows it: until one shows it,
// its coins stay unsettled, so a second try cannot pay twice. Another wallet loaded meanwhile holds
// none of them: the step's own wallet marked them on disk before they went out.
std::string not_known_answer(const std::string& txid, const std::vector<TxInput>& inputs) {
    WalletLock lock = lock_wallet();
    if (step_wallet_loaded()) mark_inputs_unsettled(txid, inputs);
    return kNotKnownIfSent + txid + ".";
}

// Records the transaction once WhatsOnChain lists it, looking it up until the broadcast's deadline;
// "success: " and the id, or "" when it was never listed.
std::string confirm_and_record_by(std::int64_t deadline_ms, const std::string& txid, const std::vector<TxInput>& inputs,
                                  const std::vector<TxOutput>& outputs, const Hash160* change_hash160,
                                  const std::string& tx_hex) {
    if (!is_txid_hex(txid) || !listed_on_woc(txid, deadline_ms)) return std::string();
    return record_success(txid, inputs, outputs, change_hash160, tx_hex, true);
}

} // namespace

bool woc_returns_txid(const std::string& txid) {
    return woc_returns_txid_within(txid, kWocLookupTimeoutS);
}

TxFate ask_tx_fate(const std::string& txid, std::string* unasked) {
    if (unasked) unasked->clear();
    if (!is_txid_hex(txid)) return TxFate::Unsure;
    const std::string id = to_lower_copy(txid);
    const ServiceSettings settings = service_settings();
    const std::string urls[] = {woc_url("/tx/" + id), settings.arc_base + "/v1/tx/" + id,
                                settings.platform_base + "/oi/tx/" + id};
    const char* const names[] = {"WhatsOnChain", "ARC", "the platform"};
    long status[3] = {0, 0, 0};
    std::string woc_body;
    // Side by side: one service that does not answer must not hold up the others' answers.
    parallel_for(3, 3, [&](std::uint64_t i) {
        std::string body, error;
        http_get(urls[i], body, error, kWocLookupTimeoutS, true, nullptr, &status[i]);
        if (i == 0) woc_body = std::move(body);
    });
    const std::string named = json_text(json_parse_or_discarded(woc_body), "txid");
    if (status[0] == 200 && is_txid_hex(named) && same_txid(named, id)) return TxFate::Sent;
    // WhatsOnChain's page that does not name the transaction is no answer; ARC or the platform
    // answering it at all knows it.
    if (status[1] == 200 || status[2] == 200) return TxFate::Unsure;
    std::string failing;
    for (int i = 0; i < 3; ++i) {
        if (status[i] == 404) continue;
        failing += (failing.empty() ? "" : ", ") + std::string(names[i]);
    }
    if (failing.empty()) return TxFate::NotSent;
    if (unasked) *unasked = failing;
    const bool any_answered = status[0] == 404 || status[1] == 404 || status[2] == 404;
    return any_answered ? TxFate::Unasked : TxFate::Unsure;
}

bool not_known_if_sent_txid(const std::string& text, std::string& txid) {
    txid.clear();
    const std::string lead = "error: not known whether it was sent";
    const std::string tail = "Transaction ";
    const std::size_t at = text.size() >= tail.size() + 65 ? text.size() - tail.size() - 65 : 0;
    if (at == 0 || text.compare(0, lead.size(), lead) != 0 || text.compare(at, tail.size(), tail) != 0 ||
        text.back() != '.')
        return false;
    const std::string id = text.substr(at + tail.size(), 64);
    if (!is_txid_hex(id)) return false;
    txid = id;
    return true;
}

bool is_missing_inputs_error(const std::string& text) {
    return contains(text, "Missing inputs") || contains(text, "missing inputs") || contains(text, "missingorspent");
}

void platform_submit_tx(const std::string& tx_hex) {
    submit_to(submit_url(), tx_hex);
}

bool arc_broadcast(const std::string& tx_hex, const std::string& expected_txid, std::string& detail) {
    return arc_post(tx_hex, expected_txid, post_timeout_s(), detail);
}

namespace {

// `took_unnamed`, when given, is set when ARC answered without refusing this transaction yet
// without an accepted status for it: it may hold it. `silent`, when given, is set when ARC gave no
// answer of its own (down, refused the request, or out of time).
bool arc_post(const std::string& tx_hex, const std::string& expected_txid, std::uint32_t timeout_s, std::string& detail,
              bool* took_unnamed, bool* silent) {
    detail.clear();
    std::string body, error;
    if (!http_post_json(service_settings().arc_base + "/v1/tx", tx_body("rawTx", tx_hex), body, error, timeout_s,
                        kWocPostAttempts)) {
        if (silent) *silent = true;
        detail = error;
        return false;
    }
    const std::string bad_reply = body.empty() ? std::string("bad arc response") : utf8_cut(body, kDetailMaxBytes);
    const json reply = json_parse_or_discarded(body);
    if (reply.is_discarded()) {
        detail = bad_reply;
        return false;
    }
    const std::string status = json_text(reply, "txStatus");
    const std::string extra = json_text(reply, "extraInfo");
    if (is_one_of(status, kArcRejected)) {
        detail = status;
        if (!extra.empty() && extra != status) detail += ": " + extra;
        return false;
    }
    if (is_missing_inputs_error(extra)) {
        detail = extra;
        return false;
    }
    if (!reply.is_object()) {
        detail = bad_reply;
        return false;
    }
    const std::string named = json_text(reply, "txid");
    if (!is_txid_hex(named) && !is_txid_hex(expected_txid)) {
        detail = "arc did not return a txid";
        return false;
    }
    // An acceptance of another transaction says nothing about this one.
    if (is_txid_hex(named) && is_txid_hex(expected_txid) && !same_txid(named, expected_txid)) {
        detail = "arc named another txid";
        return false;
    }
    if (is_one_of(status, kArcAccepted)) return true;
    if (took_unnamed) *took_unnamed = true;
    detail = !extra.empty() ? extra : !status.empty() ? status : std::string("broadcast did not confirm");
    return false;
}

} // namespace

std::string broadcast_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                         const Hash160& change_hash160, std::string* txid_out) {
    const Bytes raw = serialize_tx(inputs, outputs, false);
    if (raw.empty()) return "error: serialize failed.";
    const std::string txid = compute_txid(raw);
    if (txid_out) *txid_out = txid;
    const std::string hex = to_hex(raw);

    const std::int64_t deadline_ms = clock_steady_ms() + kBroadcastBudgetMs;
    bool timed_out = false;
    if (platform_session_submit(hex, timed_out))
        return record_success(txid, inputs, outputs, &change_hash160, hex, true);

    // WhatsOnChain and ARC side by side: one after the other, two services out of time would keep
    // the user waiting for both.
    const std::int32_t post_s = seconds_left(deadline_ms - kLookupReserveMs, post_timeout_s());
    std::string reply, woc_error, arc_detail;
    bool woc_took = false, arc_took = false, arc_took_unnamed = false, arc_silent = false;
    run_beside(
        [&] {
            arc_took =
                arc_post(hex, txid, static_cast<std::uint32_t>(post_s), arc_detail, &arc_took_unnamed, &arc_silent);
        },
        [&] {
            woc_took = http_post_json(service_settings().woc_base + "/tx/raw", tx_body("txhex", hex), reply, woc_error,
                                      static_cast<std::uint32_t>(post_s), kWocPostAttempts);
        });
    // WhatsOnChain answering with this transaction's own id has taken it: its listing may lag for
    // many seconds, and calling that a failure would make the user pay a second time. An accepted
    // ARC status is a plain acceptance too, whatever WhatsOnChain lists yet.
    const std::string given = woc_took ? reply_txid(reply) : std::string();
    if ((is_txid_hex(given) && same_txid(given, txid)) || arc_took)
        return record_success(txid, inputs, outputs, &change_hash160, hex, true);
    // "Already known" names no transaction: a double spend reads the same. Only the listing of
    // this id shows that this transaction is the one on the network.
    const bool maybe_sent = timed_out || may_be_out(woc_error, woc_took, arc_detail, arc_took_unnamed, arc_silent);
    if (maybe_sent || is_known_or_conflict_reply(woc_error)) {
        std::string result = confirm_and_record_by(deadline_ms, txid, inputs, outputs, &change_hash160, hex);
        if (!result.empty()) return result;
    }
    if (maybe_sent) return not_known_answer(txid, inputs);
    return "error: broadcast failed: " + (arc_detail.empty() ? woc_error : arc_detail);
}

std::string broadcast_with_wallet_free(WalletLock& wallet_lock, const std::vector<TxInput>& inputs,
                                       const std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                                       std::string* txid_out) {
    const Bytes raw = serialize_tx(inputs, outputs, false);
    if (raw.empty()) return "error: serialize failed.";
    const std::string txid = compute_txid(raw);
    // The wallet whose coins these are gets the answer, whatever is loaded when it comes. A step pays
    // only from the wallet it began in.
    if (!wallet_lock.owns_lock()) wallet_lock.lock();
    const StepWalletScope payment("");
    if (!relock_same_wallet(wallet_lock)) return "error: wallet changed.";
    const std::string unwritten = write_ahead_of_sending(txid, inputs);
    if (!unwritten.empty()) return unwritten;
    std::string result;
    {
        // Taken again however the broadcast ends: the caller goes on with its wallet mutex.
        struct Relock {
            WalletLock& lock;
            ~Relock() { lock.lock(); }
        } relock{wallet_lock};
        const GoingOut going_out;
        wallet_lock.unlock();
        result = broadcast_tx(inputs, outputs, change_hash160, txid_out);
        // The hold written ahead ends with the wallet mutex still free; one of unknown fate stays.
        std::string unsure_txid;
        if (!not_known_if_sent_txid(result, unsure_txid))
            end_step_hold_ahead(txid, result.compare(0, 7, "success") == 0);
    }
    // Spending the same coins again can never pay twice: a refusal, whatever its words, gives them
    // back, and the caller marks those a node showed spent.
    std::string unsure_txid;
    if (not_known_if_sent_txid(result, unsure_txid)) return result;
    if (result.compare(0, 7, "success") == 0) return result;
    // Another wallet loaded meanwhile: its files are not where these inputs are unsettled, and its coins
    // must not pay a retry. The unsettled row ends as that of a transaction never sent.
    if (!relock_same_wallet(wallet_lock)) return "error: wallet changed.";
    give_back_unsent_inputs(txid, inputs);
    return result;
}

std::string sign_and_broadcast(WalletLock& wallet_lock, std::vector<TxInput>& inputs,
                               const std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                               std::string* txid_out) {
    if (!wallet_lock.owns_lock()) wallet_lock.lock();
    std::string receive_priv = kv_wallet().priv;
    const std::string receive_pub = kv_wallet().pub;
    const bool signed_all = sign_tx_inputs(inputs, outputs, change_hash160, receive_priv, receive_pub, nullptr);
    wipe(receive_priv);
    if (!signed_all) return "error: signing failed.";
    return broadcast_with_wallet_free(wallet_lock, inputs, outputs, change_hash160, txid_out);
}

namespace {

// The sale's outcomes are those of every broadcast: sent when an answer names its id or the
// listing shows it, "not known whether it was sent" with its coins held when a service may hold
// it (may_be_out), refused otherwise. Within about a minute, as every broadcast.
std::string post_sale_tx(const std::string& txid, const std::string& hex, const std::vector<TxInput>& inputs,
                         const std::vector<TxOutput>& outputs, const Hash160& change_hash160) {
    const std::int64_t deadline_ms = clock_steady_ms() + kBroadcastBudgetMs;
    const auto post_s = static_cast<std::uint32_t>(seconds_left(deadline_ms - kLookupReserveMs, post_timeout_s()));
    std::string reply, error;
    const bool woc_took = http_post_json(service_settings().woc_base + "/tx/raw", tx_body("txhex", hex), reply, error,
                                         post_s, kWocPostAttempts);
    // The sale starts no payment notice. The platform's copy is posted before the step answers, with
    // the wallet mutex free: a thread left to post it could outlive the step, and the program.
    auto record = [&]() {
        const std::string result = record_success(txid, inputs, outputs, &change_hash160, hex, false);
        if (woc_took) submit_copy(submit_url(), hex);
        return result;
    };
    const std::string given = woc_took ? reply_txid(reply) : std::string();
    if (is_txid_hex(given) && same_txid(given, txid)) return record();
    // A node that says it holds the sale while its listing lags, or misses its inputs, is heard out
    // by ARC, whose acceptance names this transaction's id.
    std::string arc_detail;
    bool arc_took_unnamed = false, arc_silent = false;
    if (!woc_took && (is_missing_inputs_error(error) || holds_it_already(error)) &&
        arc_post(hex, txid, post_s, arc_detail, &arc_took_unnamed, &arc_silent))
        return record();
    const bool maybe_sent = may_be_out(error, woc_took, arc_detail, arc_took_unnamed, arc_silent);
    if ((maybe_sent || is_known_or_conflict_reply(error)) && listed_on_woc(txid, deadline_ms)) return record();
    if (maybe_sent) return not_known_answer(txid, inputs);
    if (contains(error, "mempool-conflict")) return "error: that sale is already on the network. Refresh the wall.";
    return "error: the sale was rejected. " + error;
}

} // namespace

std::string broadcast_sale_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                              const Hash160& change_hash160) {
    const Bytes raw = serialize_tx(inputs, outputs, false);
    if (raw.empty()) return "error: serialize failed.";
    const std::string txid = compute_txid(raw);
    // Sent with the wallet mutex free: the artwork's coins are unsettled on disk meanwhile, so no other
    // step or process takes them, and a sale that did not go out gives them back.
    const StepWalletScope sale("complete");
    WalletLock lock(kv_wallet_mutex(), std::defer_lock);
    if (!relock_same_wallet(lock)) return "error: wallet changed.";
    const std::string unwritten = write_ahead_of_sending(txid, inputs);
    if (!unwritten.empty()) return unwritten;
    lock.unlock();
    std::string result;
    {
        const GoingOut going_out;
        result = post_sale_tx(txid, to_hex(raw), inputs, outputs, change_hash160);
    }
    std::string unsure_txid;
    const bool sent = result.compare(0, 7, "success") == 0;
    const bool may_have_gone = !sent && not_known_if_sent_txid(result, unsure_txid);
    // The hold written ahead ends here; one of unknown fate stays.
    if (!may_have_gone) end_step_hold_ahead(txid, sent);
    if (sent || may_have_gone) return result;
    // Another wallet's files do not name these coins: their unsettled row ends as that of a sale never sent.
    if (!relock_same_wallet(lock)) return "error: wallet changed.";
    give_back_unsent_inputs(txid, inputs);
    return result;
}
