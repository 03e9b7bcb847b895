// The listing's contents: what the cache holds for each key, read once per listing, and the fetch
// of what it lacks.

#include "ordinals/ord_listing.h"

#include "chain/gorillapool.h"
#include "chain/woc_client.h"
#include "ordinals/content_cache.h"
#include "ordinals/content_load.h"
#include "ordinals/envelope.h"
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

// WhatsOnChain's bulk details take 20 transactions a request. A batch's contents, at the sizes the
// index told, stay under this many bytes, so that a reply (each script in hex) stays a few
// megabytes; a content of untold size, or a larger one, is read alone by the one-key road.
constexpr std::size_t kBulkContentIds = 20;
constexpr std::uint64_t kBulkContentBytes = std::uint64_t{2} << 20;
// The host's pace bounds the requests at once; these threads only keep it busy. Each batch writes
// its contents a few at a time, so that the writes of all of them stay near the one-key road's 64.
constexpr std::uint32_t kBulkContentThreads = 16;
constexpr std::uint32_t kBulkStoreThreads = 4;

// Reads what it can of the keys' contents from their transactions through the bulk details and
// caches it; a key it misses is left to the one-key road.
void read_contents_in_bulk(const OrdListingRun& run, const std::vector<std::string>& keys) {
    std::vector<std::vector<std::string>> batches;
    std::uint64_t batch_bytes = 0;
    for (const std::string& key : keys) {
        const auto told = run.content_sizes.find(key);
        std::string txid;
        std::uint32_t vout = 0;
        if (told == run.content_sizes.end() || told->second > kBulkContentBytes || !parse_ord_outpoint(key, txid, vout))
            continue;
        if (batches.empty() || batches.back().size() >= kBulkContentIds ||
            batch_bytes + told->second > kBulkContentBytes) {
            batches.emplace_back();
            batch_bytes = 0;
        }
        batches.back().push_back(key);
        batch_bytes += told->second;
    }
    parallel_for(batches.size(), kBulkContentThreads, [&](std::uint64_t b) {
        const std::vector<std::string>& batch = batches[b];
        std::vector<std::string> txids;
        for (const std::string& key : batch) {
            std::string txid;
            std::uint32_t vout = 0;
            parse_ord_outpoint(key, txid, vout);
            txids.push_back(txid);
        }
        std::vector<nlohmann::json> txs;
        woc_bulk_tx_json(txids, txs);
        // Each content is written and flushed to disk: side by side, as the one-key road does.
        parallel_for(std::min(batch.size(), txs.size()), kBulkStoreThreads, [&](std::uint64_t i) {
            std::string type;
            Bytes content;
            content_from_tx_json(batch[i], txs[i], type, content);
        });
    });
}

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
        read_contents_in_bulk(run, keys);
        forget_uncached_contents(run);
        std::vector<std::string> left;
        for (const std::string& key : keys)
            if (!cached_content_facts(run, key).has_bytes) left.push_back(key);
        keys.swap(left);
    }
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
