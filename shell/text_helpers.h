// Small text helpers of the windows: reading a control's text, turning an error text into a
// sentence for display, naming a service's wait in it, and naming an artwork file's content type. The UTF-8 <-> UTF-16
// edge conversions live in platform/win_text.h and come in with this header.
#pragma once

#include <windows.h>

#include "platform/win_text.h"

#include <string>

// The current text of control `control_id` of `dialog`; empty when there is no such control.
std::wstring get_control_text(HWND dialog, int control_id);

// "error: could not ..." shown as "Could not ...": leading blanks, an "error:" in any case and the
// blanks after it dropped, the first letter raised. Any other text comes back unchanged.
std::wstring strip_error_prefix(const std::wstring& text);

// A read's failure text that ends "Try again.", with that end naming the service and its wait
// instead while a service keeps every request away (try_again_text); any other text unchanged.
std::string naming_the_wait(const std::string& text);

// Content type of a file from its extension: png, jpg/jpeg, webp, gif and pdf in any case; empty
// for any other name.
std::string mime_from_extension(const std::wstring& file_name);
