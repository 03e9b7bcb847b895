#include "shell/report_panel.h"

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
    const TypedMessage msg = build_report_message("ada", 1700000000, "02ab");
    EXPECT_EQ(msg.dump(), "{\"app\":\"Corvane\",\"enc_pub\":\"02ab\",\"handle\":\"ada\",\"location\":"
                          "\"art\",\"protocol\":\"PQR-Notes\",\"to_handle\":\"orrinvask\",\"ts\":1700000000,\"type\":"
                          "\"report\"}");
}

} // namespace
