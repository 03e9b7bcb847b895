#include "art/gallery_frames.h"

#include "art/art_pass.h"
#include "art/gallery_rules.h"
#include "art/gallery_sale.h"
#include "art/gallery_watch.h"
#include "art/never_counting.h"
#include "art/offer_tx.h"
#include "art/ownership.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"
#include "chain/outpoints.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "ordinals/content_load.h"
#include "wallet/bounded_cache.h"
#include "wallet/clock.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

namespace {

std::mutex g_cache_mutex;

// The platform's names of the askers' keys as last looked up: the gallery is read at every
// Refresh, and would otherwise ask again for the same few names each time.
constexpr std::int64_t kAskNameReuseMs = 60000;
constexpr std::size_t kAskNamesKept = 256;
struct KeptName {
    std::string name;
    std::int64_t read_ms = 0;
};
BoundedCache<KeptName> g_ask_names(kAskNamesKept);

std::string ask_name(const std::string& key) {
    const std::string kept_key = service_key(key);
    {
        std::lock_guard<std::mutex> lock(g_cache_mutex);
        const KeptName* kept = g_ask_names.find(kept_key);
        const std::int64_t age = kept ? clock_steady_ms() - kept->read_ms : -1;
        if (age >= 0 && age < kAskNameReuseMs) return kept->name;
    }
    std::string name = paymail_display_label(key);
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    g_ask_names.put(kept_key, KeptName{name, clock_steady_ms()});
    return name;
}

bool exhibit_keepable(const SpotFrame& e, std::int64_t now) {
    return e.shown && (e.exp <= 0 || e.exp > now) && e.pic.size() == 64 && e.cert.size() == 64 &&
           e.sha256.size() == 64 && !e.owner.empty();
}

} // namespace

const SpotRow& spot_row(std::int32_t spot) {
    if (spot < 1 || spot > kSpotCount) return kSpotRows[0];
    return kSpotRows[spot - 1];
}

std::string spot_label(std::int32_t spot) {
    return "as" + std::to_string(spot);
}

void spot_exhibit_init(SpotFrame& frame) {
    std::vector<SpotAsk> asks = std::move(frame.asks);
    std::vector<SpotAccept> accepts = std::move(frame.accepts);
    std::vector<SpotFunded> funded = std::move(frame.funded);
    frame = SpotFrame{};
    frame.asks = std::move(asks);
    frame.accepts = std::move(accepts);
    frame.funded = std::move(funded);
}

std::string spot_origin_key(const std::string& origin, std::string& outpoint) {
    std::string key = to_lower_copy(origin);
    if (key.find('_') == 64) {
        if (outpoint.empty()) outpoint = key;
        key.resize(64);
    }
    return key;
}

std::int64_t spot_price(const nlohmann::json& record) {
    const std::string text = json_text(record, "price");
    std::int64_t price = -1;
    if (text.empty() || text == "-" || !parse_leading_i64(text, price)) return -1;
    return price;
}

std::int64_t gallery_json_int(const nlohmann::json& obj, const std::string& key) {
    if (!obj.is_object()) return 0;
    const auto it = obj.find(key);
    if (it == obj.end()) return 0;
    if (it->is_number_unsigned()) {
        // A count above the signed range would wrap negative; it is no readable value.
        const auto value = it->get<std::uint64_t>();
        return value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? 0
                   : static_cast<std::int64_t>(value);
    }
    if (it->is_number_integer()) return it->get<std::int64_t>();
    std::int64_t value = 0;
    if (it->is_string() && parse_leading_i64(it->get_ref<const std::string&>(), value)) return value;
    return 0;
}

SpotLoad parse_art_show(const WatchRecord& record, std::int32_t spot) {
    const nlohmann::json& msg = record.msg;
    SpotLoad show;
    show.shown = true;
    show.spot = spot;
    show.show_txid = record.txid;
    show.pic_utxo = to_lower_copy(json_text(msg, "pic_utxo"));
    show.cert_utxo = to_lower_copy(json_text(msg, "cert_utxo"));
    show.pic = spot_origin_key(json_text(msg, "pic"), show.pic_utxo);
    show.cert = spot_origin_key(json_text(msg, "cert"), show.cert_utxo);
    show.sha256 = to_lower_copy(json_text(msg, "sha256"));
    show.owner = json_identity_pubkey(msg);
    show.handle = json_text(msg, "handle");
    show.pay_addr = json_text(msg, "pay_addr");
    show.price = spot_price(msg);
    show.exp = gallery_json_int(msg, "exp");
    show.ts = record.ts;
    return show;
}

SaleTerms frame_sale_terms(const SpotFrame& frame, const SpotAccept& accept) {
    SaleTerms terms;
    terms.pic_coin = frame.pic_utxo;
    terms.cert_coin = frame.cert_utxo;
    terms.price = frame.price;
    terms.split = gallery_sale_split(frame.price);
    terms.pay_address = frame.pay_addr;
    terms.fee_address = kGallerySaleFeeAddress;
    terms.title_watch = kTitleWatchAddress;
    for (const SpotAsk& ask : frame.asks) {
        if (ask.buyer == accept.buyer) terms.buyer_ord = ask.buyer_ord;
    }
    terms.title_json = accept.title_json;
    return terms;
}

namespace {

// A certificate's content from its transaction when the gallery read already holds it (kept in
// the store of transactions), cached as the content loader caches what it reads.
bool kept_certificate(const std::string& cert, std::string& content_type, Bytes& content) {
    nlohmann::json tx;
    if (!is_txid_hex(cert) || !tx_store_find(service_settings().woc_base, cert, tx) || !woc_tx_usable(tx)) return false;
    const nlohmann::json out = tx["vout"].empty() ? nlohmann::json() : tx["vout"][0];
    if (!out.is_object() || !out.contains("scriptPubKey") || !out["scriptPubKey"].is_object()) return false;
    const nlohmann::json& script = out["scriptPubKey"];
    std::string type, name;
    Bytes body;
    if (!parse_inscription_from_script(from_hex(json_text(script, "hex")), type, body, name)) return false;
    ord_cache_store(cert, type, body, name, content_type, content);
    return true;
}

} // namespace

void load_certificate_fields(SpotFrame& exhibit) {
    std::string content_type;
    Bytes content;
    if (!load_inscription_content(exhibit.cert, content_type, content, false, false) &&
        !kept_certificate(exhibit.cert, content_type, content) &&
        !load_inscription_content(exhibit.cert, content_type, content, true, false))
        return;
    if (content.empty()) return;
    const nlohmann::json cert = json_parse_or_discarded(std::string(content.begin(), content.end()));
    if (!cert.is_object()) return;
    exhibit.title = json_text(cert, "title");
    exhibit.artist_name = json_text(cert, "artist_name");
    exhibit.created = json_text(cert, "created");
    exhibit.note = json_text(cert, "note");
    exhibit.owner_paymail = json_text(cert, "owner_paymail");
}

namespace {

bool is_hanging(const WatchRecord& record, const SpotRow& row) {
    return json_text(record.msg, "type") == "art_show" && to_lower_copy(json_text(record.msg, "spot")) == row.label;
}

// The hanging a step acts on among a frame's records: its place (records.size() when the step acts
// on none of this frame's) and its artwork.
struct ActedOn {
    std::size_t at = 0;
    std::string pic;
};

ActedOn acted_on_in(const std::vector<WatchRecord>& records, const SpotRow& row, const std::string& txid) {
    ActedOn acted;
    acted.at = records.size();
    for (std::size_t i = 0; !txid.empty() && i < records.size(); ++i) {
        if (records[i].txid != txid || !is_hanging(records[i], row)) continue;
        acted.at = i;
        acted.pic = parse_art_show(records[i], row.spot).pic;
    }
    return acted;
}

// Whether the step's read leaves hanging `i` (`show`) unread: it stands after the hanging the step
// acts on and hangs another artwork, one no read has found paired, so only the registry watches
// could tell whether it counts, and a stranger's junk would have the step pay for reading them.
// A hanging of the same artwork (its owner's at a new price) and one of an artwork whose pair is
// known are judged as ever: either may take the frame over.
bool step_leaves_unread(const ActedOn& acted, std::size_t i, const SpotFrame& show) {
    return i > acted.at && show.pic != acted.pic && !title_pair_known(show.pic);
}

// The newest hanging of the frame that names an owner and an artwork: the one whose coins a
// gallery read asks about first.
const WatchRecord* newest_hanging(const std::vector<WatchRecord>& records, const SpotRow& row, const ActedOn& acted) {
    for (std::size_t i = records.size(); i-- > 0;) {
        if (!is_hanging(records[i], row)) continue;
        const SpotLoad show = parse_art_show(records[i], row.spot);
        if (!show.owner.empty() && !show.pic.empty() && !never_counting_known(records[i].txid) &&
            !step_leaves_unread(acted, i, show))
            return &records[i];
    }
    return nullptr;
}

// A frame whose hanging's title the read's bound left unread: the hanging and the sale records
// after it as the frame's own watch shows them, not shown, so that the windows can offer the step
// those records allow; the step reads the title whole before anything moves.
SpotLoad title_unread_frame(const SpotRow& row, const std::vector<WatchRecord>& records, std::size_t hung,
                            SpotLoad show) {
    SpotLoad result;
    static_cast<SpotFrame&>(result) = std::move(static_cast<SpotFrame&>(show));
    result.spot = row.spot;
    result.shown = false;
    result.reading = kFrameTitleReading;
    result.error = "frame " + std::string(row.label) + ": " + kFrameTitleReading;
    const std::size_t taken_down = owner_take_down(records, hung, row, result);
    result.hidden = taken_down < records.size();
    load_certificate_fields(result);
    collect_sale_records(records, hung, taken_down, result);
    return result;
}

// Replays a frame's records read whole into the frame (load_spot after its read).
SpotLoad judge_spot(const SpotRow& row, std::int64_t now, bool reuse_recent, const std::vector<WatchRecord>& records,
                    const KnownSpends* spends, const std::set<std::string>* unknown_txs, const ActedOn& acted) {
    SpotLoad result;
    result.spot = row.spot;
    // The newest hanging whose signer holds the title and its coins is the exhibit; any other
    // hanging neither shows nor hides one, whatever it claims.
    SpotFrame exhibit;
    std::size_t shown = records.size();
    std::map<std::string, ExhibitTitle> titles;
    std::set<std::string> unknown = unknown_txs ? *unknown_txs : std::set<std::string>();
    KnownSpends known_spends = spends ? *spends : KnownSpends();
    int hangings = 0;
    // The newest hanging whose title the read's bound left unread, and what the hangings before it
    // read with: a request share of their own, so that the last hanging that counts still shows
    // when a stranger's newer one took the gallery read's budget.
    std::size_t unread = records.size();
    SpotLoad unread_show;
    std::unique_ptr<WatchListingsScope> older_scope;
    std::unique_ptr<WatchListingsUse> older_use;
    bool left_unread = false;
    for (std::size_t i = records.size(); i-- > 0;) {
        const WatchRecord& record = records[i];
        if (!is_hanging(record, row)) continue;
        SpotLoad show = parse_art_show(record, row.spot);
        if (show.owner.empty() || show.pic.empty() || never_counting_known(record.txid)) continue;
        if (step_leaves_unread(acted, i, show)) {
            left_unread = true;
            continue;
        }
        // An artwork the service says it does not know has no coin a hanging could name. The read
        // ahead asked about the newest hanging's; the earlier ones are asked about together.
        if (unknown_txs && ++hangings == 2)
            read_earlier_artworks(records, i + 1, row, unknown, &known_spends, never_counting_known);
        if (unknown.count(show.pic)) continue;
        // Each hanging is judged where it stands: its signer must have held the title there.
        ChainPlace hung;
        hung.height = tx_block_height(record.tx);
        hung.txid = record.txid;
        hung.tx = &record.tx;
        const std::string title_key = show.pic + " " + std::to_string(hung.height) + " " + record.txid;
        auto title = titles.find(title_key);
        if (title == titles.end()) {
            ExhibitTitle read;
            const std::string error =
                exhibit_title_read(show.pic, read, reuse_recent, spends ? &known_spends : nullptr, &hung);
            if (error == kWatchReadCut) {
                // The step never acts on the hanging its user saw while that artwork hangs again
                // after it (at another price, perhaps): the newer hanging is read whole first.
                if (i > acted.at && show.pic == acted.pic) return title_unread_frame(row, records, i, std::move(show));
                if (unread < records.size()) break;
                unread = i;
                unread_show = std::move(show);
                older_scope = std::make_unique<WatchListingsScope>(kWatchScanRequestShare);
                older_use = std::make_unique<WatchListingsUse>(*older_scope);
                continue;
            }
            if (!error.empty()) {
                result.error =
                    "frame " + std::string(row.label) + ": the title of a hanging could not be read: " + error;
                return result;
            }
            title = titles.emplace(title_key, read).first;
        }
        // Its signer held the title where it hung only when the pair stands before it.
        const int before = hanging_matches_title(show, title->second) ? pair_before_hanging(title->second, hung) : 1;
        if (before < 0) {
            result.error = "frame " + std::string(row.label) + ": " + kFrameOrderUnknown;
            return result;
        }
        if (before == 0 || !hanging_matches_title(show, title->second)) {
            never_counting_judge(show, title->second, hung);
            continue;
        }
        exhibit = std::move(show);
        result.height = tx_block_height(record.tx);
        shown = i;
        break;
    }
    older_use.reset();
    const std::size_t taken_down = exhibit.shown ? owner_take_down(records, shown, row, exhibit) : records.size();
    const bool hidden = taken_down < records.size();
    if (hidden) exhibit.shown = false;
    // A hidden exhibit is past its sale and is kept whatever its expiry or form.
    if (!hidden && !exhibit_keepable(exhibit, now)) exhibit = SpotFrame{};
    if (exhibit.shown || hidden) load_certificate_fields(exhibit);
    static_cast<SpotFrame&>(result) = std::move(exhibit);
    result.hidden = hidden;
    if (unread < records.size() && result.pic.empty())
        return title_unread_frame(row, records, unread, std::move(unread_show));
    if ((unread < records.size() || left_unread) && !result.pic.empty()) {
        // Until the newer hanging is known to count, the frame decides nothing about this wallet's
        // offers: it counts as not read whole.
        result.reading = kFrameNewerReading;
        result.error = "frame " + std::string(row.label) + ": " + kFrameNewerReading;
    }
    if (result.pic.empty()) return result;

    collect_sale_records(records, shown, taken_down, result);
    // An ask's own `handle` is whatever its signer wrote. The asks the windows name (the latest,
    // and each accepted buyer's) go by the name the platform gives the key that signed them; no
    // other is looked up, so a heap of asks costs the read no requests.
    std::map<std::string, std::string> names;
    if (!result.asks.empty()) names[result.asks.back().buyer];
    for (const SpotAccept& accept : result.accepts)
        names[accept.buyer];
    for (auto& [key, name] : names)
        name = ask_name(key);
    for (SpotAsk& ask : result.asks) {
        const auto name = names.find(ask.buyer);
        ask.handle = name == names.end() ? "" : name->second;
    }
    // A paid offer keeps the exhibit on the wall until the owner completes it.
    if (!result.funded.empty()) result.shown = true;
    return result;
}

} // namespace

SpotLoad load_spot(std::int32_t index, std::int64_t now, bool reuse_recent, FrameHistories* shared,
                   const std::string& acted_on) {
    const SpotRow& row = spot_row(index + 1);
    std::vector<WatchRecord> records;
    std::string error;
    never_counting_open();
    if (read_gallery_watch(row.label, row.watch, records, error, reuse_recent, shared)) {
        SpotLoad judged =
            judge_spot(row, now, reuse_recent, records, nullptr, nullptr, acted_on_in(records, row, acted_on));
        never_counting_keep();
        return judged;
    }
    SpotLoad result;
    result.spot = row.spot;
    result.error = error;
    return result;
}

std::string load_all_spots(std::vector<SpotFrame>& frames, bool reuse_recent, std::size_t title_requests,
                           const std::string& acted_on) {
    frames.resize(kSpotCount);
    const std::int64_t now = clock_system_ms() / 1000;
    never_counting_open();
    std::vector<SpotLoad> loads(kSpotCount);
    FrameHistories histories;
    std::vector<std::vector<WatchRecord>> records(kSpotCount);
    std::vector<char> read(kSpotCount, 0);
    std::vector<ActedOn> acted(kSpotCount);
    // One frame that fails in an unforeseen way leaves that frame empty; the other nine and the
    // thread pool stand.
    const auto each_frame = [&loads](std::uint64_t i, const std::function<void(const SpotRow&)>& step) {
        const auto index = static_cast<std::int32_t>(i);
        try {
            step(spot_row(index + 1));
        } catch (...) {
            loads[i] = SpotLoad{};
            loads[i].spot = index + 1;
            loads[i].error = "frame " + spot_label(index + 1) + " could not be read";
        }
    };
    parallel_for(kSpotCount, kSpotCount, [&](std::uint64_t i) {
        each_frame(i, [&](const SpotRow& row) {
            loads[i].spot = row.spot;
            read[i] = read_gallery_watch(row.label, row.watch, records[i], loads[i].error, reuse_recent, &histories);
        });
    });
    // Whether the coins each frame's newest hanging names are spent, and the transactions of those
    // coins and of its certificate, are read for all frames together, before any title read or
    // certificate asks for them one by one.
    std::vector<SpotLoad> shows;
    for (std::int32_t i = 0; i < kSpotCount; ++i) {
        acted[i] = acted_on_in(records[i], spot_row(i + 1), acted_on);
        const WatchRecord* hanging = read[i] ? newest_hanging(records[i], spot_row(i + 1), acted[i]) : nullptr;
        if (!hanging) continue;
        shows.push_back(parse_art_show(*hanging, i + 1));
        shows.back().height = tx_block_height(hanging->tx);
    }
    KnownSpends spends;
    std::set<std::string> unknown;
    std::vector<std::string> known_artworks;
    read_hangings_ahead(shows, spends, unknown, known_artworks);
    std::vector<std::pair<std::string, std::int64_t>> artworks;
    for (const SpotLoad& show : shows)
        if (!unknown.count(show.pic)) artworks.emplace_back(show.pic, show.height);
    // The frames' title reads list each registry watch once between them, and find the records
    // they look for read ahead together.
    const WatchListingsScope listings(title_requests);
    {
        const WatchListingsUse use(listings);
        title_reads_prefetch(artworks);
    }
    parallel_for(kSpotCount, kSpotCount, [&](std::uint64_t i) {
        if (!read[i]) return;
        const WatchListingsUse use(listings);
        each_frame(i, [&](const SpotRow& row) {
            loads[i] = judge_spot(row, now, reuse_recent, records[i], &spends, &unknown, acted[i]);
        });
    });
    never_counting_keep();
    // Coins are given back only on what the watches show now: a kept listing could predate an
    // exhibit this wallet's offer was made for.
    if (!reuse_recent) release_dead_offers(loads, now);
    // The same artwork hanging twice: only the one hung later in the chain stays, the later frame
    // when the chain cannot tell.
    for (std::int32_t i = 1; i < kSpotCount; ++i) {
        for (std::int32_t j = 0; j < i && loads[i].shown; ++j) {
            if (!loads[j].shown || loads[j].pic != loads[i].pic) continue;
            spot_exhibit_init(hung_before(loads[i], loads[j]) ? loads[i] : loads[j]);
        }
    }
    std::string error;
    for (std::int32_t i = 0; i < kSpotCount; ++i) {
        if (error.empty()) error = loads[i].error;
        frames[i] = std::move(static_cast<SpotFrame&>(loads[i]));
    }
    return error;
}

void gallery_cache_clear() {
    gallery_forget_listings();
    never_counting_forget();
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    g_ask_names.clear();
    tx_store_clear();
}
