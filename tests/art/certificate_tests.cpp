#include "art/certificate.h"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(CertificateForm, PicAndA64CharacterHash) {
    const std::string hash(64, 'F');
    EXPECT_TRUE(certificate_well_formed({{"pic", "x"}, {"sha256", hash}}));
    EXPECT_FALSE(certificate_well_formed({{"pic", ""}, {"sha256", hash}}));
    EXPECT_FALSE(certificate_well_formed({{"pic", 5}, {"sha256", hash}}));
    EXPECT_FALSE(certificate_well_formed({{"pic", "x"}, {"sha256", hash + "0"}}));
    EXPECT_FALSE(certificate_well_formed({{"pic", "x"}}));
    EXPECT_FALSE(certificate_well_formed(json::array({"x", hash})));
}
