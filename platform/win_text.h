// UTF-8 <-> UTF-16 conversion at the edge of a Win32 call. Windows code only: everything else keeps
// text as UTF-8 in std::string.
#pragma once

#include <string>

// UTF-16 text of a UTF-8 string (code page 65001); malformed bytes become U+FFFD. Never fails.
std::wstring utf8_to_wide(const std::string& text);

// UTF-8 text of a UTF-16 string; unpaired surrogates become U+FFFD. Never fails.
std::string wide_to_utf8(const std::wstring& text);
