#include "art/last_sale.h"

#include "art/art_records.h"
#include "art/gallery_frames.h"
#include "art/gallery_sale.h"
#include "art/ownership.h"
#include "identity/typed_message.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"

#include <future>
#include <map>
#include <system_error>

using json = nlohmann::json;

namespace {

constexpr const char* kCrLf = "\r\n";

// The newest sale found so far: the title step it made and where it was accepted.
struct KeptSale {
    std::int64_t step = -1;
    std::int64_t price = 0;
    std::int32_t spot = 0;
    std::int64_t time = 0;
};

// An acceptance of this artwork that can name a sale: a buyer, the title head it was accepted
// against, a price and a signer.
bool is_acceptance_of(const json& msg, const std::string& artwork_key) {
    if (json_text(msg, "type") != "art_gaccept") return false;
    if (norm_txid(json_text(msg, "pic")) != artwork_key) return false;
    if (to_lower_copy(json_text(msg, "buyer")).empty()) return false;
    if (json_text(msg, "prev").size() != 64) return false;
    if (json_price_sats(msg) < 1) return false;
    return !json_identity_pubkey(msg).empty();
}

// The transactions of the title steps, each fetched once per call.
struct StepTxs {
    std::map<std::string, json> read;
    bool all_read = true;
};

bool output_pays(const json& out, const char* address, std::int64_t sats) {
    return vout_value_sats(out) == sats && (address == nullptr || vout_address(out) == address);
}

// Whether the transaction is laid out as the gallery's completed sale at this price: both coins,
// the sale fee, the price less the fee, the title watch hook, and the accepted title record, then
// at most the buyer's change. A plain pass carries the same title record without the payments.
bool is_paid_sale(const json& tx, std::int64_t price, const std::string& title_sha) {
    const auto vout = tx.is_object() ? tx.find("vout") : tx.end();
    if (!tx.is_object() || vout == tx.end() || !vout->is_array()) return false;
    const json& outs = *vout;
    const std::int64_t split = gallery_sale_split(price);
    std::size_t i = 0;
    const auto next = [&](const char* address, std::int64_t sats) {
        return i < outs.size() && output_pays(outs[i++], address, sats);
    };
    if (!next(nullptr, 1) || !next(nullptr, 1)) return false;
    if (split > 0 && !next(kGallerySaleFeeAddress, split)) return false;
    if (!next(nullptr, price - split) || !next(kTitleWatchAddress, 1)) return false;
    if (i + 1 != outs.size() && i + 2 != outs.size()) return false;
    const json& carrier = outs[i];
    Bytes record;
    const auto script = carrier.is_object() ? carrier.find("scriptPubKey") : carrier.end();
    if (!carrier.is_object() || script == carrier.end() || !script->is_object() ||
        !op_return_first_push(json_text(*script, "hex"), record))
        return false;
    return sha256_hex(record) == to_lower_copy(title_sha);
}

// Every title step that handed the title to the acceptance's buyer from the head it named, in the
// completed sale that paid the accepted price.
void match_title_steps(const WatchRecord& record, std::int32_t spot, const std::vector<KvArtTitleRow>& rows,
                       StepTxs& txs, KeptSale& kept) {
    const std::string buyer = to_lower_copy(json_text(record.msg, "buyer"));
    const std::string prev = to_lower_copy(json_text(record.msg, "prev"));
    const std::string signer = json_identity_pubkey(record.msg);
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const KvArtTitleRow& row = rows[k];
        if (row.type != "art_owner" || row.owner != buyer || to_lower_copy(rows[k - 1].txid) != prev) continue;
        // Only the seller accepts an ask: an acceptance signed by anyone else, the buyer included,
        // would otherwise restate the price of a real sale.
        if (signer != rows[k - 1].owner) continue;
        // The seller signs whatever price the acceptance says, also after a pass that sold nothing:
        // only the step's own transaction shows what was paid.
        auto tx = txs.read.find(row.txid);
        if (tx == txs.read.end()) {
            json fetched;
            if (!fetch_tx_json(row.txid, fetched)) {
                txs.all_read = false;
                continue;
            }
            tx = txs.read.emplace(row.txid, std::move(fetched)).first;
        }
        if (!is_paid_sale(tx->second, json_price_sats(record.msg), json_text(record.msg, "title_sha"))) continue;
        const std::int64_t step = static_cast<std::int64_t>(k);
        if (step < kept.step || (step == kept.step && record.ts < kept.time)) continue;
        kept.step = step;
        kept.price = json_price_sats(record.msg);
        kept.spot = spot;
        kept.time = row.ts >= 1 ? row.ts : record.ts;
    }
}

// All frames are read at once, their histories from one bulk request; a thread that cannot be
// started reads its frame when awaited.
std::future<SpotActs> start_scan(std::int32_t spot, FrameHistories* shared) {
    try {
        return std::async(std::launch::async, spot_acts_scan, spot, shared);
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, spot_acts_scan, spot, shared);
    }
}

} // namespace

SpotActs spot_acts_scan(std::int32_t spot, FrameHistories* shared) {
    const SpotRow& row = spot_row(spot);
    SpotActs acts;
    acts.spot = row.spot;
    std::string ignored;
    acts.ok = read_gallery_watch(row.label, row.watch, acts.acts, ignored, false, shared);
    return acts;
}

std::int64_t json_price_sats(const json& msg) {
    return msg_field_int(msg, "price_sats");
}

std::string last_sale_unread_text() {
    return "The last sale did not load. " + try_again_text();
}

std::string last_sale_block(const std::string& artwork_id, const std::vector<KvArtTitleRow>& rows) {
    if (rows.size() < 2) return std::string("No sale yet.") + kCrLf;
    const std::string artwork_key = norm_txid(artwork_id);

    FrameHistories histories;
    std::vector<std::future<SpotActs>> scans;
    for (std::int32_t spot = 1; spot <= kSpotCount; ++spot)
        scans.push_back(start_scan(spot, &histories));

    // Every frame is awaited, and a newer sale may sit in any frame that was not read whole.
    bool all_read = true;
    std::vector<SpotActs> frames;
    for (std::future<SpotActs>& scan : scans) {
        frames.push_back(scan.get());
        all_read = all_read && frames.back().ok;
    }
    if (!all_read) return last_sale_unread_text() + kCrLf;
    KeptSale kept;
    StepTxs txs;
    for (const SpotActs& acts : frames) {
        for (const WatchRecord& record : acts.acts) {
            if (is_acceptance_of(record.msg, artwork_key)) match_title_steps(record, acts.spot, rows, txs, kept);
        }
    }

    if (!txs.all_read) return last_sale_unread_text() + kCrLf;
    if (kept.step < 1) return std::string("No sale yet.") + kCrLf;
    const std::size_t k = static_cast<std::size_t>(kept.step);
    std::string text = std::to_string(kept.price) + " sats" + kCrLf;
    text += "From " + paymail_display_label(rows[k - 1].owner) + kCrLf;
    text += "To " + paymail_display_label(rows[k].owner) + kCrLf;
    text += "Frame AP" + std::to_string(kept.spot) + kCrLf;
    const std::string date = format_utc_date(kept.time);
    if (!date.empty()) text += date + kCrLf;
    return text;
}
