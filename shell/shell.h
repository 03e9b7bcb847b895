// State that every window of the desktop program shares: the main window and its controls, the
// fonts, brushes, icons and banner made once at start-up, the busy flags that keep one action of a
// kind running, the application messages that carry worker results to the main window, and the
// result records those messages point to. GUI-thread state unless a comment says otherwise.
#pragma once

#include <windows.h>

#include "art/gallery_frames.h"
#include "wallet/codecs.h"

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace Gdiplus {
class Bitmap;
}

// Window classes.
constexpr const wchar_t* kShellClassName = L"CorvaneShell";
constexpr const wchar_t* kBoxClassName = L"CorvaneBox";
constexpr const wchar_t* kViewClassName = L"CorvaneView";

// Application messages, all posted to `main_window`.
constexpr UINT kMsgJobResult = WM_APP + 1;   // WPARAM operation code, LPARAM result record or null
constexpr UINT kMsgBalance = WM_APP + 2;     // LPARAM BalanceResult*
constexpr UINT kMsgSaveArt = WM_APP + 3;     // LPARAM SaveArtResult*
constexpr UINT kMsgUpdateCheck = WM_APP + 4; // WPARAM published version + 1, 0 when the check failed

// Operation codes of kMsgJobResult and the record each one carries.
constexpr WPARAM kOpInscribe = 1;      // JobResultText: artwork inscription, report
constexpr WPARAM kOpArtRows = 2;       // std::vector<KvCofferlyOrdRow>, may be null
constexpr WPARAM kOpOwnership = 3;     // JobResultText
constexpr WPARAM kOpConnect = 4;       // JobResultText
constexpr WPARAM kOpStatusText = 5;    // JobResultText
constexpr WPARAM kOpOpenFailed = 6;    // JobResultText
constexpr WPARAM kOpOpenArt = 7;       // OpenArtResult
constexpr WPARAM kOpPairCheck = 8;     // PairInfo
constexpr WPARAM kOpPairResult = 9;    // JobResultText
constexpr WPARAM kOpGalleryState = 11; // GalleryStateResult
constexpr WPARAM kOpSaleStep = 12;     // SaleStepResult (jobs.h)
constexpr WPARAM kOpLookup = 13;       // JobResultText
constexpr WPARAM kOpFileCoin = 14;     // FileCoinResult
constexpr WPARAM kOpCertificate = 15;  // JobResultText
constexpr WPARAM kOpPass = 16;         // JobResultText
constexpr WPARAM kOpFeeEstimate = 17;  // FeeEstimateResult (jobs.h)
constexpr WPARAM kOpPassAddress = 18;  // PassAddressResult (pass_flow.h)
constexpr WPARAM kOpJobFailed = 19;    // JobFailure (jobs.h): a job that stopped on an exception
constexpr WPARAM kOpPairRead = 20;     // PairReadResult (pair_flow.h)

// Controls of the main window.
constexpr int kIdStatusLine = 0;
constexpr int kIdConnect = 101;
constexpr int kIdUnbind = 102;
constexpr int kIdRefresh = 103;
constexpr int kIdMintArtwork = 104;
constexpr int kIdMintCertificate = 105;
constexpr int kIdPair = 106;
constexpr int kIdFolders = 107;
constexpr int kIdCheck = 108;
constexpr int kIdOwnership = 109;
constexpr int kIdPass = 110;
constexpr int kIdLookUp = 111;
constexpr int kIdArtList = 120;
constexpr int kIdConnectionLine = 121;
constexpr int kIdTagline = 122;
constexpr int kIdListCaption = 123;
constexpr int kIdTitle = 124;
constexpr int kIdClose = 125;
constexpr int kIdUpdateLine = 126;
constexpr int kIdGear = 127;
constexpr int kIdHelp = 128;
constexpr int kIdSortToggle = 129;

// Timer of the main window that animates the status dots.
constexpr UINT_PTR kStatusDotsTimer = 43;

// Main-window list items whose value has this bit set are gallery rows, not wallet rows.
constexpr LPARAM kGalleryRowFlag = 0x40000000;

// The mode of a task popup; every popup keeps it first in the state behind its user data, which is
// how results find the popups they belong to.
enum BoxMode : std::int32_t {
    kBoxMintArtwork = 0,
    kBoxMintCertificate = 1,
    kBoxPair = 2,
    kBoxFolders = 3,
    kBoxCheck = 4,
    kBoxOwnership = 5,
    kBoxPass = 6,
    kBoxLookUp = 7,
    kBoxSettings = 8,
    kBoxHelp = 9,
    kBoxTerms = 10,
    kBoxReport = 11,
};

// Process-wide shell state, made by wWinMain and the main window's creation handler.
extern HINSTANCE app_instance;
extern HWND main_window;    // workers post to it; null until the main window exists
extern HFONT font_title;    // "Georgia" -28
extern HFONT font_body;     // "Segoe UI" -15
extern HFONT font_bold;     // "Segoe UI" -15, weight 600
extern HFONT font_small;    // "Segoe UI" -13
extern HFONT font_mono;     // "Consolas" -15
extern HBRUSH brush_window; // palette slot 0
extern HBRUSH brush_panel;  // palette slot 1
extern HBRUSH brush_header; // palette slot 11
extern HBRUSH brush_slot6;  // palette slot 6, may be null
extern HICON icon_big;
extern HICON icon_32;
extern HICON icon_16;
extern Gdiplus::Bitmap* banner_image; // null when the banner resource is missing or undecodable
extern std::int32_t banner_trim_height;
extern RECT list_panel_rect;
extern HWND art_list;    // control 120
extern HWND status_line; // control 0
extern HWND update_line; // control 126
extern HWND sale_window; // the open sale window, or null

// Busy flags, shared with worker threads. `action_busy` admits one chain action at a time (connect,
// popup actions, report, sale steps) and is cleared when its result arrives; `coin_check_busy`
// admits one folder filing; `balance_busy` one balance job.
extern std::atomic<std::uint8_t> action_busy;
extern std::atomic<std::uint8_t> coin_check_busy;
extern std::atomic<std::uint8_t> balance_busy;

// Result records. Allocated by a worker, owned by the main window once the post succeeds.

// "success..." on success, "error: ..." on failure, or a multi-line report.
struct JobResultText {
    std::string text;
};

struct BalanceResult {
    std::uint8_t has_value = 0; // 1 when a balance is known
    std::uint8_t fresh = 0;     // 1 when WhatsOnChain answered this read whole
    std::int64_t sats = 0;
};

// Input of the open-artwork and save-image jobs: an artwork row's key and name.
struct OpenArtJob {
    std::string id;
    std::string name;
};

struct OpenArtResult {
    std::string id;
    std::string name;
    Bytes bytes; // the inscription content
};

struct SaveArtResult {
    std::uint8_t ok = 0;
    std::string message; // the failure text
    std::string name;    // becomes the proposed file name
    std::string content_type;
    Bytes bytes;
};

struct GalleryStateResult {
    std::vector<SpotLoad> spots;            // frame 1 first
    std::set<std::string> closed_sale_keys; // normalised artwork ids
};

struct FileCoinResult {
    HWND box = nullptr; // the task popup that asked; may be gone on arrival
    std::uint8_t is_artwork = 0;
    std::uint8_t gone = 0; // 1 when the coin is no longer in this wallet
    std::string folder;
    std::string coin_id;
    std::string text; // "success" or an error text; empty when the coin was not filed
};

// True when a result text begins with the seven letters "success".
bool is_success_text(const std::string& text);

// The main window's procedure and layout (main_window.cpp).
LRESULT CALLBACK shell_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void layout_main_window();

// Everything wWinMain needs before and after its message loop, kept out of main.cpp so that the
// start-up is built into the shell library. `instance` is this program's module.
// Returns 0 when another instance was raised, else the quit message's parameter.
int run_shell(HINSTANCE instance, int show_command);
