#include "shell/report_panel.h"

#include "wallet/crypto.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace {

TEST(ReportPanel, TextIsTrimmedAndLimitedInBytes) {
    struct Row {
        const char* name;
        std::string text;
        std::string trimmed;
        bool ok;
    };
    const std::string two_byte = "\xc3\xa9";
    std::string thousand_and_one;
    for (int i = 0; i < 1001; ++i)
        thousand_and_one += two_byte;
    const std::vector<Row> rows = {
        {"blanks only", " \t\r\n  \n", "", false},
        {"empty", "", "", false},
        {"inner blanks stay", "\n  a b\tc \r\n", "a b\tc", true},
        {"2000 ascii", std::string(2000, 'a'), std::string(2000, 'a'), true},
        {"2001 ascii", std::string(2001, 'a'), std::string(2001, 'a'), false},
        {"blanks do not count", "  " + std::string(2000, 'a') + "\n\n", std::string(2000, 'a'), true},
        {"1001 two-byte characters", thousand_and_one, thousand_and_one, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string trimmed = trim_report_text(row.text);
        EXPECT_EQ(trimmed, row.trimmed);
        EXPECT_EQ(report_text_acceptable(trimmed), row.ok);
    }
}

TEST(ReportPanel, MessageFields) {
    const TypedMessage msg = build_report_message("ada", 1700000000, "Zm9v", "02ab");
    EXPECT_EQ(msg.dump(), "{\"app\":\"Corvane\",\"enc\":\"Zm9v\",\"enc_pub\":\"02ab\",\"handle\":\"ada\",\"location\":"
                          "\"art\",\"protocol\":\"PQR-Notes\",\"to_handle\":\"orrinvask\",\"ts\":1700000000,\"type\":"
                          "\"report\"}");
}

TEST(ReportPanel, EncryptionNeedsUsableKeys) {
    const std::string generator = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798";
    const std::string priv = std::string(62, '0') + "2a";
    struct Row {
        const char* name;
        std::string priv;
        std::string peer;
        bool ok;
    };
    const std::vector<Row> rows = {
        {"usable", priv, generator, true},
        {"private key truncated", priv.substr(0, 40), generator, false},
        {"private key zero", std::string(64, '0'), generator, false},
        {"private key not hex", std::string(64, 'z'), generator, false},
        {"peer truncated", priv, generator.substr(0, 40), false},
        {"peer not on the curve", priv, "02" + std::string(64, '0'), false},
        {"peer empty", priv, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ChannelKeys keys;
        keys.own_pub = "02ab";
        keys.own_priv = row.priv;
        keys.peer_pub = row.peer;
        std::string encrypted;
        std::string error;
        EXPECT_EQ(encrypt_report_text(keys, "hello", encrypted, error), row.ok);
        EXPECT_EQ(encrypted.empty(), !row.ok);
        EXPECT_EQ(error.empty(), row.ok);
        if (!row.ok) continue;
        Bytes sealed;
        ASSERT_TRUE(base64_decode(encrypted, sealed));
        EXPECT_EQ(sealed.size(), 12u + 5u + 16u); // nonce, text, tag
        EXPECT_EQ(std::string(sealed.begin() + 12, sealed.begin() + 17).find("hello"), std::string::npos);
        std::string again;
        ASSERT_TRUE(encrypt_report_text(keys, "hello", again, error));
        EXPECT_NE(again, encrypted); // a fresh nonce every time
    }
}

} // namespace
