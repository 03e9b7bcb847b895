#include "identity/paymail_registry.h"

#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/identity_services.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/settings.h"

#include <algorithm>

namespace {

using json = nlohmann::json;

const char kFileName[] = "kestrava_paymail.json";
// The older location, relative to the program's own folder (the current folder).
const char kLegacyFolder[] = "userinfo";

std::mutex g_mutex;
json g_doc = json::object();
// Set when the last load met a file it could not read; keeps a broken file from being replaced.
bool g_unreadable = false;

// Parses a whole file; false (doc empty) when the text is not one JSON object.
bool parse_object(const std::string& text, json& doc) {
    json parsed = json_parse_or_discarded(text);
    if (parsed.is_discarded() || !parsed.is_object()) {
        doc = json::object();
        return false;
    }
    doc = std::move(parsed);
    return true;
}

// The lower-cased "pubkey" of a label entry; "" for a non-object entry or a missing key.
std::string entry_pubkey(const PaymailLabel& entry) {
    return to_lower_copy(json_text(entry, "pubkey"));
}

json& object_member(json& doc, const char* key) {
    json& member = doc[key];
    if (!member.is_object()) member = json::object();
    return member;
}

// Sets "ordAddress" of a label entry and drops the older ordinals key, whose plausible value it
// replaces (an implausible one stays: it may be the wallet program's own data). False when the
// entry already held the address, so nothing changed.
bool put_ord_address(PaymailLabel& entry, const std::string& ord_address) {
    auto current = entry.find("ordAddress");
    if (current != entry.end() && current->is_string() && current->get<std::string>() == ord_address) return false;
    entry["ordAddress"] = ord_address;
    if (is_plausible_address(json_text(entry, "ord"))) entry.erase("ord");
    return true;
}

// The "names" object of the loaded document, or null when it has none.
json* names_object() {
    auto names = g_doc.find("names");
    return names != g_doc.end() && names->is_object() ? &*names : nullptr;
}

// The labels that `names` holds for the lower-case key, sorted.
std::vector<std::string> labels_of_key(const json& names, const std::string& key) {
    std::vector<std::string> labels;
    for (auto it = names.begin(); it != names.end(); ++it) {
        if (!it->is_object() || entry_pubkey(*it) != key) continue;
        std::string label = normalize_paymail_name(it.key());
        if (!label.empty()) labels.push_back(label);
    }
    std::sort(labels.begin(), labels.end());
    return labels;
}

} // namespace

std::mutex& paymail_registry_mutex() {
    return g_mutex;
}

json& paymail_registry_document() {
    return g_doc;
}

std::string paymail_registry_path() {
    return kestrava_data_dir() + "/" + kFileName;
}

bool load_paymail_registry() {
    g_doc = json::object();
    g_unreadable = false;
    const std::string path = paymail_registry_path();
    std::string text;
    if (platform_file_exists(path)) {
        if (platform_read_file(path, text) && parse_object(text, g_doc)) return true;
        // The wallet program rewrites this file too; a first read may catch it mid-write.
        clock_sleep_ms(kSharedFileRetryMs);
        if (platform_read_file(path, text) && parse_object(text, g_doc)) return true;
        // Left in place, a damaged registry would block every claim for ever; it is kept aside
        // whole and the registry starts empty.
        if (!set_aside_damaged_file(path)) {
            g_unreadable = true;
            return false;
        }
        return true;
    }
    const std::string legacy = std::string(kLegacyFolder) + "/" + kFileName;
    if (!platform_file_exists(legacy)) return true;
    // A broken older copy is left where it is rather than migrated as an empty registry.
    if (!platform_read_file(legacy, text) || !parse_object(text, g_doc)) return true;
    save_paymail_registry();
    return true;
}

bool save_paymail_registry() {
    if (g_unreadable) return false;
    if (!platform_make_dirs(kestrava_data_dir())) return false;
    // Replacement keeps the writer from throwing on text that is not valid UTF-8.
    std::string text = g_doc.dump(2, ' ', false, json::error_handler_t::replace);
    return write_data_file(paymail_registry_path(), text, true);
}

std::string normalize_paymail_alias(const std::string& text) {
    std::size_t begin = 0;
    while (begin < text.size() && (text[begin] == '@' || text[begin] == '$' || text[begin] == ' '))
        ++begin;
    std::size_t end = text.size();
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    std::string alias = text.substr(begin, end - begin);
    const std::size_t at = alias.find('@');
    if (at != std::string::npos) alias.resize(at);
    return to_lower_copy(alias);
}

std::string normalize_paymail_name(const std::string& name) {
    std::string out;
    for (char c : normalize_paymail_alias(name)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_') out.push_back(c);
    }
    return out;
}

bool is_plausible_address(const std::string& address) {
    return address.size() >= 26 && address.size() <= 35 && address[0] == '1' && address.find('_') == std::string::npos;
}

std::int32_t label_quota_for_role(const std::string& role) {
    const std::string r = to_lower_copy(role);
    if (r == "architect") return -1;
    if (r == "dev") return 20;
    return 10;
}

std::string primary_paymail_name_for_pubkey(const std::string& pubkey_hex) {
    const std::string key = to_lower_copy(pubkey_hex);
    if (key.empty()) return {};
    std::lock_guard<std::mutex> lock(g_mutex);
    load_paymail_registry();
    const json* names = names_object();
    if (!names) return {};

    const std::string self = normalize_paymail_name(json_text(g_doc, "self"));
    if (!self.empty()) {
        auto it = names->find(self);
        if (it != names->end() && it->is_object() && entry_pubkey(*it) == key) return self;
    }
    const std::vector<std::string> labels = labels_of_key(*names, key);
    return labels.empty() ? std::string() : labels.front();
}

void paymail_names_for_pubkey(const std::string& pubkey_hex, std::vector<std::string>& names_out) {
    names_out.clear();
    const std::string key = to_lower_copy(pubkey_hex);
    if (key.empty()) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    load_paymail_registry();
    if (const json* names = names_object()) names_out = labels_of_key(*names, key);
}

std::string claim_paymail_name(const std::string& name, const std::string& pubkey_hex, const std::string& address) {
    const std::string label = normalize_paymail_name(name);
    if (label.empty()) return "need a paymail name (letters, numbers, _ - .)";
    if (pubkey_hex.empty()) return "no Cofferly identity pubkey";
    const std::string key = to_lower_copy(pubkey_hex);

    std::lock_guard<std::mutex> lock(g_mutex);
    if (!load_paymail_registry()) return "could not read paymail registry";
    json& names = object_member(g_doc, "names");

    auto existing = names.find(label);
    const bool exists = existing != names.end() && existing->is_object();
    if (exists) {
        const std::string owner = entry_pubkey(*existing);
        if (!owner.empty() && owner != key)
            return label + "@" + service_settings().paymail_domain + " is already taken";
    } else {
        const std::int32_t quota = label_quota_for_role(json_text(g_doc, "host_role"));
        if (quota != -1) {
            std::int64_t count = 0;
            for (const auto& entry : names) {
                if (entry.is_object() && entry_pubkey(entry) == key) ++count;
            }
            if (count >= quota) {
                return "paymail quota reached (" + std::to_string(quota) + " free labels per identity)";
            }
        }
    }

    // The first non-empty value of `field` among this key's labels, in label order.
    auto first_of_key = [&](const char* field) {
        for (const auto& entry : names) {
            if (!entry.is_object() || entry_pubkey(entry) != key) continue;
            std::string v = json_text(entry, field);
            if (!v.empty()) return v;
        }
        return std::string();
    };

    // The label's object is merged into, never replaced: the wallet program keeps its own keys
    // there ("ordAddress" among them), and losing them would lose where the label's ordinals go.
    const json before = g_doc;
    PaymailLabel& entry = names[label];
    if (!entry.is_object()) entry = json::object();
    entry["pubkey"] = key;
    if (!address.empty()) entry["address"] = address;
    if (json_text(entry, "ord").empty() && !is_plausible_address(json_text(entry, "ordAddress"))) {
        const std::string ord = first_of_key("ord");
        if (!ord.empty()) entry["ord"] = ord;
    }
    if (json_text(entry, "avatar").empty()) {
        auto avatars = g_doc.find("avatars");
        std::string avatar = avatars != g_doc.end() ? json_text(*avatars, key) : std::string();
        if (avatar.empty()) avatar = first_of_key("avatar");
        if (!avatar.empty()) entry["avatar"] = avatar;
    }
    g_doc["self"] = label;
    if (g_doc == before) return {};
    if (!save_paymail_registry()) return "could not write paymail registry";
    return {};
}

void set_host_role(const std::string& role) {
    std::string r = to_lower_copy(role);
    if (r != "dev" && r != "agent" && r != "operator" && r != "architect") r.clear();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!load_paymail_registry()) return;
    if (json_text(g_doc, "host_role") == r) return;
    if (r.empty()) {
        g_doc.erase("host_role");
    } else {
        g_doc["host_role"] = r;
    }
    save_paymail_registry();
}

std::string ord_address_for_name(const std::string& name) {
    const std::string label = normalize_paymail_name(name);
    if (label.empty()) return {};
    std::lock_guard<std::mutex> lock(g_mutex);
    load_paymail_registry();
    const json* names = names_object();
    if (!names) return {};
    auto it = names->find(label);
    if (it == names->end() || !it->is_object()) return {};
    std::string addr = json_text(*it, "ordAddress");
    if (is_plausible_address(addr)) return addr;
    addr = json_text(*it, "ord");
    return is_plausible_address(addr) ? addr : std::string();
}

void set_ord_address_for_identity(const std::string& ord_address) {
    const std::string key = to_lower_copy(kv_wallet().identity_pub);
    if (key.empty() || !is_plausible_address(ord_address)) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    json* names = load_paymail_registry() ? names_object() : nullptr;
    if (!names) return;
    bool changed = false;
    for (auto& entry : *names) {
        if (entry.is_object() && entry_pubkey(entry) == key && put_ord_address(entry, ord_address)) changed = true;
    }
    if (changed) save_paymail_registry();
}

void set_label_ord_address(const std::string& name, const std::string& ord_address) {
    const std::string label = normalize_paymail_name(name);
    if (label.empty() || !is_plausible_address(ord_address)) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!load_paymail_registry()) return;
    json& names = object_member(g_doc, "names");
    json& entry = names[label];
    if (!entry.is_object()) entry = json::object();
    if (put_ord_address(entry, ord_address)) save_paymail_registry();
}

std::string set_identity_avatar(const std::string& avatar) {
    const std::string key = to_lower_copy(kv_wallet().identity_pub);
    if (key.empty()) return "no identity pubkey";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!load_paymail_registry()) return "could not read paymail registry";
    // Every status run sets the avatar; writing only a change keeps this program from racing the
    // wallet program's own writes for nothing.
    const json before = g_doc;
    json& names = object_member(g_doc, "names");
    json& avatars = object_member(g_doc, "avatars");
    if (avatar.empty()) {
        avatars.erase(key);
    } else {
        avatars[key] = avatar;
    }
    for (auto& entry : names) {
        if (!entry.is_object() || entry_pubkey(entry) != key) continue;
        if (avatar.empty()) {
            entry.erase("avatar");
        } else {
            entry["avatar"] = avatar;
        }
    }
    if (g_doc == before) return {};
    if (!save_paymail_registry()) return "could not write paymail registry";
    return {};
}
