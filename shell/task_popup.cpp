#include "shell/task_popup.h"

#include "shell/art_list.h"
#include "shell/backup_files.h"
#include "shell/box_painting.h"
#include "shell/box_panels.h"
#include "shell/cert_choice.h"
#include "shell/drawing.h"
#include "shell/folders_panel.h"
#include "shell/gallery_state.h"
#include "shell/jobs.h"
#include "shell/pair_flow.h"
#include "shell/pass_flow.h"
#include "shell/popup_views.h"
#include "shell/report_panel.h"
#include "shell/status_line.h"
#include "shell/step_holds.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/session.h"

#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

constexpr std::uint64_t kArtworkMaxBytes = 10485760;
constexpr const char* kAlreadyWorking = "Already working...";
constexpr const char* kJobNotStarted = "error: could not start that action. Try again.";

bool (*confirm_function)(HWND, const std::string&) = nullptr;

// The flag may have been taken by another popup while a confirmation box ran its own message loop,
// so it is always taken with an exchange, never simply set.
bool take_action_busy() {
    if (action_busy.exchange(1) == 0) return true;
    set_status_text(std::string(kAlreadyWorking));
    return false;
}

// A job that never started never posts its result, and only that result would free the flag.
void job_not_started() {
    release_action_busy();
    set_status_text(std::string(kJobNotStarted));
}

std::string control_text(HWND window, int id) {
    return wide_to_utf8(get_control_text(window, id));
}

void set_text(HWND window, int id, const std::string& text) {
    SetDlgItemTextW(window, id, utf8_to_wide(text).c_str());
}

void run_layout(HWND window, BoxState& state) {
    switch (state.mode) {
    case kBoxFolders:
        folders_panel_layout(window);
        break;
    case kBoxOwnership:
    case kBoxLookUp:
        layout_ownership_cards(window, state);
        break;
    case kBoxCheck:
        layout_check_card(window, state);
        break;
    case kBoxPair:
        layout_pair_card(window, state);
        break;
    case kBoxReport:
        layout_report_panel(window);
        break;
    default:
        break;
    }
}

// ---- Actions of button 303 ----

void start_dots(HWND window, BoxState& state, const char* headline) {
    state.animating = 1;
    state.result_state = 0;
    state.dots = 3;
    state.headline = headline;
    run_layout(window, state);
    SetTimer(window, kBoxDotsTimer, kBoxDotsInterval, nullptr);
    InvalidateRect(window, nullptr, FALSE);
}

void stop_dots(HWND window, BoxState& state) {
    KillTimer(window, kBoxDotsTimer);
    state.animating = 0;
    state.dots = 0;
}

// Reads the chosen artwork whole; `error` holds the status text when it cannot be inscribed.
bool read_artwork_file(const std::string& path, Bytes& bytes, std::string& error) {
    HANDLE file = CreateFileW(utf8_to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "could not open that file";
        return false;
    }
    std::unique_ptr<void, decltype(&CloseHandle)> holder(file, &CloseHandle);
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) {
        error = "could not read that file";
        return false;
    }
    error = artwork_size_error(static_cast<std::uint64_t>(std::max<LONGLONG>(size.QuadPart, 0)));
    if (!error.empty()) return false;
    bytes.assign(static_cast<std::size_t>(size.QuadPart), 0);
    DWORD read = 0;
    if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()) {
        bytes.clear();
        error = "could not read that file";
        return false;
    }
    return true;
}

// A step the engine holds for what the popup has chosen is not sent again: its button greys and
// the line beside it says why, as the status line does.
bool refuse_held_step(HWND window, const BoxState& state) {
    std::string why;
    if (!show_box_step_hold(window, state, &why)) return false;
    set_status_text(why);
    return true;
}

// The fee estimate reads the network, so it runs on a worker and the confirmation opens when it
// arrives (artwork_fee_estimate_arrived); until then another click of this popup does nothing.
void act_mint_artwork(HWND window, BoxState& state) {
    if (state.estimate_pending) return;
    if (state.file_path.empty()) {
        set_status_text(std::string("Choose an artwork first."));
        return;
    }
    const std::string content_type = mime_from_extension(utf8_to_wide(state.file_path));
    if (content_type.empty()) {
        set_status_text(std::string("Use PNG, JPEG, WebP, GIF, or PDF."));
        return;
    }
    FeeEstimateJob job;
    job.box = window;
    std::string error;
    if (!read_artwork_file(state.file_path, job.art.bytes, error)) {
        set_status_text(error);
        return;
    }
    state.file_sha256 = to_hex(sha256(job.art.bytes).data(), 32);
    if (refuse_held_step(window, state)) return;
    job.art.content_type = content_type;
    job.art.name = control_text(window, kBoxNameEdit);
    state.estimate_pending = 1;
    set_status_text(std::string("Working out the miner fee..."));
    if (!start_artwork_fee_estimate(std::move(job))) state.estimate_pending = 0;
}

void act_mint_certificate(HWND window) {
    const std::string artwork = selected_row_id(GetDlgItem(window, kBoxCombo));
    if (artwork.empty()) {
        set_status_text(std::string("No artwork in this wallet yet."));
        set_cert_boxes_busy(L"Pick an artwork first.", true);
        return;
    }
    if (!ask_box_confirmation(window, certificate_confirm_text(artwork, control_text(window, kBoxNameEdit)))) return;
    if (!take_action_busy()) return;
    set_cert_boxes_busy(L"Reading the artwork, then inscribing the certificate...", false);
    set_status_text(std::string("Reading the artwork and inscribing the certificate..."));
    CertificateJob job;
    job.art_id = artwork;
    job.title = control_text(window, kBoxNameEdit);
    job.artist_name = control_text(window, kBoxArtistEdit);
    job.note = control_text(window, kBoxNoteEdit);
    std::string address;
    bool is_hd = false;
    wallet_address_info(address, job.owner_paymail, is_hd);
    job.created = utc_minute_text();
    if (!start_inscribe_certificate(job)) {
        job_not_started();
        set_cert_boxes_busy(utf8_to_wide(kJobNotStarted), true);
    }
}

void act_check(HWND window, BoxState& state) {
    const std::string certificate = selected_row_id(GetDlgItem(window, kBoxCombo));
    if (!take_action_busy()) return;
    state.show_detail = 0;
    state.pair_text.clear();
    state.artwork_text.clear();
    state.certificate_text.clear();
    state.sha_text.clear();
    state.holder_text.clear();
    state.owner_text.clear();
    state.subline.clear();
    start_dots(window, state, "Checking ...");
    set_status_text(std::string("Checking the certificate..."));
    if (!start_check_pair(certificate)) {
        job_not_started();
        stop_dots(window, state);
        state.result_state = 2;
        state.headline = "Pair does not match";
        state.subline = wide_to_utf8(strip_error_prefix(utf8_to_wide(kJobNotStarted)));
        run_layout(window, state);
        InvalidateRect(window, nullptr, FALSE);
    }
}

void act_ownership(HWND window) {
    const std::string artwork = selected_row_id(GetDlgItem(window, kBoxCombo));
    if (!take_action_busy()) return;
    set_status_text(std::string("Reading the ownership chain..."));
    if (!start_live_owner(artwork)) job_not_started();
}

void act_look_up(HWND window) {
    const std::string id = control_text(window, kBoxCombo);
    if (!take_action_busy()) return;
    set_status_text(std::string("Looking up..."));
    set_text(window, kBoxLiveOwner, "Looking up...");
    set_text(window, kBoxCertText, "");
    set_text(window, kBoxLastSale, "");
    set_text(window, kBoxHistory, "");
    if (!start_lookup_art_id(id)) job_not_started();
}

void on_action(HWND window, BoxState& state) {
    // The popup's own pending step already holds the flag: a repeated click changes nothing.
    if (state.address_pending) return;
    if (action_busy.load() != 0) {
        set_status_text(std::string(kAlreadyWorking));
        if (state.mode == kBoxMintCertificate)
            set_cert_boxes_busy(L"Already working. Wait for this step to finish.", false);
        return;
    }
    if (refuse_held_step(window, state)) return;
    switch (state.mode) {
    case kBoxMintArtwork:
        act_mint_artwork(window, state);
        break;
    case kBoxMintCertificate:
        act_mint_certificate(window);
        break;
    case kBoxPair:
        pair_clicked(window, state);
        break;
    case kBoxCheck:
        act_check(window, state);
        break;
    case kBoxOwnership:
        act_ownership(window);
        break;
    case kBoxPass:
        pass_clicked(window, state);
        break;
    case kBoxLookUp:
        act_look_up(window);
        break;
    default:
        break;
    }
}

void choose_artwork_file(HWND window, BoxState& state) {
    wchar_t path[260] = {};
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window;
    dialog.lpstrFilter = L"Artwork\0*.png;*.jpg;*.jpeg;*.webp;*.gif;*.pdf\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = 260;
    dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameW(&dialog)) return;
    state.file_path = wide_to_utf8(path);
    set_status_text(std::wstring(path));
    // The file is named by its content, so a copy of an artwork whose inscription is held shows so.
    Bytes bytes;
    std::string error;
    state.file_sha256 = read_artwork_file(state.file_path, bytes, error) ? to_hex(sha256(bytes).data(), 32) : "";
    show_box_step_hold(window, state);
}

// ---- Messages ----

LRESULT on_create(HWND window, const CREATESTRUCTW& create) {
    const auto* initial = static_cast<const BoxState*>(create.lpCreateParams);
    auto state = std::make_unique<BoxState>(initial ? *initial : box_state_init());
    state->self = window;
    BoxState& box = *state;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.release()));
    apply_title_bar_theme(window);
    build_box_panel(window, box);
    make_button(window, L"Close", kBoxClose, 16, 400, 120, 32);
    run_layout(window, box);
    show_box_step_hold(window, box);
    return 0;
}

void on_destroy(HWND window) {
    KillTimer(window, kBoxDotsTimer);
    BoxState* state = box_state_of(window);
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    delete state;
}

void on_command(HWND window, BoxState& state, int id, int code) {
    if (id == kBoxClose) {
        DestroyWindow(window);
        return;
    }
    if (id >= kBoxCopyPair && id <= kBoxCopySha) {
        copy_control_text(window, id - 10);
        return;
    }
    switch (state.mode) {
    case kBoxSettings:
        if (id == kBoxThemeCombo && code == CBN_SELCHANGE) {
            const LRESULT index = SendDlgItemMessageW(window, kBoxThemeCombo, CB_GETCURSEL, 0, 0);
            apply_theme_choice(index >= 0 && index <= 2 ? static_cast<std::int32_t>(index) : 0);
        } else if (id == kBoxBackup) {
            backup_cabinet_dialog();
        } else if (id == kBoxRestore) {
            restore_cabinet_dialog();
        } else if (id == kBoxReportButton) {
            open_box(kBoxReport, "Report");
        } else if (id == kBoxTermsButton) {
            open_box(kBoxTerms, "Terms of use");
        }
        return;
    case kBoxReport:
        if (id == kBoxSendReport) send_report(window);
        return;
    case kBoxFolders:
        folders_panel_command(window, id, code);
        return;
    case kBoxMintArtwork:
        if (id == kBoxChooseFile) {
            choose_artwork_file(window, state);
            return;
        }
        break;
    default:
        break;
    }
    if (id == kBoxCombo && code == CBN_SELCHANGE) {
        if (state.mode == kBoxPair)
            select_certificate_naming(GetDlgItem(window, kBoxCertCombo),
                                      selected_row_id(GetDlgItem(window, kBoxCombo)));
        show_box_step_hold(window, state);
    }
    if (id == kBoxAction && code == BN_CLICKED) on_action(window, state);
}

void on_timer(HWND window, BoxState& state, UINT_PTR timer) {
    if (timer != kBoxDotsTimer || !state.animating) return;
    if (state.mode != kBoxPair && state.mode != kBoxCheck) return;
    state.dots = state.dots >= 3 ? 1 : state.dots + 1;
    state.headline = std::string(state.mode == kBoxPair ? "Pairing " : "Checking ") +
                     std::string(static_cast<std::size_t>(state.dots), '.');
    InvalidateRect(window, &state.check_card, FALSE);
}

void on_size(HWND window, BoxState& state) {
    RECT client = {};
    GetClientRect(window, &client);
    if (HWND close = GetDlgItem(window, kBoxClose))
        MoveWindow(close, client.right - 136, client.bottom - 48, 120, 32, TRUE);
    run_layout(window, state);
    if (state.mode == kBoxPass) {
        if (HWND result = GetDlgItem(window, kBoxResultEdit)) {
            constexpr int top = kPassResultTop;
            MoveWindow(result, 16, top, std::max(120, static_cast<int>(client.right) - 32),
                       std::max(static_cast<int>(client.bottom) - top - 58, 80), TRUE);
        }
    }
    // The gradient stretches with the height, so the labels painted from it are redrawn with it.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

} // namespace

BoxState box_state_init() {
    return BoxState{};
}

BoxState* box_state_of(HWND box) {
    if (!box) return nullptr;
    return reinterpret_cast<BoxState*>(GetWindowLongPtrW(box, GWLP_USERDATA));
}

bool box_needs_wallet(BoxMode mode) {
    return mode >= kBoxMintArtwork && mode < kBoxSettings;
}

std::string artwork_size_error(std::uint64_t size) {
    if (size == 0) return "that file is empty";
    if (size > kArtworkMaxBytes) return "file is over 10 MB. Shrink it first.";
    return "";
}

std::string artwork_inscribe_confirm_text(std::uint64_t size, std::int64_t fee, const std::string& why) {
    // A file under 1 KB is counted in bytes: "0 KB" would read as an empty file.
    const std::string amount = size < 1024 ? std::to_string(size) + " bytes" : std::to_string(size / 1024) + " KB";
    std::string text = "Inscribe this artwork?\n\n" + amount + ". Miner fee is about ";
    // Connecting and funding mends nothing while a funded wallet's coins all wait on a payment.
    if (fee < 0 && !why.empty())
        text = "Inscribe this artwork?\n\n" + amount + ". Miner fee is unknown: " + why + ".";
    else if (fee < 0)
        text += "unknown (Connect Cofferly and fund the messenger account).";
    else
        text += std::to_string(fee) + " sats, from the messenger account.";
    return text + "\n\nThe 1-sat lands on the ordinals address. Cofferly will prompt.";
}

std::string utc_minute_text() {
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    char buffer[32] = {};
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u", static_cast<unsigned>(now.wYear),
                  static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
                  static_cast<unsigned>(now.wMinute));
    return buffer;
}

void artwork_fee_estimate_arrived(FeeEstimateResult& result) {
    HWND box = result.box;
    BoxState* state = box && IsWindow(box) && window_of_this_process(box) ? box_state_of(box) : nullptr;
    if (!state || state->mode != kBoxMintArtwork) return;
    state->estimate_pending = 0;
    set_status_text(std::string(""));
    if (!ask_box_confirmation(box, artwork_inscribe_confirm_text(result.art.bytes.size(), result.fee, result.why)))
        return;
    if (!take_action_busy()) return;
    set_status_text(std::string("Inscribing the artwork in Cofferly..."));
    if (!start_inscribe_art_picture(result.art)) job_not_started();
}

bool ask_box_confirmation(HWND owner, const std::string& text) {
    if (confirm_function) return confirm_function(owner, text);
    return MessageBoxW(owner, utf8_to_wide(text).c_str(), L"Corvane", MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
}

void set_box_confirmation_for_tests(bool (*confirm)(HWND owner, const std::string& text)) {
    confirm_function = confirm;
}

LRESULT CALLBACK box_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    BoxState* state = box_state_of(window);
    switch (message) {
    case WM_CREATE:
        return on_create(window, *reinterpret_cast<const CREATESTRUCTW*>(lparam));
    case WM_DESTROY:
        on_destroy(window);
        return 0;
    case WM_COMMAND:
        if (state) on_command(window, *state, LOWORD(wparam), HIWORD(wparam));
        return 0;
    case WM_TIMER:
        if (state) on_timer(window, *state, wparam);
        return 0;
    case WM_SIZE:
        if (state) on_size(window, *state);
        return 0;
    case WM_GETMINMAXINFO:
        if (state) box_track_sizes(state->mode, work_area_of(window), *reinterpret_cast<MINMAXINFO*>(lparam));
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        return box_control_color(window, reinterpret_cast<HWND>(lparam), reinterpret_cast<HDC>(wparam));
    case WM_MEASUREITEM:
        box_measure_item(*reinterpret_cast<MEASUREITEMSTRUCT*>(lparam));
        return TRUE;
    case WM_DRAWITEM:
        box_draw_item(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
        return TRUE;
    case WM_ERASEBKGND:
        box_paint_background(window, reinterpret_cast<HDC>(wparam));
        return 1;
    case WM_PAINT:
        if (state) {
            box_paint(window, *state);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
