#include "shell/sale_window.h"

#include "art/gallery_sale.h"
#include "shell/art_list.h"
#include "shell/drawing.h"
#include "shell/gallery_state.h"
#include "shell/status_line.h"
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

void add_button(HWND window, const wchar_t* text, int id, int width) {
    HWND button = CreateWindowExW(0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 0, 0, width, kButtonHeight,
                                  window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app_instance, nullptr);
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

} // namespace

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
    // With two buyers accepted, the other's payment (or a stranger's offer) must not take this
    // buyer's turn to pay; only an offer the sale can complete with counts at all.
    if (!owner) {
        buttons.pay = accepted && !buyer_has_counted_offer(*frame, key);
        return buttons;
    }
    const bool counted = frame_has_counted_offer(*frame);
    buttons.accept = !frame->asks.empty() && !counted;
    buttons.complete = counted;
    return buttons;
}

void sale_card_texts(const SpotFrame* frame, std::int32_t frame_number, const std::string& title,
                     const std::string& status_label, SaleWindowState& state) {
    state.piece_text = utf8_to_wide(title.empty() ? std::string("Untitled") : title);
    state.next_text = L"Ask in the Gallery. Accept, pay, and complete can finish here or back on the frame.";
    if (!frame) {
        state.piece_text += L"\nNot on a gallery wall.";
        state.offer_text = L"No offer yet.";
        return;
    }
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

    if (!frame->shown && !frame->accepts.empty())
        state.next_text = L"The last payment was spent before it could be completed. Pay once more.";
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
    sale_card_texts(frame, number, title_for(art_id, frame), wide_to_utf8(sale_status_label(frame, art_id)), *state);
    const SaleButtons buttons = sale_buttons_for(frame, this_wallet_key());

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

    if (buttons.pay) add_button(window, L"Pay", kSalePay, kButtonWidth);
    if (buttons.accept) add_button(window, L"Accept", kSaleAccept, kButtonWidth);
    if (buttons.complete) add_button(window, L"Complete", kSaleComplete, kButtonWidth);
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

void start_sale_action(std::int32_t action) {
    SaleActionJob job;
    job.action = action;
    job.frame = sale_frame;
    if (const SpotLoad* frame = loaded_frame(sale_frame))
        if (!frame->asks.empty()) job.buyer = frame->asks.back().buyer;
    if (action_busy.exchange(1) != 0) {
        set_status_text(std::wstring(L"Already working..."));
        return;
    }
    // A launch that fails releases the flag and reports it itself.
    start_gallery_sale_step(job);
}

void sale_action_worker(SaleActionJob& job) {
    std::string text;
    if (job.action == 1)
        text = gallery_accept_ask(job.frame, job.buyer);
    else if (job.action == 2)
        text = gallery_fund_offer(job.frame, "");
    else
        text = gallery_complete_sale(job.frame, "");
    auto result = std::make_unique<SaleStepResult>();
    result->text = text;
    result->action = job.action;
    result->frame = job.frame;
    // Without a main window to receive the result nothing would ever release the flag.
    if (!post_to_main_window(kMsgJobResult, kOpSaleStep, std::move(result))) action_busy.store(0);
}
