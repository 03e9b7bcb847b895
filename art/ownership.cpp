#include "art/ownership.h"

#include "art/art_records.h"
#include "art/certificate.h"
#include "art/last_sale.h"
#include "art/title_chain.h"
#include "art/watch_reader.h"
#include "chain/outpoints.h"
#include "identity/identity_lookup.h"
#include "ordinals/content_load.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <set>
#include <vector>

using json = nlohmann::json;

namespace {

constexpr std::int32_t kLabelTimeoutS = 6;
constexpr std::size_t kShortKeyLimit = 16;
// Artworks paired with one unreadable certificate that a look-up weighs, in the watch's order.
constexpr std::size_t kCertificateCandidates = 8;
constexpr std::size_t kShortKeyHead = 8;
constexpr std::size_t kShortKeyTail = 6;
constexpr const char* kEllipsis = "\xE2\x80\xA6";
constexpr const char* kCrLf = "\r\n";
constexpr const char* kNameMoved = " (that name now points to another key)";
constexpr const char* kNoArtwork = "No artwork or certificate uses that id.";

bool is_staff_label(const std::string& label) {
    for (const char* role : {"admin", "agent", "operator", "moderator", "support"}) {
        if (label == role) return true;
    }
    return false;
}

// Byte offsets where each character of the text starts. Keys come from chain records, so a key
// that is not hex is cut between characters, never inside one.
std::vector<std::size_t> char_starts(const std::string& text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    }
    return starts;
}

std::string shortened_key(const std::string& key) {
    const std::vector<std::size_t> starts = char_starts(key);
    if (starts.size() <= kShortKeyLimit) return key;
    return key.substr(0, starts[kShortKeyHead]) + kEllipsis + key.substr(starts[starts.size() - kShortKeyTail]);
}

// The platform's preferred label of the key; "" when it names none.
std::string platform_label(const std::string& key) {
    json reply;
    if (!http_get_json(service_settings().platform_base + "/api/paymail/labels/" + key, reply, kLabelTimeoutS))
        return "";
    if (!reply.is_object()) return "";
    const auto labels = reply.find("labels");
    if (labels == reply.end() || !labels->is_array()) return "";
    std::string fallback;
    std::string chosen;
    for (const json& item : *labels) {
        if (!item.is_string()) continue;
        const std::string& label = item.get_ref<const std::string&>();
        if (label.empty()) continue;
        if (fallback.empty()) fallback = label;
        if (!is_staff_label(label) && label.size() > chosen.size()) chosen = label;
    }
    return chosen.empty() ? fallback : chosen;
}

bool utc_breakdown(std::time_t time, std::tm& out) {
#ifdef _WIN32
    return gmtime_s(&out, &time) == 0;
#else
    return gmtime_r(&time, &out) != nullptr;
#endif
}

// A title row of type art_pair is the registration; the newest other row is the owner now.
std::string title_block_heading(const KvArtTitleRow& row, bool newest) {
    if (row.type == "art_pair") return "Registered";
    return newest ? "Current owner" : "Previous owner";
}

std::string live_owner_section(const std::vector<KvArtTitleRow>& rows, const std::string& chain_error,
                               const std::string& certificate_id) {
    std::string text = std::string("Live owner") + kCrLf;
    if (!rows.empty()) return text + paymail_display_label(rows.back().owner) + kCrLf;
    if (!chain_error.empty()) {
        // The title read words its errors to follow "error: "; standing alone, one starts a sentence.
        std::string shown = chain_error;
        if (shown[0] >= 'a' && shown[0] <= 'z') shown[0] = static_cast<char>(shown[0] - 'a' + 'A');
        return text + shown + kCrLf;
    }
    if (!certificate_id.empty()) return text + "The title chain did not load. " + try_again_text() + kCrLf;
    return text + "No title yet. Pair the artwork first." + kCrLf;
}

std::string certificate_section(const std::string& artwork_key, const std::string& certificate_id, const json& cert,
                                bool unknown) {
    std::string text = std::string(kCrLf) + "Certificate" + kCrLf;
    const std::string title = json_text(cert, "title");
    if (certificate_id.empty() && title.empty()) {
        return text +
               (unknown ? "The certificate did not load. " + try_again_text()
                        : std::string("No certificate is paired with this artwork.")) +
               kCrLf;
    }
    text += std::string("Artwork") + kCrLf + artwork_key + kCrLf + kCrLf;
    text += std::string("Certificate") + kCrLf + certificate_id + kCrLf + kCrLf;
    text += "Artwork Title: " + title + kCrLf;
    text += "Artist Name: " + json_text(cert, "artist_name") + kCrLf;
    text += "Created: " + json_text(cert, "created") + kCrLf;
    text += "First Owner: " + json_text(cert, "owner_paymail") + kCrLf;
    text += "Note: " + json_text(cert, "note") + kCrLf;
    return text;
}

std::string title_section(const std::vector<KvArtTitleRow>& rows, bool expected_rows) {
    std::string text = std::string(kCrLf) + "Title" + kCrLf;
    if (rows.empty())
        return text + (expected_rows ? "The title chain did not load. " + try_again_text() : std::string("None yet.")) +
               kCrLf;
    for (std::size_t i = rows.size(); i-- > 0;) {
        const KvArtTitleRow& row = rows[i];
        if (i + 1 < rows.size()) text += kCrLf;
        text += title_block_heading(row, i + 1 == rows.size()) + kCrLf;
        text += paymail_display_label(row.owner) + kCrLf;
        const std::string date = format_utc_date(row.ts);
        if (!date.empty()) text += date + kCrLf;
    }
    return text;
}

// The first of the artworks whose title began with the certificate; "" when none did, with the
// first title read that failed before naming a pair in `error`.
std::string artwork_of_certificate(const std::vector<std::string>& artworks, const std::string& certificate_key,
                                   std::string& error) {
    for (const std::string& artwork : artworks) {
        std::vector<KvArtTitleRow> rows;
        TitlePair pair;
        const std::string read_error = art_title_read(artwork, rows, pair, false);
        if (norm_txid(pair.certificate) == certificate_key) return artwork;
        if (pair.txid.empty() && !read_error.empty() && error.empty()) error = read_error;
    }
    return "";
}

} // namespace

std::string paymail_display_label(const std::string& owner_key) {
    const std::string key = to_lower_copy(art_trim_copy(owner_key));
    if (key.empty()) return "";
    // The key goes into a URL path; a key that is not plain ASCII text cannot have labels there.
    if (is_ascii_alnum_text(key)) {
        const std::string label = platform_label(key);
        if (!label.empty()) {
            const std::string shown = label + "@" + service_settings().paymail_domain;
            // A record keeps the key it was signed with; the name may since have been claimed with
            // another key, and then it no longer names this owner.
            const std::string named = lookup_identity_pubkey(label, "");
            return named.empty() || named == key ? shown : shown + kNameMoved;
        }
    }
    return shortened_key(key);
}

std::string format_utc_date(std::int64_t unix_seconds) {
    if (unix_seconds <= 0) return "";
    const std::time_t time = static_cast<std::time_t>(unix_seconds);
    // A 32-bit time_t cannot hold every time a record may carry.
    if (static_cast<std::int64_t>(time) != unix_seconds) return "";
    std::tm parts{};
    if (!utc_breakdown(time, parts)) return "";
    char buffer[16] = {};
    const std::size_t length = std::strftime(buffer, sizeof(buffer), "%Y-%m-%d", &parts);
    return std::string(buffer, length);
}

std::string art_ownership_report(const std::string& artwork_id) {
    const std::string id = to_lower_copy(art_trim_copy(artwork_id));
    if (id.empty()) return "Pick an artwork.";
    const std::string pair_address = kPairWatchAddress;
    const std::string title_address = kTitleWatchAddress;
    if (pair_address.empty() || title_address.empty()) return kWatchesNotAssignedText;

    std::vector<KvArtTitleRow> rows;
    std::string certificate_id;
    const std::string chain_error = art_title_chain(id, rows, &certificate_id);

    json cert = json::object();
    if (!certificate_id.empty()) {
        json read;
        std::string ignored;
        if (read_certificate_inscription(certificate_id, read, ignored) && read.is_object()) cert = std::move(read);
    }

    // A title that could not be read may have a certificate and sales that were not seen.
    std::string text = live_owner_section(rows, chain_error, certificate_id);
    text += certificate_section(norm_txid(id), certificate_id, cert, !rows.empty() || !chain_error.empty());
    text += std::string(kCrLf) + "Last sale" + kCrLf +
            (chain_error.empty() ? last_sale_block(id, rows) : std::string(kLastSaleUnread) + kCrLf);
    text += title_section(rows, !chain_error.empty() || !certificate_id.empty());
    return text;
}

std::string art_lookup_by_id(const std::string& pasted_id) {
    const std::string id = norm_txid(pasted_id);
    if (!is_txid_hex(id)) return "Paste an artwork id or a certificate id. It is 64 hex characters.";
    const std::string pair_address = kPairWatchAddress;
    const std::string title_address = kTitleWatchAddress;
    if (pair_address.empty() || title_address.empty()) return kWatchesNotAssignedText;

    // Anyone can pair anything: an artwork of their own with somebody's certificate, or somebody's
    // certificate as if it were an artwork. What the id's own inscription is decides: a certificate
    // leads to the artwork it names itself, and only when that artwork's title began with it. Such
    // an answer takes title reads alone, each over the artwork's own blocks of the watches.
    std::string content_type;
    Bytes content;
    const bool readable = load_inscription_content(id, content_type, content, true, false) && !content.empty();
    const json inscription = readable ? json_parse_or_discarded(std::string(content.begin(), content.end())) : json();
    std::string error;
    if (inscription.is_object() && !json_text(inscription, "pic").empty()) {
        const std::string artwork = artwork_of_certificate({norm_txid(json_text(inscription, "pic"))}, id, error);
        if (!artwork.empty()) return art_ownership_report(artwork);
        return error.empty() ? kNoArtwork : error;
    }
    if (readable) {
        std::vector<KvArtTitleRow> rows;
        TitlePair pair;
        error = art_title_read(id, rows, pair, false);
        if (!pair.txid.empty()) return art_ownership_report(id);
        return error.empty() ? kNoArtwork : error;
    }

    // The inscription could not be read: the pair watch's records tell which artworks name the id.
    std::vector<WatchRecord> records;
    if (!scan_watch_messages(kPairWatchKey, pair_address, records, error)) return error;

    bool names_artwork = false;
    std::vector<std::string> artworks; // the first few that pairs name with this certificate
    std::set<std::string> paired_with_it;
    for (const WatchRecord& record : records) {
        if (json_text(record.msg, "type") != "art_pair") continue;
        const std::string owner = to_lower_copy(json_text(record.msg, "owner"));
        if (owner.empty() || owner != json_identity_pubkey(record.msg)) continue;
        // A pair paying only the title watch still names its artwork here; the pass is stricter.
        if (!tx_pays_address(record.tx, pair_address) && !tx_pays_address(record.tx, title_address)) continue;

        const std::string pic = norm_txid(json_text(record.msg, "pic"));
        if (pic == id) names_artwork = true;
        if (norm_txid(json_text(record.msg, "cert")) == id && is_txid_hex(pic) && paired_with_it.insert(pic).second &&
            artworks.size() < kCertificateCandidates)
            artworks.push_back(pic);
    }
    if (!names_artwork && artworks.empty()) return kNoArtwork;

    // The pairs alone tell, unless they tell both ways.
    const std::string artwork = artwork_of_certificate(artworks, id, error);
    if (!artwork.empty() && names_artwork) return "The inscription of that id could not be read. Try again.";
    if (!artwork.empty()) return art_ownership_report(artwork);
    if (names_artwork) return art_ownership_report(id);
    return error.empty() ? kNoArtwork : error;
}
