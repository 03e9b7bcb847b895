#include "art/gallery_sale.h"

#include "art/art_records.h"
#include "art/certificate.h"
#include "art/gallery_frames.h"
#include "art/gallery_rules.h"
#include "art/held_steps.h"
#include "art/offer_tx.h"
#include "art/title_chain.h"
#include "chain/broadcast.h"
#include "chain/payloads.h"
#include "chain/reserves.h"
#include "chain/step_wallet.h"
#include "chain/tx.h"
#include "chain/woc_client.h"
#include "identity/typed_sign.h"
#include "identity/wallet_status.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

using json = nlohmann::json;

namespace {

bool begins_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The answer of a step whose frame could not be read: the frame's own read errors name it and
// ask to try again; a listing that failed is said to be the frame's, with the wait a paused
// service asks for.
std::string frame_unread_error(std::int32_t spot, const std::string& detail) {
    const std::string frame = "frame " + spot_label(spot);
    if (detail.rfind(frame + ":", 0) == 0) return "error: " + detail;
    return "error: " + frame + " could not be read: " + detail + ". " + try_again_text();
}

// Whether the frame shows, beside a newer hanging still being read, the hanging the user acts on
// (`seen_show`, or the hanging an ask of theirs, `seen_ask`, stands under).
bool shows_what_was_seen(const SpotFrame& frame, const std::string& seen_show, const std::string& seen_ask) {
    return frame.reading == kFrameNewerReading &&
           ((!seen_show.empty() && seen_show == frame.show_txid) ||
            std::any_of(frame.asks.begin(), frame.asks.end(),
                        [&seen_ask](const SpotAsk& ask) { return !seen_ask.empty() && ask.txid == seen_ask; }));
}

// Every step starts from the gate and a read of the ten frames. An acceptance moves no money
// and the title chain it signs on is read afresh, so it may use the frame listings the gallery
// read a few seconds before on the same click (reuse_recent). Paying and completing must see the
// newest records: an offer posted or spent a moment ago decides whether money moves, so those
// steps read every watch again.
// The gallery read stops reading titles at its request budget, and a frame whose hanging's title
// it left unread shows no exhibit; the step's frame is then read again without the budget, from the
// frame listing just read, so that the step acts on what the frame holds, never on a read cut short.
// A frame whose read failed shows nothing either: it is read again alone, and a failure then is
// the step's answer, since the frame is not known to be empty.
// A newer hanging not yet known to count stops no sale: where the user acts on the hanging the frame
// shows beside it (`seen_show`, or an ask of it, `seen_ask`), the step acts on that one, confirms its
// title alone before anything moves and reads nothing of the newer one's. The gallery read of a step
// reads no title further than a first look for that reason, and none at all of a hanging newer than
// `seen_show` of another artwork that no read has found paired.
bool begin_step(std::int32_t spot, std::string& identity_key, std::vector<SpotFrame>& frames, std::string& error,
                bool reuse_recent, const std::string& seen_show = "", const std::string& seen_ask = "") {
    if (!art_identity_gate(false, identity_key, error)) return false;
    frames.clear();
    const std::string read_error = load_all_spots(frames, reuse_recent, kStepTitleRequests, seen_show);
    if (spot < 1 || spot > kSpotCount || static_cast<std::size_t>(spot) > frames.size()) return true;
    SpotFrame& frame = frames[static_cast<std::size_t>(spot) - 1];
    if (shows_what_was_seen(frame, seen_show, seen_ask)) return true;
    if (frame.reading.empty() && (read_error.empty() || !frame.pic.empty())) return true;
    // The step confirms the title of the hanging it acts on before anything moves; confirmed now,
    // the read of the frame takes it as just read and the check before money takes it as confirmed.
    if (frame.reading == kFrameTitleReading && !frame.pic.empty()) {
        ExhibitTitle title;
        exhibit_title_confirm(frame.pic, title);
    }
    // A listing this step read serves again; a frame whose read failed is read as the step reads.
    SpotLoad whole =
        load_spot(spot - 1, clock_system_ms() / 1000, reuse_recent || !frame.reading.empty(), nullptr, seen_show);
    if (!whole.error.empty() && !shows_what_was_seen(whole, seen_show, seen_ask)) {
        error = frame_unread_error(spot, whole.error);
        return false;
    }
    // Of an artwork hanging in two frames only the one hung later in the chain stands, the later
    // frame where the chain cannot tell, as in the gallery read.
    for (const SpotFrame& other : frames) {
        if (!whole.shown || !other.shown || other.spot == spot || other.pic != whole.pic) continue;
        SpotLoad hung;
        static_cast<SpotFrame&>(hung) = other;
        json tx;
        if (woc_tx_json(other.show_txid, tx)) hung.height = tx_block_height(tx);
        if (spot > other.spot ? hung_before(whole, hung) : !hung_before(hung, whole)) spot_exhibit_init(whole);
    }
    frame = std::move(static_cast<SpotFrame&>(whole));
    return true;
}

const SpotFrame* frame_at(const std::vector<SpotFrame>& frames, std::int32_t spot) {
    if (spot < 1 || spot > kSpotCount || static_cast<std::size_t>(spot) > frames.size()) return nullptr;
    return &frames[static_cast<std::size_t>(spot) - 1];
}

// A record in this wallet's name: the handle is the connected wallet's alias as it stands now.
json gallery_record(const char* type, std::int32_t spot) {
    json msg = new_art_message(type);
    msg["handle"] = connected_paymail_alias();
    if (spot > 0) msg["spot"] = spot_label(spot);
    return msg;
}

std::string compact_json(const json& msg) {
    return msg.dump(-1, ' ', false, json::error_handler_t::replace);
}

// What the buyer's money buys: the frame's hanging must hold the artwork's title and coins now,
// and the acceptance's record must be the title's next step to this buyer, signed by the owner
// now. The record rides in the sale as written, so anything else would leave the title behind.
// As in the title read, the record speaks for the key it carries, which must be the title owner's;
// where the seller's name points today decides nothing. The title is the confirmed one, not the
// first pair a read remembered. "" or the error text.
std::string check_sale_title(const SpotFrame& frame, const SpotAccept& accept, const std::string& buyer) {
    ExhibitTitle title;
    const std::string error = exhibit_title_confirm(frame.pic, title);
    if (!error.empty()) return "error: " + error;
    if (!hanging_matches_title(frame, title)) return "error: the seller does not hold this artwork.";
    const json record = json_parse_or_discarded(accept.title_json);
    if (!record.is_object() || json_text(record, "type") != "art_owner" ||
        norm_txid(json_text(record, "pic")) != frame.pic || to_lower_copy(json_text(record, "owner")) != buyer ||
        to_lower_copy(json_text(record, "prev")) != title.head || json_identity_pubkey(record) != title.owner ||
        !verify_art_record(record))
        return "error: the title record of the acceptance does not pass the artwork to you.";
    return "";
}

bool paid_for_hanging(std::int32_t spot, const std::string& show_txid) {
    std::vector<OfferHold> holds;
    WalletLock lock = lock_wallet();
    if (!load_offer_holds(holds)) return false;
    return std::any_of(holds.begin(), holds.end(), [&](const OfferHold& hold) {
        return hold.spot == spot && !hold.show_txid.empty() && hold.show_txid == show_txid;
    });
}

} // namespace

std::int64_t gallery_sale_split(std::int64_t price) {
    // Two per cent rounded down is price / 50; doubling first would overflow for a huge price
    // read from a hanging record.
    return price >= 50 ? price / 50 : 0;
}

bool gallery_require_identity(std::string& error) {
    std::string identity_key;
    return art_identity_gate(false, identity_key, error);
}

std::string gallery_sign_and_post(const json& record, const std::string& watch) {
    TypedMessage msg = record;
    std::string error;
    if (!sign_typed_message(msg, error)) return error.empty() ? "error: could not sign" : "error: " + error;
    const std::string result = send_gallery_payload(compact_json(msg), watch);
    // A kept listing lacks the record just posted, whether or not the post was answered.
    gallery_forget_listings();
    return result;
}

std::string gallery_accept_ask(std::int32_t spot, const std::string& buyer, const std::string& ask_txid) {
    const PayingStepScope step("accept");
    std::string identity_key, error;
    std::vector<SpotFrame> frames;
    if (!begin_step(spot, identity_key, frames, error, true, "", ask_txid)) return error;
    const SpotFrame* frame = frame_at(frames, spot);
    if (!frame || !frame->shown || frame->price < 1) return "error: that frame is not for sale.";
    if (identity_key != frame->owner) return "error: only the owner can accept.";
    const std::string buyer_key = to_lower_copy(art_trim_copy(buyer));
    const std::string terms = buyer_key + " at " + std::to_string(frame->price);
    const std::string held = held_step_answer("accept", frame->pic, terms);
    if (!held.empty()) return held;

    bool asked = false, shown = ask_txid.empty();
    for (const SpotAsk& ask : frame->asks) {
        asked = asked || ask.buyer == buyer_key;
        shown = shown || (ask.buyer == buyer_key && ask.txid == ask_txid);
    }
    if (!asked) return "error: that buyer has not asked.";
    if (!shown) return "error: that ask changed since you looked. Read the gallery again before accepting.";

    ExhibitTitle confirmed;
    error = exhibit_title_confirm(frame->pic, confirmed);
    if (!error.empty()) return "error: " + error;
    if (confirmed.owner.empty() || confirmed.owner != identity_key) return "error: owner is not this identity.";
    const std::string prev = confirmed.head;

    // The title travels signed inside the acceptance; the buyer's offer carries it on chain.
    TypedMessage title = gallery_record("art_owner", 0);
    title["pic"] = frame->pic;
    title["cert"] = frame->cert;
    title["owner"] = buyer_key;
    title["prev"] = prev;
    if (!sign_typed_message(title, error)) return error.empty() ? "error: could not sign the title" : "error: " + error;
    const std::string title_json = compact_json(title);

    json accept = gallery_record("art_gaccept", spot);
    accept["pic"] = frame->pic;
    accept["cert"] = frame->cert;
    accept["buyer"] = buyer_key;
    accept["prev"] = prev;
    accept["price_sats"] = frame->price;
    accept["title_sha"] = sha256_hex(title_json);
    accept["title_json"] = title_json;
    return note_step_result("accept", frame->pic, terms, gallery_sign_and_post(accept, spot_row(spot).watch));
}

std::string gallery_fund_offer(std::int32_t spot, const std::string& show_txid, std::int64_t price,
                               const std::string& accept_txid) {
    const PayingStepScope step("pay");
    std::string identity_key, error;
    std::vector<SpotFrame> frames;
    if (!begin_step(spot, identity_key, frames, error, false, show_txid)) return error;
    const SpotFrame* frame = frame_at(frames, spot);
    if (!frame || frame->pic.empty() || frame->price < 1) return "error: that frame is not for sale.";
    if (frame->hidden) return "error: the owner took this artwork down. It cannot be paid for.";
    const std::string terms = accept_txid + " " + show_txid + " at " + std::to_string(price);
    const std::string held = held_step_answer("pay", frame->pic, terms);
    if (!held.empty()) return held;
    const std::string me = to_lower_copy(current_identity_pubkey());

    const SpotAccept* chosen = nullptr;
    bool accepted = false;
    for (const SpotAccept& accept : frame->accepts) {
        if (accept.buyer != me) continue;
        accepted = true;
        if (accept.txid == accept_txid) chosen = &accept;
    }
    if (!accepted) return "error: the owner has not accepted this ask yet.";
    // The buyer pays only the terms they saw: a frame hung again, a new price or another
    // acceptance since then is a sale they never agreed to.
    if (!chosen || frame->show_txid != show_txid || frame->price != price)
        return "error: the sale changed since you looked. Read the gallery again before paying.";

    // One live offer per buyer and frame: a second payment would only lock more of this wallet's
    // coins. Offers of other buyers are theirs to complete or lose.
    for (const SpotFunded& funded : frame->funded)
        if (funded.buyer == me && !offer_payment_spent(funded.offer))
            return "error: you already paid. The owner completes the sale.";
    // The services may not list a payment posted a moment ago; this wallet's own record of it
    // still stands until the frame read frees its coins.
    if (paid_for_hanging(spot, frame->show_txid)) return "error: you already paid. The owner completes the sale.";

    error = check_sale_title(*frame, *chosen, me);
    if (!error.empty()) return error;

    const SpotAsk* my_ask = nullptr;
    for (const SpotAsk& ask : frame->asks)
        if (ask.buyer == me) my_ask = &ask;
    if (my_ask && !my_ask->buyer_ord.empty() && my_ask->buyer_ord != cofferly_ord_address())
        return "error: the ordinal address on the ask is not this wallet.";

    const std::string offer =
        gallery_offer_build(frame->pic_utxo, frame->cert_utxo, frame->price, frame->pay_addr, kGallerySaleFeeAddress,
                            gallery_sale_split(frame->price), kTitleWatchAddress, chosen->title_json);
    if (begins_with(offer, "error")) return offer;

    std::vector<TxInput> inputs, paid;
    std::vector<TxOutput> outputs;
    parse_raw_tx(from_hex(offer), inputs, outputs);
    OfferHold hold;
    hold.spot = spot;
    hold.pic_utxo = frame->pic_utxo;
    hold.cert_utxo = frame->cert_utxo;
    hold.price = frame->price;
    hold.exp = frame->exp;
    hold.show_txid = frame->show_txid;
    for (const TxInput& in : inputs) {
        if (in.script_sig.empty()) continue;
        paid.push_back(in);
        hold.utxos.push_back(reserve_key(in.txid, in.vout));
    }

    json funded = gallery_record("art_gfunded", spot);
    funded["offer_sha"] = sha256_hex(offer);
    funded["offer"] = offer;
    const std::string posted =
        note_step_result("pay", frame->pic, terms, gallery_sign_and_post(funded, spot_row(spot).watch));
    WalletLock lock = lock_wallet();
    // An offer the owner never sees can never complete: its coins go back to the wallet at once.
    // One whose record may have gone out keeps them until the record's fate is known, so a live
    // offer's coins are never spent from under it.
    if (!begins_with(posted, "success") && !not_known_if_sent_txid(posted, hold.funded_txid)) {
        release_offer_inputs(paid);
        return posted;
    }
    std::vector<OfferHold> holds;
    if (load_offer_holds(holds)) {
        holds.push_back(std::move(hold));
        save_offer_holds(holds);
    }
    return posted;
}

std::string gallery_complete_sale(std::int32_t spot, const std::string& offer, const std::string& show_txid,
                                  const std::string& buyer) {
    const PayingStepScope step("complete");
    std::string identity_key, error;
    std::vector<SpotFrame> frames;
    if (!begin_step(spot, identity_key, frames, error, false, show_txid)) return error;
    const SpotFrame* frame = frame_at(frames, spot);
    if (!frame || frame->pic.empty()) return "error: that frame is empty.";
    if (identity_key != frame->owner) return "error: only the owner can complete this sale.";
    const std::string terms = offer.empty() ? "buyer " + to_lower_copy(buyer) : "offer " + sha256_hex(offer);
    const std::string held = held_step_answer("complete", frame->pic, terms);
    if (!held.empty()) return held;
    // The owner completes the sale of the hanging they were shown; offers answer only the frame's
    // hanging now.
    if (!show_txid.empty() && frame->show_txid != show_txid)
        return "error: the sale changed since you looked. Read the gallery again before completing.";

    // Only the accepted buyers' exact offers are listed; an offer whose own coins do not verify
    // is passed over as if it had never been posted, so it cannot hold up a good one.
    std::string chosen;
    if (!offer.empty()) {
        bool listed = false;
        for (const SpotFunded& funded : frame->funded)
            listed = listed || funded.offer == offer;
        if (!listed) return "error: that offer is not on this frame.";
        if (!offer_inputs_valid(offer, error)) return "error: that offer cannot be completed: " + error + ".";
        chosen = offer;
    }
    const std::string buyer_key = to_lower_copy(buyer);
    bool waiting = false;
    for (auto it = frame->funded.rbegin(); chosen.empty() && it != frame->funded.rend(); ++it) {
        if (!buyer_key.empty() && it->buyer != buyer_key) continue;
        waiting = true;
        if (offer_inputs_valid(it->offer, error)) chosen = it->offer;
    }
    if (chosen.empty() && waiting) return "error: no funded offer can be completed: " + error + ".";
    if (chosen.empty()) return "error: no funded offer is waiting.";
    if (offer_payment_spent(chosen)) return "error: that payment was already spent. The buyer has to pay once more.";
    // The frame read took the artwork's first pair as remembered; the coins go only on the
    // confirmed title.
    ExhibitTitle title;
    error = exhibit_title_confirm(frame->pic, title);
    if (!error.empty()) return "error: " + error;
    if (!hanging_matches_title(*frame, title)) return "error: you no longer hold this artwork.";

    const std::string result =
        note_step_result("complete", frame->pic, terms, gallery_complete_sign_send(chosen, frame->pic));
    if (!begins_with(result, "success") || !frame->shown) return result;
    json hide = gallery_record("art_hide", spot);
    hide["pic"] = frame->pic;
    hide["cert"] = frame->cert;
    const std::string notice = gallery_sign_and_post(hide, spot_row(spot).watch);
    // The sale is on chain whatever becomes of the notice; the user still learns it failed.
    if (begins_with(notice, "success")) return result;
    return result + " Frame notice failed: " + notice;
}
