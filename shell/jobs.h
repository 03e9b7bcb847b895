// Worker jobs: every action that reaches the network, the chain or the wallet program runs on its
// own detached thread, which owns a copy of its inputs and hands its result record to the main
// window by posting kMsgJobResult, kMsgBalance, kMsgSaveArt or kMsgUpdateCheck (shell.h). The main
// window owns a record from the moment its post succeeds and frees it after handling it.
#pragma once

#include "shell/shell.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// One sale step of the sale window: 1 accept, 2 pay, 3 complete.
struct SaleActionJob {
    std::int32_t action = 0;
    std::int32_t frame = 0;
    // The terms the user confirmed: the buyer accepted (with the ask's transaction) or sold to,
    // the hanging and price paid for or sold, and the acceptance paid on.
    std::string buyer;
    std::string ask_txid;
    std::string show_txid;
    std::int64_t price = -1;
    std::string accept_txid;
};

// The result of a sale step (code 12): its text, and the step, frame and hanging it was for.
struct SaleStepResult {
    std::string text;
    std::int32_t action = 0; // as in SaleActionJob
    std::int32_t frame = 0;
    std::string show_txid;
};

// The inputs of a certificate inscription, copied when the user clicked.
struct CertificateJob {
    std::string art_id;
    std::string title;
    std::string artist_name;
    std::string note;
    std::string owner_paymail; // empty when the wallet has none
    std::string created;       // UTC "YYYY-MM-DD HH:MM"
};

// A request to file a coin into an art folder once it is known to be still in this wallet.
struct FileCoinJob {
    HWND box = nullptr; // the asking task popup
    std::string folder;
    std::string coin_id;
    std::uint8_t is_artwork = 0;
};

struct InscribeArtJob {
    Bytes bytes;
    std::string content_type;
    std::string name;
};

// The artwork fee estimate of a Mint artwork popup, worked out before its confirmation opens.
struct FeeEstimateJob {
    HWND box = nullptr; // the asking task popup; may be gone on arrival
    InscribeArtJob art;
};

struct FeeEstimateResult {
    HWND box = nullptr;
    InscribeArtJob art;
    std::int64_t fee = -1; // negative when unknown
    std::string why;       // with no fee: the cause the engine named, "" when none
};

struct PairJob {
    std::string artwork_id;
    std::string certificate_id;
};

struct PassJob {
    std::string artwork_id;
    std::string recipient;
    std::string ord_address; // the address the user confirmed; the pass sends the coins there
};

// A job that stopped on an exception: the busy flag its result would have released, or null.
struct JobFailure {
    std::atomic<std::uint8_t>* flag = nullptr;
};

// Worker thread: posts kOpJobFailed for a job that threw; without a main window the flag is
// released here.
void post_job_failure(std::atomic<std::uint8_t>* flag);

// Runs `entry` on a detached thread that owns `record` and frees it when `entry` returns. An
// exception out of `entry` becomes the job's error (kOpJobFailed, releasing `flag`) instead of
// ending the program. False when no thread could be started; the record is then freed here and
// nothing runs.
template <typename Record>
bool start_job(void (*entry)(Record&), Record record, std::atomic<std::uint8_t>* flag = nullptr) {
    auto owned = std::make_unique<Record>(std::move(record));
    try {
        std::thread([entry, flag, job = std::move(owned)]() {
            try {
                entry(*job);
            } catch (...) {
                post_job_failure(flag);
            }
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Posts `record` to `main_window`. True when posted (the main window owns it from then on); false
// when there is no main window or the post failed, and the record is freed here instead of being
// lost.
template <typename Record> bool post_to_main_window(UINT message, WPARAM wparam, std::unique_ptr<Record> record) {
    HWND target = main_window;
    if (!target || !PostMessageW(target, message, wparam, reinterpret_cast<LPARAM>(record.get()))) return false;
    record.release();
    return true;
}

// Posts kMsgJobResult with `code` and a JobResultText of `text`; false as post_to_main_window.
bool post_job_text(WPARAM code, const std::string& text);

// Launchers, GUI thread. Each copies its inputs. False when the worker could not be started: the
// busy flag its result would have released is released at once and, for user actions, the status
// line says so, because a job that never runs never posts.
bool start_refresh_art_inscriptions(bool announce);         // code 2, then code 5 when announcing
bool start_save_art_image(const OpenArtJob& job);           // kMsgSaveArt
bool start_gallery_sale_step(const SaleActionJob& job);     // code 12
bool start_balance_status();                                // kMsgBalance; clears balance_busy itself
bool start_update_check(HWND window);                       // kMsgUpdateCheck
bool start_send_report(const std::string& payload);         // code 1
bool start_file_into_folder(const FileCoinJob& job);        // code 14
bool start_inscribe_art_picture(const InscribeArtJob& job); // code 1
bool start_artwork_fee_estimate(FeeEstimateJob job);        // code 17
bool start_inscribe_certificate(const CertificateJob& job); // code 15
bool start_pair_on_chain(const PairJob& job);               // code 9
bool start_lookup_art_id(const std::string& id);            // code 13
bool start_check_pair(const std::string& certificate_id);   // code 8
bool start_live_owner(const std::string& artwork_id);       // code 3
bool start_pass_art(const PassJob& job);                    // code 16
bool start_read_artwork(const OpenArtJob& job);             // code 7, or code 6 on failure
bool start_cofferly_connect();                              // code 4
bool start_gallery_load();                                  // code 11

// Job entry functions, run on the worker thread (or directly by tests).
void job_balance_status(std::uint8_t& placeholder);
void job_cofferly_connect(std::uint8_t& placeholder);
void job_gallery_load(std::uint8_t& placeholder);

// The main window's handling of the four messages; each frees the record on every path. After a
// job result, a wallet change the disk refused shows in the status line unless an error stands there;
// after a job or balance result, every open task popup shows the holds on its step as they stand now.
void handle_job_result(WPARAM code, LPARAM record);
void handle_balance_result(LPARAM record);
void handle_save_art_result(LPARAM record);

// The status-line text a result with `code` shows: the fixed sentence of codes 3, 8, 9, 12 and 13
// or else `text` itself. `pair_found` is the first flag of a pair check (code 8).
std::string job_status_text(WPARAM code, const std::string& text, bool pair_found);

// True when the arrival of `code` releases `action_busy` (every code but 2, 5, 6, 7, 11, 14, 17, 18
// and 20).
bool job_clears_action_busy(WPARAM code);

// Closes the sale window, if one is open: after a sale step, and when the wallet changes under it.
void close_sale_window();

// Releases `action_busy` and gives the open Mint certificate popups their action button back, which
// they gave up while any action ran, clearing the busy line that asked the user to wait.
void release_action_busy();

// True when `window` belongs to this process: another program may register a window class of the
// same name, and its windows' data means nothing here.
bool window_of_this_process(HWND window);

// The open task popups whose mode is `mode`.
std::vector<HWND> open_boxes_in_mode(BoxMode mode);
