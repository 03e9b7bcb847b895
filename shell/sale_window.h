// The "Offers" window: one artwork's place in the gallery in three cards and the next step of its
// sale that this wallet may take (accept the latest ask, pay an accepted ask, complete a funded
// offer). Its texts and buttons are fixed when it opens until a step is sent; the main window
// closes it after a step's result. At most one is open (`sale_window`, shell.h). GUI thread unless noted.
#pragma once

#include <windows.h>

#include "art/gallery_frames.h"
#include "shell/jobs.h"

#include <cstdint>
#include <string>

constexpr const wchar_t* kSaleClassName = L"CorvaneSale";

// Buttons of the sale window.
constexpr int kSaleAccept = 410;
constexpr int kSalePay = 411;
constexpr int kSaleComplete = 412;
constexpr int kSaleClose = 413;

// Frame (1 to 10, 0 for none) of the artwork in the last sale window opened; the buttons act on it.
extern std::int32_t sale_frame;

// What the window showed when it opened. Accepting and completing act on exactly this, whatever
// the gallery read since.
struct SaleShown {
    std::int32_t frame = 0;
    std::string title;
    std::string show_txid;
    std::int64_t price = -1;
    std::string ask_txid; // the latest ask, shown under "From"
    std::string ask_buyer;
    std::string ask_name;
    std::string offer_buyer; // whose offer the sale completes with: the latest counted one's
    std::string offer_name;
};

// Owned by the window through its user data.
struct SaleWindowState {
    SaleShown shown;
    std::wstring piece_text;
    std::wstring offer_text;
    std::wstring next_text;
    RECT piece_rect = {};
    RECT offer_rect = {};
    RECT next_rect = {};
};

// The step buttons a wallet whose identity key is `own_key` gets for `frame` (null: no frame).
// A step the engine holds for the artwork shows its button disabled, and `held_why` says why.
struct SaleButtons {
    bool accept = false;
    bool pay = false;
    bool complete = false;
    bool accept_held = false;
    bool pay_held = false;
    bool complete_held = false;
    std::string held_why;
};
SaleButtons sale_buttons_for(const SpotFrame* frame, const std::string& own_key);

// The three card texts for `frame` (null: not on a wall) numbered `frame_number`, with the title
// already chosen ("Untitled" when empty) and the sale status label ("None" when empty).
void sale_card_texts(const SpotFrame* frame, std::int32_t frame_number, const std::string& title,
                     const std::string& status_label, SaleWindowState& state);

// Card rectangles and button places for a client area of `width` x `height`.
struct SaleLayout {
    RECT piece = {};
    RECT offer = {};
    RECT next = {};
    POINT first_step_button = {}; // further step buttons follow 128 to the right
    POINT close_button = {};
};
SaleLayout sale_layout_for(int width, int height);

// The sale window's outer width and height.
constexpr int kSaleWindowSize = 520;
// Top-left corner of the sale window: beside the main window, 48 px below its top, kept inside the
// monitor's work area `work` as the task popups are.
POINT sale_window_origin(const RECT& main_rect, const RECT& work);

// Opens (or replaces) the sale window for main-list item data `item` (negative: no row).
void show_sale_window(LPARAM item);
LRESULT CALLBACK sale_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void layout_sale_window(HWND window);
// One card with its caption just above it; nothing for a rectangle of 8 pixels or less either way.
void draw_sale_card(HDC dc, const RECT& rect, const std::wstring& caption, const std::wstring& text, COLORREF accent);

// What the window shows of `frame` (null: no frame) numbered `frame_number`, titled `title`.
SaleShown sale_shown_for(const SpotFrame* frame, std::int32_t frame_number, const std::string& title);
// The job of step `action` (1 accept, 3 complete) on the terms shown; false when the window showed
// no ask to accept or no offer to complete.
bool sale_step_terms(const SaleShown& shown, std::int32_t action, SaleActionJob& job);
// The confirmations shown before accepting and completing: the buyer, the price and the artwork.
std::string sale_accept_confirm_text(const SaleShown& shown);
std::string sale_complete_confirm_text(const SaleShown& shown);
// The texts while step `action` is being sent, until its answer closes the window.
void sale_sent_texts(std::int32_t action, SaleWindowState& state);

// The terms a payment by `own_key` (lower case) would take from `frame`: its hanging, its price
// and the buyer's last acceptance. False when the frame holds no acceptance of that buyer.
bool sale_pay_terms(const SpotFrame& frame, const std::string& own_key, SaleActionJob& job);
// The confirmation shown before paying: the price, the seller and the artwork.
std::string sale_pay_confirm_text(const SpotFrame& frame, const std::string& title);

// Starts step `action` (1 accept, 2 pay, 3 complete) on `sale_frame`, or says "Already working...".
// Each step first asks the user to confirm the price and the other party; a hanging already paid
// for in this run is not paid again. Once sent, the window shows the step's state without buttons.
void start_sale_action(std::int32_t action);
// Worker thread: runs the step and posts its result text with code 12.
void sale_action_worker(SaleActionJob& job);
