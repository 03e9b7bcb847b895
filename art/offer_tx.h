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

// The sale the owner agreed to: the frame's coins and price, and what the accepted buyer's offer
// must carry for that acceptance.
struct SaleTerms {
    std::string pic_coin;  // "<64 hex>_<index>"
    std::string cert_coin; // the same for the certificate coin
    std::int64_t price = 0;
    std::int64_t split = 0; // the sale fee, 0 for none
    std::string pay_address;
    std::string fee_address;
    std::string title_watch;
    std::string buyer_ord;  // the ordinals address on the buyer's ask; empty when the ask named none
    std::string title_json; // the title record signed for the buyer in the acceptance
};

// True when the offer is exactly this sale: the two frame coins are its first inputs and its only
// unsigned ones, and its outputs are both coins to the buyer's ordinals address, the fee, the
// price less the fee to the seller, the title watch hook and the title record, then at most the
// buyer's change. The owner's signatures cover whatever outputs the buyer wrote, so this is what
// keeps an offer from taking the artwork for less than was agreed, or without its title.
bool offer_matches_sale(const std::string& offer_hex, const SaleTerms& terms);

// True when every input the buyer signed spends an unspent P2PKH coin, once, with a signature of
// that coin's key over this transaction, and the inputs cover the outputs. False with the reason
// otherwise, also when a coin cannot be read: an offer that cannot be shown good is not signed.
bool offer_inputs_valid(const std::string& offer_hex, std::string& error);

// Signs the offer's unsigned frame-coin inputs with this wallet's keys and broadcasts the sale.
// "success: " and the transaction id (also when this offer's sale went out before), the sale
// broadcast's own error text, or a text that begins "error: " (also when the frame coins went out
// in a transaction that is not this offer's; nothing changes then). On success the sale's inputs join the offer
// locks and the gallery reservation of `pic_origin` is cleared.
std::string gallery_complete_sign_send(const std::string& offer_hex, const std::string& pic_origin);
