// The palette every window paints with: twelve colour slots chosen among the fixed palettes
// "blue", "rose" and "gold", and the choice kept in "art/settings.json" under the data folder.
// GUI thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

constexpr int kPaletteSlotCount = 12;
constexpr std::int32_t kPaletteCount = 3;

// Roles of the slots. Slots 7 to 10 are the drawing kit's faces and bright text.
constexpr int kSlotWindow = 0;  // window background
constexpr int kSlotPanel = 1;   // lists and panels
constexpr int kSlotBorder = 2;  // panel borders
constexpr int kSlotText = 3;    // text, title-bar caption text
constexpr int kSlotTextDim = 4; // secondary text
constexpr int kSlotAccent = 5;  // accent lines, window border
constexpr int kSlotFace = 6;    // button faces, card fill, the fourth shared brush
constexpr int kSlotFaceHot = 7; // button faces under the mouse
constexpr int kSlotBright = 10; // captions of buttons and headlines
constexpr int kSlotHeader = 11; // header band, title-bar caption

struct ThemePalette {
    COLORREF slots[kPaletteSlotCount] = {};
};

// The live palette, read by every painter at paint time; holds "blue" until a theme is chosen.
extern ThemePalette theme_palette;
// 0 blue, 1 rose, 2 gold.
extern std::int32_t theme_index;

// Colour of slot `slot` of the live palette; black for a slot outside 0..11.
COLORREF theme_color(int slot);

// Fixed palette `index`; "blue" for an index outside 0..2.
const ThemePalette& fixed_palette(std::int32_t index);

// "blue", "rose" or "gold"; "blue" for an index outside 0..2.
const char* theme_name(std::int32_t index);

// Palette index of an exact, case-sensitive theme name; 0 for anything else.
std::int32_t theme_index_for_name(const std::string& name);

// Makes palette `index` live (0 for an index outside 0..2) and sets `theme_index`.
void select_palette(std::int32_t index);

// Full path of the settings file under the data folder.
std::string theme_settings_path();

// Makes the saved theme live. A missing, unreadable or malformed file, a top level that is not an
// object or a `theme` that is not text leave the live palette as it is.
void load_theme_settings();

// Writes {"theme": name} for `theme_index`; the old file stays whole when writing fails. False on
// failure, which callers need not report: the chosen palette still applies until the program ends.
bool save_theme_settings();

// Deletes the four shared brushes (slots 0, 1, 11 and 6) and makes them again from the live palette.
void recreate_shared_brushes();

// A theme chosen in the Settings popup: makes palette `index` live (0 outside 0..2), remakes the
// brushes, saves the choice and re-themes and repaints the main window, every task popup and every
// artwork viewer. The sale window keeps its colours until it is opened again.
void apply_theme_choice(std::int32_t index);
