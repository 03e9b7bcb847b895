#include "art/title_chain.h"

#include "art/art_records.h"
#include "art/watch_reader.h"
#include "chain/outpoints.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

namespace {

bool is_pair_of(const WatchRecord& record, const std::string& artwork_key) {
    return json_text(record.msg, "type") == "art_pair" && norm_txid(json_text(record.msg, "pic")) == artwork_key;
}

} // namespace

void merge_pair_records(std::vector<WatchRecord>& title_records, const std::vector<WatchRecord>& pair_records,
                        const std::string& artwork_key) {
    for (const WatchRecord& pair : pair_records) {
        if (!is_pair_of(pair, artwork_key)) continue;
        auto same = std::find_if(title_records.begin(), title_records.end(),
                                 [&](const WatchRecord& r) { return r.txid == pair.txid; });
        if (same == title_records.end()) {
            title_records.push_back(pair);
            continue;
        }
        // Both watches list the same pair transaction; the copies differ only when one source
        // answered with a damaged certificate field, and the better one is kept.
        const std::string pair_cert = json_text(pair.msg, "cert");
        if (!is_txid_hex(norm_txid(json_text(same->msg, "cert"))) && is_txid_hex(norm_txid(pair_cert)) &&
            same->msg.is_object())
            same->msg["cert"] = pair_cert;
    }
    sort_watch_records(title_records);
}

void walk_title_records(const std::vector<WatchRecord>& records, const std::string& artwork_key,
                        const std::string& title_address, const std::string& pair_address,
                        std::vector<KvArtTitleRow>& rows, std::string* certificate_id) {
    rows.clear();
    std::string owner_now;
    std::string head;
    for (const WatchRecord& record : records) {
        const std::string type = json_text(record.msg, "type");
        if (type != "art_pair" && type != "art_owner") continue;
        if (norm_txid(json_text(record.msg, "pic")) != artwork_key) continue;
        const bool is_pair = type == "art_pair";
        // The certificate is that of the first pair record in time, whether or not the walk
        // accepts it.
        if (is_pair && certificate_id && certificate_id->empty()) {
            const std::string cert = norm_txid(json_text(record.msg, "cert"));
            if (is_txid_hex(cert)) *certificate_id = cert;
        }
        const std::string signer = json_identity_pubkey(record.msg);
        const std::string owner = to_lower_copy(json_text(record.msg, "owner"));
        if (signer.empty() || owner.empty()) continue;
        bool accepted = false;
        if (is_pair) {
            accepted = signer == owner && head.empty() &&
                       (tx_pays_address(record.tx, title_address) || tx_pays_address(record.tx, pair_address));
        } else {
            accepted = !owner_now.empty() && signer == owner_now &&
                       to_lower_copy(json_text(record.msg, "prev")) == head &&
                       tx_pays_address(record.tx, title_address);
        }
        if (!accepted) continue;
        KvArtTitleRow row;
        row.txid = record.txid;
        row.type = type;
        row.owner = owner;
        row.signer = signer;
        row.handle = json_text(record.msg, "handle");
        row.ts = record.ts;
        rows.push_back(row);
        owner_now = owner;
        head = record.txid;
    }
}

std::string art_title_chain(const std::string& artwork_id, std::vector<KvArtTitleRow>& rows,
                            std::string* certificate_id) {
    rows.clear();
    if (certificate_id) certificate_id->clear();
    const std::string pair_address = kPairWatchAddress;
    const std::string title_address = kTitleWatchAddress;
    if (pair_address.empty() || title_address.empty()) return kWatchesNotAssignedText;
    if (art_trim_copy(artwork_id).empty()) return "Pick an artwork.";
    const std::string artwork_key = norm_txid(artwork_id);

    std::vector<WatchRecord> records;
    std::string title_error;
    const bool title_ok = scan_watch_messages(kTitleWatchKey, title_address, records, title_error);
    // The pair transaction pays both watches, so the title watch usually lists the pair record
    // already and the second full read is spared.
    const bool pair_listed =
        std::any_of(records.begin(), records.end(), [&](const WatchRecord& r) { return is_pair_of(r, artwork_key); });
    std::string pair_error;
    if (certificate_id || !pair_listed) {
        std::vector<WatchRecord> pair_records;
        if (scan_watch_messages(kPairWatchKey, pair_address, pair_records, pair_error))
            merge_pair_records(records, pair_records, artwork_key);
    }
    walk_title_records(records, artwork_key, title_address, pair_address, rows, certificate_id);
    // Every pass is listed only at the title watch: without it the pair record alone would name
    // the registering owner as the owner now, even after the artwork has passed on. The
    // certificate found in the pair records is still given.
    if (!title_ok) {
        rows.clear();
        return title_error.empty() ? pair_error : title_error;
    }
    return "";
}
