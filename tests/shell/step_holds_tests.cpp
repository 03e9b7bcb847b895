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
bool held_in_test(const std::string& step, const std::string& subject, std::string& why) {
    why = sent_for_test.count(step + " " + subject) ? "The last " + step + " of this artwork went out." : "";
    if (held_for_test.count(step + " " + subject) == 0) return false;
    why = "Held: " + step;
    return true;
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

    // An artwork whose pair went out has nothing left to pair: its fee would buy nothing.
    sent_for_test = {"pair " + std::string(64, 'a')};
    HWND pair = make_box(kBoxPair);
    choose(pair, art_rows[0].key);
    click_action(pair);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(pair, kBoxAction)));
    EXPECT_EQ(status(), "That artwork is already paired.");
    set_step_held_for_tests(nullptr);
    held_for_test.clear();
}

} // namespace
