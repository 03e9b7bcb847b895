#include "art/cert_check.h"

#include "art/art_records.h"
#include "art/certificate.h"
#include "art/ownership.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"
#include "identity/wallet_status.h"
#include "ordinals/ord_listing.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/session.h"

#include <nlohmann/json.hpp>

namespace {

std::string lower_text(const nlohmann::json& msg, const char* key) {
    return to_lower_copy(json_text(msg, key));
}

// Both checks start alike: the trimmed, lower-cased origin, refused when empty or when the
// registry watches are not assigned. False with `info.message` set.
bool begin_check(const std::string& origin, const char* empty_text, std::string& id, PairInfo& info) {
    id = to_lower_copy(art_trim_copy(origin));
    if (id.empty()) {
        info.message = empty_text;
        return false;
    }
    if (std::string(kPairWatchAddress).empty() || std::string(kTitleWatchAddress).empty()) {
        info.message = kWatchesNotAssignedText;
        return false;
    }
    return true;
}

// A title read already made in this check: of which artwork, and what it gave.
struct ReadTitle {
    std::string artwork_id;
    std::vector<KvArtTitleRow> rows;
    TitlePair pair;
    std::string text;
};

PairInfo check_certificate(const std::string& certificate_origin, ReadTitle* read);

} // namespace

PairInfo art_check_certificate(const std::string& certificate_origin) {
    return check_certificate(certificate_origin, nullptr);
}

PairInfo art_check_artwork(const std::string& artwork_origin) {
    PairInfo info;
    if (!begin_check(artwork_origin, "Pick an artwork.", info.artwork_id, info)) return info;
    ReadTitle read;
    read.artwork_id = info.artwork_id;
    read.text = art_title_read(info.artwork_id, read.rows, read.pair, true);
    if (read.pair.certificate.empty()) {
        info.message = read.text.empty() ? "No signed pair for this artwork." : read.text;
        return info;
    }
    return check_certificate(read.pair.certificate, &read);
}

namespace {

PairInfo check_certificate(const std::string& certificate_origin, ReadTitle* read) {
    PairInfo info;
    if (!begin_check(certificate_origin, "Pick a certificate.", info.certificate_id, info)) return info;
    nlohmann::json cert;
    std::string error;
    if (!read_certificate_inscription(info.certificate_id, cert, error)) {
        info.message = error;
        return info;
    }
    info.artwork_id = lower_text(cert, "pic");
    info.sha256 = lower_text(cert, "sha256");
    const std::string artist = lower_text(cert, "artist");
    if (info.artwork_id.empty() || info.sha256.size() != 64) {
        info.message = "That inscription is not a certificate.";
        return info;
    }
    // One listing of the wallet answers for both coins.
    std::vector<KvCofferlyOrdRow> listed;
    if (is_cofferly_connected() && kv_cofferly_list_ordinals(listed).empty()) {
        info.holds_certificate = listing_holds_coin(listed, info.certificate_id) == 1 ? 1 : 0;
        info.holds_artwork = listing_holds_coin(listed, info.artwork_id) == 1 ? 1 : 0;
    }

    // Only the pair that started the title counts; a later or rejected pair binds nothing.
    // The certificate names the artwork the check read already: that read stands.
    ReadTitle own;
    if (!read || read->artwork_id != info.artwork_id) {
        read = &own;
        own.text = art_title_read(info.artwork_id, own.rows, own.pair, true);
    }
    const std::vector<KvArtTitleRow>& rows = read->rows;
    const TitlePair& pair = read->pair;
    const std::string& title_text = read->text;
    if (pair.txid.empty() || pair.artwork != info.artwork_id || pair.certificate != info.certificate_id ||
        pair.sha256 != info.sha256) {
        info.message = pair.txid.empty() && !title_text.empty()
                           ? title_text
                           : "No signed ZUZ pair matches this certificate and artwork.";
        return info;
    }
    info.pair_found = 1;
    info.pair_txid = pair.txid;
    const std::string pair_owner = pair.owner;
    info.owner = pair_owner;
    info.owner_label = pair.handle;

    if (!rows.empty()) {
        info.owner = rows.back().owner;
        const std::string label = paymail_display_label(info.owner);
        if (!label.empty())
            info.owner_label = label;
        else if (rows.back().type != "art_pair")
            info.owner_label.clear();
    }

    // Without a readable title the owner is only the pair's signer, which a later pass may have
    // replaced: such a check never says the title is this wallet's, since saving the artwork's
    // bytes goes on when it does.
    const std::string identity_key = to_lower_copy(current_identity_pubkey());
    if (title_text.empty() && !identity_key.empty() && identity_key == info.owner) {
        info.title_is_mine = 1;
        info.owner_label = connected_paymail_alias();
    }

    info.message = "Pair matches " + info.pair_txid + ".";
    if (!artist.empty() && artist != pair_owner)
        info.message += " Certificate artist field differs from the pair signer.";
    info.message += info.holds_artwork && info.holds_certificate ? " This wallet holds both coins."
                                                                 : " This wallet does not hold both coins.";
    info.message += info.title_is_mine ? " Title names this identity." : " Title names a different identity.";
    if (!title_text.empty()) info.message += " Title read: " + title_text;
    return info;
}

} // namespace
