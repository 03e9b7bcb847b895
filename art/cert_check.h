// The certificate check: whether a signed pair binds a certificate (or an artwork) on chain, who
// holds the two coins and whether the current title names this wallet's identity. Reads only.
#pragma once

#include "art/art_records.h"

#include <cstdint>
#include <string>
#include <vector>

struct PairInfo {
    std::uint8_t pair_found = 0;
    std::uint8_t holds_artwork = 0;
    std::uint8_t holds_certificate = 0;
    std::uint8_t title_is_mine = 0;
    std::string artwork_id;
    std::string certificate_id;
    std::string sha256;
    std::string owner;       // identity key of the current owner
    std::string owner_label; // how the owner is shown
    std::string pair_txid;
    std::string message; // the result sentence, or why the check stopped
};

// Checks the certificate at `certificate_origin`. Every outcome is in `message`; the record holds
// what was found before the check stopped.
PairInfo art_check_certificate(const std::string& certificate_origin);

// Finds the pair that started the artwork's title and checks its certificate; "No signed pair for
// this artwork." (with `artwork_id` set) when there is none.
PairInfo art_check_artwork(const std::string& artwork_origin);
