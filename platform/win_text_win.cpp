#include "platform/win_text.h"

#include <climits>
#include <windows.h>

std::wstring utf8_to_wide(const std::string& text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return std::wstring();
    const int in_len = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), in_len, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    n = MultiByteToWideChar(CP_UTF8, 0, text.data(), in_len, &out[0], n);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::string wide_to_utf8(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
    const int in_len = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    n = WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, &out[0], n, nullptr, nullptr);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}
