#include "chain/tx_store.h"

#include "wallet/codecs.h"
#include "wallet/settings.h"

#include <algorithm>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

using nlohmann::json;

namespace {

struct Kept {
    std::shared_ptr<const json> tx;
    std::size_t bytes = 0;
    bool mined = false;
    std::list<std::string>::iterator age; // place in the least-recently-read order
};

struct Read {
    bool ok = false;
    json tx;
};
using SharedRead = std::shared_future<std::shared_ptr<const Read>>;

struct Store {
    std::mutex mutex;
    std::unordered_map<std::string, Kept> kept;
    std::list<std::string> ages; // front = read longest ago
    std::size_t bytes = 0;
    std::unordered_map<std::string, SharedRead> reading;
    std::size_t waiting = 0; // readers waiting for a read another reader started
};

// Never destroyed: a worker thread may still finish a read while the process exits.
Store& store() {
    static Store* s = new Store;
    return *s;
}

// About what the parsed JSON holds in memory: its texts and a few words for every value. A bound
// on this, not on the count alone, keeps a few huge transactions from filling memory.
std::size_t json_bytes(const json& value) {
    std::size_t n = 32;
    if (value.is_string()) return n + value.get_ref<const std::string&>().size();
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it)
            n += it.key().size() + 32 + json_bytes(it.value());
    } else if (value.is_array()) {
        for (const json& item : value)
            n += json_bytes(item);
    }
    return n;
}

std::int64_t positive_int(const json& tx, const char* key) {
    const auto it = tx.find(key);
    if (it == tx.end() || !it->is_number_integer()) return 0;
    return std::max<std::int64_t>(it->get<std::int64_t>(), 0);
}

bool is_copy_of(const json& tx, const std::string& txid) {
    if (!tx.is_object()) return false;
    const auto id = tx.find("txid");
    return id != tx.end() && id->is_string() && to_lower_copy(id->get<std::string>()) == txid;
}

// A copy that describes the transaction in a block, and so never changes.
bool is_mined(const json& tx) {
    return positive_int(tx, "blockheight") > 0 || positive_int(tx, "confirmations") > 0;
}

void drop(Store& s, std::unordered_map<std::string, Kept>::iterator it) {
    s.bytes -= it->second.bytes;
    s.ages.erase(it->second.age);
    s.kept.erase(it);
}

void keep(Store& s, const std::string& key, std::shared_ptr<const json> tx, std::size_t bytes, bool mined) {
    if (bytes > kTxStoreMaxBytes) return;
    const auto old = s.kept.find(key);
    if (old != s.kept.end()) {
        if (old->second.mined || !mined) return;
        drop(s, old);
    }
    while (!s.ages.empty() && (s.kept.size() >= kTxStoreMaxTxs || s.bytes + bytes > kTxStoreMaxBytes))
        drop(s, s.kept.find(s.ages.front()));
    s.ages.push_back(key);
    s.kept.emplace(key, Kept{std::move(tx), bytes, mined, std::prev(s.ages.end())});
    s.bytes += bytes;
}

} // namespace

bool tx_store_read(const std::string& source, const std::string& txid, const TxFetch& fetch, json& tx,
                   bool mempool_copy_will_do) {
    tx = nullptr;
    const std::string id = to_lower_copy(txid);
    const std::string key = service_key(source, id);
    Store& s = store();
    std::promise<std::shared_ptr<const Read>> promise;
    SharedRead answer;
    bool mine = false;
    std::shared_ptr<const json> found;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto kept = s.kept.find(key);
        if (kept != s.kept.end() && (kept->second.mined || mempool_copy_will_do)) {
            s.ages.splice(s.ages.end(), s.ages, kept->second.age);
            found = kept->second.tx;
        } else if (const auto reading = s.reading.find(key); reading != s.reading.end()) {
            answer = reading->second;
            ++s.waiting;
        } else {
            answer = promise.get_future().share();
            s.reading.emplace(key, answer);
            mine = true;
        }
    }
    // A kept copy may be megabytes: it is copied out with the store's mutex free.
    if (found) {
        tx = *found;
        return true;
    }
    if (mine) {
        auto read = std::make_shared<Read>();
        try {
            read->ok = fetch(read->tx);
        } catch (...) {
            read->ok = false;
        }
        if (!read->ok) read->tx = nullptr;
        // The copy to keep is made before the store's mutex is taken: it may be megabytes.
        std::shared_ptr<const json> copy;
        const bool mined = read->ok && is_mined(read->tx);
        if (read->ok && is_copy_of(read->tx, id) && (mined || mempool_copy_will_do))
            copy = std::make_shared<const json>(read->tx);
        const std::size_t bytes = copy ? json_bytes(*copy) : 0;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (copy) keep(s, key, std::move(copy), bytes, mined);
            s.reading.erase(key);
        }
        promise.set_value(read);
    }
    const std::shared_ptr<const Read> read = answer.get();
    if (!mine) {
        std::lock_guard<std::mutex> lock(s.mutex);
        --s.waiting;
    }
    if (!read->ok) return false;
    tx = read->tx;
    return true;
}

void tx_store_keep(const std::string& source, const std::string& txid, const json& tx) {
    const std::string id = to_lower_copy(txid);
    const std::string key = service_key(source, id);
    if (!is_copy_of(tx, id) || !is_mined(tx)) return;
    Store& s = store();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto kept = s.kept.find(key);
        if (kept != s.kept.end() && kept->second.mined) return;
    }
    auto copy = std::make_shared<const json>(tx);
    const std::size_t bytes = json_bytes(*copy);
    std::lock_guard<std::mutex> lock(s.mutex);
    keep(s, key, std::move(copy), bytes, true);
}

bool tx_store_find(const std::string& source, const std::string& txid, json& tx) {
    tx = nullptr;
    Store& s = store();
    std::shared_ptr<const json> found;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto kept = s.kept.find(service_key(source, to_lower_copy(txid)));
        if (kept == s.kept.end() || !kept->second.mined) return false;
        s.ages.splice(s.ages.end(), s.ages, kept->second.age);
        found = kept->second.tx;
    }
    tx = *found;
    return true;
}

void tx_store_clear() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.kept.clear();
    s.ages.clear();
    s.bytes = 0;
}

TxStoreUse tx_store_use() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return TxStoreUse{s.kept.size(), s.bytes, s.waiting};
}
