#include "art/watch_kept.h"

#include "chain/tx.h"
#include "fakes/fake_clock.h"
#include "identity/typed_message.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <limits>

using nlohmann::json;

namespace {

const std::string kKey = "https://woc.test|https://platform.test|otx";

// A transaction carrying a signed record, as a watch read keeps it.
struct RecordTx {
    std::string txid;
    std::string text;
};

// r and s of a DER signature, each left-padded to 32 bytes.
std::array<std::uint8_t, 64> der_to_rs(const Bytes& der) {
    std::array<std::uint8_t, 64> rs{};
    std::size_t pos = 2;
    for (int part = 0; part < 2 && pos + 2 <= der.size(); ++part) {
        std::size_t len = der[pos + 1], start = pos + 2;
        pos = start + len;
        for (; len > 32; --len)
            ++start;
        std::copy(der.begin() + static_cast<std::ptrdiff_t>(start),
                  der.begin() + static_cast<std::ptrdiff_t>(start + len),
                  rs.begin() + static_cast<std::ptrdiff_t>(part * 32 + 32 - len));
    }
    return rs;
}

void push_output(Bytes& raw, json& vout, const std::string& data) {
    Bytes script = {0x00, 0x6a};
    append_push_data(script, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    append_u64_le(raw, 0);
    append_varint(raw, script.size());
    raw.insert(raw.end(), script.begin(), script.end());
    vout.push_back({{"value", 0}, {"n", vout.size()}, {"scriptPubKey", {{"hex", to_hex(script)}}}});
}

// A record of `type` signed by the key of 32 bytes 0x11 (over another time when `forged`), in a
// transaction spending `spent`:0 whose text is about `pad` bytes longer than the record's own.
RecordTx record_tx(const std::string& type, std::int64_t height, char spent, std::size_t pad = 0, bool forged = false) {
    json msg = {{"protocol", "KV-Art"}, {"type", type},        {"location", "art"},  {"handle", "alice"},
                {"actor", "alice"},     {"ts", 1000 + height}, {"pic", hex_id('c')}, {"owner", "alice@x"}};
    const TestKey key = test_key_from_byte(0x11);
    const Hash256 digest = bitcoin_message_digest(canonical_message_preimage(msg));
    Bytes der;
    EXPECT_TRUE(ecdsa_sign_der(key.priv, digest.data(), der));
    const std::array<std::uint8_t, 64> rs = der_to_rs(der);
    msg["pubkey"] = key.pub;
    msg["sig"] = base64_encode(rs.data(), rs.size());
    if (forged) msg["ts"] = 1001 + height;

    Bytes raw;
    append_u32_le(raw, 1);
    append_varint(raw, 1);
    const Bytes prev = from_hex(hex_id(spent));
    raw.insert(raw.end(), prev.rbegin(), prev.rend());
    append_u32_le(raw, static_cast<std::uint32_t>(height));
    append_varint(raw, 0);
    append_u32_le(raw, 0xFFFFFFFFu);
    json vout = json::array();
    append_varint(raw, pad > 0 ? 2 : 1);
    push_output(raw, vout, msg.dump());
    if (pad > 0) push_output(raw, vout, std::string(pad / 2, 'x'));
    append_u32_le(raw, 0);
    const json vin = json::array(
        {{{"txid", hex_id(spent)}, {"vout", height}, {"scriptSig", {{"hex", ""}}}, {"sequence", 4294967295u}}});
    const std::string txid = compute_txid(raw);
    const json tx = {{"txid", txid}, {"version", 1}, {"locktime", 0},
                     {"vin", vin},   {"vout", vout}, {"blockheight", height}};
    return {txid, tx.dump()};
}

void keep(WatchKept& kept, const RecordTx& made, std::int64_t height) {
    kept.records[made.txid] = {height, kept.next_seq++, made.text};
}

json file_doc() {
    return json::parse(test_read_file(kept_file_path(kKey)));
}

// The document as a file; a member "pad" of n becomes n bytes of white space, written without the
// JSON library's help.
void write_doc(json doc) {
    const std::size_t pad = doc.value("pad", std::size_t(0));
    doc.erase("pad");
    std::string text = doc.dump();
    text.insert(text.size() - 1, std::string(pad, ' '));
    test_write_file(kept_file_path(kKey), text);
}

std::vector<std::int64_t> kept_heights(const WatchKept& kept, bool whole) {
    std::vector<std::int64_t> heights;
    for (const auto& [txid, record] : kept.records)
        if (record.tx.empty() != whole) heights.push_back(record.height);
    std::sort(heights.begin(), heights.end());
    return heights;
}

std::vector<std::int64_t> range_ends(const WatchKept& kept) {
    std::vector<std::int64_t> ends;
    for (const KeptRange& range : kept.ranges)
        ends.insert(ends.end(), {range.from, range.to});
    return ends;
}

struct WatchKeptTest : ::testing::Test {
    TempDataDir dir;
    FakeClock clock;
};

} // namespace

// What a load takes from a kept file another process wrote, or the disk damaged: a record only
// when its text is the transaction of its id carrying a record that verifies, of a type some
// reader reads, whole only when short; heights and times only within their bounds.
TEST_F(WatchKeptTest, LoadTakesOnlySoundRecordsAndBoundedValues) {
    const RecordTx pair = record_tx("art_pair", 100, 'a'), pass = record_tx("art_owner", 200, 'b'),
                   later = record_tx("art_pair", 300, 'c');
    const std::string note = "first pair of " + hex_id('c');
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    struct Row {
        const char* name;
        std::function<void(json&)> damage;
        std::vector<std::int64_t> whole, block_only, ranges;
        std::string note;
        bool long_file = false;
    };
    const std::vector<Row> rows = {
        {"as written", [](json&) {}, {100, 200, 300}, {}, {1, 400}, pair.txid + ":100"},
        {"another transaction's text",
         [&](json& doc) { doc["records"][pass.txid]["tx"] = later.text; },
         {100, 300},
         {},
         {1, 199},
         pair.txid + ":100"},
        {"a record that does not verify",
         [&](json& doc) {
             const RecordTx forged = record_tx("art_owner", 200, 'b', 0, true);
             doc["records"][forged.txid] = doc["records"][pass.txid];
             doc["records"][forged.txid]["tx"] = forged.text;
             doc["records"].erase(pass.txid);
         },
         {100, 300},
         {},
         {1, 199},
         pair.txid + ":100"},
        {"a type no reader reads",
         [&](json& doc) {
             const RecordTx chat = record_tx("art_chat", 250, 'd');
             doc["records"][chat.txid] = {{"h", 250}, {"n", 9}, {"tx", chat.text}};
         },
         {100, 200, 300},
         {},
         {1, 400},
         pair.txid + ":100"},
        {"a long transaction keeps its block only",
         [&](json& doc) {
             const RecordTx long_tx = record_tx("art_pair", 250, 'd', 40000);
             doc["records"][long_tx.txid] = {{"h", 250}, {"n", 9}, {"tx", long_tx.text}};
         },
         {100, 200, 300},
         {250},
         {1, 400},
         pair.txid + ":100"},
        {"a block past any chain",
         [&](json& doc) { doc["records"][pass.txid]["h"] = std::int64_t(1) << 41; },
         {100, 300},
         {},
         {},
         pair.txid + ":100"},
        {"a range ending past any chain",
         [&](json& doc) {
             doc["ranges"] = {{500, huge}, {1, 400}};
         },
         {100, 200, 300},
         {},
         {1, 400},
         pair.txid + ":100"},
        {"a note set past the year 3000",
         [&](json& doc) { doc["notes"][note]["at"] = huge - 1; },
         {100, 200, 300},
         {},
         {1, 400},
         ""},
        // The earlier form was written up to 64 MB; its notes carry over.
        {"the earlier form, past this form's bound",
         [&](json& doc) {
             doc = {{"service", kKey},
                    {"txs", {{pair.txid, {{"h", 100}}}}},
                    {"notes", {{note, pair.txid}}},
                    {"pad", kKeptFileBytes + (64u << 10)}};
         },
         {},
         {},
         {},
         pair.txid,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        platform_remove_file(kept_file_path(kKey));
        WatchKept kept;
        keep(kept, pair, 100);
        keep(kept, pass, 200);
        keep(kept, later, 300);
        kept_add_range(kept, 1, 400);
        kept.notes[note] = {pair.txid + ":100", 5};
        kept_save(kKey, kept);
        json doc = file_doc();
        row.damage(doc);
        write_doc(doc);
        kept_load(kKey, kept);
        EXPECT_EQ(kept_heights(kept, true), row.whole);
        EXPECT_EQ(kept_heights(kept, false), row.block_only);
        EXPECT_EQ(range_ends(kept), row.ranges);
        EXPECT_EQ(kept.notes.count(note) ? kept.notes[note].value : "", row.note);
        // What loaded is written again as it loaded, and loads so (a long file is read once).
        if (row.long_file) continue;
        kept_save(kKey, kept);
        WatchKept again;
        kept_load(kKey, again);
        EXPECT_EQ(kept_heights(again, true), row.whole);
        EXPECT_EQ(range_ends(again), row.ranges);
    }
}

// Two processes on one data folder: of two words on a note or a record the later stands, and a
// removal is a word too.
TEST_F(WatchKeptTest, MergeKeepsTheLaterWordOnEachNoteAndRecord) {
    const RecordTx pair = record_tx("art_pair", 100, 'a');
    WatchKept start;
    keep(start, pair, 100);
    kept_add_range(start, 1, 400);
    start.notes["n"] = {"first", 5};
    kept_save(kKey, start);

    WatchKept one, two;
    kept_load(kKey, one);
    kept_load(kKey, two);
    two.notes["n"] = {"two's", 20};
    kept_save(kKey, two);
    one.notes["n"] = {"one's, older", 10};
    // A fresh read of one finds the record gone from its block.
    clock.advance(1000);
    one.records.erase(pair.txid);
    one.dropped.insert(pair.txid);
    kept_save(kKey, one);
    WatchKept read;
    kept_load(kKey, read);
    EXPECT_EQ(read.notes["n"].value, "two's");
    // Two still holds its copy as read before; its save brings nothing back.
    clock.advance(1000);
    kept_save(kKey, two);

    kept_load(kKey, read);
    EXPECT_EQ(read.notes["n"].value, "two's");
    EXPECT_EQ(read.records.count(pair.txid), 0u);
    EXPECT_EQ(range_ends(read), (std::vector<std::int64_t>{1, 400}));

    // A read after the removal that finds the record in another block keeps it there.
    clock.advance(1000);
    keep(two, pair, 120);
    kept_save(kKey, two);
    kept_save(kKey, one);
    kept_load(kKey, read);
    ASSERT_EQ(read.records.count(pair.txid), 1u);
    EXPECT_EQ(read.records[pair.txid].height, 120);
}

// What a bound sheds first: records no note names, the largest first; removals of notes last.
TEST_F(WatchKeptTest, BoundShedsWhatNoNoteNamesLargestFirst) {
    // A stranger's fourteen long records after a remembered pair.
    {
        SCOPED_TRACE("fourteen long records");
        const RecordTx pair = record_tx("art_pair", 100, 'a');
        WatchKept kept;
        keep(kept, pair, 100);
        kept.notes["first pair of " + hex_id('c')] = {pair.txid + ":100", 5};
        for (int i = 0; i < 14; ++i)
            keep(kept, record_tx("art_pair", 101 + i, 'b', std::size_t(100) << 10), 101 + i);
        kept_add_range(kept, 1, 200);
        kept_save(kKey, kept);
        WatchKept read;
        kept_load(kKey, read);
        EXPECT_EQ(kept_heights(read, true), std::vector<std::int64_t>{100});
        EXPECT_EQ(kept_heights(read, false).size(), 14u);
        EXPECT_EQ(range_ends(read), (std::vector<std::int64_t>{1, 200}));
        EXPECT_LT(test_read_file(kept_file_path(kKey)).size(), std::size_t(64) << 10);
    }
    // Records past the byte bound: the largest no note names keep only their block; the named
    // one, larger still, and the small ones, older, stay whole.
    {
        SCOPED_TRACE("past the byte bound");
        WatchKept kept;
        const RecordTx named = record_tx("art_pair", 1, 'a', 3000);
        keep(kept, named, 1);
        kept.notes["first pair of " + hex_id('c')] = {named.txid + ":1", 5};
        for (int i = 0; i < 10; ++i)
            keep(kept, record_tx("art_owner", 2 + i, 'b'), 2 + i);
        for (int i = 0; i < 10; ++i)
            keep(kept, record_tx("art_owner", 100 + i, 'd', 2000), 100 + i);
        kept_add_range(kept, 1, 200);
        kept_bound(kept, 30000);
        const std::vector<std::int64_t> whole = kept_heights(kept, true);
        EXPECT_EQ(std::count_if(whole.begin(), whole.end(), [](std::int64_t h) { return h < 100; }), 11);
        EXPECT_GE(kept_heights(kept, false).size(), 5u);
        EXPECT_EQ(range_ends(kept), (std::vector<std::int64_t>{1, 200}));
    }
    // A removal of a note outlives newer notes past the note bound.
    {
        SCOPED_TRACE("notes past their bound");
        const std::string key = kKey + "|notes";
        WatchKept kept;
        kept.notes["removed"] = {"", 1};
        for (std::size_t i = 0; i <= kKeptNotesLimit; ++i)
            kept.notes["note " + std::to_string(i)] = {"v", std::int64_t(10 + i)};
        kept_save(key, kept);
        WatchKept read;
        kept_load(key, read);
        EXPECT_EQ(read.notes.count("removed"), 1u);
        EXPECT_EQ(read.notes.count("note 0"), 0u);
        EXPECT_EQ(read.notes.size(), kKeptNotesLimit + 1);
    }
}
