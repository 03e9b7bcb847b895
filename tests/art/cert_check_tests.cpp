#include "art/cert_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using nlohmann::json;

namespace {

const std::string kArt = std::string(64, 'a') + "_0";
const std::string kCert = std::string(64, 'c') + "_0";
const std::string kSha(64, 'e');
const std::string kAlice = "02" + std::string(64, '1');
const std::string kBob = "03" + std::string(64, '2');
const std::string kPairWatch = "1PairWatchAddress";
const std::string kTitleWatch = "1TitleWatchAddress";

WatchRecord pair_record(char label, json fields, std::vector<std::string> paid = {kPairWatch, kTitleWatch}) {
    WatchRecord w;
    w.txid = std::string(64, label);
    w.ts = label;
    w.msg = {{"type", "art_pair"}, {"pic", kArt},     {"cert", kCert},
             {"sha256", kSha},     {"owner", kAlice}, {"pubkey", kAlice}};
    for (auto& item : fields.items())
        w.msg[item.key()] = item.value();
    json vout = json::array();
    for (const std::string& a : paid)
        vout.push_back({{"valueSat", 1}, {"scriptPubKey", {{"addresses", {a}}}}});
    w.tx = {{"vout", vout}};
    return w;
}

char label_of(const WatchRecord* r) {
    return r ? r->txid[0] : '-';
}

} // namespace

TEST(PairLookup, NewestPairOfTheArtworkPayingBothWatches) {
    struct Row {
        const char* name;
        std::vector<WatchRecord> records;
        char of_artwork;
    } rows[] = {
        {"one good pair", {pair_record('1', json::object())}, '1'},
        {"newest of two", {pair_record('1', json::object()), pair_record('2', {{"handle", "x"}})}, '2'},
        {"fields compared after lower-casing",
         {pair_record('1', {{"pic", std::string(64, 'A') + "_0"}, {"sha256", std::string(64, 'E')}})},
         '1'},
        {"owner that is not the signer", {pair_record('1', {{"owner", kBob}})}, '1'},
        {"unsigned", {pair_record('1', {{"pubkey", json()}})}, '1'},
        {"another certificate for the same artwork", {pair_record('1', {{"cert", std::string(64, 'd')}})}, '1'},
        {"another hash", {pair_record('1', {{"sha256", std::string(64, 'f')}})}, '1'},
        {"bare artwork id is another id here", {pair_record('1', {{"pic", std::string(64, 'a')}})}, '-'},
        {"paid only the pair watch", {pair_record('1', json::object(), {kPairWatch})}, '-'},
        {"paid only the title watch", {pair_record('1', json::object(), {kTitleWatch})}, '-'},
        {"not a pair", {pair_record('1', {{"type", "art_owner"}})}, '-'},
        {"fields of the wrong JSON type", {pair_record('1', {{"pic", 7}, {"cert", json::array()}})}, '-'},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(label_of(newest_pair_of_artwork(row.records, kArt, kPairWatch, kTitleWatch)), row.of_artwork);
    }
}
