#include "art/title_chain.h"

#include "art/art_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using nlohmann::json;

namespace {

const std::string kArt(64, 'a');
const std::string kCert = std::string(64, 'c') + "_0";
const std::string kAlice = "02" + std::string(64, '1');
const std::string kBob = "03" + std::string(64, '2');
const std::string kCarol = "02" + std::string(64, '3');
const std::string kPairWatch = "1PairWatchAddress";
const std::string kTitleWatch = "1TitleWatchAddress";

enum Pays { kTitle, kPair, kBoth, kOther, kNoVout };

// A record as the watch reader hands it out; `label` makes the transaction id ("1" -> "111...").
struct Rec {
    char label = '0';
    std::int64_t ts = 0;
    const char* type = "art_pair";
    std::string owner;
    std::string signer;
    char prev = 0;
    Pays pays = kBoth;
    std::string pic = kArt + "_0";
    std::string cert = kCert;
    std::int64_t height = 0; // 0: unconfirmed
    std::int64_t listed = 0;
};

std::string txid_of(char label) {
    return std::string(64, label);
}

json output_to(const std::string& address) {
    return {{"value", 0.00000001}, {"scriptPubKey", {{"hex", "76a9"}, {"addresses", {address}}}}};
}

WatchRecord make(const Rec& r) {
    WatchRecord w;
    w.txid = txid_of(r.label);
    w.ts = r.ts;
    w.msg = {{"protocol", "KV-Art"},
             {"type", r.type},
             {"pic", r.pic},
             {"cert", r.cert},
             {"owner", r.owner},
             {"pubkey", r.signer},
             {"handle", "h" + std::string(1, r.label)}};
    if (r.prev) w.msg["prev"] = txid_of(r.prev);
    json vout = json::array();
    if (r.pays == kTitle || r.pays == kBoth) vout.push_back(output_to(kTitleWatch));
    if (r.pays == kPair || r.pays == kBoth) vout.push_back(output_to(kPairWatch));
    if (r.pays == kOther) vout.push_back(output_to("1SomeoneElse"));
    w.tx = r.pays == kNoVout ? json{{"vout", "none"}} : json{{"vout", vout}};
    if (r.height > 0) w.tx["blockheight"] = r.height;
    w.listed = r.listed;
    return w;
}

std::vector<WatchRecord> make_all(const std::vector<Rec>& recs) {
    std::vector<WatchRecord> out;
    for (const Rec& r : recs)
        out.push_back(make(r));
    sort_watch_records(out);
    return out;
}

} // namespace

std::string first_label(const std::vector<Rec>& recs) {
    const std::vector<WatchRecord> records = make_all(recs);
    // Block order in these tests: the transaction labelled '9' first, then by label downwards.
    const auto position = [](std::int64_t, const std::string& txid) -> std::int64_t {
        return txid[0] == '0' ? -1 : '9' - txid[0];
    };
    const WatchRecord* first = first_pair_in_chain(records, kArt, kTitleWatch, position);
    return first ? first->txid.substr(0, 1) : "";
}

TEST(TitleChainPair, FirstValidPairInChainOrder) {
    struct Row {
        const char* name;
        std::vector<Rec> records;
        const char* first;
    } rows[] = {
        {"no record names the artwork", {{'1', 10, "art_pair", kAlice, kAlice, 0, kBoth, std::string(64, 'f')}}, ""},
        {"an earlier block wins over an earlier signed time",
         {{'1', 1, "art_pair", kBob, kBob, 0, kBoth, kArt, kCert, 105},
          {'2', 50, "art_pair", kAlice, kAlice, 0, kBoth, kArt, kCert, 101}},
         "2"},
        {"in one block the block's order decides, not the listing",
         {{'1', 10, "art_pair", kBob, kBob, 0, kBoth, kArt, kCert, 101, 0},
          {'2', 20, "art_pair", kAlice, kAlice, 0, kBoth, kArt, kCert, 101, 1}},
         "2"},
        {"in one block a known place comes before an unknown one",
         {{'0', 10, "art_pair", kBob, kBob, 0, kBoth, kArt, kCert, 101, 0},
          {'1', 20, "art_pair", kAlice, kAlice, 0, kBoth, kArt, kCert, 101, 1}},
         "1"},
        {"a mined pair comes before an unconfirmed one listed earlier",
         {{'1', 10, "art_pair", kBob, kBob, 0, kBoth, kArt, kCert, 0, 0},
          {'2', 20, "art_pair", kAlice, kAlice, 0, kBoth, kArt, kCert, 300, 7}},
         "2"},
        {"unconfirmed pairs in listing order",
         {{'1', 10, "art_pair", kBob, kBob, 0, kBoth, kArt, kCert, 0, 3},
          {'2', 20, "art_pair", kAlice, kAlice, 0, kBoth, kArt, kCert, 0, 1}},
         "2"},
        {"a pair not signed by its owner is skipped, a later one starts",
         {{'1', 10, "art_pair", kAlice, kBob, 0, kBoth, kArt, kCert, 101},
          {'2', 20, "art_pair", kBob, kBob, 0, kBoth, kArt, kCert, 102}},
         "2"},
        {"a pair must pay the title watch, which every title read lists",
         {{'1', 10, "art_pair", kAlice, kAlice, 0, kPair, kArt, kCert, 101},
          {'2', 10, "art_pair", kAlice, kAlice, 0, kOther, kArt, kCert, 102},
          {'3', 10, "art_pair", kAlice, kAlice, 0, kNoVout, kArt, kCert, 103},
          {'4', 10, "art_pair", kAlice, kAlice, 0, kTitle, kArt, kCert, 104},
          {'5', 10, "art_pair", kAlice, kAlice, 0, kBoth, kArt, kCert, 105}},
         "4"},
        {"other types and empty owners are skipped",
         {{'1', 10, "art_owner", kAlice, kAlice, 0, kBoth, kArt, kCert, 101},
          {'2', 20, "art_pair", "", kAlice, 0, kBoth, kArt, kCert, 102},
          {'3', 30, "art_pair", kBob, kBob, 0, kBoth, kArt, kCert, 103}},
         "3"},
        {"pic given bare or with another index is the same artwork",
         {{'1', 10, "art_pair", kAlice, kAlice, 0, kBoth, "  " + std::string(64, 'A') + "_1 ", kCert, 0}},
         "1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(first_label(row.records), row.first);
    }
}

TEST(TitleChainCoins, SatoshiGoesToTheOutputAtItsPosition) {
    const auto out = [](double bsv) { return json{{"value", bsv}, {"scriptPubKey", {{"hex", "76a9"}}}}; };
    const json vout = {out(0.00000001), out(0.00000001), out(0), out(0.00005)};
    struct Row {
        std::uint64_t position;
        bool placed;
        std::uint32_t index;
        std::uint64_t offset;
    } rows[] = {
        {0, true, 0, 0},       {1, true, 1, 0},       {2, true, 3, 0},
        {4001, true, 3, 3999}, {5001, true, 3, 4999}, {5002, false, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.position);
        std::uint32_t index = 99;
        std::uint64_t offset = 99;
        EXPECT_EQ(ordinal_output(vout, row.position, index, offset), row.placed);
        if (!row.placed) continue;
        EXPECT_EQ(index, row.index);
        EXPECT_EQ(offset, row.offset);
    }
    std::uint32_t index = 0;
    std::uint64_t offset = 0;
    EXPECT_FALSE(ordinal_output(json::object(), 0, index, offset));
    EXPECT_FALSE(ordinal_output(json::array({"1"}), 0, index, offset));
    EXPECT_FALSE(ordinal_output(json::array({json{{"valueSat", -5}}, out(1)}), 0, index, offset));
    EXPECT_FALSE(ordinal_output(json::array({json{{"value", 1e30}}}), 0, index, offset));
}

TEST(TitleChainCoins, BlockHeightOfATransaction) {
    EXPECT_EQ(tx_block_height(json{{"blockheight", 812345}}), 812345);
    EXPECT_EQ(tx_block_height(json{{"blockheight", 0}}), 0);
    EXPECT_EQ(tx_block_height(json{{"blockheight", -1}}), 0);
    EXPECT_EQ(tx_block_height(json{{"blockheight", "812345"}}), 0);
    EXPECT_EQ(tx_block_height(json::array()), 0);
}

TEST(TitleChainMerge, AddsPairOnlyRecordsAndMendsDamagedCertificates) {
    std::vector<WatchRecord> title = make_all({{'2', 20, "art_owner", kBob, kAlice, '1', kTitle},
                                               {'3', 5, "art_pair", kCarol, kCarol, 0, kBoth, kArt, "bad"}});
    const std::vector<WatchRecord> pair =
        make_all({{'1', 10, "art_pair", kAlice, kAlice},
                  {'3', 5, "art_pair", kCarol, kCarol, 0, kBoth, kArt, kCert},
                  {'4', 1, "art_pair", kAlice, kAlice, 0, kBoth, std::string(64, 'e')},
                  {'5', 1, "art_show", kAlice, kAlice}});
    merge_pair_records(title, pair, kArt);
    std::string labels;
    for (const WatchRecord& r : title)
        labels += r.txid[0];
    EXPECT_EQ(labels, "312");
    EXPECT_EQ(title[0].msg["cert"], kCert);
    // What only the pair watch listed comes after everything the title watch listed.
    EXPECT_EQ(title[1].listed, 1);

    // A good certificate on the title watch's copy stays as it is.
    std::vector<WatchRecord> good = make_all({{'1', 10, "art_pair", kAlice, kAlice}});
    merge_pair_records(good, make_all({{'1', 10, "art_pair", kAlice, kAlice, 0, kBoth, kArt, std::string(64, 'b')}}),
                       kArt);
    ASSERT_EQ(good.size(), 1u);
    EXPECT_EQ(good[0].msg["cert"], kCert);
}
