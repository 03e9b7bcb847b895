#include "chain/coin_state.h"

namespace {
std::vector<AddressCoins> g_address_coins;
std::vector<OrdOutpointSet> g_ord_sets;
bool g_ord_failed = false;
std::int64_t g_ord_failed_at = 0;
} // namespace

std::vector<AddressCoins>& address_coins() { return g_address_coins; }
std::vector<OrdOutpointSet>& ord_outpoint_sets() { return g_ord_sets; }
bool& ord_outpoint_failed() { return g_ord_failed; }
std::int64_t& ord_outpoint_failed_at() { return g_ord_failed_at; }

void clear_coin_caches() {
    g_address_coins.clear();
    g_ord_sets.clear();
    g_ord_failed = false;
    g_ord_failed_at = 0;
}
