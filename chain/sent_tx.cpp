#include "chain/sent_tx.h"

#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/step_wallet.h"
#include "chain/unsettled_inputs.h"
#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>

using nlohmann::json;

namespace {

bool hash_of_address_is(const std::string& address, const Hash160& h) {
    Hash160 decoded{};
    return !address.empty() && address_to_hash160(address, decoded) && decoded == h;
}

// Walks the account-1 receive chain up to its counter; the caller holds the wallet mutex.
std::string hd_receive_address_for(const Hash160& h) {
    const KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd || w.mnemonic.empty()) return std::string();
    const std::string wanted = base58check_encode(h);
    const AccountAddresses receive = account_addresses(kReceiveAccount);
    for (std::size_t i = 0; i < receive.count; ++i)
        if (receive[i] == wanted) return wanted;
    return std::string();
}

// The keys of the wallet address that h names. A coin is kept only with the key that can spend
// it: falling back to another key would leave a coin that no signature unlocks.
bool change_keys_for(const Hash160& h, std::string& priv_hex, std::string& pub_hex) {
    Hash160 decoded{};
    if (!is_my_address(base58check_encode(h), priv_hex, pub_hex, decoded) || priv_hex.empty() || pub_hex.empty()) {
        wipe(priv_hex);
        pub_hex.clear();
        return false;
    }
    return true;
}

// The change of a transaction whose step began in a wallet no longer loaded, added to that
// wallet's change file: only outputs that pay the change or an input's key are known to be its
// own without its keys, which are looked up again when it loads. A change file that does not read
// is left as it is; the listing finds the coins then.
void keep_change_of_other_wallet(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                                 const std::string& txid, const Hash160* change_hash160) {
    const std::string stem = step_wallet_stem();
    if (!is_txid_hex(txid) || stem.empty() || stem == "wallet") return;
    const std::string dir = kestrava_data_dir() + "/ord_snap";
    const std::string path = dir + "/" + stem + "_change.json";
    json doc = json::object();
    std::string text;
    if (platform_file_exists(path)) {
        if (!platform_read_file(path, text)) return;
        doc = json_parse_or_discarded(text);
        const auto coins = doc.is_object() ? doc.find("coins") : doc.end();
        if (coins == doc.end() || !coins->is_array()) return;
    }
    json& coins = doc["coins"];
    if (!coins.is_array()) coins = json::array();
    const std::string id = to_lower_copy(txid);
    for (std::size_t i = 0; i < outputs.size() && i <= std::numeric_limits<std::uint32_t>::max(); ++i) {
        const TxOutput& out = outputs[i];
        Hash160 h{};
        if (out.sats < 1 || out.sats > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            !p2pkh_script_hash160(out.script, h))
            continue;
        const bool own = (change_hash160 && *change_hash160 == h) ||
                         std::any_of(inputs.begin(), inputs.end(), [&](const TxInput& in) { return in.hash160 == h; });
        const bool kept = std::any_of(coins.begin(), coins.end(), [&](const json& coin) {
            return coin.is_object() && coin.value("txid", json()) == id && coin.value("vout", json()) == i;
        });
        if (own && !kept)
            coins.push_back({{"txid", id}, {"vout", i}, {"sats", out.sats}, {"addr", base58check_encode(h)}});
    }
    try {
        text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return;
    }
    platform_make_dirs(dir);
    write_data_file(path, text, false);
}

} // namespace

std::string& last_sent_txid() {
    static std::string txid;
    return txid;
}

std::string& last_success_txid() {
    static std::string txid;
    return txid;
}

void record_sent_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs, const std::string& txid,
                    const Hash160* change_hash160) {
    WalletLock lock = lock_wallet();
    if (!step_wallet_loaded()) {
        keep_change_of_other_wallet(inputs, outputs, txid, change_hash160);
        return;
    }
    load_change_coins();
    // Sent with the wallet free, its row and marks were written before it went out.
    const bool unsettled_before = is_txid_hex(txid) && inputs_unsettled(txid) &&
                                  std::all_of(inputs.begin(), inputs.end(),
                                              [](const TxInput& in) { return is_outpoint_spent(in.txid, in.vout); });
    if (is_txid_hex(txid)) {
        last_sent_txid() = txid;
        // Its inputs stay spent until the services show it went out, and come back when none knows
        // it while they stand unspent: the network dropped or refused it.
        add_unsettled(unsettled_row_of(txid, inputs));
        note_unsettled_changed();
    }
    if (!unsettled_before) mark_inputs_spent(inputs);
    drop_spent_cached_utxos();

    std::vector<ChangeCoin>& coins = change_coins();
    for (ChangeCoin& coin : coins) {
        if (is_outpoint_spent(coin.txid, coin.vout)) wipe(coin.priv_hex);
    }
    coins.erase(std::remove_if(coins.begin(), coins.end(),
                               [](const ChangeCoin& c) { return is_outpoint_spent(c.txid, c.vout); }),
                coins.end());

    for (std::size_t i = 0; i < outputs.size() && i <= std::numeric_limits<std::uint32_t>::max(); ++i) {
        const TxOutput& out = outputs[i];
        const auto vout = static_cast<std::uint32_t>(i);
        if (out.sats < 1 || out.sats > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) continue;
        Hash160 h{};
        if (!p2pkh_script_hash160(out.script, h)) continue;
        if (!is_own_hash160(h, inputs, change_hash160)) continue;
        if (std::any_of(coins.begin(), coins.end(),
                        [&](const ChangeCoin& c) { return outpoint_equal(c.txid, c.vout, txid, vout); }))
            continue;
        ChangeCoin coin;
        if (!change_keys_for(h, coin.priv_hex, coin.pub_hex)) continue;
        coin.txid = txid;
        coin.vout = vout;
        coin.sats = static_cast<std::int64_t>(out.sats);
        coin.height = 0;
        coin.hash160 = h;
        coins.push_back(std::move(coin));

        Utxo utxo;
        utxo.txid = txid;
        utxo.vout = vout;
        utxo.sats = static_cast<std::int64_t>(out.sats);
        utxo.height = 0;
        cache_add_utxo(address_for_hash160(h), utxo);
    }
    save_change_coins();
}

bool is_own_hash160(const Hash160& h, const std::vector<TxInput>& inputs, const Hash160* change_hash160) {
    if (change_hash160 && *change_hash160 == h) return true;
    if (std::any_of(inputs.begin(), inputs.end(), [&](const TxInput& in) { return in.hash160 == h; })) return true;
    WalletLock lock = lock_wallet();
    const KvCofferlyWallet& w = kv_wallet();
    if (hash_of_address_is(w.address, h)) return true;
    if (!w.is_hd) return false;
    if (!hd_receive_address_for(h).empty()) return true;
    return hash_of_address_is(w.identity_address, h);
}

std::string address_for_hash160(const Hash160& h) {
    WalletLock lock = lock_wallet();
    const KvCofferlyWallet& w = kv_wallet();
    if (hash_of_address_is(w.address, h)) return w.address;
    if (w.is_hd) {
        std::string address = hd_receive_address_for(h);
        if (!address.empty()) return address;
        if (hash_of_address_is(w.identity_address, h)) return w.identity_address;
    }
    for (const AddressCoins& entry : address_coins()) {
        if (hash_of_address_is(entry.address, h)) return entry.address;
    }
    return std::string();
}

void cache_add_utxo(const std::string& address, const Utxo& coin) {
    if (address.empty() || !is_txid_hex(coin.txid)) return;
    WalletLock lock = lock_wallet();
    const std::int64_t now_ns = clock_steady_ns();
    AddressCoins* entry = find_address_coins(address);
    if (entry == nullptr) {
        AddressCoins& fresh = address_coins_entry(address);
        fresh.utxos.push_back(coin);
        fresh.stamp = now_ns;
        fresh.loaded = true;
        return;
    }
    const bool held = std::any_of(entry->utxos.begin(), entry->utxos.end(),
                                  [&](const Utxo& u) { return outpoint_equal(u.txid, u.vout, coin.txid, coin.vout); });
    if (!held) entry->utxos.push_back(coin);
    entry->stamp = now_ns;
    entry->loaded = true;
}

void drop_spent_cached_utxos() {
    WalletLock lock = lock_wallet();
    for (AddressCoins& entry : address_coins()) {
        std::vector<Utxo>& list = entry.utxos;
        list.erase(
            std::remove_if(list.begin(), list.end(), [](const Utxo& u) { return is_outpoint_spent(u.txid, u.vout); }),
            list.end());
    }
}
