// The two-party transaction of a gallery sale. The buyer builds the offer: the frame's artwork and
// certificate coins come first and stay unsigned, the buyer's own coins pay the price, the sale
// fee, the title watch hook and the miner fee, and only those are signed (ALL|FORKID, which leaves
// the other inputs' unlocking scripts out of the digest). The owner later signs the two frame
// coins and broadcasts. The buyer's signed coins stay in the offer locks while the offer waits.
#pragma once

#include <cstdint>
#include <string>

// The offer transaction as lower-case hex, or a text that begins "error: ". `pic_coin` and
// `cert_coin` are outpoints "<64 hex>_<index>"; `split` (0 for none) goes to `fee_address` out of
// `price`, the rest to `pay_address`; `sale_record` rides in an OP_FALSE OP_RETURN output. Holds
// the wallet mutex from the wallet check to its return.
std::string gallery_offer_build(const std::string& pic_coin, const std::string& cert_coin, std::int64_t price,
                                const std::string& pay_address, const std::string& fee_address, std::int64_t split,
                                const std::string& title_watch, const std::string& sale_record);

// True when a coin the buyer signed in the offer is already spent, which makes the offer worthless.
// Malformed offers and failed look-ups count as not spent. Takes no lock; safe on many threads.
bool offer_payment_spent(const std::string& offer_hex);

// True when the offer sells exactly this frame at this price: the two frame coins are its first
// inputs and its only unsigned ones, and one output pays at least `price` minus `split` to
// `pay_address`. The owner's signatures cover whatever outputs the buyer wrote, so this is what
// keeps a forged offer from taking the artwork, or another coin of the owner, for nothing.
bool offer_matches_frame(const std::string& offer_hex, const std::string& pic_coin, const std::string& cert_coin,
                         std::int64_t price, std::int64_t split, const std::string& pay_address);

// Signs the offer's unsigned frame-coin inputs with this wallet's keys and broadcasts the sale.
// "success: " and the transaction id (also when the sale went out before), the sale broadcast's
// own error text, or a text that begins "error: ". On success the sale's inputs join the offer
// locks and the gallery reservation of `pic_origin` is cleared.
std::string gallery_complete_sign_send(const std::string& offer_hex, const std::string& pic_origin);
