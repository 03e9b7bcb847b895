#include "art/offer_tx.h"

#include "art/art_pass.h"
#include "chain/broadcast.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "chain/sign.h"
#include "chain/tx.h"
#include "chain/woc_client.h"
#include "identity/sig_primitives.h"
#include "ordinals/outpoint_load.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/wallet_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t kOfferLoadTimeoutS = 25;
constexpr std::uint32_t kCompleteLoadTimeoutS = 90;
constexpr int kOfferAttempts = 3;
constexpr std::uint64_t kMaxMoneySats = 21000000ULL * 100000000ULL;
// Shorter than any transaction with one input and one output: no offer can be this small.
constexpr std::size_t kMinOfferHexDigits = 80;

const char* const kNeedHd = "error: need an HD Cofferly wallet.";
const char* const kCoinSpent = "error: one of those coins was already spent.";
const char* const kFrameCoinSpent = "error: one of the artwork coins was already spent.";
const char* const kPaymentSpent = "error: that payment was already spent. The buyer has to pay once more.";

bool begins_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The wallet keys held by working inputs must not outlive the call, whichever way it returns.
struct InputKeyWiper {
    std::vector<TxInput>& inputs;
    ~InputKeyWiper() {
        for (TxInput& in : inputs)
            wipe(in.priv_hex);
    }
};

// Loads one frame coin as an input without a key; false with the caller's error text.
bool load_frame_coin(const std::string& txid, std::uint32_t vout, std::uint32_t timeout_s, TxInput& input,
                     std::string& error) {
    std::string content_type, metadata;
    Bytes body;
    return woc_load_outpoint(txid, vout, input, content_type, body, metadata, error, timeout_s);
}

// The offer text as a parsed transaction; false when the hex digits cannot hold one.
bool parse_offer(const std::string& offer_hex, std::vector<TxInput>& inputs, std::vector<TxOutput>& outputs,
                 bool& too_short) {
    const std::string digits = hex_digits_lower(offer_hex);
    too_short = digits.size() < kMinOfferHexDigits || digits.size() % 2 != 0;
    if (too_short) return false;
    return parse_raw_tx(from_hex(digits), inputs, outputs);
}

// One strict DER integer of at most 32 significant bytes, right-aligned into `out`.
bool read_der_integer(const Bytes& der, std::size_t& i, std::uint8_t* out) {
    if (i + 2 > der.size() || der[i] != 0x02) return false;
    std::size_t len = der[i + 1];
    i += 2;
    if (len == 0 || len > 33 || i + len > der.size()) return false;
    std::size_t start = i;
    i += len;
    if (len == 33) {
        if (der[start] != 0) return false;
        ++start;
        --len;
    }
    std::copy(der.begin() + static_cast<std::ptrdiff_t>(start), der.begin() + static_cast<std::ptrdiff_t>(start + len),
              out + (32 - len));
    return true;
}

// A DER signature as its 64 bytes r and s.
bool der_to_rs(const Bytes& der, Bytes& rs) {
    rs.assign(64, 0);
    if (der.size() < 8 || der[0] != 0x30 || der[1] != der.size() - 2) return false;
    std::size_t i = 2;
    return read_der_integer(der, i, rs.data()) && read_der_integer(der, i, rs.data() + 32) && i == der.size();
}

// The two pushes of a P2PKH unlocking script: the signature with its sighash byte, then the key.
bool split_p2pkh_unlock(const Bytes& script, Bytes& sig, Bytes& pubkey) {
    std::size_t i = 0;
    for (Bytes* push : {&sig, &pubkey}) {
        if (i >= script.size() || script[i] < 1 || script[i] > 0x4b) return false;
        const std::size_t len = script[i++];
        if (i + len > script.size()) return false;
        push->assign(script.begin() + static_cast<std::ptrdiff_t>(i),
                     script.begin() + static_cast<std::ptrdiff_t>(i + len));
        i += len;
    }
    return i == script.size();
}

bool is_p2pkh_script(const Bytes& script, Hash160& hash) {
    if (script.size() != 25 || script[0] != 0x76 || script[1] != 0xa9 || script[2] != 0x14 || script[23] != 0x88 ||
        script[24] != 0xac)
        return false;
    std::copy(script.begin() + 3, script.begin() + 23, hash.begin());
    return true;
}

} // namespace

std::string gallery_offer_build(const std::string& pic_coin, const std::string& cert_coin, std::int64_t price,
                                const std::string& pay_address, const std::string& fee_address, std::int64_t split,
                                const std::string& title_watch, const std::string& sale_record) {
    if (sale_record.empty()) return "error: empty sale record.";
    if (price < 1) return "error: that frame has no price.";
    if (split < 0 || split >= price) return "error: the sale split does not fit the price.";
    std::string pic_txid, cert_txid;
    std::uint32_t pic_vout = 0, cert_vout = 0;
    if (!parse_outpoint(pic_coin, pic_txid, pic_vout) || !parse_outpoint(cert_coin, cert_txid, cert_vout))
        return "error: the frame coins are not named yet.";

    std::string spender;
    if (woc_spent_by(pic_txid, pic_vout, spender) == 0 || woc_spent_by(cert_txid, cert_vout, spender) == 0)
        return kCoinSpent;
    TxInput pic_in, cert_in;
    std::string error;
    if (!load_frame_coin(pic_txid, pic_vout, kOfferLoadTimeoutS, pic_in, error)) return "error: artwork coin: " + error;
    if (!load_frame_coin(cert_txid, cert_vout, kOfferLoadTimeoutS, cert_in, error))
        return "error: certificate coin: " + error;

    WalletLock lock = lock_wallet();
    if (!load_wallet() || !kv_wallet().is_hd) return kNeedHd;
    Hash160 pay_hash{}, fee_hash{}, watch_hash{}, own_hash{}, ord_hash{};
    if (!address_to_hash160(pay_address, pay_hash)) return "error: seller payment address is not a 1… longcode.";
    if (!address_to_hash160(fee_address, fee_hash)) return "error: sale fee address decode failed.";
    if (!address_to_hash160(title_watch, watch_hash)) return "error: OTX address decode failed.";
    if (!address_to_hash160(kv_wallet().address, own_hash)) return "error: messenger address decode failed.";
    if (!derive_ordinals_address(ord_hash, error)) return "error: " + error;

    std::vector<TxOutput> requested;
    requested.push_back({1, p2pkh_script(ord_hash)});
    requested.push_back({1, p2pkh_script(ord_hash)});
    if (split > 0) requested.push_back({static_cast<std::uint64_t>(split), p2pkh_script(fee_hash)});
    requested.push_back({static_cast<std::uint64_t>(price - split), p2pkh_script(pay_hash)});
    requested.push_back({1, p2pkh_script(watch_hash)});
    Bytes record_script{0x00, 0x6a};
    append_push_data(record_script, reinterpret_cast<const std::uint8_t*>(sale_record.data()), sale_record.size());
    requested.push_back({0, record_script});

    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    InputKeyWiper wiper{inputs};
    for (int attempt = 0;; ++attempt) {
        if (!refresh_wallet_coins(lock, error)) return "error: " + error;
        std::vector<TxInput> spendable;
        InputKeyWiper spendable_wiper{spendable};
        std::uint64_t total = 0;
        if (!collect_spendable_utxos(spendable, total, error)) {
            std::string text = "error: need BSV for the price and miner fee.";
            if (!error.empty()) text += " (" + error + ")";
            return text;
        }
        inputs.clear();
        inputs.push_back(pic_in);
        inputs.push_back(cert_in);
        inputs.insert(inputs.end(), spendable.begin(), spendable.end());
        std::int64_t fee = 0;
        if (build_payment_tx(inputs, outputs, own_hash, requested, fee, error, 2)) break;
        if (attempt + 1 >= kOfferAttempts) return "error: " + error;
    }

    // The frame coins carry no key here, so only the buyer's own inputs are signed; ALL|FORKID
    // leaves the owner's later unlocking scripts out of these signatures.
    const ForkidHashes hashes = forkid_hashes(inputs, outputs);
    for (TxInput& in : inputs) {
        if (in.priv_hex.empty()) continue;
        if (!sign_tx_input(in, hashes, in.hash160, in.priv_hex, in.pub_hex))
            return "error: could not sign the buyer inputs.";
        wipe(in.priv_hex);
    }
    if (!inputs[0].script_sig.empty() || !inputs[1].script_sig.empty())
        return "error: the artwork inputs must stay unsigned.";

    std::vector<TxInput> signed_inputs;
    for (const TxInput& in : inputs) {
        if (!in.script_sig.empty()) signed_inputs.push_back(in);
    }
    lock_offer_inputs(signed_inputs);

    const Bytes raw = serialize_tx(inputs, outputs, false);
    if (raw.empty()) return "error: serialize failed.";
    return to_hex(raw);
}

bool offer_payment_spent(const std::string& offer_hex) {
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    bool too_short = false;
    if (!parse_offer(offer_hex, inputs, outputs, too_short)) return false;
    for (const TxInput& in : inputs) {
        if (in.script_sig.empty()) continue;
        std::string spender;
        if (woc_spent_by(in.txid, in.vout, spender) == 0) return true;
    }
    return false;
}

bool offer_matches_sale(const std::string& offer_hex, const SaleTerms& terms) {
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    bool too_short = false;
    if (!parse_offer(offer_hex, inputs, outputs, too_short) || inputs.size() < 3) return false;
    std::string pic_txid, cert_txid;
    std::uint32_t pic_vout = 0, cert_vout = 0;
    if (!parse_outpoint(terms.pic_coin, pic_txid, pic_vout) || !parse_outpoint(terms.cert_coin, cert_txid, cert_vout))
        return false;
    if (!outpoint_equal(inputs[0].txid, inputs[0].vout, pic_txid, pic_vout) ||
        !outpoint_equal(inputs[1].txid, inputs[1].vout, cert_txid, cert_vout))
        return false;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if ((i < 2) != inputs[i].script_sig.empty()) return false;
    }
    if (terms.price < 1 || terms.split < 0 || terms.split >= terms.price || terms.title_json.empty()) return false;
    Hash160 pay_hash{}, fee_hash{}, watch_hash{}, ord_hash{};
    if (!address_to_hash160(terms.pay_address, pay_hash) || !address_to_hash160(terms.title_watch, watch_hash) ||
        (terms.split > 0 && !address_to_hash160(terms.fee_address, fee_hash)))
        return false;
    // Without an address on the ask, the buyer chose where the coins go; both still go together.
    Bytes ord_script;
    if (!terms.buyer_ord.empty()) {
        if (!address_to_hash160(terms.buyer_ord, ord_hash)) return false;
        ord_script = p2pkh_script(ord_hash);
    } else if (!outputs.empty() && is_p2pkh_script(outputs[0].script, ord_hash)) {
        ord_script = outputs[0].script;
    } else {
        return false;
    }

    std::vector<TxOutput> sale;
    sale.push_back({1, ord_script});
    sale.push_back({1, ord_script});
    if (terms.split > 0) sale.push_back({static_cast<std::uint64_t>(terms.split), p2pkh_script(fee_hash)});
    sale.push_back({static_cast<std::uint64_t>(terms.price - terms.split), p2pkh_script(pay_hash)});
    sale.push_back({1, p2pkh_script(watch_hash)});
    Bytes record_script{0x00, 0x6a};
    append_push_data(record_script, reinterpret_cast<const std::uint8_t*>(terms.title_json.data()),
                     terms.title_json.size());
    sale.push_back({0, record_script});
    if (outputs.size() != sale.size() && outputs.size() != sale.size() + 1) return false;
    for (std::size_t i = 0; i < sale.size(); ++i) {
        if (outputs[i].sats != sale[i].sats || outputs[i].script != sale[i].script) return false;
    }
    return true;
}

bool offer_inputs_valid(const std::string& offer_hex, std::string& error) {
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    bool too_short = false;
    if (!parse_offer(offer_hex, inputs, outputs, too_short)) {
        error = "the offer does not parse";
        return false;
    }
    // The frame coins count toward the sum too; their keys are the owner's, checked when signing.
    std::set<std::pair<std::string, std::uint32_t>> seen;
    std::uint64_t in_sum = 0, out_sum = 0;
    for (TxInput& in : inputs) {
        if (!seen.insert({to_lower_copy(in.txid), in.vout}).second) {
            error = "a coin is spent twice";
            return false;
        }
        TxInput loaded;
        if (!load_frame_coin(in.txid, in.vout, kOfferLoadTimeoutS, loaded, error)) {
            error = "a coin of the offer could not be loaded yet; try again in a few seconds";
            return false;
        }
        in.sats = loaded.sats;
        in.prev_script = loaded.prev_script;
        in_sum += std::min<std::uint64_t>(loaded.sats, kMaxMoneySats);
    }
    for (const TxOutput& out : outputs) {
        if (out.sats > kMaxMoneySats) {
            error = "an output holds more than all money";
            return false;
        }
        out_sum += out.sats;
    }
    // A sale the network will not relay would be chosen again at every completion.
    const Bytes estimate = serialize_tx(inputs, outputs, true);
    if (in_sum < out_sum || in_sum - out_sum < static_cast<std::uint64_t>(fee_for_size(estimate.size()))) {
        error = "the inputs do not cover the outputs and the miner fee";
        return false;
    }
    const ForkidHashes hashes = forkid_hashes(inputs, outputs);
    for (const TxInput& in : inputs) {
        if (in.script_sig.empty()) continue;
        Hash160 coin_hash{};
        Bytes sig, pubkey, rs;
        if (!is_p2pkh_script(in.prev_script, coin_hash) || !split_p2pkh_unlock(in.script_sig, sig, pubkey) ||
            sig.empty() || sig.back() != kSighashAllForkid || hash160_of(pubkey) != coin_hash ||
            !der_to_rs(Bytes(sig.begin(), sig.end() - 1), rs) ||
            !ecdsa_verify_digest(forkid_sighash(in, hashes, coin_hash), rs, pubkey)) {
            error = "a buyer input is not signed by the key of its coin";
            return false;
        }
        std::string spender;
        if (woc_spent_by(in.txid, in.vout, spender) == 0) {
            error = "a buyer coin is already spent";
            return false;
        }
    }
    return true;
}

std::string gallery_complete_sign_send(const std::string& offer_hex, const std::string& pic_origin) {
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    bool too_short = false;
    if (!parse_offer(offer_hex, inputs, outputs, too_short))
        return too_short ? "error: that offer has no signed bytes." : "error: could not parse the offer transaction.";

    Hash160 own_hash{};
    {
        WalletLock lock = lock_wallet();
        if (!load_wallet() || !kv_wallet().is_hd) return kNeedHd;
        if (!address_to_hash160(kv_wallet().address, own_hash)) return "error: messenger address decode failed.";
    }

    // Frame coins spent together by one transaction are this offer's sale only when that
    // transaction spent the buyer's coins as well; any other spend of them, or one the services
    // cannot yet tell, changes nothing here.
    std::string frame_spender;
    bool frame_unspent = false;
    bool payment_spent = false;
    std::vector<std::pair<int, std::string>> buyer_spends;
    for (const TxInput& in : inputs) {
        std::string spender;
        const int status = woc_spent_by(in.txid, in.vout, spender);
        if (!in.script_sig.empty()) {
            if (status == 0) payment_spent = true;
            buyer_spends.emplace_back(status, to_lower_copy(spender));
            continue;
        }
        if (status == 1) frame_unspent = true;
        if (status != 0) continue;
        if (!frame_spender.empty() && to_lower_copy(frame_spender) != to_lower_copy(spender)) return kFrameCoinSpent;
        if (frame_spender.empty()) frame_spender = spender;
    }
    if (!frame_spender.empty() && frame_unspent) return kFrameCoinSpent;
    if (!frame_spender.empty()) {
        frame_spender = to_lower_copy(frame_spender);
        if (!is_txid_hex(frame_spender) || buyer_spends.empty()) return kFrameCoinSpent;
        for (const auto& [status, spender] : buyer_spends) {
            if (status == 2) return "error: could not tell yet whether this sale went out. Try again.";
            if (status != 0 || spender != frame_spender) return kFrameCoinSpent;
        }
        lock_offer_inputs(inputs);
        clear_gallery_reserve(pic_origin);
        return "success: " + frame_spender;
    }
    if (payment_spent) {
        lock_offer_inputs(inputs);
        return kPaymentSpent;
    }

    InputKeyWiper wiper{inputs};
    bool signed_any = false;
    for (TxInput& in : inputs) {
        if (!in.script_sig.empty()) continue;
        TxInput loaded;
        std::string error;
        if (!load_frame_coin(in.txid, in.vout, kCompleteLoadTimeoutS, loaded, error)) return "error: " + error;
        in.sats = loaded.sats;
        in.prev_script = loaded.prev_script;
        in.hash160 = loaded.hash160;
        if (!find_key_for_hash160(in.hash160, in.priv_hex, in.pub_hex))
            return "error: this wallet does not hold an unsigned artwork input.";
        WalletLock lock = lock_wallet();
        const bool ok = load_wallet() && kv_wallet().is_hd;
        const bool signed_ok = ok && sign_tx_input(in, inputs, outputs, in.hash160, in.priv_hex, in.pub_hex);
        wipe(in.priv_hex);
        if (!ok) return kNeedHd;
        if (!signed_ok) return "error: could not sign the artwork.";
        signed_any = true;
    }
    if (!signed_any) return "error: nothing left for this wallet to sign.";
    for (const TxInput& in : inputs) {
        if (in.script_sig.empty()) return "error: the sale is still missing a signature.";
    }

    {
        WalletLock lock = lock_wallet();
        if (!load_wallet() || !kv_wallet().is_hd) return kNeedHd;
    }
    // The broadcast waits for the service's turn with the wallet mutex free; the sale is recorded
    // under it once the answer is in.
    const std::string result = broadcast_sale_tx(inputs, outputs, own_hash);
    if (begins_with(result, "success")) {
        WalletLock lock = lock_wallet();
        lock_offer_inputs(inputs);
        clear_gallery_reserve(pic_origin);
    }
    return result;
}
