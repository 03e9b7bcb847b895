#include "art/window_reads.h"

#include "art/title_chain.h"
#include "chain/kept_listings.h"
#include "chain/tx.h"
#include "identity/wallet_status.h"
#include "ordinals/art_listing.h"
#include "ordinals/ord_listing.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/session.h"

#include <algorithm>
#include <set>
#include <utility>

namespace {

// Lower case, an origin cut to its transaction id: the form the windows key artworks by.
std::string artwork_key(const std::string& id) {
    std::string key = to_lower_copy(id);
    if (key.size() > 64 && key[64] == '_') key.resize(64);
    return key;
}

// An empty key never matches: with no wallet loaded, a frame whose buyer is missing must not read
// as this wallet's.
bool is_wallet_key(const std::string& key, const std::string& wallet_key) {
    return !wallet_key.empty() && to_lower_copy(key) == wallet_key;
}

// The addresses this wallet's own hangings, asks and offers name, where money can reach it at any
// time: a sale pays the hanging's payment address, an ask's artwork lands at its ordinals address,
// an offer's change goes back to the buyer.
std::vector<std::string> own_named_addresses(const std::vector<SpotFrame>& frames, const std::string& wallet_key) {
    std::vector<std::string> named;
    for (const SpotFrame& frame : frames) {
        if (is_wallet_key(frame.owner, wallet_key) && !frame.pay_addr.empty()) named.push_back(frame.pay_addr);
        for (const SpotAsk& ask : frame.asks)
            if (is_wallet_key(ask.buyer, wallet_key) && !ask.buyer_ord.empty()) named.push_back(ask.buyer_ord);
        for (const SpotFunded& offer : frame.funded) {
            std::vector<TxInput> inputs;
            std::vector<TxOutput> outputs;
            if (!is_wallet_key(offer.buyer, wallet_key) || !parse_raw_tx(from_hex(offer.offer), inputs, outputs))
                continue;
            for (const TxOutput& out : outputs) {
                Hash160 h{};
                if (p2pkh_script_hash160(out.script, h)) named.push_back(base58check_encode(h));
            }
        }
    }
    return named;
}

} // namespace

bool read_window_balance(std::int64_t& sats, bool* fresh) {
    WalletStatus status;
    refresh_wallet_status(status);
    sats = status.balance;
    if (fresh) *fresh = status.balance_fresh != 0;
    return status.balance_known && status.balance >= 0;
}

std::string read_art_rows(std::vector<KvCofferlyOrdRow>& rows, bool& index_read, bool* platform_read) {
    index_read = false;
    return list_art_rows(rows, &index_read, platform_read);
}

void read_gallery(std::vector<SpotLoad>& spots, std::set<std::string>& closed_sale_keys) {
    std::vector<SpotFrame> frames;
    load_all_spots(frames); // a frame that could not be read is simply empty; the list shows no error
    note_named_addresses(own_named_addresses(frames, to_lower_copy(current_identity_pubkey())));
    spots.clear();
    spots.reserve(frames.size());
    for (SpotFrame& frame : frames) {
        SpotLoad load;
        static_cast<SpotFrame&>(load) = std::move(frame);
        spots.push_back(std::move(load));
    }
    load_gallery_state(spots, closed_sale_keys);
}

void load_gallery_state(const std::vector<SpotLoad>& spots, std::set<std::string>& keys) {
    keys.clear();
    const std::string wallet_key = to_lower_copy(current_identity_pubkey());
    if (wallet_key.empty()) return;
    const auto is_this_wallet = [&wallet_key](const std::string& key) { return is_wallet_key(key, wallet_key); };
    for (const SpotLoad& frame : spots) {
        // A frame whose title is still being read closes no sale yet; reading the title whole here
        // would undo the gallery read's bound.
        if (frame.pic.empty() || frame.shown || !frame.funded.empty() || !frame.reading.empty()) continue;
        // The title step each acceptance of this wallet follows: only a title held after it came
        // through this sale. One held before the owner hung the artwork closed no sale here.
        std::set<std::string> heads;
        for (const SpotAccept& accept : frame.accepts)
            if (is_this_wallet(accept.buyer))
                heads.insert(to_lower_copy(json_text(json_parse_or_discarded(accept.title_json), "prev")));
        heads.erase("");
        const std::string art = artwork_key(frame.pic);
        if (heads.empty() || keys.count(art)) continue;
        std::vector<KvArtTitleRow> rows;
        if (!art_title_chain(art, rows).empty() || rows.empty()) continue;
        bool after_head = false, held = false;
        for (const KvArtTitleRow& row : rows) {
            held = held || (after_head && is_this_wallet(row.owner));
            after_head = after_head || heads.count(row.txid) > 0;
        }
        if (held && !is_this_wallet(rows.back().owner)) keys.insert(art);
    }
}
