#include "chain/inscription.h"

#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr std::size_t kIvSize = 12;
constexpr std::size_t kGcmTagSize = 16;
constexpr std::size_t kSealHeader = kIvSize + kGcmTagSize;
constexpr std::size_t kTagTextMax = 32;

// The seal key, derived afresh from the fixed label for each use and wiped when it goes out of
// scope, on every path.
struct SealKey {
    Hash256 bytes;
    SealKey() : bytes(sha256(std::string("QW-Seal-Lbl-3"))) {}
    ~SealKey() { wipe(bytes.data(), bytes.size()); }
    SealKey(const SealKey&) = delete;
    SealKey& operator=(const SealKey&) = delete;
};

void push_text(Bytes& script, const std::string& text) {
    append_push_data(script, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool only_white_space(const std::string& text) {
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    }
    return true;
}

enum class TagsFile { Missing, Read, Damaged };

// Reads "tags.json" into doc (an object unless Damaged). The caller holds the art-tags mutex. A
// file that exists but is unreadable, not JSON (nested past the bound included) or not an object is
// Damaged: it may hold entries another build wrote, so nobody writes over it.
TagsFile read_tags_file(json& doc) {
    doc = json::object();
    const std::string path = art_tags_path();
    if (!platform_file_exists(path)) return TagsFile::Missing;
    std::string text;
    if (!platform_read_file(path, text)) return TagsFile::Damaged;
    if (only_white_space(text)) return TagsFile::Read;
    try {
        json parsed = json_parse_or_discarded(text);
        if (parsed.is_discarded() || !parsed.is_object()) return TagsFile::Damaged;
        doc = std::move(parsed);
        return TagsFile::Read;
    } catch (...) {
        return TagsFile::Damaged;
    }
}

// A damaged first read may have caught another writer mid-write; the second read, after a pause,
// decides.
TagsFile read_tags_file_again_if_damaged(json& doc) {
    const TagsFile first = read_tags_file(doc);
    if (first != TagsFile::Damaged) return first;
    clock_sleep_ms(kSharedFileRetryMs);
    return read_tags_file(doc);
}

} // namespace

std::string derive_ordinals_key() {
    const KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd || w.mnemonic.empty()) return std::string();
    std::string priv;
    std::string pub;
    std::string address;
    const bool ok = derive_account_key(kOrdinalsAccount, w.recv[kOrdinalsAccount], priv, pub, address);
    wipe(priv);
    return ok ? address : std::string();
}

bool derive_ordinals_address(Hash160& hash160, std::string& error) {
    error.clear();
    if (!kv_wallet().is_hd) {
        error = "need an HD Cofferly wallet.";
        return false;
    }
    const std::string address = derive_ordinals_key();
    if (address.empty()) {
        error = "could not derive the ordinals address.";
        return false;
    }
    if (!address_to_hash160(address, hash160)) {
        error = "ordinals address decode failed.";
        return false;
    }
    return true;
}

namespace {

bool is_name_blank_end(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

} // namespace

std::string clip_inscription_name(const std::string& name) {
    std::size_t begin = 0;
    while (begin < name.size() && (name[begin] == ' ' || name[begin] == '\t'))
        ++begin;
    std::size_t end = name.size();
    while (end > begin && is_name_blank_end(name[end - 1]))
        --end;
    // The cut can end on a blank inside the name; the reader trims it away, so it is trimmed here
    // too and the name written is the name read back.
    std::string clipped = utf8_cut(name.substr(begin, end - begin), kInscriptionNameMax);
    while (!clipped.empty() && is_name_blank_end(clipped.back()))
        clipped.pop_back();
    return clipped;
}

std::string build_name_metadata(const std::string& name) {
    const std::string clipped = clip_inscription_name(name);
    // The JSON writer refuses text that is not UTF-8; such a name is left out rather than mangled.
    if (clipped.empty() || !utf8_valid(clipped)) return std::string();
    json doc = json::object();
    doc["name"] = clipped;
    return doc.dump();
}

std::string seal_art_tag(const std::string& tag) {
    if (tag.empty() || tag.size() > kTagTextMax) return std::string();
    SealKey key;
    Bytes sealed(kSealHeader + tag.size());
    if (!random_bytes(sealed.data(), kIvSize)) return std::string();
    const bool ok = aes_256_gcm_seal(key.bytes, sealed.data(), reinterpret_cast<const std::uint8_t*>(tag.data()),
                                     tag.size(), sealed.data() + kSealHeader, sealed.data() + kIvSize);
    return ok ? to_hex(sealed) : std::string();
}

std::string open_art_tag(const std::string& sealed_hex) {
    const Bytes sealed = from_hex(sealed_hex);
    if (sealed.size() <= kSealHeader) return std::string();
    const std::size_t n = sealed.size() - kSealHeader;
    SealKey key;
    Bytes plain(n);
    if (!aes_256_gcm_open(key.bytes, sealed.data(), sealed.data() + kSealHeader, n, sealed.data() + kIvSize,
                          plain.data()))
        return std::string();
    return std::string(plain.begin(), plain.end());
}

std::string art_tag_key(const std::string& outpoint) {
    const std::string text = to_lower_copy(outpoint);
    std::string suffix = "_0";
    if (text.size() != 64) {
        if (text.size() < 66 || text[64] != '_') return std::string();
        suffix = text.substr(64);
    }
    for (std::size_t i = 0; i < 64; ++i) {
        if (!is_hex_digit(text[i])) return std::string();
    }
    return text.substr(0, 64) + suffix;
}

std::string art_tags_path() {
    const std::string dir = kestrava_data_dir() + "/art";
    platform_make_dirs(dir);
    return dir + "/tags.json";
}

std::mutex& art_tags_mutex() {
    static std::mutex mutex;
    return mutex;
}

void save_art_tags(const std::vector<std::pair<std::string, std::string>>& tags) {
    std::vector<std::pair<std::string, std::string>> accepted;
    for (const auto& entry : tags) {
        const std::string key = art_tag_key(entry.first);
        // The file is JSON text: a key or tag that is not UTF-8 could not be written back.
        if (key.empty() || entry.second.empty() || !utf8_valid(key) || !utf8_valid(entry.second)) continue;
        accepted.emplace_back(key, entry.second);
    }
    if (accepted.empty()) return;
    std::lock_guard<std::mutex> lock(art_tags_mutex());
    json doc;
    if (read_tags_file_again_if_damaged(doc) == TagsFile::Damaged) {
        // Left in place, a damaged file would drop this tag and every later one; it is kept aside
        // whole for whoever can mend it, and a new file starts.
        if (!set_aside_damaged_file(art_tags_path())) return;
        doc = json::object();
    }
    std::string text;
    try {
        for (const auto& entry : accepted)
            doc[entry.first] = entry.second;
        text = doc.dump();
    } catch (...) {
        return;
    }
    write_data_file(art_tags_path(), text, false);
}

void save_art_tag(const std::string& outpoint, const std::string& tag) {
    save_art_tags({{outpoint, tag}});
}

std::map<std::string, std::string> load_art_tags() {
    std::map<std::string, std::string> tags;
    std::lock_guard<std::mutex> lock(art_tags_mutex());
    json doc;
    if (read_tags_file(doc) != TagsFile::Read) return tags;
    for (auto it = doc.begin(); it != doc.end(); ++it)
        if (it.value().is_string()) tags.emplace(it.key(), it.value().get<std::string>());
    return tags;
}

std::string art_tag_in(const std::map<std::string, std::string>& tags, const std::string& outpoint) {
    const std::string key = art_tag_key(outpoint);
    if (key.empty()) return std::string();
    auto it = tags.find(key);
    if (it == tags.end() || it->second.empty()) it = tags.find(outpoint);
    return it == tags.end() ? std::string() : it->second;
}

std::string load_art_tag(const std::string& outpoint) {
    if (art_tag_key(outpoint).empty()) return std::string();
    return art_tag_in(load_art_tags(), outpoint);
}

void append_map_part(Bytes& script, const std::string& name, const std::string& sealed_tag) {
    if (sealed_tag.empty()) return;
    script.push_back(0x6A);
    push_text(script, kMapPrefix);
    push_text(script, "SET");
    push_text(script, "app");
    push_text(script, kMapAppName);
    push_text(script, "type");
    push_text(script, "ord");
    if (!name.empty()) {
        push_text(script, "name");
        push_text(script, name);
    }
    push_text(script, "tag");
    push_text(script, sealed_tag);
}

Bytes build_inscription_script(const Hash160& hash160, const std::string& content_type, const Bytes& content,
                               const std::string& name_metadata, const std::string& sealed_tag) {
    Bytes script = p2pkh_script(hash160);
    script.push_back(0x00);
    script.push_back(0x63);
    push_text(script, "ord");
    script.push_back(0x51);
    push_text(script, content_type);
    if (!name_metadata.empty()) {
        script.push_back(0x55);
        push_text(script, name_metadata);
    }
    script.push_back(0x00);
    append_push_data(script, content.data(), content.size());
    script.push_back(0x68);
    if (sealed_tag.empty()) return script;

    std::string name;
    if (!name_metadata.empty()) {
        json meta = json_parse_or_discarded(name_metadata);
        if (meta.is_object()) {
            auto it = meta.find("name");
            if (it != meta.end() && it->is_string()) name = utf8_cut(it->get<std::string>(), kInscriptionNameMax);
        }
    }
    append_map_part(script, name, sealed_tag);
    return script;
}
