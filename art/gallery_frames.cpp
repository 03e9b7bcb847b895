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

// The newest hangings a read leaves unread under one whose title its bound left unread, each of an
// artwork no read has found paired, get a first look of their own (a request or two, given back):
// an honest owner's hanging whose pair follows its artwork is found under a stranger's junk in a
// data folder that never read it. Past these, such hangings are passed over unread.
constexpr std::size_t kFirstLooksUnderUnread = 8;

// A frame's replay as it goes through the hangings, newest first: the titles read, the artworks the
// service does not know, the coins' spends, and the newest hanging whose title the read's bound
// left unread, with what the hangings before it read with: a request share of their own, so that
// the last hanging that counts still shows when a stranger's newer one took the read's budget.
struct FrameJudging {
    const SpotRow& row;
    const std::vector<WatchRecord>& records;
    const ActedOn& acted;
    bool reuse_recent = false;
    bool read_ahead = false; // the gallery read asked ahead about the newest hanging's coins
    bool spends_given = false;
    std::map<std::string, ExhibitTitle> titles;
    std::set<std::string> unknown;
    KnownSpends known_spends;
    int hangings = 0;
    std::size_t unread = 0; // records.size() while none
    SpotLoad unread_show;
    bool passed_over = false; // a newer hanging was left unread without a read of its title
    std::size_t first_looks = 0;
    std::unique_ptr<WatchListingsScope> older_scope;
    std::unique_ptr<WatchListingsUse> older_use;

    FrameJudging(const SpotRow& r, const std::vector<WatchRecord>& list, const ActedOn& a)
        : row(r), records(list), acted(a), unread(list.size()) {}
    bool under_unread() const { return unread < records.size(); }
};

// What the replay makes of one hanging.
enum class Verdict {
    passed,  // it neither shows nor stops the replay
    counts,  // it is the exhibit
    ends,    // the frame holds no exhibit below it
    answered // the frame is decided (`result`)
};

// The title of hanging `show` at `hung`, read once per replay. Under a hanging left unread, one of
// an artwork no read has found paired takes only a first look, and none past kFirstLooksUnderUnread.
std::string hanging_title(FrameJudging& f, const SpotFrame& show, const ChainPlace& hung, bool pair_known,
                          const ExhibitTitle*& title) {
    const std::string key = show.pic + " " + std::to_string(hung.height) + " " + hung.txid;
    auto kept = f.titles.find(key);
    if (kept != f.titles.end()) {
        title = &kept->second;
        return "";
    }
    const bool look_only = f.under_unread() && !pair_known;
    if (look_only && f.first_looks++ >= kFirstLooksUnderUnread) return kWatchReadCut;
    const bool first_look = look_only && watch_listings_first_look(true);
    ExhibitTitle read;
    const std::string error =
        exhibit_title_read(show.pic, read, f.reuse_recent, f.spends_given ? &f.known_spends : nullptr, &hung);
    if (first_look) watch_listings_first_look(false);
    if (!error.empty()) return error;
    title = &f.titles.emplace(key, read).first->second;
    return "";
}

// A hanging whose title the read's bound left unread. The step never acts on the hanging its user
// saw while that artwork hangs again after it (at another price, perhaps): the newer hanging is read
// whole first. The newest such hanging is kept for the frame to show should nothing before it
// count; one before it of an artwork no read has found paired is passed over; one of a known pair
// may count, and the replay stops there.
Verdict title_left_unread(FrameJudging& f, std::size_t i, SpotLoad& show, bool pair_known, SpotLoad& result) {
    if (i > f.acted.at && show.pic == f.acted.pic) {
        result = title_unread_frame(f.row, f.records, i, std::move(show));
        return Verdict::answered;
    }
    if (!f.under_unread()) {
        f.unread = i;
        f.unread_show = std::move(show);
        f.older_scope = std::make_unique<WatchListingsScope>(kWatchScanRequestShare);
        f.older_use = std::make_unique<WatchListingsUse>(*f.older_scope);
        return Verdict::passed;
    }
    if (pair_known) return Verdict::ends;
    f.passed_over = true;
    return Verdict::passed;
}

// Whether the hanging held the frame where it hung and its title has gone on since: a step of the
// title signed by the hanging's signer spends, after it, the artwork coin it named. The sale (or
// pass) that took the title away leaves the frame empty; no hanging it replaced comes back.
bool sold_since_hung(const SpotFrame& show, const ExhibitTitle& title, const ChainPlace& hung) {
    std::string coin, spender;
    std::uint32_t vout = 0;
    if (hung.height <= 0 || title.head == title.pair || show.cert != title.cert ||
        !parse_outpoint(show.pic_utxo, coin, vout) || pair_before_hanging(title, hung) != 1 ||
        woc_spent_by(coin, vout, spender) != 0)
        return false;
    std::vector<KvArtTitleRow> rows;
    TitlePair pair;
    if (!art_title_at_hanging(show.pic, hung, rows, pair, nullptr).empty()) return false;
    spender = to_lower_copy(spender);
    const bool signed_step = std::any_of(rows.begin(), rows.end(), [&](const KvArtTitleRow& step) {
        return step.type == "art_owner" && step.txid == spender && step.signer == show.owner;
    });
    nlohmann::json tx;
    if (!signed_step || !woc_tx_json(spender, tx, false)) return false;
    const std::int64_t height = tx_block_height(tx);
    return height == 0 || height > hung.height;
}

// Judges hanging `i` where it stands: its signer must have held the title there, with the pair
// before it.
Verdict judge_hanging(FrameJudging& f, std::size_t i, SpotLoad& show, SpotLoad& result) {
    const WatchRecord& record = f.records[i];
    if (step_leaves_unread(f.acted, i, show)) {
        f.passed_over = true;
        return Verdict::passed;
    }
    // An artwork the service says it does not know has no coin a hanging could name. The read
    // ahead asked about the newest hanging's; the earlier ones are asked about together.
    if (f.read_ahead && ++f.hangings == 2)
        read_earlier_artworks(f.records, i + 1, f.row, f.unknown, &f.known_spends, never_counting_known);
    if (f.unknown.count(show.pic)) return Verdict::passed;
    ChainPlace hung;
    hung.height = tx_block_height(record.tx);
    hung.txid = record.txid;
    hung.tx = &record.tx;
    const bool pair_known = f.under_unread() && title_pair_known(show.pic);
    const ExhibitTitle* title = nullptr;
    const std::string error = hanging_title(f, show, hung, pair_known, title);
    if (error == kWatchReadCut) return title_left_unread(f, i, show, pair_known, result);
    if (!error.empty()) {
        result.error = "frame " + std::string(f.row.label) + ": the title of a hanging could not be read: " + error;
        return Verdict::answered;
    }
    const int before = hanging_matches_title(show, *title) ? pair_before_hanging(*title, hung) : 1;
    if (before < 0) {
        result.error = "frame " + std::string(f.row.label) + ": " + kFrameOrderUnknown;
        return Verdict::answered;
    }
    if (before == 0 || !hanging_matches_title(show, *title)) {
        never_counting_judge(show, *title, hung);
        return before == 1 && sold_since_hung(show, *title, hung) ? Verdict::ends : Verdict::passed;
    }
    return Verdict::counts;
}

// Puts the exhibit the replay found (at `shown`) into the frame: its owner's take-down hides it, an
// expired or malformed one that is not hidden leaves the frame empty, one that stays gets its
// certificate texts. Returns the take-down's place, records.size() without one.
std::size_t place_exhibit(const FrameJudging& f, SpotFrame exhibit, std::size_t shown, std::int64_t now,
                          SpotLoad& result) {
    const std::size_t taken_down = exhibit.shown ? owner_take_down(f.records, shown, f.row, exhibit) : f.records.size();
    const bool hidden = taken_down < f.records.size();
    if (hidden) exhibit.shown = false;
    // A hidden exhibit is past its sale and is kept whatever its expiry or form.
    if (!hidden && !exhibit_keepable(exhibit, now)) exhibit = SpotFrame{};
    if (exhibit.shown || hidden) load_certificate_fields(exhibit);
    static_cast<SpotFrame&>(result) = std::move(exhibit);
    result.hidden = hidden;
    return taken_down;
}

// An ask's own `handle` is whatever its signer wrote. The asks the windows name (the latest, and
// each accepted buyer's) go by the name the platform gives the key that signed them; no other is
// looked up, so a heap of asks costs the read no requests.
void name_askers(SpotLoad& result) {
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
}

// Replays a frame's records read whole into the frame (load_spot after its read). The newest
// hanging whose signer holds the title and its coins is the exhibit; any other hanging neither shows
// nor hides one, whatever it claims, unless it held the frame and was sold since. A frame shows
// its last hanging that counts however many newer ones are still being read, and says so.
SpotLoad judge_spot(const SpotRow& row, std::int64_t now, bool reuse_recent, const std::vector<WatchRecord>& records,
                    const KnownSpends* spends, const std::set<std::string>* unknown_txs, const ActedOn& acted) {
    FrameJudging f(row, records, acted);
    f.reuse_recent = reuse_recent;
    f.read_ahead = unknown_txs != nullptr;
    f.spends_given = spends != nullptr;
    if (unknown_txs) f.unknown = *unknown_txs;
    if (spends) f.known_spends = *spends;
    SpotLoad result;
    result.spot = row.spot;
    SpotFrame exhibit;
    std::size_t shown = records.size();
    for (std::size_t i = records.size(); i-- > 0;) {
        if (!is_hanging(records[i], row)) continue;
        SpotLoad show = parse_art_show(records[i], row.spot);
        if (show.owner.empty() || show.pic.empty() || never_counting_known(records[i].txid)) continue;
        const Verdict verdict = judge_hanging(f, i, show, result);
        if (verdict == Verdict::answered) return result;
        if (verdict == Verdict::passed) continue;
        if (verdict == Verdict::counts) {
            exhibit = std::move(show);
            result.height = tx_block_height(records[i].tx);
            shown = i;
        }
        break;
    }
    f.older_use.reset();
    const std::size_t taken_down = place_exhibit(f, std::move(exhibit), shown, now, result);
    if (f.under_unread() && result.pic.empty())
        return title_unread_frame(row, records, f.unread, std::move(f.unread_show));
    if ((f.under_unread() || f.passed_over) && !result.pic.empty()) {
        // Until the newer hanging is known to count, the frame decides nothing about this wallet's
        // offers: it counts as not read whole.
        result.reading = kFrameNewerReading;
        result.error = "frame " + std::string(row.label) + ": " + kFrameNewerReading;
    }
    if (result.pic.empty()) return result;
    collect_sale_records(records, shown, taken_down, result);
    name_askers(result);
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
