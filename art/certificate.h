// An artwork's certificate as the registry reads it back from the chain, and the identity gate
// that every registry and gallery write passes first.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// The certificate inscription's JSON object (pic, sha256, artist, created, and the entered title,
// artist_name, owner_paymail and note).
using ArtCertificate = nlohmann::json;

// The certificate inscription's JSON object. False with "could not read that inscription" when
// no source gives its content, or "that inscription is not a certificate" when the content is
// not a JSON object; `out` is null then.
bool read_certificate_inscription(const std::string& origin, ArtCertificate& out, std::string& error);

// The artwork a certificate names (its `pic`, trimmed and lower case) from the content this
// computer already holds; "" when that content is not at hand, is no certificate, or is larger
// than a certificate can be. Never asks the network: the window thread may ask.
std::string certificate_artwork_at_hand(const std::string& certificate_origin);

// A certificate fit for pairing and checking: its `pic` is non-empty text and its `sha256` text
// has exactly 64 characters.
bool certificate_well_formed(const ArtCertificate& cert);

// Whether the platform reports the identity as frozen. Fails open: an empty key, an unreachable
// host or an unreadable reply counts as not frozen.
bool paymail_identity_frozen(const std::string& identity_key);

// The checks before any registry or gallery write, in order: a connected wallet with a paymail
// alias, both registry watches set (registry writes only), an identity key, an identity the
// platform has not frozen. True with the lower-case identity key; else false with the action's
// whole "error: ..." result text. Takes the wallet mutex only around wallet reads.
bool art_identity_gate(bool registry_write, std::string& identity_key, std::string& error);
