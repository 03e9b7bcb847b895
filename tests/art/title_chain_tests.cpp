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

TEST(TitleChainWalk, AcceptsOnlyTheStepsOfTheTitle) {
    struct Row {
        const char* name;
        std::vector<Rec> records;
        std::string accepted; // labels of the accepted rows, in order
    } rows[] = {
        {"no record names the artwork", {{'1', 10, "art_pair", kAlice, kAlice, 0, kBoth, std::string(64, 'f')}}, ""},
        {"pair then owner then owner",
         {{'1', 10, "art_pair", kAlice, kAlice},
          {'2', 20, "art_owner", kBob, kAlice, '1', kTitle},
          {'3', 30, "art_owner", kCarol, kBob, '2', kTitle}},
         "123"},
        {"pair not signed by its owner is skipped, a later one starts",
         {{'1', 10, "art_pair", kAlice, kBob}, {'2', 20, "art_pair", kBob, kBob}},
         "2"},
        {"the older of two pairs starts, whoever signed the other",
         {{'2', 20, "art_pair", kBob, kBob}, {'1', 20, "art_pair", kAlice, kAlice}, {'0', 30, "art_pair", kBob, kBob}},
         "1"},
        {"stale prev and a second owner record on the same prev are skipped",
         {{'1', 10, "art_pair", kAlice, kAlice},
          {'2', 20, "art_owner", kBob, kAlice, '1', kTitle},
          {'3', 30, "art_owner", kCarol, kAlice, '1', kTitle},
          {'4', 40, "art_owner", kCarol, kBob, '1', kTitle}},
         "12"},
        {"owner record signed by the new owner is skipped",
         {{'1', 10, "art_pair", kAlice, kAlice}, {'2', 20, "art_owner", kBob, kBob, '1', kTitle}},
         "1"},
        {"owner record older than the pair is skipped",
         {{'2', 5, "art_owner", kBob, kAlice, '1', kTitle}, {'1', 10, "art_pair", kAlice, kAlice}},
         "1"},
        {"owner record paying only the pair watch is skipped, the walk goes on",
         {{'1', 10, "art_pair", kAlice, kAlice},
          {'2', 20, "art_owner", kBob, kAlice, '1', kPair},
          {'3', 30, "art_owner", kCarol, kAlice, '1', kTitle}},
         "13"},
        {"pair paying only the title watch counts", {{'1', 10, "art_pair", kAlice, kAlice, 0, kTitle}}, "1"},
        {"pair paying only the pair watch counts", {{'1', 10, "art_pair", kAlice, kAlice, 0, kPair}}, "1"},
        {"pair paying neither watch or without outputs is skipped",
         {{'1', 10, "art_pair", kAlice, kAlice, 0, kOther}, {'2', 20, "art_pair", kBob, kBob, 0, kNoVout}},
         ""},
        {"other types and empty owners are skipped",
         {{'1', 10, "art_hide", kAlice, kAlice}, {'2', 20, "art_pair", "", kAlice}, {'3', 30, "art_pair", kBob, kBob}},
         "3"},
        {"pic given bare, with _0 or with _1 is the same artwork",
         {{'1', 10, "art_pair", kAlice, kAlice, 0, kBoth, kArt},
          {'2', 20, "art_owner", kBob, kAlice, '1', kTitle, kArt + "_1"},
          {'3', 30, "art_owner", kCarol, kBob, '2', kTitle, "  " + kArt + "_0 "}},
         "123"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<KvArtTitleRow> chain{KvArtTitleRow{}};
        walk_title_records(make_all(row.records), kArt, kTitleWatch, kPairWatch, chain, nullptr);
        std::string labels;
        for (const KvArtTitleRow& step : chain)
            labels += step.txid[0];
        EXPECT_EQ(labels, row.accepted);
    }
}

TEST(TitleChainWalk, CertificateOfTheFirstPairEvenWhenRejected) {
    struct Row {
        const char* name;
        std::vector<Rec> records;
        std::string cert;
    } rows[] = {
        {"first pair rejected",
         {{'1', 10, "art_pair", kAlice, kBob}, {'2', 20, "art_pair", kBob, kBob, 0, kBoth, kArt, std::string(64, 'd')}},
         std::string(64, 'c')},
        {"damaged certificate of the first pair is passed over",
         {{'1', 10, "art_pair", kAlice, kAlice, 0, kBoth, kArt, "xyz"},
          {'2', 20, "art_pair", kBob, kBob, 0, kBoth, kArt, std::string(64, 'D')}},
         std::string(64, 'd')},
        {"no pair", {{'2', 20, "art_owner", kBob, kAlice, '1'}}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string cert;
        std::vector<KvArtTitleRow> chain;
        walk_title_records(make_all(row.records), kArt, kTitleWatch, kPairWatch, chain, &cert);
        EXPECT_EQ(cert, row.cert);
    }
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

    // A good certificate on the title watch's copy stays as it is.
    std::vector<WatchRecord> good = make_all({{'1', 10, "art_pair", kAlice, kAlice}});
    merge_pair_records(good, make_all({{'1', 10, "art_pair", kAlice, kAlice, 0, kBoth, kArt, std::string(64, 'b')}}),
                       kArt);
    ASSERT_EQ(good.size(), 1u);
    EXPECT_EQ(good[0].msg["cert"], kCert);
}
