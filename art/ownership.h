// The ownership report of one artwork as the windows show it (live owner, certificate, last
// gallery sale, title chain newest first), the look-up of an artwork behind a pasted artwork or
// certificate id, and the two formatting rules every owner and date in that text goes through.
// Nothing is kept between calls and nothing is written; every function is safe on many threads.
// The report and the look-up read the network: worker threads only.
#pragma once

#include <cstdint>
#include <string>

// The report text of the artwork (an origin or a bare transaction id); every line ends with CR LF.
// Short texts without a line end for an empty id or unassigned watches. Missing data shows as a
// "... did not load. Try again." line inside its section; the other sections are still written.
std::string art_ownership_report(const std::string& artwork_id);

// The report of the artwork that a pasted artwork id or certificate id names, found through the
// id's own inscription and one title read of the artwork, its watches listed afresh. Otherwise a
// short text: the paste hint, the watch text, the title read's error text, "The inscription of
// that id could not be read. Try again." (no watch is read then) or "No artwork or certificate
// uses that id.", also for an id no transaction has.
std::string art_lookup_by_id(const std::string& pasted_id);

// How an owner key is shown: the platform's longest non-staff label of the key (else its first
// label) with "@" and the paymail domain; when the platform names no label, the key itself,
// shortened around an ellipsis when longer than 16 characters. "" for an empty key.
std::string paymail_display_label(const std::string& owner_key);

// The UTC date "%Y-%m-%d" of a Unix time; "" for a time of 0 or less or one that cannot be shown.
std::string format_utc_date(std::int64_t unix_seconds);
