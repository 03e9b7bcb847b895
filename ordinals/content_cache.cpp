#include "ordinals/content_cache.h"

#include "ordinals/envelope.h"
#include "platform/fs.h"
#include "wallet/connect.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::string cache_dir() {
    return kestrava_data_dir() + "/ord_cache";
}

// Keys come from services and from other wallet files, and become file names as they are: one
// holding a separator, "..", ":" or a control character could name a file outside the cache, so
// such a key is treated as having nothing cached and nothing written.
bool cache_path(const std::string& key, const char* ext, std::string& path) {
    if (!is_safe_wallet_id(key)) return false;
    path = cache_dir() + "/" + key + ext;
    return true;
}

// Written aside, flushed, and moved into place: readers take whatever stands under the final name
// as the inscription's content for good, so a write cut short by a full disk or a crash must never
// be left there. Each write has its own temporary name, so two threads caching the same key cannot
// mix their bytes.
bool write_cache_file(const std::string& key, const char* ext, const std::string& data) {
    std::string path;
    if (!cache_path(key, ext, path)) return false;
    if (platform_write_file_aside(path, data, false)) return true;
    // The folder is made on the first write that needs it, not asked for on every write. Contents
    // are cached side by side: another thread may have made it since this write failed, so the
    // write is tried again whoever made it.
    return platform_make_dirs(cache_dir()) && platform_write_file_aside(path, data, false);
}

// The first line of a small cache file; a "\r" left by an editor on Windows is not part of it.
bool read_first_line(const std::string& key, const char* ext, std::string& line) {
    line.clear();
    std::string path;
    if (!cache_path(key, ext, path)) return false;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) return false;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

void harvest_file(const std::string& path) {
    std::string text;
    if (!platform_read_file(path, text)) return;
    harvest_ord_owned_names(json_parse_or_discarded(text));
}

// Regular files of one folder, in listing order, whose names pass `take`; none when the folder
// cannot be listed.
template <typename Take> std::vector<std::string> files_in(const std::string& dir, Take take) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(fs::u8path(dir), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (!it->is_regular_file(type_ec)) continue;
        if (take(it->path().filename().u8string(), it->path().extension().u8string()))
            out.push_back(it->path().u8string());
    }
    return out;
}

} // namespace

void ord_cache_write_content(const std::string& key, const std::string& content_type, const Bytes& content) {
    if (content.empty() || content.size() > kOrdCacheMaxContent) return;
    if (!write_cache_file(key, ".bin", std::string(content.begin(), content.end()))) return;
    // An empty type keeps the one an earlier write recorded for the same immutable content.
    if (!content_type.empty()) write_cache_file(key, ".typ", content_type);
}

void ord_cache_write_name(const std::string& key, const std::string& name) {
    const std::string clipped = clip_ord_name(name);
    if (clipped.empty()) return;
    write_cache_file(key, ".nam", clipped);
}

std::string ord_cache_read_name(const std::string& key) {
    std::string line;
    if (!read_first_line(key, ".nam", line)) return std::string();
    return clip_ord_name(line);
}

std::string ord_cache_read_type(const std::string& key) {
    std::string line;
    return read_first_line(key, ".typ", line) ? line : std::string();
}

bool ord_cache_read_content(const std::string& key, std::string& content_type, Bytes& content) {
    content_type.clear();
    content.clear();
    std::string path;
    if (!cache_path(key, ".bin", path)) return false;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) return false;
    // The size is judged before any byte is read, so an oversized file costs no memory.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size <= 0 || static_cast<std::uint64_t>(size) > kOrdCacheMaxContent) return false;
    in.seekg(0, std::ios::beg);
    content.resize(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(content.data()), size);
    if (!in || in.gcount() != size) {
        content.clear();
        return false;
    }
    read_first_line(key, ".typ", content_type);
    return true;
}

void harvest_ord_owned_names(const json& wallet_file) {
    if (!wallet_file.is_object()) return;
    const auto owned = wallet_file.find("ord_owned");
    if (owned == wallet_file.end() || !owned->is_array()) return;
    for (const json& entry : *owned) {
        if (!entry.is_object()) continue;
        std::string origin;
        std::string name;
        // A member of the wrong type means the file is not what this program wrote: the rest of
        // it is not trusted either.
        if (!json_optional_text(entry, "origin", origin) || !json_optional_text(entry, "name", name)) return;
        name = clip_ord_name(name);
        if (origin.empty() || name.empty()) continue;
        if (ord_cache_read_name(origin).empty()) ord_cache_write_name(origin, name);
    }
}

void harvest_wallet_ord_names() {
    std::string current;
    {
        auto lock = lock_wallet();
        current = kv_wallet().wallet_id;
    }
    for (const WalletRegistryEntry& entry : list_wallets()) {
        if (entry.id == current) continue;
        const std::string path = wallet_file_path_for_id(entry.id);
        if (!path.empty()) harvest_file(path);
    }

    const std::string data_dir = kestrava_data_dir();
    std::error_code ec;
    if (!fs::is_directory(fs::u8path(data_dir), ec)) return;
    const std::string detached_prefix = "kestrava_cofferly.detached";
    for (const std::string& path : files_in(data_dir, [&](const std::string&name, const std::string&) {
             return name.compare(0, detached_prefix.size(), detached_prefix) == 0;
         }))
        harvest_file(path);
    for (const std::string& path :
         files_in(parked_dir(), [](const std::string&, const std::string& ext) { return ext == ".json"; }))
        harvest_file(path);
}
