#include "shell/text_helpers.h"

#include "wallet/http_client.h"

namespace {

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

wchar_t ascii_lower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

} // namespace

std::wstring get_control_text(HWND dialog, int control_id) {
    HWND control = GetDlgItem(dialog, control_id);
    if (!control) return std::wstring();
    const int length = GetWindowTextLengthW(control);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(control, &text[0], length + 1);
    // The reported length is an upper bound (and the text may change in between): keep only what
    // was copied, so no padding zeros reach the caller.
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

std::wstring strip_error_prefix(const std::wstring& text) {
    static const wchar_t kPrefix[] = L"error:";
    constexpr std::size_t kPrefixLength = 6;
    std::size_t at = 0;
    while (at < text.size() && is_blank(text[at]))
        ++at;
    if (text.size() - at < kPrefixLength) return text;
    for (std::size_t i = 0; i < kPrefixLength; ++i) {
        if (ascii_lower(text[at + i]) != kPrefix[i]) return text;
    }
    at += kPrefixLength;
    while (at < text.size() && is_blank(text[at]))
        ++at;
    std::wstring rest = text.substr(at);
    if (!rest.empty() && rest[0] >= L'a' && rest[0] <= L'z') rest[0] = static_cast<wchar_t>(rest[0] - L'a' + L'A');
    return rest;
}

std::string mime_from_extension(const std::wstring& file_name) {
    const std::size_t dot = file_name.rfind(L'.');
    std::wstring extension = dot == std::wstring::npos ? file_name : file_name.substr(dot);
    for (wchar_t& c : extension)
        c = ascii_lower(c);
    if (extension == L".png") return "image/png";
    if (extension == L".jpg" || extension == L".jpeg") return "image/jpeg";
    if (extension == L".webp") return "image/webp";
    if (extension == L".gif") return "image/gif";
    if (extension == L".pdf") return "application/pdf";
    return std::string();
}

std::string naming_the_wait(const std::string& text) {
    static const std::string kTryAgain = "Try again.";
    if (text.size() < kTryAgain.size() ||
        text.compare(text.size() - kTryAgain.size(), kTryAgain.size(), kTryAgain) != 0)
        return text;
    return text.substr(0, text.size() - kTryAgain.size()) + try_again_text();
}
