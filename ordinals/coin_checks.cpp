#include "ordinals/coin_checks.h"

#include "chain/gorillapool.h"
#include "chain/inscription.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "ordinals/envelope.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_set>

using nlohmann::json;

namespace {

constexpr std::int32_t kTxoTimeoutS = 12;
// A spending transaction is searched this far for the output that carries the ordinal on.
constexpr std::uint32_t kLastTransferOutput = 16;
// The trail is followed this many moves; an ordinal passed on more often may have come back, so
// the answer past it is "cannot tell", never "gone".
constexpr int kMaxMoves = 8;
// Receive addresses are looked at this far past an account's counter, change addresses up to this
// index: coins sent to addresses handed out but not yet counted still belong to the wallet.
constexpr std::uint64_t kReceiveLookahead = 30;
constexpr std::uint32_t kLastChangeIndex = 20;
constexpr std::size_t kMaxIndexDigits = 10;
// The trails of one round are followed side by side; each holds no more than a small reply.
constexpr std::uint32_t kTrailThreads = 32;

// The only outpoint text that goes into a request path: the id and index can carry no "/", "?"
// or "..", whatever the index or a spending transaction's id held.
bool is_txo_outpoint_text(const std::string& text) {
    if (text.size() < 66 || text.size() > 65 + kMaxIndexDigits || text[64] != '_') return false;
    if (!is_txid_hex(text.substr(0, 64))) return false;
    return std::all_of(text.begin() + 65, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string txo_outpoint_text(const std::string& txid, std::uint32_t vout) {
    return to_lower_copy(txid) + "_" + std::to_string(vout);
}

// Every address of the loaded wallet that an ordinal may sit at. The caller holds the wallet mutex.
std::unordered_set<std::string> own_addresses() {
    const KvCofferlyWallet& w = kv_wallet();
    std::unordered_set<std::string> own;
    auto add = [&own](const std::string& address) {
        if (!address.empty()) own.insert(address);
    };
    add(w.identity_address);
    add(w.address);
    for (const LocalOrd& ord : w.ord_owned)
        add(ord.address);
    if (!w.is_hd || w.mnemonic.empty()) return own;

    std::string priv, pub, address;
    for (std::uint32_t account = 0; account < w.recv.size(); ++account) {
        const AccountAddresses receive = account_addresses(account, kReceiveLookahead);
        for (std::size_t i = 0; i < receive.count; ++i)
            add(receive[i]);
        for (std::uint32_t j = 0; j <= kLastChangeIndex; ++j) {
            if (derive_change_key(account, j, priv, pub, address)) add(address);
            wipe(priv);
        }
    }
    return own;
}

// The output of the spending transaction whose origin is `origin`; false when none of the first
// outputs carries it or none can be read.
bool find_transfer(const std::string& spend_txid, const std::string& origin, std::string& next) {
    for (std::uint32_t n = 0; n <= kLastTransferOutput; ++n) {
        const std::string candidate = txo_outpoint_text(spend_txid, n);
        json txo;
        if (!gp_txo_get(candidate, txo)) continue;
        if (to_lower_copy(txo_outpoint(txo)) == origin) {
            next = candidate;
            return true;
        }
    }
    return false;
}

// The sealed tag in the script of output `vout` of the transaction, opened; "" when any step fails.
std::string chain_art_tag(const std::string& txid, std::uint32_t vout) {
    json tx;
    if (!woc_tx_json(txid, tx)) return std::string();
    auto outs = tx.find("vout");
    if (outs == tx.end() || !outs->is_array() || vout >= outs->size()) return std::string();
    const json& out = (*outs)[vout];
    if (!out.is_object()) return std::string();
    auto spk = out.find("scriptPubKey");
    if (spk == out.end() || !spk->is_object()) return std::string();
    const std::string hex = json_text(*spk, "hex");
    if (hex.empty()) return std::string();
    return open_art_tag(art_tag_from_script(from_hex(hex)));
}

// Follows the ordinal from `start` to its present output: 1 when an address in `own` holds it or
// the trail cannot be followed, 0 for a foreign or missing owner.
int trail_ends_at_own(const std::string& start, const std::unordered_set<std::string>& own) {
    std::string current = start;
    int moves = 0;
    for (;;) {
        json txo;
        // An index that cannot be asked must not make an artwork vanish from view.
        if (!gp_txo_get(current, txo)) return 1;
        const std::string spend = json_text(txo, "spend");
        if (is_txid_hex(spend)) {
            std::string next;
            if (!find_transfer(spend, start, next)) return 1;
            if (++moves >= kMaxMoves) return 1;
            current = next;
            continue;
        }
        const std::string owner = json_text(txo, "owner");
        return !owner.empty() && own.count(owner) ? 1 : 0;
    }
}

} // namespace

bool gp_txo_get(const std::string& outpoint, json& txo) {
    txo = nullptr;
    if (!is_txo_outpoint_text(outpoint)) return false;
    std::string body, error;
    if (!http_get(service_settings().gorillapool_base + "/txos/" + outpoint, body, error, kTxoTimeoutS, false))
        return false;
    json parsed = json_parse_or_discarded(body);
    if (!parsed.is_object()) return false;
    txo = std::move(parsed);
    return true;
}

int gp_coin_still_ours(const std::string& key) {
    return gp_coins_still_ours({key}).front();
}

std::vector<int> gp_coins_still_ours(const std::vector<std::string>& keys) {
    std::vector<int> answers(keys.size(), 0);
    std::vector<std::string> starts(keys.size());
    bool any = false;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string txid;
        std::uint32_t vout = 0;
        if (!parse_ord_outpoint(keys[i], txid, vout)) continue;
        starts[i] = txo_outpoint_text(txid, vout);
        any = true;
    }
    if (!any) return answers;
    std::unordered_set<std::string> own;
    {
        WalletLock lock = lock_wallet();
        if (!load_wallet()) return answers;
        own = own_addresses();
    }
    parallel_for(keys.size(), kTrailThreads, [&](std::uint64_t i) {
        if (!starts[i].empty()) answers[i] = trail_ends_at_own(starts[i], own);
    });
    return answers;
}

std::string art_tag_of_outpoint(const std::string& key) {
    std::string tag = load_art_tag(key);
    if (!tag.empty()) return tag;
    std::string txid;
    std::uint32_t vout = 0;
    if (!parse_ord_outpoint(key, txid, vout)) return std::string();

    json txo;
    if (gp_txo_get(txo_outpoint_text(txid, vout), txo)) {
        const std::string kind = txo_art_kind(txo);
        if (kind == "Artwork" || kind == "Certificate") {
            save_art_tag(key, kind);
            return kind;
        }
    }

    tag = chain_art_tag(to_lower_copy(txid), vout);
    if (!tag.empty()) save_art_tag(key, tag);
    return tag;
}
