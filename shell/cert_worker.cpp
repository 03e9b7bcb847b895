#include "shell/cert_worker.h"

#include "art/art_inscribe.h"
#include "art/art_records.h"
#include "ordinals/content_load.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

std::string certificate_result(const CertificateJob& job) {
    std::string content_type;
    Bytes artwork;
    if (!load_inscription_content(job.art_id, content_type, artwork, true, true) || artwork.empty())
        return "error: could not read the artwork inscription.";
    std::string artist;
    {
        WalletLock lock = lock_wallet();
        artist = current_identity_pubkey();
    }
    if (artist.empty()) return "error: this wallet has no identity pubkey.";
    const std::string text = certificate_json_text(job, sha256_hex(artwork), artist);
    return inscribe_certificate_file("application/json", Bytes(text.begin(), text.end()),
                                     job.title.empty() ? "Certificate" : job.title, "Certificate");
}

} // namespace

std::string certificate_json_text(const CertificateJob& job, const std::string& sha256_hex,
                                  const std::string& artist_pubkey) {
    json cert = {{"pic", job.art_id}, {"sha256", sha256_hex}, {"artist", artist_pubkey}, {"created", job.created}};
    if (!job.title.empty()) cert["title"] = job.title;
    if (!job.artist_name.empty()) cert["artist_name"] = job.artist_name;
    if (!job.owner_paymail.empty()) cert["owner_paymail"] = job.owner_paymail;
    if (!job.note.empty()) cert["note"] = job.note;
    return cert.dump(-1, ' ', false, json::error_handler_t::replace);
}

void inscribe_certificate_worker(const CertificateJob& job) {
    post_job_text(kOpCertificate, certificate_result(job));
}
