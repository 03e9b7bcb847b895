#include "chain/coin_state.h"

#include "wallet/clock.h"

namespace {
constexpr std::int64_t kExpiredAgeNs = 30000000000LL;

std::vector<AddressCoins> g_address_coins;
std::vector<OrdOutpointSet> g_ord_sets;
bool g_ord_failed = false;
std::int64_t g_ord_failed_at = 0;
} // namespace

std::vector<AddressCoins>& address_coins() {
    return g_address_coins;
}
std::vector<OrdOutpointSet>& ord_outpoint_sets() {
    return g_ord_sets;
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
