#include "shell/theme.h"

#include "platform/fs.h"
#include "shell/drawing.h"
#include "shell/shell.h"
#include "wallet/json_util.h"
#include "wallet/registry.h"

#include <nlohmann/json.hpp>

#include <array>

namespace {

constexpr COLORREF hex(std::uint32_t rrggbb) {
    return RGB((rrggbb >> 16) & 0xFF, (rrggbb >> 8) & 0xFF, rrggbb & 0xFF);
}

const std::array<ThemePalette, kPaletteCount> kPalettes = {{
    {{hex(0x06080E), hex(0x0A0E16), hex(0x243448), hex(0xECE4CC), hex(0x788898), hex(0xD4AF37), hex(0x0E121A),
      hex(0x161C28), hex(0x283040), hex(0x080A10), hex(0xF8ECC8), hex(0x040812)}},
    {{hex(0x0E060A), hex(0x160A10), hex(0x602838), hex(0xF8E4E8), hex(0xA87888), hex(0xD47894), hex(0x160A10),
      hex(0x241018), hex(0x502030), hex(0x0C0408), hex(0xFFECF0), hex(0x0C040A)}},
    {{hex(0x0A0804), hex(0x120E08), hex(0x78541C), hex(0xF6E8C4), hex(0xA08448), hex(0xD4A840), hex(0x141008),
      hex(0x20180A), hex(0x584014), hex(0x0A0804), hex(0xFFF4D6), hex(0x0C0A04)}},
}};

const char* const kThemeNames[kPaletteCount] = {"blue", "rose", "gold"};

bool valid_index(std::int32_t index) {
    return index >= 0 && index < kPaletteCount;
}

void delete_brush(HBRUSH& brush) {
    if (brush) DeleteObject(brush);
    brush = nullptr;
}

// Re-themes and repaints every top-level window of `class_name` that this GUI thread owns.
void retheme_windows_of_class(const wchar_t* class_name) {
    struct Walk {
        const wchar_t* class_name;
    } walk{class_name};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM param) -> BOOL {
            const auto* w = reinterpret_cast<const Walk*>(param);
            wchar_t name[64] = {};
            if (GetClassNameW(window, name, 64) > 0 && lstrcmpW(name, w->class_name) == 0) {
                apply_title_bar_theme(window);
                RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&walk));
}

} // namespace

ThemePalette theme_palette = kPalettes[0];
std::int32_t theme_index = 0;

COLORREF theme_color(int slot) {
    return (slot >= 0 && slot < kPaletteSlotCount) ? theme_palette.slots[slot] : 0;
}

const ThemePalette& fixed_palette(std::int32_t index) {
    return kPalettes[valid_index(index) ? index : 0];
}

const char* theme_name(std::int32_t index) {
    return kThemeNames[valid_index(index) ? index : 0];
}

std::int32_t theme_index_for_name(const std::string& name) {
    for (std::int32_t i = 0; i < kPaletteCount; ++i) {
        if (name == kThemeNames[i]) return i;
    }
    return 0;
}

void select_palette(std::int32_t index) {
    theme_index = valid_index(index) ? index : 0;
    theme_palette = kPalettes[theme_index];
}

std::string theme_settings_path() {
    return kestrava_data_dir() + "/art/settings.json";
}

void load_theme_settings() {
    std::string text;
    if (!platform_read_file(theme_settings_path(), text)) return;
    const nlohmann::json doc = json_parse_or_discarded(text);
    if (!doc.is_object()) return;
    const auto it = doc.find("theme");
    if (it == doc.end()) {
        select_palette(0);
        return;
    }
    if (!it->is_string()) return;
    select_palette(theme_index_for_name(it->get<std::string>()));
}

bool save_theme_settings() {
    const std::string folder = kestrava_data_dir() + "/art";
    if (!platform_make_dirs(folder)) return false;
    const nlohmann::json doc = {{"theme", theme_name(theme_index)}};
    const std::string path = theme_settings_path();
    // Written aside and moved into place, so a write cut short never leaves a damaged settings
    // file in place of the good one.
    return platform_write_file_aside(path, doc.dump(2), true);
}

void recreate_shared_brushes() {
    delete_brush(brush_window);
    delete_brush(brush_panel);
    delete_brush(brush_header);
    delete_brush(brush_slot6);
    brush_window = CreateSolidBrush(theme_color(kSlotWindow));
    brush_panel = CreateSolidBrush(theme_color(kSlotPanel));
    brush_header = CreateSolidBrush(theme_color(kSlotHeader));
    brush_slot6 = CreateSolidBrush(theme_color(kSlotFace));
}

void apply_theme_choice(std::int32_t index) {
    select_palette(index);
    recreate_shared_brushes();
    save_theme_settings();
    if (main_window) {
        apply_title_bar_theme(main_window);
        RedrawWindow(main_window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    }
    retheme_windows_of_class(kBoxClassName);
    retheme_windows_of_class(kViewClassName);
}
