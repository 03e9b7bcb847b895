// The Folders panel of the task popup (mode 3): the wallet's art folders, the certificates and
// artworks filed in the selected one, and the controls that create a folder, take a coin out of
// it and file a coin into it. Filing first checks on a worker that the coin is still in this
// wallet; everything else runs on the GUI thread.
#pragma once

#include <windows.h>

#include "shell/jobs.h"
#include "shell/task_popup.h"

#include <string>
#include <vector>

// Where every control of the panel goes in a client area of the given size.
struct FoldersLayout {
    RECT caption_folders = {}; // 358
    RECT caption_certs = {};   // 359
    RECT caption_arts = {};    // 360
    RECT folder_list = {};     // 307
    RECT cert_list = {};       // 308
    RECT art_list = {};        // 354
    RECT name_edit = {};       // 301
    RECT new_folder = {};      // 310
    RECT unfile = {};          // 356
    RECT cert_combo = {};      // 304, height is the drop-down list's
    RECT file_cert = {};       // 311
    RECT art_combo = {};       // 357
    RECT file_art = {};        // 355
    RECT close = {};           // 125
};
FoldersLayout folders_layout_for(int width, int height);

// Creates the panel's controls and fills them; run once when the popup is created.
void folders_panel_build(HWND box);
// Places every control from the popup's client size.
void folders_panel_layout(HWND box);
// Refills lists 308 and 354 with the folder selected in 307; `state` may be null.
void folders_panel_refresh(HWND box, BoxState* state);

// Handles a WM_COMMAND of the panel's controls; false when `control_id` is not one of them.
bool folders_panel_command(HWND box, int control_id, int notify_code);

// Button 310: creates the folder named in edit 301 and selects it.
void folders_panel_new_folder(HWND box);
// Button 356: takes the selected certificate or artwork out of the selected folder.
void folders_panel_remove_selected(HWND box);
// Which list Remove acts on: the one of 354 and 308 the user selected in last (clicking Remove
// takes the focus from it), else 308 with a selection, else 354 with one, else 308.
int folders_remove_list_id(int picked_id, bool certs_selected, bool arts_selected);

// Resets `list`, then adds one item per id, whose data is the id's index in `field`.
void fill_folder_list(HWND list, std::vector<std::string>& field, const std::vector<std::string>& ids);
// The name of the wallet row with this id, or the id itself.
std::wstring folder_item_label(const std::string& id);
// The selected item's text in UTF-8; empty with no selection.
std::string listbox_selected_text(HWND list);

// Buttons 311 (certificate) and 355 (artwork): starts the filing check, one at a time.
void file_into_folder(HWND box, bool is_artwork);
// The filing worker: checks the coin is still ours, files it, posts code 14 to the main window.
void file_coin_worker(const FileCoinJob& job);
