#include "shell/cert_choice.h"

#include "ordinals/content_load.h"
#include "support/temp_dir.h"
#include "task_popup_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// The popups follow what the certificates at hand name: Mint certificate opens on an artwork that
// has none and says which artwork the new one names, also when its art name is another artwork's;
// Pair opens on the certificate that names the chosen artwork and tells same-titled ones apart.
TEST_F(TaskPopupWindow, PopupsChooseWhatTheCertificatesName) {
    TempDataDir dir;
    const std::string sunset = art_rows[0].key;
    for (const auto& [id, name] : {std::pair<char, const char*>{'b', "Dusk"}, {'9', "Dawn"}}) {
        art_rows.push_back(art_rows[0]);
        art_rows.back().key = std::string(64, id) + "_0";
        art_rows.back().name = name;
    }
    const KvCofferlyOrdRow dusk = art_rows[1];
    const KvCofferlyOrdRow dawn = art_rows[2];
    // A certificate of Sunset, then two titled "Dusk": one names another wallet's artwork, one Dusk.
    const struct {
        char id;
        const char* title;
        std::string names;
    } certificates[] = {{'c', "Sunset", sunset}, {'d', "Dusk", std::string(64, 'e') + "_0"}, {'f', "Dusk", dusk.key}};
    for (const auto& c : certificates) {
        KvCofferlyOrdRow row;
        row.key = std::string(64, c.id) + "_0";
        row.name = c.title;
        row.type = "application/json";
        row.kind = "Certificate";
        art_rows.push_back(row);
        const std::string body = "{\"pic\":\"" + c.names + "\",\"sha256\":\"" + std::string(64, '0') + "\"}";
        std::string type;
        Bytes content;
        ord_cache_store(row.key, "application/json", Bytes(body.begin(), body.end()), c.title, type, content);
    }
    set_box_confirmation_for_tests(cancel_and_keep_text);

    HWND mint = make_box(kBoxMintCertificate);
    ASSERT_NE(mint, nullptr);
    EXPECT_EQ(selected_row_id(GetDlgItem(mint, kBoxCombo)), dawn.key) << "Sunset and Dusk have theirs";
    SetDlgItemTextW(mint, kBoxNameEdit, L"Sunset");
    click_action(mint);
    EXPECT_EQ(last_confirmation, "Inscribe a certificate for \"Dawn\"?\n\nIt names the artwork " + dawn.key +
                                     ".\n\nThe art name \"Sunset\" is another artwork's (" + sunset +
                                     "); this certificate does not name that one.\n\nCofferly will prompt. The fee "
                                     "comes from the messenger account.");
    EXPECT_EQ(action_busy.load(), 0);
    // Picked by hand, an artwork that has one says so.
    HWND artworks = GetDlgItem(mint, kBoxCombo);
    SendMessageW(artworks, CB_SETCURSEL, 0, 0);
    click_action(mint);
    EXPECT_NE(last_confirmation.find(". This artwork already has a certificate."), std::string::npos)
        << last_confirmation;

    HWND pair = make_box(kBoxPair);
    ASSERT_NE(pair, nullptr);
    artworks = GetDlgItem(pair, kBoxCombo);
    HWND certs = GetDlgItem(pair, kBoxCertCombo);
    // Dawn has no certificate: Dusk's is not left chosen, and the first in the list is.
    const auto named_by = [&](const std::string& artwork) {
        return std::string(64, artwork == dusk.key ? 'f' : 'c') + "_0";
    };
    EXPECT_EQ(selected_row_id(certs), named_by(selected_row_id(artworks)));
    for (LRESULT i = 0; i < SendMessageW(artworks, CB_GETCOUNT, 0, 0); ++i) {
        SendMessageW(artworks, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
        SendMessageW(pair, WM_COMMAND, MAKEWPARAM(kBoxCombo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(artworks));
        SCOPED_TRACE(selected_row_id(artworks));
        EXPECT_EQ(selected_row_id(certs), named_by(selected_row_id(artworks)));
    }
    wchar_t label[256] = {};
    SendMessageW(certs, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(label));
    EXPECT_EQ(wide_to_utf8(label), "Dusk  " + std::string(12, 'f') + "...");
    SendMessageW(certs, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(label));
    EXPECT_EQ(wide_to_utf8(label), "Sunset");
}

} // namespace
