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

#include <istream>
#include <streambuf>
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

void put_state(const KvCofferlyWallet& w, json& doc) {
    if (w.is_hd) {
        doc["version"] = 2;
        put_secret(doc, "mnemonic", w.mnemonic);
        doc["backup"] = w.backup;
        doc["recv"] = w.recv;
        doc["show"] = w.show;
        doc["identity"] = w.identity_address;
        doc["address"] = w.address;
    } else {
        put_secret(doc, "priv", w.priv);
        doc["pub"] = w.pub;
        doc["address"] = w.address;
    }
    // The older layout keeps its alias too: dropping it would lose what the wallet program set.
    put_optional_text(doc, "paymail", w.paymail);
    put_optional_text(doc, "ord_avatar", w.ord_avatar);
    if (w.ord_owned.empty()) {
        doc.erase("ord_owned");
    } else {
        json rows = json::array();
        for (const LocalOrd& ord : w.ord_owned)
            rows.push_back(ord_row_json(ord));
        doc["ord_owned"] = std::move(rows);
    }
    doc.erase("contacts");
    save_contacts(doc);
}

// The fields both layouts hold.
void take_common_fields(const ParsedWallet& parsed, KvCofferlyWallet& w) {
    w.paymail = parsed.paymail;
    w.ord_avatar = parsed.ord_avatar;
    w.ord_owned = parsed.ord_owned;
    w.contacts = parsed.contacts;
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
        // A file nested past the JSON bound is not this program's to replace: it is left as it is.
        if (wallet_file_too_deep(path)) return false;
        if (read_wallet_doc(path, current)) {
            if (is_wallet_lock_record(current)) return false;
            // Keys the wallet program keeps and this program does not know stay as they are.
            if (current.is_object()) doc = std::move(current);
        }
        put_state(w, doc);
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
