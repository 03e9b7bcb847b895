#include "chain/balance.h"

#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/woc_client.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/text_util.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>

using nlohmann::json;

namespace {

constexpr std::int32_t kHistoryTimeoutS = 25;
// WhatsOnChain's "Bulk History" (POST /addresses/history/all, on its Address page) takes at most
// 20 addresses a request (kBulkHistoryAddresses) and returns at most 1000 confirmed and 1000
// unconfirmed items a request, with a page token for an address that holds more.
constexpr std::size_t kBulkHistoryRows = 1000;
// Around the payment itself the services may show the balance before or after it; a figure
// outside this band of the expected value is taken to be stale.
constexpr std::int64_t kPaymentBandSats = 8000;
// Later, within the hold time, only a jump this far above the expected value is held back.
constexpr std::int64_t kLateJumpSats = 1000000;
constexpr std::int64_t kHoldNs = 45LL * 1000000000LL;
constexpr std::int64_t kOracleCoinMinSats = 1000;

// The displayed-balance state has its own small mutex, so the window thread reads it while a
// payment holds the wallet mutex; writers also hold the wallet mutex.
std::mutex g_balance_mutex;
DisplayedBalance g_balance;

// A double as a whole number, halves away from zero; false when it does not fit.
bool round_to_i64(double value, std::int64_t& out) {
    if (!(value > -9.2e18 && value < 9.2e18)) return false;
    out = static_cast<std::int64_t>(std::llround(value));
    return true;
}

bool number_as_sats(const json& value, double scale, std::int64_t& out) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (scale == 1.0) {
            if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
            out = static_cast<std::int64_t>(v);
            return true;
        }
        return round_to_i64(static_cast<double>(v) * scale, out);
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (scale == 1.0) {
            out = v;
            return true;
        }
        return round_to_i64(static_cast<double>(v) * scale, out);
    }
    if (value.is_number_float()) return round_to_i64(value.get<double>() * scale, out);
    return false;
}

// The stem from the view, so the face file can be found without the wallet mutex.
std::string stem_of_view(const WalletView& view) {
    return wallet_file_stem_of(view.wallet_id, view.identity_address, view.address);
}

std::string face_path_for_stem(const std::string& stem) {
    return kestrava_data_dir() + "/tx_hist/" + stem + "_face.json";
}

std::int64_t read_face(const std::string& path, const std::string& address) {
    if (address.empty()) return -1;
    std::string text;
    if (!platform_read_file(path, text)) return -1;
    const json doc = json_parse_or_discarded(text);
    if (!doc.is_object()) return -1;
    auto stored = doc.find("address");
    if (stored == doc.end() || !stored->is_string() || stored->get_ref<const std::string&>() != address) return -1;
    auto sats = doc.find("sats");
    if (sats == doc.end() || !sats->is_number_integer()) return -1;
    if (sats->is_number_unsigned()) {
        const auto v = sats->get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return -1;
        return static_cast<std::int64_t>(v);
    }
    return sats->get<std::int64_t>();
}

// The ids of a history listing, oldest first. The services list a history in either order (the
// address listings oldest first, some newest first); the recent scan wants the newest, so the ids
// are put in block order by their heights, unconfirmed ones last, and the listing's own order
// stands only among ids of one block. "tx_hash", else "txid", 64 characters long.
std::vector<std::string> history_ids(const json& list) {
    struct Entry {
        std::string id;
        std::int64_t height = 0;
    };
    std::vector<Entry> entries;
    for (const json& item : list) {
        if (!item.is_object()) continue;
        auto id = item.find("tx_hash");
        if (id == item.end() || !id->is_string()) id = item.find("txid");
        if (id == item.end() || !id->is_string()) continue;
        const std::string& text = id->get_ref<const std::string&>();
        if (text.size() != 64) continue;
        Entry entry;
        entry.id = text;
        const auto height = item.find("height");
        if (height != item.end() && height->is_number_integer()) entry.height = height->get<std::int64_t>();
        if (entry.height <= 0) entry.height = std::numeric_limits<std::int64_t>::max();
        entries.push_back(std::move(entry));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.height < b.height; });
    std::vector<std::string> ids;
    ids.reserve(entries.size());
    for (Entry& entry : entries)
        ids.push_back(std::move(entry.id));
    return ids;
}

} // namespace

void woc_address_history(HistoryContext& context, const std::string& suffix) {
    if (context.limit <= 0 || context.out.size() >= static_cast<std::size_t>(context.limit)) return;
    if (!is_ascii_alnum_text(context.address)) return;
    if (suffix == "/history" && context.unconfirmed_read && context.confirmed_read) return;
    std::string body, error;
    if (!http_get(woc_url("/address/" + context.address + suffix), body, error, kHistoryTimeoutS, false)) return;
    const json reply = json_parse_or_discarded(body);
    const json* list = nullptr;
    if (reply.is_array()) {
        list = &reply;
    } else if (reply.is_object()) {
        auto result = reply.find("result");
        if (result != reply.end() && result->is_array()) list = &*result;
    }
    if (!list) return;
    add_history_ids(context, history_ids(*list), suffix);
}

void add_history_ids(HistoryContext& context, const std::vector<std::string>& ids, const std::string& suffix) {
    if (suffix == "/unconfirmed/history") context.unconfirmed_read = true;
    if (suffix == "/confirmed/history") context.confirmed_read = true;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
        if (context.limit <= 0 || context.out.size() >= static_cast<std::size_t>(context.limit)) break;
        if (context.seen.insert(*it).second) context.out.push_back(*it);
    }
}

bool woc_bulk_history(const std::vector<std::string>& addresses, std::vector<BulkHistory>& out) {
    out.assign(addresses.size(), BulkHistory{});
    if (addresses.empty()) return true;
    if (addresses.size() > kBulkHistoryAddresses) return false;
    const std::string body = bulk_addresses_body(addresses);
    std::string response, err;
    if (!http_post_json(woc_url("/addresses/history/all"), body, response, err, kHistoryTimeoutS, kUntilTimeOut))
        return false;
    const json reply = json_parse_or_discarded(response);
    if (!reply.is_array()) return false;

    std::size_t rows[2] = {0, 0};
    for (const json& item : reply) {
        if (!item.is_object()) continue;
        const std::string address = json_text(item, "address");
        if (address.empty()) continue;
        // Each half must be a whole list: no error and no page token for more.
        const json* halves[2] = {nullptr, nullptr};
        const char* names[2] = {"unconfirmed", "confirmed"};
        bool whole = true;
        for (int h = 0; h < 2; ++h) {
            auto half = item.find(names[h]);
            if (half == item.end() || !half->is_object()) {
                whole = false;
                continue;
            }
            auto result = half->find("result");
            if (result == half->end() || !result->is_array()) {
                whole = false;
                continue;
            }
            rows[h] += result->size();
            if (!json_text(*half, "error").empty() || !json_text(*half, "nextPageToken").empty()) whole = false;
            halves[h] = &*result;
        }
        if (!whole || !json_text(item, "error").empty() || !json_text(item, "nextPageToken").empty()) continue;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (addresses[i] != address) continue;
            out[i].unconfirmed = history_ids(*halves[0]);
            out[i].confirmed = history_ids(*halves[1]);
            out[i].answered = true;
        }
    }
    // The service caps each half of one reply; a half as long as the cap may be missing items.
    return rows[0] < kBulkHistoryRows && rows[1] < kBulkHistoryRows;
}

std::int64_t json_sats(const json& output) {
    if (!output.is_object()) return 0;
    std::int64_t sats = 0;
    auto s = output.find("satoshis");
    if (s != output.end() && s->is_number()) return number_as_sats(*s, 1.0, sats) ? sats : 0;
    auto v = output.find("value");
    if (v != output.end() && v->is_number()) return number_as_sats(*v, 100000000.0, sats) ? sats : 0;
    return 0;
}

void add_balance_coin(const Utxo& coin, const std::string& address, std::unordered_set<std::string>& counted,
                      std::int64_t& total) {
    if (coin.sats <= 0 || is_outpoint_spent(coin.txid, coin.vout)) return;
    if (address.empty() ? is_ord_outpoint_any(coin) : is_ord_outpoint_at(address, coin)) return;
    if (!counted.insert(outpoint_key(coin.txid, coin.vout)).second) return;
    const std::string reversed = reverse_txid_hex(coin.txid);
    if (!reversed.empty()) counted.insert(outpoint_key(reversed, coin.vout));
    const std::int64_t room = std::numeric_limits<std::int64_t>::max() - total;
    total = coin.sats > room ? std::numeric_limits<std::int64_t>::max() : total + coin.sats;
}

namespace {

// Offers each coin the balance is made of to `visit`, with the address it is held back as an
// ordinal at ("" for anywhere): the main address's coins, change coins and the house-oracle coins
// this wallet holds. False when no coin list of the main address was loaded.
template <typename Visit> bool visit_balance_coins(Visit visit) {
    const std::string main = kv_wallet().address;
    bool known = false;
    const AddressCoins* entry = find_address_coins(main);
    if (entry != nullptr && entry->loaded) {
        known = true;
        for (const Utxo& coin : entry->utxos)
            visit(coin, main);
    }
    Hash160 main_hash{};
    const bool decoded = address_to_hash160(main, main_hash);
    for (const ChangeCoin& coin : change_coins()) {
        if (!decoded || coin.hash160 == main_hash) visit(utxo_of(coin), std::string());
    }
    for (const AddressCoins& e : address_coins()) {
        if (!e.loaded || e.address.empty() || e.address == main || !is_house_oracle_address(e.address)) continue;
        std::string priv, pub;
        Hash160 h{};
        const bool mine = is_my_address(e.address, priv, pub, h);
        wipe(priv);
        if (!mine) continue;
        for (const Utxo& coin : e.utxos) {
            if (coin.sats >= kOracleCoinMinSats) visit(coin, e.address);
        }
    }
    for (const ChangeCoin& coin : change_coins()) {
        if ((!decoded || coin.hash160 != main_hash) && coin.sats >= kOracleCoinMinSats)
            visit(utxo_of(coin), std::string());
    }
    return known;
}

} // namespace

std::int64_t spendable_balance_sats() {
    WalletLock lock = lock_wallet();
    std::unordered_set<std::string> counted;
    std::int64_t total = 0;
    const bool known = visit_balance_coins(
        [&](const Utxo& coin, const std::string& address) { add_balance_coin(coin, address, counted, total); });
    return !known && total == 0 ? -1 : total;
}

std::int64_t held_balance_sats() {
    WalletLock lock = lock_wallet();
    // A row naming no transaction holds coins that no step of this program spent: those of a
    // damaged spent file, or of a previous version's marks.
    std::unordered_set<std::string> held;
    for (const UnsettledInputs& row : unsettled_inputs()) {
        if (!row.txid.empty()) continue;
        held.insert(row.outpoints.begin(), row.outpoints.end());
    }
    if (held.empty()) return 0;
    std::unordered_set<std::string> counted;
    std::int64_t total = 0;
    visit_balance_coins([&](const Utxo& coin, const std::string& address) {
        const std::string key = outpoint_key(coin.txid, coin.vout);
        const std::string reversed = reverse_txid_hex(coin.txid);
        if (!held.count(key) && (reversed.empty() || !held.count(outpoint_key(reversed, coin.vout)))) return;
        if (coin.sats <= 0 || (address.empty() ? is_ord_outpoint_any(coin) : is_ord_outpoint_at(address, coin))) return;
        if (!counted.insert(key).second) return;
        if (!reversed.empty()) counted.insert(outpoint_key(reversed, coin.vout));
        total = coin.sats > std::numeric_limits<std::int64_t>::max() - total ? std::numeric_limits<std::int64_t>::max()
                                                                             : total + coin.sats;
    });
    return total;
}

DisplayedBalance displayed_balance() {
    std::lock_guard<std::mutex> hold(g_balance_mutex);
    return g_balance;
}

void reset_displayed_balance() {
    std::lock_guard<std::mutex> hold(g_balance_mutex);
    g_balance.shown = -1;
    g_balance.expected = -1;
}

std::int64_t shown_balance(std::int64_t fetched, std::int64_t sent, bool save_face) {
    if (fetched < 0) return fetched;
    WalletLock lock = lock_wallet();
    std::int64_t shown = fetched;
    {
        std::lock_guard<std::mutex> hold(g_balance_mutex);
        const std::int64_t previous = g_balance.shown;
        const std::int64_t now = clock_steady_ns();
        if (previous >= 0 && sent >= 1) {
            const std::int64_t expected = std::max<std::int64_t>(previous - sent, 0);
            g_balance.expected = expected;
            g_balance.send_ns = now;
            if (fetched < expected - kPaymentBandSats || fetched > previous + kPaymentBandSats) shown = expected;
        } else if (previous >= 0) {
            const std::int64_t expected = g_balance.expected;
            if (expected >= 0 && now - g_balance.send_ns < kHoldNs && fetched > expected + kLateJumpSats)
                shown = expected;
        }
        g_balance.shown = shown;
    }
    if (save_face) save_history_face(shown);
    return shown;
}

void note_balance_after_send(std::int64_t sent) {
    if (platform_stdout_is_terminal()) return;
    WalletLock lock = lock_wallet();
    const std::int64_t shown = shown_balance(spendable_balance_sats(), sent);
    const std::string wallet_id = kv_wallet().wallet_id;
    emit_status_event(kBalanceTag, std::to_string(shown), wallet_id);
}

std::string history_face_path() {
    return face_path_for_stem(wallet_file_stem());
}

void save_history_face(std::int64_t sats) {
    WalletLock lock = lock_wallet();
    write_history_face(history_face_path(), kv_wallet().address, sats);
}

void write_history_face(const std::string& path, const std::string& address, std::int64_t sats) {
    if (sats < 0 || address.empty()) return;
    platform_make_dirs(kestrava_data_dir() + "/tx_hist");
    json doc = json::object();
    doc["address"] = address;
    doc["sats"] = sats;
    write_data_file(path, doc.dump(-1, ' ', false, json::error_handler_t::replace), false);
}

std::int64_t load_history_face(const std::string& address) {
    return read_face(history_face_path(), address);
}

std::int64_t cached_history_face() {
    std::string address, paymail;
    bool is_hd = false;
    if (!wallet_address_info(address, paymail, is_hd) || address.empty()) return -1;
    std::string main, stem;
    WalletLock lock(kv_wallet_mutex(), std::try_to_lock);
    if (lock.owns_lock()) {
        main = kv_wallet().address;
        stem = wallet_file_stem();
    } else {
        const WalletView view = wallet_view();
        if (view.loaded) main = view.address;
        stem = stem_of_view(view);
    }
    const std::int64_t shown = displayed_balance().shown;
    if (shown >= 0 && address == main) return shown;
    return read_face(face_path_for_stem(stem), address);
}
