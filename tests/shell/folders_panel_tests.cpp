#include "shell/folders_panel.h"

#include "shell/cert_worker.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

int width_of(const RECT& r) {
    return r.right - r.left;
}

TEST(FoldersLayout, ColumnsFollowTheClientWidth) {
    struct Row {
        int width, height, left, right_x, right, half;
    } rows[] = {
        {400, 500, 150, 178, 206, 128}, // U = 368: the candidate's minimum wins
        {300, 300, 140, 168, 140, 48},  // narrow: U taken as 320, A = 140
        {1000, 600, 387, 415, 569, 178},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.width);
        const FoldersLayout at = folders_layout_for(row.width, row.height);
        EXPECT_EQ(width_of(at.folder_list), row.left);
        EXPECT_EQ(at.cert_list.left, row.right_x);
        EXPECT_EQ(width_of(at.cert_list), row.right);
        EXPECT_EQ(at.cert_list.bottom - at.cert_list.top, row.half);
        EXPECT_EQ(at.caption_arts.top, row.half + 46);
        EXPECT_GE(at.art_list.bottom - at.art_list.top, 48);
    }
    const FoldersLayout at = folders_layout_for(700, 520);
    EXPECT_EQ(at.folder_list.bottom - at.folder_list.top, 306);
    EXPECT_EQ(at.close.left, 564);
    EXPECT_EQ(at.file_art.top, 432);
}

TEST(FoldersRemove, PicksTheFocusedListElseTheOneWithASelection) {
    EXPECT_EQ(folders_remove_list_id(kBoxFolderArts, true, true), kBoxFolderArts);
    EXPECT_EQ(folders_remove_list_id(kBoxFolderCerts, false, true), kBoxFolderCerts);
    EXPECT_EQ(folders_remove_list_id(kBoxClose, true, true), kBoxFolderCerts);
    EXPECT_EQ(folders_remove_list_id(0, false, true), kBoxFolderArts);
    EXPECT_EQ(folders_remove_list_id(0, false, false), kBoxFolderCerts);
}

TEST(CertificateText, OptionalFieldsOnlyWhenEntered) {
    CertificateJob job;
    job.art_id = "ab_0";
    job.created = "2026-01-01 10:00";
    EXPECT_EQ(certificate_json_text(job, "h", "02k"),
              R"({"artist":"02k","created":"2026-01-01 10:00","pic":"ab_0","sha256":"h"})");
    job.title = "T";
    job.artist_name = "A";
    job.note = "N";
    job.owner_paymail = "p@x";
    const auto cert = nlohmann::json::parse(certificate_json_text(job, "h", "02k"));
    EXPECT_EQ(cert.size(), 8u);
    EXPECT_EQ(cert["owner_paymail"], "p@x");
}

} // namespace
