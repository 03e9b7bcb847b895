#include "shell/save_image.h"

#include <gtest/gtest.h>

namespace {

TEST(SaveImage, ExtensionFromContentType) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"image/jpeg", "jpg"}, {"image/jpg", "jpg"},       {"image/webp", "webp"}, {"image/gif", "gif"},
        {"image/png", "png"},  {"application/pdf", "pdf"}, {"image/PNG", "bin"},   {"image/svg+xml", "bin"},
        {"", "bin"},           {"image/png; x=1", "bin"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        EXPECT_EQ(ext_from_mime(row.first), row.second);
    }
}

TEST(SaveImage, PdfByTypeOrLeadingBytes) {
    const Bytes pdf5 = {'%', 'P', 'D', 'F', '-'};
    const Bytes pdf4 = {'%', 'P', 'D', 'F'};
    EXPECT_TRUE(save_result_is_pdf("image/png", pdf5));
    EXPECT_FALSE(save_result_is_pdf("image/png", pdf4));
    EXPECT_TRUE(save_result_is_pdf("application/pdf", Bytes()));
    EXPECT_FALSE(save_result_is_pdf("application/PDF", Bytes()));
}

TEST(SaveImage, ProposedFileName) {
    const std::vector<std::pair<std::string, std::wstring>> rows = {
        {"Sunrise", L"Sunrise.png"},
        {"", L"artwork.png"},
        {"a\\b/c:d*e?f\"g<h>i|j", L"a_b_c_d_e_f_g_h_i_j.png"},
        {"tab\there\nline", L"tab_here_line.png"},
        {"caf\xc3\xa9", L"caf\u00e9.png"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        EXPECT_EQ(proposed_file_name(row.first, "png"), row.second);
    }
}

TEST(SaveImage, LongNameKeepsItsExtensionAndWholeCharacters) {
    const std::wstring plain = proposed_file_name(std::string(400, 'x'), "webp");
    EXPECT_EQ(plain.size(), 259u);
    EXPECT_EQ(plain.substr(plain.size() - 5), L".webp");

    // 254 ASCII characters then an emoji (a surrogate pair) that would straddle the cut.
    const std::string name = std::string(254, 'y') + "\xf0\x9f\x8e\xa8" + "tail";
    const std::wstring cut = proposed_file_name(name, "webp");
    EXPECT_LE(cut.size(), 259u);
    EXPECT_EQ(cut, std::wstring(254, L'y') + L".webp");
}

} // namespace
