// The three lines through which the main window speaks to the user: the status line (the last
// result or the running step, red for errors, green with moving dots while a long read or a pass
// runs), the connection line under the banner (wallet name and balance) and the version line,
// which becomes an update notice when the maker's update page announces a newer build.
// GUI-thread state unless a comment says otherwise.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// This build's version in thousandths, and how it is shown.
constexpr std::int32_t kBuildVersion = 1;
constexpr const char* kBuildVersionText = "0.001";
constexpr const char* kUpdateUserAgent = "Corvane/0.001";
// The update check keeps no more of the page than this.
constexpr std::size_t kUpdateBodyCap = 400000;

extern std::uint8_t status_is_error;      // 1 while the status text begins with "error"
extern std::uint8_t status_animating;     // 1 while the dots move
extern std::int32_t status_dots;          // 1 to 3
extern std::wstring status_base_text;     // the moving text without its dots; empty when still
extern std::int64_t last_balance_sats;    // last balance the balance job delivered; -1 none
extern std::int64_t last_balance_read_ms; // system time of the last balance read WhatsOnChain answered; 0 none
extern std::uint8_t balance_read_failed;  // 1 while the last balance read did not get every answer
extern std::int32_t latest_version;       // published version in thousandths; -1 until a check succeeds
extern std::uint8_t update_available;     // 1 when latest_version is above kBuildVersion

// Shows `text` in the status line and sets the flags above; starts or stops the dots timer.
// Safe before the main window or the status line exist (only the flags change then).
void set_status_text(const std::wstring& text);
void set_status_text(const std::string& text); // UTF-8
// The text the status line shows (UTF-8); "" before it exists.
std::string status_text_shown();
// Redraws the moving text with status_dots dots; nothing unless the line exists and dots move.
void tick_reading_dots();
// The dots timer's tick: 1, 2, 3, 1, ... dots, then the redraw.
void advance_reading_dots();

// In every open task popup of mode 1: the busy line shows `text` and the action button is enabled
// or disabled.
void set_cert_boxes_busy(const std::wstring& text, bool enable);

// Rebuilds the connection line and the Connect button's text; with `start_balance` it may start the
// balance job (at most one runs).
void refresh_connection_status(HWND window, bool start_balance);

// The connection line's label: the paymail's alias, else the registry name, else the address,
// else "Connected".
std::string connection_label(const std::string& paymail, const std::string& name, const std::string& address);
// "<whole>.<8 digits>" of a satoshi amount, "-" first when negative (all of INT64's range).
std::string format_bsv_amount(std::int64_t sats);
// label, four blanks, then the amount and " BSV", or an ellipsis when `sats` is negative. An
// amount from an earlier read says so: " (last read <last_read_hhmm>; WhatsOnChain did not
// answer)" when `stale`, without the time when it is empty, and "WhatsOnChain asks to wait until
// HH:MM:SS" in place of "did not answer" while WhatsOnChain keeps every request away. Coins held
// for a damaged spent file (`held`) count in the amount, and the line says how much is held.
std::string connection_line_text(const std::string& label, std::int64_t sats, bool stale = false,
                                 const std::string& last_read_hhmm = "", std::int64_t held = 0);
// "HH:MM" (or "HH:MM:SS", the seconds rounded up) of a system time in milliseconds, in local
// time; "" for 0 or less.
std::string local_clock_text(std::int64_t system_ms, bool with_seconds = false);

// "%.3f" of version / 1000; a negative version counts as this build's.
std::string version_text(std::int32_t version);
// The version line: the update notice with the update page's address, or "Version 0.001".
std::string update_line_text();

// Colours of the main window's static, edit and list-box controls: sets the text and background
// colours of `dc` and returns the matching shared brush.
HBRUSH main_control_color(HDC dc, HWND control);

// The update check's request, on a worker: posts kMsgUpdateCheck with the version + 1 (0 when the
// check failed) while the main window exists.
void job_update_check(HWND& window);
// kMsgUpdateCheck in the main window: stores the version, redraws the line and offers the update.
void handle_update_check_result(WPARAM wparam);
// True when a click on the version line should open the update page.
bool update_line_clickable();
// Opens the update page with the shell's "open" verb.
void open_update_page();

// The version a page announces, in thousandths, or -1 when it names none.
std::int32_t parse_update_page(const std::string& body);
// "0.010" and "10" both give 10; -1 for an empty, negative or unreadable text.
std::int32_t parse_version_number(const std::string& text);
