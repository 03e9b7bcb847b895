// The identity key of a handle on the platform, asked of the platform host's bsvalias identity
// service with the host pinned to its fixed address, and kept for 30 minutes per handle.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

// The handle's identity key as 66 lower-case hex digits (compressed), or "" when it cannot be
// found: an empty handle, the handle's name on a foreign paymail domain, a failed request or a
// reply without a valid key. Failures are not kept, so the next call asks again. Takes only the
// identity cache's own mutex, never across the request.
std::string lookup_identity_pubkey(const std::string& handle, const std::string& paymail);

// One GET (http_get) with the platform host pinned, 15 s in all. True only for status 200 with a
// non-empty body that parses as JSON, stored in `out`; otherwise false with `out` null.
bool https_get_json_pinned(const std::string& url, nlohmann::json& out);

// The text, trimmed, split at its first "@" into a name and a domain. True when both are
// non-empty; otherwise false with both empty.
bool split_paymail(const std::string& text, std::string& name, std::string& domain);

// Forgets every kept identity key (tests start from an empty cache).
void clear_identity_cache();
