#include "shell/popup_views.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kArt = std::string(64, 'a');
const std::string kCert = std::string(63, 'c') + "F";

// The shape the ownership report is written in.
std::string sample_report() {
    return "Live owner\r\nalice@example.net\r\n"
           "\r\nCertificate\r\nArtwork\r\n" +
           kArt + "\r\n\r\nCertificate\r\n" + kCert +
           "\r\n\r\nArtwork Title: Dawn\r\nNote: \r\n"
           "\r\nLast sale\r\n  500 sats\r\n  2024-05-01\r\n"
           "\r\nTitle\r\nCurrent owner\r\nalice@example.net\r\n";
}

TEST(PopupViews, FindHeadingLine) {
    struct Row {
        const char* text;
        const char* heading;
        std::size_t start;
        std::size_t expected;
    };
    const std::size_t none = std::string::npos;
    const Row rows[] = {
        {"Title", "Title", 0, 0},         {"Title\r\nx", "Title", 0, 0},
        {"x\nTitle\n", "Title", 0, 2},    {"Artwork Title: x\r\nTitle", "Title", 0, 18}, // inside a line does not count
        {"Titles\nTitle", "Title", 0, 7}, {" Title\n", "Title", 0, none},
        {"Title\nTitle", "Title", 1, 6},  {"", "Title", 0, none},
        {"Title", "", 0, none},           {"Title", "Title", 99, none},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(find_heading_line(row.text, row.heading, row.start), row.expected);
    }
}

TEST(PopupViews, ReportSectionsAndIds) {
    const OwnershipSections sections = split_ownership_report(sample_report());
    EXPECT_EQ(sections.live_owner, "alice@example.net");
    EXPECT_EQ(sections.artwork_id, kArt);
    EXPECT_EQ(sections.certificate_id, kCert);
    EXPECT_EQ(sections.certificate, "Artwork Title: Dawn\r\nNote: ");
    EXPECT_EQ(sections.last_sale, "500 sats\r\n2024-05-01");
    EXPECT_EQ(sections.title, "Current owner\r\nalice@example.net");

    EXPECT_EQ(report_section("a\nLast sale\n\n", "Last sale", "Title"), "");
    EXPECT_EQ(report_section("no headings", "Title", ""), "");
}

TEST(PopupViews, MalformedReports) {
    // No heading at all: the whole text is the live owner, nothing else.
    const OwnershipSections plain = split_ownership_report("No artwork or certificate uses that id.");
    EXPECT_EQ(plain.live_owner, "No artwork or certificate uses that id.");
    EXPECT_TRUE(plain.last_sale.empty());
    EXPECT_TRUE(plain.artwork_id.empty());

    // An id one digit short, or not hex, stays in the text.
    const std::string short_id =
        "Certificate\r\nArtwork\r\n" + kArt.substr(1) + "\r\nCertificate\r\n" + std::string(63, 'c') + "g\r\n";
    const OwnershipSections kept = split_ownership_report(short_id);
    EXPECT_TRUE(kept.artwork_id.empty());
    EXPECT_TRUE(kept.certificate_id.empty());
    EXPECT_EQ(kept.certificate, "Artwork\r\n" + kArt.substr(1) + "\r\nCertificate\r\n" + std::string(63, 'c') + "g");

    // Truncated: a label on the last line, a heading with nothing under it.
    std::vector<std::string> lines = {"x", "Artwork"};
    EXPECT_EQ(take_labelled_id(lines, "Artwork"), "");
    EXPECT_EQ(lines.size(), 2u);
    const OwnershipSections cut = split_ownership_report("Live owner\r\n");
    EXPECT_EQ(cut.live_owner, "Live owner\r\n");
    const OwnershipSections headings_only = split_ownership_report("Live owner\r\nbob\r\nTitle");
    EXPECT_EQ(headings_only.live_owner, "bob");
    EXPECT_EQ(headings_only.title, "");
}

TEST(PopupViews, TakeLabelledIdDropsOneBlankLine) {
    std::vector<std::string> lines = {"Artwork", kArt, "", "", "rest"};
    EXPECT_EQ(take_labelled_id(lines, "Artwork"), kArt);
    EXPECT_EQ(lines, (std::vector<std::string>{"", "rest"}));
}

TEST(PopupViews, CheckRowHeights) {
    struct Row {
        int spare;
        int row;
        int last_row;
    };
    const Row rows[] = {
        {200, 64, 74}, {201, 64, 56}, {300, 64, 56}, {345, 64, 56},
        {346, 56, 74}, {377, 63, 77}, {378, 64, 74}, {-50, 64, 74},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.spare);
        const CheckRowHeights heights = check_row_heights(row.spare);
        EXPECT_EQ(heights.row, row.row);
        EXPECT_EQ(heights.last_row, row.last_row);
    }
}

TEST(PopupViews, InfoTableRows) {
    EXPECT_EQ(info_row_height(800, 9), 70);
    EXPECT_EQ(info_row_height(600, 9), 57);
    EXPECT_EQ(info_row_height(300, 9), 54);
    EXPECT_EQ(info_row_height(300, 0), 54);
    ASSERT_EQ(help_rows().size(), 9u);
    ASSERT_EQ(terms_rows().size(), 6u);
    EXPECT_EQ(help_rows()[0].title, "Connect");
    EXPECT_EQ(terms_rows()[5].text, "These terms are governed by the laws of England and Wales.");
}

TEST(PopupViews, PairFoundSublines) {
    EXPECT_EQ(pair_found_subline(true, true), "You hold the Authentic Certificate for this artwork.");
    EXPECT_EQ(pair_found_subline(false, true),
              "The pair is signed and you are the owner. This wallet does not hold both coins.");
    EXPECT_EQ(pair_found_subline(false, false), "The pair is signed. This wallet does not hold both coins.");
}

} // namespace
