#include "chain/coin_state.h"

#include "wallet/clock.h"

#include <unordered_map>

namespace {
constexpr std::int64_t kExpiredAgeNs = 30000000000LL;

std::vector<AddressCoins> g_address_coins;
std::vector<OrdOutpointSet> g_ord_sets;
bool g_ord_failed = false;
std::int64_t g_ord_failed_at = 0;

// Positions by address. The lists stay plain vectors that callers (and tests) may change directly,
// so the index remembers which list it describes and is rebuilt when the list changed under it;
// appends through the entry functions keep it current, so filling n addresses stays linear.
struct AddressIndex {
    std::unordered_map<std::string, std::size_t> at;
    const void* data = nullptr;
    std::size_t size = 0;
};
AddressIndex g_coins_index;
AddressIndex g_ord_index;

template <typename Entry>
Entry* find_indexed(std::vector<Entry>& list, AddressIndex& index, const std::string& address) {
    auto rebuild = [&] {
        index.at.clear();
        for (std::size_t i = 0; i < list.size(); ++i)
            index.at.emplace(list[i].address, i);
        index.data = list.data();
        index.size = list.size();
    };
    if (index.data != list.data() || index.size != list.size()) rebuild();
    auto it = index.at.find(address);
    if (it != index.at.end() && list[it->second].address != address) {
        rebuild();
        it = index.at.find(address);
    }
    return it == index.at.end() ? nullptr : &list[it->second];
}

template <typename Entry>
Entry& indexed_entry(std::vector<Entry>& list, AddressIndex& index, const std::string& address) {
    if (Entry* found = find_indexed(list, index, address)) return *found;
    list.emplace_back();
    list.back().address = address;
    if (index.data != list.data()) {
        index.data = nullptr; // moved: the next look-up rebuilds
    } else {
        index.at.emplace(address, list.size() - 1);
        index.size = list.size();
    }
    return list.back();
}
} // namespace

std::vector<AddressCoins>& address_coins() {
    return g_address_coins;
}
std::vector<OrdOutpointSet>& ord_outpoint_sets() {
    return g_ord_sets;
}
AddressCoins* find_address_coins(const std::string& address) {
    return find_indexed(g_address_coins, g_coins_index, address);
}
OrdOutpointSet* find_ord_outpoint_set(const std::string& address) {
    return find_indexed(g_ord_sets, g_ord_index, address);
}
AddressCoins& address_coins_entry(const std::string& address) {
    return indexed_entry(g_address_coins, g_coins_index, address);
}
OrdOutpointSet& ord_outpoint_set_entry(const std::string& address) {
    return indexed_entry(g_ord_sets, g_ord_index, address);
}
bool& ord_outpoint_failed() {
    return g_ord_failed;
}
std::int64_t& ord_outpoint_failed_at() {
    return g_ord_failed_at;
}

void clear_coin_caches() {
    g_address_coins.clear();
    g_ord_sets.clear();
    g_ord_failed = false;
    g_ord_failed_at = 0;
}

void expire_address_coins() {
    const std::int64_t stale = clock_steady_ns() - kExpiredAgeNs;
    for (AddressCoins& entry : g_address_coins)
        entry.stamp = stale;
}
