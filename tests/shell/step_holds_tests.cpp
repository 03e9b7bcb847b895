#include "shell/step_holds.h"

#include "support/temp_dir.h"
#include "task_popup_fixture.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

namespace {

// The steps the engine holds in a test, and those it knows went out, as "step subject".
std::set<std::string> held_for_test;
std::set<std::string> sent_for_test;
std::set<std::string> paired_for_test; // artworks the chain shows paired
std::string held_why;                  // what a held step says; "Held: " and the step when empty
bool held_in_test(const std::string& step, const std::string& subject, std::string& why) {
    why = sent_for_test.count(step + " " + subject) ? "The last " + step + " of this artwork went out." : "";
    if (held_for_test.count(step + " " + subject) == 0) return false;
    why = held_why.empty() ? "Held: " + step : held_why;
    return true;
}
bool paired_in_test(const std::string& artwork) {
    return paired_for_test.count(artwork) > 0;
}

// A step the engine holds for one artwork greys its button and says why while that artwork is
// chosen, in a popup opened afresh as after a restart, and stays grey after any step's result; the
// same step for another artwork stays open.
TEST_F(TaskPopupWindow, HeldStepGreysItsButtonForThatArtworkAlone) {
    TempDataDir dir;
    KvCofferlyOrdRow other = art_rows[0];
    other.key = std::string(64, 'b') + "_0";
    other.name = "Dusk";
    art_rows.push_back(other);
    set_step_held_for_tests(held_in_test);
    set_artwork_paired_for_tests(paired_in_test);
    const auto choose = [](HWND box, const std::string& key) {
        HWND combo = GetDlgItem(box, kBoxCombo);
        for (LRESULT i = 0; i < SendMessageW(combo, CB_GETCOUNT, 0, 0); ++i) {
            SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            if (selected_row_id(combo) == key) break;
        }
        SendMessageW(box, WM_COMMAND, MAKEWPARAM(kBoxCombo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    };
    for (BoxMode mode : {kBoxMintCertificate, kBoxPair, kBoxPass}) {
        SCOPED_TRACE(box_step(mode));
        held_for_test = {std::string(box_step(mode)) + " " + std::string(64, 'a')};
        HWND box = make_box(mode);
        ASSERT_NE(box, nullptr);
        HWND button = GetDlgItem(box, kBoxAction);
        SetDlgItemTextW(box, kBoxPaymailEdit, L"bob");
        choose(box, art_rows[0].key);
        EXPECT_FALSE(IsWindowEnabled(button));
        EXPECT_EQ(line_of(box, kBoxHeldLine), "Held: " + std::string(box_step(mode)));
        click_action(box);
        EXPECT_EQ(status(), "Held: " + std::string(box_step(mode)));
        EXPECT_EQ(confirmations, 0);
        EXPECT_EQ(action_busy.load(), 0);
        auto done = std::make_unique<JobResultText>();
        done->text = "error: not known whether it was sent.";
        handle_job_result(mode == kBoxPass ? kOpPass : kOpCertificate, reinterpret_cast<LPARAM>(done.release()));
        EXPECT_FALSE(IsWindowEnabled(button));
        // The first of a Refresh's results to arrive shows the hold it ended.
        held_for_test.clear();
        if (mode == kBoxPass)
            handle_balance_result(0);
        else
            handle_job_result(kOpGalleryState, reinterpret_cast<LPARAM>(new GalleryStateResult()));
        EXPECT_TRUE(IsWindowEnabled(button));

        choose(box, other.key);
        EXPECT_TRUE(IsWindowEnabled(button));
        EXPECT_EQ(line_of(box, kBoxHeldLine), "");
    }
    // An artwork file whose inscription is held, by its content.
    const std::string path = dir.root + "\\dawn.png";
    test_write_file(path, "png bytes");
    const std::string content = "png bytes";
    held_for_test = {"inscribe " + to_hex(sha256(content).data(), 32)};
    HWND mint = make_box(kBoxMintArtwork);
    ASSERT_NE(mint, nullptr);
    box_state_of(mint)->file_path = path;
    click_action(mint);
    EXPECT_EQ(status(), "Held: inscribe");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(mint, kBoxAction)));
    EXPECT_EQ(box_state_of(mint)->estimate_pending, 0);

    // An artwork whose pair went out, or that the chain shows paired once that row is gone (a day
    // old, set aside with a damaged file, ended by the engine's refusal), has nothing left to pair:
    // its fee would buy nothing, and it is not asked for.
    set_box_confirmation_for_tests(cancel_and_keep_text);
    HWND pair = make_box(kBoxPair);
    for (const bool row_kept : {true, false}) {
        SCOPED_TRACE(row_kept ? "the row of the pair kept" : "known paired on chain");
        sent_for_test.clear();
        paired_for_test.clear();
        (row_kept ? sent_for_test : paired_for_test).insert((row_kept ? "pair " : "") + std::string(64, 'a'));
        choose(pair, art_rows[0].key);
        click_action(pair);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(pair, kBoxAction)));
        EXPECT_EQ(line_of(pair, kBoxHeldLine), "That artwork is already paired.");
        EXPECT_EQ(status(), "That artwork is already paired.");
        auto refused = std::make_unique<JobResultText>();
        refused->text = "error: that artwork is already paired.";
        handle_job_result(kOpPairResult, reinterpret_cast<LPARAM>(refused.release()));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(pair, kBoxAction)));
        choose(pair, other.key);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(pair, kBoxAction)));
    }
    EXPECT_EQ(confirmations, 0);
    // The engine's wait reads as a sentence beside the button; the status line keeps its colour.
    held_for_test = {"pair " + std::string(64, 'b')};
    held_why = "error: the last pair of this artwork is not known to have been sent yet.";
    click_action(pair);
    EXPECT_EQ(line_of(pair, kBoxHeldLine), "The last pair of this artwork is not known to have been sent yet.");
    EXPECT_EQ(status(), held_why);
    set_step_held_for_tests(nullptr);
    set_artwork_paired_for_tests(nullptr);
    held_for_test.clear();
    held_why.clear();
}

} // namespace
