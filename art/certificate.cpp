#include "art/certificate.h"

#include "art/art_inscribe.h"
#include "art/art_records.h"
#include "art/watch/reader.h"
#include "identity/wallet_status.h"
#include "ordinals/content_load.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

using json = nlohmann::json;

namespace {

constexpr std::int32_t kFrozenTimeoutS = 6;

} // namespace

bool read_certificate_inscription(const std::string& origin, ArtCertificate& out, std::string& error) {
    error.clear();
    out = nullptr;
    std::string content_type;
    Bytes content;
    if (!load_inscription_content(origin, content_type, content, true, false) || content.empty()) {
        error = "could not read that inscription";
        return false;
    }
    json parsed = json_parse_or_discarded(std::string(content.begin(), content.end()));
    if (!parsed.is_object()) {
        error = "that inscription is not a certificate";
        return false;
    }
    out = std::move(parsed);
    return true;
}

std::string certificate_artwork_at_hand(const std::string& certificate_origin) {
    std::string content_type;
    Bytes content;
    if (certificate_origin.empty() ||
        !load_inscription_content(certificate_origin, content_type, content, false, false) || content.empty() ||
        content.size() > kCertificateMaxBytes)
        return "";
    const json parsed = json_parse_or_discarded(std::string(content.begin(), content.end()));
    if (!parsed.is_object()) return "";
    return to_lower_copy(art_trim_copy(json_text(parsed, "pic")));
}

bool certificate_well_formed(const ArtCertificate& cert) {
    return !json_text(cert, "pic").empty() && json_text(cert, "sha256").size() == 64;
}

bool paymail_identity_frozen(const std::string& identity_key) {
    // The key goes into a URL path; anything but plain hex-like text is never sent.
    if (!is_ascii_alnum_text(identity_key)) return false;
    json reply;
    if (!http_get_json(service_settings().platform_base + "/api/paymail/identity/" + identity_key, reply,
                       kFrozenTimeoutS)) {
        return false;
    }
    if (!reply.is_object()) return false;
    const auto frozen = reply.find("frozen");
    return frozen != reply.end() && frozen->is_boolean() && frozen->get<bool>();
}

bool art_identity_gate(bool registry_write, std::string& identity_key, std::string& error) {
    identity_key.clear();
    error.clear();
    if (!is_cofferly_connected() || connected_paymail_alias().empty()) {
        error = "error: Connect Cofferly and publish a @" + service_settings().paymail_domain + " paymail first.";
        return false;
    }
    if (registry_write && (std::string(kPairWatchAddress).empty() || std::string(kTitleWatchAddress).empty())) {
        error = std::string("error: ") + kWatchesNotAssignedText;
        return false;
    }
    const std::string key = to_lower_copy(current_identity_pubkey());
    if (key.empty()) {
        error = "error: this wallet has no identity pubkey.";
        return false;
    }
    if (paymail_identity_frozen(key)) {
        error = "error: this identity is frozen.";
        return false;
    }
    identity_key = key;
    return true;
}
