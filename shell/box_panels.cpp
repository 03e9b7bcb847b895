#include "shell/box_panels.h"

#include "shell/art_list.h"
#include "shell/cert_choice.h"
#include "shell/drawing.h"
#include "shell/folders_panel.h"
#include "shell/step_holds.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"
#include "wallet/session.h"
#include "wallet/settings.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>

namespace {

HWND make_label(HWND parent, const std::string& text, int x, int y, int width, int height, DWORD extra_style = 0) {
    HWND label = CreateWindowExW(0, L"STATIC", utf8_to_wide(text).c_str(), WS_CHILD | WS_VISIBLE | extra_style, x, y,
                                 width, height, parent, nullptr, app_instance, nullptr);
    if (label && font_body) SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_body), FALSE);
    return label;
}

HWND make_result_edit(HWND parent, int id, bool scrolls, DWORD extra_style = 0) {
    DWORD style = WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | extra_style;
    if (scrolls) style |= WS_VSCROLL;
    HWND edit = CreateWindowExW(0, L"EDIT", L"", style, 16, 0, 100, 40, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app_instance, nullptr);
    if (edit && font_body) SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font_body), FALSE);
    return edit;
}

// Says why the action button is grey while the engine holds the popup's step (step_holds.h).
void make_held_line(HWND parent, int x, int y, int width, int height) {
    HWND line = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_EDITCONTROL, x, y, width, height, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kBoxHeldLine)), app_instance, nullptr);
    if (line && font_body) SendMessageW(line, WM_SETFONT, reinterpret_cast<WPARAM>(font_body), FALSE);
}

void add_ownership_results(HWND window, const std::string& first_line) {
    make_result_edit(window, kBoxLiveOwner, true);
    make_result_edit(window, kBoxCertText, false);
    make_result_edit(window, kBoxLastSale, true);
    make_result_edit(window, kBoxHistory, true);
    make_readonly_field(window, kBoxArtworkField);
    make_readonly_field(window, kBoxCertField);
    make_copy_button(window, kBoxCopyArtwork);
    make_copy_button(window, kBoxCopyCert);
    SetDlgItemTextW(window, kBoxLiveOwner, utf8_to_wide(first_line).c_str());
}

void build_mint_artwork(HWND window) {
    make_label(window, "Name (optional)", 16, 16, 360, 18);
    make_edit(window, kBoxNameEdit, 16, 38, 360);
    make_button(window, L"Choose artwork", kBoxChooseFile, 16, 74, 160, 32);
    make_label(window, "PNG, JPEG, WebP, GIF, or PDF. 10 MB max. Cofferly's ordinal box stays at 100 KB.", 16, 118, 420,
               36);
    make_button(window, L"Inscribe artwork", kBoxAction, 16, 162, 180, 34);
    make_held_line(window, 208, 156, 300, 56);
}

void build_mint_certificate(HWND window) {
    make_label(window, "Artwork already inscribed", 16, 16, 480, 18);
    HWND artworks = make_combo(window, kBoxCombo, 38, 480, 200);
    fill_art_combo(artworks, true);
    select_artwork_without_certificate(artworks);
    make_label(window, "Art name", 16, 82, 220, 18);
    make_label(window, "Artist name", 260, 82, 220, 18);
    make_edit(window, kBoxNameEdit, 16, 102, 228);
    make_edit(window, kBoxArtistEdit, 260, 102, 236);
    make_label(window, "Note (optional)", 16, 138, 480, 18);
    make_edit(window, kBoxNoteEdit, 16, 158, 480);
    make_label(window, "Created  " + utc_minute_text() + " UTC", 16, 196, 480, 18);
    std::string address;
    std::string paymail;
    bool is_hd = false;
    wallet_address_info(address, paymail, is_hd);
    make_label(window, "Original owner  " + (paymail.empty() ? std::string("(connect a published paymail)") : paymail),
               16, 218, 480, 18);
    make_label(window, "Also stored: artwork origin, SHA-256, and your pubkey.", 16, 246, 480, 36);
    make_button(window, L"Inscribe certificate", kBoxAction, 16, 294, 210, 36);
    make_held_line(window, 238, 288, 290, 56);
    HWND busy_line =
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_EDITCONTROL, 16, 342, 500, 52, window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kBoxBusyLine)), app_instance, nullptr);
    if (busy_line && font_body) SendMessageW(busy_line, WM_SETFONT, reinterpret_cast<WPARAM>(font_body), FALSE);
}

void build_pair(HWND window) {
    make_label(window, "Artwork", 16, 16, 200, 18);
    HWND artworks = make_combo(window, kBoxCombo, 38, 420, 200);
    fill_art_combo(artworks, true);
    make_label(window, "Certificate", 16, 78, 200, 18);
    HWND certificates = make_combo(window, kBoxCertCombo, 100, 420, 200);
    fill_art_combo(certificates, false);
    select_certificate_naming(certificates, selected_row_id(artworks));
    make_button(window, L"Pair on chain", kBoxAction, 16, 140, 160, 34);
    make_held_line(window, 188, 134, 340, 56);
}

// Modes 4, 5 and 6 share the picker and the action button.
void build_picker_panel(HWND window, BoxState& state) {
    const bool check = state.mode == kBoxCheck;
    const bool pass = state.mode == kBoxPass;
    make_label(window, check ? "Certificate" : "Artwork", 16, 16, 200, 18);
    fill_art_combo(make_combo(window, kBoxCombo, 38, 420, 200), !check);
    if (pass) {
        make_label(window, "Their @" + service_settings().paymail_domain + " paymail", 16, 78, 300, 18);
        make_edit(window, kBoxPaymailEdit, 16, 100, 300);
    }
    const int y = pass ? 136 : 78;
    const wchar_t* caption = check ? L"Check certificate" : pass ? L"Pass artwork & certificate" : L"Show ownership";
    make_button(window, caption, kBoxAction, 16, y, pass ? 280 : 180, 34);
    if (pass) {
        make_held_line(window, 16, y + 40, 500, 40);
        HWND result = CreateWindowExW(
            WS_EX_CLIENTEDGE, L"EDIT", L"",
            WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, 16, kPassResultTop, 500,
            240, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kBoxResultEdit)), app_instance, nullptr);
        if (result && font_body) SendMessageW(result, WM_SETFONT, reinterpret_cast<WPARAM>(font_body), FALSE);
        if (result) SetWindowSubclass(result, framed_control_subclass_proc, kFramedControlSubclassId, 0);
    } else if (state.mode == kBoxOwnership) {
        add_ownership_results(window, "Show ownership to read this artwork.");
        SetDlgItemTextW(window, kBoxLastSale, L"Show ownership to read the last sale.");
    } else {
        state.headline = "Use the Certificate Drop down menu and then click Check Certificate";
        for (int id = kBoxPairField; id <= kBoxShaField; ++id) {
            make_readonly_field(window, id);
            make_copy_button(window, id + 10);
        }
    }
}

void build_look_up(HWND window) {
    make_label(window, "Artwork ID or Certificate ID", 16, 16, 420, 18);
    make_edit(window, kBoxCombo, 16, 38, 580);
    make_button(window, L"Look up", kBoxAction, 16, 78, 140, 34);
    add_ownership_results(window, "Paste an artwork id or a certificate id, then Look up.");
}

void build_settings(HWND window) {
    make_label(window, "Theme", 16, 16, 200, 18);
    HWND combo = make_combo(window, kBoxThemeCombo, 38, 280, 200);
    for (const wchar_t* name : {L"Blue", L"Rose", L"Gold"})
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(std::clamp<std::int32_t>(theme_index, 0, 2)), 0);
    make_label(window, "Cabinet backup. Folders on this PC. Not the seed.", 16, 86, 420, 36);
    make_button(window, L"Backup", kBoxBackup, 16, 130, 140, 34);
    make_button(window, L"Restore", kBoxRestore, 168, 130, 140, 34);
    make_label(window, "Bug reports and abuse. Not email.", 16, 182, 420, 18);
    make_button(window, L"Report", kBoxReportButton, 16, 208, 150, 34);
    make_button(window, L"Terms of use", kBoxTermsButton, 178, 208, 170, 34);
}

void build_report(HWND window) {
    HWND edit = CreateWindowExW(
        0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL,
        18, 140, 520, 220, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kBoxReportEdit)), app_instance,
        nullptr);
    if (edit) {
        if (font_body) SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font_body), FALSE);
        SendMessageW(edit, EM_SETLIMITTEXT, 2000, 0);
        SetWindowTheme(edit, L"", L"");
    }
    make_button(window, L"Send report", kBoxSendReport, 18, 380, 150, 32);
}

} // namespace

void build_box_panel(HWND window, BoxState& state) {
    switch (state.mode) {
    case kBoxMintArtwork:
        build_mint_artwork(window);
        break;
    case kBoxMintCertificate:
        build_mint_certificate(window);
        break;
    case kBoxPair:
        build_pair(window);
        break;
    case kBoxFolders:
        folders_panel_build(window);
        break;
    case kBoxCheck:
    case kBoxOwnership:
    case kBoxPass:
        build_picker_panel(window, state);
        break;
    case kBoxLookUp:
        build_look_up(window);
        break;
    case kBoxSettings:
        build_settings(window);
        break;
    case kBoxReport:
        build_report(window);
        break;
    default:
        break;
    }
}
