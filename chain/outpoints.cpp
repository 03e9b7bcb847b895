#include "chain/outpoints.h"

#include "chain/coin_snapshots.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"

#include <algorithm>
#include <mutex>

namespace {

std::unordered_set<std::string> g_spent;
std::vector<HeldInputs> g_held;
SpentChanges g_changes;
std::vector<HeldInputs> g_held_added;   // rows this process added since its last save
std::vector<HeldInputs> g_held_dropped; // rows this process dropped since its last save
std::mutex g_held_view_mutex;
std::unordered_set<std::string> g_held_view; // guarded by g_held_view_mutex

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

std::vector<HeldInputs>& held_inputs() {
    return g_held;
}

void note_held_inputs_changed() {
    std::unordered_set<std::string> view;
    for (const HeldInputs& held : g_held)
        if (!held.txid.empty()) view.insert(held.txid);
    std::lock_guard<std::mutex> guard(g_held_view_mutex);
    g_held_view.swap(view);
}

bool inputs_still_held(const std::string& txid) {
    std::lock_guard<std::mutex> guard(g_held_view_mutex);
    return g_held_view.count(to_lower_copy(txid)) != 0;
}

bool is_outpoint_spent(const std::string& txid, std::uint32_t vout) {
    if (g_spent.count(outpoint_key(txid, vout)) != 0) return true;
    const std::string reversed = reverse_txid_hex(txid);
    return !reversed.empty() && g_spent.count(outpoint_key(reversed, vout)) != 0;
}

namespace {

void note_marked(const std::string& key, std::int64_t now) {
    g_spent.insert(key);
    g_changes.marked[key] = now;
    g_changes.given_back.erase(key);
}

void add_spent(const std::string& txid, std::uint32_t vout) {
    const std::int64_t now = clock_system_ms();
    note_marked(outpoint_key(txid, vout), now);
    const std::string reversed = reverse_txid_hex(txid);
    if (!reversed.empty()) note_marked(outpoint_key(reversed, vout), now);
}

void note_given_back(const std::string& key, std::int64_t now) {
    g_changes.given_back[key] = now;
    g_changes.marked.erase(key);
}

bool same_row(const HeldInputs& a, const HeldInputs& b) {
    return a.txid == b.txid && a.outpoints == b.outpoints;
}

bool has_row(const std::vector<HeldInputs>& rows, const HeldInputs& row) {
    return std::any_of(rows.begin(), rows.end(), [&](const HeldInputs& h) { return same_row(h, row); });
}

} // namespace

void mark_outpoint_spent(const std::string& txid, std::uint32_t vout) {
    load_spent_outpoints();
    add_spent(txid, vout);
    save_spent_outpoints();
}

bool unmark_spent_key(const std::string& key) {
    const std::int64_t now = clock_system_ms();
    bool removed = g_spent.erase(key) > 0;
    const std::size_t colon = key.find(':');
    const std::string reversed = reverse_txid_hex(key.substr(0, colon));
    if (!reversed.empty() && colon != std::string::npos) {
        const std::string other = reversed + key.substr(colon);
        if (g_spent.erase(other) > 0) {
            removed = true;
            note_given_back(other, now);
        }
    }
    if (removed) note_given_back(key, now);
    return removed;
}

SpentChanges& spent_changes() {
    return g_changes;
}

void merge_spent_marks(const std::vector<std::string>& marks,
                       const std::unordered_map<std::string, std::int64_t>& given_back) {
    for (const std::string& key : marks)
        if (!key.empty()) g_spent.insert(key);
    for (const auto& [key, at] : given_back) {
        const auto mine = g_changes.marked.find(key);
        if (mine != g_changes.marked.end() && mine->second >= at) continue;
        g_spent.erase(key);
    }
}

void clear_spent_state() {
    g_spent.clear();
    g_held.clear();
    g_changes = SpentChanges{};
    g_held_added.clear();
    g_held_dropped.clear();
    note_held_inputs_changed();
}

void add_held_row(HeldInputs row) {
    g_held_dropped.erase(std::remove_if(g_held_dropped.begin(), g_held_dropped.end(),
                                        [&](const HeldInputs& h) { return same_row(h, row); }),
                         g_held_dropped.end());
    if (!has_row(g_held_added, row)) g_held_added.push_back(row);
    if (!has_row(g_held, row)) g_held.push_back(std::move(row));
}

void drop_held_row(const std::string& txid, const std::vector<std::string>& outpoints) {
    HeldInputs row;
    row.txid = txid;
    row.outpoints = outpoints;
    auto same = [&](const HeldInputs& h) { return same_row(h, row); };
    g_held.erase(std::remove_if(g_held.begin(), g_held.end(), same), g_held.end());
    g_held_added.erase(std::remove_if(g_held_added.begin(), g_held_added.end(), same), g_held_added.end());
    if (!has_row(g_held_dropped, row)) g_held_dropped.push_back(std::move(row));
}

std::vector<HeldInputs> held_rows_to_store(std::vector<HeldInputs> stored) {
    stored.erase(
        std::remove_if(stored.begin(), stored.end(), [](const HeldInputs& h) { return has_row(g_held_dropped, h); }),
        stored.end());
    for (const HeldInputs& row : g_held_added)
        if (!has_row(stored, row)) stored.push_back(row);
    return stored;
}

void take_stored_held_rows(std::vector<HeldInputs> stored) {
    std::vector<HeldInputs> rows = held_rows_to_store(std::move(stored));
    for (HeldInputs& row : rows)
        for (const HeldInputs& known : g_held)
            if (same_row(known, row)) row.asked_at_ms = known.asked_at_ms;
    g_held = std::move(rows);
    note_held_inputs_changed();
}

void note_spent_saved() {
    g_changes = SpentChanges{};
    g_held_added.clear();
    g_held_dropped.clear();
}

void mark_inputs_spent(const std::vector<TxInput>& inputs, std::size_t from) {
    load_spent_outpoints();
    for (std::size_t i = from; i < inputs.size(); ++i)
        add_spent(inputs[i].txid, inputs[i].vout);
    save_spent_outpoints();
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
