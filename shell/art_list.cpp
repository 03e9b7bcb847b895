#include "shell/art_list.h"

#include "art/art_folders.h"
#include "chain/coin_snapshots.h"
#include "chain/step_holds.h"
#include "shell/gallery_state.h"
#include "shell/jobs.h"
#include "shell/shell.h"
#include "shell/status_line.h"
#include "shell/text_helpers.h"
#include "wallet/session.h"

#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwctype>
#include <map>
#include <memory>
#include <utility>

std::vector<KvCofferlyOrdRow> art_rows;
std::int32_t art_sort_order = 1;

namespace {

// A combo box drops down to show at most this many items.
constexpr int kComboVisibleItems = 8;
// The start of an id that tells apart two rows of one name.
constexpr std::size_t kIdShownChars = 12;
constexpr const char* kNoArtworkYet = "No Artwork inscriptions in this wallet yet.";
constexpr const char* kRefreshed = "Artwork inscriptions refreshed.";
constexpr const char* kPlatformEmpty =
    "The platform sent an empty answer, so what only it lists may be missing. Try again.";

std::wstring row_sort_text(const KvCofferlyOrdRow& row) {
    std::wstring text = utf8_to_wide(row.name.empty() ? row.key : row.name);
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool row_kind_fits(const KvCofferlyOrdRow& row, bool artworks) {
    return artworks ? row_is_artwork(row) : row_is_certificate(row);
}

void fill_row_combo(HWND combo, bool artworks, const std::set<std::string>* hidden, const wchar_t* placeholder,
                    bool set_height) {
    if (!combo) return;
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    // Two rows of one name would read alike: each of them is told apart by the start of its id.
    std::map<std::wstring, int> named;
    for (const KvCofferlyOrdRow& row : art_rows)
        if (row_kind_fits(row, artworks) && !row.name.empty()) ++named[row_sort_text(row)];
    int added = 0;
    for (std::size_t i = 0; i < art_rows.size(); ++i) {
        const KvCofferlyOrdRow& row = art_rows[i];
        if (!row_kind_fits(row, artworks)) continue;
        if (hidden && hidden->count(normalize_outpoint_key(row.key))) continue;
        std::string label = row.name.empty() ? row.key : row.name;
        if (!row.name.empty() && named[row_sort_text(row)] > 1)
            label += "  " + row.key.substr(0, kIdShownChars) + "...";
        const std::wstring text = utf8_to_wide(label);
        const LRESULT at = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        if (at == CB_ERR || at == CB_ERRSPACE) continue;
        SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(at), static_cast<LPARAM>(i));
        ++added;
    }
    if (added == 0) {
        const LRESULT at = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(placeholder));
        if (at != CB_ERR && at != CB_ERRSPACE) SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(at), -1);
    }
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
    if (set_height)
        SendMessageW(combo, CB_SETMINVISIBLE, static_cast<WPARAM>(std::min(std::max(added, 1), kComboVisibleItems)), 0);
}

// What the engine tells once of a store it found damaged and set aside; each store's notice is
// taken by the next read of the rows.
std::string (*const kStoreNoticeTakers[])() = {take_spent_file_notice, take_steps_file_notice};

// `text`, then `notice` as a sentence of its own without its first word ("error:"), on one line.
std::string followed_by_notice(const std::string& text, const std::string& notice) {
    if (notice.empty()) return text;
    if (text.empty()) return notice;
    std::string sentence = notice.substr(notice.find(' ') + 1);
    if (!sentence.empty()) sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
    return text + " " + sentence;
}

void add_list_item(const std::wstring& text, LPARAM value) {
    const LRESULT at = SendMessageW(art_list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (at != LB_ERR && at != LB_ERRSPACE) SendMessageW(art_list, LB_SETITEMDATA, static_cast<WPARAM>(at), value);
}

} // namespace

void start_read_inscriptions(bool announce) {
    if (!is_cofferly_connected()) {
        art_rows.clear();
        refresh_art_list();
        if (announce) set_status_text(std::wstring(L"Connect Cofferly first."));
        return;
    }
    if (announce) set_status_text(std::wstring(L"Reading inscriptions..."));
    if (!start_refresh_art_inscriptions(announce) && announce)
        set_status_text(std::wstring(L"error: could not start a worker thread."));
}

void read_inscriptions_worker(bool announce) {
    auto rows = std::make_unique<std::vector<KvCofferlyOrdRow>>();
    bool index_read = false;
    bool platform_read = false;
    const std::string listing = read_art_rows(*rows, index_read, &platform_read);
    const bool none = rows->empty();
    post_to_main_window(kMsgJobResult, kOpArtRows, std::move(rows));
    // A damaged store found on the way is told even by a read the user did not ask for.
    std::string notice;
    for (const auto take : kStoreNoticeTakers)
        notice = followed_by_notice(notice, take());
    if (announce || !notice.empty())
        post_job_text(kOpStatusText, inscriptions_refresh_text(listing, index_read, none, notice, platform_read));
}

std::string inscriptions_refresh_text(const std::string& listing, bool index_read, bool none_kept,
                                      const std::string& notice, bool platform_read) {
    // A read that a service's pause stopped says how long trying again would meet it.
    if (!notice.empty()) return followed_by_notice(naming_the_wait(listing), notice);
    if (!listing.empty()) return naming_the_wait(listing);
    if (!index_read)
        return "error: the ordinals index could not be read. The list shows only what this wallet already knew.";
    const std::string read = none_kept ? kNoArtworkYet : kRefreshed;
    // A 200 that held no list told nothing, though every other service answered.
    return platform_read ? read : read + " " + naming_the_wait(kPlatformEmpty);
}

std::string art_row_label(const KvCofferlyOrdRow& row) {
    std::string label = row_is_artwork(row) ? "picture" : row_is_certificate(row) ? "json" : row.type;
    label += "  ";
    if (!row.name.empty()) label += row.name + "  ";
    return label + row.key;
}

std::vector<std::size_t> listed_row_indices(const std::set<std::string>& filed) {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < art_rows.size(); ++i)
        if (!filed.count(normalize_outpoint_key(art_rows[i].key))) indices.push_back(i);
    std::stable_sort(indices.begin(), indices.end(), compare_rows_by_name);
    return indices;
}

void refresh_art_list() {
    if (!art_list) return;
    rebuild_gallery_buy_rows();
    const LRESULT selected = SendMessageW(art_list, LB_GETCURSEL, 0, 0);
    SendMessageW(art_list, LB_RESETCONTENT, 0, 0);

    const std::vector<std::size_t> indices = listed_row_indices(filed_keys());
    for (std::size_t index : indices)
        add_list_item(utf8_to_wide(art_row_label(art_rows[index])), static_cast<LPARAM>(index));
    for (std::size_t i = 0; i < gallery_buy_rows.size(); ++i) {
        const GalleryBuyRow& row = gallery_buy_rows[i];
        add_list_item(utf8_to_wide("picture  " + row.title + "  " + row.pic), static_cast<LPARAM>(i) | kGalleryRowFlag);
    }
    const LRESULT count = SendMessageW(art_list, LB_GETCOUNT, 0, 0);
    if (selected != LB_ERR && selected >= 0 && selected < count)
        SendMessageW(art_list, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);

    note_listed_gallery_rows();
    if (main_window) {
        wchar_t caption[64] = L"Artwork";
        // The gallery pieces this wallet is buying are rows of the list too.
        if (is_cofferly_connected())
            std::swprintf(caption, 64, L"Artwork    %zu", indices.size() + gallery_buy_rows.size());
        SetDlgItemTextW(main_window, kIdListCaption, caption);
        SetDlgItemTextW(main_window, kIdSortToggle, art_sort_order < 0 ? L"Z-A" : L"A-Z");
    }
}

void note_listed_gallery_rows() {
    // The wallet holds no artwork, but the list holds a gallery piece it is buying: the empty-wallet
    // text would read as if the list were wrong.
    if (!gallery_buy_rows.empty() && status_text_shown() == kNoArtworkYet) set_status_text(std::string(kRefreshed));
}

bool compare_rows_by_name(std::size_t a, std::size_t b) {
    if (a >= art_rows.size() || b >= art_rows.size()) return false;
    const int order = _wcsicmp(row_sort_text(art_rows[a]).c_str(), row_sort_text(art_rows[b]).c_str());
    return art_sort_order >= 0 ? order < 0 : order > 0;
}

bool row_is_artwork(const KvCofferlyOrdRow& row) {
    return row.kind == "Artwork" || row.type.rfind("image/", 0) == 0;
}

bool row_is_certificate(const KvCofferlyOrdRow& row) {
    if (row_is_artwork(row)) return false;
    return row.kind == "Certificate" || row.type == "application/json";
}

void fill_art_combo(HWND combo, bool artworks) {
    fill_row_combo(combo, artworks, nullptr,
                   artworks ? L"No artwork in this wallet" : L"No certificates in this wallet", true);
}

void fill_file_combo(HWND combo, bool artworks) {
    const std::set<std::string> filed = filed_keys();
    fill_row_combo(combo, artworks, &filed, artworks ? L"No artwork left to file" : L"No certificates left to file",
                   false);
}

std::string selected_row_id(HWND combo) {
    if (!combo) return {};
    const LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR) return {};
    const LRESULT value = SendMessageW(combo, CB_GETITEMDATA, static_cast<WPARAM>(selected), 0);
    if (value < 0 || static_cast<std::size_t>(value) >= art_rows.size()) return {};
    return art_rows[static_cast<std::size_t>(value)].key;
}

std::string normalize_outpoint_key(const std::string& key) {
    std::string out = key;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (out.size() > 64 && out[64] == '_') out.resize(64);
    return out;
}

std::set<std::string> filed_keys() {
    std::set<std::string> keys;
    std::vector<ArtFolder> folders;
    std::string error;
    if (!load_art_folders(folders, error)) return keys;
    for (const ArtFolder& folder : folders) {
        for (const std::string& id : folder.certs)
            keys.insert(normalize_outpoint_key(id));
        for (const std::string& id : folder.arts)
            keys.insert(normalize_outpoint_key(id));
    }
    return keys;
}

ArtRowIter remove_rows_by_key(ArtRowIter first, ArtRowIter last, const std::string& key) {
    const std::string target = normalize_outpoint_key(key);
    return std::remove_if(first, last,
                          [&target](const KvCofferlyOrdRow& row) { return normalize_outpoint_key(row.key) == target; });
}
