#include "shell/sale_window.h"

#include "chain/outpoints.h"
#include "shell/gallery_state.h"
#include "shell/step_holds.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const std::string kMe = "02aaaa";
const std::string kOther = "03bbbb";
const std::string kThird = "02cccc";

// The steps the engine holds in a test, as "step artwork".
std::set<std::string> held_for_test;
bool held_in_test(const std::string& step, const std::string& subject, std::string& why) {
    if (held_for_test.count(step + " " + subject) == 0) return false;
    why = "Held: " + step + " " + subject;
    return true;
}

// `funded_by` empty: no funded offer on the frame.
SpotFrame frame_with(const std::string& owner, int asks, const std::vector<std::string>& accepted,
                     const std::string& funded_by) {
    SpotFrame frame;
    frame.shown = true;
    frame.spot = 3;
    frame.pic = "ab";
    frame.owner = owner;
    for (int i = 0; i < asks; ++i) {
        SpotAsk ask;
        ask.buyer = kOther;
        ask.handle = "bob" + std::to_string(i) + "@kestrava.net";
        frame.asks.push_back(ask);
    }
    for (const std::string& buyer : accepted) {
        SpotAccept accept;
        accept.buyer = buyer;
        frame.accepts.push_back(accept);
    }
    if (!funded_by.empty()) {
        SpotFunded funded;
        funded.buyer = funded_by;
        frame.funded.push_back(funded);
    }
    return frame;
}

TEST(SaleWindow, NextStepButtonsFollowTheFrame) {
    const auto title_unread = [](SpotFrame frame) {
        frame.shown = false;
        frame.reading = kFrameTitleReading;
        return frame;
    };
    struct Row {
        const char* name;
        SpotFrame frame;
        std::string key;
        bool accept, pay, complete;
    };
    const std::vector<Row> rows = {
        {"owner with an ask", frame_with(kMe, 1, {}, ""), kMe, true, false, false},
        {"owner key in upper case", frame_with(kMe, 1, {}, ""), "02AAAA", true, false, false},
        {"owner with asks and a funded offer", frame_with(kMe, 2, {kOther}, kOther), kMe, false, false, true},
        {"owner with only a stranger's funded offer", frame_with(kMe, 1, {kOther}, kThird), kMe, true, false, false},
        {"owner without asks", frame_with(kMe, 0, {}, ""), kMe, false, false, false},
        {"stranger to an asked frame", frame_with(kOther, 1, {}, ""), kMe, false, false, false},
        {"accepted buyer", frame_with(kOther, 1, {kMe}, ""), kMe, false, true, false},
        {"accepted buyer after funding", frame_with(kOther, 1, {kMe}, kMe), kMe, false, false, false},
        {"accepted buyer, own key in upper case", frame_with(kOther, 1, {kMe}, "02AAAA"), kMe, false, false, false},
        {"accepted buyer beside a stranger's funded offer", frame_with(kOther, 1, {kMe}, kThird), kMe, false, true,
         false},
        {"two accepted buyers, the other one funded", frame_with(kOther, 2, {kMe, kThird}, kThird), kMe, false, true,
         false},
        {"two accepted buyers, this one funded", frame_with(kOther, 2, {kMe, kThird}, kMe), kMe, false, false, false},
        {"no wallet and an acceptance without buyer", frame_with(kOther, 1, {""}, ""), "", false, false, false},
        {"no wallet and an exhibit without owner", frame_with("", 1, {}, ""), "", false, false, false},
        {"accepted buyer, title still being read", title_unread(frame_with(kOther, 1, {kMe}, "")), kMe, false, true,
         false},
        {"owner with an ask, title still being read", title_unread(frame_with(kMe, 1, {}, "")), kMe, true, false,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const SaleButtons buttons = sale_buttons_for(&row.frame, row.key);
        EXPECT_EQ(buttons.accept, row.accept);
        EXPECT_EQ(buttons.pay, row.pay);
        EXPECT_EQ(buttons.complete, row.complete);
    }
    const SpotFrame unread = title_unread(frame_with(kOther, 1, {kMe}, ""));
    EXPECT_EQ(sale_status_label(&unread, unread.pic, kMe), L"Offer accepted");
    const SaleButtons none = sale_buttons_for(nullptr, kMe);
    EXPECT_FALSE(none.accept || none.pay || none.complete);

    // No Pay once this run sent a payment for the hanging, nor while it is being sent.
    SpotFrame frame = frame_with(kOther, 1, {kMe}, "");
    frame.show_txid = "s1";
    paid_hangings.insert("s1");
    EXPECT_FALSE(sale_buttons_for(&frame, kMe).pay);
    paid_hangings.clear();
    paying_hanging = "s1";
    EXPECT_FALSE(sale_buttons_for(&frame, kMe).pay);
    EXPECT_EQ(sale_status_label(&frame, frame.pic, kMe), L"Paying...");
    paying_hanging.clear();
    EXPECT_TRUE(sale_buttons_for(&frame, kMe).pay);

    // A step the engine holds for this artwork shows its button disabled and says why, with nothing
    // kept by the window (as after a restart); the same step for another artwork is not held.
    struct HeldRow {
        const char* name;
        SpotFrame frame;
        std::string held; // "step artwork"
        bool accept, pay, complete, accept_held, pay_held, complete_held;
    };
    SpotFrame other_art = frame_with(kOther, 1, {kMe}, "");
    other_art.pic = "cd";
    const std::vector<HeldRow> held_rows = {
        {"pay held", frame_with(kOther, 1, {kMe}, ""), "pay ab", false, false, false, false, true, false},
        {"pay held for another artwork", other_art, "pay ab", false, true, false, false, false, false},
        {"pass held", frame_with(kOther, 1, {kMe}, ""), "pass ab", false, true, false, false, false, false},
        {"accept held", frame_with(kMe, 1, {}, ""), "accept ab", false, false, false, true, false, false},
        {"complete held", frame_with(kMe, 1, {kOther}, kOther), "complete ab", false, false, false, false, false, true},
    };
    set_step_held_for_tests(held_in_test);
    for (const HeldRow& row : held_rows) {
        SCOPED_TRACE(row.name);
        held_for_test = {row.held};
        const SaleButtons buttons = sale_buttons_for(&row.frame, kMe);
        EXPECT_EQ(buttons.accept, row.accept);
        EXPECT_EQ(buttons.pay, row.pay);
        EXPECT_EQ(buttons.complete, row.complete);
        EXPECT_EQ(buttons.accept_held, row.accept_held);
        EXPECT_EQ(buttons.pay_held, row.pay_held);
        EXPECT_EQ(buttons.complete_held, row.complete_held);
        const bool held = row.accept_held || row.pay_held || row.complete_held;
        EXPECT_EQ(buttons.held_why, held ? "Held: " + row.held : "");
        if (row.frame.owner == kOther) {
            EXPECT_EQ(sale_status_label(&row.frame, row.frame.pic, kMe),
                      row.pay_held ? L"Pay pending" : L"Offer accepted");
        }
    }
    set_step_held_for_tests(nullptr);
    held_for_test.clear();
    frame.hidden = true;
    EXPECT_FALSE(sale_buttons_for(&frame, kMe).pay);
    frame.owner = kMe;
    EXPECT_FALSE(sale_buttons_for(&frame, kMe).accept);
}

TEST(SaleWindow, CardTexts) {
    SaleWindowState state;
    sale_card_texts(nullptr, 0, "", "", state);
    EXPECT_EQ(state.piece_text, L"Untitled\nNot on a gallery wall.");
    EXPECT_EQ(state.offer_text, L"No offer yet.");
    EXPECT_EQ(state.next_text, L"Ask in the Gallery. Accept, pay, and complete can finish here or back on the frame.");

    SpotFrame frame = frame_with(kOther, 2, {}, "");
    frame.handle = "alice@kestrava.net";
    frame.artist_name = "Ada";
    frame.price = 0;
    sale_card_texts(&frame, 3, "Dawn", "Offer sent", state);
    EXPECT_EQ(state.piece_text, L"Dawn\nFrame AP3\nArtist  Ada");
    EXPECT_EQ(state.offer_text, L"Owner  alice\nPrice  View only\nFrom  bob1\nStatus  Offer sent");

    frame.handle.clear();
    frame.owner_paymail = "carol";
    frame.price = 1500;
    frame.asks.clear();
    frame.shown = false;
    frame.accepts.push_back(SpotAccept());
    sale_card_texts(&frame, 3, "Dawn", "Taken down", state);
    EXPECT_EQ(state.offer_text, L"Owner  carol\nPrice  1500 sats\nNo offer yet.\nStatus  Taken down");
    EXPECT_EQ(state.next_text, L"The owner took this artwork down; it cannot be paid for.");

    frame.reading = kFrameTitleReading; // the window says the step reads the title whole first
    sale_card_texts(&frame, 3, "Dawn", "Offer accepted", state);
    EXPECT_NE(state.next_text.find(L"\nThe title of this artwork is still being read; a step reads it whole first, "
                                   L"before anything is paid or signed."),
              std::wstring::npos);
    frame.reading = kFrameNewerReading; // the sale goes on; the window says a newer hanging is being read
    sale_card_texts(&frame, 3, "Dawn", "Offer accepted", state);
    EXPECT_EQ(state.next_text.substr(state.next_text.find(L'\n')),
              L"\nA newer hanging in this frame is still being read. Refresh to go on.");
    frame.reading.clear();

    // A step being sent says so until its answer; it is not done before the broadcast answered.
    sale_card_texts(&frame, 3, "Dawn", "Offer accepted", state);
    sale_sent_texts(2, state);
    EXPECT_EQ(state.offer_text, L"Owner  carol\nPrice  1500 sats\nNo offer yet.\nStatus  Paying...");
    EXPECT_EQ(state.next_text, L"Sending. The answer shows in the status line, and this window closes then.");
}

TEST(SaleWindow, LayoutSharesExtraHeight) {
    const SaleLayout base = sale_layout_for(504, 418);
    EXPECT_EQ(base.offer.bottom - base.offer.top, 108);
    EXPECT_EQ(base.next.bottom - base.next.top, 72);
    EXPECT_EQ(base.next.top, base.offer.bottom + 28);

    const SaleLayout even = sale_layout_for(504, 422); // excess 4
    EXPECT_EQ(even.offer.bottom - even.offer.top, 110);
    EXPECT_EQ(even.next.bottom - even.next.top, 74);
    const SaleLayout odd = sale_layout_for(504, 423); // excess 5: the extra pixel goes to the next card
    EXPECT_EQ(odd.offer.bottom - odd.offer.top, 110);
    EXPECT_EQ(odd.next.bottom - odd.next.top, 75);

    EXPECT_EQ(odd.piece.right, 504 - 18);
    EXPECT_EQ(odd.close_button.x, 504 - 146);
    EXPECT_EQ(odd.close_button.y, 423 - 52);
}

} // namespace

// Paying takes the terms the window shows (hanging, price, this wallet's last acceptance) and asks
// first with the price and the seller.
TEST(SaleWindow, PaymentTakesTheTermsShownAndConfirmsPriceAndSeller) {
    SpotFrame frame = frame_with(kOther, 1, {kMe, kThird, kMe}, "");
    frame.show_txid = "s1";
    frame.price = 1000;
    frame.handle = "carol@kestrava.net";
    frame.accepts[0].txid = "a1";
    frame.accepts[2].txid = "a3";
    SaleActionJob job;
    ASSERT_TRUE(sale_pay_terms(frame, "02AAAA", job));
    EXPECT_EQ(job.show_txid, "s1");
    EXPECT_EQ(job.price, 1000);
    EXPECT_EQ(job.accept_txid, "a3");
    EXPECT_FALSE(sale_pay_terms(frame, "", job));
    EXPECT_FALSE(sale_pay_terms(frame, "02dddd", job));
    EXPECT_EQ(sale_pay_confirm_text(frame, "Dawn"),
              "Pay 1000 sats to carol (03bbbb) for \"Dawn\" in frame AP3?\r\nThe artwork and its certificate come to "
              "this wallet when the owner completes the sale.");
}

// Accepting and completing take what the window showed when it opened (the ask under "From", the
// buyer of the offer and its hanging), whatever the gallery read since, and ask first with the
// buyer and price.
TEST(SaleWindow, AcceptAndCompleteTakeTheTermsShownAndConfirmBuyerAndPrice) {
    SpotFrame frame = frame_with(kMe, 2, {kOther}, kOther);
    frame.show_txid = "s1";
    frame.price = 1000;
    frame.asks[1].txid = "k2";
    const SaleShown shown = sale_shown_for(&frame, 3, "Dawn");
    frame.asks.back() = SpotAsk(); // read again: a newer ask
    frame.asks.back().txid = "k3";
    frame.asks.back().buyer = kThird;

    SaleActionJob accept, complete;
    ASSERT_TRUE(sale_step_terms(shown, 1, accept) && sale_step_terms(shown, 3, complete));
    EXPECT_EQ(accept.buyer + " " + accept.ask_txid, kOther + " k2");
    EXPECT_EQ(complete.show_txid + " " + complete.buyer, "s1 " + kOther);
    EXPECT_EQ(
        sale_accept_confirm_text(shown),
        "Accept the ask of bob1 (03bbbb) at 1000 sats for \"Dawn\" in frame AP3?\r\nOnly that buyer may then pay; "
        "the title record for them is signed now.");
    EXPECT_EQ(sale_complete_confirm_text(shown),
              "Complete the sale of \"Dawn\" to bob1 (03bbbb) for 1000 sats in frame AP3?\r\nThe artwork and its "
              "certificate go to the buyer; the price less the gallery fee comes to this wallet.");
    EXPECT_FALSE(sale_step_terms(sale_shown_for(nullptr, 0, ""), 1, accept));
}
