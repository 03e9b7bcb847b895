#include "art/art_pass.h"

#include "art/art_records.h"
#include "art/cert_check.h"
#include "art/certificate.h"
#include "art/held_steps.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/step_holds.h"
#include "chain/step_wallet.h"
#include "chain/tx.h"
#include "chain/woc_client.h"
#include "identity/identity_lookup.h"
#include "identity/paymail_announce.h"
#include "identity/paymail_claim.h"
#include "identity/paymail_registry.h"
#include "identity/recipient.h"
#include "identity/typed_sign.h"
#include "ordinals/content_cache.h"
#include "ordinals/content_load.h"
#include "ordinals/ord_inbox.h"
#include "ordinals/ord_listing.h"
#include "ordinals/outpoint_load.h"
#include "ordinals/token_records.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kPassLoadTimeoutS = 25;
constexpr int kPassAttempts = 3;
// The two coin inputs stay first; funding coins follow from this position.
constexpr std::size_t kCoinInputs = 2;

const char* const kNotConnected =
    "error: Cofferly wallet not connected. Create or Restore in Cofferly, then Connect in the app.";

bool begins_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string error_text(const std::string& reason) {
    return "error: " + reason;
}

// The wallet keys held by working inputs must not outlive the call, whichever way it returns.
struct InputKeyWiper {
    std::vector<TxInput>& inputs;
    ~InputKeyWiper() {
        for (TxInput& in : inputs)
            wipe(in.priv_hex);
    }
};

// The wallet's paymail alias for the record's handle, fixed first as every signed record wants it.
std::string wallet_alias_for_handle() {
    WalletLock lock = lock_wallet();
    if (!load_wallet()) return "";
    ensure_wallet_paymail(false);
    return kv_wallet().paymail;
}

// The last listing row whose key is exactly the id; null when there is none.
const KvCofferlyOrdRow* row_for_id(const std::vector<KvCofferlyOrdRow>& rows, const std::string& id) {
    const KvCofferlyOrdRow* found = nullptr;
    for (const KvCofferlyOrdRow& row : rows) {
        if (to_lower_copy(row.key) == id) found = &row;
    }
    return found;
}

// Hides every local entry of the coin; true when the coin was the wallet's avatar, which is then
// cleared. The caller holds the wallet mutex.
bool hide_passed_coin(const std::string& id) {
    KvCofferlyWallet& w = kv_wallet();
    for (LocalOrd& ord : w.ord_owned) {
        if (ord_keys_match(ord.origin, id)) ord.hidden = true;
    }
    if (w.ord_avatar.empty() || !ord_keys_match(w.ord_avatar, id)) return false;
    w.ord_avatar.clear();
    const std::string identity = w.is_hd ? w.identity_pub : w.pub;
    if (!identity.empty()) set_identity_avatar("");
    return true;
}

// A pass that sends the coins its title read found knows no listing row: what the recipient's
// inbox is told of each coin comes from this wallet's own entry and the content cache instead, as
// the listing's row would have it. The caller holds the wallet mutex.
KvCofferlyOrdRow inbox_row(const KvCofferlyOrdRow& listed, const std::string& id) {
    KvCofferlyOrdRow row = listed;
    if (const LocalOrd* own = find_local_ord(id)) {
        fill_if_empty(row.type, own->type);
        fill_if_empty(row.name, own->name);
        fill_if_empty(row.icon, own->icon);
    }
    if (row.name.empty()) row.name = ord_cache_read_name(id);
    if (row.type.empty()) row.type = ord_cache_read_type(id);
    return row;
}

// What a pass that went out leaves: the recipient's inbox told when its address is known, the log
// line, and while the step's own wallet is loaded both coins hidden in it, an avatar that was one of
// them cleared (the paymails then claimed again without it). The caller holds the wallet mutex; it
// may be let go here.
void record_pass(WalletLock& lock, const std::string& artwork_id, const std::string& certificate_id,
                 const std::string& dest_address, const KvCofferlyOrdRow& pic_row, const KvCofferlyOrdRow& cert_row) {
    // The recipient's inbox is no wallet's own: it is told whatever wallet is loaded now.
    Hash160 dest_hash{};
    if (address_to_hash160(dest_address, dest_hash)) {
        const KvCofferlyOrdRow pic = inbox_row(pic_row, artwork_id);
        const KvCofferlyOrdRow cert = inbox_row(cert_row, certificate_id);
        ord_inbox_post(dest_hash, dest_address, artwork_id, pic.type, pic.name, pic.icon);
        ord_inbox_post(dest_hash, dest_address, certificate_id, cert.type, cert.name, cert.icon);
    }
    emit_log_line("Passed art\n" + artwork_id + "\nwith certificate\n" + certificate_id + "\nto " + dest_address +
                  "\n");
    // Another wallet loaded meanwhile keeps its own coins and avatar: the passed coins leave this
    // wallet's listing when it is read again.
    if (!step_wallet_loaded()) return;
    const bool avatar_cleared_pic = hide_passed_coin(artwork_id);
    const bool avatar_cleared_cert = hide_passed_coin(certificate_id);
    save_wallet();
    if (avatar_cleared_pic || avatar_cleared_cert) {
        const KvCofferlyWallet& w = kv_wallet();
        const std::string identity = w.is_hd ? w.identity_pub : w.pub;
        const std::string address = w.address;
        const std::string ord_address = derive_ordinals_key();
        lock.unlock();
        claim_all_paymails(identity, address, "", ord_address);
    }
}

// The engine's answer before a pass runs (held_step_answer). A pass held while its fate was not
// known that turned out sent is recorded as one sent now, to the address it paid: a try to that
// address is answered with its "success", once; a try to another is refused with where it went.
std::string held_pass_answer(const std::string& artwork_id, const std::string& certificate_id,
                             const std::string& recipient_paymail, const std::string& ord_address) {
    StepHold row;
    if (!step_hold_of("pass", artwork_id, row)) return std::string();
    if (!row.sent) return step_wait_text("pass", row);
    std::string dest_address = ord_address, error;
    WalletLock lock = lock_wallet();
    const bool loaded = load_wallet();
    if (loaded && dest_address.empty()) dest_address = resolve_recipient_ord_address(lock, recipient_paymail, error);
    const std::string held = held_step_answer("pass", artwork_id, dest_address);
    if (!loaded || held.empty()) return held;
    const bool same = begins_with(held, "success");
    record_pass(lock, artwork_id, certificate_id, same || row.terms.empty() ? dest_address : row.terms,
                KvCofferlyOrdRow{}, KvCofferlyOrdRow{});
    if (same) return held;
    return "error: the last pass of this artwork went out to " + row.terms + ": " + row.txid +
           ". It is not passed again.";
}

// A rough price of the pass for the refusal text: the miner fee of the two coins, one funding coin,
// the outputs and change, plus what the outputs take beyond the coins' own value.
std::uint64_t pass_need_sats(const std::vector<TxOutput>& outputs, std::uint64_t coin_sats) {
    std::uint64_t need = static_cast<std::uint64_t>(fee_for_size(estimate_tx_size(3, outputs) + kChangeOutputBytes));
    std::uint64_t paid = 0;
    for (const TxOutput& out : outputs)
        paid += out.sats;
    if (paid > coin_sats) need += paid - coin_sats;
    return need;
}

// Whether this wallet has the key of the address the output ("<txid>_<index>") is locked to.
bool holds_output(const std::string& outpoint) {
    std::string txid, error;
    std::uint32_t vout = 0;
    if (!parse_outpoint(outpoint, txid, vout)) return false;
    TxInput coin;
    std::string content_type, metadata;
    Bytes body;
    if (!woc_load_outpoint(txid, vout, coin, content_type, body, metadata, error, kPassLoadTimeoutS)) return false;
    WalletLock lock = lock_wallet();
    const bool held = load_wallet() && find_key_for_hash160(coin.hash160, coin.priv_hex, coin.pub_hex);
    wipe(coin.priv_hex);
    return held;
}

// The typed recipient as the title names it: "" with its handle and paymail, or the refusal.
std::string pass_recipient_paymail(const std::string& recipient, std::string& name, std::string& paymail) {
    const std::string domain = service_settings().paymail_domain;
    const std::string typed = art_trim_copy(recipient);
    const std::size_t at = typed.find('@');
    name = art_trim_copy(typed.substr(0, at));
    if (name.empty()) return "error: enter their @" + domain + " paymail.";
    if (at != std::string::npos && to_lower_copy(art_trim_copy(typed.substr(at + 1))) != to_lower_copy(domain))
        return error_text(recipient_form_hint());
    Hash160 ignored{};
    if (at == std::string::npos && address_to_hash160(name, ignored))
        return error_text("an address names no identity to pass the title to: " + recipient_form_hint());
    paymail = name + "@" + domain;
    return "";
}

// art_pass_send; `unspent`, when given, is where the title read of this step found both coins
// unspent: they are sent from there, and neither the wallet's listing nor the spend look-ups are
// asked again.
std::string pass_send(const std::string& pic_id, const std::string& cert_id, const std::string& recipient_paymail,
                      const std::string& title_record, const std::string& otx_address, const std::string& ord_address,
                      const TitleCoins* unspent);

} // namespace

std::string art_pass_to_paymail(const std::string& pic_id, const std::string& recipient,
                                const std::string& ord_address) {
    const PayingStepScope step("pass");
    std::string identity_key, error;
    if (!art_identity_gate(true, identity_key, error)) return error;

    // The title can pass only to an identity of the platform's own domain; a paymail elsewhere is
    // refused rather than quietly read as the platform's namesake. Told before the title is read.
    std::string name, paymail;
    error = pass_recipient_paymail(recipient, name, paymail);
    if (!error.empty()) return error;

    const std::string artwork_id = to_lower_copy(art_trim_copy(pic_id));
    std::vector<KvArtTitleRow> title;
    TitlePair pair;
    TitleCoins coins;
    const std::string title_error = art_title_confirm(artwork_id, title, pair, &coins);
    if (!title_error.empty()) return error_text(title_error);
    if (title.empty()) return "error: this artwork has no title. Pair it first.";
    // The certificate that travels is the one the title's own pair bound, never a later pair's.
    const std::string certificate_id = pair.certificate;
    const std::string paired_hash = pair.sha256;
    // A pass of unknown fate is answered before the title is asked who holds it: it may name the
    // recipient already.
    const std::string held = held_pass_answer(artwork_id, certificate_id, recipient, ord_address);
    if (!held.empty()) return held;
    if (title.back().owner != identity_key) return "error: title is not this identity. This app will not pass it.";
    if (certificate_id.empty() || paired_hash.size() != 64) return "error: ZUZ has no pair for this artwork.";

    // The title read has just followed both coins to where they are now: this wallet holds them
    // when it has the key of the address each is locked to. No listing of the wallet is needed.
    if (!is_cofferly_connected()) return kNotConnected;
    if (!holds_output(coins.pic_coin) || !holds_output(coins.cert_coin))
        return "error: title is yours, but this wallet does not hold both coins.";
    std::string content_type;
    Bytes content;
    if (!load_inscription_content(artwork_id, content_type, content, true, false) || content.empty())
        return "error: could not read the artwork inscription.";
    if (sha256_hex(content) != paired_hash) return "error: the artwork bytes no longer match the paired hash.";

    const std::string recipient_key = to_lower_copy(lookup_identity_pubkey(name, paymail));
    if (recipient_key.empty()) return "error: that paymail has no published identity.";
    if (recipient_key == identity_key) return "error: that paymail is this identity.";

    TypedMessage record = nlohmann::json::object();
    record["protocol"] = kArtProtocol;
    record["type"] = "art_owner";
    record["location"] = kArtLocation;
    record["handle"] = wallet_alias_for_handle();
    record["pic"] = artwork_id;
    record["cert"] = certificate_id;
    record["owner"] = recipient_key;
    record["prev"] = title.back().txid;
    if (!sign_typed_message(record, error)) return error.empty() ? "error: could not sign" : error_text(error);
    if (json_identity_pubkey(record) != identity_key) return "error: signer is not the current owner.";
    std::string payload;
    try {
        payload = record.dump();
    } catch (const nlohmann::json::exception&) {
        // A handle that is not UTF-8 cannot be written; nothing has been spent yet.
        return "error: could not sign";
    }
    return pass_send(artwork_id, certificate_id, paymail, payload, kTitleWatchAddress, ord_address, &coins);
}

std::string art_pass_send(const std::string& pic_id, const std::string& cert_id, const std::string& recipient_paymail,
                          const std::string& title_record, const std::string& otx_address,
                          const std::string& ord_address) {
    return pass_send(pic_id, cert_id, recipient_paymail, title_record, otx_address, ord_address, nullptr);
}

namespace {

std::string pass_send(const std::string& pic_id, const std::string& cert_id, const std::string& recipient_paymail,
                      const std::string& title_record, const std::string& otx_address, const std::string& ord_address,
                      const TitleCoins* unspent) {
    const PayingStepScope step("pass");
    if (!is_cofferly_connected()) return kNotConnected;
    if (title_record.empty()) return "error: empty art title payload.";
    if (otx_address.empty()) return "error: OTX watch is not assigned yet. Create it in Cofferly, then pin it.";
    const std::string artwork_id = to_lower_copy(pic_id);
    const std::string certificate_id = to_lower_copy(cert_id);
    if (artwork_id.empty() || certificate_id.empty() || artwork_id == certificate_id)
        return "error: picture and certificate must be two different origins.";
    const std::string held = held_pass_answer(artwork_id, certificate_id, recipient_paymail, ord_address);
    if (!held.empty()) return held;

    KvCofferlyOrdRow pic_row, cert_row;
    if (unspent) {
        if (!parse_outpoint(unspent->pic_coin, pic_row.txid, pic_row.vout) ||
            !parse_outpoint(unspent->cert_coin, cert_row.txid, cert_row.vout))
            return "error: this wallet does not hold both the picture and the certificate.";
    } else {
        std::vector<KvCofferlyOrdRow> rows;
        const std::string list_error = kv_cofferly_list_ordinals(rows);
        const KvCofferlyOrdRow* found_pic = row_for_id(rows, artwork_id);
        const KvCofferlyOrdRow* found_cert = row_for_id(rows, certificate_id);
        if (!found_pic || !found_cert) {
            if (!list_error.empty()) return begins_with(list_error, "error: ") ? list_error : error_text(list_error);
            return "error: this wallet does not hold both the picture and the certificate.";
        }
        pic_row = *found_pic;
        cert_row = *found_cert;
    }
    if (!is_txid_hex(pic_row.txid) || !is_txid_hex(cert_row.txid))
        return "error: the indexer has not named the current coins yet. Refresh and try again.";
    if (is_bazarel_reserved(pic_row.txid, pic_row.vout) || is_bazarel_reserved(cert_row.txid, cert_row.vout))
        return "error: one of these inscriptions is listed in The Bazarel. Cancel that listing first.";
    if (is_gallery_reserved(pic_row.txid, pic_row.vout) || is_gallery_reserved(cert_row.txid, cert_row.vout))
        return "error: this artwork is on display in the Gallery. Remove it there first.";

    // The address the user confirmed is the one the coins go to: asking again could name another.
    std::string dest_address = ord_address, error;
    if (dest_address.empty()) {
        WalletLock lock = lock_wallet();
        if (load_wallet())
            dest_address = resolve_recipient_ord_address(lock, recipient_paymail, error);
        else
            error = "no Cofferly wallet. Create first.";
    }
    if (dest_address.empty()) return error_text(error.empty() ? "no ordinals address for that paymail." : error);
    name_step_subject("pass", artwork_id, dest_address);

    // The title read of this step has just asked the service whether both coins are spent.
    std::string spender;
    if (!unspent && (woc_spent_by(pic_row.txid, pic_row.vout, spender) == 0 ||
                     woc_spent_by(cert_row.txid, cert_row.vout, spender) == 0))
        return "error: one of those coins was already spent.";
    std::vector<TxInput> coins(kCoinInputs);
    InputKeyWiper coin_wiper{coins};
    {
        std::string content_type, metadata;
        Bytes body;
        if (!woc_load_outpoint(pic_row.txid, pic_row.vout, coins[0], content_type, body, metadata, error,
                               kPassLoadTimeoutS))
            return "error: picture coin: " + error;
        if (!woc_load_outpoint(cert_row.txid, cert_row.vout, coins[1], content_type, body, metadata, error,
                               kPassLoadTimeoutS))
            return "error: certificate coin: " + error;
    }

    WalletLock lock = lock_wallet();
    if (!load_wallet() || !kv_wallet().is_hd) return "error: need an HD Cofferly wallet.";
    Hash160 dest_hash{}, own_hash{}, otx_hash{};
    if (!address_to_hash160(dest_address, dest_hash) || !address_to_hash160(kv_wallet().address, own_hash))
        return "error: destination decode failed.";
    if (!address_to_hash160(otx_address, otx_hash)) return "error: OTX address decode failed.";
    if (!find_key_for_hash160(coins[0].hash160, coins[0].priv_hex, coins[0].pub_hex))
        return "error: this wallet does not hold the picture coin.";
    if (!find_key_for_hash160(coins[1].hash160, coins[1].priv_hex, coins[1].pub_hex))
        return "error: this wallet does not hold the certificate coin.";

    std::vector<TxOutput> outputs;
    outputs.push_back({1, p2pkh_script(dest_hash)});
    outputs.push_back({1, p2pkh_script(dest_hash)});
    outputs.push_back({1, p2pkh_script(otx_hash)});
    // OP_FALSE OP_RETURN: since Genesis a 0-sat output is relayed only as such a data carrier. Title
    // records written earlier under a bare OP_RETURN still read: the watch reader takes both.
    Bytes record_script{0x00, 0x6a};
    append_push_data(record_script, reinterpret_cast<const std::uint8_t*>(title_record.data()), title_record.size());
    outputs.push_back({0, record_script});

    std::vector<TxInput> inputs;
    InputKeyWiper input_wiper{inputs};
    std::string result;
    for (int attempt = 0; attempt < kPassAttempts && result.empty(); ++attempt) {
        if (!refresh_wallet_coins(lock, error)) return error_text(error);
        std::vector<TxInput> spendable;
        InputKeyWiper spendable_wiper{spendable};
        std::uint64_t total = 0;
        if (!collect_spendable_utxos(spendable, total, error)) {
            std::string text = "error: need " + std::to_string(pass_need_sats(outputs, coins[0].sats + coins[1].sats)) +
                               " sats for the miner fee.";
            if (!error.empty()) text += " (" + error + ")";
            return text;
        }
        inputs = coins;
        inputs.insert(inputs.end(), spendable.begin(), spendable.end());
        std::vector<TxOutput> built;
        std::int64_t fee = 0;
        if (!build_payment_tx(inputs, built, own_hash, outputs, fee, error, kCoinInputs)) {
            if (attempt + 1 >= kPassAttempts) return error_text(error);
            continue;
        }
        const std::string sent = sign_and_broadcast(lock, inputs, built, own_hash);
        if (begins_with(sent, "success")) {
            result = sent;
        } else if (!is_already_known_error(sent)) {
            return note_step_result("pass", artwork_id, dest_address, sent);
        } else {
            spend_inputs_expire_caches(inputs, kCoinInputs);
        }
    }
    if (result.empty()) return "error: broadcast failed after retry.";

    record_pass(lock, artwork_id, certificate_id, dest_address, pic_row, cert_row);
    return result;
}

} // namespace

std::string hex_digits_lower(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (is_hex_digit(c)) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

bool parse_outpoint(const std::string& text, std::string& txid, std::uint32_t& vout) {
    txid.clear();
    vout = 0;
    const std::size_t sep = text.find('_');
    if (sep != 64) return false;
    for (std::size_t i = 0; i < 64; ++i) {
        if (!is_hex_digit(text[i])) return false;
    }
    // The index reads like a C decimal: an optional sign, then digits up to the first other
    // character. A value past the signed 32-bit range is refused rather than wrapped, so a huge
    // index can never alias a small one.
    std::size_t pos = sep + 1;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::uint64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return false;
    }
    if (negative && value != 0) return false;
    txid = text.substr(0, 64);
    vout = static_cast<std::uint32_t>(value);
    return true;
}
