// The three steps of a gallery sale: the owner accepts a buyer's ask, the accepted buyer pays with
// a partly signed offer, the owner completes it. Each step reads the ten frames afresh, checks the
// named frame, signs one record and posts it to the frame's watch; the records there are the only
// state of a sale. Each returns "success: " and a transaction id, or a text that begins "error: ".
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>

// The platform operator's address that receives the sale fee.
constexpr const char* kGallerySaleFeeAddress = "1C49djoLrkSb2nHj8UKRV7GbiHbS7SYVKh";

// The sale fee: 2 per cent of the price rounded down from 50 sats up, none below.
std::int64_t gallery_sale_split(std::int64_t price);

// The owner of the exhibit in frame 1 to 10 accepts the ask of `buyer` (an identity key; blanks
// and case do not matter), handing over a title record signed for that buyer. With `ask_txid` only
// while that ask of that buyer still stands (the one the owner was shown).
std::string gallery_accept_ask(std::int32_t spot, const std::string& buyer, const std::string& ask_txid = "");
// The accepted buyer pays on the terms shown to them: the hanging `show_txid` at `price` and this
// wallet's acceptance `accept_txid`. Refuses when any of them changed since, when the owner took the
// artwork down, when this wallet already paid for that hanging, when the hanging does not hold the
// artwork's title and coins, or when the acceptance's title record does not pass the title to this
// wallet; otherwise builds the offer transaction and posts it.
std::string gallery_fund_offer(std::int32_t spot, const std::string& show_txid, std::int64_t price,
                               const std::string& accept_txid);
// The owner signs and broadcasts a funded offer of the frame (`offer` empty: the latest that can
// complete, of `buyer` when one is named), then takes the exhibit off the wall. With `show_txid`
// only while the frame still shows that hanging. A failed notice keeps the success text and says
// so at its end.
std::string gallery_complete_sale(std::int32_t spot, const std::string& offer, const std::string& show_txid = "",
                                  const std::string& buyer = "");

// The gate of every step: a connected wallet with a paymail alias and an identity key that the
// platform does not report frozen. False with the error text otherwise.
bool gallery_require_identity(std::string& error);
// Signs the record and posts it to the frame watch; the sender's result text, or "error: " and
// the signing error.
std::string gallery_sign_and_post(const nlohmann::json& record, const std::string& watch);
