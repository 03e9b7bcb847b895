// The listing's contents: what the cache holds for each key, read once per listing, and the fetch
// of what it lacks.

#include "ordinals/ord_listing.h"

#include "chain/gorillapool.h"
#include "ordinals/content_cache.h"
#include "ordinals/content_load.h"
#include "ordinals/token_records.h"
#include "wallet/parallel.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace {

// Contents are fetched, and written to the cache and flushed to disk, side by side without the
// wallet mutex, in one round as far as the pool and the bytes they hold allow: a content the index
// told the size of reserves that much while it is fetched, any other the most the cache keeps (an
// artwork may be 10 MB). The budget is what sixteen of those held before.
constexpr std::uint32_t kContentThreads = 64;
constexpr std::uint64_t kContentBytesInFlight = 16 * std::uint64_t{kOrdCacheMaxContent};

// Bytes reserved by the fetches under way. A fetch waits until its share fits; one larger than the
// whole budget goes alone.
struct ByteBudget {
    std::mutex mutex;
    std::condition_variable freed;
    std::uint64_t used = 0;

    void take(std::uint64_t bytes) {
        std::unique_lock<std::mutex> lock(mutex);
        freed.wait(lock, [&] { return used == 0 || used + bytes <= kContentBytesInFlight; });
        used += bytes;
    }
    void give(std::uint64_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            used -= bytes;
        }
        freed.notify_all();
    }
};

} // namespace

// Contents may be megabytes each: other wallet operations need not wait on them.
bool fetch_missing_contents(OrdListingRun& run, WalletLock& lock, const std::vector<KvCofferlyOrdRow>& rows) {
    std::vector<std::string> all;
    all.reserve(rows.size());
    for (const KvCofferlyOrdRow& row : rows)
        all.push_back(row.key);
    lock.unlock();
    save_pending_art_tags(run);
    forget_uncached_contents(run);
    read_cached_contents(run, all);
    std::vector<std::string> keys;
    for (const std::string& key : all)
        if (!cached_content_facts(run, key).has_bytes) keys.push_back(key);
    if (!keys.empty()) {
        ByteBudget budget;
        parallel_for(keys.size(), kContentThreads, [&](std::uint64_t i) {
            const auto told = run.content_sizes.find(keys[i]);
            std::uint64_t bytes = kOrdCacheMaxContent;
            if (told != run.content_sizes.end()) bytes = std::min(told->second, bytes);
            budget.take(bytes);
            std::string type;
            Bytes content;
            load_inscription_content(keys[i], type, content, true, false);
            budget.give(bytes);
        });
        forget_uncached_contents(run);
        read_cached_contents(run, keys);
    }
    // A file each: read here rather than while the rows are named under the wallet mutex.
    for (const std::string& key : all)
        run.cached_names[key] = ord_cache_read_name(key);
    return relock_same_wallet(run, lock);
}

const CachedContentFacts& cached_content_facts(OrdListingRun& run, const std::string& key) {
    auto it = run.contents.find(key);
    if (it != run.contents.end()) return it->second;
    CachedContentFacts facts;
    Bytes content;
    facts.cached = ord_cache_read_content(key, facts.type, content);
    if (facts.cached) {
        facts.has_bytes = !content.empty();
        facts.parsed = parse_token_json(content, facts.token);
        facts.is_token = facts.parsed || !facts.token.id.empty() || !facts.token.amt.empty() || !facts.token.op.empty();
        facts.title = credential_title_of_txo(std::string(content.begin(), content.end()));
    } else {
        facts.type.clear();
    }
    return run.contents.emplace(key, std::move(facts)).first->second;
}

void read_cached_contents(OrdListingRun& run, const std::vector<std::string>& keys) {
    for (const std::string& key : keys)
        cached_content_facts(run, key);
}

void forget_uncached_contents(OrdListingRun& run) {
    for (auto it = run.contents.begin(); it != run.contents.end();)
        it = it->second.has_bytes ? std::next(it) : run.contents.erase(it);
}

bool token_inscription_of(const Bytes& content, TokenInscription& token) {
    token = TokenInscription();
    const bool parsed = parse_token_json(content, token);
    return parsed || !token.id.empty() || !token.amt.empty() || !token.op.empty();
}

bool cached_token_inscription(const std::string& key, TokenInscription& token, std::string* content_type) {
    std::string type;
    Bytes content;
    token = TokenInscription();
    if (!load_inscription_content(key, type, content, false, false)) return false;
    if (content_type) *content_type = type;
    return token_inscription_of(content, token);
}
