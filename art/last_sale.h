// The last gallery sale of an artwork: an owner's acceptance of a buyer at one of the ten frame
// watches, matched with the title step that handed the title to that buyer. Reads all frame
// watches at once on every call (their histories in one bulk request) and keeps nothing; safe on
// many threads.
#pragma once

#include "art/gallery_frames.h"
#include "art/title_chain.h"
#include "art/watch/reader.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The verified records of one frame watch.
struct SpotActs {
    std::int32_t spot = 0;         // frame number 1 to 10
    std::vector<WatchRecord> acts; // in chain order, as the gallery reads them (read_gallery_watch)
    bool ok = false;               // the watch could be read
};

// Reads the frame's watch as the gallery does (a frame number outside 1 to 10 reads frame 1), its
// histories from `shared`'s bulk request when given; the reader's error text is dropped, `ok`
// tells whether it succeeded.
SpotActs spot_acts_scan(std::int32_t spot, FrameHistories* shared = nullptr);

// The record's `price_sats` as satoshis: a number truncated toward zero, or decimal text; 0 when
// absent, of another type, without digits or out of range.
std::int64_t json_price_sats(const nlohmann::json& msg);

// The text of a last sale that could not be told: a frame or a sale transaction was not read.
constexpr const char* kLastSaleUnread = "The last sale did not load. Try again.";
// kLastSaleUnread, naming the service and its wait instead of "Try again." while a service keeps
// every request away (try_again_text).
std::string last_sale_unread_text();

// The "Last sale" block of the ownership report for the artwork and its title rows (oldest
// first), always ending with CR LF: the newest sale with its price, seller, buyer, frame and date,
// else "No sale yet." or, when a frame watch or a step's transaction could not be read,
// kLastSaleUnread. A sale counts only where the step's own transaction is the completed sale that
// paid the accepted price. Fewer than two title rows read no watch at all.
std::string last_sale_block(const std::string& artwork_id, const std::vector<KvArtTitleRow>& rows);
