#include "identity/typed_message.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace {

using json = nlohmann::json;

const std::string kEmptyHash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcdHash = "88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589";

struct PreimageRow {
    const char* name;
    const char* message;
    std::string preimage;
};

TEST(TypedMessage, CanonicalPreimage) {
    const PreimageRow rows[] = {
        {"art_pair, ts in header and payload, extra keys ignored",
         R"({"protocol":"KV-Art","type":"art_pair","channel":"Art","handle":"@Alice","actor":" $Alice ",
             "ts":1700000000,"pic":"AB_0","cert":"CD_0","sha256":"EF","owner":"02AA","sig":"x","note":"y"})",
         "KV1|art_pair|art|alice|alice|1700000000|ab_0|cd_0|ef|02aa|1700000000"},
        {"no ts reads 0 twice", R"({"type":"art_hide","channel":"art","handle":"a","actor":"a","spot":"AS1"})",
         "KV1|art_hide|art|a|a|0|as1|||0"},
        {"location stands in for a channel that is not text",
         R"({"type":"art_gentry","channel":5,"location":" Art ","handle":"a","actor":"a","ts":"12"})",
         "KV1|art_gentry|art|a|a|12|visit|12"},
        {"neither channel nor location", R"({"type":"art_gentry","handle":"a","actor":"a","ts":3})",
         "KV1|art_gentry||a|a|3|visit|3"},
        {"two at signs keep one", R"({"type":"x","handle":"@@Bob","actor":"\t@BOB\n","enc_pub":"02FF"})",
         "KV1|x||@bob|bob|0|02ff"},
        {"trailing space matches no row", R"({"type":"art_pair ","enc_pub":"Q","pic":"p"})", "KV1|art_pair||||0|q"},
        {"capitals match no row and stay", R"({"type":"ART_PAIR","pic":"p"})", "KV1|ART_PAIR||||0|"},
        {"art_show price as number is empty; float exp truncated",
         R"({"type":"art_show","spot":"AS2","pic":"P","cert":"C","sha256":"S","price":5,"exp":-7.9,
             "pic_utxo":"PU","cert_utxo":"CU","pay_addr":"1Pay","ts":9})",
         "KV1|art_show||||9|as2|p|c|s||-7|pu|cu|1Pay|9"},
        {"price_sats as digits in a string",
         R"({"type":"art_gask","spot":"as1","pic":"p","cert":"c","price_sats":" 1500x","buyer_ord":"1Ord",
             "buyer":"BUYER","ts":1})",
         "KV1|art_gask||||1|as1|p|c|1500|1Ord|buyer|1"},
        {"arcade_score without tape", R"({"type":"arcade_score","game":"G","score":"10","week":2,"entry":"E",
             "pay_addr":"1P"})",
         "KV1|arcade_score||||0|g|10|2|e|1P"},
        {"arcade_score with tape", R"({"type":"arcade_score","game":"g","pay_addr":"1P","tape_hash":"T"})",
         "KV1|arcade_score||||0|g|0|0||1P|t"},
        {"message body keys with a gap", R"({"type":"message","pmessage1":"ab","pmessage3":"cd","pmessage":"zz"})",
         "KV1|message||||0|" + kAbcdHash},
        {"thread_reply falls back to pmessage", R"({"type":"thread_reply","pmessage":"abcd","pmessage2":""})",
         "KV1|thread_reply||||0|" + kAbcdHash},
        {"message without a body", R"({"type":"message","pmessage1":7})", "KV1|message||||0|" + kEmptyHash},
        {"admin_claim fee", R"({"type":"admin_claim","join_fee":"0.5"})", "KV1|admin_claim||||0|0.50000000"},
        {"np keeps case and hashes audio",
         R"({"type":"np","kind":"K","id":"I","n":3,"codec":"Op","mark":"M","secs":60,"audio":"abcd"})",
         "KV1|np||||0|K|I|3|Op|M|60|" + kAbcdHash},
        {"nt_ prefix with a trailing space",
         R"({"type":"nt_offer ","id":"I","trade":"T","sats":1,"fiat":2,"ccy":"USD","rail":"R","pay_addr":"1A",
             "to_addr":"1B","score":3,"side":"S","role":"R","expires":4})",
         "KV1|nt_offer||||0|I|T|1|2|USD|R|1A|1B|3|S|R|4|" + kEmptyHash},
        {"react", R"({"type":"react","root":"ROOT","emoji":"Ü"})", "KV1|react||||0|root|Ü"},
        // A report signs its channel key alone, as every reader rebuilds it; the cipher binds the body.
        {"report leaves its encrypted body out",
         R"({"protocol":"PQR-Notes","type":"report","location":"art","handle":"ada","ts":7,"enc":"abcd",
             "enc_pub":"02AB"})",
         "KV1|report|art|ada||7|02ab"},
        {"non-ASCII bytes keep their case", R"({"type":"x","channel":"ÄRT","enc_pub":"É"})", "KV1|x|Ärt|||0|É"},
        {"web_gate keeps dollar and spaces",
         R"({"type":"web_gate","handle":"$Al","origin":"https://X","path":"/P","message":"Hi","nonce":"N",
             "channel":"c","actor":"a","ts":5})",
         "KV1|web_gate|$al|https://X|/P|Hi|N"},
        {"n_button drops one at sign only", R"({"type":"n_button","handle":" @Al"})", "KV1|n_button| @al||||"},
        {"array instead of object", R"([1,2])", "KV1|||||0|"},
        {"text instead of object", R"("art_pair")", "KV1|||||0|"},
    };
    for (const PreimageRow& row : rows) {
        SCOPED_TRACE(row.name);
        const json msg = json::parse(row.message);
        EXPECT_EQ(canonical_message_preimage(msg), row.preimage);
    }
}

TEST(TypedMessage, IntegerField) {
    struct Row {
        const char* value;
        std::int64_t expected;
    };
    const Row rows[] = {
        {"42", 42},
        {"-42", -42},
        {"18446744073709551615", 0}, // above the signed range: not wrapped to -1
        {"9223372036854775807", INT64_MAX},
        {"-3.99", -3},
        {"1e300", 0}, // a float beyond the range has no truncation
        {"\" \\t-17abc\"", -17},
        {"\"+5\"", 5},
        {"\"abc\"", 0},
        {"\"-\"", 0},
        {"\"9223372036854775808\"", 0},
        {"\"-9223372036854775808\"", INT64_MIN},
        {"true", 0},
        {"null", 0},
        {"[1]", 0},
        {"{\"a\":1}", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        json msg = json::object();
        msg["ts"] = json::parse(row.value);
        EXPECT_EQ(msg_field_int(msg, "ts"), row.expected);
    }
    EXPECT_EQ(msg_field_int(json::object(), "ts"), 0);
    EXPECT_EQ(msg_field_int(json::parse("[5]"), "ts"), 0);
}

TEST(TypedMessage, JoinFee) {
    struct Row {
        const char* value; // nullptr: no join_fee key
        const char* expected;
    };
    const Row rows[] = {
        {"0.25", "0.25000000"},
        {"0", "0.00001000"},
        {"3", "1.00000000"},
        {"\"0.5\"", "0.50000000"},
        {"\" +0.5xyz\"", "0.50000000"},
        {"\"-2\"", "0.00001000"},
        {"\".5\"", "0.50000000"},
        {"\"abc\"", ""},
        {"\"nan\"", ""},
        {"\"inf\"", ""},
        {"\"0x1p-2\"", "0.00001000"},
        {"\"1e999\"", ""},
        {"true", ""},
        {"null", ""},
        {nullptr, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value ? row.value : "missing");
        json msg = json::object();
        if (row.value) msg["join_fee"] = json::parse(row.value);
        EXPECT_EQ(format_join_fee(msg), row.expected);
    }
}

TEST(TypedMessage, StringFieldWithAlternate) {
    const json msg = json::parse(R"({"pubkey":"","publicKey":"02aa","sig":5,"signature":"c2ln","n":null})");
    EXPECT_EQ(msg_field_str(msg, "pubkey", "publicKey"), ""); // an empty text is still the field
    EXPECT_EQ(msg_field_str(msg, "sig", "signature"), "c2ln");
    EXPECT_EQ(msg_field_str(msg, "missing", "publicKey"), "02aa");
    EXPECT_EQ(msg_field_str(msg, "n"), "");
    EXPECT_EQ(msg_field_str(json::parse("\"text\""), "pubkey", "publicKey"), "");
}

TEST(TypedMessage, HandleNormalForm) {
    EXPECT_EQ(msg_trim("\v\f a b \r\n"), "a b");
    EXPECT_EQ(msg_norm_handle("  $ Bob "), "Bob");
    EXPECT_EQ(msg_norm_handle("@@b"), "@b");
    EXPECT_EQ(msg_norm_handle(" \t"), "");
    EXPECT_EQ(message_preimage(" t ", " C ", "@H", "$A", -5, "p"), "KV1|t|c|h|a|-5|p");
}

TEST(TypedMessage, BarInASignedFieldIsAmbiguous) {
    const struct {
        const char* message;
        bool unambiguous;
    } rows[] = {
        {R"({"type":"art_owner","pic":"p","cert":"c","owner":"o","prev":"r","ts":1})", true},
        {R"({"type":"art_owner","pic":"p|c","cert":"o","owner":"r","ts":1})", false},
        {R"({"type":"art_owner","handle":"a|b","pic":"p","ts":1})", false},
        {R"({"type":"art_owner","pic":"p","note":"not|signed","ts":1})", true},
        {R"({"type":"message","pmessage":"hashed|body"})", true},
        {R"({"type":"art_pa|ir","pic":"p"})", false},
        {R"({"type":"web_gate","handle":"a","origin":"o","path":"/p","message":"hi|there","nonce":"n"})", false},
        {R"({"type":"arcade_score","game":"g","tape_hash":"|"})", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(preimage_fields_unambiguous(json::parse(row.message)), row.unambiguous);
    }
}

} // namespace
