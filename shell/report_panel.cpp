#include "shell/report_panel.h"

#include "identity/paymail_announce.h"
#include "identity/typed_sign.h"
#include "shell/jobs.h"
#include "shell/status_line.h"
#include "shell/task_popup.h"
#include "shell/text_helpers.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <vector>

namespace {

constexpr int kReportEditChars = 2199;

bool is_report_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The connected wallet's paymail alias, making sure it has one first; empty without a wallet.
std::string wallet_alias() {
    if (!is_cofferly_connected()) return "";
    auto hold = lock_wallet();
    if (!load_wallet()) return "";
    ensure_wallet_paymail(false);
    return kv_wallet().paymail;
}

void report_box(HWND panel, const std::string& text, UINT icon) {
    MessageBoxW(panel, utf8_to_wide(text).c_str(), L"Report", MB_OK | icon);
}

} // namespace

std::string trim_report_text(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && is_report_blank(text[end - 1]))
        --end;
    std::size_t begin = 0;
    while (begin < end && is_report_blank(text[begin]))
        ++begin;
    return text.substr(begin, end - begin);
}

bool report_text_acceptable(const std::string& trimmed) {
    return !trimmed.empty() && trimmed.size() <= kReportMaxBytes;
}

ReportMessage build_report_message(const std::string& handle, std::int64_t ts, const std::string& sender_pub) {
    ReportMessage msg = nlohmann::json::object();
    msg["protocol"] = "PQR-Notes";
    msg["type"] = "report";
    msg["app"] = "Corvane";
    msg["handle"] = handle;
    msg["to_handle"] = "orrinvask";
    msg["location"] = "art";
    msg["ts"] = ts;
    msg["enc_pub"] = sender_pub;
    return msg;
}

void send_report(HWND panel) {
    if (action_busy.load() != 0) {
        set_status_text(std::wstring(L"Already working..."));
        return;
    }
    if (wallet_alias().empty()) {
        report_box(panel,
                   "Connect Cofferly and publish a name under @" + service_settings().paymail_domain +
                       " first, then send your report.",
                   MB_ICONINFORMATION);
        return;
    }

    std::vector<wchar_t> buffer(kReportEditChars + 1, L'\0');
    GetDlgItemTextW(panel, kBoxReportEdit, buffer.data(), kReportEditChars + 1);
    const std::string text = trim_report_text(wide_to_utf8(buffer.data()));
    if (!report_text_acceptable(text)) {
        report_box(panel, "Write a report (max 2000 characters).", MB_ICONINFORMATION);
        return;
    }

    const std::string handle = wallet_alias();
    const std::int64_t ts = clock_system_ms() / 1000;
    std::string error;
    if (!load_channel_keys(text, error)) {
        report_box(panel, error.empty() ? std::string("Could not encrypt the report.") : error, MB_ICONWARNING);
        return;
    }
    ChannelKeys keys = loaded_channel_keys();
    TypedMessage msg = build_report_message(handle, ts, keys.own_pub);
    std::string encrypted;
    if (!sign_typed_message(msg, error)) {
        wipe(keys.own_priv);
        report_box(panel, error.empty() ? std::string("Could not sign the report.") : error, MB_ICONWARNING);
        return;
    }
    // The body stays outside the signed text, which the platform's reader rebuilds as it stands; the
    // cipher binds it to that text instead, so it cannot be moved into another report.
    encrypt_report_text(keys, text, canonical_message_preimage(msg), encrypted, error);
    wipe(keys.own_priv);
    if (encrypted.empty()) {
        report_box(panel, error.empty() ? std::string("Could not encrypt the report.") : error, MB_ICONWARNING);
        return;
    }
    msg["enc"] = encrypted;

    action_busy.store(1);
    set_status_text(std::wstring(L"Sending report in Cofferly..."));
    // The panel keeps the text until the worker is running: a launch that fails leaves it for
    // another try (the launcher releases the flag and says why).
    if (start_send_report(msg.dump())) DestroyWindow(panel);
}
