#include "shell/gallery_state.h"

#include "chain/outpoints.h"
#include "shell/art_list.h"
#include "shell/step_holds.h"
#include "shell/text_helpers.h"
#include "wallet/session.h"

#include <algorithm>

std::vector<SpotLoad> gallery_spots;
std::set<std::string> closed_sale_keys;
std::vector<GalleryBuyRow> gallery_buy_rows;
std::set<std::string> paid_hangings;
std::string paying_hanging;

namespace {

std::string lower_ascii(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// An empty key never matches: with no wallet loaded, a frame whose owner or buyer is missing
// must not read as this wallet's.
bool is_this_wallet(const std::string& key, const std::string& wallet_key) {
    return !wallet_key.empty() && lower_ascii(key) == wallet_key;
}

template <typename Entry> bool has_buyer(const std::vector<Entry>& entries, const std::string& wallet_key) {
    return std::any_of(entries.begin(), entries.end(),
                       [&wallet_key](const Entry& entry) { return is_this_wallet(entry.buyer, wallet_key); });
}

bool wallet_holds_artwork(const std::string& art_id) {
    const std::string target = normalize_outpoint_key(art_id);
    return std::any_of(art_rows.begin(), art_rows.end(), [&target](const KvCofferlyOrdRow& row) {
        return row_is_artwork(row) && normalize_outpoint_key(row.key) == target;
    });
}

// Anyone can post a funded offer to a frame; only an accepted buyer's offer is a sale in progress.
bool offer_counts(const SpotFrame& spot, const SpotFunded& funded) {
    return !funded.buyer.empty() && has_buyer(spot.accepts, lower_ascii(funded.buyer));
}

} // namespace

bool frame_has_counted_offer(const SpotFrame& spot) {
    return std::any_of(spot.funded.begin(), spot.funded.end(),
                       [&spot](const SpotFunded& funded) { return offer_counts(spot, funded); });
}

bool buyer_has_counted_offer(const SpotFrame& spot, const std::string& buyer_key) {
    return std::any_of(spot.funded.begin(), spot.funded.end(), [&spot, &buyer_key](const SpotFunded& funded) {
        return is_this_wallet(funded.buyer, buyer_key) && offer_counts(spot, funded);
    });
}

const SpotFunded* latest_counted_offer(const SpotFrame& spot) {
    for (auto it = spot.funded.rbegin(); it != spot.funded.rend(); ++it)
        if (offer_counts(spot, *it)) return &*it;
    return nullptr;
}

std::string party_text(const std::string& name, const std::string& key) {
    const std::string shortened =
        key.size() > 16 ? key.substr(0, 8) + "\xE2\x80\xA6" + key.substr(key.size() - 4) : key;
    const std::string alias = wide_to_utf8(paymail_alias_text(name));
    return alias.empty() || alias == shortened ? shortened : alias + " (" + shortened + ")";
}

std::string ask_name_of(const SpotFrame& spot, const std::string& buyer_key) {
    std::string name;
    for (const SpotAsk& ask : spot.asks)
        if (lower_ascii(ask.buyer) == lower_ascii(buyer_key)) name = ask.handle;
    return name;
}

std::string this_wallet_key() {
    return lower_ascii(current_identity_pubkey());
}

std::vector<GalleryBuyRow> build_gallery_buy_rows(const std::vector<SpotLoad>& spots,
                                                  const std::set<std::string>& closed, const std::string& wallet_key) {
    std::vector<GalleryBuyRow> rows;
    if (wallet_key.empty()) return rows;
    for (const SpotLoad& frame : spots) {
        if (frame.pic.empty() || is_this_wallet(frame.owner, wallet_key)) continue;
        if (!has_buyer(frame.asks, wallet_key) && !has_buyer(frame.accepts, wallet_key)) continue;
        if (wallet_holds_artwork(frame.pic)) continue;
        if (!frame.shown && frame.funded.empty() && closed.count(normalize_outpoint_key(frame.pic))) continue;
        GalleryBuyRow row;
        row.spot = frame.spot;
        row.pic = frame.pic;
        row.title = frame.title.empty() ? frame.pic : frame.title;
        row.handle = frame.handle;
        row.price = frame.price;
        row.status = sale_status_label(&frame, frame.pic, wallet_key);
        rows.push_back(std::move(row));
    }
    return rows;
}

bool hanging_paid_here(const std::string& show_txid) {
    return !show_txid.empty() && (paid_hangings.count(show_txid) != 0 || paying_hanging == show_txid);
}

std::string gallery_reading_text(const std::vector<SpotLoad>& spots) {
    for (const SpotLoad& frame : spots)
        if (!frame.reading.empty()) return "Frame " + std::to_string(frame.spot) + ": " + frame.reading;
    return "";
}

void rebuild_gallery_buy_rows() {
    gallery_buy_rows = build_gallery_buy_rows(gallery_spots, closed_sale_keys, this_wallet_key());
}

std::wstring sale_status_label(const SpotFrame* spot, const std::string& art_id) {
    return sale_status_label(spot, art_id, this_wallet_key());
}

std::wstring sale_status_label(const SpotFrame* spot, const std::string& art_id, const std::string& wallet_key) {
    if (!spot || spot->pic.empty()) return L"";
    const bool owner = is_this_wallet(spot->owner, wallet_key);
    const bool accepted = has_buyer(spot->accepts, wallet_key);
    const bool asked = has_buyer(spot->asks, wallet_key);
    // A hanging whose title is still being read stands as its frame's records show it.
    const bool on_wall = spot->shown || !spot->reading.empty();
    if (owner) {
        if (frame_has_counted_offer(*spot)) return L"Ready to complete";
        if (!on_wall) return L"";
        if (!spot->accepts.empty()) return L"Offer accepted";
        if (!spot->asks.empty()) return L"Offer made";
        return spot->price >= 1 ? L"For sale" : L"On display";
    }
    // Another buyer's payment, or a stranger's, is not this wallet's: it may still pay.
    if (accepted && !spot->show_txid.empty() && paying_hanging == spot->show_txid) return L"Paying...";
    const bool paid = buyer_has_counted_offer(*spot, wallet_key) || hanging_paid_here(spot->show_txid);
    std::string why;
    const bool held = accepted && window_step_held("pay", spot->pic, why);
    if (accepted && (paid || held)) return held ? L"Pay pending" : L"Paid";
    if (wallet_holds_artwork(art_id)) return L"";
    if (!on_wall || spot->hidden) return accepted ? L"Taken down" : L"";
    if (accepted) return L"Offer accepted";
    if (asked) return L"Offer sent";
    return spot->price >= 1 ? L"For sale" : L"On display";
}

const SpotLoad* find_spot_for_art(const std::string& art_id) {
    const std::string target = normalize_outpoint_key(art_id);
    if (target.empty()) return nullptr;
    // A frame the artwork was taken down from keeps its exhibit; the owner may have hung it again
    // in another frame, and only the hanging on the wall takes asks and sales.
    for (const SpotLoad& frame : gallery_spots)
        if (frame.shown && normalize_outpoint_key(frame.pic) == target) return &frame;
    return nullptr;
}

std::wstring paymail_alias_text(const std::string& paymail) {
    return utf8_to_wide(paymail.substr(0, paymail.find('@')));
}
