#include "identity/paymail_claim.h"

#include <gtest/gtest.h>

TEST(PaymailClaimText, CarriesTheOrdinalsAndBnPartsOnlyWhenKnown) {
    struct Row {
        const char* name;
        const char* ord;
        const char* bn_pub;
        const char* bn_address;
        const char* text;
    } rows[] = {
        {"everything", "1Ord", "02bn", "1Bn", "KV-PAYMAIL-CLAIM|al|02ab|1Addr|av|1Ord|02bn|1Bn|1700"},
        {"BN key without ordinals address", "", "02bn", "1Bn", "KV-PAYMAIL-CLAIM|al|02ab|1Addr|av||02bn|1Bn|1700"},
        {"ordinals address only", "1Ord", "", "", "KV-PAYMAIL-CLAIM|al|02ab|1Addr|av|1Ord|1700"},
        {"half a BN key counts as none", "1Ord", "02bn", "", "KV-PAYMAIL-CLAIM|al|02ab|1Addr|av|1Ord|1700"},
        {"neither", "", "", "", "KV-PAYMAIL-CLAIM|al|02ab|1Addr|av|1700"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(paymail_claim_text("al", "02ab", "1Addr", "av", row.ord, row.bn_pub, row.bn_address, 1700), row.text);
    }
}

TEST(PaymailClaimReply, ErrorTextOnlyFromAnObjectWithATextError) {
    struct Row {
        const char* body;
        const char* error;
    } rows[] = {
        {R"({"error":"alias taken"})", "alias taken"},
        {R"({"error":""})", ""},
        {R"({"error":7})", ""},
        {R"(["error"])", ""},
        {R"({"error":"trunc)", ""},
        {"<html>502</html>", ""},
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body);
        EXPECT_EQ(reply_error_text(row.body), row.error);
    }
}

TEST(PaymailClaim, RefusesAnEmptyAliasOrKeyBeforeSigning) {
    EXPECT_EQ(claim_paymail(" @\r\n", "02ab", "1Addr", "", ""), "need alias and pubkey");
    EXPECT_EQ(claim_paymail("alice", "", "1Addr", "", ""), "need alias and pubkey");
}
