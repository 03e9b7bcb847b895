#include "shell/cert_choice.h"

#include "art/certificate.h"
#include "shell/art_list.h"
#include "shell/step_holds.h"

#include <cctype>
#include <set>

namespace {

std::string lower_text(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The artworks the wallet's certificates at hand name, each certificate read once.
std::set<std::string> artworks_named() {
    std::set<std::string> named;
    for (const KvCofferlyOrdRow& row : art_rows) {
        if (!row_is_certificate(row)) continue;
        const std::string artwork = certificate_names(row.key);
        if (!artwork.empty()) named.insert(artwork);
    }
    return named;
}

// True when a certificate at hand names the artwork, or the chain shows it paired.
bool has_certificate(const std::string& artwork, const std::set<std::string>& named) {
    const std::string key = normalize_outpoint_key(artwork);
    return named.count(key) > 0 || window_artwork_paired(key);
}

const KvCofferlyOrdRow* row_of(const std::string& key) {
    const std::string wanted = normalize_outpoint_key(key);
    for (const KvCofferlyOrdRow& row : art_rows)
        if (normalize_outpoint_key(row.key) == wanted) return &row;
    return nullptr;
}

// Selects the first item of `combo` whose row `fits`; false when none does.
template <typename Fits> bool select_first(HWND combo, Fits fits) {
    if (!combo) return false;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT value = SendMessageW(combo, CB_GETITEMDATA, static_cast<WPARAM>(i), 0);
        if (value < 0 || static_cast<std::size_t>(value) >= art_rows.size()) continue;
        if (!fits(art_rows[static_cast<std::size_t>(value)])) continue;
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
        return true;
    }
    return false;
}

} // namespace

std::string certificate_names(const std::string& certificate) {
    const std::string pic = certificate_artwork_at_hand(certificate);
    return pic.empty() ? pic : normalize_outpoint_key(pic);
}

void select_artwork_without_certificate(HWND combo) {
    const std::set<std::string> named = artworks_named();
    select_first(combo, [&](const KvCofferlyOrdRow& row) { return !has_certificate(row.key, named); });
}

void select_certificate_naming(HWND combo, const std::string& artwork) {
    if (artwork.empty()) return;
    const std::string key = normalize_outpoint_key(artwork);
    if (select_first(combo, [&](const KvCofferlyOrdRow& row) { return certificate_names(row.key) == key; })) return;
    // Never one known to name another artwork, left chosen from the artwork picked before.
    if (!select_first(combo, [&](const KvCofferlyOrdRow& row) { return certificate_names(row.key).empty(); }))
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
}

std::string certificate_confirm_text(const std::string& artwork, const std::string& title) {
    const KvCofferlyOrdRow* chosen = row_of(artwork);
    const std::string name = chosen && !chosen->name.empty() ? chosen->name : "";
    std::string text = "Inscribe a certificate for " + (name.empty() ? "that artwork" : "\"" + name + "\"") +
                       "?\n\nIt names the artwork " + artwork + ".";
    if (has_certificate(artwork, artworks_named())) text += " This artwork already has a certificate.";
    // An art name that is another artwork's would certify this one under that one's name.
    const std::string wanted = lower_text(title);
    if (!wanted.empty() && wanted != lower_text(name)) {
        for (const KvCofferlyOrdRow& row : art_rows) {
            if (!row_is_artwork(row) || lower_text(row.name) != wanted) continue;
            text += "\n\nThe art name \"" + title + "\" is another artwork's (" + row.key +
                    "); this certificate does not name that one.";
            break;
        }
    }
    return text + "\n\nCofferly will prompt. The fee comes from the messenger account.";
}
