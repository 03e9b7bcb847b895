#include "shell/drawing.h"
#include "shell/gdiplus_include.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// GDI+ stays started for the rest of the test run once a test needs it.
void start_gdiplus() {
    static ULONG_PTR token = 0;
    if (token) return;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
}

// A 2 x 1 PNG: one red pixel, then one blue.
const Bytes kTinyPng = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
                        0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00,
                        0x00, 0x7b, 0x40, 0xe8, 0xdd, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
                        0x9c, 0x63, 0xf8, 0xcf, 0x00, 0x04, 0xff, 0x01, 0x07, 0x00, 0x01, 0xff, 0xe2, 0x23,
                        0x9e, 0x59, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// A 64 x 64 top-down DIB in a memory device context, cleared to one colour.
struct Canvas {
    HDC dc = CreateCompatibleDC(nullptr);
    std::uint32_t* bits = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    explicit Canvas(COLORREF clear) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = 64;
        info.bmiHeader.biHeight = -64;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
        previous = SelectObject(dc, bitmap);
        const RECT all = {0, 0, 64, 64};
        fill_solid_rect(dc, all, clear);
        GdiFlush();
    }
    ~Canvas() {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    // Pixels outside `inside` that differ from the first pixel of the canvas.
    int changed_outside(const RECT& inside) const {
        GdiFlush();
        int changed = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                const POINT pt = {x, y};
                if (!PtInRect(&inside, pt) && bits[y * 64 + x] != bits[0]) ++changed;
            }
        return changed;
    }
};

} // namespace

TEST(Drawing, IconsDrawExactlyForTheirIds) {
    TempDataDir tmp; // the Connect icon asks whether a wallet is connected
    start_gdiplus();
    for (int id = 95; id <= 420; ++id) {
        Canvas canvas(RGB(0, 0, 0));
        paint_command_icon(canvas.dc, id, 32, 32, RGB(255, 255, 255), 22);
        const int painted = canvas.changed_outside(RECT{0, 0, 0, 0});
        EXPECT_EQ(painted > 0, command_has_icon(id)) << "id " << id;
        EXPECT_EQ(canvas.changed_outside(RECT{16, 16, 48, 48}), 0) << "id " << id << " leaves its box";
    }
}

TEST(Drawing, ListRowStaysInsideItsRectWithAnOverlongText) {
    HWND list = CreateWindowExW(0, L"LISTBOX", L"", WS_POPUP | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS, 0, 0, 200, 200,
                                nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(list, nullptr);
    const std::wstring long_name = L"picture  " + std::wstring(3000, L'w');
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(long_name.c_str()));
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"json  deed"));
    for (UINT index : {0u, 1u}) {
        for (UINT state : {0u, static_cast<UINT>(ODS_SELECTED)}) {
            Canvas canvas(RGB(1, 2, 3));
            DRAWITEMSTRUCT item = {};
            item.CtlType = ODT_LISTBOX;
            item.itemID = index;
            item.itemState = state;
            item.hwndItem = list;
            item.hDC = canvas.dc;
            item.rcItem = {4, 10, 60, 40};
            draw_list_item(item);
            EXPECT_EQ(canvas.changed_outside(item.rcItem), 0) << "row " << index << " state " << state;
        }
    }
    DestroyWindow(list);
}

// A disabled button must look different from an enabled one, for a command card and a plain
// popup button alike; a disabled button ignores the press and hover it may still carry.
TEST(Drawing, DisabledButtonsLookDisabled) {
    start_gdiplus();
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    for (int id : {105, 303}) {
        HWND button = CreateWindowExW(0, L"BUTTON", L"Go", WS_CHILD | BS_OWNERDRAW, 0, 0, 64, 64, parent,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
        ASSERT_NE(button, nullptr);
        auto paint = [&](UINT state, std::vector<std::uint32_t>& pixels) {
            Canvas canvas(RGB(0, 0, 0));
            DRAWITEMSTRUCT item = {};
            item.CtlType = ODT_BUTTON;
            item.CtlID = static_cast<UINT>(id);
            item.itemState = state;
            item.hwndItem = button;
            item.hDC = canvas.dc;
            item.rcItem = {0, 0, 64, 64};
            draw_button_item(item);
            GdiFlush();
            pixels.assign(canvas.bits, canvas.bits + 64 * 64);
        };
        std::vector<std::uint32_t> enabled, disabled, disabled_pressed;
        paint(0, enabled);
        paint(ODS_DISABLED, disabled);
        paint(ODS_DISABLED | ODS_SELECTED, disabled_pressed);
        EXPECT_NE(enabled, disabled) << "id " << id;
        EXPECT_EQ(disabled, disabled_pressed) << "id " << id;
        DestroyWindow(button);
    }
    DestroyWindow(parent);
}

TEST(Drawing, BlendColors) {
    struct Row {
        COLORREF c0;
        COLORREF c1;
        int amount;
        COLORREF expected;
    } rows[] = {
        {RGB(10, 20, 30), RGB(200, 100, 50), 0, RGB(10, 20, 30)},
        {RGB(10, 20, 30), RGB(200, 100, 50), 255, RGB(200, 100, 50)},
        {RGB(0, 0, 0), RGB(255, 255, 255), 128, RGB(128, 128, 128)},
        {RGB(255, 255, 255), RGB(0, 0, 0), 128, RGB(127, 127, 127)}, // rounded toward zero
        {RGB(255, 0, 0), RGB(0, 0, 255), 1, RGB(254, 0, 1)},         // channels stay apart
        {RGB(10, 20, 30), RGB(200, 100, 50), -40, RGB(10, 20, 30)},  // out-of-range amounts clamp
        {RGB(10, 20, 30), RGB(200, 100, 50), 999, RGB(200, 100, 50)},
        {0xFF000000u | RGB(1, 2, 3), RGB(1, 2, 3), 100, RGB(1, 2, 3)}, // top byte never leaks in
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.amount);
        EXPECT_EQ(blend_colors(row.c0, row.c1, row.amount), row.expected);
    }
}

TEST(Drawing, BitmapFromMemory) {
    start_gdiplus();
    std::unique_ptr<Gdiplus::Bitmap> image = bitmap_from_memory(kTinyPng);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->GetWidth(), 2u);
    EXPECT_EQ(image->GetHeight(), 1u);
    Gdiplus::Color pixel;
    ASSERT_EQ(image->GetPixel(0, 0, &pixel), Gdiplus::Ok);
    EXPECT_EQ(pixel.GetR(), 255);
    EXPECT_EQ(pixel.GetB(), 0);

    const Bytes truncated(kTinyPng.begin(), kTinyPng.begin() + 20);
    const Bytes text = {'<', 'h', 't', 'm', 'l', '>'};
    for (const Bytes* bad : {&truncated, &text}) {
        EXPECT_EQ(bitmap_from_memory(*bad), nullptr) << bad->size() << " bytes";
    }
    EXPECT_EQ(bitmap_from_memory(Bytes()), nullptr);
}

TEST(Drawing, CopyFieldShowsOnlyWithTextInATallEnoughCard) {
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 600, 400, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    HWND field = make_readonly_field(parent, 340);
    HWND button = make_copy_button(parent, 350);
    ASSERT_TRUE(field && button);
    auto field_rect = [&] {
        RECT r = {};
        GetWindowRect(field, &r);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        return r;
    };

    const RECT card = {20, 40, 420, 120};
    place_copy_field(parent, card, 340, 350, true);
    EXPECT_FALSE(IsWindowVisible(field)) << "no text yet";

    SetWindowTextW(field, L"abc_0");
    ShowWindow(parent, SW_SHOWNA);
    place_copy_field(parent, card, 340, 350, true);
    EXPECT_TRUE(IsWindowVisible(field));
    EXPECT_TRUE(IsWindowVisible(button));
    const RECT r = field_rect();
    EXPECT_EQ(r.left, 32);
    EXPECT_EQ(r.top, 68);
    EXPECT_EQ(r.right - r.left, 400 - 24 - 36);

    place_copy_field(parent, RECT{20, 40, 60, 120}, 340, 350, true); // narrow card: width floor of 80
    EXPECT_EQ(field_rect().right - field_rect().left, 80 - 36);

    place_copy_field(parent, RECT{20, 40, 420, 48}, 340, 350, true);
    EXPECT_FALSE(IsWindowVisible(field)) << "card of 8 pixels";
    EXPECT_FALSE(IsWindowVisible(button));
    DestroyWindow(parent);
}
