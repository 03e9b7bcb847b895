#include "shell/task_popup.h"

#include "art/art_folders.h"
#include "art/art_inscribe.h"
#include "art/last_sale.h"
#include "art/watch/reader.h"
#include "fakes/fake_clock.h"
#include "identity/paymail_registry.h"
#include "identity/recipient.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/drawing.h"
#include "shell/folders_panel.h"
#include "shell/jobs.h"
#include "shell/pair_flow.h"
#include "shell/pass_flow.h"
#include "shell/popup_views.h"
#include "shell/sale_window.h"
#include "shell/status_line.h"
#include "shell/step_holds.h"
#include "support/temp_dir.h"
#include "task_popup_fixture.h"
#include "wallet/host_pace.h"
#include "wallet/session.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

TEST(TaskPopup, ArtworkFileSizeAndConfirmation) {
    EXPECT_EQ(artwork_size_error(0), "that file is empty");
    EXPECT_EQ(artwork_size_error(1), "");
    EXPECT_EQ(artwork_size_error(10485760), "");
    EXPECT_EQ(artwork_size_error(10485761), "file is over 10 MB. Shrink it first.");
    EXPECT_EQ(artwork_size_error(UINT64_MAX), "file is over 10 MB. Shrink it first.");

    EXPECT_EQ(artwork_inscribe_confirm_text(1023, 0),
              "Inscribe this artwork?\n\n1023 bytes. Miner fee is about 0 sats, from the messenger account.\n\n"
              "The 1-sat lands on the ordinals address. Cofferly will prompt.");
    EXPECT_NE(artwork_inscribe_confirm_text(525, 10).find("\n525 bytes. "), std::string::npos);
    EXPECT_EQ(artwork_inscribe_confirm_text(10485760, -1),
              "Inscribe this artwork?\n\n10240 KB. Miner fee is about unknown (Connect Cofferly and fund the "
              "messenger account).\n\nThe 1-sat lands on the ordinals address. Cofferly will prompt.");
    EXPECT_NE(artwork_inscribe_confirm_text(2048, 1234).find("2 KB. Miner fee is about 1234 sats"), std::string::npos);
    // A connected, funded wallet whose every coin is held is not told to connect and fund.
    EXPECT_EQ(artwork_inscribe_confirm_text(2048, -1, kFeeCoinsUnsettled),
              "Inscribe this artwork?\n\n2 KB. Miner fee is unknown: " + std::string(kFeeCoinsUnsettled) +
                  ".\n\nThe 1-sat lands on the ordinals address. Cofferly will prompt.");
}

TEST(TaskPopup, CreatedTimeIsAMinuteStamp) {
    const std::string text = utc_minute_text();
    ASSERT_EQ(text.size(), 16u);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], ' ');
    EXPECT_EQ(text[13], ':');
}

bool cancel_confirmation(HWND, const std::string&) {
    ++confirmations;
    return false;
}
// Another popup takes the busy flag while this one's confirmation box is open.
bool confirm_while_another_starts(HWND, const std::string&) {
    ++confirmations;
    action_busy = 1;
    return true;
}

TEST_F(TaskPopupWindow, WalletModesNeedAConnection) {
    ASSERT_FALSE(is_cofferly_connected());
    // Only this program's popups count: another program on the desktop may show one of its own.
    for (BoxMode mode : {kBoxMintArtwork, kBoxPass, kBoxLookUp}) {
        SetWindowTextW(status_line, L"");
        open_box(mode, "x");
        EXPECT_TRUE(open_boxes_in_mode(mode).empty());
        EXPECT_EQ(status(), "Connect Cofferly first.");
    }
    open_box(kBoxHelp, "Help");
    boxes = open_boxes_in_mode(kBoxHelp);
    ASSERT_EQ(boxes.size(), 1u);
    HWND help = boxes[0];
    const BoxState* state = box_state_of(help);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->mode, kBoxHelp);
    EXPECT_EQ(state->self, help);
}

TEST_F(TaskPopupWindow, CancelStartsNothing) {
    HWND box = make_box(kBoxMintCertificate);
    ASSERT_NE(box, nullptr);
    set_box_confirmation_for_tests(cancel_confirmation);
    click_action(box);
    EXPECT_EQ(confirmations, 1);
    EXPECT_EQ(action_busy.load(), 0);
    EXPECT_EQ(status(), "");
}

TEST_F(TaskPopupWindow, BusyTakenDuringConfirmationStartsNothing) {
    HWND box = make_box(kBoxMintCertificate);
    ASSERT_NE(box, nullptr);
    set_box_confirmation_for_tests(confirm_while_another_starts);
    click_action(box);
    EXPECT_EQ(confirmations, 1);
    EXPECT_EQ(status(), "Already working...");

    // While busy no confirmation is even asked.
    click_action(box);
    EXPECT_EQ(confirmations, 1);
}

TEST_F(TaskPopupWindow, PairWithoutCertificateFailsOnTheCard) {
    HWND box = make_box(kBoxPair);
    ASSERT_NE(box, nullptr);
    click_action(box);
    EXPECT_EQ(status(), "error: pick an artwork and a certificate.");
    const BoxState* state = box_state_of(box);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->result_state, 2);
    EXPECT_EQ(state->headline, "Could not pair");
    EXPECT_EQ(state->subline, "Pick an artwork and a certificate.");
    EXPECT_EQ(action_busy.load(), 0);

    show_pair_result(box, true, "success");
    EXPECT_EQ(state->result_state, 1);
    EXPECT_EQ(state->headline, "Paired successfully");
    show_pair_result(box, false, "  Error: the pair fee did not go out");
    EXPECT_EQ(state->subline, "The pair fee did not go out");
}

bool read_paired(const std::string&, bool& paired, std::string&) {
    paired = true;
    return true;
}
bool read_unpaired(const std::string&, bool& paired, std::string&) {
    paired = false;
    return true;
}
bool read_failed(const std::string&, bool& paired, std::string& error) {
    paired = false;
    error = "the registry's listing could not be read. Try again.";
    return false;
}

// Pair offers its fee only once a read of the title found no pair; a pair found greys the button.
TEST_F(TaskPopupWindow, PairReadsTheTitleBeforeItOffersTheFee) {
    KvCofferlyOrdRow cert;
    cert.key = std::string(64, 'b') + "_0";
    cert.name = "Sunset certificate";
    cert.kind = "Certificate";
    art_rows.push_back(cert);
    set_box_confirmation_for_tests(cancel_and_keep_text);
    struct Row {
        const char* name;
        bool (*read)(const std::string&, bool&, std::string&);
        int asked;
        std::string status;
        bool grey;
    } rows[] = {
        {"paired", read_paired, 0, kAlreadyPairedText, true},
        {"not paired", read_unpaired, 1, "", false},
        {"not read", read_failed, 0, "error: the registry's listing could not be read. Try again.", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        set_pair_read_for_tests(row.read);
        confirmations = 0;
        HWND box = make_box(kBoxPair);
        ASSERT_NE(box, nullptr);
        click_action(box);
        EXPECT_EQ(confirmations, 0) << "no fee is offered before the read";
        ASSERT_TRUE(deliver_next_result());
        EXPECT_EQ(confirmations, row.asked);
        if (row.asked) {
            EXPECT_EQ(last_confirmation, kPairConfirmText);
        }
        EXPECT_EQ(status(), row.status);
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(box, kBoxAction)) == FALSE, row.grey);
        EXPECT_EQ(action_busy.load(), 0);
    }
    set_pair_read_for_tests(nullptr);
}

TEST_F(TaskPopupWindow, PairCheckFillsTheDetailRows) {
    HWND box = make_box(kBoxCheck);
    ASSERT_NE(box, nullptr);
    BoxState* state = box_state_of(box);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->headline, "Use the Certificate Drop down menu and then click Check Certificate");

    PairInfo info;
    info.pair_found = 1;
    info.holds_artwork = 1;
    info.holds_certificate = 1;
    info.pair_txid = std::string(64, 'b');
    info.artwork_id = std::string(64, 'a');
    info.owner_label = "alice@example.net";
    show_pair_check(box, info);
    EXPECT_EQ(state->result_state, 1);
    EXPECT_EQ(state->show_detail, 1);
    EXPECT_EQ(state->holder_text, "Yes");
    EXPECT_EQ(state->owner_text, "alice");
    EXPECT_EQ(text_of(box, kBoxPairField), info.pair_txid);
    EXPECT_EQ(text_of(box, kBoxArtworkField), info.artwork_id);
    EXPECT_EQ(state->check_card.bottom - state->check_card.top, 112);

    PairInfo missing;
    show_pair_check(box, missing);
    EXPECT_EQ(state->result_state, 2);
    EXPECT_EQ(state->show_detail, 0);
    EXPECT_EQ(state->subline, "No signed pair for this certificate and artwork.");
    EXPECT_EQ(text_of(box, kBoxPairField), "");
    EXPECT_TRUE(state->owner_text.empty());
}

TEST_F(TaskPopupWindow, OwnershipReportFillsTheCards) {
    HWND box = make_box(kBoxOwnership);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(text_of(box, kBoxLiveOwner), "Show ownership to read this artwork.");
    const std::string art = std::string(64, 'a');
    show_title_chain(box, "Live owner\r\nalice\r\n\r\nCertificate\r\nArtwork\r\n" + art +
                              "\r\n\r\nNote: hi\r\n\r\nTitle\r\nRegistered\r\n");
    EXPECT_EQ(text_of(box, kBoxLiveOwner), "alice");
    EXPECT_EQ(text_of(box, kBoxCertText), "Note: hi");
    EXPECT_EQ(text_of(box, kBoxLastSale), "No sale yet.");
    EXPECT_EQ(text_of(box, kBoxHistory), "Registered");
    EXPECT_EQ(text_of(box, kBoxArtworkField), art);
    EXPECT_EQ(text_of(box, kBoxCertField), "");
    const BoxState* state = box_state_of(box);
    ASSERT_NE(state, nullptr);
    EXPECT_LT(state->live_owner_card.bottom, state->certificate_card.top);
    EXPECT_LT(state->last_sale_card.bottom, state->history_card.top);

    // A look-up whose reads failed answers in one line: nothing is known of a sale either.
    HWND look_up = make_box(kBoxLookUp);
    ASSERT_NE(look_up, nullptr);
    for (HWND popup : {box, look_up}) {
        show_title_chain(popup, kWatchRecordsUnread);
        EXPECT_EQ(text_of(popup, kBoxLiveOwner), kWatchRecordsUnread);
        EXPECT_EQ(text_of(popup, kBoxLastSale), kLastSaleUnread);
    }
    FakeClock clock; // while WhatsOnChain keeps every request away, the failed read says for how long
    host_pause(service_settings().woc_base, 85000);
    show_title_chain(look_up, kWatchRecordsUnread);
    EXPECT_EQ(text_of(look_up, kBoxLiveOwner),
              "Some records could not be read. WhatsOnChain asks to wait 85 s. Try again then.");
    EXPECT_EQ(text_of(look_up, kBoxLastSale),
              "The last sale did not load. WhatsOnChain asks to wait 85 s. Try again then.");
    host_pace_forget(service_settings().woc_base);
}

// A look-up sizes the popup to what it shows: the same answer again leaves it as it was, and a
// short answer after a long one needs no more room than the long one did.
TEST_F(TaskPopupWindow, LookUpDoesNotGrowWithEachAnswer) {
    HWND box = make_box(kBoxLookUp);
    ASSERT_NE(box, nullptr);
    SetWindowPos(box, nullptr, 0, 0, 760, 680, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const std::string art = std::string(64, 'a');
    std::string note;
    for (int i = 0; i < 12; ++i)
        note += "Note line " + std::to_string(i) + "\r\n";
    const std::string long_answer = "Live owner\r\nalice\r\n\r\nCertificate\r\nArtwork\r\n" + art + "\r\n\r\n" + note +
                                    "\r\nTitle\r\nRegistered\r\n";
    const auto height = [box] {
        RECT rect = {};
        GetWindowRect(box, &rect);
        return rect.bottom - rect.top;
    };
    const std::string short_answer = "Live owner\r\nbob\r\n";
    show_title_chain(box, short_answer);
    const long base = height();
    show_title_chain(box, long_answer);
    const long grown = height();
    for (int i = 0; i < 4; ++i)
        show_title_chain(box, long_answer);
    EXPECT_EQ(height(), grown);
    show_title_chain(box, short_answer);
    EXPECT_EQ(height(), base) << "grown to " << grown;
}

// However long the answer, Ownership and Look up stay inside the screen's work area, and their
// last card inside the popup.
TEST_F(TaskPopupWindow, LongAnswersStayInsideTheWorkArea) {
    const RECT work = work_area_of(nullptr);
    std::string note;
    for (int i = 0; i < 60; ++i)
        note += "Note line " + std::to_string(i) + "\r\n";
    const std::string answer = "Live owner\r\nalice\r\n\r\nCertificate\r\nArtwork\r\n" + std::string(64, 'a') +
                               "\r\n\r\n" + note + "\r\nLast sale\r\n500 sats\r\n\r\nTitle\r\nRegistered\r\n";
    for (BoxMode mode : {kBoxOwnership, kBoxLookUp}) {
        for (LONG top : {work.top, work.top + (work.bottom - work.top) / 3}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + " at " + std::to_string(top));
            HWND box = make_box(mode);
            ASSERT_NE(box, nullptr);
            SetWindowPos(box, nullptr, work.left, top, 760, 680, SWP_NOZORDER | SWP_NOACTIVATE);
            show_title_chain(box, answer);
            RECT rect = {}, client = {};
            GetWindowRect(box, &rect);
            GetClientRect(box, &client);
            EXPECT_GE(rect.top, work.top);
            EXPECT_LE(rect.bottom, work.bottom);
            EXPECT_LE(box_state_of(box)->history_card.bottom, client.bottom);
            EXPECT_EQ(text_of(box, kBoxLastSale), "500 sats");
        }
    }
}

// A double click on a command button notifies twice; it opens one popup.
TEST_F(TaskPopupWindow, DoubleClickOpensOnePopup) {
    shell_wnd_proc(main_window, WM_COMMAND, MAKEWPARAM(kIdHelp, BN_CLICKED), 0);
    shell_wnd_proc(main_window, WM_COMMAND, MAKEWPARAM(kIdHelp, BN_DOUBLECLICKED), 0);
    boxes = open_boxes_in_mode(kBoxHelp);
    EXPECT_EQ(boxes.size(), 1u);
}

// A memory canvas of `width` by `height` to paint into and read back.
struct Canvas {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    Canvas(int width, int height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        previous = SelectObject(dc, bitmap);
    }
    ~Canvas() {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
};

// Every label fills its box with exactly the popup's own background at that place, while a
// read-only text box keeps the panel colour.
TEST_F(TaskPopupWindow, LabelsSitOnThePopupBackground) {
    HWND box = make_box(kBoxSettings);
    ASSERT_NE(box, nullptr);
    RECT client = {};
    GetClientRect(box, &client);
    Canvas background(client.right, client.bottom);
    SendMessageW(box, WM_ERASEBKGND, reinterpret_cast<WPARAM>(background.dc), 0);
    int labels = 0;
    for (HWND label = FindWindowExW(box, nullptr, L"Static", nullptr); label;
         label = FindWindowExW(box, label, L"Static", nullptr), ++labels) {
        RECT rect = {};
        GetClientRect(label, &rect);
        POINT origin = {0, 0};
        MapWindowPoints(label, box, &origin, 1);
        SCOPED_TRACE(origin.y);
        Canvas canvas(rect.right, rect.bottom);
        const LRESULT brush =
            SendMessageW(box, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(canvas.dc), reinterpret_cast<LPARAM>(label));
        ASSERT_NE(brush, 0);
        FillRect(canvas.dc, &rect, reinterpret_cast<HBRUSH>(brush));
        EXPECT_EQ(GetBkMode(canvas.dc), TRANSPARENT);
        for (const POINT& at : {POINT{1, 1}, POINT{rect.right - 2, rect.bottom - 2}})
            EXPECT_EQ(GetPixel(canvas.dc, at.x, at.y), GetPixel(background.dc, origin.x + at.x, origin.y + at.y));
    }
    EXPECT_GE(labels, 3);

    HWND pass = make_box(kBoxPass);
    ASSERT_NE(pass, nullptr);
    HWND result = GetDlgItem(pass, kBoxResultEdit);
    ASSERT_NE(result, nullptr);
    Canvas canvas(8, 8);
    const LRESULT brush =
        SendMessageW(pass, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(canvas.dc), reinterpret_cast<LPARAM>(result));
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(brush_panel ? brush_panel : GetStockObject(WHITE_BRUSH)));
}

// The fee estimate reads the network, so the click only starts it: the confirmation opens when the
// estimate arrives, and further clicks meanwhile neither estimate again nor ask twice.
TEST_F(TaskPopupWindow, InscribeArtworkAsksAfterTheEstimateArrives) {
    TempDataDir dir;
    const std::string path = dir.root + "/art.png";
    test_write_file(path, std::string(3000, 'x'));
    HWND box = make_box(kBoxMintArtwork);
    ASSERT_NE(box, nullptr);
    box_state_of(box)->file_path = path;
    set_box_confirmation_for_tests(cancel_and_keep_text);

    click_action(box);
    click_action(box);
    EXPECT_EQ(confirmations, 0);
    EXPECT_EQ(box_state_of(box)->estimate_pending, 1);

    ASSERT_TRUE(deliver_next_result());
    EXPECT_EQ(confirmations, 1);
    EXPECT_NE(last_confirmation.find("2 KB. Miner fee is about unknown"), std::string::npos);
    EXPECT_EQ(box_state_of(box)->estimate_pending, 0);
    EXPECT_EQ(action_busy.load(), 0);
    MSG message = {};
    EXPECT_FALSE(PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_NOREMOVE));

    // A popup closed before its estimate arrives asks nothing.
    click_action(box);
    DestroyWindow(box);
    ASSERT_TRUE(deliver_next_result());
    EXPECT_EQ(confirmations, 1);
}

std::vector<PassJob> started_passes;
bool record_pass(const PassJob& job) {
    started_passes.push_back(job);
    return true;
}
bool accept_and_keep_text(HWND, const std::string& text) {
    ++confirmations;
    last_confirmation = text;
    return true;
}

// The recipient's address is resolved on a worker and shown in the confirmation, which opens only
// when it arrives; the confirmed pass goes to that very address. The action flag is held from the
// click until the pass's result, and given back on Cancel, on an error, or when the popup closed.
TEST_F(TaskPopupWindow, PassConfirmsTheResolvedAddressAndPassesToIt) {
    TempDataDir dir;
    const std::string bob = "18pBoqRpHUYf9udsab5G9LT3vQUPxEyMFf";
    const std::string domain = service_settings().paymail_domain;
    test_write_file(paymail_registry_path(), R"({"names":{"bob":{"ordAddress":")" + bob + R"("}}})");
    started_passes.clear();
    set_pass_start_for_tests(record_pass);
    HWND box = make_box(kBoxPass);
    ASSERT_NE(box, nullptr);

    click_action(box); // no recipient yet
    EXPECT_EQ(status(), "Pick an artwork and their paymail.");
    EXPECT_EQ(action_busy.load(), 0);

    SetDlgItemTextW(box, kBoxPaymailEdit, L"bob");
    set_box_confirmation_for_tests(cancel_and_keep_text);
    click_action(box);
    click_action(box);
    EXPECT_EQ(confirmations, 0);
    EXPECT_EQ(box_state_of(box)->address_pending, 1);
    EXPECT_EQ(action_busy.load(), 1);
    ASSERT_TRUE(deliver_next_result());
    EXPECT_EQ(confirmations, 1);
    EXPECT_NE(last_confirmation.find("\n\nTo: bob@" + domain + " (" + bob + ")\n\n"), std::string::npos)
        << last_confirmation;
    EXPECT_EQ(box_state_of(box)->address_pending, 0);
    EXPECT_EQ(action_busy.load(), 0) << "Cancel gives the flag back";
    EXPECT_TRUE(started_passes.empty());
    MSG message = {};
    EXPECT_FALSE(PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_NOREMOVE));

    set_box_confirmation_for_tests(accept_and_keep_text);
    click_action(box);
    ASSERT_TRUE(deliver_next_result());
    ASSERT_EQ(started_passes.size(), 1u);
    EXPECT_EQ(started_passes[0].ord_address, bob);
    EXPECT_EQ(started_passes[0].recipient, "bob");
    EXPECT_EQ(started_passes[0].artwork_id, art_rows[0].key);
    EXPECT_EQ(action_busy.load(), 1) << "held for the pass's own result";
    EXPECT_EQ(status().rfind("Passing artwork and certificate in Cofferly", 0), 0u) << status();

    // A recipient that cannot be resolved is said in the popup and the status line.
    action_busy = 0;
    SetDlgItemTextW(box, kBoxPaymailEdit, L"bob+1");
    click_action(box);
    ASSERT_TRUE(deliver_next_result());
    EXPECT_EQ(confirmations, 2);
    EXPECT_EQ(status(), std::string("error: ") + kRecipientAlphabetError);
    // The popup says it as a sentence.
    EXPECT_EQ(line_of(box, kBoxResultEdit), "A" + std::string(kRecipientAlphabetError).substr(1));
    EXPECT_EQ(action_busy.load(), 0);

    // A popup closed before its address arrives asks nothing and passes nothing.
    SetDlgItemTextW(box, kBoxPaymailEdit, L"bob");
    click_action(box);
    DestroyWindow(box);
    ASSERT_TRUE(deliver_next_result());
    EXPECT_EQ(confirmations, 2);
    EXPECT_EQ(started_passes.size(), 1u);
    EXPECT_EQ(action_busy.load(), 0);
    set_pass_start_for_tests(nullptr);
}

TEST(TaskPopup, PassConfirmationNamesWhereTheCoinsGo) {
    const std::string domain = service_settings().paymail_domain;
    const std::string tail = "\n\nBoth move, and the title row is in the same transaction. Cofferly will prompt.";
    EXPECT_EQ(pass_confirm_text("bob@" + domain, "1Bob", false),
              "Pass the artwork and its certificate?\n\nTo: bob@" + domain + " (1Bob)" + tail);
    EXPECT_EQ(pass_confirm_text("", "1Bob", false), "Pass the artwork and its certificate?\n\nTo: 1Bob" + tail);
    EXPECT_EQ(pass_confirm_text("carol@" + domain, "1Carol", true),
              "Pass the artwork and its certificate?\n\nTo: carol@" + domain +
                  " (1Carol)\nThis address was named by the local address service on this computer, not by " + domain +
                  "." + tail);
}

// A pass that went through stays in the popup's result box and in the status line; the quiet
// refresh that follows must not replace it.
TEST_F(TaskPopupWindow, PassResultStaysVisible) {
    HWND pass = make_box(kBoxPass);
    ASSERT_NE(pass, nullptr);
    const std::string passed = "success: passed the artwork and its certificate to bob.";
    auto record = std::make_unique<JobResultText>();
    record->text = passed;
    action_busy = 1;
    handle_job_result(kOpPass, reinterpret_cast<LPARAM>(record.release()));
    EXPECT_EQ(action_busy.load(), 0);
    EXPECT_EQ(line_of(pass, kBoxResultEdit), passed);
    EXPECT_EQ(status(), passed);

    for (WPARAM code : {kOpInscribe, kOpCertificate, kOpPairResult}) {
        SCOPED_TRACE(code);
        auto done = std::make_unique<JobResultText>();
        done->text = "success: inscribed";
        handle_job_result(code, reinterpret_cast<LPARAM>(done.release()));
        EXPECT_EQ(status(), code == kOpPairResult ? "Paired successfully." : "success: inscribed");
    }
}

// Every action gives back the Mint certificate button it took, and only a certificate job says a
// certificate was inscribed.
TEST_F(TaskPopupWindow, CertificatePopupFollowsEveryActionButSaysOnlyItsOwn) {
    HWND mint = make_box(kBoxMintCertificate);
    ASSERT_NE(mint, nullptr);
    HWND button = GetDlgItem(mint, kBoxAction);
    ASSERT_NE(button, nullptr);
    for (WPARAM code : {kOpConnect, kOpOwnership, kOpPairCheck, kOpPairResult, kOpLookup, kOpSaleStep, kOpInscribe,
                        kOpPass, kOpCertificate}) {
        SCOPED_TRACE(code);
        set_cert_boxes_busy(L"Already working. Wait for this step to finish.", false);
        ASSERT_FALSE(IsWindowEnabled(button));
        action_busy = 1;
        handle_job_result(code, 0);
        EXPECT_EQ(action_busy.load(), 0);
        EXPECT_TRUE(IsWindowEnabled(button));
        EXPECT_EQ(line_of(mint, kBoxBusyLine), "");
    }
    for (WPARAM code : {kOpInscribe, kOpPass, kOpCertificate}) {
        SCOPED_TRACE(code);
        SetDlgItemTextW(mint, kBoxBusyLine, L"");
        auto done = std::make_unique<JobResultText>();
        done->text = "success";
        handle_job_result(code, reinterpret_cast<LPARAM>(done.release()));
        EXPECT_EQ(line_of(mint, kBoxBusyLine) == "Certificate inscribed.", code == kOpCertificate);
    }
    // A refusal reads as a sentence in the popup, and in red on the status line.
    auto refused = std::make_unique<JobResultText>();
    refused->text = "error: could not read the artwork inscription.";
    handle_job_result(kOpCertificate, reinterpret_cast<LPARAM>(refused.release()));
    EXPECT_EQ(line_of(mint, kBoxBusyLine), "Could not read the artwork inscription.");
    EXPECT_EQ(status(), "error: could not read the artwork inscription.");
}

// Remove acts on the list the user picked an item in last, although the click on Remove has moved
// the focus away from it.
TEST_F(TaskPopupWindow, RemoveActsOnTheListPickedLast) {
    TempDataDir dir;
    const std::string cert = std::string(64, 'c') + "_0";
    const std::string art = std::string(64, 'a') + "_0";
    ASSERT_EQ(art_folder_create("Shelf"), "success");
    ASSERT_EQ(art_folder_add("Shelf", cert, false), "success");
    ASSERT_EQ(art_folder_add("Shelf", art, true), "success");
    HWND box = make_box(kBoxFolders);
    ASSERT_NE(box, nullptr);
    HWND certs = GetDlgItem(box, kBoxFolderCerts);
    HWND arts = GetDlgItem(box, kBoxFolderArts);
    ASSERT_EQ(SendMessageW(certs, LB_GETCOUNT, 0, 0), 1);
    ASSERT_EQ(SendMessageW(arts, LB_GETCOUNT, 0, 0), 1);
    auto pick = [box](HWND list, int id) {
        SendMessageW(list, LB_SETCURSEL, 0, 0);
        SendMessageW(box, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    };
    pick(certs, kBoxFolderCerts);
    pick(arts, kBoxFolderArts);
    SetFocus(GetDlgItem(box, kBoxUnfile));
    SendMessageW(box, WM_COMMAND, MAKEWPARAM(kBoxUnfile, BN_CLICKED), 0);
    EXPECT_EQ(status(), "Back on the main list.");
    std::vector<ArtFolder> folders;
    std::string error;
    ASSERT_TRUE(load_art_folders(folders, error));
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(folders[0].arts.empty());
    EXPECT_EQ(folders[0].certs.size(), 1u);

    // A new folder is announced in words, not with the engine's bare "success".
    SetDlgItemTextW(box, kBoxNameEdit, L"Drawer");
    SendMessageW(box, WM_COMMAND, MAKEWPARAM(kBoxNewFolder, BN_CLICKED), 0);
    EXPECT_EQ(status(), "Folder created.");
}

// Results reach only this program's popups; windows of other processes are not read.
TEST_F(TaskPopupWindow, OnlyThisProcessWindowsCount) {
    HWND help = make_box(kBoxHelp);
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(window_of_this_process(help));
    EXPECT_FALSE(window_of_this_process(nullptr));
    HWND desktop = GetDesktopWindow();
    DWORD desktop_process = 0;
    GetWindowThreadProcessId(desktop, &desktop_process);
    if (desktop_process != GetCurrentProcessId()) {
        EXPECT_FALSE(window_of_this_process(desktop));
    }
    const std::vector<HWND> found = open_boxes_in_mode(kBoxHelp);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], help);
}

} // namespace
