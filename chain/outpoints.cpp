#include "chain/outpoints.h"

#include "chain/coin_snapshots.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"

#include <algorithm>
#include <mutex>

namespace {

std::unordered_set<std::string> g_spent;
std::unordered_map<std::string, std::int64_t> g_counts;  // of coins in g_spent, where above 1
std::unordered_map<std::string, GivenBack> g_given_back; // coins given back, not in g_spent
// What this process changed since its last save: the coin's new state and count.
struct SpentChange {
    bool spent = false;
    std::int64_t count = 0;
};
std::unordered_map<std::string, SpentChange> g_unsaved;
std::vector<UnsettledInputs> g_unsettled;
std::vector<UnsettledInputs> g_unsettled_added;   // rows this process added since its last save
std::vector<UnsettledInputs> g_unsettled_dropped; // rows this process dropped since its last save
std::mutex g_unsettled_view_mutex;
std::unordered_set<std::string> g_unsettled_view; // guarded by g_unsettled_view_mutex

} // namespace

std::string outpoint_key(const std::string& txid, std::uint32_t vout) {
    // Stored files hold indexes written as signed numbers; keep the same text so they still match.
    return to_lower_copy(txid) + ":" + std::to_string(static_cast<std::int32_t>(vout));
}

std::string reverse_txid_hex(const std::string& txid) {
    if (txid.size() != 64) return std::string();
    std::string out;
    out.reserve(64);
    for (std::size_t i = 64; i >= 2; i -= 2) {
        out.push_back(txid[i - 2]);
        out.push_back(txid[i - 1]);
    }
    return to_lower_copy(out);
}

bool is_txid_hex(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!is_hex_digit(c)) return false;
    return true;
}

std::unordered_set<std::string>& spent_outpoints() {
    return g_spent;
}

std::vector<UnsettledInputs>& unsettled_inputs() {
    return g_unsettled;
}

void note_unsettled_changed() {
    std::unordered_set<std::string> view;
    for (const UnsettledInputs& row : g_unsettled)
        if (!row.txid.empty()) view.insert(row.txid);
    std::lock_guard<std::mutex> guard(g_unsettled_view_mutex);
    g_unsettled_view.swap(view);
}

bool inputs_unsettled(const std::string& txid) {
    std::lock_guard<std::mutex> guard(g_unsettled_view_mutex);
    return g_unsettled_view.count(to_lower_copy(txid)) != 0;
}

bool is_outpoint_spent(const std::string& txid, std::uint32_t vout) {
    if (g_spent.count(outpoint_key(txid, vout)) != 0) return true;
    const std::string reversed = reverse_txid_hex(txid);
    return !reversed.empty() && g_spent.count(outpoint_key(reversed, vout)) != 0;
}

namespace {

// The coin's state as this process knows it: spent or not, and its count (0: never changed).
SpentChange known_state(const std::string& key) {
    if (g_spent.count(key) != 0) {
        const auto count = g_counts.find(key);
        return {true, count == g_counts.end() ? 1 : count->second};
    }
    const auto back = g_given_back.find(key);
    return {false, back == g_given_back.end() ? 0 : back->second.count};
}

void set_spent(const std::string& key, std::int64_t count) {
    g_spent.insert(key);
    g_given_back.erase(key);
    if (count > 1) {
        g_counts[key] = count;
    } else {
        g_counts.erase(key);
    }
}

void set_given_back(const std::string& key, const GivenBack& back) {
    g_spent.erase(key);
    g_counts.erase(key);
    g_given_back[key] = back;
}

void note_marked(const std::string& key) {
    const std::int64_t count = known_state(key).count + 1;
    set_spent(key, count);
    g_unsaved[key] = {true, count};
}

void add_spent(const std::string& txid, std::uint32_t vout) {
    note_marked(outpoint_key(txid, vout));
    const std::string reversed = reverse_txid_hex(txid);
    if (!reversed.empty()) note_marked(outpoint_key(reversed, vout));
}

void note_given_back(const std::string& key, std::int64_t now) {
    GivenBack back;
    back.count = known_state(key).count + 1;
    back.at_ms = now;
    set_given_back(key, back);
    g_unsaved[key] = {false, back.count};
}

// The other byte order of an outpoint key; "" when its txid has none.
std::string reversed_key(const std::string& key) {
    const std::size_t colon = key.find(':');
    if (colon == std::string::npos) return std::string();
    const std::string reversed = reverse_txid_hex(key.substr(0, colon));
    return reversed.empty() ? std::string() : reversed + key.substr(colon);
}

bool same_row(const UnsettledInputs& a, const UnsettledInputs& b) {
    return a.txid == b.txid && a.outpoints == b.outpoints;
}

bool has_row(const std::vector<UnsettledInputs>& rows, const UnsettledInputs& row) {
    return std::any_of(rows.begin(), rows.end(), [&](const UnsettledInputs& h) { return same_row(h, row); });
}

} // namespace

void mark_outpoint_spent(const std::string& txid, std::uint32_t vout) {
    load_spent_outpoints();
    add_spent(txid, vout);
    save_spent_outpoints();
}

bool unmark_spent_key(const std::string& key) {
    const std::int64_t now = clock_system_ms();
    bool removed = false;
    const std::string other = reversed_key(key);
    if (!other.empty() && g_spent.count(other) != 0) {
        note_given_back(other, now);
        removed = true;
    }
    if (g_spent.count(key) != 0) removed = true;
    // The key as asked is given back even when only its other order was here: another process's
    // copy may hold it.
    if (removed) note_given_back(key, now);
    return removed;
}

std::unordered_map<std::string, GivenBack>& given_back_outpoints() {
    return g_given_back;
}

const std::unordered_map<std::string, std::int64_t>& spent_counts() {
    return g_counts;
}

bool unsettled_names(const std::string& key) {
    const std::string other = reversed_key(key);
    return std::any_of(g_unsettled.begin(), g_unsettled.end(), [&](const UnsettledInputs& row) {
        return std::any_of(row.outpoints.begin(), row.outpoints.end(),
                           [&](const std::string& named) { return named == key || named == other; });
    });
}

void merge_stored_spent(const StoredSpentSet& stored, bool take_files_word) {
    std::unordered_set<std::string> named;
    const auto take = [&](const std::string& key, const SpentChange& file, const GivenBack& back) {
        named.insert(key);
        const auto mine = g_unsaved.find(key);
        if (mine != g_unsaved.end()) {
            const SpentChange& change = mine->second;
            if (change.count > file.count || (change.count == file.count && change.spent)) return;
            g_unsaved.erase(mine);
        }
        if (file.spent) {
            set_spent(key, file.count);
        } else {
            set_given_back(key, back);
        }
    };
    for (const auto& [key, back] : stored.given_back)
        take(key, {false, back.count}, back);
    for (const std::string& key : stored.marks) {
        const auto count = stored.counts.find(key);
        const SpentChange mark{true, count == stored.counts.end() ? 1 : count->second};
        // A file naming a coin both ways holds the later of the two.
        const auto back = stored.given_back.find(key);
        if (back != stored.given_back.end() && back->second.count > mark.count) continue;
        take(key, mark, GivenBack{});
    }
    if (take_files_word) {
        std::vector<std::string> forgotten;
        for (const std::string& key : g_spent)
            if (named.count(key) == 0 && g_unsaved.count(key) == 0) forgotten.push_back(key);
        for (const auto& entry : g_given_back)
            if (named.count(entry.first) == 0 && g_unsaved.count(entry.first) == 0) forgotten.push_back(entry.first);
        for (const std::string& key : forgotten) {
            g_spent.erase(key);
            g_counts.erase(key);
            g_given_back.erase(key);
        }
    }
    // A coin an unsettled row names stays out until its payment's fate is known, whatever gave it back.
    for (const UnsettledInputs& row : g_unsettled)
        for (const std::string& key : row.outpoints) {
            const std::string other = reversed_key(key);
            if (g_spent.count(key) == 0 && (other.empty() || g_spent.count(other) == 0)) note_marked(key);
        }
}

void clear_spent_state() {
    g_spent.clear();
    g_counts.clear();
    g_given_back.clear();
    g_unsaved.clear();
    g_unsettled.clear();
    g_unsettled_added.clear();
    g_unsettled_dropped.clear();
    note_unsettled_changed();
}

void add_unsettled(UnsettledInputs row) {
    g_unsettled_dropped.erase(std::remove_if(g_unsettled_dropped.begin(), g_unsettled_dropped.end(),
                                             [&](const UnsettledInputs& h) { return same_row(h, row); }),
                              g_unsettled_dropped.end());
    if (!has_row(g_unsettled_added, row)) g_unsettled_added.push_back(row);
    if (!has_row(g_unsettled, row)) g_unsettled.push_back(std::move(row));
}

void drop_unsettled(const std::string& txid, const std::vector<std::string>& outpoints) {
    UnsettledInputs row;
    row.txid = txid;
    row.outpoints = outpoints;
    auto same = [&](const UnsettledInputs& h) { return same_row(h, row); };
    g_unsettled.erase(std::remove_if(g_unsettled.begin(), g_unsettled.end(), same), g_unsettled.end());
    g_unsettled_added.erase(std::remove_if(g_unsettled_added.begin(), g_unsettled_added.end(), same),
                            g_unsettled_added.end());
    if (!has_row(g_unsettled_dropped, row)) g_unsettled_dropped.push_back(std::move(row));
}

std::vector<UnsettledInputs> unsettled_to_store(std::vector<UnsettledInputs> stored) {
    stored.erase(std::remove_if(stored.begin(), stored.end(),
                                [](const UnsettledInputs& h) { return has_row(g_unsettled_dropped, h); }),
                 stored.end());
    for (const UnsettledInputs& row : g_unsettled_added)
        if (!has_row(stored, row)) stored.push_back(row);
    return stored;
}

void take_stored_unsettled(std::vector<UnsettledInputs> stored) {
    std::vector<UnsettledInputs> rows = unsettled_to_store(std::move(stored));
    for (UnsettledInputs& row : rows)
        for (const UnsettledInputs& known : g_unsettled)
            if (same_row(known, row)) row.asked_at_ms = known.asked_at_ms;
    g_unsettled = std::move(rows);
    note_unsettled_changed();
}

void note_spent_saved() {
    g_unsaved.clear();
    g_unsettled_added.clear();
    g_unsettled_dropped.clear();
}

bool mark_inputs_spent(const std::vector<TxInput>& inputs, std::size_t from) {
    load_spent_outpoints();
    for (std::size_t i = from; i < inputs.size(); ++i)
        add_spent(inputs[i].txid, inputs[i].vout);
    return save_spent_outpoints();
}

bool outpoint_equal(const std::string& txid_a, std::uint32_t vout_a, const std::string& txid_b, std::uint32_t vout_b) {
    if (vout_a != vout_b) return false;
    const std::string a = to_lower_copy(txid_a);
    const std::string b = to_lower_copy(txid_b);
    if (a == b) return true;
    const std::string reversed = reverse_txid_hex(a);
    return !reversed.empty() && reversed == b;
}

const std::array<HouseOracleRow, 3>& house_oracles() {
    static const std::array<HouseOracleRow, 3> rows = {{
        {"vesper", "Vesper", "vesper", "17m15PuZZstyCbucoL3bh2YBXNyBKMFTbK", "1KpSGQsUpqF9wyHeZFFt1BiTfXVdbAe6zs",
         "1B3xbFWt13CgFGJiAaPp3DXp3t83TKCuM1"},
        {"halden", "Halden", "halden", "1PwB5owT75cetwbUrPh9EzAvVjSgABp3Xp", "188RzbiWQz86i26RT4uLnjBtntJMc1NSdb",
         "18yEHetS2xa3bGtLXA4uHv6urYh2q6FqHr"},
        {"morrow", "Morrow", "morrow", "1ACKxk5zsZeuPwHnTu3WzXYouPLoLvdXmY", "1H7gTgEm5hJpzD3NNBCpfGRroXb2HLsms3",
         "1PiFPwroEhQs1JjtckZ7XocGmcyAC2sGZ5"},
    }};
    return rows;
}

bool is_house_oracle_address(const std::string& address) {
    if (address.empty()) return false;
    for (const HouseOracleRow& row : house_oracles())
        if (address == row.addr3 || address == row.addr1) return true;
    return false;
}
