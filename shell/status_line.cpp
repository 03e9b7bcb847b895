#include "shell/status_line.h"

#include "chain/balance.h"
#include "chain/kept_listings.h"
#include "shell/jobs.h"
#include "shell/shell.h"
#include "shell/task_popup.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"
#include "wallet/clock.h"
#include "wallet/host_pace.h"
#include "wallet/http_client.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <shellapi.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>

std::uint8_t status_is_error = 0;
std::uint8_t status_animating = 0;
std::int32_t status_dots = 1;
std::wstring status_base_text;
std::int64_t last_balance_sats = -1;
std::int64_t last_balance_read_ms = 0;
std::uint8_t balance_read_failed = 0;
std::int32_t latest_version = -1;
std::uint8_t update_available = 0;

namespace {

constexpr UINT kDotsIntervalMs = 380;
constexpr COLORREF kErrorColor = RGB(0xD2, 0x48, 0x48);
constexpr COLORREF kBusyColor = RGB(0x56, 0xD6, 0x7E);
constexpr COLORREF kUpdateColor = RGB(0xFF, 0x5C, 0x48);
// Only the end of an update page is searched: the version mark sits near its foot, and a page of
// any size must not cost more than this.
constexpr std::size_t kUpdateTailBytes = 24000;

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

wchar_t wide_lower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::string lower_text(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        c = ascii_lower(c);
    return out;
}

bool starts_with_wide(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Adds digit d to value unless that passes `limit`; false on overflow.
bool push_digit(std::int64_t& value, char d, std::int64_t limit) {
    value = value * 10 + (d - '0');
    return value <= limit;
}

// "<service> asks to wait N s" names when the wait ends instead: the line stands until the user
// acts again, long after a count of seconds has stopped being true.
std::wstring wait_named_by_its_end(const std::wstring& text) {
    static const std::wstring kWait = L" asks to wait ";
    const std::size_t at = text.find(kWait);
    if (at == std::wstring::npos) return text;
    std::size_t end = at + kWait.size();
    std::int64_t seconds = 0;
    for (; end < text.size() && text[end] >= L'0' && text[end] <= L'9' && seconds < 100000000; ++end)
        seconds = seconds * 10 + (text[end] - L'0');
    if (end == at + kWait.size() || text.compare(end, 2, L" s") != 0) return text;
    const std::string until = local_clock_text(clock_system_ms() + seconds * 1000, true);
    return text.substr(0, at + kWait.size()) + L"until " + utf8_to_wide(until) + text.substr(end + 2);
}

} // namespace

void set_status_text(const std::wstring& text) {
    std::size_t start = 0;
    while (start < text.size() && (text[start] == L' ' || text[start] == L'\t'))
        ++start;
    static const wchar_t kError[] = L"error";
    bool is_error = text.size() - start >= 5;
    for (std::size_t i = 0; is_error && i < 5; ++i)
        is_error = wide_lower(text[start + i]) == kError[i];
    status_is_error = is_error ? 1 : 0;

    std::wstring stripped = text;
    while (!stripped.empty() && (stripped.back() == L'.' || stripped.back() == L' '))
        stripped.pop_back();
    const bool animating =
        starts_with_wide(stripped, L"Reading inscriptions") || starts_with_wide(stripped, L"Passing artwork");
    status_animating = animating ? 1 : 0;
    status_base_text = animating ? stripped : std::wstring();

    if (main_window) {
        if (animating)
            SetTimer(main_window, kStatusDotsTimer, kDotsIntervalMs, nullptr);
        else
            KillTimer(main_window, kStatusDotsTimer);
    }
    if (!status_line) return;
    if (animating) {
        status_dots = 1;
        tick_reading_dots();
    } else {
        SetWindowTextW(status_line, wait_named_by_its_end(text).c_str());
        InvalidateRect(status_line, nullptr, TRUE);
    }
}

void set_status_text(const std::string& text) {
    set_status_text(utf8_to_wide(text));
}

std::string status_text_shown() {
    if (!status_line) return std::string();
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(status_line)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(status_line, &text[0], static_cast<int>(text.size()))));
    return wide_to_utf8(text);
}

void tick_reading_dots() {
    if (!status_line || !status_animating) return;
    std::wstring text = status_base_text.empty() ? std::wstring(L"Reading inscriptions") : status_base_text;
    if (status_dots < 1 || status_dots > 3) status_dots = 1;
    // A large wallet's first listing takes minutes at the services' pace; it says how far it got.
    const std::string listing = first_listing_progress();
    if (!listing.empty() && starts_with_wide(text, L"Reading inscriptions")) {
        text = utf8_to_wide(listing);
        text.pop_back();
    }
    text.append(static_cast<std::size_t>(status_dots), L'.');
    SetWindowTextW(status_line, text.c_str());
    InvalidateRect(status_line, nullptr, TRUE);
}

void advance_reading_dots() {
    if (!status_animating) return;
    status_dots = status_dots >= 3 ? 1 : status_dots + 1;
    tick_reading_dots();
}

void set_cert_boxes_busy(const std::wstring& text, bool enable) {
    // A popup says its reason as a sentence; the status line keeps the engine's "error: " and its colour.
    const std::wstring line = strip_error_prefix(text);
    for (HWND box : open_boxes_in_mode(kBoxMintCertificate)) {
        SetDlgItemTextW(box, kBoxBusyLine, line.c_str());
        if (HWND button = GetDlgItem(box, kBoxAction)) EnableWindow(button, enable ? TRUE : FALSE);
    }
}

std::string connection_label(const std::string& paymail, const std::string& name, const std::string& address) {
    if (!paymail.empty()) return paymail.substr(0, paymail.find('@'));
    if (!name.empty()) return name;
    if (!address.empty()) return address;
    return "Connected";
}

std::string format_bsv_amount(std::int64_t sats) {
    // The magnitude is taken unsigned so that the most negative amount has one too.
    const std::uint64_t magnitude = sats < 0 ? 0 - static_cast<std::uint64_t>(sats) : static_cast<std::uint64_t>(sats);
    char buffer[48] = {};
    std::snprintf(buffer, sizeof buffer, "%s%llu.%08llu", sats < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 100000000ULL),
                  static_cast<unsigned long long>(magnitude % 100000000ULL));
    return buffer;
}

std::string connection_line_text(const std::string& label, std::int64_t sats, bool stale,
                                 const std::string& last_read_hhmm, std::int64_t held) {
    if (sats < 0) return label + "    \xE2\x80\xA6";
    if (held < 0) held = 0;
    const std::int64_t amount =
        held > std::numeric_limits<std::int64_t>::max() - sats ? std::numeric_limits<std::int64_t>::max() : sats + held;
    const std::string line = label + "    " + format_bsv_amount(amount) + " BSV";
    std::string note = held > 0 ? format_bsv_amount(held) + " held" : std::string();
    if (stale) {
        // A read that WhatsOnChain's pause kept away says how long the pause still lasts, so that a
        // Refresh at once is not taken for a remedy.
        // The line stands until the next balance read, so it names when the pause ends rather than a
        // count of seconds that would go on reading the same.
        const std::int64_t paused_ms = host_paused_ms(service_settings().woc_base);
        const std::string why =
            paused_ms > 0 ? "WhatsOnChain asks to wait until " + local_clock_text(clock_system_ms() + paused_ms, true)
                          : "WhatsOnChain did not answer";
        const std::string read = last_read_hhmm.empty() ? why : "last read " + last_read_hhmm + "; " + why;
        note = note.empty() ? read : note + "; " + read;
    }
    return note.empty() ? line : line + " (" + note + ")";
}

std::string local_clock_text(std::int64_t system_ms, bool with_seconds) {
    if (system_ms <= 0) return "";
    // A part of a second still to wait counts as a whole one: "until" never names a time too early.
    const std::time_t seconds = static_cast<std::time_t>(with_seconds ? (system_ms + 999) / 1000 : system_ms / 1000);
    std::tm parts{};
    if (localtime_s(&parts, &seconds) != 0) return "";
    char buffer[16] = {};
    if (with_seconds)
        std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    else
        std::snprintf(buffer, sizeof buffer, "%02d:%02d", parts.tm_hour, parts.tm_min);
    return buffer;
}

void refresh_connection_status(HWND window, bool start_balance) {
    // A sale window acts for the wallet it was opened under; another wallet closes it.
    static std::string shown_wallet;
    const std::string wallet_id = wallet_view().wallet_id;
    if (wallet_id != shown_wallet) {
        shown_wallet = wallet_id;
        close_sale_window();
    }
    std::string text = "Not connected";
    const bool connected = is_cofferly_connected();
    if (connected) {
        std::string address;
        std::string paymail;
        bool is_hd = false;
        wallet_address_info(address, paymail, is_hd);
        const std::string label = connection_label(paymail, wallet_name_for_id(wallet_view().wallet_id), address);

        std::int64_t sats = -1;
        std::int64_t held = 0;
        bool loaded = false;
        {
            WalletLock lock = lock_wallet();
            loaded = load_wallet();
            if (loaded) {
                sync_wallet_from_file();
                sats = spendable_balance_sats();
                if (sats < 0) sats = displayed_balance().shown;
                if (sats < 0) sats = load_history_face(kv_wallet().address);
                // shown_balance holds the figure at the expected value while the services still
                // report the balance from before a recent payment, stores it and writes the face.
                if (sats >= 0) sats = shown_balance(sats, 0);
                held = held_balance_sats();
            }
        }
        if (!loaded || sats < 0) sats = cached_history_face();
        if (sats < 0) sats = last_balance_sats;
        text =
            connection_line_text(label, sats, balance_read_failed != 0, local_clock_text(last_balance_read_ms), held);

        std::uint8_t idle = 0;
        if (start_balance && main_window && is_cofferly_connected() && balance_busy.compare_exchange_strong(idle, 1)) {
            if (!start_balance_status()) balance_busy.store(0);
        }
    } else {
        last_balance_sats = -1;
        last_balance_read_ms = 0;
        balance_read_failed = 0;
    }
    if (!window) return;
    SetDlgItemTextW(window, kIdConnectionLine, utf8_to_wide(text).c_str());
    if (HWND button = GetDlgItem(window, kIdConnect)) {
        SetWindowTextW(button, connected ? L"Connected" : L"Connect");
        InvalidateRect(button, nullptr, TRUE);
    }
}

std::string version_text(std::int32_t version) {
    if (version < 0) version = kBuildVersion;
    char buffer[32] = {};
    std::snprintf(buffer, sizeof buffer, "%.3f", version / 1000.0);
    return buffer;
}

std::string update_line_text() {
    if (update_available) return "Update available, " + service_settings().update_page;
    return std::string("Version ") + kBuildVersionText;
}

HBRUSH main_control_color(HDC dc, HWND control) {
    COLORREF text = theme_color(kSlotText);
    int back_slot = kSlotWindow;
    const int id = GetDlgCtrlID(control);
    if (control && control == status_line) {
        text = status_is_error ? kErrorColor : status_animating ? kBusyColor : theme_color(kSlotTextDim);
    } else if (id == kIdUpdateLine) {
        text = latest_version < 0 ? theme_color(kSlotTextDim)
               : update_available ? kUpdateColor
                                  : theme_color(kSlotAccent);
    } else if (id == kIdConnectionLine) {
        text = theme_color(kSlotAccent);
        back_slot = kSlotHeader;
    } else if (id == kIdTagline) {
        text = theme_color(kSlotTextDim);
        back_slot = kSlotHeader;
    } else if (id == kIdListCaption) {
        text = theme_color(kSlotTextDim);
    } else if (id == kIdTitle) {
        back_slot = kSlotHeader;
    } else if (id == kIdArtList) {
        back_slot = kSlotPanel;
    }
    SetTextColor(dc, text);
    SetBkColor(dc, theme_color(back_slot));
    if (back_slot == kSlotHeader) return brush_header;
    if (back_slot == kSlotPanel) return brush_panel;
    return brush_window;
}

void job_update_check(HWND& window) {
    std::string body, error;
    std::int32_t version = -1;
    // Through the pooled connections and the host's pace like every other request; a page past
    // its small cap names no version.
    if (http_get(service_settings().update_page, body, error, 15, false, kUpdateUserAgent) &&
        body.size() <= kUpdateBodyCap)
        version = parse_update_page(body);
    if (window && IsWindow(window))
        PostMessageW(window, kMsgUpdateCheck, static_cast<WPARAM>(static_cast<std::int64_t>(version) + 1), 0);
}

void handle_update_check_result(WPARAM wparam) {
    latest_version =
        wparam == 0 || wparam > static_cast<WPARAM>(INT32_MAX) ? -1 : static_cast<std::int32_t>(wparam - 1);
    update_available = latest_version > kBuildVersion ? 1 : 0;
    if (update_line) {
        SetWindowTextW(update_line, utf8_to_wide(update_line_text()).c_str());
        InvalidateRect(update_line, nullptr, TRUE);
    }
    layout_main_window();
    if (!update_available) return;
    const std::string page = service_settings().update_page;
    const std::string text = "A newer Corvane is available.\n\nThis build:  " + version_text(kBuildVersion) +
                             "\nLatest:      " + version_text(latest_version) + "\n\nOpen " + page + " to download it?";
    if (MessageBoxW(main_window, utf8_to_wide(text).c_str(), L"Corvane update", MB_ICONWARNING | MB_YESNO) == IDYES)
        open_update_page();
}

bool update_line_clickable() {
    return update_available != 0;
}

void open_update_page() {
    ShellExecuteW(main_window, L"open", utf8_to_wide(service_settings().update_page).c_str(), nullptr, nullptr,
                  SW_SHOWNORMAL);
}

std::int32_t parse_update_page(const std::string& body) {
    std::string page = body.size() > kUpdateTailBytes ? body.substr(body.size() - kUpdateTailBytes) : body;
    replace_all(page, "&nbsp;", " ");
    replace_all(page, "&#160;", " ");
    replace_all(page, "&NBSP;", " ");

    std::string clean;
    clean.reserve(page.size());
    bool in_tag = false;
    for (char c : page) {
        if (c == '<') {
            in_tag = true;
        } else if (c == '>') {
            in_tag = false;
            clean += ' ';
        } else if (!in_tag) {
            clean += c;
        }
    }

    const std::string lower = lower_text(clean);
    std::size_t mark = std::string::npos;
    const std::size_t build = lower.find("current build");
    if (build != std::string::npos) mark = lower.find("version", build);
    if (mark == std::string::npos) mark = lower.rfind("version");
    if (mark == std::string::npos) return -1;

    std::size_t at = mark + 7;
    while (at < clean.size() && (clean[at] == ' ' || clean[at] == '\t' || clean[at] == ':' || clean[at] == '='))
        ++at;
    std::size_t end = at;
    while (end < clean.size() && (is_digit(clean[end]) || clean[end] == '.'))
        ++end;
    if (end == at) return -1;
    return parse_version_number(clean.substr(at, end - at));
}

std::int32_t parse_version_number(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 32)
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32)
        --last;
    if (first == last) return -1;
    const std::string t = text.substr(first, last - first);

    std::size_t at = 0;
    bool negative = false;
    if (t[at] == '+' || t[at] == '-') negative = t[at++] == '-';
    // The result travels as version + 1 in a message parameter, so the largest version leaves room.
    const std::int64_t limit = INT32_MAX - 1;
    std::int64_t whole = 0;
    bool any_digit = false;
    for (; at < t.size() && is_digit(t[at]); ++at) {
        any_digit = true;
        if (!push_digit(whole, t[at], limit)) return -1;
    }
    if (t.find('.') == std::string::npos) {
        if (!any_digit || (negative && whole > 0)) return -1;
        return static_cast<std::int32_t>(whole);
    }

    // Read as a decimal number: thousandths from the first three fraction digits, the fourth
    // rounding to the nearest.
    std::int64_t thousandths = 0;
    std::int32_t fraction_digits = 0;
    bool round_up = false;
    if (at < t.size() && t[at] == '.') {
        for (++at; at < t.size() && is_digit(t[at]); ++at, ++fraction_digits) {
            any_digit = true;
            if (fraction_digits < 3)
                thousandths = thousandths * 10 + (t[at] - '0');
            else if (fraction_digits == 3)
                round_up = t[at] >= '5';
        }
    }
    if (!any_digit) return -1;
    for (std::int32_t i = fraction_digits; i < 3; ++i)
        thousandths *= 10;
    const std::int64_t value = whole * 1000 + thousandths + (round_up ? 1 : 0);
    if (negative && value > 0) return -1;
    if (value > limit) return -1;
    return static_cast<std::int32_t>(value);
}
