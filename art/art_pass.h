// Passing an artwork's title: the artwork coin, its certificate coin and a signed "art_owner"
// record naming the new owner travel together in one transaction, with 1 sat to the title watch.
// Also the two outpoint text helpers that the gallery transactions share.
#pragma once

#include <cstdint>
#include <string>

// Checks that this identity holds the title and both coins and that the artwork still matches its
// paired hash, resolves the recipient's identity (a name; any typed domain is replaced by the
// platform's), signs the title record and sends it with art_pass_send. The result is that of
// art_pass_send, or a text that begins "error: ". Runs on a worker thread. `ord_address`, when not
// empty, is the recipient's address the user confirmed; it is used as it is, not resolved again.
std::string art_pass_to_paymail(const std::string& pic_id, const std::string& recipient,
                                const std::string& ord_address = "");

// Builds, signs and broadcasts the pass transaction (artwork and certificate coins to the
// recipient's ordinals address, 1 sat to `otx_address`, the record under OP_FALSE OP_RETURN), with
// up to three attempts; on success hides both coins in the wallet's list, clears an avatar that was
// one of them and tells the recipient's inbox. "success: " and the transaction id, a broadcast
// reply passed on unchanged, or a text that begins "error: ". The coins go to `ord_address` when it
// is given, else to the address the recipient paymail resolves to now.
std::string art_pass_send(const std::string& pic_id, const std::string& cert_id, const std::string& recipient_paymail,
                          const std::string& title_record, const std::string& otx_address,
                          const std::string& ord_address = "");

// The hexadecimal digits of the text in order, lower-cased; every other character dropped.
std::string hex_digits_lower(const std::string& text);

// True for 64 hex digits (case kept in `txid`), "_" and a decimal index that fits a non-negative
// 32-bit signed number; reading stops at the first non-digit and no digits read as 0.
bool parse_outpoint(const std::string& text, std::string& txid, std::uint32_t& vout);
