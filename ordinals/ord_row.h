// One entry of the wallet's ordinal listing: a 1-satoshi ordinal output (artwork, certificate,
// identity credential, any other inscription) or one token holding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct KvCofferlyOrdRow {
    std::string key;  // origin "txid_vout"; for a merged token holding, its first alias
    std::string txid; // transaction holding the output now, or empty
    std::uint32_t vout = 0;
    std::int64_t satoshis = 1;
    std::uint32_t height = 0; // 0 when unconfirmed or not reported
    std::string type;         // content type; "local" when only the wallet file knows the ordinal
    std::string address;      // the watch address holding the output
    std::string name;
    std::string icon;                 // token icon: an ordinal key or origin of an image
    std::string amt;                  // token amount, decimal digits without leading zeros
    std::string dec;                  // token decimals as text
    std::string token_id;             // deploy outpoint "txid_vout"
    std::vector<std::string> aliases; // every key a merged token holding stands for, its own first
    std::string kind;                 // "Artwork", "Certificate" or ""
    bool chain_name = false;          // name came from the inscription's own metadata on chain
};
