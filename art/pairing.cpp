#include "art/pairing.h"

#include "art/art_records.h"
#include "art/certificate.h"
#include "art/held_steps.h"
#include "art/title_chain.h"
#include "chain/pay.h"
#include "chain/payloads.h"
#include "chain/step_holds.h"
#include "chain/step_wallet.h"
#include "chain/woc_client.h"
#include "identity/paymail_announce.h"
#include "identity/typed_sign.h"
#include "ordinals/content_load.h"
#include "ordinals/ord_listing.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

namespace {

constexpr const char* kPairStep = "pair";
constexpr const char* kPairWalletLeft =
    "error: the wallet was unbound or changed before the pair went out. Nothing was sent.";

std::string error_text(const std::string& reason) {
    return "error: " + reason;
}

// Whether this wallet holds both coins, from one listing of the wallet: "" or the refusal.
std::string check_pair_coins(const std::string& artwork_id, const std::string& certificate_id) {
    std::vector<KvCofferlyOrdRow> listed;
    const bool connected = is_cofferly_connected();
    const std::string listing_error = connected ? kv_cofferly_list_ordinals(listed) : std::string(kListNoWallet);
    // Unbind or Connect before the pair went out ends the step; what the wallet holds was not the question.
    if (listing_error == kListNoWallet || listing_error == kListWalletChanged || !is_cofferly_connected())
        return kPairWalletLeft;
    const bool listed_whole = listing_error.empty();
    const std::int32_t holds_artwork = listed_whole ? listing_holds_coin(listed, artwork_id) : -1;
    const std::int32_t holds_certificate = listed_whole ? listing_holds_coin(listed, certificate_id) : -1;
    // A listing that could not be read says nothing of what the wallet holds: a fresh inscription
    // may be among what it missed.
    if (holds_artwork < 0 || holds_certificate < 0)
        return "error: could not read which coins this wallet holds. Try again in a moment.";
    if (holds_artwork != 1 || holds_certificate != 1)
        return "error: this wallet must hold both the artwork and the certificate.";
    return "";
}

// Whether the certificate names this artwork, was minted by this identity and hashes the artwork's
// bytes: "" and the hash in `sha256`, or the refusal.
std::string check_pair_terms(const std::string& artwork_id, const std::string& certificate_id,
                             const std::string& identity_key, std::string& sha256) {
    nlohmann::json cert;
    std::string error;
    if (!read_certificate_inscription(certificate_id, cert, error)) return error_text(error);
    const std::string pic = to_lower_copy(json_text(cert, "pic"));
    sha256 = to_lower_copy(json_text(cert, "sha256"));
    const std::string artist = to_lower_copy(json_text(cert, "artist"));
    // The ids are compared as written: a certificate naming "<txid>_0" does not name "<txid>".
    if (pic != artwork_id || sha256.size() != 64) return "error: that certificate does not name this artwork.";
    if (artist != identity_key) return "error: that certificate was not minted by this identity.";

    std::string content_type;
    Bytes content;
    // The artwork's transaction is read through the store of transactions, where the title read
    // finds it again rather than ask for it a second time.
    nlohmann::json tx;
    const bool from_tx =
        woc_tx_json(norm_txid(artwork_id), tx) && content_from_tx_json(artwork_id, tx, content_type, content);
    if ((!from_tx && !load_inscription_content(artwork_id, content_type, content, true, false)) || content.empty())
        return "error: could not read the artwork inscription.";
    if (sha256_hex(content) != sha256) return "error: the artwork bytes do not match the certificate hash.";
    return "";
}

// The signed art_pair record as it goes on chain in `payload`: "" or the error.
std::string signed_pair_payload(const std::string& artwork_id, const std::string& certificate_id,
                                const std::string& sha256, const std::string& identity_key, std::string& payload) {
    {
        // An alias the registry adopted since the gate ran becomes the record's handle.
        WalletLock lock = lock_wallet();
        if (load_wallet()) ensure_wallet_paymail(false);
    }
    nlohmann::json record = new_art_message("art_pair");
    record["pic"] = artwork_id;
    record["cert"] = certificate_id;
    record["sha256"] = sha256;
    record["owner"] = identity_key;
    std::string error;
    if (!sign_typed_message(record, error)) return error.empty() ? "error: could not sign" : error_text(error);
    if (json_identity_pubkey(record) != identity_key) return "error: signer does not match the owner field.";
    try {
        payload = record.dump();
    } catch (const nlohmann::json::exception&) {
        // Texts that are not UTF-8 cannot be written; nothing has been spent yet.
        return "error: could not sign";
    }
    return "";
}

} // namespace

std::string art_pair_artwork(const std::string& artwork_origin, const std::string& certificate_origin) {
    const PayingStepScope step(kPairStep);
    std::string identity_key;
    std::string error;
    if (!art_identity_gate(true, identity_key, error)) return error;

    const std::string artwork_id = to_lower_copy(art_trim_copy(artwork_origin));
    const std::string certificate_id = to_lower_copy(art_trim_copy(certificate_origin));
    if (artwork_id.empty() || certificate_id.empty() || artwork_id == certificate_id)
        return "error: pick an artwork and a different certificate.";
    // A pair whose sending is not known, or that went out and is not in the title yet, would be
    // paid again by a second one: the fee buys nothing the first did not.
    StepHold last;
    const bool pending = step_hold_of(kPairStep, artwork_id, last);
    if (pending && !last.sent) return step_wait_text(kPairStep, last);
    error = check_pair_coins(artwork_id, certificate_id);
    if (!error.empty()) return error;
    std::string sha256;
    error = check_pair_terms(artwork_id, certificate_id, identity_key, sha256);
    if (!error.empty()) return error;

    // The title read's own rule decides: a pair that would start the title, under any form of the
    // artwork id, makes this one worthless; one that would start nothing blocks nothing.
    std::vector<KvArtTitleRow> rows;
    TitlePair first;
    const std::string title_error = art_title_confirm(artwork_id, rows, first);
    if (!first.txid.empty()) {
        if (pending) forget_step(kPairStep, artwork_id);
        return "error: that artwork is already paired.";
    }
    if (!title_error.empty()) return error_text(title_error);
    if (pending)
        return "error: the last pair of this artwork went out and is not in its title yet. Wait a few minutes and "
               "Refresh.";

    std::string payload;
    error = signed_pair_payload(artwork_id, certificate_id, sha256, identity_key, payload);
    if (!error.empty()) return error;
    // The hold is written before the pair goes out, and stays as sent once it did: until the title
    // shows the pair, a second one would pay its fee for nothing.
    name_step_subject(kPairStep, artwork_id, certificate_id, true);
    const std::string sent = send_art_pair_payload(payload, kPairWatchAddress, kTitleWatchAddress, kPairFeeAddress);
    // An earlier attempt found on the chain after all was not the one held ahead.
    std::string txid;
    StepHold held;
    if (parse_success_txid(sent, txid)) {
        if (!(step_hold_of(kPairStep, artwork_id, held) && held.sent && held.txid == to_lower_copy(txid)))
            hold_step(kPairStep, artwork_id, txid, true, certificate_id);
        title_pair_sent(artwork_id);
    }
    return note_step_result(kPairStep, artwork_id, certificate_id, sent);
}
