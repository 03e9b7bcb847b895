// Small text tests and byte-limited cuts of UTF-8 text. Every place that cuts a text to a byte limit
// uses utf8_cut, so a cut never leaves half a character behind for the JSON writer to choke on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The longest prefix of text that has at most max_bytes bytes and does not end inside a
// multi-byte character. Text within the limit comes back unchanged.
std::string utf8_cut(const std::string& text, std::size_t max_bytes);

// True for 0-9, a-z and A-Z, whatever the locale.
bool is_ascii_alnum(char c);

// True for a non-empty text of ASCII letters and digits only: such a text (an address, say) can
// go into a URL path or a file name as it is.
bool is_ascii_alnum_text(const std::string& text);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool utf8_valid(const std::string& text);

// A decimal number at the start of the text: leading white space and a sign allowed, reading stops
// at the first character that is not a digit. False without digits or out of range.
bool parse_leading_i64(const std::string& text, std::int64_t& out);
