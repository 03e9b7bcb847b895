// The artwork viewer: a PDF goes to the system's PDF handler through a temporary file, an image
// opens in its own window of class CorvaneView (registered at start-up) with zoom around the cursor,
// panning and a full-quality rendering once the user stops for 90 ms. Any number may be open.
#pragma once

#include <windows.h>

#include "ordinals/ord_row.h"
#include "shell/shell.h"

#include <string>

// Where the picture lands for an image of `image_width` x `image_height` in `area` at `zoom` and
// the pan offsets: its top-left corner and its display size, at least 1 x 1.
struct ViewPlacement {
    int x0 = 0;
    int y0 = 0;
    int width = 1;
    int height = 1;
    double fit = 0.0; // scale that fits the image into the area at zoom 1
};
ViewPlacement view_placement(int image_width, int image_height, const RECT& area, double zoom, double pan_x,
                             double pan_y);

// The zoom after one wheel step (positive delta: in), kept within 0.2 to 16.
double view_next_zoom(double zoom, int wheel_delta);

// True when the bytes are at least 5 long and begin "%PDF".
bool bytes_look_like_pdf(const Bytes& bytes);

// GUI thread: "Opening the artwork..." and the worker for the row's key and name.
void start_open_artwork(const KvCofferlyOrdRow& row);
// Worker thread: posts code 7 with the bytes, or code 6 with "error: could not read that artwork.".
void open_artwork_worker(OpenArtJob& job);
// GUI thread, for code 7: a PDF to the system's handler, anything else into a viewer window.
void open_artwork_bytes(const OpenArtResult& result);

LRESULT CALLBACK view_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
