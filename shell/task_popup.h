// The task popup (window class CorvaneBox): one top-level window per open task, showing the panel of
// its BoxMode. Several may be open at once; results reach them through the main window, which finds
// them by class and reads the mode kept first in each one's BoxState. GUI thread only.
#pragma once

#include "shell/box_placement.h"
#include "shell/shell.h"

#include <cstdint>
#include <string>
#include <vector>

// Controls of the task popup, shared across modes.
constexpr int kBoxClose = 125;
constexpr int kBoxNameEdit = 301;     // artwork name (0), art name (1), new folder name (3)
constexpr int kBoxChooseFile = 302;   // mode 0
constexpr int kBoxAction = 303;       // the mode's action button
constexpr int kBoxCombo = 304;        // artwork or certificate combo; the id edit in mode 7
constexpr int kBoxCertCombo = 305;    // mode 2
constexpr int kBoxPaymailEdit = 306;  // mode 6
constexpr int kBoxFolderList = 307;   // mode 3
constexpr int kBoxFolderCerts = 308;  // mode 3
constexpr int kBoxResultEdit = 309;   // mode 6
constexpr int kBoxNewFolder = 310;    // mode 3
constexpr int kBoxFileCert = 311;     // mode 3
constexpr int kBoxArtistEdit = 312;   // mode 1
constexpr int kBoxNoteEdit = 313;     // mode 1
constexpr int kBoxLiveOwner = 314;    // modes 5, 7
constexpr int kBoxCertText = 315;     // modes 5, 7
constexpr int kBoxHistory = 316;      // modes 5, 7
constexpr int kBoxThemeCombo = 317;   // mode 8
constexpr int kBoxBackup = 318;       // mode 8
constexpr int kBoxRestore = 319;      // mode 8
constexpr int kBoxTermsButton = 320;  // mode 8
constexpr int kBoxReportButton = 321; // mode 8
constexpr int kBoxReportEdit = 322;   // mode 11
constexpr int kBoxSendReport = 323;   // mode 11
constexpr int kBoxBusyLine = 324;     // mode 1
constexpr int kBoxLastSale = 325;     // modes 5, 7
constexpr int kBoxPairField = 340;    // copy fields 340-343: pair, artwork, certificate, image SHA-256
constexpr int kBoxArtworkField = 341;
constexpr int kBoxCertField = 342;
constexpr int kBoxShaField = 343;
constexpr int kBoxCopyPair = 350; // copy buttons 350-353, each copying field id - 10
constexpr int kBoxCopyArtwork = 351;
constexpr int kBoxCopyCert = 352;
constexpr int kBoxCopySha = 353;
constexpr int kBoxFolderArts = 354;   // mode 3
constexpr int kBoxFileArt = 355;      // mode 3
constexpr int kBoxUnfile = 356;       // mode 3
constexpr int kBoxArtFileCombo = 357; // mode 3
constexpr int kBoxCaptionFolders = 358;
constexpr int kBoxCaptionCerts = 359;
constexpr int kBoxCaptionArts = 360;

// Top of mode 6's result box, below the action button and the line under it.
constexpr int kPassResultTop = 136 + 88;

// Timer of modes 2 and 4 that animates the "Pairing"/"Checking" dots.
constexpr UINT_PTR kBoxDotsTimer = 41;
constexpr UINT kBoxDotsInterval = 380;

// Per-popup state, kept on the heap behind the window's user data. `mode` must stay first.
struct BoxState {
    BoxMode mode = kBoxMintArtwork;
    HWND self = nullptr;
    std::string file_path;   // the artwork file chosen in mode 0
    std::string file_sha256; // its SHA-256 in hex once read; the subject of its inscription
    std::string paired_read; // mode 2: the artwork (normalize_outpoint_key) a title read of this popup found paired
    // Cards and rows, computed by the layouts of popup_views.h and read by painting.
    RECT live_owner_card = {};
    RECT certificate_card = {};
    RECT history_card = {};
    RECT last_sale_card = {};
    RECT check_card = {}; // also the pair card of mode 2
    RECT pair_row = {};
    RECT artwork_row = {};
    RECT certificate_row = {};
    RECT sha_row = {};
    RECT holder_row = {};
    RECT owner_row = {};
    std::int32_t result_state = 0; // 0 no result, 1 success, 2 failure
    std::int32_t dots = 0;         // 1 to 3 while animating, 0 after a result
    std::uint8_t animating = 0;
    std::uint8_t show_detail = 0; // mode 4: paint the pair-detail rows
    std::string headline;
    std::string subline;
    std::string pair_text;
    std::string artwork_text;
    std::string certificate_text;
    std::string sha_text;
    std::string holder_text;
    std::string owner_text;
    std::vector<std::string> folder_certs; // mode 3: item data of list 308 indexes this
    std::vector<std::string> folder_arts;  // mode 3: item data of list 354 indexes this
    std::int32_t folder_list_picked = 0;   // mode 3: 308 or 354, the list the user selected in last
    std::uint8_t estimate_pending = 0;     // mode 0: a fee estimate runs for this popup
    std::uint8_t address_pending = 0;      // mode 6: the recipient's address is resolved; mode 2: the title read
    std::int32_t grown_by = 0;             // modes 5 and 7: height the layout added for the answer shown
};

// A BoxState with every field zero or empty.
BoxState box_state_init();

// The state behind a task popup, or null when `box` is not one or is being torn down.
BoxState* box_state_of(HWND box);

LRESULT CALLBACK box_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// True when `mode` needs a connected wallet (modes 0 to 7).
bool box_needs_wallet(BoxMode mode);

// Mode 0's checks of a chosen file, "" when it may be inscribed.
std::string artwork_size_error(std::uint64_t size);
// Mode 0's confirmation text for `size` bytes and a fee estimate (negative when unknown, then with
// the engine's cause `why` when it named one).
std::string artwork_inscribe_confirm_text(std::uint64_t size, std::int64_t fee, const std::string& why = "");
// The current UTC time as "YYYY-MM-DD HH:MM", the `created` of a certificate.
std::string utc_minute_text();

struct FeeEstimateResult;
// Code 17 in the main window: the fee estimate of a Mint artwork popup has arrived; when the popup
// is still open its confirmation opens, and on OK the inscription starts.
void artwork_fee_estimate_arrived(FeeEstimateResult& result);

// The OK/Cancel question before a popup's action, with the question icon; true for OK.
bool ask_box_confirmation(HWND owner, const std::string& text);

// Replaces the OK/Cancel confirmation box (true for OK); null restores the box. For tests only.
void set_box_confirmation_for_tests(bool (*confirm)(HWND owner, const std::string& text));
