#include "shell/save_notice.h"

#include "shell/jobs.h"
#include "shell/status_line.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <atomic>

namespace {

constexpr UINT_PTR kSaveRetryTimer = 44;
constexpr UINT kSaveRetryIntervalMs = 2000;
constexpr const char* kSeparator = "  ";

std::atomic<std::uint8_t> save_retry_busy{0};
// The timer's own window, while it runs: results that keep arriving must not keep putting it off.
HWND retry_timer_window = nullptr;

// The wallet mutex may be held by a payment for a while: the retry waits for it on a worker.
void job_retry_wallet_save(std::uint8_t&) {
    {
        WalletLock lock = lock_wallet();
        if (kv_wallet().save_pending) save_wallet();
    }
    save_retry_busy.store(0);
}

void CALLBACK on_save_retry_timer(HWND window, UINT, UINT_PTR timer, DWORD) {
    if (!wallet_view().save_pending) {
        KillTimer(window, timer);
        retry_timer_window = nullptr;
        const std::string shown = status_text_shown();
        const std::string now = status_after_wallet_saved(shown);
        if (now != shown) set_status_text(now);
        return;
    }
    if (save_retry_busy.exchange(1) == 0 && !start_job(job_retry_wallet_save, std::uint8_t{0}))
        save_retry_busy.store(0);
}

} // namespace

void note_refused_wallet_save() {
    if (!wallet_view().save_pending) return;
    if (main_window && retry_timer_window != main_window &&
        SetTimer(main_window, kSaveRetryTimer, kSaveRetryIntervalMs, on_save_retry_timer))
        retry_timer_window = main_window;
    if (status_is_error) return;
    const std::string shown = status_text_shown();
    const std::string now = status_with_refused_save(shown, wallet_view().save_read_only);
    if (now != shown) set_status_text(now);
}

std::string status_with_refused_save(const std::string& shown, bool read_only) {
    const char* refusal = read_only ? kWalletReadOnly : kWalletNotSaved;
    if (shown.find(refusal) != std::string::npos) return shown;
    if (is_success_text(shown)) return shown + kSeparator + refusal;
    return refusal;
}

std::string status_after_wallet_saved(const std::string& shown) {
    std::size_t at = shown.find(kWalletNotSaved);
    if (at == std::string::npos) at = shown.find(kWalletReadOnly);
    if (at == std::string::npos) return shown;
    if (at == 0) return "The wallet file is saved.";
    std::string kept = shown.substr(0, at);
    if (kept.size() >= 2 && kept.compare(kept.size() - 2, 2, kSeparator) == 0) kept.resize(kept.size() - 2);
    return kept;
}
