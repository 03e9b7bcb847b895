// Reading a gallery frame's watch: the ids the oracle index and WhatsOnChain list there, and the
// verified records of those transactions in chain order. The registry's watch reader with the
// gallery's own differences; the frame listings are kept for a few seconds. Safe on many threads.
#pragma once

#include "art/art_records.h"
#include "chain/balance.h"
#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// WhatsOnChain's two histories of the ten frame watches from one bulk request, asked by the first
// frame read that needs them; the other frames of the same gallery read wait for that answer.
struct FrameHistories {
    std::once_flag asked;
    std::vector<BulkHistory> watches; // frame 1 first; empty when the request failed
};

// Forgets the kept watch listings: after this program posted a record to a frame they lack it.
void gallery_forget_listings();

// The gallery's own reading functions: as the registry's watch reader, with the gallery's user
// agent, no OP_PUSHDATA4 carrier, a stricter record time and a shorter listing.
bool gallery_op_return_payload(const std::string& script_hex, Bytes& out);
bool gallery_find_art_message(const nlohmann::json& tx, nlohmann::json& out);
// The record time: a JSON integer or decimal text; 0 for any other form.
std::int64_t msg_ts(const nlohmann::json& msg);
void gallery_collect_txids(const nlohmann::json& reply, std::vector<std::string>& txids);
// Transaction ids at a frame watch from the oracle index and WhatsOnChain. False with
// "OI <label> missed and WhatsOnChain missed" only when neither answered and nothing was found.
// With `shared` the watch's histories come from its bulk request when that listed the watch whole.
bool gallery_watch_txids(const std::string& label, const std::string& watch, std::vector<std::string>& txids,
                         std::string& error, bool reuse_recent = false, FrameHistories* shared = nullptr);
// The records at a frame watch whose signature verifies under the key they carry (no paymail is
// asked), in chain order, each once, without those dated ahead of the chain (order_frame_records).
// False with the listing's error text when the watch could not be listed, and with "frame <label>: "
// and kWatchRecordsUnread when a listed transaction could not be read, or kFrameOrderUnknown.
bool read_gallery_watch(const std::string& label, const std::string& watch, std::vector<WatchRecord>& records,
                        std::string& error, bool reuse_recent = false, FrameHistories* shared = nullptr);
