#include "shell/text_helpers.h"

#include <gtest/gtest.h>

TEST(ShellText, StripErrorPrefix) {
    struct Row {
        const wchar_t* in;
        const wchar_t* out;
    } rows[] = {
        {L"error: could not read that artwork.", L"Could not read that artwork."},
        {L"  ERROR:   x", L"X"},
        {L"\tError:\t already upper", L"Already upper"},
        {L"error:", L""},
        {L"error: 5 coins", L"5 coins"},
        {L"error: \u00e9t\u00e9", L"\u00e9t\u00e9"}, // only ASCII letters are raised
        {L"errors: none", L"errors: none"},
        {L"  warning: low funds", L"  warning: low funds"},
        {L"  erro", L"  erro"}, // shorter than the prefix
        {L"", L""},
        {L"success", L"success"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(wide_to_utf8(row.in));
        EXPECT_EQ(strip_error_prefix(row.in), row.out);
    }
}

TEST(ShellText, MimeFromExtension) {
    struct Row {
        const wchar_t* name;
        const char* type;
    } rows[] = {
        {L"art.png", "image/png"},
        {L"ART.JPEG", "image/jpeg"},
        {L"a.b.jpg", "image/jpeg"},
        {L"x.WebP", "image/webp"},
        {L"x.gif", "image/gif"},
        {L"deed.pdf", "application/pdf"},
        {L"scan.tiff", ""},
        {L"png", ""},
        {L"", ""},
        {L"archive.png.zip", ""},
        {L".png", "image/png"},
        {L"trailing.", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(wide_to_utf8(row.name));
        EXPECT_EQ(mime_from_extension(row.name), row.type);
    }
}

TEST(ShellText, ControlTextIsExactlyTheText) {
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 80, 20, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(7)), nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    const std::wstring text = L"caf\u00e9 \U0001F3A8 art";
    SetWindowTextW(edit, text.c_str());
    EXPECT_EQ(get_control_text(parent, 7), text);
    SetWindowTextW(edit, L"");
    EXPECT_EQ(get_control_text(parent, 7), L"");
    EXPECT_EQ(get_control_text(parent, 8), L""); // no such control
    DestroyWindow(parent);
}
