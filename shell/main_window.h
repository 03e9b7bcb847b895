// The main window's geometry, worked out from the client size alone so that it can be checked
// without a screen; shell_wnd_proc and layout_main_window (shell.h) apply it.
#pragma once

#include "shell/shell.h"

#include <cstdint>
#include <vector>

struct PlacedControl {
    int id = 0;
    RECT rect = {};
};

struct MainLayout {
    std::vector<PlacedControl> controls;
    RECT list_panel = {}; // the framed card around the list
};

// Where every moving control of the main window goes for a client area of `width` x `height`;
// `update` widens the version line for an update notice and moves Help beside it.
MainLayout compute_main_layout(int width, int height, bool update);

// Where the main window opens on a work area `work`: 1180 x 900 where that fits, else no larger
// than the work area, centred on it, so that Help and Close at its foot are on the screen.
RECT main_window_rect(const RECT& work);
// The smallest the user may make the main window: 980 x 820, no more than the work area.
POINT main_window_min_track(const RECT& work);

// The usable height of the banner image from its middle column's red + green + blue sums, one
// per row (top first): the rows above a dark strip at the bottom; the full height when no bright
// pixel is found in the lower half or when fewer than 9 rows would remain.
std::int32_t banner_trim_rows(const std::vector<std::uint32_t>& column);

// One stretch of the banner image into the header band.
struct BannerPart {
    RECT dest = {};
    int source_x = 0;
    int source_width = 0;
};

// How a banner `image_width` wide, with `trim_height` usable rows, fills a band `client_width`
// wide: its left part at the band's own scale and the rest stretched, or all of it stretched when
// the split would not fit.
std::vector<BannerPart> banner_parts(int image_width, int trim_height, int client_width);
