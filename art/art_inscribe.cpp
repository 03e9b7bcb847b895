#include "art/art_inscribe.h"

#include "art/art_records.h"
#include "art/held_steps.h"
#include "chain/coin_refresh.h"
#include "chain/coin_select.h"
#include "chain/inscribe.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/pay.h"
#include "chain/step_wallet.h"
#include "chain/tx.h"
#include "ordinals/ord_inbox.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <vector>

namespace {

constexpr std::uint64_t kArtworkCap = 10485760;
constexpr std::uint64_t kCertificateCap = kCertificateMaxBytes;
constexpr const char* kArtworkCapText = "file is over 10 MB. Shrink it first.";
constexpr const char* kCertificateCapText = "file is over 100 KB. Shrink it first.";
constexpr const char* kArtworkTag = "Artwork";
constexpr const char* kInscribeStep = "inscribe";
constexpr const char* kCertificateStep = "certificate";
// The estimate's stand-in content type: the real one changes the fee by a few bytes only.
constexpr const char* kEstimateContentType = "image/png";

// The steps both inscriptions share; `log_prefix` opens the log line of a success.
// The subject a certificate is held for is the artwork it names; any other file's is its bytes.
std::string step_subject(const char* step, const Bytes& content) {
    if (std::string(step) == kCertificateStep) {
        const nlohmann::json cert = json_parse_or_discarded(std::string(content.begin(), content.end()));
        const std::string pic = to_lower_copy(json_text(cert, "pic"));
        if (!pic.empty()) return pic;
    }
    return sha256_hex(content);
}

std::string inscribe_and_record(const std::string& content_type, const Bytes& content, const std::string& name,
                                std::uint64_t cap, const char* cap_text, const std::string& tag, const char* log_prefix,
                                const char* step) {
    const StepWalletScope wallet(step);
    const std::string subject = step_subject(step, content);
    // A try whose sending was not known and that went out after all is recorded as this one when
    // it wrote the same bytes.
    const std::string terms = sha256_hex(content);
    const std::string held = held_step_answer(step, subject, terms);
    if (held.compare(0, 6, "error:") == 0) return held;
    WalletLock lock = lock_wallet();
    const std::string result =
        !held.empty() ? held
                      : note_step_result(step, subject, terms,
                                         inscribe_file(lock, content_type, content, build_name_metadata(name),
                                                       static_cast<std::size_t>(cap), cap_text, tag));
    if (result.compare(0, 7, "success") != 0) return emit_cofferly_error(result);

    std::string txid;
    if (!parse_success_txid(result, txid)) return result;
    note_inscribed_ord(txid, content_type, name, &content, "");
    const std::string origin = txid + "_0";
    if (!tag.empty()) save_art_tag(origin, tag);
    emit_log_line(log_prefix + origin + "\n");
    return result;
}

} // namespace

std::string inscribe_artwork(const std::string& content_type, const Bytes& content, const std::string& name) {
    return inscribe_and_record(content_type, content, name, kArtworkCap, kArtworkCapText, kArtworkTag,
                               "Art picture inscribed ", kInscribeStep);
}

std::string inscribe_certificate_file(const std::string& content_type, const Bytes& content, const std::string& name,
                                      const std::string& tag) {
    return inscribe_and_record(content_type, content, name, kCertificateCap, kCertificateCapText, tag, "Inscribed ",
                               kCertificateStep);
}

std::int64_t estimate_artwork_inscribe_fee(std::uint64_t file_size, std::string* why) {
    if (why) why->clear();
    if (file_size == 0 || file_size > kArtworkCap) return -1;
    WalletLock lock = lock_wallet();
    if (!load_wallet() || !kv_wallet().is_hd) return -1;

    Hash160 ord_hash160{};
    Hash160 change_hash160{};
    std::string error;
    if (!derive_ordinals_address(ord_hash160, error)) return -1;
    if (!address_to_hash160(kv_wallet().address, change_hash160)) return -1;
    if (!refresh_wallet_coins(lock, error)) return -1;

    // Zero bytes of the real length, so the fee follows the size of the file to come.
    const Bytes placeholder(static_cast<std::size_t>(file_size), 0);
    TxOutput inscription;
    inscription.sats = 1;
    inscription.script =
        build_inscription_script(ord_hash160, kEstimateContentType, placeholder, "", seal_art_tag(kArtworkTag));
    const std::vector<TxOutput> requested{inscription};

    std::vector<TxInput> candidates;
    std::uint64_t total = 0;
    std::vector<TxOutput> outputs;
    std::int64_t fee = 0;
    const bool collected = collect_spendable_utxos(candidates, total, error);
    // A funded wallet whose coins all wait on a payment's fate would read as an empty one.
    if (!collected && why && error.empty() && !unsettled_inputs().empty()) *why = kFeeCoinsUnsettled;
    const bool built = collected && build_payment_tx(candidates, outputs, change_hash160, requested, fee, error);
    // Nothing is signed here; the candidates' keys are wiped before they go out of scope.
    for (TxInput& input : candidates)
        wipe(input.priv_hex);
    return built ? fee : -1;
}
