#include "art/watch/reader.h"

#include "art/watch/lists.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"
#include "platform/fs.h"
#include "wallet/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <limits>

using nlohmann::json;

namespace {

const std::string kOraclePath = std::string("/oi/oracle/") + kPairWatchKey + "/txids";

// The number leads, so ids differ early and long listings compare quickly.
std::string numbered_txid(int n) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", n);
    return text + std::string(56, 'e');
}

struct WatchReaderTest : FakeIdentityTest {
    WatchReaderTest() { ids.set_key("alice@kestrava.net", secp_pubkey_hex(Bytes(32, 0x11))); }

    static json record(const json& ts) { return fake_art_record("art_pair", "alice", ts); }

    std::string post(const json& msg) { return fake_post_record(chain, kPairWatchAddress, msg); }
};

// A WhatsOnChain stand-in whose history lists page with tokens, to follow the paging rules.
struct PagedHistory {
    FakeServer woc;
    PagedHistory() {
        const std::string base = std::string(kWocPrefix) + "/address/[^/]+";
        // The paged query is refused; only the bare list answers.
        woc.on("GET", base + "/unconfirmed/history", [](const FakeRequest& req) {
            if (!req.query.empty()) return FakeResponse{500, "{}"};
            return json_reply({{"result", {numbered_txid(100)}}});
        });
        // Three pages bring a new id and a token each; the fourth repeats the third's id and
        // still names a token, which ends the list, cut.
        woc.on("GET", base + "/confirmed/history", [](const FakeRequest& req) {
            const auto token = req.query.find("token");
            const int page = token == req.query.end() ? 0 : std::stoi(token->second.substr(2)) + 1;
            const int id = std::min(page, 2);
            return json_reply({{"result", {{{"tx_hash", numbered_txid(200 + id)}, {"height", id + 1}}}},
                               {"nextPageToken", "p/" + std::to_string(page) + "+="}});
        });
    }
};

// Whether the read's first record stands in a block, as a title read places it.
std::string mined_where(const std::string& key, const std::string& address, const WatchScanBounds& bounds) {
    std::vector<WatchRecord> records;
    std::string error;
    if (!scan_watch_messages(key, address, records, error, nullptr, bounds)) return error;
    if (records.empty()) return "none";
    return records[0].tx.value("blockheight", std::int64_t(0)) > 0 ? "mined" : "unmined";
}

} // namespace

TEST_F(WatchReaderTest, ScanKeepsVerifiedTimedRecordsInOrder) {
    const std::string late = post(fake_signed_record(record(200), 0x11));
    const std::string early = post(fake_signed_record(record("100"), 0x11));
    // Signed by a key alice@ does not name: it speaks for that key, whatever its actor says.
    const std::string other_key = post(fake_signed_record(record(150), 0x22));
    post(fake_signed_record(record("soon"), 0x11));
    json forged = fake_signed_record(record(160), 0x11);
    forged["type"] = "art_owner";
    post(forged);
    chain.ledger.fund(kPairWatchAddress, 1); // pays the watch, carries nothing
    fake_oracle_list(chain, kPairWatchKey, early);

    std::vector<WatchRecord> records;
    std::string error;
    ASSERT_TRUE(scan_watch_messages(kPairWatchKey, kPairWatchAddress, records, error)) << error;
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].txid, other_key);
    records.erase(records.begin() + 1);
    EXPECT_EQ(records[0].txid, early);
    EXPECT_EQ(records[0].ts, 100);
    EXPECT_EQ(records[1].txid, late);
    EXPECT_EQ(records[1].msg["ts"], 200);
    EXPECT_TRUE(tx_pays_address(records[1].tx, kPairWatchAddress));
    // Listed by both sources, read once, in bulk with the others.
    EXPECT_EQ(chain.woc.request_count(std::string(kWocPrefix) + "/txs"), 1);
    EXPECT_EQ(chain.platform.request_count("/oi/tx/") + chain.woc.request_count(std::string(kWocPrefix) + "/tx/"), 0);

    // A mined transaction read once is kept, in this process and the next: a later read asks only
    // for what is new, one by one where the bulk reply lacks it.
    chain.woc.set_fault(std::string(kWocPrefix) + "/txs", FakeFault{500});
    post(fake_signed_record(record(300), 0x11));
    chain.platform.reset_counts();
    watch_memory_forget();
    ASSERT_TRUE(scan_watch_messages(kPairWatchKey, kPairWatchAddress, records, error)) << error;
    EXPECT_EQ(records.size(), 4u);
    EXPECT_EQ(chain.platform.request_count("/oi/tx/"), 1);
}

TEST_F(WatchReaderTest, ListingFailures) {
    std::vector<WatchRecord> records(1);
    std::string error;
    EXPECT_FALSE(scan_watch_messages(kPairWatchKey, "", records, error));
    EXPECT_EQ(error, "watch address is not assigned");
    EXPECT_TRUE(records.empty());

    chain.woc.set_fault(std::string(kWocPrefix) + "/address/", FakeFault{500});
    chain.platform.set_fault("/oi/oracle/", FakeFault{503});
    EXPECT_FALSE(scan_watch_messages(kPairWatchKey, kPairWatchAddress, records, error));
    EXPECT_EQ(error, "OI zuz missed and WhatsOnChain missed");

    // What the index lists is enough while WhatsOnChain is down; an empty WhatsOnChain answer is too.
    chain.platform.clear_faults();
    fake_oracle_list(chain, kPairWatchKey, post(fake_signed_record(record(100), 0x11)));
    EXPECT_TRUE(scan_watch_messages(kPairWatchKey, kPairWatchAddress, records, error));
    EXPECT_EQ(records.size(), 1u);
    chain.woc.clear_faults();
    EXPECT_TRUE(scan_watch_messages(kTitleWatchKey, kTitleWatchAddress, records, error));
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(error, "");
}

TEST_F(WatchReaderTest, OraclePagesEndAtAShortPageOrTheTenth) {
    struct Row {
        const char* name;
        int listed;
        int pages;
        ListEnd end;
    } rows[] = {
        {"one short page", 5, 1, ListEnd::whole},
        {"a full page asks for the next", 2000, 2, ListEnd::whole},
        {"the tenth full page is the last", 22000, 10, ListEnd::cut},
    };
    int next = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string key = "k" + std::to_string(next);
        for (int i = 0; i < row.listed; ++i)
            fake_oracle_list(chain, key, numbered_txid(next++));
        chain.platform.reset_counts();
        UniqueIds txids;
        EXPECT_EQ(read_oracle_pages(key, txids), row.end);
        EXPECT_EQ(chain.platform.request_count("/oi/oracle/" + key + "/txids"), row.pages);
        EXPECT_EQ(txids.ids.size(), static_cast<std::size_t>(std::min(row.listed, 20000)));
    }
}

TEST_F(WatchReaderTest, OraclePageWithNothingNewEndsTheIndex) {
    // The second page repeats the first in full.
    for (int i = 0; i < 4000; ++i)
        fake_oracle_list(chain, kPairWatchKey, numbered_txid(i % 2000));
    UniqueIds txids;
    EXPECT_EQ(read_oracle_pages(kPairWatchKey, txids), ListEnd::cut);
    EXPECT_EQ(txids.ids.size(), 2000u);
    EXPECT_EQ(chain.platform.request_count(kOraclePath), 2);
}

TEST_F(WatchReaderTest, HistoryPagesFollowTokens) {
    PagedHistory paged;
    ServiceSettings s = settings_for(chain);
    s.woc_base = paged.woc.base_url() + kWocPrefix;
    ScopedServiceSettings use(s);

    UniqueIds txids;
    const auto add = [&](std::vector<WatchRow>& rows) {
        for (const WatchRow& row : rows)
            txids.add(row.txid);
        return true;
    };
    // Both lists end cut: the mined one repeats itself, the mempool's answers only bare.
    EXPECT_EQ(read_history(confirmed_url(kPairWatchAddress, 0), false, add), ListEnd::cut);
    std::vector<WatchRow> waiting;
    EXPECT_EQ(read_waiting(kPairWatchAddress, waiting), ListEnd::cut);
    add(waiting);
    EXPECT_EQ(txids.ids, (std::vector<std::string>{numbered_txid(200), numbered_txid(201), numbered_txid(202),
                                                   numbered_txid(100)}));

    const std::string base = std::string(kWocPrefix) + "/address/" + kPairWatchAddress;
    EXPECT_EQ(paged.woc.request_count(base + "/unconfirmed/history"), 2);
    EXPECT_EQ(paged.woc.request_count(base + "/confirmed/history"), 4);
    // The token "p/0+=" arrived percent-encoded and decodes back whole.
    for (const FakeRequest& req : paged.woc.requests()) {
        const auto token = req.query.find("token");
        if (req.path == base + "/confirmed/history" && token != req.query.end()) {
            EXPECT_EQ(token->second, "p/0+=");
            break;
        }
    }
}

TEST_F(WatchReaderTest, TransactionFetch) {
    const std::string plain = chain.ledger.fund(kPairWatchAddress, 1);
    json tx;
    ASSERT_TRUE(fetch_tx_json(plain, tx));
    EXPECT_EQ(tx["txid"], plain);
    // The index's copy carries no record, so WhatsOnChain's is taken.
    EXPECT_EQ(chain.platform.request_count("/oi/tx/"), 1);
    EXPECT_EQ(chain.woc.request_count(std::string(kWocPrefix) + "/tx/"), 1);

    EXPECT_FALSE(fetch_tx_json(numbered_txid(7), tx));
    EXPECT_TRUE(tx.is_null());

    // A listed id is only ever a hex transaction id in a request path.
    chain.platform.reset_counts();
    chain.woc.reset_counts();
    EXPECT_FALSE(fetch_tx_json("../../api/paymail/identity/" + std::string(37, 'a'), tx));
    EXPECT_EQ(chain.platform.request_count() + chain.woc.request_count(), 0);
}

TEST_F(WatchReaderTest, HttpGetJsonWantsAJsonBodyAndSuccess) {
    chain.platform.on("GET", "/t/json", [](const FakeRequest&) { return json_reply({{"a", 1}}); });
    chain.platform.on("GET", "/t/text", [](const FakeRequest&) { return FakeResponse{200, "a, 1", "text/plain"}; });
    chain.platform.on("GET", "/t/404", [](const FakeRequest&) { return json_reply({{"a", 1}}, 404); });
    const std::string base = chain.platform.base_url();
    json out;
    EXPECT_TRUE(http_get_json(base + "/t/json", out, 5));
    EXPECT_EQ(out["a"], 1);
    EXPECT_FALSE(http_get_json(base + "/t/text", out, 5));
    EXPECT_TRUE(out.is_null());
    out = 1;
    EXPECT_FALSE(http_get_json(base + "/t/404", out, 5));
    EXPECT_TRUE(out.is_null());
    EXPECT_FALSE(http_get_json("http://127.0.0.1:1/x", out, 5));
    for (const FakeRequest& req : chain.platform.requests()) {
        const auto agent = req.headers.find("User-Agent");
        ASSERT_NE(agent, req.headers.end());
        EXPECT_EQ(agent->second, "Kestrava-Art/1");
    }
}

// What a read keeps of a watch reads back after a restart, whatever happened to the file between:
// damage, another process's writes, a full disk.
TEST_F(WatchReaderTest, WhatIsKeptReadsBackAfterARestart) {
    struct Kept {
        std::string key, address, path, record;
        std::string text() const {
            std::string out;
            platform_read_file(path, out);
            return out;
        }
        void write(const std::string& text) const { platform_write_file(path, text, false); }
        // Edits the file as another process, or damage, would.
        void edit(const std::function<void(json&)>& change) const {
            json doc = json::parse(text());
            change(doc);
            write(doc.dump());
        }
    };
    struct Row {
        const char* name;
        std::function<void(WatchReaderTest&, const Kept&)> act;
        const char* note;  // a note that must read back
        const char* value; // its value; "record" for the record's id
    } rows[] = {
        {"a kept record emptied in place is read again",
         [](WatchReaderTest&, const Kept& k) {
             k.edit([](json& doc) {
                 for (const char* list : {"records", "txs"}) {
                     const json entries = doc.value(list, json::object());
                     for (const auto& entry : entries.items())
                         doc[list][entry.key()]["tx"] = doc[list][entry.key()]["tx"].is_string() ? json("") : json({});
                 }
             });
         },
         "first", "record"},
        {"an unreadable file is set aside until a new one stands",
         [](WatchReaderTest&, const Kept& k) { k.write("{\"service\": "); }, "first", "record"},
        {"another process's note stays when this one saves",
         [](WatchReaderTest& t, const Kept& k) {
             k.edit([](json& doc) { doc["notes"]["other"] = "theirs"; });
             fake_post_record(t.chain, k.address, fake_signed_record(record(300), 0x11));
             std::vector<WatchRecord> records;
             std::string error;
             EXPECT_TRUE(scan_watch_messages(k.key, k.address, records, error)) << error;
         },
         "other", "theirs"},
        {"a removed note does not come back from another process's older copy",
         [](WatchReaderTest& t, const Kept& k) {
             fake_post_record(t.chain, k.address, fake_signed_record(record(300), 0x11));
             std::vector<WatchRecord> records;
             std::string error;
             EXPECT_TRUE(scan_watch_messages(k.key, k.address, records, error)) << error;
             const std::string older = k.text();
             watch_note_set(k.key, "first", "");
             k.write(older);
         },
         "first", ""},
        {"a note costs a line, not the whole file again",
         [](WatchReaderTest&, const Kept& k) {
             platform_set_write_budget_for_tests(400);
             watch_note_set(k.key, "second", k.record);
             platform_set_write_budget_for_tests(-1);
         },
         "second", "record"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Kept k;
        k.key = "kept" + std::to_string(n);
        k.address = test_key_from_byte(static_cast<std::uint8_t>(0x60 + n++)).address;
        const ServiceSettings s = service_settings();
        k.path = kestrava_data_dir() + "/registry/watch_" +
                 sha256_hex(s.woc_base + "|" + s.platform_base + "|" + k.key).substr(0, 32) + ".json";
        k.record = fake_post_record(chain, k.address, fake_signed_record(record(100), 0x11));
        std::vector<WatchRecord> records;
        std::string error;
        ASSERT_TRUE(scan_watch_messages(k.key, k.address, records, error)) << error;
        watch_note_set(k.key, "first", k.record);
        row.act(*this, k);
        watch_memory_forget();

        records.clear();
        EXPECT_TRUE(scan_watch_messages(k.key, k.address, records, error)) << error;
        EXPECT_EQ(records.empty() ? "none" : records[0].txid, k.record);
        watch_memory_forget();
        EXPECT_EQ(watch_note(k.key, row.note), row.value == std::string("record") ? k.record : row.value);
        for (const std::string& name : platform_file_names(kestrava_data_dir() + "/registry"))
            EXPECT_EQ(name.find(".damaged-"), std::string::npos) << name;
    }
}

// What a read takes from a history service that lags, errs or ignores what it is asked, and what a
// read that confirms costs. Each row reads a watch of its own from the block after the tip.
TEST_F(WatchReaderTest, WhatAReadTakesFromTheHistoryService) {
    struct Watch {
        std::string key, address;
        std::int64_t start = 0;
        std::string hist() const { return std::string(kWocPrefix) + "/address/" + address + "/confirmed/history"; }
    };
    using Read = std::function<std::string(const WatchScanBounds&)>;
    struct Row {
        const char* name;
        std::function<std::string(WatchReaderTest&, const Watch&, const Read&)> act;
        const char* seen;
    } rows[] = {
        {"a block first listed short is listed again at the next read",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             // The pair mined while the index lagged; a stranger's payment in a later block is listed.
             const std::string pair = fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             t.chain.set_history_height(pair, -1);
             t.chain.ledger.fund(w.address, 1);
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             const std::string first = read(bounds);
             t.chain.set_history_height(pair, 0);
             return first + ", then " + read(bounds);
         },
         "0 records, then 1 record"},
        {"a row past the tip is read, not taken as mined",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             const std::string far = fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             t.chain.set_history_height(far, t.chain.ledger.tip() + 1000);
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             const std::string first = mined_where(w.key, w.address, bounds);
             fake_post_record(t.chain, w.address, fake_signed_record(record(200), 0x11));
             return first + ", then " + read(bounds);
         },
         "unmined, then 2 records"},
        {"a height of 2^63-1 neither overflows nor counts as mined",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             const std::string far = fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             t.chain.set_history_height(far, std::numeric_limits<std::int64_t>::max());
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             const std::string first = mined_where(w.key, w.address, bounds);
             fake_post_record(t.chain, w.address, fake_signed_record(record(200), 0x11));
             return first + ", then " + read(bounds);
         },
         "unmined, then 2 records"},
        {"a service that lists newest first is read back to the artwork's block",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             t.chain.ledger.add_payments(w.address, 3000, w.start);
             const Watch art{w.key, w.address, t.chain.ledger.tip() + 1};
             fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             t.chain.ledger.fund(w.address, 1);
             t.chain.history_newest_first = true;
             WatchScanBounds bounds;
             bounds.min_height = art.start;
             bounds.enough = [](const WatchRecord&) { return true; };
             t.chain.woc.reset_counts();
             const std::string seen = read(bounds);
             t.chain.history_newest_first = false;
             return seen + " in " + std::to_string(t.chain.woc.request_count(w.hist())) + " page";
         },
         "1 record in 1 page"},
        {"a bounded read whose listing fails says so and reads no index in its stead",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             fake_oracle_list(t.chain, w.key,
                              fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11)));
             t.chain.woc.set_fault(w.hist(), FakeFault{500});
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             const std::string seen = read(bounds);
             t.chain.woc.clear_faults();
             return seen + ", " + std::to_string(t.chain.platform.request_count("/oi/oracle/" + w.key)) + " index";
         },
         "the registry's listing could not be read. Try again., 0 index"},
        {"a confirming read lists the span and fetches none of the payments read before",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             t.chain.ledger.add_payments(w.address, 2000, w.start);
             const std::string pair = fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             bounds.enough = [](const WatchRecord&) { return true; };
             read(bounds);
             bounds.fresh = true;
             bounds.mined_by = t.chain.ledger.tip();
             t.chain.woc.reset_counts();
             const std::string seen = read(bounds);
             const int fetched =
                 t.chain.woc.request_count(std::string(kWocPrefix) + "/tx") + t.chain.platform.request_count("/oi/tx/");
             return seen + ", " + std::to_string(t.chain.woc.request_count(w.hist())) + " pages, " +
                    std::to_string(fetched) + " fetched";
         },
         "1 record, 3 pages, 0 fetched"},
        {"a confirming read in the next process fetches none of the payments its span listed before",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             t.chain.ledger.add_payments(w.address, 2000, w.start);
             const std::string pair = fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             const std::int64_t paired_at = t.chain.ledger.tip();
             for (int block = 0; block < 8; ++block) // the span's blocks can no longer change
                 t.chain.ledger.fund(kTitleWatchAddress, 1);
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             bounds.enough = [](const WatchRecord&) { return true; };
             read(bounds);
             watch_memory_forget();
             bounds.fresh = true;
             bounds.mined_by = paired_at;
             t.chain.woc.reset_counts();
             const std::string seen = read(bounds);
             const int fetched =
                 t.chain.woc.request_count(std::string(kWocPrefix) + "/tx") + t.chain.platform.request_count("/oi/tx/");
             return seen + ", " + std::to_string(t.chain.woc.request_count(w.hist())) + " pages, " +
                    std::to_string(fetched) + " fetched";
         },
         "1 record, 3 pages, 0 fetched"},
        {"a record of a type no reader keeps leaves its span's window whole",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             t.chain.ledger.add_payments(w.address, 2000, w.start);
             fake_post_record(t.chain, w.address, fake_signed_record(fake_art_record("art_draft", "alice", 50), 0x11));
             fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             const std::int64_t paired_at = t.chain.ledger.tip();
             for (int block = 0; block < 8; ++block)
                 t.chain.ledger.fund(w.address, 1);
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             bounds.enough = [](const WatchRecord& r) { return r.msg.value("type", "") == "art_pair"; };
             read(bounds);
             watch_memory_forget();
             bounds.fresh = true;
             bounds.mined_by = paired_at;
             t.chain.woc.reset_counts();
             read(bounds);
             return std::to_string(t.chain.woc.request_count(std::string(kWocPrefix) + "/txs")) + " bulk";
         },
         "0 bulk"},
        {"a row listed late costs its own part of the span, not the span",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             t.chain.ledger.add_payments(w.address, 2000, w.start);
             const std::string late = t.chain.ledger.fund(w.address, 1);
             t.chain.set_history_height(late, -1);
             fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             const std::int64_t paired_at = t.chain.ledger.tip();
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             bounds.enough = [](const WatchRecord&) { return true; };
             read(bounds);
             watch_memory_forget();
             t.chain.set_history_height(late, 0);
             bounds.fresh = true;
             bounds.mined_by = paired_at;
             t.chain.woc.reset_counts();
             const std::string seen = read(bounds);
             const int fetched =
                 t.chain.woc.request_count(std::string(kWocPrefix) + "/tx") + t.chain.platform.request_count("/oi/tx/");
             return seen + ", " + std::to_string(fetched) + " fetched";
         },
         "1 record, 1 fetched"},
        {"a chain route far ahead of the listing keeps no block final that the listing has not passed",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             t.chain.claimed_tip = 10000010;
             watch_memory_forget();
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             const std::string first = read(bounds);
             t.chain.claimed_tip = 0;
             watch_memory_forget();
             fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             for (int block = 0; block < 8; ++block)
                 t.chain.ledger.fund(kTitleWatchAddress, 1);
             return first + ", then " + read(bounds);
         },
         "0 records, then 1 record"},
        {"a pair the index lists more than six blocks late is read once it is listed",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             const std::string pair = fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             t.chain.set_history_height(pair, -1);
             t.chain.ledger.fund(w.address, 1);
             for (int block = 0; block < 8; ++block)
                 t.chain.ledger.fund(kTitleWatchAddress, 1);
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             const std::string first = read(bounds);
             t.chain.set_history_height(pair, 0);
             watch_memory_forget();
             return first + ", then " + read(bounds);
         },
         "0 records, then 1 record"},
        {"a chain route a block behind the listing leaves a confirmed pair mined and kept",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             const std::int64_t paired_at = t.chain.ledger.tip();
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             bounds.enough = [](const WatchRecord&) { return true; };
             read(bounds);
             t.chain.claimed_tip = paired_at - 1;
             watch_memory_forget();
             bounds.fresh = true;
             bounds.mined_by = paired_at;
             const std::string confirmed = mined_where(w.key, w.address, bounds);
             t.chain.claimed_tip = 0;
             watch_memory_forget();
             bounds.fresh = false;
             return confirmed + ", then " + mined_where(w.key, w.address, bounds);
         },
         "mined, then mined"},
        {"a copy that lacks the block its listing shows is placed and kept in that block",
         [](WatchReaderTest& t, const Watch& w, const Read&) {
             const std::string pair = fake_post_record(t.chain, w.address, fake_signed_record(record(100), 0x11));
             t.chain.set_copy_unmined(pair, true);
             WatchScanBounds bounds;
             bounds.min_height = w.start;
             bounds.enough = [](const WatchRecord&) { return true; };
             const std::string first = mined_where(w.key, w.address, bounds);
             t.chain.set_copy_unmined(pair, false);
             watch_memory_forget();
             return first + ", then " + mined_where(w.key, w.address, bounds);
         },
         "mined, then mined"},
        {"an owner of many artworks keeps every span's window",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             std::vector<std::int64_t> starts, paired;
             for (int art = 0; art < 24; ++art) {
                 starts.push_back(t.chain.ledger.tip() + 1);
                 t.chain.ledger.add_payments(w.address, 40, starts.back());
                 fake_post_record(t.chain, w.address, fake_signed_record(record(100 + art), 0x11));
                 paired.push_back(t.chain.ledger.tip());
             }
             for (std::size_t art = 0; art < starts.size(); ++art) {
                 WatchScanBounds bounds;
                 bounds.min_height = starts[art];
                 bounds.mined_by = paired[art];
                 bounds.enough = [](const WatchRecord&) { return true; };
                 read(bounds);
             }
             watch_memory_forget();
             WatchScanBounds oldest;
             oldest.min_height = starts[0];
             oldest.mined_by = paired[0];
             oldest.fresh = true;
             t.chain.woc.reset_counts();
             read(oldest);
             return std::to_string(t.chain.woc.request_count(std::string(kWocPrefix) + "/txs")) + " bulk";
         },
         "0 bulk"},
        {"a gallery read's own listing is charged only the pages it asked",
         [](WatchReaderTest& t, const Watch& w, const Read& read) {
             // Blocks read whole before, past the span's start, make the read list on its own.
             t.chain.ledger.add_payments(w.address, 150, w.start);
             const std::int32_t kept_from = t.chain.ledger.tip() + 1;
             t.chain.ledger.add_payments(w.address, 150, kept_from);
             for (int block = 0; block < 8; ++block)
                 t.chain.ledger.fund(w.address, 1);
             WatchScanBounds bounds;
             bounds.min_height = kept_from;
             bounds.mined_by = t.chain.ledger.tip();
             read(bounds);
             const WatchListingsScope gallery(2 * kWatchScanRequestShare);
             const WatchListingsUse use(gallery);
             bounds.min_height = w.start;
             t.chain.woc.reset_counts();
             const std::string seen = read(bounds);
             std::size_t left = 0;
             while (scope_take_request(*gallery.shared))
                 ++left;
             // The tip is asked beside the listing, outside the budget.
             const std::size_t charged = 2 * kWatchScanRequestShare - left;
             const auto made = static_cast<std::size_t>(t.chain.woc.request_count() -
                                                        t.chain.woc.request_count(std::string(kWocPrefix) + "/chain"));
             return seen + (charged == made ? ", charged what went out"
                                            : ", " + std::to_string(charged) + " charged for " + std::to_string(made) +
                                                  " requests");
         },
         "0 records, charged what went out"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Watch w;
        w.key = "hist" + std::to_string(n);
        w.address = test_key_from_byte(static_cast<std::uint8_t>(0x70 + n++)).address;
        w.start = chain.ledger.tip() + 1;
        const Read read = [&w](const WatchScanBounds& bounds) {
            std::vector<WatchRecord> records;
            std::string error;
            if (!scan_watch_messages(w.key, w.address, records, error, nullptr, bounds)) return error;
            return std::to_string(records.size()) + (records.size() == 1 ? " record" : " records");
        };
        EXPECT_EQ(row.act(*this, w, read), row.seen);
    }
}
