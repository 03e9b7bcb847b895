// The wallet's ordinal listing: which 1-satoshi ordinals and token holdings the loaded wallet holds
// now, gathered from GorillaPool, WhatsOnChain, the wallet file's own list and the last listing's
// snapshot; and the ownership test the art registry asks before it pairs, checks or passes a coin.
#pragma once

#include "ordinals/ord_row.h"
#include "ordinals/token_records.h"
#include "wallet/kv_cofferly_wallet.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// The listing's result texts besides success ("").
constexpr const char* kListNoWallet = "error: no Cofferly wallet.";
constexpr const char* kListNoWatchAddresses = "error: no watch addresses.";
constexpr const char* kListWalletChanged = "error: wallet changed.";
constexpr const char* kListIndexUnavailable =
    "error: GorillaPool did not answer. The list shows only what this wallet already knew, and its 1-sat coins are "
    "held back from spend. Try again.";
constexpr const char* kListServicesUnavailable =
    "error: GorillaPool and WhatsOnChain did not answer. The list shows only what this wallet already knew, and its "
    "1-sat coins are held back from spend. Try again.";
// The same two when the platform did not answer either: the status line names every service that failed.
constexpr const char* kListIndexAndPlatformUnavailable =
    "error: GorillaPool and the platform did not answer. The list shows only what this wallet already knew, and its "
    "1-sat coins are held back from spend. Try again.";
constexpr const char* kListAllServicesUnavailable =
    "error: GorillaPool, WhatsOnChain and the platform did not answer. The list shows only what this wallet already "
    "knew, and its 1-sat coins are held back from spend. Try again.";

// Empties `rows` and fills it with the wallet's ordinals and token holdings. "" on success, else
// one of the texts above or kAddressCounterTooLarge (an ordinals counter past what one call
// scans); after "error: wallet changed." the rows gathered so far stay in `rows`, and so do the
// rows of a listing that GorillaPool did not answer for every watch address (kListIndexUnavailable,
// or kListServicesUnavailable when WhatsOnChain answered for none either; the texts that name the
// platform too when its index of the oracle did not answer).
// `index_read`, when given, is set to whether the ordinals index answered for at least one
// address: a "" with rows from the wallet's own records alone leaves it false.
// `index_unspent`, when given, is set to the outputs (outpoint_key form) the index listed unspent at
// the wallet's watch addresses: of these the index has just said who holds them. It stays empty
// unless the listing ends in success or with GorillaPool's failure.
// `platform_read`, when given, is set to whether the platform's index of the oracle answered with a
// list (or with none for the oracle yet): an empty answer is no answer, though the listing succeeds.
// Takes the wallet mutex itself and releases it around every network pass.
std::string kv_cofferly_list_ordinals(std::vector<KvCofferlyOrdRow>& rows, bool* index_read = nullptr,
                                      std::unordered_set<std::string>* index_unspent = nullptr,
                                      bool* platform_read = nullptr);

// 1 when the connected wallet holds the coin (by key, token id or alias of a listing row), 0 when
// it does not, -1 for a blank key, no connected wallet, or a listing that did not end in success.
std::int32_t wallet_holds_coin(const std::string& key);
// The same answer from the rows of a listing that ended in success, for a step that asks of two
// coins and reads the listing once: -1 for a blank key.
std::int32_t listing_holds_coin(const std::vector<KvCofferlyOrdRow>& rows, const std::string& key);

// True for the only key text a service may give a row: 64 hex digits, "_" and an output index of
// at most ten decimal digits that fits 32 bits. Keys become cache file names and wallet records.
bool is_listing_key(const std::string& key);

// True when `text`, lower-cased, equals `lower_key` exactly.
bool ord_key_equals(const std::string& lower_key, const std::string& text);

// The lower-cased txid, "_" and the vout when the txid has 64 characters, else the lower-cased key.
std::string row_dedupe_key(const KvCofferlyOrdRow& row);

// True for a row with a token id or an amount, or whose type (6 or more characters) holds "bsv-20".
bool is_token_row(const KvCofferlyOrdRow& row);

// Appends a token row made from the local record unless the record is hidden, has no origin, is
// spent by this program, is already a row, has no cached token inscription, or holds no amount.
// The caller holds the wallet mutex.
void token_row_from_local(std::vector<KvCofferlyOrdRow>& rows, const LocalOrd& ord);

// Merges the rows of one token id into one holding whose key is its first alias and whose amount is
// the sum of its members'. `remembered` is the token outpoint memory's set: when it is not empty,
// a member keyed by the bare token id that the index no longer lists is left out beside others.
void merge_token_holdings(std::vector<KvCofferlyOrdRow>& rows, const std::unordered_set<std::string>& remembered);

// Forgets the token outpoints the last listing with a token reply saw (tests start from none).
void clear_token_outpoint_memory();

// What one listing needs from the cached content of a key, read from the cache once.
struct CachedContentFacts {
    bool cached = false;    // the cache holds content for the key
    bool has_bytes = false; // and it is not empty
    std::string type;
    bool parsed = false;   // the content parses as token JSON
    bool is_token = false; // a token inscription by token_inscription_of
    TokenInscription token;
    std::string title; // the credential title when the content is a JSON credential
};

// Where the first row of each key stands, so that merging n rows costs n look-ups rather than
// n * n key comparisons. It catches up with rows appended since the last look-up; rows must not be
// removed, reordered or re-keyed while it is in use.
struct ListingRowIndex {
    std::unordered_map<std::string, std::size_t> first;
    std::size_t indexed = 0;
};

// The working sets one listing carries from its gathering half into its filtering half.
struct OrdListingRun {
    std::string stem; // wallet file stem at the start; any later difference ends the listing
    std::vector<std::string> watch_addresses;
    std::unordered_set<std::string> ordinals_addresses;
    std::vector<std::string> reached_addresses;       // addresses whose output listing answered
    std::unordered_set<std::string> listed_outpoints; // outpoint_key form
    std::unordered_set<std::string> token_outpoints;  // lower-cased, unspent token outputs
    // The outpoints each reached address's listing named, held back from payments at the end.
    std::map<std::string, std::unordered_set<std::string>> address_outpoints;
    std::vector<std::string> known_txids;
    std::unordered_set<std::string> known_txid_set;
    // Lower-cased keys whose token data was read (index data or cached content), so that an
    // empty amount there means an empty holding rather than data that could not be had.
    std::unordered_set<std::string> token_data_read;
    // The content sizes the index told, by key: how much a fetch of each will hold at once.
    std::unordered_map<std::string, std::uint64_t> content_sizes;
    // The cached display name of each row's key, read after the contents are fetched.
    std::unordered_map<std::string, std::string> cached_names;
    // What each key's cached content says, read once per listing.
    std::unordered_map<std::string, CachedContentFacts> contents;
    // Art tags the index revealed, written in one go once the wallet mutex is released.
    std::vector<std::pair<std::string, std::string>> pending_art_tags;
    // The first of those for each art_tag_key, indexed up to pending_indexed.
    std::unordered_map<std::string, std::string> pending_tag_of;
    std::size_t pending_indexed = 0;
    // The stored art tags, read once without the wallet mutex before the rows are made.
    std::map<std::string, std::string> art_tags;
    // The gathered rows by key, while the gathering half only appends to them.
    ListingRowIndex gathered;
    bool token_reply = false; // some address got a token reply that is an array
    bool listing = false;     // some address's output listing parsed as an array
    bool local_changed = false;
};

// The token keys the gathering half learns under the wallet mutex: every token the wallet's records,
// the snapshot and what was found refer to, those all of whose records are hidden, and the found
// members of each.
struct TokenKeys {
    std::vector<std::string> keys;
    std::unordered_set<std::string> hidden;
    std::map<std::string, std::vector<std::string>> groups;
};

// Fills `out` from the wallet's records, `found` and the snapshot's token ids; every cached content
// this needs was read ahead without the wallet mutex. The caller holds the wallet mutex.
void collect_token_keys(OrdListingRun& run, const std::vector<LocalOrd>& found,
                        const std::vector<std::string>& snapshot_ids, TokenKeys& out);

// Scans the transactions of the token keys for deploys at the watch addresses, side by side, and
// appends what it finds to `found`. Call without the wallet mutex.
void run_deploy_scan(const TokenKeys& tokens, const std::vector<std::string>& watch, std::vector<LocalOrd>& found);

// Helpers both halves of the listing use.

// Writes the art tags the listing gathered, and forgets them; call without the wallet mutex.
void save_pending_art_tags(OrdListingRun& run);
constexpr const char* kTokenContentType = "application/bsv-20";

// The token inscription the content cache holds for the key (no network); its content type goes to
// `content_type` when given. A deploy may carry no amount, so an id or op alone also counts.
bool cached_token_inscription(const std::string& key, TokenInscription& token, std::string* content_type = nullptr);

// True when the content is such a token inscription.
bool token_inscription_of(const Bytes& content, TokenInscription& token);

// The first row whose key matches by ord_keys_match, for changing; null when none does.
KvCofferlyOrdRow* find_listing_row(std::vector<KvCofferlyOrdRow>& rows, const std::string& key);

// As find_listing_row above, through `index`.
KvCofferlyOrdRow* find_listing_row(std::vector<KvCofferlyOrdRow>& rows, ListingRowIndex& index, const std::string& key);

// Sets an empty target to a non-empty value; true when it did.
bool fill_if_empty(std::string& target, const std::string& value);

// True when `text` holds `part`.
bool text_contains(const std::string& text, const char* part);

// The wallet's record of a listing row: its origin, outpoint, content type and address.
LocalOrd local_ord_from_row(const KvCofferlyOrdRow& row);

// The facts of the key's cached content, read from the cache on first use. Reads files: callers
// should read ahead with read_cached_contents while the wallet mutex is free.
const CachedContentFacts& cached_content_facts(OrdListingRun& run, const std::string& key);

// Reads the cached content of every key the listing has not read yet.
void read_cached_contents(OrdListingRun& run, const std::vector<std::string>& keys);

// Forgets what was read for keys without cached content, after something may have filled them.
void forget_uncached_contents(OrdListingRun& run);

// Reads what the cache holds for every row and fetches the rest, all without the wallet mutex, which
// it takes again through `lock`. False when the wallet changed meanwhile.
bool fetch_missing_contents(OrdListingRun& run, WalletLock& lock, const std::vector<KvCofferlyOrdRow>& rows);

// Takes the wallet mutex again through `lock` and tells whether the wallet is still the one the
// listing started with.
bool relock_same_wallet(const OrdListingRun& run, WalletLock& lock);

// The second half of the listing: spent filters, duplicates, contents, names, token checks, the
// snapshot and one row per token. Called with the wallet mutex held through `lock`; returns the
// listing's result text.
std::string finish_ord_listing(OrdListingRun& run, WalletLock& lock, std::vector<KvCofferlyOrdRow>& rows);
