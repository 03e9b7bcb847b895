#include "shell/art_list.h"

#include "fakes/fake_clock.h"
#include "ordinals/ord_listing.h"
#include "shell/gallery_state.h"
#include "shell/jobs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/codecs.h"
#include "wallet/host_pace.h"
#include "wallet/session.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <vector>

namespace {

const std::string kTxid = std::string(64, 'a');
const std::string kTxidUpper = std::string(64, 'A');

KvCofferlyOrdRow make_row(const std::string& key, const std::string& name, const std::string& type = "image/png",
                          const std::string& kind = "Artwork") {
    KvCofferlyOrdRow row;
    row.key = key;
    row.name = name;
    row.type = type;
    row.kind = kind;
    return row;
}

class ArtListTest : public testing::Test {
protected:
    void SetUp() override {
        art_rows.clear();
        art_sort_order = 1;
    }
    void TearDown() override { SetUp(); }

    std::vector<std::string> listed_names(const std::set<std::string>& filed = {}) {
        std::vector<std::string> names;
        for (std::size_t index : listed_row_indices(filed))
            names.push_back(art_rows[index].name.empty() ? art_rows[index].key : art_rows[index].name);
        return names;
    }
};

TEST(ArtRows, KindsAndTokenFilter) {
    const struct {
        const char* name;
        KvCofferlyOrdRow row;
        bool artwork;
        bool certificate;
        bool may_be_art;
    } cases[] = {
        {"artwork by kind", make_row("k", "", "application/json", "Artwork"), true, false, true},
        {"artwork by image type", make_row("k", "", "image/png", ""), true, false, true},
        {"certificate by kind", make_row("k", "", "text/plain", "Certificate"), false, true, true},
        {"certificate by json type", make_row("k", "", "application/json", ""), false, true, true},
        {"plain text", make_row("k", "", "text/plain", ""), false, false, true},
        {"kind needs exact case", make_row("k", "", "text/plain", "artwork"), false, false, true},
        {"bsv-20 type", make_row("k", "", "application/bsv-20", ""), false, false, false},
        {"bsv20 type", make_row("k", "", "application/bsv20", ""), false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(row_is_artwork(c.row), c.artwork);
        EXPECT_EQ(row_is_certificate(c.row), c.certificate);
        EXPECT_EQ(row_may_be_art(c.row), c.may_be_art);
    }
    KvCofferlyOrdRow token = make_row("k", "");
    token.token_id = kTxid + "_0";
    EXPECT_FALSE(row_may_be_art(token));
}

// A refresh says what failed: the listing's own error, or that the index gave nothing at all.
TEST(ArtRows, RefreshTextSaysWhatFailed) {
    // The texts name the services' pauses: on hosts of this test's own, a pause that another test
    // or a job still under way leaves on the shipped hosts changes none of them.
    const ServiceSettings shipped = service_settings();
    ServiceSettings own = shipped;
    own.woc_base = "https://woc.refresh-text.test/v1/bsv/main";
    own.gorillapool_base = "https://gorillapool.refresh-text.test/api";
    own.arc_base = "https://arc.refresh-text.test";
    own.platform_base = "https://platform.refresh-text.test";
    set_service_settings(own);
    struct Row {
        const char* listing;
        bool index_read;
        bool none;
        const char* shown;
        const char* notice = ""; // a damaged store found on the way
        bool platform_read = true;
    };
    const Row rows[] = {
        {"", true, false, "Artwork inscriptions refreshed."},
        {"", true, true, "No Artwork inscriptions in this wallet yet."},
        {"error: wallet changed.", true, false, "error: wallet changed."},
        {kListServicesUnavailable, false, true, kListServicesUnavailable},
        {"", false, false,
         "error: the ordinals index could not be read. The list shows only what this wallet already knew."},
        {"", false, true,
         "error: the ordinals index could not be read. The list shows only what this wallet already knew."},
        {"", true, false, "error: the list of spent coins was damaged.", "error: the list of spent coins was damaged."},
        {"error: wallet changed.", true, false, "error: wallet changed. The list of spent coins was damaged.",
         "error: the list of spent coins was damaged."},
        {"", true, false,
         "Artwork inscriptions refreshed. The platform sent an empty answer, so what only it lists may be missing. "
         "Try again.",
         "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.listing) + (row.index_read ? " read" : " unread"));
        EXPECT_EQ(inscriptions_refresh_text(row.listing, row.index_read, row.none, row.notice, row.platform_read),
                  row.shown);
    }
    FakeClock clock; // while WhatsOnChain keeps every request away, trying again at once is no remedy
    host_pause(service_settings().woc_base, 85000);
    EXPECT_EQ(inscriptions_refresh_text(kListIndexUnavailable, false, true),
              "error: GorillaPool did not answer. The list shows only what this wallet already knew, and its 1-sat "
              "coins are held back from spend. WhatsOnChain asks to wait 85 s. Try again then.");
    host_pace_forget(service_settings().woc_base);
    set_service_settings(shipped);
}

// A wallet without artwork that is buying a gallery piece lists that piece: the caption counts it,
// and the status does not say the wallet has nothing, whichever of the two results comes first.
TEST(ArtRows, GalleryRowsCountInTheCaptionAndStatus) {
    TempDataDir dir;
    reset_wallet_state_for_tests();
    write_test_wallet_file("w1");
    ASSERT_TRUE(load_wallet_id("w1"));
    main_window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND caption = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, main_window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdListCaption)), nullptr, nullptr);
    art_list = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD, 0, 0, 10, 10, main_window, nullptr, nullptr, nullptr);
    status_line = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    SpotLoad frame;
    frame.pic = std::string(64, 'c');
    frame.owner = std::string(66, 'b');
    frame.shown = true;
    frame.asks = {SpotAsk{}};
    frame.asks[0].buyer = to_lower_copy(current_identity_pubkey());
    for (bool status_first : {true, false}) {
        SCOPED_TRACE(status_first ? "status first" : "gallery first");
        gallery_spots = status_first ? std::vector<SpotLoad>{} : std::vector<SpotLoad>{frame};
        refresh_art_list();
        auto record = std::make_unique<JobResultText>();
        record->text = inscriptions_refresh_text("", true, true);
        handle_job_result(kOpStatusText, reinterpret_cast<LPARAM>(record.release()));
        gallery_spots = {frame};
        refresh_art_list();
        wchar_t text[64] = {};
        GetWindowTextW(caption, text, 64);
        EXPECT_STREQ(text, L"Artwork    1");
        GetWindowTextW(status_line, text, 64);
        EXPECT_STREQ(text, L"Artwork inscriptions refreshed.");
    }
    gallery_spots.clear();
    DestroyWindow(status_line);
    DestroyWindow(main_window);
    status_line = art_list = main_window = nullptr;
    reset_wallet_state_for_tests();
}

TEST(ArtRows, NormalizedKeys) {
    const struct {
        std::string key;
        std::string normalized;
    } cases[] = {
        {kTxidUpper + "_0", kTxid},
        {kTxid + "_12", kTxid},
        {kTxidUpper + ":1", kTxid + ":1"},
        {kTxidUpper, kTxid},
        {"ABC_0", "abc_0"},
        {"", ""},
        {std::string(63, 'B') + "_0", std::string(63, 'b') + "_0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(normalize_outpoint_key(c.key), c.normalized);
    }
}

TEST_F(ArtListTest, SortsByNameBothWaysKeepingTies) {
    art_rows = {make_row("k1", "b"), make_row("k2", "A"), make_row("zz-key", ""), make_row("k4", "same"),
                make_row("k5", "SAME")};
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"A", "b", "same", "SAME", "zz-key"}));
    art_sort_order = -1;
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"zz-key", "same", "SAME", "b", "A"}));
}

TEST_F(ArtListTest, FiledRowsLeaveTheList) {
    art_rows = {make_row(kTxidUpper + "_0", "filed"), make_row(std::string(64, 'c') + "_0", "kept")};
    EXPECT_EQ(listed_names({kTxid}), (std::vector<std::string>{"kept"}));
}

TEST_F(ArtListTest, RemoveRowsByKeyKeepsTheOthersInOrder) {
    art_rows = {make_row(kTxid + "_0", "one"), make_row("other1", "two"), make_row(kTxidUpper, "three"),
                make_row("other2", "four")};
    art_rows.erase(remove_rows_by_key(art_rows.begin(), art_rows.end(), kTxidUpper + "_0"), art_rows.end());
    EXPECT_EQ(listed_names().size(), 2u);
    ASSERT_EQ(art_rows.size(), 2u);
    EXPECT_EQ(art_rows[0].name, "two");
    EXPECT_EQ(art_rows[1].name, "four");
}

TEST_F(ArtListTest, ComboHoldsRowsOrPlaceholder) {
    HWND combo = CreateWindowExW(0, L"COMBOBOX", L"", WS_POPUP | CBS_DROPDOWNLIST, 0, 0, 200, 200, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(combo, nullptr);
    art_rows = {make_row("cert-key", "", "application/json", ""), make_row("art-key", "Sunset")};
    fill_art_combo(combo, true);
    EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(selected_row_id(combo), "art-key");
    fill_art_combo(combo, false);
    EXPECT_EQ(selected_row_id(combo), "cert-key");

    art_rows = {make_row("cert-key", "", "application/json", "")};
    fill_art_combo(combo, true);
    wchar_t text[64] = {};
    SendMessageW(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, L"No artwork in this wallet");
    EXPECT_EQ(selected_row_id(combo), "");
    // A row list that shrank after the combo was filled must not be read past its end.
    fill_art_combo(combo, false);
    art_rows.clear();
    EXPECT_EQ(selected_row_id(combo), "");
    DestroyWindow(combo);
}

} // namespace
