// The status refresh behind the balance in the main window: brings the loaded wallet up to date
// with its file, refreshes stale coin caches (throttled), works out the balance to show, sends the
// "status" and "paymail" events, and claims the paymail and refreshes the host role afterwards.
#pragma once

#include <cstdint>
#include <string>

struct WalletStatus {
    std::uint8_t loaded = 0; // a wallet is connected and loaded
    std::uint8_t is_hd = 0;
    std::uint8_t balance_known = 0; // at least one of the wallet's addresses has a loaded coin list
    std::string address;            // receive address
    std::int64_t balance = 0;       // satoshis to show; negative when none can be computed
    std::uint8_t balance_fresh = 0; // every address this run asked about answered; else the figure is
                                    // from an earlier read
};

// A coin refresh within this long throttles the next one.
constexpr std::int64_t kStatusRefreshThrottleMs = 20000;

// One run of the refresh; takes and releases the wallet mutex itself, so call it without it. A
// run overtaken by a wallet change or a newer run returns with balance_known 0 and sends nothing.
void refresh_wallet_status(WalletStatus& status);

// The loaded wallet's alias (settled first), or "" when no wallet loads.
std::string connected_paymail_alias();
// alias@domain of the loaded wallet, or "" when there is no wallet or no alias.
std::string connected_paymail();

// Forgets the recorded coin refresh of the status runs (tests, wallet change).
void reset_wallet_status_refresh();
