#include "chain/inscribe.h"

#include "chain/inscription.h"
#include "chain/pay.h"
#include "chain/tx.h"
#include "wallet/wallet_file.h"

#include <algorithm>
#include <vector>

namespace {

// Printable ASCII only: the type travels as a script push that readers take as text.
bool is_printable_ascii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 32 && b <= 126;
    });
}

} // namespace

std::string inscribe_file(WalletLock& wallet_lock, const std::string& content_type, const Bytes& content,
                          const std::string& name_metadata, std::size_t cap, const std::string& cap_message,
                          const std::string& tag) {
    if (content_type.empty() || content_type.size() > kContentTypeMax)
        return "error: content type missing or too long.";
    if (!is_printable_ascii(content_type)) return "error: content type must be ASCII.";
    if (content.empty()) return "error: nothing to inscribe.";
    if (content.size() > cap)
        return "error: " + (cap_message.empty() ? std::string("file is over the cap. Shrink it first.") : cap_message);

    std::string sealed_tag;
    if (!tag.empty()) {
        sealed_tag = seal_art_tag(tag);
        if (sealed_tag.empty()) return "error: could not seal the artwork tag.";
    }

    if (!wallet_lock.owns_lock()) wallet_lock.lock();
    if (!load_wallet()) return "error: no Kestrava Cofferly wallet. Use cofferly create first.";
    if (!kv_wallet().is_hd) return "error: need an HD Cofferly wallet.";
    Hash160 ordinals{};
    std::string error;
    if (!derive_ordinals_address(ordinals, error)) return "error: " + error;

    TxOutput inscription;
    inscription.sats = 1;
    inscription.script = build_inscription_script(ordinals, content_type, content, name_metadata, sealed_tag);
    return pay_with_retry(wallet_lock, std::vector<TxOutput>{inscription});
}
