#include "ordinals/ord_inbox.h"

#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/step_wallet.h"
#include "ordinals/content_cache.h"
#include "ordinals/envelope.h"
#include "ordinals/token_records.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

using json = nlohmann::json;

namespace {

// When this process first read each inbox origin (lower-cased), on the steady clock. Listings on
// several threads read it, so it has its own lock.
struct InboxSeen {
    std::mutex mutex;
    std::unordered_map<std::string, std::int64_t> first_read;
};

InboxSeen& inbox_seen() {
    static InboxSeen seen;
    return seen;
}

void note_inbox_read(const std::string& origin) {
    InboxSeen& seen = inbox_seen();
    std::lock_guard<std::mutex> guard(seen.mutex);
    seen.first_read.emplace(to_lower_copy(origin), clock_steady_ms());
}

// Fills an empty field from a non-empty value; a field already known is never overwritten.
bool fill_empty(std::string& field, const std::string& value) {
    if (!field.empty() || value.empty()) return false;
    field = value;
    return true;
}

bool is_txid_text(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), is_hex_digit);
}

// The outpoint reader stops at the first character after the index, so a key is only taken whole:
// the hex digits, then nothing or "_" and decimal digits.
bool is_ord_key(const std::string& key) {
    std::string txid;
    std::uint32_t vout = 0;
    if (!parse_ord_outpoint(key, txid, vout)) return false;
    return std::all_of(key.begin() + 64 + (key.size() > 64 ? 1 : 0), key.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

bool is_blank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

void set_if_given(json& element, const char* key, const std::string& value) {
    if (!value.empty()) element[key] = value;
}

// Reads, updates and rewrites one inbox while the caller holds its lock. The old file is read
// whole first: anything that does not parse may be another writer's file caught mid-write, or
// items some other program still needs, so it is left exactly as it is.
void post_to_inbox(const std::string& path, const std::string& address, const std::string& origin,
                   const std::string& content_type, const std::string& name, const std::string& icon) {
    json items = json::array();
    if (platform_file_exists(path)) {
        std::string text;
        if (!platform_read_file(path, text)) return;
        if (!is_blank(text)) {
            json doc = json_parse_or_discarded(text);
            if (doc.is_discarded()) return;
            if (doc.is_array()) items = std::move(doc);
        }
    }

    bool found = false;
    for (json& element : items) {
        if (!element.is_object() || json_text(element, "origin") != origin) continue;
        set_if_given(element, "type", content_type);
        set_if_given(element, "name", name);
        set_if_given(element, "icon", icon);
        set_if_given(element, "address", address);
        found = true;
        break;
    }
    if (!found) {
        json element = json::object();
        element["origin"] = origin;
        element["type"] = content_type;
        element["name"] = name;
        element["icon"] = icon;
        element["amt"] = "";
        element["address"] = address;
        items.push_back(std::move(element));
    }

    // Readers in other processes must never see a half-written inbox, so the new text is moved
    // over the old one only once it is on disk whole.
    write_data_file(path, items.dump(2, ' ', false, json::error_handler_t::replace), true);
}

// The transfer inscription a token item stands for, cached so the listing can show the amount
// before the indexer has the coin.
void cache_transfer_content(const OrdInboxItem& item, const LocalOrd& entry) {
    json transfer = json::object();
    transfer["p"] = "bsv-20";
    transfer["op"] = "transfer";
    transfer["amt"] = item.amt;
    if (!item.id.empty()) transfer["id"] = item.id;
    if (!entry.name.empty()) transfer["name"] = entry.name;
    if (!entry.icon.empty()) transfer["icon"] = entry.icon;
    const std::string text = transfer.dump(-1, ' ', false, json::error_handler_t::replace);
    ord_cache_write_content(entry.origin, entry.type.empty() ? "application/bsv-20" : entry.type,
                            Bytes(text.begin(), text.end()));
}

// Reads one inbox element. False when it is not an object or one of its members is not text: the
// format allows neither, and the item is passed over without touching the file.
bool read_inbox_item(const json& value, OrdInboxItem& out) {
    out = OrdInboxItem{};
    if (!value.is_object()) return false;
    OrdInboxItem item;
    if (!json_optional_text(value, "origin", item.origin) || !json_optional_text(value, "type", item.type) ||
        !json_optional_text(value, "name", item.name) || !json_optional_text(value, "icon", item.icon) ||
        !json_optional_text(value, "address", item.address) || !json_optional_text(value, "amt", item.amt) ||
        !json_optional_text(value, "id", item.id))
        return false;
    // The origin becomes part of cache file names; anything but an ordinal key could leave the folder.
    if (!is_ord_key(item.origin)) return false;
    out = std::move(item);
    return true;
}

// Merges one inbox item into the wallet's list; true when the list changed.
bool merge_item(const OrdInboxItem& item, const std::string& inbox_address) {
    LocalOrd entry = local_ord_init();
    entry.origin = item.origin;
    parse_ord_outpoint(item.origin, entry.txid, entry.vout);
    entry.type = item.type;
    entry.name = item.name;
    entry.icon = item.icon;
    entry.address = item.address.empty() ? inbox_address : item.address;
    entry.amt = normalize_token_amount(item.amt);
    entry.token_id = item.id;

    if (!entry.name.empty()) ord_cache_write_name(entry.origin, entry.name);
    if (!item.amt.empty()) {
        std::string cached_type;
        Bytes cached;
        if (!ord_cache_read_content(entry.origin, cached_type, cached)) cache_transfer_content(item, entry);
    }

    LocalOrd* known = find_local_ord(entry.origin);
    if (!known) return add_local_ord(entry);
    // What the wallet decided about a known ordinal (where it lives, whether it is hidden) stays.
    bool changed = fill_empty(known->type, entry.type);
    changed = fill_empty(known->name, entry.name) || changed;
    changed = fill_empty(known->icon, entry.icon) || changed;
    changed = fill_empty(known->amt, entry.amt) || changed;
    changed = fill_empty(known->token_id, entry.token_id) || changed;
    return changed;
}

// What the merge watches, taken under the wallet mutex at the cost of a few small copies: the lists
// themselves are shared and never change, so they are gone through once the mutex is free.
struct WatchSources {
    std::shared_ptr<const std::vector<std::string>> own;
    std::vector<std::string> others; // identity, receive, then the visible list entries' addresses
    AccountAddresses ordinals;
};

// The caller holds the wallet mutex through `lock`, which a list made again releases meanwhile.
WatchSources watch_sources(WalletLock& lock) {
    WatchSources sources;
    sources.own = wallet_address_list(lock);
    const KvCofferlyWallet& w = kv_wallet();
    sources.others.push_back(w.identity_address);
    sources.others.push_back(w.address);
    sources.ordinals = account_addresses(kOrdinalsAccount);
    for (const LocalOrd& ord : w.ord_owned)
        if (!ord.hidden) sources.others.push_back(ord.address);
    return sources;
}

void expand_watch_sources(const WatchSources& sources, std::vector<std::string>& out) {
    out.clear();
    std::unordered_set<std::string> seen;
    auto add = [&](const std::string& address) {
        if (!address.empty() && seen.insert(address).second) out.push_back(address);
    };
    for (const std::string& address : *sources.own)
        add(address);
    add(sources.others[0]);
    add(sources.others[1]);
    for (std::size_t j = 0; j < sources.ordinals.count; ++j)
        add(sources.ordinals[j]);
    for (std::size_t i = 2; i < sources.others.size(); ++i)
        add(sources.others[i]);
}

} // namespace

void note_inscribed_ord(const std::string& txid, const std::string& content_type, const std::string& name,
                        const Bytes* content, const std::string& icon) {
    if (!is_txid_text(txid)) return;
    WalletLock lock = lock_wallet();
    // The inscription is always output 0 of its transaction.
    const std::string origin = txid + "_0";
    if (content && !content->empty()) ord_cache_write_content(origin, content_type, *content);
    if (!name.empty()) ord_cache_write_name(origin, name);
    // Another wallet loaded meanwhile gets no entry of this one's: the step's wallet finds the
    // inscription in its listing, with the name and content kept above.
    if (!step_wallet_loaded()) return;

    if (LocalOrd* known = find_local_ord(origin)) {
        bool filled = fill_empty(known->type, content_type);
        filled = fill_empty(known->name, name) || filled;
        filled = fill_empty(known->icon, icon) || filled;
        if (known->created && !filled) return;
        known->created = true;
        save_wallet();
        return;
    }

    LocalOrd ord = local_ord_init();
    ord.origin = origin;
    ord.txid = txid;
    ord.type = content_type;
    ord.name = name;
    ord.icon = icon;
    ord.created = true;
    const KvCofferlyWallet& w = kv_wallet();
    if (w.is_hd && !w.mnemonic.empty()) {
        // A counter past the normal indices would derive a hardened key whose address the wallet
        // program never shows; the account helper refuses it and the entry stays without address.
        std::string priv, pub, address;
        if (derive_account_key(kOrdinalsAccount, w.recv[kOrdinalsAccount], priv, pub, address)) ord.address = address;
        wipe(priv);
    }
    add_local_ord(ord);
    save_wallet();
}

namespace {

std::string ord_inbox_dir() {
    return kestrava_data_dir() + "/ord_inbox";
}

std::string ord_inbox_file_name(const Hash160& hash160) {
    return to_hex(hash160.data(), hash160.size()) + ".json";
}

} // namespace

std::string ord_inbox_path(const Hash160& hash160) {
    return ord_inbox_dir() + "/" + ord_inbox_file_name(hash160);
}

void ord_inbox_post(const Hash160& recipient, const std::string& address, const std::string& origin,
                    const std::string& content_type, const std::string& name, const std::string& icon) {
    if (!is_ord_key(origin)) return;
    platform_make_dirs(ord_inbox_dir());
    const std::string path = ord_inbox_path(recipient);
    // Two of this program's processes passing ordinals to one recipient take turns, so neither post
    // is lost; without the lock another's post could be, and the inbox is left as it is.
    {
        const SharedFileLock locked(path);
        if (locked.taken()) post_to_inbox(path, address, origin, content_type, name, icon);
    }
    if (!name.empty()) ord_cache_write_name(origin, name);
}

void ord_inbox_merge(WalletLock& lock) {
    if (!lock.owns_lock()) lock.lock();
    const std::string stem = wallet_file_stem();
    const WatchSources sources = watch_sources(lock);
    if (wallet_file_stem() != stem) return;
    struct Inbox {
        std::string address;
        json doc;
    };
    std::vector<Inbox> inboxes;
    lock.unlock();
    std::vector<std::string> addresses;
    expand_watch_sources(sources, addresses);
    {
        // A wallet of many thousand addresses has inboxes for a few: the folder is listed once, and
        // only the files in it are opened, all with the wallet mutex free.
        const std::string folder = ord_inbox_dir() + "/";
        std::unordered_map<std::string, std::string> present; // lower-cased name -> name
        for (std::string& name : platform_file_names(folder))
            present.emplace(to_lower_copy(name), std::move(name));
        for (const std::string& address : addresses) {
            if (present.empty()) break;
            Hash160 hash160{};
            if (!address_to_hash160(address, hash160)) continue;
            const auto file = present.find(ord_inbox_file_name(hash160));
            if (file == present.end()) continue;
            std::string text;
            const bool read = platform_read_file(folder + file->second, text);
            present.erase(file);
            if (!read) continue;
            json doc = json_parse_or_discarded(text);
            if (doc.is_array()) inboxes.push_back(Inbox{address, std::move(doc)});
        }
    }
    lock.lock();
    if (!load_wallet() || wallet_file_stem() != stem) return;
    bool changed = false;
    for (const Inbox& inbox : inboxes) {
        for (const json& element : inbox.doc) {
            OrdInboxItem item;
            if (!read_inbox_item(element, item)) continue;
            note_inbox_read(item.origin);
            if (merge_item(item, inbox.address)) changed = true;
        }
    }
    if (changed) save_wallet();
}

bool ord_inbox_recent(const std::string& origin) {
    InboxSeen& seen = inbox_seen();
    std::lock_guard<std::mutex> guard(seen.mutex);
    const auto it = seen.first_read.find(to_lower_copy(origin));
    return it != seen.first_read.end() && clock_steady_ms() - it->second < kOrdInboxGraceMs;
}

void ord_inbox_forget_seen() {
    InboxSeen& seen = inbox_seen();
    std::lock_guard<std::mutex> guard(seen.mutex);
    seen.first_read.clear();
}

void collect_watch_addresses(std::vector<std::string>& out) {
    WatchSources sources;
    {
        WalletLock lock = lock_wallet();
        sources = watch_sources(lock);
    }
    expand_watch_sources(sources, out);
}
