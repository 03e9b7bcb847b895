#include "art/offer_tx.h"

#include <gtest/gtest.h>

#include <string>

// Offers that cannot hold a transaction are refused before any wallet or network step.
TEST(OfferText, MalformedOffersAreRefusedEarly) {
    struct Row {
        const char* name;
        std::string offer;
        const char* complete;
    } rows[] = {
        {"empty", "", "error: that offer has no signed bytes."},
        {"79 digits", std::string(79, 'a'), "error: that offer has no signed bytes."},
        {"odd count", std::string(81, '0'), "error: that offer has no signed bytes."},
        {"not hex", std::string(200, 'z'), "error: that offer has no signed bytes."},
        {"zero inputs",
         "01000000"
         "00"
         "01" +
             std::string(16, '0') +
             "00"
             "00000000" +
             std::string(60, '0'),
         "error: could not parse the offer transaction."},
        {"truncated", "0100000001" + std::string(80, 'a'), "error: could not parse the offer transaction."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(offer_payment_spent(row.offer));
        EXPECT_EQ(gallery_complete_sign_send(row.offer, "x"), row.complete);
    }
}
