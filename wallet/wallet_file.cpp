#include "wallet/wallet_file.h"

#include "wallet/session.h"

#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <istream>
#include <streambuf>
#include <unordered_map>
#include <unordered_set>
#include <vector>

using nlohmann::json;

namespace {

constexpr std::size_t kContactNoteMax = 80;
constexpr std::int64_t kSaveRetryMs = 5000;

// Lets the parser read the file text in place, so the mnemonic is not copied into a stream buffer
// that nobody wipes.
struct TextBuf : std::streambuf {
    explicit TextBuf(std::string& text) { setg(text.data(), text.data(), text.data() + text.size()); }
};

// One JSON value from the start of the text; text after a complete value is ignored.
bool parse_json_text(std::string& text, json& out) {
    try {
        TextBuf buf(text);
        std::istream in(&buf);
        json value;
        in >> value;
        out = std::move(value);
        return true;
    } catch (...) {
        return false;
    }
}

struct JsonSecretGuard {
    json& doc;
    ~JsonSecretGuard() { wipe_wallet_doc_secrets(doc); }
};

// Reads and parses a wallet file, wiping the text read; false when it cannot be read or is not
// JSON. The caller guards the secrets in doc.
bool read_wallet_doc(const std::string& path, json& doc) {
    std::string text;
    if (!read_file_text(path, text)) return false;
    // A value nested past the bound would overflow the stack when copied or written back.
    const bool parsed = !json_nested_too_deep(text) && parse_json_text(text, doc);
    wipe(text);
    return parsed;
}

// True when the wallet file exists and nests JSON deeper than the bound.
bool wallet_file_too_deep(const std::string& path) {
    std::string text;
    if (!read_file_text(path, text)) return false;
    const bool deep = json_nested_too_deep(text);
    wipe(text);
    return deep;
}

// A "lock" that is not text makes the file unreadable here, like a lock record does.
bool has_foreign_lock(const json& doc) {
    auto it = doc.find("lock");
    if (it == doc.end()) return false;
    return !it->is_string() || it->get_ref<const std::string&>() == "KV-LOCK1";
}

// An optional flag: absent leaves out as it was; present with another type is false.
bool read_flag(const json& obj, const char* key, bool& out) {
    auto it = obj.find(key);
    if (it == obj.end()) return true;
    if (!it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
}

// A text field the layouts take only when it is text.
void take_text_if_string(const json& obj, const char* key, std::string& out) {
    auto it = obj.find(key);
    if (it != obj.end() && it->is_string()) out = it->get<std::string>();
}

bool read_local_ord(const json& row, LocalOrd& ord) {
    ord = local_ord_init();
    ord.created = true;
    if (!json_optional_text(row, "origin", ord.origin) || !json_optional_text(row, "txid", ord.txid) ||
        !json_optional_text(row, "type", ord.type) || !json_optional_text(row, "address", ord.address) ||
        !json_optional_text(row, "name", ord.name) || !json_optional_text(row, "icon", ord.icon) ||
        !json_optional_text(row, "amt", ord.amt) || !json_optional_text(row, "dec", ord.dec) ||
        !json_optional_text(row, "token_id", ord.token_id) || !read_flag(row, "hidden", ord.hidden) ||
        !read_flag(row, "created", ord.created))
        return false;
    auto vout = row.find("vout");
    if (vout != row.end() && !json_as_u32(*vout, ord.vout)) return false;
    return true;
}

// Rows with an empty origin are dropped; a row of unexpected types refuses the whole list.
bool read_ord_owned(const json& doc, std::vector<LocalOrd>& out) {
    out.clear();
    auto it = doc.find("ord_owned");
    if (it == doc.end() || !it->is_array()) return true;
    for (const json& row : *it) {
        if (!row.is_object()) continue;
        LocalOrd ord;
        if (!read_local_ord(row, ord)) return false;
        if (!ord.origin.empty()) out.push_back(std::move(ord));
    }
    return true;
}

bool read_contacts(const json& doc, std::vector<WalletContact>& out) {
    out.clear();
    if (!doc.is_object()) return true;
    auto it = doc.find("contacts");
    if (it == doc.end() || !it->is_array()) return true;
    for (const json& row : *it) {
        if (!row.is_object()) continue;
        std::string dest;
        std::string note;
        if (!json_optional_text(row, "dest", dest) || !json_optional_text(row, "note", note)) {
            out.clear();
            return false;
        }
        WalletContact contact;
        contact.dest = normalize_contact_dest(dest);
        contact.note = utf8_cut(trim_copy(note), kContactNoteMax);
        if (!contact.dest.empty()) out.push_back(std::move(contact));
    }
    return true;
}

// Counters that are not non-negative 32-bit integers leave 0; -1 must not wrap to 4294967295.
std::array<std::uint32_t, 6> read_recv(const json& doc) {
    std::array<std::uint32_t, 6> recv{};
    auto it = doc.find("recv");
    if (it == doc.end() || !it->is_array()) return recv;
    for (std::size_t i = 0; i < recv.size() && i < it->size(); ++i) {
        std::uint32_t v = 0;
        if (json_as_u32((*it)[i], v)) recv[i] = v;
    }
    return recv;
}

// "show" is bounded by the receive counter; a negative one is ignored rather than wrapped.
std::uint32_t read_show(const json& doc, std::uint32_t bound) {
    auto it = doc.find("show");
    if (it == doc.end() || !it->is_number_integer()) return bound;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        return v > bound ? bound : static_cast<std::uint32_t>(v);
    }
    const auto v = it->get<std::int64_t>();
    if (v < 0) return bound;
    return static_cast<std::uint64_t>(v) > bound ? bound : static_cast<std::uint32_t>(v);
}

} // namespace

void reset_loaded_wallet_fields(KvCofferlyWallet& w) {
    w.is_hd = false;
    w.backup = false;
    wipe(w.mnemonic);
    wipe(w.priv);
    w.identity_pub.clear();
    w.identity_address.clear();
    w.paymail.clear();
    w.ord_avatar.clear();
    wipe_wallet_secrets(w.secrets);
    w.ord_owned.clear();
    w.contacts.clear();
    w.recv.fill(0);
    w.file_base = WalletFileBase{};
}

namespace {

// Everything of a wallet document apart from the keys themselves, read and type-checked before the
// state is touched, so a malformed file leaves the loaded wallet as it was.
struct ParsedWallet {
    bool hd = false;
    bool backup = false;
    std::array<std::uint32_t, 6> recv{};
    std::uint32_t show = 0;
    std::string paymail;
    std::string ord_avatar;
    std::vector<LocalOrd> ord_owned;
    std::vector<WalletContact> contacts;
    std::string pub;
    std::string address;
};

bool parse_wallet_doc(const json& doc, ParsedWallet& out) {
    if (!doc.is_object() || has_foreign_lock(doc)) return false;
    auto mnemonic = doc.find("mnemonic");
    out.hd = mnemonic != doc.end() && mnemonic->is_string();
    take_text_if_string(doc, "paymail", out.paymail);
    take_text_if_string(doc, "ord_avatar", out.ord_avatar);
    if (!read_ord_owned(doc, out.ord_owned) || !read_contacts(doc, out.contacts)) return false;
    if (out.hd) {
        if (!read_flag(doc, "backup", out.backup)) return false;
        out.recv = read_recv(doc);
        out.show = read_show(doc, out.recv[1]);
        return true;
    }
    auto priv = doc.find("priv");
    if (priv != doc.end() && !priv->is_string()) return false;
    return json_optional_text(doc, "pub", out.pub) && json_optional_text(doc, "address", out.address);
}

std::string parent_folder(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Sets a key when the text is not empty and removes it otherwise, so an old value does not linger.
void put_optional_text(json& doc, const char* key, const std::string& value) {
    if (value.empty())
        doc.erase(key);
    else
        doc[key] = value;
}

json ord_row_json(const LocalOrd& ord) {
    json row = json::object();
    row["origin"] = ord.origin;
    row["txid"] = ord.txid;
    row["vout"] = ord.vout;
    row["created"] = ord.created;
    put_optional_text(row, "type", ord.type);
    put_optional_text(row, "address", ord.address);
    put_optional_text(row, "name", ord.name);
    put_optional_text(row, "icon", ord.icon);
    put_optional_text(row, "amt", ord.amt);
    put_optional_text(row, "dec", ord.dec);
    put_optional_text(row, "token_id", ord.token_id);
    if (ord.hidden) row["hidden"] = true;
    return row;
}

// Overwrites a secret text of the old document, wiping the copy it replaces.
void put_secret(json& doc, const char* key, const std::string& value) {
    auto it = doc.find(key);
    if (it != doc.end() && it->is_string()) wipe(it->get_ref<std::string&>());
    doc[key] = value;
}

bool same_ord(const LocalOrd& a, const LocalOrd& b) {
    return a.origin == b.origin && a.txid == b.txid && a.vout == b.vout && a.type == b.type && a.address == b.address &&
           a.name == b.name && a.icon == b.icon && a.amt == b.amt && a.dec == b.dec && a.token_id == b.token_id &&
           a.hidden == b.hidden && a.created == b.created;
}

using OrdIndex = std::unordered_map<std::string, const LocalOrd*>;

OrdIndex index_ords(const std::vector<LocalOrd>& rows) {
    OrdIndex index;
    for (const LocalOrd& ord : rows)
        index.emplace(ord.origin, &ord);
    return index;
}

const LocalOrd* find_ord(const OrdIndex& index, const std::string& origin) {
    const auto it = index.find(origin);
    return it == index.end() ? nullptr : it->second;
}

// The file's ordinal rows with this program's changes since `base` on top: a row changed or added
// here is written as this program holds it, one dropped here goes, and every other row stays as
// the file has it (the wallet program's rows and changes, keys this program does not know
// included). A row only the wallet program dropped stays dropped.
json merged_ord_rows(const json& file_rows, const std::vector<LocalOrd>& base, const std::vector<LocalOrd>& mine) {
    const OrdIndex was_index = index_ords(base);
    const OrdIndex own_index = index_ords(mine);
    json rows = json::array();
    std::unordered_set<std::string> seen;
    if (file_rows.is_array()) {
        for (const json& row : file_rows) {
            const std::string origin = json_text(row, "origin");
            const LocalOrd* own = origin.empty() ? nullptr : find_ord(own_index, origin);
            const LocalOrd* was = origin.empty() ? nullptr : find_ord(was_index, origin);
            seen.insert(origin);
            if (own != nullptr && (was == nullptr || !same_ord(*own, *was)))
                rows.push_back(ord_row_json(*own));
            else if (own != nullptr || was == nullptr)
                rows.push_back(row);
        }
    }
    for (const LocalOrd& own : mine) {
        if (!seen.insert(own.origin).second) continue;
        const LocalOrd* was = find_ord(was_index, own.origin);
        if (was == nullptr || !same_ord(own, *was)) rows.push_back(ord_row_json(own));
    }
    return rows;
}

// Each receive counter the larger of the file's and this program's: an address either program
// handed out must stay below the counter.
json merged_recv(const json& doc, const std::array<std::uint32_t, 6>& mine) {
    std::array<std::uint32_t, 6> recv = read_recv(doc);
    for (std::size_t i = 0; i < recv.size(); ++i)
        recv[i] = std::max(recv[i], mine[i]);
    return recv;
}

// Writes the wallet state over `doc`, the wallet file as it is now (`from_file`) or an empty
// document when the file could not be read. The wallet program changes the file while this
// program runs: what it owns (contacts, the backup flag, the shown index) is kept as the file
// holds it, and paymail, avatar and ordinal rows are written only where this program changed them
// since its last read or write.
void put_state(const KvCofferlyWallet& w, bool from_file, json& doc) {
    if (w.is_hd) {
        doc["version"] = 2;
        put_secret(doc, "mnemonic", w.mnemonic);
        if (!from_file || !doc["backup"].is_boolean()) doc["backup"] = w.backup;
        doc["recv"] = merged_recv(doc, w.recv);
        if (!from_file || !doc["show"].is_number_integer()) doc["show"] = w.show;
        doc["identity"] = w.identity_address;
        doc["address"] = w.address;
    } else {
        put_secret(doc, "priv", w.priv);
        doc["pub"] = w.pub;
        doc["address"] = w.address;
    }
    const WalletFileBase& base = w.file_base;
    // The older layout keeps its alias too: dropping it would lose what the wallet program set.
    if (!from_file || w.paymail != base.paymail) put_optional_text(doc, "paymail", w.paymail);
    if (!from_file || w.ord_avatar != base.ord_avatar) put_optional_text(doc, "ord_avatar", w.ord_avatar);
    const auto file_rows = doc.find("ord_owned");
    json rows = from_file
                    ? merged_ord_rows(file_rows != doc.end() ? *file_rows : json::array(), base.ord_owned, w.ord_owned)
                    : merged_ord_rows(json::array(), {}, w.ord_owned);
    if (rows.empty())
        doc.erase("ord_owned");
    else
        doc["ord_owned"] = std::move(rows);
    if (!from_file) save_contacts(doc);
}

// After a save: what the file now holds of the fields the wallet program owns, and the base the
// next save tells this program's changes by.
void take_saved_state(const json& doc, KvCofferlyWallet& w) {
    read_flag(doc, "backup", w.backup);
    std::vector<WalletContact> contacts;
    if (read_contacts(doc, contacts)) w.contacts = std::move(contacts);
    w.file_base.paymail = w.paymail;
    w.file_base.ord_avatar = w.ord_avatar;
    w.file_base.ord_owned = w.ord_owned;
}

// The fields both layouts hold.
void take_common_fields(const ParsedWallet& parsed, KvCofferlyWallet& w) {
    w.paymail = parsed.paymail;
    w.ord_avatar = parsed.ord_avatar;
    w.ord_owned = parsed.ord_owned;
    w.contacts = parsed.contacts;
    w.file_base.paymail = parsed.paymail;
    w.file_base.ord_avatar = parsed.ord_avatar;
    w.file_base.ord_owned = parsed.ord_owned;
}

bool load_hd(const json& doc, const ParsedWallet& parsed, KvCofferlyWallet& w) {
    w.mnemonic = doc.at("mnemonic").get_ref<const std::string&>();
    if (!mnemonic_is_valid()) return false;
    w.is_hd = true;
    w.backup = parsed.backup;
    w.recv = parsed.recv;
    w.show = parsed.show;
    take_common_fields(parsed, w);
    if (!derive_wallet_keys()) return false;
    load_spent_outpoints();
    return true;
}

bool load_legacy(const json& doc, const ParsedWallet& parsed, KvCofferlyWallet& w) {
    wipe(w.priv);
    take_text_if_string(doc, "priv", w.priv);
    w.pub = parsed.pub;
    w.address = parsed.address;
    take_common_fields(parsed, w);
    if (w.priv.size() != 64) return false;
    if (w.pub.empty() && !priv_hex_to_pub_hex(w.priv, w.pub)) return false;
    if (w.address.empty()) w.address = pub_hex_to_address(w.pub);
    if (w.address.empty()) return false;
    load_spent_outpoints();
    return true;
}

} // namespace

void wipe_wallet_doc_secrets(json& doc) {
    if (!doc.is_object()) return;
    for (const char* key : {"mnemonic", "priv"}) {
        auto it = doc.find(key);
        if (it != doc.end() && it->is_string()) wipe(it->get_ref<std::string&>());
    }
}

bool is_wallet_lock_record(const json& doc) {
    if (!doc.is_object()) return false;
    auto it = doc.find("lock");
    return it != doc.end() && it->is_string() && it->get_ref<const std::string&>() == "KV-LOCK1";
}

std::string wallet_file_path() {
    std::string id;
    {
        WalletLock lock = lock_wallet();
        id = kv_wallet().wallet_id;
    }
    if (id.empty()) return kestrava_data_dir() + "/kestrava_cofferly.json";
    // An id that could climb out of the wallets folder names no wallet at all; falling back to the
    // older file would open a different wallet.
    if (!is_safe_wallet_id(id)) return std::string();
    return wallet_file_path_for_id(id);
}

std::string trim_copy(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string normalize_contact_dest(const std::string& text) {
    std::string s = trim_copy(text);
    const std::size_t start = s.find_first_not_of("@$");
    s = trim_copy(start == std::string::npos ? std::string() : s.substr(start));
    if (s.size() >= 26 && s[0] == '1') return s;
    s = to_lower_copy(s);
    const std::size_t at = s.find('@');
    if (at != std::string::npos && s.compare(at + 1, std::string::npos, service_settings().paymail_domain) == 0)
        s.resize(at);
    return s;
}

bool load_contacts(const json& doc) {
    return read_contacts(doc, kv_wallet().contacts);
}

void save_contacts(json& doc) {
    const std::vector<WalletContact>& contacts = kv_wallet().contacts;
    if (contacts.empty()) return;
    json rows = json::array();
    for (const WalletContact& c : contacts) {
        json row = json::object();
        row["dest"] = c.dest;
        if (!c.note.empty()) row["note"] = c.note;
        rows.push_back(std::move(row));
    }
    doc["contacts"] = std::move(rows);
}

bool read_file_text(const std::string& path, std::string& out) {
    return platform_read_file(path, out);
}

bool is_wallet_sealed() {
    const std::string path = wallet_file_path();
    if (path.empty()) return false;
    if (platform_file_exists(path + ".seal")) return true;
    json doc;
    JsonSecretGuard guard{doc};
    return read_wallet_doc(path, doc) && is_wallet_lock_record(doc);
}

bool load_wallet() {
    try {
        WalletLock lock = lock_wallet();
        KvCofferlyWallet& w = kv_wallet();
        if (!w.priv.empty() && !w.address.empty()) {
            // A change the disk refused stays in memory and is written again by the next operation
            // that comes by, a few seconds apart, until the disk takes it.
            if (w.save_pending && clock_steady_ms() - w.save_failed_ms >= kSaveRetryMs) save_wallet();
            return true;
        }
        if (w.wallet_id.empty()) return false;
        const std::string path = wallet_file_path();
        if (path.empty()) return false;
        json doc;
        JsonSecretGuard guard{doc};
        ParsedWallet file;
        if (!read_wallet_doc(path, doc) || !parse_wallet_doc(doc, file)) return false;
        reset_loaded_wallet_fields(w);
        const bool loaded = file.hd ? load_hd(doc, file, w) : load_legacy(doc, file, w);
        // The window thread reads a copy of the state while payments hold the mutex.
        note_wallet_state_changed();
        return loaded;
    } catch (...) {
        // Only an allocation failure gets here; the state is treated as not loaded.
        return false;
    }
}

bool save_wallet() {
    try {
        WalletLock lock = lock_wallet();
        const KvCofferlyWallet& w = kv_wallet();
        if (w.wallet_id.empty()) return false;
        const std::string path = wallet_file_path();
        if (path.empty()) return false;
        // An unloaded state would overwrite the keys with empty texts.
        if (w.priv.empty() || w.address.empty() || (w.is_hd && w.mnemonic.empty())) return false;
        // A sealed wallet is the wallet program's; writing it would put the mnemonic back in clear.
        if (platform_file_exists(path + ".seal")) return false;
        const std::string folder = parent_folder(path);
        if (!folder.empty()) platform_make_dirs(folder);

        json doc = json::object();
        JsonSecretGuard guard{doc};
        json current;
        JsonSecretGuard old_guard{current};
        // The wallet program changes this file under the registry lock: the file read here is the
        // one replaced, with nothing of the wallet program's written in between.
        WalletRegistryLock file_lock;
        // A file nested past the JSON bound is not this program's to replace: it is left as it is.
        if (wallet_file_too_deep(path)) return false;
        bool from_file = false;
        if (read_wallet_doc(path, current)) {
            if (is_wallet_lock_record(current)) return false;
            // Keys the wallet program keeps and this program does not know stay as they are.
            from_file = current.is_object();
            if (from_file) doc = std::move(current);
        }
        put_state(w, from_file, doc);
        // Invalid UTF-8 in a text becomes U+FFFD: the rest of the wallet still reaches the disk,
        // and the next save is not blocked by the same text.
        std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
        // Written beside the file and moved over it: this file holds the only copy of the seed, and a
        // full disk or a crash mid-write must leave the old one whole.
        const bool ok = write_data_file(path, text, true);
        wipe(text);
        // Callers go on with the state in memory; the change stays pending, and the window shows
        // that the disk did not take it.
        KvCofferlyWallet& state = kv_wallet();
        if (ok) take_saved_state(doc, state);
        if (!ok) {
            emit_log_line("Could not save the wallet file; the previous one is kept as it was.\n");
            state.save_failed_ms = clock_steady_ms();
        }
        const bool read_only = !ok && platform_file_read_only(path);
        if (state.save_pending != !ok || state.save_read_only != read_only) {
            state.save_pending = !ok;
            state.save_read_only = read_only;
            note_wallet_state_changed();
        }
        return ok;
    } catch (...) {
        return false;
    }
}

std::string cofferly_ord_address() {
    WalletLock lock = lock_wallet();
    if (!load_wallet()) return std::string();
    const KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd || w.mnemonic.empty()) return std::string();
    const KeyPath path = {kPurpose, kCoinType, kOrdinalsAccount | kHardened, 0, w.recv[kOrdinalsAccount]};
    std::string priv;
    std::string pub;
    std::string address;
    const bool ok = derive_path(path, priv, pub, address);
    wipe(priv);
    return ok ? address : std::string();
}
