// The wallet's own record of new ordinals before the indexer reports them: an inscription this
// program made is entered at once, and an ordinal another program of this machine sent to one of
// the wallet's addresses is read from the shared inbox folder "ord_inbox" of the data folder (one
// JSON array per receiving hash160). Inbox files belong to every program and wallet of the
// machine, so a file that cannot be read whole is left as it is.
#pragma once

#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <cstdint>
#include <string>
#include <vector>

// One object of an inbox file; every member is a JSON string and starts empty here.
struct OrdInboxItem {
    std::string origin;  // ordinal key: 64 hex digits "_" output index
    std::string type;    // content type
    std::string name;    // display name
    std::string icon;    // icon reference
    std::string address; // receiving address; empty when the item has none
    std::string amt;     // token amount as decimal text; empty for other ordinals
    std::string id;      // token id of a token item
};

// Enters output 0 of a transaction this program inscribed in the wallet's list (created true),
// caching the content and name, and saves the wallet when the list changed. Does nothing for a
// transaction id that is not 64 hex digits. `content` may be null. While a wallet other than the
// one this thread's step began in is loaded, only the content and name are cached. Caller holds the
// wallet mutex and has loaded the wallet.
void note_inscribed_ord(const std::string& txid, const std::string& content_type, const std::string& name,
                        const Bytes* content, const std::string& icon);

// The data folder + "/ord_inbox/" + 40 lower-case hex digits + ".json".
std::string ord_inbox_path(const Hash160& hash160);

// Adds the ordinal to the recipient's inbox, or updates its element there with the non-empty
// values, and caches the name. Does nothing for an origin that is not an ordinal key, and leaves an
// inbox that exists but cannot be read or parsed, or whose lock cannot be taken, untouched; the file
// is replaced whole, never half-written.
void ord_inbox_post(const Hash160& recipient, const std::string& address, const std::string& origin,
                    const std::string& content_type, const std::string& name, const std::string& icon);

// Merges the inboxes of every watched address into the wallet's list (new entries created false;
// known entries only get their empty type, name, icon, amount and token id filled) and saves the
// wallet when it changed. Never writes an inbox. The caller holds the wallet mutex through `lock`;
// the inbox folder is listed and its files read with it released, and it is held again on return.
// Nothing is merged when another wallet was loaded meanwhile.
void ord_inbox_merge(WalletLock& lock);

// An inbox entry counts as recent for this long after this process first read it: the index may
// not list a received ordinal yet, and its absence there says nothing about it until then.
constexpr std::int64_t kOrdInboxGraceMs = 30 * 60 * 1000;

// True when the merge first read an inbox entry with this origin less than kOrdInboxGraceMs ago.
bool ord_inbox_recent(const std::string& origin);

// Forgets when inbox entries were first read (tests start from none).
void ord_inbox_forget_seen();

// Replaces `out` with the addresses whose inboxes the merge reads, without duplicates: the wallet's
// addresses, the identity and receive addresses, the ordinals addresses 0..recv[5] of an HD wallet
// and the addresses of the visible list entries. Caller holds the wallet mutex.
void collect_watch_addresses(std::vector<std::string>& out);
