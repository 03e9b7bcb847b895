#include "shell/jobs.h"

#include "art/art_inscribe.h"
#include "art/art_pass.h"
#include "art/cert_check.h"
#include "art/ownership.h"
#include "art/pairing.h"
#include "art/window_reads.h"
#include "chain/payloads.h"
#include "ordinals/ord_row.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/art_viewer.h"
#include "shell/cert_worker.h"
#include "shell/folders_panel.h"
#include "shell/gallery_state.h"
#include "shell/pair_flow.h"
#include "shell/pass_flow.h"
#include "shell/popup_views.h"
#include "shell/sale_window.h"
#include "shell/save_image.h"
#include "shell/save_notice.h"
#include "shell/status_line.h"
#include "shell/step_holds.h"
#include "shell/task_popup.h"
#include "shell/text_helpers.h"
#include "wallet/clock.h"
#include "wallet/connect.h"
#include "wallet/session.h"

namespace {

const char* const kJobStopped = "error: that action stopped on an internal error. Nothing more was done; try again.";

void release_flag(std::atomic<std::uint8_t>* flag) {
    if (flag == &action_busy)
        release_action_busy();
    else if (flag)
        flag->store(0);
}

// A launch that never ran will never post, so the flag its result would have released is
// released here; otherwise every later action would answer "Already working..." until restart.
bool launch_result(bool started, std::atomic<std::uint8_t>* flag) {
    if (started) return true;
    release_flag(flag);
    set_status_text("error: could not start a worker thread.");
    return false;
}

// Starts a job whose result releases `flag`; a job that throws releases it through its failure.
template <typename Record> bool launch(void (*entry)(Record&), Record record, std::atomic<std::uint8_t>* flag) {
    return launch_result(start_job(entry, std::move(record), flag), flag);
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The mode of `box` when it is still one of our task popups: a popup may have been closed, and
// its handle even reused by another window, by the time a slow result arrives.
bool box_mode(HWND box, BoxMode& mode) {
    if (!box || !IsWindow(box) || !window_of_this_process(box)) return false;
    wchar_t name[32] = {};
    if (!GetClassNameW(box, name, 32) || std::wstring(name) != kBoxClassName) return false;
    const BoxState* state = box_state_of(box);
    if (!state) return false;
    mode = state->mode;
    return true;
}

bool box_in_mode(HWND box, BoxMode mode) {
    BoxMode found = kBoxMintArtwork;
    return box_mode(box, found) && found == mode;
}

std::vector<HWND> all_boxes() {
    std::vector<HWND> boxes;
    for (HWND box = FindWindowExW(nullptr, nullptr, kBoxClassName, nullptr); box;
         box = FindWindowExW(nullptr, box, kBoxClassName, nullptr))
        if (window_of_this_process(box)) boxes.push_back(box);
    return boxes;
}

void refresh_filing_box(HWND box) {
    if (!box_in_mode(box, kBoxFolders)) return;
    folders_panel_refresh(box, box_state_of(box));
    fill_file_combo(GetDlgItem(box, kBoxCombo), false);
    fill_file_combo(GetDlgItem(box, kBoxArtFileCombo), true);
}

void on_art_rows(std::unique_ptr<std::vector<KvCofferlyOrdRow>> rows) {
    if (rows) {
        art_rows.swap(*rows);
        rows.reset();
        refresh_art_list();
    }
    start_gallery_load();
}

void on_gallery_state(std::unique_ptr<GalleryStateResult> result) {
    if (!result) return;
    gallery_spots.swap(result->spots);
    closed_sale_keys.swap(result->closed_sale_keys);
    result.reset();
    const std::string reading = gallery_reading_text(gallery_spots);
    if (!reading.empty()) set_status_text(reading);
    refresh_art_list();
}

// The seller's rows of a sold frame leave the list as soon as the completion is in: the listing
// may name the coins for a while yet.
void remove_sold_rows(std::int32_t frame) {
    for (const SpotLoad& spot : gallery_spots) {
        if (spot.spot != frame) continue;
        for (const std::string& id : {spot.pic, spot.cert}) {
            if (id.empty()) continue;
            const std::string key = normalize_outpoint_key(id);
            art_rows.erase(remove_rows_by_key(art_rows.begin(), art_rows.end(), key), art_rows.end());
        }
    }
    refresh_art_list();
}

void on_pair_check(std::unique_ptr<PairInfo> info) {
    if (!info) return;
    set_status_text(job_status_text(kOpPairCheck, "", info->pair_found != 0));
    for (HWND box : open_boxes_in_mode(kBoxCheck))
        show_pair_check(box, *info);
}

void on_file_coin(std::unique_ptr<FileCoinResult> result) {
    if (!result) return;
    if (!result->gone) {
        const bool filed = result->text == "success";
        if (filed)
            set_status_text(result->is_artwork ? "Artwork filed. It has left the main list."
                                               : "Certificate filed. It has left the main list.");
        else
            set_status_text(result->text);
        if (filed) {
            refresh_art_list();
            refresh_filing_box(result->box);
        }
        return;
    }
    const std::string key = normalize_outpoint_key(result->coin_id);
    art_rows.erase(remove_rows_by_key(art_rows.begin(), art_rows.end(), key), art_rows.end());
    refresh_art_list();
    refresh_filing_box(result->box);
    set_status_text("That coin has left this wallet.");
}

// After an action that moved coins the balance and the rows are read again, quietly: the result
// the user acted for stays in the status line until the user acts again.
void refresh_after_chain_action() {
    refresh_connection_status(main_window, true);
    start_read_inscriptions(false);
}

// Codes whose record is a JobResultText.
void on_text_result(WPARAM code, const std::string& text) {
    const bool ok = is_success_text(text);
    set_status_text(job_status_text(code, text, false));
    switch (code) {
    case kOpInscribe:
        if (ok) refresh_after_chain_action();
        break;
    case kOpCertificate:
        set_cert_boxes_busy(utf8_to_wide(ok ? std::string("Certificate inscribed.") : text), true);
        if (ok) refresh_after_chain_action();
        break;
    case kOpPass:
        for (HWND box : open_boxes_in_mode(kBoxPass))
            SetDlgItemTextW(box, kBoxResultEdit, strip_error_prefix(utf8_to_wide(text)).c_str());
        if (ok) refresh_after_chain_action();
        break;
    case kOpOwnership:
        for (HWND box : all_boxes()) {
            BoxMode mode = kBoxMintArtwork;
            if (!box_mode(box, mode) || mode == kBoxCheck) continue;
            if (mode == kBoxOwnership)
                show_title_chain(box, text);
            else if (HWND line = GetDlgItem(box, kBoxResultEdit))
                SetWindowTextW(line, utf8_to_wide(text).c_str());
        }
        break;
    case kOpConnect:
        refresh_connection_status(main_window, true);
        if (ok) start_read_inscriptions(true);
        break;
    case kOpPairResult:
        for (HWND box : open_boxes_in_mode(kBoxPair))
            show_pair_result(box, ok, text);
        if (ok) refresh_after_chain_action();
        break;
    case kOpSaleStep:
        close_sale_window();
        start_gallery_load();
        if (ok) refresh_connection_status(main_window, true);
        break;
    case kOpLookup:
        for (HWND box : open_boxes_in_mode(kBoxLookUp))
            show_title_chain(box, text);
        break;
    case kOpStatusText:
        note_listed_gallery_rows();
        break;
    default:
        break;
    }
}

// Job entries. Each runs on its own thread and owns its launch record.

void job_refresh_art_inscriptions(std::uint8_t& announce) {
    read_inscriptions_worker(announce != 0);
}

void job_save_art_image(OpenArtJob& job) {
    save_img_worker(job);
}

void job_gallery_sale_step(SaleActionJob& job) {
    sale_action_worker(job);
}

void job_run_update_check(HWND& window) {
    job_update_check(window);
}

void job_send_report(std::string& payload) {
    post_job_text(kOpInscribe, send_report_payload(payload));
}

void job_file_into_folder(FileCoinJob& job) {
    file_coin_worker(job);
}

void job_inscribe_art_picture(InscribeArtJob& job) {
    post_job_text(kOpInscribe, inscribe_artwork(job.content_type, job.bytes, job.name));
}

void job_artwork_fee_estimate(FeeEstimateJob& job) {
    auto result = std::make_unique<FeeEstimateResult>();
    result->box = job.box;
    // The popup waits for this answer to take clicks again, so even a throw must give one.
    try {
        result->fee = estimate_artwork_inscribe_fee(job.art.bytes.size(), &result->why);
    } catch (...) {
        result->fee = -1;
    }
    result->art = std::move(job.art);
    post_to_main_window(kMsgJobResult, kOpFeeEstimate, std::move(result));
}

void job_inscribe_certificate(CertificateJob& job) {
    inscribe_certificate_worker(job);
}

void job_pair_on_chain(PairJob& job) {
    post_job_text(kOpPairResult, art_pair_artwork(job.artwork_id, job.certificate_id));
}

void job_lookup_art_id(std::string& id) {
    post_job_text(kOpLookup, art_lookup_by_id(id));
}

void job_check_pair(std::string& certificate_id) {
    post_to_main_window(kMsgJobResult, kOpPairCheck, std::make_unique<PairInfo>(art_check_certificate(certificate_id)));
}

void job_live_owner(std::string& artwork_id) {
    post_job_text(kOpOwnership, art_ownership_report(artwork_id));
}

void job_pass_art(PassJob& job) {
    post_job_text(kOpPass, art_pass_to_paymail(job.artwork_id, job.recipient, job.ord_address));
}

void job_read_artwork(OpenArtJob& job) {
    open_artwork_worker(job);
}

} // namespace

bool is_success_text(const std::string& text) {
    return starts_with(text, "success");
}

void post_job_failure(std::atomic<std::uint8_t>* flag) {
    auto record = std::make_unique<JobFailure>();
    record->flag = flag;
    // Only the flag's own value is touched off the window thread; the window work of a release
    // waits for the main window, and without one there is none to do.
    if (!post_to_main_window(kMsgJobResult, kOpJobFailed, std::move(record)) && flag) flag->store(0);
}

bool post_job_text(WPARAM code, const std::string& text) {
    auto record = std::make_unique<JobResultText>();
    record->text = text;
    return post_to_main_window(kMsgJobResult, code, std::move(record));
}

void job_balance_status(std::uint8_t&) {
    auto result = std::make_unique<BalanceResult>();
    // A run that could not work out a figure must not wipe the last known one.
    bool fresh = false;
    result->has_value = read_window_balance(result->sats, &fresh) ? 1 : 0;
    result->fresh = fresh ? 1 : 0;
    post_to_main_window(kMsgBalance, 0, std::move(result));
    balance_busy.store(0);
}

void job_cofferly_connect(std::uint8_t&) {
    post_job_text(kOpConnect, connect_cofferly());
}

void job_gallery_load(std::uint8_t&) {
    auto result = std::make_unique<GalleryStateResult>();
    read_gallery(result->spots, result->closed_sale_keys);
    post_to_main_window(kMsgJobResult, kOpGalleryState, std::move(result));
}

bool start_refresh_art_inscriptions(bool announce) {
    return launch(job_refresh_art_inscriptions, std::uint8_t{announce ? std::uint8_t{1} : std::uint8_t{0}}, nullptr);
}

bool start_save_art_image(const OpenArtJob& job) {
    return launch(job_save_art_image, job, nullptr);
}

bool start_gallery_sale_step(const SaleActionJob& job) {
    return launch(job_gallery_sale_step, job, &action_busy);
}

bool start_balance_status() {
    // Silent on failure: the balance is refreshed again at the next connection-line update.
    if (start_job(job_balance_status, std::uint8_t{0}, &balance_busy)) return true;
    balance_busy.store(0);
    return false;
}

bool start_update_check(HWND window) {
    return start_job(job_run_update_check, window);
}

bool start_send_report(const std::string& payload) {
    return launch(job_send_report, payload, &action_busy);
}

bool start_file_into_folder(const FileCoinJob& job) {
    return launch(job_file_into_folder, job, &coin_check_busy);
}

bool start_inscribe_art_picture(const InscribeArtJob& job) {
    return launch(job_inscribe_art_picture, job, &action_busy);
}

bool start_artwork_fee_estimate(FeeEstimateJob job) {
    return launch(job_artwork_fee_estimate, std::move(job), nullptr);
}

bool start_inscribe_certificate(const CertificateJob& job) {
    return launch(job_inscribe_certificate, job, &action_busy);
}

bool start_pair_on_chain(const PairJob& job) {
    return launch(job_pair_on_chain, job, &action_busy);
}

bool start_lookup_art_id(const std::string& id) {
    return launch(job_lookup_art_id, id, &action_busy);
}

bool start_check_pair(const std::string& certificate_id) {
    return launch(job_check_pair, certificate_id, &action_busy);
}

bool start_live_owner(const std::string& artwork_id) {
    return launch(job_live_owner, artwork_id, &action_busy);
}

bool start_pass_art(const PassJob& job) {
    return launch(job_pass_art, job, &action_busy);
}

bool start_read_artwork(const OpenArtJob& job) {
    return launch(job_read_artwork, job, nullptr);
}

bool start_cofferly_connect() {
    return launch(job_cofferly_connect, std::uint8_t{0}, &action_busy);
}

bool start_gallery_load() {
    return start_job(job_gallery_load, std::uint8_t{0});
}

bool job_clears_action_busy(WPARAM code) {
    // Opening an artwork runs beside a chain action without taking its flag, so neither its
    // result nor its failure may release the flag of the action still running.
    return code != kOpArtRows && code != kOpStatusText && code != kOpOpenFailed && code != kOpOpenArt &&
           code != kOpGalleryState && code != kOpFileCoin && code != kOpFeeEstimate && code != kOpPassAddress &&
           code != kOpPairRead;
}

std::string job_status_text(WPARAM code, const std::string& text, bool pair_found) {
    switch (code) {
    case kOpOwnership:
        return "Ownership is in the box.";
    case kOpPairCheck:
        return pair_found ? "Pair matches." : "Pair does not match.";
    case kOpPairResult:
        return is_success_text(text) ? "Paired successfully." : text;
    case kOpSaleStep:
        return is_success_text(text) ? "Gallery offer updated." : text;
    case kOpLookup:
        return starts_with(text, "Live owner") || starts_with(text, "Current owner")
                   ? "Owner and certificate are below."
                   : text;
    default:
        return text;
    }
}

void close_sale_window() {
    if (!sale_window) return;
    HWND window = sale_window;
    sale_window = nullptr;
    DestroyWindow(window);
}

void release_action_busy() {
    action_busy.store(0);
    // The busy line of a popup that gave up its button told the user to wait; that is over now. A
    // certificate's own result writes its line afterwards.
    for (HWND box : open_boxes_in_mode(kBoxMintCertificate)) {
        HWND button = GetDlgItem(box, kBoxAction);
        if (!button || IsWindowEnabled(button)) continue;
        EnableWindow(button, TRUE);
        SetDlgItemTextW(box, kBoxBusyLine, L"");
    }
    // A step that ended not known to have gone out is held now: its buttons grey again.
    show_step_holds();
}

bool window_of_this_process(HWND window) {
    DWORD process = 0;
    return window && GetWindowThreadProcessId(window, &process) != 0 && process == GetCurrentProcessId();
}

std::vector<HWND> open_boxes_in_mode(BoxMode mode) {
    std::vector<HWND> boxes;
    for (HWND box : all_boxes())
        if (box_in_mode(box, mode)) boxes.push_back(box);
    return boxes;
}

namespace {

void handle_job_record(WPARAM code, LPARAM record) {
    // Ownership is taken before anything else so that every return below frees the record.
    switch (code) {
    case kOpArtRows:
        on_art_rows(
            std::unique_ptr<std::vector<KvCofferlyOrdRow>>(reinterpret_cast<std::vector<KvCofferlyOrdRow>*>(record)));
        return;
    case kOpOpenArt: {
        std::unique_ptr<OpenArtResult> result(reinterpret_cast<OpenArtResult*>(record));
        if (result) open_artwork_bytes(*result);
        return;
    }
    case kOpGalleryState:
        on_gallery_state(std::unique_ptr<GalleryStateResult>(reinterpret_cast<GalleryStateResult*>(record)));
        return;
    case kOpFeeEstimate: {
        std::unique_ptr<FeeEstimateResult> result(reinterpret_cast<FeeEstimateResult*>(record));
        if (result) artwork_fee_estimate_arrived(*result);
        return;
    }
    case kOpPassAddress: {
        std::unique_ptr<PassAddressResult> result(reinterpret_cast<PassAddressResult*>(record));
        if (result)
            pass_address_arrived(*result);
        else
            release_action_busy();
        return;
    }
    case kOpPairRead: {
        std::unique_ptr<PairReadResult> result(reinterpret_cast<PairReadResult*>(record));
        if (result)
            pair_read_arrived(*result);
        else
            release_action_busy();
        return;
    }
    case kOpFileCoin: {
        std::unique_ptr<FileCoinResult> result(reinterpret_cast<FileCoinResult*>(record));
        coin_check_busy.store(0);
        on_file_coin(std::move(result));
        return;
    }
    case kOpSaleStep: {
        std::unique_ptr<SaleStepResult> result(reinterpret_cast<SaleStepResult*>(record));
        release_action_busy();
        if (!result) return;
        if (result->action == 3 && is_success_text(result->text)) remove_sold_rows(result->frame);
        // A payment that was refused may be tried again; one whose sending is not known is held by
        // the engine until its inputs are resolved.
        if (result->action == 2) {
            paying_hanging.clear();
            if (is_success_text(result->text))
                paid_hangings.insert(result->show_txid);
            else
                paid_hangings.erase(result->show_txid);
        }
        on_text_result(code, result->text);
        return;
    }
    case kOpJobFailed: {
        std::unique_ptr<JobFailure> failure(reinterpret_cast<JobFailure*>(record));
        if (failure) release_flag(failure->flag);
        set_status_text(kJobStopped);
        return;
    }
    case kOpPairCheck: {
        std::unique_ptr<PairInfo> info(reinterpret_cast<PairInfo*>(record));
        release_action_busy();
        on_pair_check(std::move(info));
        return;
    }
    default:
        break;
    }
    std::unique_ptr<JobResultText> result(reinterpret_cast<JobResultText*>(record));
    if (job_clears_action_busy(code)) release_action_busy();
    if (result) on_text_result(code, result->text);
}

} // namespace

void handle_job_result(WPARAM code, LPARAM record) {
    handle_job_record(code, record);
    // Whatever gave a button back above, a step now held keeps it grey; and the reads a Refresh
    // runs are where a hold ends, so a popup open across them follows.
    show_step_holds();
    // A change of the wallet that the disk refused stays pending; the user learns of it, unless the
    // job's own error stands there.
    note_refused_wallet_save();
}

void handle_balance_result(LPARAM record) {
    std::unique_ptr<BalanceResult> result(reinterpret_cast<BalanceResult*>(record));
    if (result && result->has_value && result->sats >= 0) last_balance_sats = result->sats;
    const bool fresh = result && result->has_value && result->fresh;
    if (fresh) last_balance_read_ms = clock_system_ms();
    balance_read_failed = fresh ? 0 : 1;
    result.reset();
    refresh_connection_status(main_window, false);
    // The balance read settles what held payments became, and with them the steps they held.
    show_step_holds();
}

void handle_save_art_result(LPARAM record) {
    std::unique_ptr<SaveArtResult> result(reinterpret_cast<SaveArtResult*>(record));
    if (result) save_artwork_dialog(*result);
}
