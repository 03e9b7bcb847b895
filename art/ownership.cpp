#include "art/ownership.h"

#include "art/art_records.h"
#include "art/certificate.h"
#include "art/last_sale.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "identity/identity_lookup.h"
#include "ordinals/content_load.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"
#include "wallet/step_scope.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <vector>

using json = nlohmann::json;

namespace {

// The title read words its errors to follow "error: "; standing alone, one starts a sentence.
std::string sentence_of(std::string error) {
    if (!error.empty() && error[0] >= 'a' && error[0] <= 'z') error[0] = static_cast<char>(error[0] - 'a' + 'A');
    return error;
}

constexpr std::int32_t kLabelTimeoutS = 6;
constexpr std::size_t kShortKeyLimit = 16;
constexpr std::size_t kShortKeyHead = 8;
constexpr std::size_t kShortKeyTail = 6;
constexpr const char* kEllipsis = "\xE2\x80\xA6";
constexpr const char* kCrLf = "\r\n";
constexpr const char* kNameMoved = " (that name now points to another key)";
constexpr const char* kNoArtwork = "No artwork or certificate uses that id.";
constexpr const char* kIdUnread = "The inscription of that id could not be read. Try again.";

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
        return text + sentence_of(chain_error) + kCrLf;
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

// Whether the transaction's output 0, where a bare id's inscription stands, shows its script.
bool output_script_shown(const json& tx) {
    const auto outs = tx.find("vout");
    if (outs == tx.end() || !outs->is_array() || outs->empty() || !(*outs)[0].is_object()) return false;
    const auto script = (*outs)[0].find("scriptPubKey");
    return script != (*outs)[0].end() && script->is_object() && !json_text(*script, "hex").empty();
}

// The report text of the artwork from its title as read (error: the read's text).
std::string report_of_title(const std::string& id, const std::vector<KvArtTitleRow>& rows, const TitlePair& pair,
                            const std::string& chain_error) {
    const std::string cert_key = norm_txid(pair.certificate);
    const std::string certificate_id = is_txid_hex(cert_key) ? cert_key : std::string();
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
            (chain_error.empty() ? last_sale_block(id, rows) : last_sale_unread_text() + kCrLf);
    text += title_section(rows, !chain_error.empty() || !certificate_id.empty());
    return text;
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
    TitlePair pair;
    const std::string chain_error = art_title_read(id, rows, pair, true);
    return report_of_title(id, rows, pair, chain_error);
}

std::string art_lookup_by_id(const std::string& pasted_id) {
    // One look-up asks for a transaction once, whichever of its reads wants it.
    const StepScope lookup;
    const std::string id = norm_txid(pasted_id);
    if (!is_txid_hex(id)) return "Paste an artwork id or a certificate id. It is 64 hex characters.";
    const std::string pair_address = kPairWatchAddress;
    const std::string title_address = kTitleWatchAddress;
    if (pair_address.empty() || title_address.empty()) return kWatchesNotAssignedText;

    // Anyone can pair anything: an artwork of their own with somebody's certificate, or somebody's
    // certificate as if it were an artwork. What the id's own inscription is decides: a certificate
    // leads to the artwork it names itself, and only when that artwork's title began with it. Such
    // an answer takes one title read, over the artwork's own blocks of the watches, read afresh
    // (a remembered pair confirmed) so that "no artwork" is never an answer from memory alone.
    std::string content_type;
    Bytes content;
    if (!load_inscription_content(id, content_type, content, false, false)) {
        // An id no transaction has, or one without an inscription, names no artwork; one whose
        // transaction could not be read says so, and no watch is read in its place.
        nlohmann::json tx;
        if (!woc_tx_json(id, tx)) return woc_tx_status(id) == 1 ? kNoArtwork : kIdUnread;
        if (!woc_tx_usable(tx)) return kIdUnread;
        if (!content_from_tx_json(id, tx, content_type, content) || content.empty()) {
            // A script the service did not show whole may still carry one: its content is asked
            // for where inscriptions are served.
            if (output_script_shown(tx)) return kNoArtwork;
            if (!load_inscription_content(id, content_type, content, true, true) || content.empty()) return kIdUnread;
        }
    }
    const json inscription = json_parse_or_discarded(std::string(content.begin(), content.end()));
    const bool certificate = inscription.is_object() && !json_text(inscription, "pic").empty();
    const std::string artwork = certificate ? norm_txid(json_text(inscription, "pic")) : id;
    if (!is_txid_hex(artwork)) return kNoArtwork;
    std::vector<KvArtTitleRow> rows;
    TitlePair pair;
    const std::string error = art_title_read(artwork, rows, pair, true);
    const bool named = !pair.txid.empty() && (!certificate || norm_txid(pair.certificate) == id);
    if (named) return report_of_title(artwork, rows, pair, error);
    return pair.txid.empty() && !error.empty() && error != kNoTransactionText ? sentence_of(error) : kNoArtwork;
}
