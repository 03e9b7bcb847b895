// Which of the wallet's certificates names which of its artworks, as far as this computer knows
// without asking the network (the certificates' content at hand, the pairs the chain showed): the
// Mint certificate popup opens on an artwork that has no certificate yet and says which artwork the
// new one will name, and the Pair popup opens on the certificate that names the chosen artwork.
// GUI thread.
#pragma once

#include <windows.h>

#include <string>

// The artwork (normalize_outpoint_key form) that the certificate `certificate` names; "" when its
// content is not at hand.
std::string certificate_names(const std::string& certificate);

// Selects in `combo` (artworks) the first artwork no certificate at hand names and the chain does
// not show paired; the selection stays where it is when every artwork has one.
void select_artwork_without_certificate(HWND combo);

// Selects in `combo` (certificates) the certificate that names `artwork`; when none at hand does,
// the first whose content is not at hand, else the first.
void select_certificate_naming(HWND combo, const std::string& artwork);

// The question before a certificate is inscribed for the artwork `artwork` (a key of art_rows)
// under the art name `title`: it names the artwork, says when it already has a certificate, and
// when the art name is that of another artwork of this wallet.
std::string certificate_confirm_text(const std::string& artwork, const std::string& title);
