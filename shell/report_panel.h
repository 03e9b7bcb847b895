// The Report panel of the task popup: checks the text, builds a report message to the platform's
// report reader, has the text encrypted with the wallet program's channel keys, signs it with the
// identity key and hands it to a worker that pays for it on chain (result code 1).
#pragma once

#include <windows.h>

#include "identity/channel_keys.h"
#include "identity/typed_message.h"

#include <cstdint>
#include <string>

constexpr std::size_t kReportMaxBytes = 2000;

// The text without leading and trailing spaces, tabs, CRs and LFs.
std::string trim_report_text(const std::string& text);

// True when the trimmed text is not empty and at most 2000 UTF-8 bytes long.
bool report_text_acceptable(const std::string& trimmed);

// The report, a typed message of protocol "PQR-Notes" and type "report".
using ReportMessage = TypedMessage;

// The unsigned report message of `handle` at Unix time `ts` with the sender's channel public key,
// which the reader needs to decrypt the body, under "enc_pub". The encrypted body goes under "enc"
// once the message is signed, sealed to its signed text.
ReportMessage build_report_message(const std::string& handle, std::int64_t ts, const std::string& sender_pub);

// GUI thread: the "Send report" button of `panel`.
void send_report(HWND panel);
