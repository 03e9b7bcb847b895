#include "shell/sale_window.h"

#include "art/gallery_sale.h"
#include "shell/art_list.h"
#include "shell/drawing.h"
#include "shell/gallery_state.h"
#include "shell/status_line.h"
#include "shell/step_holds.h"
#include "shell/task_popup.h"
#include "shell/text_helpers.h"
#include "shell/theme.h"
#include "wallet/codecs.h"

#include <commctrl.h>

#include <memory>
#include <utility>

std::int32_t sale_frame = 0;

namespace {

bool sale_class_registered = false;

constexpr int kCardMargin = 18;
constexpr int kButtonWidth = 120;
constexpr int kCloseWidth = 128;
constexpr int kButtonHeight = 34;
constexpr int kButtonStep = 128;

SaleWindowState* state_of(HWND window) {
    return reinterpret_cast<SaleWindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

const SpotLoad* loaded_frame(std::int32_t number) {
    if (number == 0) return nullptr;
    for (const SpotLoad& spot : gallery_spots)
        if (spot.spot == number && !spot.pic.empty()) return &spot;
    return nullptr;
}

std::wstring decimal(std::int64_t value) {
    return std::to_wstring(value);
}

// Resolves a list item to its frame number and artwork id; an item that names no row gives none.
void item_frame_and_id(LPARAM item, std::int32_t& number, std::string& art_id) {
    number = 0;
    art_id.clear();
    if (item < 0) return;
    if (item & kGalleryRowFlag) {
        const auto index = static_cast<std::size_t>(item & ~kGalleryRowFlag);
        if (index < gallery_buy_rows.size()) {
            number = gallery_buy_rows[index].spot;
            art_id = gallery_buy_rows[index].pic;
        }
        return;
    }
    const auto index = static_cast<std::size_t>(item);
    if (index >= art_rows.size()) return;
    art_id = art_rows[index].key;
    if (row_is_artwork(art_rows[index]))
        if (const SpotLoad* spot = find_spot_for_art(art_rows[index].key)) number = spot->spot;
}

std::string title_for(const std::string& art_id, const SpotFrame* frame) {
    std::string title;
    const std::string wanted = normalize_outpoint_key(art_id);
    for (const KvCofferlyOrdRow& row : art_rows)
        if (!row.name.empty() && normalize_outpoint_key(row.key) == wanted) title = row.name;
    if (frame && !frame->title.empty()) title = frame->title;
    return title;
}

void add_button(HWND window, const wchar_t* text, int id, int width, bool enabled = true) {
    const DWORD style = WS_CHILD | WS_VISIBLE | BS_OWNERDRAW | (enabled ? 0 : WS_DISABLED);
    HWND button = CreateWindowExW(0, L"BUTTON", text, style, 0, 0, width, kButtonHeight, window,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app_instance, nullptr);
    if (!button) return;
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font_bold), TRUE);
    SetWindowSubclass(button, hot_button_subclass_proc, kHotButtonSubclassId, 0);
}

bool register_sale_class() {
    if (sale_class_registered) return true;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = sale_wnd_proc;
    wc.hInstance = app_instance;
    wc.hIcon = icon_big;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kSaleClassName;
    sale_class_registered = RegisterClassExW(&wc) != 0;
    return sale_class_registered;
}

void paint_background(HDC dc, const RECT& client) {
    const COLORREF panel = theme_color(kSlotPanel);
    fill_vertical_gradient(dc, client, blend_colors(panel, RGB(255, 255, 255), 16),
                           blend_colors(panel, RGB(0, 0, 0), 28));
}

bool on_erase(HWND window, HDC dc) {
    RECT client = {};
    GetClientRect(window, &client);
    paint_background(dc, client);
    return true;
}

void on_paint(HWND window) {
    PAINTSTRUCT ps = {};
    HDC dc = BeginPaint(window, &ps);
    RECT client = {};
    GetClientRect(window, &client);
    paint_background(dc, client);
    if (const SaleWindowState* state = state_of(window)) {
        const COLORREF accent = theme_color(kSlotAccent);
        draw_sale_card(dc, state->piece_rect, L"THE PIECE", state->piece_text, accent);
        draw_sale_card(dc, state->offer_rect, L"THE OFFER", state->offer_text,
                       blend_colors(accent, theme_color(kSlotText), 42));
        draw_sale_card(dc, state->next_rect, L"NEXT", state->next_text,
                       blend_colors(accent, theme_color(kSlotBorder), 35));
    }
    EndPaint(window, &ps);
}

void on_command(HWND window, int id) {
    switch (id) {
    case kSaleClose:
        DestroyWindow(window);
        break;
    case kSaleAccept:
        start_sale_action(1);
        break;
    case kSalePay:
        start_sale_action(2);
        break;
    case kSaleComplete:
        start_sale_action(3);
        break;
    default:
        break;
    }
}

void on_size(HWND window) {
    layout_sale_window(window);
    InvalidateRect(window, nullptr, FALSE);
}

void on_destroy(HWND window) {
    if (sale_window == window) sale_window = nullptr;
    delete state_of(window);
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
}

// What comes next at the stage the status label names.
std::wstring next_step_text(const std::string& status_label) {
    static const struct {
        const char* label;
        const wchar_t* next;
    } kNext[] = {
        {"For sale", L"A buyer asks in the Gallery; the owner accepts the ask here."},
        {"On display", L"This artwork has no price; it is on display only."},
        {"Offer made", L"Accept the ask to let that buyer pay."},
        {"Offer sent", L"The owner accepts your ask next; then you pay here."},
        {"Offer accepted", L"The accepted buyer pays next; the owner then completes the sale here."},
        {"Paid", L"The owner completes the sale next; the artwork and its certificate then come to the buyer."},
        {"Pay pending", L"Not known yet whether your payment went out. Pay opens again once a Refresh gives its coins "
                        L"back, about 5 minutes after it."},
        {"Ready to complete", L"Complete the sale: the artwork goes to the buyer and the price to you."},
        {"Sold", L"The sale is sent; the artwork and its certificate go to the buyer."},
        {"Taken down", L"The owner took this artwork down; it cannot be paid for."},
    };
    for (const auto& stage : kNext)
        if (status_label == stage.label) return stage.next;
    return L"Ask in the Gallery. Accept, pay, and complete can finish here or back on the frame.";
}

std::string untitled_or(const std::string& title) {
    return title.empty() ? std::string("Untitled") : title;
}

// The step is being sent: its buttons go, so it cannot be sent twice from this window.
void mark_sale_step_sent(std::int32_t action) {
    if (!sale_window) return;
    for (int id : {kSaleAccept, kSalePay, kSaleComplete})
        if (HWND button = GetDlgItem(sale_window, id)) DestroyWindow(button);
    if (SaleWindowState* state = state_of(sale_window)) sale_sent_texts(action, *state);
    // Where the last gallery read left the frame's title unread, the step reads it whole first; a
    // newer hanging still being read it leaves alone.
    bool unread = false;
    for (const SpotLoad& spot : gallery_spots)
        unread = unread || (spot.spot == sale_frame && spot.reading == kFrameTitleReading);
    const wchar_t* const doing = action == 1 ? L"Accepting..." : action == 2 ? L"Paying..." : L"Completing...";
    set_status_text(std::wstring(unread ? L"Reading the frame's title first. " : L"") + doing);
    InvalidateRect(sale_window, nullptr, TRUE);
}

} // namespace

SaleShown sale_shown_for(const SpotFrame* frame, std::int32_t frame_number, const std::string& title) {
    SaleShown shown;
    shown.frame = frame_number;
    shown.title = title;
    if (!frame) return shown;
    shown.show_txid = frame->show_txid;
    shown.price = frame->price;
    if (!frame->asks.empty()) {
        shown.ask_txid = frame->asks.back().txid;
        shown.ask_buyer = frame->asks.back().buyer;
        shown.ask_name = frame->asks.back().handle;
    }
    if (const SpotFunded* offer = latest_counted_offer(*frame)) {
        shown.offer_buyer = offer->buyer;
        shown.offer_name = ask_name_of(*frame, offer->buyer);
    }
    return shown;
}

bool sale_step_terms(const SaleShown& shown, std::int32_t action, SaleActionJob& job) {
    job.action = action;
    job.frame = shown.frame;
    if (action == 1 && !shown.ask_txid.empty()) {
        job.buyer = shown.ask_buyer;
        job.ask_txid = shown.ask_txid;
        return true;
    }
    if (action == 3 && !shown.offer_buyer.empty()) {
        job.show_txid = shown.show_txid;
        job.price = shown.price;
        job.buyer = shown.offer_buyer;
        return true;
    }
    return false;
}

std::string sale_accept_confirm_text(const SaleShown& shown) {
    return "Accept the ask of " + party_text(shown.ask_name, shown.ask_buyer) + " at " + std::to_string(shown.price) +
           " sats for \"" + untitled_or(shown.title) + "\" in frame AP" + std::to_string(shown.frame) +
           "?\r\nOnly that buyer may then pay; the title record for them is signed now.";
}

std::string sale_complete_confirm_text(const SaleShown& shown) {
    return "Complete the sale of \"" + untitled_or(shown.title) + "\" to " +
           party_text(shown.offer_name, shown.offer_buyer) + " for " + std::to_string(shown.price) +
           " sats in frame AP" + std::to_string(shown.frame) +
           "?\r\nThe artwork and its certificate go to the buyer; the price less the gallery fee comes to this "
           "wallet.";
}

void sale_sent_texts(std::int32_t action, SaleWindowState& state) {
    // Nothing is done until the broadcast answers: a step that hangs must not read as done meanwhile.
    const wchar_t* stage = action == 1 ? L"Accepting..." : action == 2 ? L"Paying..." : L"Completing...";
    const std::size_t status = state.offer_text.rfind(L"\nStatus  ");
    if (status != std::wstring::npos) state.offer_text.resize(status);
    state.offer_text += L"\nStatus  " + std::wstring(stage);
    state.next_text = L"Sending. The answer shows in the status line, and this window closes then.";
}

SaleButtons sale_buttons_for(const SpotFrame* frame, const std::string& own_key) {
    SaleButtons buttons;
    if (!frame) return buttons;
    const std::string key = to_lower_copy(own_key);
    // Without a wallet there is nobody to act: an empty key must not pass for the empty buyer of a
    // malformed acceptance, nor for an owner.
    if (key.empty()) return buttons;
    const bool owner = to_lower_copy(frame->owner) == key;
    bool accepted = false;
    for (const SpotAccept& accept : frame->accepts)
        if (to_lower_copy(accept.buyer) == key) accepted = true;
    // A frame whose title the gallery read left unread offers the step its own records allow: the
    // step reads the title whole before anything is paid or signed.
    const bool on_wall = (frame->shown || !frame->reading.empty()) && !frame->hidden;
    // With two buyers accepted, the other's payment (or a stranger's offer) must not take this
    // buyer's turn to pay; only an offer the sale can complete with counts at all.
    if (!owner) {
        const bool payable =
            accepted && on_wall && !buyer_has_counted_offer(*frame, key) && !hanging_paid_here(frame->show_txid);
        buttons.pay_held = payable && window_step_held("pay", frame->pic, buttons.held_why);
        buttons.pay = payable && !buttons.pay_held;
        return buttons;
    }
    // A hanging taken down sells no more; only an offer paid before it went down may complete.
    const bool counted = frame_has_counted_offer(*frame);
    const bool acceptable = !frame->asks.empty() && !counted && on_wall;
    std::string why;
    buttons.accept_held = acceptable && window_step_held("accept", frame->pic, why);
    buttons.complete_held = counted && window_step_held("complete", frame->pic, why);
    buttons.accept = acceptable && !buttons.accept_held;
    buttons.complete = counted && !buttons.complete_held;
    if (buttons.accept_held || buttons.complete_held) buttons.held_why = why;
    return buttons;
}

void sale_card_texts(const SpotFrame* frame, std::int32_t frame_number, const std::string& title,
                     const std::string& status_label, SaleWindowState& state) {
    state.piece_text = utf8_to_wide(untitled_or(title));
    state.next_text = next_step_text(status_label);
    if (!frame) {
        state.piece_text += L"\nNot on a gallery wall.";
        state.offer_text = L"No offer yet.";
        return;
    }
    if (frame->reading == kFrameNewerReading)
        state.next_text += L"\n" + utf8_to_wide(frame->reading);
    else if (!frame->reading.empty())
        state.next_text += L"\nThe title of this artwork is still being read; a step reads it whole first, before "
                           L"anything is paid or signed.";
    if (frame_number > 0) state.piece_text += L"\nFrame AP" + decimal(frame_number);
    if (!frame->artist_name.empty()) state.piece_text += L"\nArtist  " + utf8_to_wide(frame->artist_name);

    const std::string& owner_name = frame->handle.empty() ? frame->owner_paymail : frame->handle;
    state.offer_text = L"Owner  " + paymail_alias_text(owner_name);
    if (frame->price < 1)
        state.offer_text += L"\nPrice  View only";
    else
        state.offer_text += L"\nPrice  " + decimal(frame->price) + L" sats";
    if (frame->asks.empty())
        state.offer_text += L"\nNo offer yet.";
    else
        state.offer_text += L"\nFrom  " + paymail_alias_text(frame->asks.back().handle);
    state.offer_text += L"\nStatus  " + (status_label.empty() ? std::wstring(L"None") : utf8_to_wide(status_label));
}

SaleLayout sale_layout_for(int width, int height) {
    SaleLayout layout;
    int offer_height = 108;
    int next_height = 72;
    if (height - 154 >= 265) {
        const int excess = height - 154 - 264;
        offer_height += excess / 2;
        next_height += excess - excess / 2;
    }
    layout.piece = {kCardMargin, 34, width - kCardMargin, 118};
    layout.offer = {kCardMargin, 146, width - kCardMargin, 146 + offer_height};
    layout.next = {kCardMargin, layout.offer.bottom + 28, width - kCardMargin, layout.offer.bottom + 28 + next_height};
    layout.first_step_button = {kCardMargin, height - 52};
    layout.close_button = {width - 146, height - 52};
    return layout;
}

void layout_sale_window(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    const SaleLayout layout = sale_layout_for(client.right, client.bottom);
    if (SaleWindowState* state = state_of(window)) {
        state->piece_rect = layout.piece;
        state->offer_rect = layout.offer;
        state->next_rect = layout.next;
    }
    int x = layout.first_step_button.x;
    for (int id : {kSaleAccept, kSalePay, kSaleComplete}) {
        if (HWND button = GetDlgItem(window, id)) {
            MoveWindow(button, x, layout.first_step_button.y, kButtonWidth, kButtonHeight, TRUE);
            x += kButtonStep;
        }
    }
    if (HWND close = GetDlgItem(window, kSaleClose))
        MoveWindow(close, layout.close_button.x, layout.close_button.y, kCloseWidth, kButtonHeight, TRUE);
}

void draw_sale_card(HDC dc, const RECT& rect, const std::wstring& caption, const std::wstring& text, COLORREF accent) {
    if (rect.right - rect.left <= 8 || rect.bottom - rect.top <= 8) return;
    const int old_mode = SetBkMode(dc, TRANSPARENT);
    HGDIOBJ old_font = SelectObject(dc, font_small);
    const COLORREF old_color = SetTextColor(dc, accent);
    RECT caption_rect = {rect.left + 4, rect.top - 18, rect.right - 4, rect.top - 1};
    DrawTextW(dc, caption.c_str(), -1, &caption_rect,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS | DT_LEFT);

    draw_rounded_card(dc, rect, blend_colors(theme_color(kSlotFace), accent, 28),
                      blend_colors(accent, theme_color(kSlotBorder), 80), 12, false);

    SelectObject(dc, font_body);
    SetTextColor(dc, theme_color(kSlotText));
    RECT text_rect = {rect.left + 14, rect.top + 12, rect.right - 14, rect.bottom - 10};
    DrawTextW(dc, text.c_str(), -1, &text_rect, DT_WORDBREAK | DT_NOPREFIX | DT_LEFT);

    SetTextColor(dc, old_color);
    SelectObject(dc, old_font);
    SetBkMode(dc, old_mode);
}

POINT sale_window_origin(const RECT& main_rect, const RECT& work) {
    RECT below_title = main_rect;
    below_title.top += 48;
    return place_box(below_title, work, SIZE{kSaleWindowSize, kSaleWindowSize});
}

void show_sale_window(LPARAM item) {
    std::int32_t number = 0;
    std::string art_id;
    item_frame_and_id(item, number, art_id);
    const SpotLoad* frame = loaded_frame(number);

    auto state = std::make_unique<SaleWindowState>();
    const std::string title = title_for(art_id, frame);
    state->shown = sale_shown_for(frame, number, title);
    sale_card_texts(frame, number, title, wide_to_utf8(sale_status_label(frame, art_id)), *state);
    const SaleButtons buttons = sale_buttons_for(frame, this_wallet_key());
    if (!buttons.held_why.empty()) state->next_text = utf8_to_wide(buttons.held_why);

    if (sale_window) {
        HWND old = sale_window;
        sale_window = nullptr;
        DestroyWindow(old);
    }
    sale_frame = number;
    if (!register_sale_class()) return;

    RECT main_rect = {};
    if (main_window) GetWindowRect(main_window, &main_rect);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    RECT work = {};
    if (GetMonitorInfoW(MonitorFromWindow(main_window, MONITOR_DEFAULTTOPRIMARY), &monitor))
        work = monitor.rcWork;
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const POINT at = sale_window_origin(main_rect, work);
    HWND window =
        CreateWindowExW(0, kSaleClassName, L"Offers", WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN | WS_VISIBLE, at.x,
                        at.y, kSaleWindowSize, kSaleWindowSize, main_window, nullptr, app_instance, nullptr);
    if (!window) return; // the state is freed by its holder
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.release()));
    sale_window = window;
    apply_title_bar_theme(window);
    if (icon_big) SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_big));
    if (icon_16) SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_16));

    if (buttons.pay || buttons.pay_held) add_button(window, L"Pay", kSalePay, kButtonWidth, buttons.pay);
    if (buttons.accept || buttons.accept_held) add_button(window, L"Accept", kSaleAccept, kButtonWidth, buttons.accept);
    if (buttons.complete || buttons.complete_held)
        add_button(window, L"Complete", kSaleComplete, kButtonWidth, buttons.complete);
    add_button(window, L"Close", kSaleClose, kCloseWidth);

    layout_sale_window(window);
    InvalidateRect(window, nullptr, TRUE);
}

LRESULT CALLBACK sale_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_ERASEBKGND:
        return on_erase(window, reinterpret_cast<HDC>(wparam)) ? 1 : 0;
    case WM_PAINT:
        on_paint(window);
        return 0;
    case WM_DRAWITEM:
        if (lparam) draw_button_item(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
        return TRUE;
    case WM_COMMAND:
        on_command(window, LOWORD(wparam));
        return 0;
    case WM_SIZE:
        on_size(window);
        return 0;
    case WM_DESTROY:
        on_destroy(window);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool sale_pay_terms(const SpotFrame& frame, const std::string& own_key, SaleActionJob& job) {
    const std::string key = to_lower_copy(own_key);
    if (key.empty()) return false;
    job.accept_txid.clear();
    for (const SpotAccept& accept : frame.accepts)
        if (to_lower_copy(accept.buyer) == key) job.accept_txid = accept.txid;
    if (job.accept_txid.empty()) return false;
    job.show_txid = frame.show_txid;
    job.price = frame.price;
    return true;
}

std::string sale_pay_confirm_text(const SpotFrame& frame, const std::string& title) {
    const std::string& handle = frame.handle.empty() ? frame.owner_paymail : frame.handle;
    return "Pay " + std::to_string(frame.price) + " sats to " + party_text(handle, frame.owner) + " for \"" +
           untitled_or(title) + "\" in frame AP" + std::to_string(frame.spot) +
           "?\r\nThe artwork and its certificate come to this wallet when the owner completes the sale.";
}

void start_sale_action(std::int32_t action) {
    SaleActionJob job;
    job.action = action;
    job.frame = sale_frame;
    const SpotLoad* frame = loaded_frame(sale_frame);
    if (action == 2) {
        // The payment is bound to what the user confirms here; the step refuses once it changed.
        if (!frame || !sale_pay_terms(*frame, this_wallet_key(), job)) {
            set_status_text(std::wstring(L"The owner has not accepted your ask yet."));
            return;
        }
        if (hanging_paid_here(job.show_txid)) {
            set_status_text(std::string("You already paid. The owner completes the sale."));
            return;
        }
        if (action_busy.load() != 0) {
            set_status_text(std::wstring(L"Already working..."));
            return;
        }
        if (!ask_box_confirmation(sale_window, sale_pay_confirm_text(*frame, title_for(frame->pic, frame)))) return;
        // The list may have been read again while the box was open.
        frame = loaded_frame(sale_frame);
        SaleActionJob seen = job;
        if (!frame || !sale_pay_terms(*frame, this_wallet_key(), seen) || seen.show_txid != job.show_txid ||
            seen.price != job.price || seen.accept_txid != job.accept_txid) {
            set_status_text(std::wstring(L"The sale changed while you decided. Open it again."));
            return;
        }
    } else {
        const SaleWindowState* state = sale_window ? state_of(sale_window) : nullptr;
        const SaleShown shown = state ? state->shown : SaleShown{};
        if (!sale_step_terms(shown, action, job) || job.frame != sale_frame) {
            set_status_text(std::wstring(L"The sale changed. Open it again."));
            return;
        }
        if (action_busy.load() != 0) {
            set_status_text(std::wstring(L"Already working..."));
            return;
        }
        const std::string question = action == 1 ? sale_accept_confirm_text(shown) : sale_complete_confirm_text(shown);
        if (!ask_box_confirmation(sale_window, question)) return;
    }
    // The engine may have come to hold the step while the box was open, or since the window opened.
    std::string why;
    if (frame && window_step_held(action == 1 ? "accept" : action == 2 ? "pay" : "complete", frame->pic, why)) {
        set_status_text(why);
        return;
    }
    if (action_busy.exchange(1) != 0) {
        set_status_text(std::wstring(L"Already working..."));
        return;
    }
    if (action == 2) paying_hanging = job.show_txid;
    // A launch that fails releases the flag and reports it itself.
    if (start_gallery_sale_step(job))
        mark_sale_step_sent(action);
    else if (action == 2)
        paying_hanging.clear();
}

void sale_action_worker(SaleActionJob& job) {
    std::string text;
    if (job.action == 1)
        text = gallery_accept_ask(job.frame, job.buyer, job.ask_txid);
    else if (job.action == 2)
        text = gallery_fund_offer(job.frame, job.show_txid, job.price, job.accept_txid);
    else
        text = gallery_complete_sale(job.frame, "", job.show_txid, job.buyer);
    auto result = std::make_unique<SaleStepResult>();
    result->text = text;
    result->action = job.action;
    result->frame = job.frame;
    result->show_txid = job.show_txid;
    // Without a main window to receive the result nothing would ever release the flag.
    if (!post_to_main_window(kMsgJobResult, kOpSaleStep, std::move(result))) action_busy.store(0);
}
