#include "shell/theme.h"

#include "platform/fs.h"
#include "support/temp_dir.h"
#include "wallet/json_util.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <gtest/gtest.h>

namespace {

struct ThemeFile : ::testing::Test {
    TempDataDir tmp;
    std::string path;
    void SetUp() override { path = theme_settings_path(); }
    void TearDown() override { select_palette(0); }
};

void expect_live_palette(std::int32_t index) {
    EXPECT_EQ(theme_index, index);
    for (int slot = 0; slot < kPaletteSlotCount; ++slot) {
        EXPECT_EQ(theme_color(slot), fixed_palette(index).slots[slot]) << "slot " << slot;
    }
}

} // namespace

TEST(Theme, PalettesAndNames) {
    EXPECT_EQ(fixed_palette(0).slots[kSlotAccent], RGB(0xD4, 0xAF, 0x37));
    EXPECT_EQ(fixed_palette(1).slots[kSlotBorder], RGB(0x60, 0x28, 0x38));
    EXPECT_EQ(fixed_palette(2).slots[kSlotHeader], RGB(0x0C, 0x0A, 0x04));
    EXPECT_EQ(&fixed_palette(3), &fixed_palette(0));
    EXPECT_EQ(&fixed_palette(-1), &fixed_palette(0));
    EXPECT_STREQ(theme_name(7), "blue");
    EXPECT_EQ(theme_index_for_name("gold"), 2);
    EXPECT_EQ(theme_index_for_name("Rose"), 0);
    EXPECT_EQ(theme_color(-1), 0u);
    EXPECT_EQ(theme_color(kPaletteSlotCount), 0u);
    select_palette(9);
    expect_live_palette(0);
}

TEST_F(ThemeFile, SavedThemeLoadsBack) {
    for (std::int32_t index : {1, 2, 0}) {
        SCOPED_TRACE(theme_name(index));
        select_palette(index);
        ASSERT_TRUE(save_theme_settings());
        const nlohmann::json doc = json_parse_or_discarded(test_read_file(path));
        EXPECT_EQ(doc, nlohmann::json({{"theme", theme_name(index)}}));
        select_palette(index == 1 ? 2 : 1);
        load_theme_settings();
        expect_live_palette(index);
    }
}

TEST_F(ThemeFile, DamagedFilesLoseNothing) {
    // Gold is live before each read: a file that cannot be used keeps it, a usable one replaces it.
    struct Row {
        const char* what;
        const char* text; // null: no file
        std::int32_t expected;
    } rows[] = {
        {"missing", nullptr, 2},
        {"empty", "", 2},
        {"not json", "theme=rose", 2},
        {"truncated", "{\"theme\": \"ro", 2},
        {"array", "[\"rose\"]", 2},
        {"text", "\"rose\"", 2},
        {"theme a number", "{\"theme\": 1}", 2},
        {"theme null", "{\"theme\": null}", 2},
        {"empty object", "{}", 0},
        {"capitals", "{\"theme\": \"ROSE\"}", 0},
        {"unknown", "{\"theme\": \"green\"}", 0},
        {"rose", "{\"theme\": \"rose\", \"extra\": [1]}", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(std::filesystem::u8path(path));
        if (row.text) test_write_file(path, row.text);
        select_palette(2);
        load_theme_settings();
        expect_live_palette(row.expected);
    }
}

TEST_F(ThemeFile, FailedWriteKeepsTheOldFile) {
    select_palette(1);
    ASSERT_TRUE(save_theme_settings());
    const std::string before = test_read_file(path);
    // A full disk makes the write fail before the file is touched.
    platform_set_write_budget_for_tests(0);
    select_palette(2);
    EXPECT_FALSE(save_theme_settings());
    platform_set_write_budget_for_tests(-1);
    EXPECT_EQ(test_read_file(path), before);
    expect_live_palette(2);
}

TEST_F(ThemeFile, ChoiceOutsideTheListBecomesBlueAndIsSaved) {
    apply_theme_choice(2);
    expect_live_palette(2);
    apply_theme_choice(5);
    expect_live_palette(0);
    EXPECT_EQ(json_text(json_parse_or_discarded(test_read_file(path)), "theme"), "blue");
}
