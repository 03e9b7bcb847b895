#include "shell/folders_panel.h"

#include "art/art_folders.h"
#include "art/art_records.h"
#include "ordinals/coin_checks.h"
#include "platform/win_text.h"
#include "shell/art_list.h"
#include "shell/drawing.h"
#include "shell/status_line.h"
#include "shell/text_helpers.h"

#include <commctrl.h>

#include <algorithm>
#include <memory>

namespace {

RECT rect_at(int x, int y, int width, int height) {
    return RECT{x, y, x + width, y + height};
}

void place(HWND box, int id, const RECT& rect) {
    if (HWND control = GetDlgItem(box, id))
        MoveWindow(control, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, TRUE);
}

HWND make_caption(HWND box, int id, const wchar_t* text, int x, int y, int width, int height) {
    HWND caption = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE, x, y, width, height, box,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app_instance, nullptr);
    if (caption && font_bold) SendMessageW(caption, WM_SETFONT, reinterpret_cast<WPARAM>(font_bold), FALSE);
    return caption;
}

HWND make_folder_list(HWND box, int id, int x, int y, int width, int height) {
    HWND list = CreateWindowExW(
        WS_EX_STATICEDGE, L"LISTBOX", L"",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, x,
        y, width, height, box, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app_instance, nullptr);
    if (!list) return nullptr;
    if (font_body) SendMessageW(list, WM_SETFONT, reinterpret_cast<WPARAM>(font_body), FALSE);
    SetWindowSubclass(list, framed_control_subclass_proc, kFramedControlSubclassId, 0);
    return list;
}

void status(const char* text) {
    set_status_text(std::string(text));
}

void refill_file_combos(HWND box) {
    fill_file_combo(GetDlgItem(box, kBoxCombo), false);
    fill_file_combo(GetDlgItem(box, kBoxArtFileCombo), true);
}

// The id behind the selected item of `list`, looked up in `field` through the item's data; false
// when nothing is selected or the data points outside the field.
bool selected_field_id(HWND list, const std::vector<std::string>& field, std::string& id) {
    const LRESULT selected = list ? SendMessageW(list, LB_GETCURSEL, 0, 0) : LB_ERR;
    if (selected == LB_ERR) return false;
    const LRESULT index = SendMessageW(list, LB_GETITEMDATA, static_cast<WPARAM>(selected), 0);
    if (index == LB_ERR || index < 0 || static_cast<std::size_t>(index) >= field.size()) return false;
    id = field[static_cast<std::size_t>(index)];
    return true;
}

bool has_selection(HWND box, int id) {
    HWND list = GetDlgItem(box, id);
    return list && SendMessageW(list, LB_GETCURSEL, 0, 0) != LB_ERR;
}

} // namespace

FoldersLayout folders_layout_for(int width, int height) {
    const int list_height = std::max(height - 214, 80);
    const bool narrow = width - 32 < 320;
    const int usable = narrow ? 320 : width - 32;
    const int candidate = narrow ? 150 : std::max(2 * usable / 5, 150);
    const int left = std::min(usable - 180, candidate);
    const int right_x = left + 28;
    const int right = std::max(width - right_x - 16, 140);
    const int half = std::max((list_height - 30) / 2, 48);
    const int combo = std::max(width - 200, 120);

    FoldersLayout out;
    out.caption_folders = rect_at(16, 16, left, 18);
    out.caption_certs = rect_at(right_x, 16, right, 18);
    out.folder_list = rect_at(16, 38, left, list_height);
    out.cert_list = rect_at(right_x, 38, right, half);
    out.caption_arts = rect_at(right_x, half + 46, right, 18);
    out.art_list = rect_at(right_x, half + 68, right, std::max(list_height - half - 30, 48));
    out.name_edit = rect_at(16, height - 164, 180, 26);
    out.new_folder = rect_at(204, height - 165, 156, 28);
    out.unfile = rect_at(width - 196, height - 165, 180, 28);
    out.cert_combo = rect_at(16, height - 124, combo, 160);
    out.file_cert = rect_at(width - 176, height - 124, 160, 28);
    out.art_combo = rect_at(16, height - 88, combo, 160);
    out.file_art = rect_at(width - 176, height - 88, 160, 28);
    out.close = rect_at(width - 136, height - 48, 120, 32);
    return out;
}

void folders_panel_build(HWND box) {
    make_caption(box, kBoxCaptionFolders, L"Folders", 16, 16, 180, 18);
    make_caption(box, kBoxCaptionCerts, L"Certificates in the folder", 210, 16, 280, 18);
    make_caption(box, kBoxCaptionArts, L"Artwork in the folder", 210, 136, 280, 18);
    HWND folders = make_folder_list(box, kBoxFolderList, 16, 38, 180, 220);
    make_folder_list(box, kBoxFolderCerts, 210, 38, 280, 90);
    make_folder_list(box, kBoxFolderArts, 210, 158, 280, 90);
    make_edit(box, kBoxNameEdit, 16, 266, 180);
    make_button(box, L"New folder", kBoxNewFolder, 210, 264, 156, 28);
    make_button(box, L"Remove from folder", kBoxUnfile, 340, 264, 170, 28);
    make_combo(box, kBoxCombo, 306, 280, 200);
    make_button(box, L"File Certificate", kBoxFileCert, 310, 306, 160, 28);
    make_combo(box, kBoxArtFileCombo, 344, 280, 200);
    make_button(box, L"File Artwork", kBoxFileArt, 310, 344, 160, 28);

    std::vector<ArtFolder> list;
    std::string error;
    load_art_folders(list, error); // an unreadable file shows as no folders
    for (const ArtFolder& folder : list)
        SendMessageW(folders, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(utf8_to_wide(folder.name).c_str()));
    if (folders && SendMessageW(folders, LB_GETCOUNT, 0, 0) > 0) {
        SendMessageW(folders, LB_SETCURSEL, 0, 0);
        SendMessageW(box, WM_COMMAND, MAKEWPARAM(kBoxFolderList, LBN_SELCHANGE), reinterpret_cast<LPARAM>(folders));
    }
    refill_file_combos(box);
}

void folders_panel_layout(HWND box) {
    RECT client = {};
    GetClientRect(box, &client);
    const FoldersLayout at = folders_layout_for(client.right - client.left, client.bottom - client.top);
    place(box, kBoxCaptionFolders, at.caption_folders);
    place(box, kBoxCaptionCerts, at.caption_certs);
    place(box, kBoxFolderList, at.folder_list);
    place(box, kBoxFolderCerts, at.cert_list);
    place(box, kBoxCaptionArts, at.caption_arts);
    place(box, kBoxFolderArts, at.art_list);
    place(box, kBoxNameEdit, at.name_edit);
    place(box, kBoxNewFolder, at.new_folder);
    place(box, kBoxUnfile, at.unfile);
    place(box, kBoxCombo, at.cert_combo);
    place(box, kBoxFileCert, at.file_cert);
    place(box, kBoxArtFileCombo, at.art_combo);
    place(box, kBoxFileArt, at.file_art);
    place(box, kBoxClose, at.close);
}

void folders_panel_refresh(HWND box, BoxState* state) {
    std::vector<std::string> scratch_certs, scratch_arts;
    std::vector<std::string>& certs = state ? state->folder_certs : scratch_certs;
    std::vector<std::string>& arts = state ? state->folder_arts : scratch_arts;
    certs.clear();
    arts.clear();
    const std::string selected = listbox_selected_text(GetDlgItem(box, kBoxFolderList));

    std::vector<ArtFolder> list;
    std::string error;
    load_art_folders(list, error); // an unreadable file shows as empty lists
    auto shown = std::find_if(list.begin(), list.end(),
                              [&](const ArtFolder& folder) { return !selected.empty() && folder.name == selected; });
    static const std::vector<std::string> kNone;
    fill_folder_list(GetDlgItem(box, kBoxFolderCerts), certs, shown == list.end() ? kNone : shown->certs);
    fill_folder_list(GetDlgItem(box, kBoxFolderArts), arts, shown == list.end() ? kNone : shown->arts);
}

bool folders_panel_command(HWND box, int control_id, int notify_code) {
    switch (control_id) {
    case kBoxFolderList:
        if (notify_code == LBN_SELCHANGE) folders_panel_refresh(box, box_state_of(box));
        return true;
    case kBoxNewFolder:
        if (notify_code == BN_CLICKED) folders_panel_new_folder(box);
        return true;
    case kBoxUnfile:
        if (notify_code == BN_CLICKED) folders_panel_remove_selected(box);
        return true;
    case kBoxFileCert:
    case kBoxFileArt:
        if (notify_code == BN_CLICKED) file_into_folder(box, control_id == kBoxFileArt);
        return true;
    case kBoxFolderCerts:
    case kBoxFolderArts:
        if (notify_code == LBN_SELCHANGE || notify_code == LBN_SETFOCUS) {
            if (BoxState* state = box_state_of(box)) state->folder_list_picked = control_id;
        }
        return true;
    case kBoxNameEdit:
    case kBoxCombo:
    case kBoxArtFileCombo:
        return true;
    default:
        return false;
    }
}

void folders_panel_new_folder(HWND box) {
    const std::string typed = wide_to_utf8(get_control_text(box, kBoxNameEdit));
    const std::string result = art_folder_create(typed);
    if (result != "success") {
        set_status_text(result);
        return;
    }
    status("Folder created.");
    // The folder is stored trimmed; list it the same way so the refresh finds it by exact name.
    const std::wstring stored = utf8_to_wide(art_trim_copy(typed));
    if (HWND folders = GetDlgItem(box, kBoxFolderList)) {
        const LRESULT index = SendMessageW(folders, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(stored.c_str()));
        if (index != LB_ERR && index != LB_ERRSPACE) SendMessageW(folders, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    SetDlgItemTextW(box, kBoxNameEdit, L"");
    folders_panel_refresh(box, box_state_of(box));
}

int folders_remove_list_id(int picked_id, bool certs_selected, bool arts_selected) {
    if (picked_id == kBoxFolderArts || picked_id == kBoxFolderCerts) return picked_id;
    if (certs_selected) return kBoxFolderCerts;
    if (arts_selected) return kBoxFolderArts;
    return kBoxFolderCerts;
}

void folders_panel_remove_selected(HWND box) {
    BoxState* state = box_state_of(box);
    const std::string folder = listbox_selected_text(GetDlgItem(box, kBoxFolderList));
    const int list_id = folders_remove_list_id(state ? state->folder_list_picked : 0,
                                               has_selection(box, kBoxFolderCerts), has_selection(box, kBoxFolderArts));
    std::string id;
    if (!state || folder.empty() ||
        !selected_field_id(GetDlgItem(box, list_id),
                           list_id == kBoxFolderArts ? state->folder_arts : state->folder_certs, id)) {
        status("Select a certificate or an artwork in the folder.");
        return;
    }
    const std::string result = art_folder_remove(folder, id);
    if (result != "success") {
        set_status_text(result);
        return;
    }
    status("Back on the main list.");
    folders_panel_refresh(box, state);
    refill_file_combos(box);
    refresh_art_list();
}

void fill_folder_list(HWND list, std::vector<std::string>& field, const std::vector<std::string>& ids) {
    if (list) SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& id : ids) {
        field.push_back(id);
        if (!list) continue;
        const LRESULT item =
            SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(folder_item_label(id).c_str()));
        if (item != LB_ERR && item != LB_ERRSPACE)
            SendMessageW(list, LB_SETITEMDATA, static_cast<WPARAM>(item), static_cast<LPARAM>(field.size() - 1));
    }
}

std::wstring folder_item_label(const std::string& id) {
    const std::string key = normalize_outpoint_key(id);
    for (const KvCofferlyOrdRow& row : art_rows)
        if (!row.name.empty() && normalize_outpoint_key(row.key) == key) return utf8_to_wide(row.name);
    return utf8_to_wide(id);
}

std::string listbox_selected_text(HWND list) {
    const LRESULT selected = list ? SendMessageW(list, LB_GETCURSEL, 0, 0) : LB_ERR;
    if (selected == LB_ERR) return {};
    const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(selected), 0);
    if (length == LB_ERR || length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got =
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(selected), reinterpret_cast<LPARAM>(text.data()));
    if (got == LB_ERR || got < 0) return {};
    text.resize(std::min(static_cast<std::size_t>(got), text.size()));
    return wide_to_utf8(text);
}

void file_into_folder(HWND box, bool is_artwork) {
    if (coin_check_busy.exchange(1) != 0) {
        status("Already checking that coin.");
        return;
    }
    const std::string folder = listbox_selected_text(GetDlgItem(box, kBoxFolderList));
    const std::string id = selected_row_id(GetDlgItem(box, is_artwork ? kBoxArtFileCombo : kBoxCombo));
    if (folder.empty() || id.empty()) {
        coin_check_busy.store(0);
        status(folder.empty() ? "Pick a folder." : is_artwork ? "Pick an artwork." : "Pick a certificate.");
        return;
    }
    status("Checking that coin is still in this wallet...");
    FileCoinJob job;
    job.box = box;
    job.folder = folder;
    job.coin_id = id;
    job.is_artwork = is_artwork ? 1 : 0;
    // With no worker the flag would stay taken and block every later filing.
    if (!start_file_into_folder(job)) {
        coin_check_busy.store(0);
        status("error: could not start the coin check.");
    }
}

void file_coin_worker(const FileCoinJob& job) {
    auto result = std::make_unique<FileCoinResult>();
    result->box = job.box;
    result->is_artwork = job.is_artwork;
    result->folder = job.folder;
    result->coin_id = job.coin_id;
    const bool still_ours = gp_coin_still_ours(job.coin_id) > 0;
    result->gone = still_ours ? 0 : 1;
    if (still_ours) result->text = art_folder_add(job.folder, job.coin_id, job.is_artwork != 0);
    if (!post_to_main_window(kMsgJobResult, kOpFileCoin, std::move(result))) coin_check_busy.store(0);
}
