// The certificate inscription: reads the chosen artwork's inscription, hashes it, and inscribes a
// certificate JSON naming the artwork, its hash and this wallet's identity key.
#pragma once

#include "shell/jobs.h"

#include <string>

// The certificate object as compact JSON: `pic`, `sha256`, `artist`, `created` always; `title`,
// `artist_name`, `owner_paymail` and `note` only when not empty.
std::string certificate_json_text(const CertificateJob& job, const std::string& sha256_hex,
                                  const std::string& artist_pubkey);

// The worker body: posts the inscription's result text (or the error that stopped it) as code 1.
void inscribe_certificate_worker(const CertificateJob& job);
