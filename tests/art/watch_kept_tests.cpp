#include "art/watch/kept.h"

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
#include <cstdio>
#include <functional>
#include <limits>

using nlohmann::json;

namespace {

const std::string kKey = "https://woc.test|https://platform.test|otx";
const std::string kNote = "first pair of " + hex_id('c');

struct RecordTx {
    std::string txid;
    std::string text;
};

// A transaction spending `spent`:`height` whose first output carries a record of `type` signed by
// the key of 32 bytes 0x11 (over another time when `forged`); a second output, when `pad` is
// given, makes its text about `pad` bytes longer.
RecordTx record_tx(const std::string& type, std::int64_t height, char spent, std::size_t pad = 0, bool forged = false) {
    json msg = {{"protocol", "KV-Art"}, {"type", type},        {"location", "art"}, {"handle", "alice"},
                {"actor", "alice"},     {"ts", 1000 + height}, {"pic", hex_id('c')}};
    const TestKey key = test_key_from_byte(0x11);
    const Hash256 digest = bitcoin_message_digest(canonical_message_preimage(msg));
    Bytes der;
    EXPECT_TRUE(ecdsa_sign_der(key.priv, digest.data(), der));
    // r and s of the DER signature, each left-padded to 32 bytes.
    std::array<std::uint8_t, 64> rs{};
    for (std::size_t part = 0, pos = 2; part < 2; ++part) {
        const std::size_t len = der[pos + 1], skip = len > 32 ? len - 32 : 0;
        std::copy(der.begin() + pos + 2 + skip, der.begin() + pos + 2 + len, rs.begin() + part * 32 + 32 - len + skip);
        pos += 2 + len;
    }
    msg["pubkey"] = key.pub;
    msg["sig"] = base64_encode(rs.data(), rs.size());
    if (forged) msg["ts"] = 1001 + height;

    TxInput in;
    in.txid = hex_id(spent);
    in.vout = static_cast<std::uint32_t>(height);
    const std::string text = msg.dump();
    std::vector<TxOutput> outs = {{0, op_return_script(Bytes(text.begin(), text.end()))}};
    if (pad > 0) outs.push_back({0, op_return_script(Bytes(pad / 2, 'x'))});
    json vout = json::array();
    for (const TxOutput& out : outs)
        vout.push_back({{"value", 0}, {"n", vout.size()}, {"scriptPubKey", {{"hex", to_hex(out.script)}}}});
    const json vin = {{{"txid", in.txid}, {"vout", height}, {"scriptSig", {{"hex", ""}}}, {"sequence", 4294967295u}}};
    const std::string txid = compute_txid(serialize_tx({in}, outs, false));
    return {txid, json{{"txid", txid}, {"version", 1}, {"locktime", 0}, {"vin", vin}, {"vout", vout}}.dump()};
}

void keep(WatchKept& kept, const RecordTx& made, std::int64_t height) {
    kept.records[made.txid] = {height, kept.next_seq++, made.text};
}

std::string joined(std::vector<std::int64_t> numbers) {
    std::sort(numbers.begin(), numbers.end());
    std::string text;
    for (std::int64_t n : numbers)
        text += (text.empty() ? "" : " ") + std::to_string(n);
    return text;
}

// What a kept watch holds, in brief: the blocks of whole records | of records kept by their block
// only | the ranges | the pair's note, with the pair's id shown as "pair".
std::string summary(const WatchKept& kept, const std::string& pair = "") {
    std::vector<std::int64_t> whole, block, ranges;
    for (const auto& [txid, record] : kept.records)
        (record.tx.empty() ? block : whole).push_back(record.height);
    for (const KeptRange& range : kept.ranges)
        ranges.insert(ranges.end(), {range.from, range.to});
    const auto note = kept.notes.find(kNote);
    std::string value = note == kept.notes.end() ? "none" : note->second.value;
    if (!pair.empty() && value.compare(0, 64, pair) == 0) value = "pair" + value.substr(64);
    return joined(whole) + " | " + joined(block) + " | " + joined(ranges) + " | " + value;
}

// The payments and records of a kept file of the earlier form, as that form wrote them: 200,000
// transactions (its most) by block, those carrying a record (a copy of `record`) with their whole
// transaction, as many as bring the file to about `bytes`.
std::string earlier_txs(const std::string& record, std::size_t bytes) {
    constexpr std::size_t kTxs = 200000, kPaymentBytes = 80;
    const std::size_t records = (bytes - kTxs * kPaymentBytes) / (record.size() + 6);
    std::string text = ",\"txs\":{";
    text.reserve(bytes + (1u << 20));
    char entry[96];
    for (std::size_t i = 0; i < kTxs; ++i) {
        std::snprintf(entry, sizeof entry, "%s\"%064zx\":{\"h\":%zu", i ? "," : "", i, 800000 + i);
        text += entry;
        if (i * records / kTxs != (i + 1) * records / kTxs) text += ",\"tx\":" + record;
        text += '}';
    }
    return text + '}';
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
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    const auto add = [](json& doc, const RecordTx& made, std::int64_t height) {
        doc["records"][made.txid] = {{"h", height}, {"n", 9}, {"tx", made.text}};
    };
    const struct {
        const char* name;
        std::function<void(json&)> damage;
        std::string held;
    } rows[] = {
        {"as written", [](json&) {}, "100 200 300 |  | 1 400 | pair:100"},
        {"another transaction's text", [&](json& doc) { doc["records"][pass.txid]["tx"] = later.text; },
         "100 300 |  | 1 199 | pair:100"},
        {"a record that does not verify",
         [&](json& doc) {
             doc["records"].erase(pass.txid);
             add(doc, record_tx("art_owner", 200, 'b', 0, true), 200);
         },
         "100 300 |  | 1 199 | pair:100"},
        {"a type no reader reads", [&](json& doc) { add(doc, record_tx("art_chat", 250, 'd'), 250); },
         "100 200 300 |  | 1 400 | pair:100"},
        {"a long transaction", [&](json& doc) { add(doc, record_tx("art_pair", 250, 'd', 40000), 250); },
         "100 200 300 | 250 | 1 400 | pair:100"},
        {"a block past any chain", [&](json& doc) { doc["records"][pass.txid]["h"] = std::int64_t(1) << 41; },
         "100 300 |  |  | pair:100"},
        {"a range ending past any chain",
         [&](json& doc) {
             doc["ranges"] = {{500, huge}, {1, 400}};
         },
         "100 200 300 |  | 1 400 | pair:100"},
        {"a note set past the year 3000", [&](json& doc) { doc["notes"][kNote]["at"] = huge - 1; },
         "100 200 300 |  | 1 400 | none"},
        // The earlier form was written up to 64 MB; its notes carry over.
        {"the earlier form near its own bound, as it was written",
         [&](json& doc) {
             doc = {{"service", kKey}, {"notes", {{kNote, pair.txid}}}};
         },
         " |  |  | pair"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = kept_file_path(kKey);
        platform_remove_file(path);
        WatchKept kept;
        keep(kept, pair, 100);
        keep(kept, pass, 200);
        keep(kept, later, 300);
        kept_add_range(kept, 1, 400);
        kept.notes[kNote] = {pair.txid + ":100", 5};
        kept_save(kKey, kept);
        json doc = json::parse(test_read_file(path));
        row.damage(doc);
        std::string text = doc.dump();
        const bool earlier = !doc.contains("version");
        if (earlier) text.insert(text.size() - 1, earlier_txs(later.text, (std::size_t(638) << 20) / 10));
        test_write_file(path, text);
        kept_load(kKey, kept);
        EXPECT_EQ(summary(kept, pair.txid), row.held);
        // What loaded is written again as it loaded, and loads so (a long file is read once).
        if (earlier) continue;
        kept_save(kKey, kept);
        kept_load(kKey, kept);
        EXPECT_EQ(summary(kept, pair.txid), row.held);
    }
}

// Two processes on one data folder: of two words on a note or a record the later stands, and a
// removal is a word too.
TEST_F(WatchKeptTest, MergeKeepsTheLaterWordOnEachNoteAndRecord) {
    const RecordTx pair = record_tx("art_pair", 100, 'a');
    WatchKept one, two, read;
    keep(one, pair, 100);
    kept_add_range(one, 1, 400);
    one.notes[kNote] = {"first", 5};
    kept_save(kKey, one);
    kept_load(kKey, two);
    two.notes[kNote] = {"two's", 20};
    kept_save(kKey, two);
    one.notes[kNote] = {"one's, older", 10};
    // A fresh read of one finds the record gone from its block.
    clock.advance(1000);
    one.records.erase(pair.txid);
    one.dropped.insert(pair.txid);
    kept_save(kKey, one);
    kept_load(kKey, read);
    EXPECT_EQ(summary(read), " |  | 1 400 | two's");
    // Two still holds its copy as read before; its save brings nothing back.
    clock.advance(1000);
    kept_save(kKey, two);
    kept_load(kKey, read);
    EXPECT_EQ(summary(read), " |  | 1 400 | two's");
    // A read after the removal that finds the record in another block keeps it there.
    clock.advance(1000);
    keep(two, pair, 120);
    kept_save(kKey, two);
    kept_save(kKey, one);
    kept_load(kKey, read);
    EXPECT_EQ(summary(read), "120 |  | 1 400 | two's");
    // A read of one that began before two's read found the record in its old block, and it saves
    // after two kept the block the chain moved it to: the later read's block stands.
    const std::int64_t one_began = clock_system_ms();
    clock.advance(1000);
    keep(two, pair, 141);
    kept_save(kKey, two);
    clock.advance(1000);
    one.records[pair.txid] = {137, one.next_seq++, pair.text, 0, one_began};
    kept_save(kKey, one);
    kept_load(kKey, read);
    EXPECT_EQ(summary(read), "141 |  | 1 400 | two's");
}

// What a bound sheds first: records no note names, the largest first; removals of notes last.
TEST_F(WatchKeptTest, BoundShedsWhatNoNoteNamesLargestFirst) {
    const RecordTx pair = record_tx("art_pair", 1, 'a', 3000);
    WatchKept kept;
    keep(kept, pair, 1);
    kept.notes[kNote] = {pair.txid + ":1", 5};
    for (int i = 0; i < 4; ++i)
        keep(kept, record_tx("art_owner", 2 + i, 'b'), 2 + i);
    WatchKept stranger = kept;
    kept_add_range(stranger, 1, 200);
    // A stranger's fourteen long records after a remembered pair keep their blocks only.
    for (int i = 0; i < 14; ++i)
        keep(stranger, record_tx("art_pair", 101 + i, 'c', std::size_t(100) << 10), 101 + i);
    kept_save(kKey, stranger);
    kept_load(kKey, stranger);
    EXPECT_EQ(summary(stranger, pair.txid),
              "1 2 3 4 5 | 101 102 103 104 105 106 107 108 109 110 111 112 113 114 | 1 200 | pair:1");
    EXPECT_LT(test_read_file(kept_file_path(kKey)).size(), std::size_t(64) << 10);

    // Past the byte bound the largest no note names keep only their block; the named one, larger
    // still, and the small ones, older, stay whole.
    for (int i = 0; i < 6; ++i)
        keep(kept, record_tx("art_owner", 100 + i, 'd', 2000 + 200 * i), 100 + i);
    kept_bound(kept, 20000);
    EXPECT_EQ(summary(kept, pair.txid), "1 2 3 4 5 100 101 102 | 103 104 105 |  | pair:1");

    // A removal of a note outlives newer notes past the note bound.
    kept.notes["removed"] = {"", 1};
    for (std::size_t i = 0; i <= kKeptNotesLimit; ++i)
        kept.notes["note " + std::to_string(i)] = {"v", std::int64_t(10 + i)};
    kept_bound(kept, kKeptRecordBytes);
    EXPECT_EQ(kept.notes.count("removed"), 1u);
    EXPECT_EQ(kept.notes.count("note 0"), 0u);
    EXPECT_EQ(kept.notes.size(), kKeptNotesLimit + 1);
}
