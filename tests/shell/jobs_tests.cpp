#include "shell/jobs.h"
#include "shell/main_window.h"

#include "chain/coin_refresh.h"
#include "chain/step_wallet.h"
#include "platform/fs.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/gallery_state.h"
#include "shell/save_notice.h"
#include "shell/status_line.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

// A record that counts its live copies, to see who frees it.
struct Counted {
    static std::atomic<int> alive;
    Counted() { ++alive; }
    Counted(const Counted&) { ++alive; }
    Counted(Counted&&) noexcept { ++alive; }
    ~Counted() { --alive; }
};
std::atomic<int> Counted::alive{0};

std::atomic<int> entries_run{0};
void count_entry(Counted&) {
    ++entries_run;
}
void throwing_entry(Counted&) {
    throw std::runtime_error("read failed");
}

// A hidden top-level window posing as the main window, with a hidden status line, so that results
// can be handed over and their texts read back without a screen.
class MainWindowStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        main_window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        status_line = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(main_window, nullptr);
        action_busy = 0;
        coin_check_busy = 0;
        balance_busy = 0;
    }
    void TearDown() override {
        drain();
        DestroyWindow(status_line);
        DestroyWindow(main_window);
        status_line = nullptr;
        main_window = nullptr;
    }
    // Takes every posted result off the queue and frees it.
    void drain() {
        MSG message = {};
        while (PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_REMOVE))
            delete reinterpret_cast<JobResultText*>(message.lParam);
    }
    static std::string status() {
        wchar_t text[512] = {};
        GetWindowTextW(status_line, text, 512);
        return wide_to_utf8(text);
    }
};

TEST(JobResultRules, StatusTextByCode) {
    struct Row {
        WPARAM code;
        const char* text;
        bool pair_found;
        const char* shown;
    };
    const Row rows[] = {
        {kOpInscribe, "error: no coins", false, "error: no coins"},
        {kOpOwnership, "Live owner\n  someone", false, "Ownership is in the box."},
        {kOpStatusText, "Artwork inscriptions refreshed.", false, "Artwork inscriptions refreshed."},
        {kOpPairCheck, "", true, "Pair matches."},
        {kOpPairCheck, "", false, "Pair does not match."},
        {kOpPairResult, "success: paired", false, "Paired successfully."},
        {kOpPairResult, "error: not yours", false, "error: not yours"},
        {kOpPairResult, "Success", false, "Success"}, // the test is case-sensitive
        {kOpSaleStep, "success", false, "Gallery offer updated."},
        {kOpSaleStep, "error: frame moved", false, "error: frame moved"},
        {kOpLookup, "Current owner: x", false, "Owner and certificate are below."},
        {kOpLookup, "Live owner x", false, "Owner and certificate are below."},
        {kOpLookup, "No artwork with that id.", false, "No artwork with that id."},
        {kOpLookup, " Live owner", false, " Live owner"},
        {99, "anything", false, "anything"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.code) + " " + row.text);
        EXPECT_EQ(job_status_text(row.code, row.text, row.pair_found), row.shown);
    }
}

TEST(JobResultRules, WhichCodesReleaseTheActionFlag) {
    for (WPARAM code : {kOpInscribe, kOpOwnership, kOpConnect, kOpPairCheck, kOpPairResult, kOpSaleStep, kOpLookup,
                        kOpCertificate, kOpPass, WPARAM{10}, WPARAM{99}})
        EXPECT_TRUE(job_clears_action_busy(code)) << code;
    // A failed open must not free the flag of a chain action that is still running, nor may a fee
    // estimate, which runs before its action takes the flag.
    for (WPARAM code :
         {kOpArtRows, kOpStatusText, kOpOpenFailed, kOpOpenArt, kOpGalleryState, kOpFileCoin, kOpFeeEstimate})
        EXPECT_FALSE(job_clears_action_busy(code)) << code;
}

TEST(JobLauncher, ThreadRunsEntryAndFreesItsRecord) {
    entries_run = 0;
    ASSERT_TRUE(start_job(count_entry, Counted{}));
    eventually([] { return entries_run != 0 && Counted::alive == 0; });
    EXPECT_EQ(entries_run, 1);
    EXPECT_EQ(Counted::alive, 0);
}

// A job that throws must not end the program: it comes back as that job's error and releases the
// flag its result would have released.
TEST_F(MainWindowStandIn, ThrowingJobBecomesItsError) {
    coin_check_busy = 1;
    ASSERT_TRUE(start_job(throwing_entry, Counted{}, &coin_check_busy));
    MSG message = {};
    eventually([&] { return PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_REMOVE) != 0; });
    ASSERT_EQ(message.wParam, kOpJobFailed);
    handle_job_result(message.wParam, message.lParam);
    EXPECT_EQ(coin_check_busy, 0);
    EXPECT_EQ(status().rfind("error: ", 0), 0u) << status();
    eventually([] { return Counted::alive == 0; });
    EXPECT_EQ(Counted::alive, 0);
}

// A wallet change the disk refused shows in the error colour after a job, over a success but not
// over the job's own error.
TEST_F(MainWindowStandIn, RefusedWalletSaveShowsAfterAJob) {
    {
        WalletLock lock = lock_wallet();
        kv_wallet().save_pending = true;
        note_wallet_state_changed();
    }
    for (const char* text : {"Artwork inscriptions refreshed.", "error: no coins"}) {
        SCOPED_TRACE(text);
        auto record = std::make_unique<JobResultText>();
        record->text = text;
        handle_job_result(kOpStatusText, reinterpret_cast<LPARAM>(record.release()));
        EXPECT_EQ(status().rfind(text[0] == 'e' ? text : "error: the wallet file could not be saved", 0), 0u)
            << status();
        EXPECT_EQ(status_is_error, 1);
    }
    WalletLock lock = lock_wallet();
    kv_wallet().save_pending = false;
    note_wallet_state_changed();
}

// A save the disk refused shows beside the paid action's success and is written again on its own
// within seconds, with no further wallet operation; a read-only wallet file is refused and stays
// read-only until the user lifts the mark.
TEST_F(MainWindowStandIn, RefusedSaveIsWrittenAgainWithinSeconds) {
    struct Row {
        const char* name;
        bool read_only;
        const char* refusal;
    } rows[] = {{"disk full", false, kWalletNotSaved}, {"read-only file", true, kWalletReadOnly}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDataDir dir;
        reset_wallet_state_for_tests();
        write_test_wallet_file("w1");
        ASSERT_TRUE(load_wallet_id("w1"));
        const std::string path = wallet_file_path();
        const std::wstring wide_path = utf8_to_wide(path);
        const std::string before = test_read_file(path);
        if (row.read_only)
            EXPECT_TRUE(SetFileAttributesW(wide_path.c_str(), FILE_ATTRIBUTE_READONLY));
        else
            platform_set_write_budget_for_tests(0);
        {
            WalletLock lock = lock_wallet();
            kv_wallet().paymail = "changed";
            EXPECT_FALSE(save_wallet());
        }
        EXPECT_EQ(test_read_file(path), before);
        EXPECT_EQ(GetFileAttributesW(wide_path.c_str()) & FILE_ATTRIBUTE_READONLY,
                  row.read_only ? DWORD{FILE_ATTRIBUTE_READONLY} : DWORD{0});
        const std::string paid = "success: " + std::string(64, 'b');
        auto record = std::make_unique<JobResultText>();
        record->text = paid;
        handle_job_result(kOpStatusText, reinterpret_cast<LPARAM>(record.release()));
        EXPECT_EQ(status(), paid + "  " + row.refusal);
        handle_job_result(kOpArtRows, 0); // the refreshes after a payment leave both standing
        EXPECT_EQ(status(), paid + "  " + row.refusal);

        if (row.read_only)
            SetFileAttributesW(wide_path.c_str(), FILE_ATTRIBUTE_NORMAL);
        else
            platform_set_write_budget_for_tests(-1);
        MSG message = {};
        EXPECT_TRUE(eventually([&] {
            while (PeekMessageW(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
                DispatchMessageW(&message);
            return status() == paid;
        }));
        EXPECT_FALSE(wallet_view().save_pending);
        EXPECT_NE(test_read_file(path).find("changed"), std::string::npos);
        EXPECT_EQ(status(), paid);
        reset_wallet_state_for_tests();
    }
}

// A completed sale takes the sold frame's rows out of the seller's list at once; the other steps
// and a failed completion leave the list as it is.
TEST_F(MainWindowStandIn, CompletedSaleRemovesTheSoldRows) {
    // Every step reads the gallery again afterwards; here it reaches a port where nothing answers.
    const ServiceSettings saved = service_settings();
    ServiceSettings nowhere = saved;
    for (std::string* base : {&nowhere.woc_base, &nowhere.gorillapool_base, &nowhere.arc_base, &nowhere.platform_base})
        *base = "http://127.0.0.1:1";
    // Twenty refused history reads at WhatsOnChain's pace would outlast the wait below.
    nowhere.woc_pace = nowhere.host_pace;
    set_service_settings(nowhere);
    const std::string pic(64, 'a'), cert(64, 'c');
    SpotLoad frame;
    frame.spot = 3;
    frame.pic = pic;
    frame.cert = cert;
    gallery_spots = {frame};
    // A payment not known to have gone out is the engine's to hold (on disk); the window forgets it.
    const std::string not_known =
        "error: not known whether it was sent: a service ran out of time. Transaction " + std::string(64, '7') + ".";
    struct Row {
        std::int32_t action;
        std::string text;
        std::size_t rows_left;
        bool still_paid;
    } rows[] = {{1, "success", 3, false},
                {3, "error: that payment was already spent.", 3, false},
                {2, "error: broadcast failed: REJECTED", 3, false},
                {2, not_known, 3, false},
                {2, "success: paid", 3, true},
                {3, "success: sold", 1, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.action) + " " + row.text);
        paid_hangings = {"s1"};
        paying_hanging = row.action == 2 ? "s1" : "";
        art_rows.assign(3, KvCofferlyOrdRow{});
        art_rows[0].key = pic + "_0";
        art_rows[1].key = cert + "_0";
        art_rows[2].key = std::string(64, 'e') + "_0";
        auto result = std::make_unique<SaleStepResult>();
        result->text = row.text;
        result->action = row.action;
        result->frame = 3;
        result->show_txid = "s1";
        action_busy = 1;
        handle_job_result(kOpSaleStep, reinterpret_cast<LPARAM>(result.release()));
        EXPECT_EQ(action_busy, 0);
        EXPECT_EQ(art_rows.size(), row.rows_left);
        if (row.action == 2) {
            EXPECT_EQ(paid_hangings.count("s1"), row.still_paid ? 1u : 0u);
            EXPECT_EQ(paying_hanging, "");
        }
    }
    paid_hangings.clear();
    // The gallery reads end in results of their own, handled as the window would.
    int reads_back = 0;
    MSG message = {};
    eventually([&] {
        while (reads_back < 5 && PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_REMOVE)) {
            if (message.wParam == kOpGalleryState) ++reads_back;
            handle_job_result(message.wParam, message.lParam);
        }
        return reads_back == 5;
    });
    EXPECT_EQ(reads_back, 5);
    set_service_settings(saved);
    art_rows.clear();
    gallery_spots.clear();
}

// The sale window acts for the wallet it was opened under: a switch closes it.
TEST_F(MainWindowStandIn, WalletSwitchClosesTheSaleWindow) {
    TempDataDir dir;
    const auto use_wallet = [](const char* id) {
        WalletLock lock = lock_wallet();
        kv_wallet().wallet_id = id;
        note_wallet_state_changed();
    };
    use_wallet("w1");
    refresh_connection_status(nullptr, false);
    sale_window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND opened = sale_window;
    refresh_connection_status(nullptr, false);
    EXPECT_EQ(sale_window, opened) << "the same wallet keeps it";
    use_wallet("w2");
    refresh_connection_status(nullptr, false);
    EXPECT_EQ(sale_window, nullptr);
    EXPECT_FALSE(IsWindow(opened));
    use_wallet("");
}

// While a step's transaction goes out (on its own thread, the wallet mutex let go), Unbind and
// Connect say which step it is and change nothing; once it is answered, they go through.
TEST_F(MainWindowStandIn, UnbindAndConnectWaitForAStepGoingOut) {
    TempDataDir dir;
    const std::string refused = "A pairing is going out. Unbind or Connect once it is answered.";
    const struct {
        int button;
        bool answered; // before the click
        std::string shown;
    } rows[] = {
        {kIdUnbind, false, refused},
        {kIdConnect, false, refused},
        {kIdUnbind, true, "Unbound. Connect again to pick a wallet in Cofferly."},
        {kIdConnect, true, "error: connect is for apps, not the Cofferly vault."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shown + (row.button == kIdConnect ? " (Connect)" : " (Unbind)"));
        action_busy = 0;
        SetWindowTextW(status_line, L"before");
        std::promise<void> answer;
        std::atomic<bool> out{false};
        std::thread step([&] {
            const PayingStepScope pairing("pair");
            const GoingOut going_out;
            out = true;
            answer.get_future().wait();
        });
        eventually([&] { return out.load(); });
        if (row.answered) {
            answer.set_value();
            step.join();
        }
        shell_wnd_proc(main_window, WM_COMMAND, MAKEWPARAM(row.button, BN_CLICKED), 0);
        if (!row.answered) {
            answer.set_value();
            step.join();
        }
        // Connect goes through as a job; its answer reaches the status line.
        MSG message = {};
        if (row.button == kIdConnect && row.answered && eventually([&] {
                return PeekMessageW(&message, main_window, kMsgJobResult, kMsgJobResult, PM_REMOVE) != 0;
            }))
            handle_job_result(message.wParam, message.lParam);
        EXPECT_EQ(status(), row.shown);
        EXPECT_EQ(action_busy, 0);
    }
}

TEST(JobPosting, RecordIsFreedWhenThereIsNoMainWindow) {
    main_window = nullptr;
    EXPECT_FALSE(post_to_main_window(kMsgJobResult, kOpStatusText, std::make_unique<Counted>()));
    EXPECT_EQ(Counted::alive, 0);
    EXPECT_FALSE(post_job_text(kOpStatusText, "lost"));
}

TEST(JobPosting, BalanceJobReleasesItsFlagWithoutAMainWindow) {
    main_window = nullptr;
    balance_busy = 1;
    std::uint8_t placeholder = 0;
    job_balance_status(placeholder);
    EXPECT_EQ(balance_busy, 0);
}

TEST_F(MainWindowStandIn, PostedRecordBelongsToTheReceiver) {
    ASSERT_TRUE(post_to_main_window(kMsgJobResult + 50, 0, std::make_unique<Counted>()));
    EXPECT_EQ(Counted::alive, 1);
    MSG message = {};
    ASSERT_TRUE(PeekMessageW(&message, main_window, kMsgJobResult + 50, kMsgJobResult + 50, PM_REMOVE));
    delete reinterpret_cast<Counted*>(message.lParam);
    EXPECT_EQ(Counted::alive, 0);
}

TEST_F(MainWindowStandIn, NullRecordsOnlyReleaseTheirFlag) {
    struct Row {
        WPARAM code;
        std::uint8_t action_after;
        std::uint8_t coin_check_after;
    };
    const Row rows[] = {
        {kOpInscribe, 0, 1}, {kOpOwnership, 0, 1}, {kOpStatusText, 1, 1}, {kOpOpenFailed, 1, 1},
        {kOpOpenArt, 1, 1},  {kOpPairCheck, 0, 1}, {kOpPairResult, 0, 1}, {kOpGalleryState, 1, 1},
        {kOpLookup, 0, 1},   {kOpFileCoin, 1, 0},  {WPARAM{42}, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        action_busy = 1;
        coin_check_busy = 1;
        SetWindowTextW(status_line, L"before");
        handle_job_result(row.code, 0);
        EXPECT_EQ(action_busy, row.action_after);
        EXPECT_EQ(coin_check_busy, row.coin_check_after);
        EXPECT_EQ(status(), "before");
    }
}

TEST_F(MainWindowStandIn, TextResultsReachTheStatusLine) {
    struct Row {
        WPARAM code;
        const char* text;
        const char* shown;
    };
    const Row rows[] = {
        {kOpStatusText, "No Artwork inscriptions in this wallet yet.", "No Artwork inscriptions in this wallet yet."},
        {kOpOpenFailed, "error: could not read that artwork.", "error: could not read that artwork."},
        {kOpLookup, "Current owner: someone", "Owner and certificate are below."},
        {kOpPairResult, "error: the certificate names another artwork", "error: the certificate names another artwork"},
        {WPARAM{42}, "success but unknown", "success but unknown"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        action_busy = 1;
        auto record = std::make_unique<JobResultText>();
        record->text = row.text;
        handle_job_result(row.code, reinterpret_cast<LPARAM>(record.release()));
        EXPECT_EQ(status(), row.shown);
        EXPECT_EQ(action_busy, job_clears_action_busy(row.code) ? 0 : 1);
    }
}

TEST_F(MainWindowStandIn, FilingResults) {
    struct Row {
        std::uint8_t gone;
        std::uint8_t is_artwork;
        const char* text;
        const char* shown;
    };
    const Row rows[] = {
        {0, 1, "success", "Artwork filed. It has left the main list."},
        {0, 0, "success", "Certificate filed. It has left the main list."},
        {0, 1, "success, twice", "success, twice"},
        {0, 0, "error: folder not found", "error: folder not found"},
        {1, 1, "", "That coin has left this wallet."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        coin_check_busy = 1;
        action_busy = 1;
        auto record = std::make_unique<FileCoinResult>();
        record->box = main_window; // not a task popup: nothing may be refreshed in it
        record->gone = row.gone;
        record->is_artwork = row.is_artwork;
        record->coin_id = std::string(64, 'a') + "_0";
        record->text = row.text;
        handle_job_result(kOpFileCoin, reinterpret_cast<LPARAM>(record.release()));
        EXPECT_EQ(status(), row.shown);
        EXPECT_EQ(coin_check_busy, 0);
        EXPECT_EQ(action_busy, 1);
    }
}

TEST(MainLayout, ColumnsAndFooterFollowTheClientSize) {
    struct Row {
        int width;
        int height;
        bool update;
        int column_x[4];
        int column_width;
        int update_width;
        int help_x;
    };
    const Row rows[] = {
        {980, 820, false, {18, 256, 494, 732}, 228, 120, 146},
        {980, 820, true, {18, 256, 494, 732}, 228, 980 - 294, 980 - 266},
        {1164, 861, false, {18, 302, 586, 870}, 274, 120, 146},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + (row.update ? " update" : ""));
        const MainLayout layout = compute_main_layout(row.width, row.height, row.update);
        auto rect_of = [&layout](int id) {
            for (const PlacedControl& placed : layout.controls)
                if (placed.id == id) return placed.rect;
            ADD_FAILURE() << "no control " << id;
            return RECT{};
        };
        const int first_row[4] = {kIdMintArtwork, kIdMintCertificate, kIdPair, kIdPass};
        const int second_row[4] = {kIdFolders, kIdCheck, kIdOwnership, kIdLookUp};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(rect_of(first_row[i]).left, row.column_x[i]);
            EXPECT_EQ(rect_of(second_row[i]).left, row.column_x[i]);
            EXPECT_EQ(rect_of(first_row[i]).right - rect_of(first_row[i]).left, row.column_width);
        }
        EXPECT_EQ(rect_of(kIdUpdateLine).right - rect_of(kIdUpdateLine).left, row.update_width);
        EXPECT_EQ(rect_of(kIdHelp).left, row.help_x);
        EXPECT_EQ(rect_of(kIdClose).left, row.width - 146);
        EXPECT_EQ(layout.list_panel.bottom, std::max(row.height - 118, 468));
        const RECT list = rect_of(kIdArtList);
        EXPECT_EQ(list.left, layout.list_panel.left + 8);
        EXPECT_EQ(list.bottom, layout.list_panel.bottom - 8);
    }
}

// On a 1024 x 768 screen (its work area above a 40-pixel taskbar) the main window opens inside the
// work area, may be held there, and shows every control, Help and Close at its foot included.
TEST(MainLayout, FitsA1024By768Screen) {
    struct Row {
        RECT work;
        RECT outer;
    };
    const Row rows[] = {
        {{0, 0, 1024, 728}, {0, 0, 1024, 728}},
        {{0, 0, 1024, 768}, {0, 0, 1024, 768}},
        {{0, 0, 1920, 1040}, {370, 70, 1550, 970}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.work.bottom));
        const RECT outer = main_window_rect(row.work);
        EXPECT_TRUE(EqualRect(&outer, &row.outer)) << outer.left << "," << outer.top << "-" << outer.right;
        const POINT least = main_window_min_track(row.work);
        EXPECT_TRUE(least.x <= row.work.right && least.y <= row.work.bottom);
        RECT frame = {0, 0, 0, 0};
        AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_COMPOSITED | WS_EX_APPWINDOW);
        const int width = (outer.right - outer.left) - (frame.right - frame.left);
        const int height = (outer.bottom - outer.top) - (frame.bottom - frame.top);
        for (bool update : {false, true}) {
            const MainLayout layout = compute_main_layout(width, height, update);
            for (const PlacedControl& placed : layout.controls) {
                const RECT& at = placed.rect;
                EXPECT_TRUE(at.left >= 0 && at.right <= width && at.bottom <= height) << placed.id;
                EXPECT_TRUE(placed.id != kIdStatusLine || at.top >= layout.list_panel.bottom);
            }
        }
    }
}

TEST(Banner, TrimStopsAboveTheDarkStrip) {
    auto column = [](int height, int bright_rows, std::uint32_t bright) {
        std::vector<std::uint32_t> sums(static_cast<std::size_t>(height), 30);
        for (int y = 0; y < bright_rows; ++y)
            sums[static_cast<std::size_t>(y)] = bright;
        return sums;
    };
    EXPECT_EQ(banner_trim_rows(column(224, 196, 200)), 196);
    EXPECT_EQ(banner_trim_rows(column(224, 224, 200)), 224);
    EXPECT_EQ(banner_trim_rows(column(224, 224, 80)), 224);  // 80 is still dark
    EXPECT_EQ(banner_trim_rows(column(224, 100, 200)), 224); // nothing bright in the lower half
    EXPECT_EQ(banner_trim_rows(column(16, 8, 200)), 16);     // 8 rows are too few to keep
    EXPECT_EQ(banner_trim_rows(column(16, 9, 200)), 9);
}

TEST(Banner, LeftPartKeepsItsScaleWhenItFits) {
    // 146 / 196 * 720 = 536.3
    const std::vector<BannerPart> split = banner_parts(1280, 196, 1164);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0].dest.right, 536);
    EXPECT_EQ(split[0].source_width, 720);
    EXPECT_EQ(split[1].dest.left, 536);
    EXPECT_EQ(split[1].dest.right, 1164);
    EXPECT_EQ(split[1].source_x, 720);
    EXPECT_EQ(split[1].source_width, 560);

    for (const auto& [width, client] : {std::pair{720, 1164}, std::pair{1280, 536}, std::pair{1280, 400}}) {
        const std::vector<BannerPart> whole = banner_parts(width, 196, client);
        ASSERT_EQ(whole.size(), 1u);
        EXPECT_EQ(whole[0].dest.right, client);
        EXPECT_EQ(whole[0].source_width, width);
    }
}

} // namespace
