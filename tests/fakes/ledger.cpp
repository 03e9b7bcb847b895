#include "fakes/ledger.h"

#include "fakes/tx_check.h"
#include "wallet/crypto.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

namespace {

std::string lower(std::string s) {
    return to_lower_copy(std::move(s));
}

std::string txid_of_raw(const Bytes& raw) {
    Hash256 h = sha256d(raw);
    std::reverse(h.begin(), h.end());
    return to_hex(h.data(), h.size());
}

std::string address_of_script(const Bytes& s) {
    Hash160 h{};
    return p2pkh_script_hash160(s, h) ? base58check_encode(h) : std::string();
}

// 1Sat origins, first in, first out: the satoshi at offset k of the inputs (the values of the
// inputs before it plus its place in its own) lands in the output whose range of satoshis covers k.
// An inscribed 1-sat input keeps its origin only when it lands in a 1-sat output; one that lands in
// a larger output or in the fee is no longer followed. Answers the origin by output index.
std::map<std::size_t, std::string> carried_origins(const std::vector<LedgerOutput*>& spent,
                                                   const std::vector<CheckedOutput>& outputs) {
    std::map<std::size_t, std::string> carried;
    std::uint64_t offset = 0;
    for (const LedgerOutput* in : spent) {
        if (in->sats == 1 && !in->origin.empty()) {
            std::uint64_t start = 0;
            for (std::size_t j = 0; j < outputs.size(); ++j) {
                if (offset >= start && offset - start < outputs[j].sats) {
                    if (outputs[j].sats == 1) carried[j] = in->origin;
                    break;
                }
                start += outputs[j].sats;
            }
        }
        offset += in->sats;
    }
    return carried;
}

// Funding transactions differ by this counter in their coinbase script, so each has its own id.
std::atomic<std::uint64_t> g_funding_counter{1};

} // namespace

bool script_has_inscription(const Bytes& script) {
    static const Bytes envelope = {0x00, 0x63, 0x03, 'o', 'r', 'd'};
    return std::search(script.begin(), script.end(), envelope.begin(), envelope.end()) != script.end();
}

std::string Ledger::fund(const std::string& address_or_script_hex, std::uint64_t sats, bool confirmed) {
    Hash160 h{};
    Bytes script;
    if (address_to_hash160(address_or_script_hex, h)) {
        script = p2pkh_script(h);
    } else {
        script = from_hex(address_or_script_hex);
        if (script.empty()) return {};
    }
    return fund_outputs({{script, sats}}, confirmed);
}

std::string Ledger::fund_outputs(const std::vector<std::pair<Bytes, std::uint64_t>>& outputs, bool confirmed) {
    if (outputs.empty()) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    return add_funding(outputs, confirmed);
}

std::string Ledger::add_funding(const std::vector<std::pair<Bytes, std::uint64_t>>& outputs, bool confirmed) {
    Bytes raw;
    append_u32_le(raw, 1);
    append_varint(raw, 1);
    raw.insert(raw.end(), 32, 0);
    append_u32_le(raw, 0xFFFFFFFFu);
    Bytes tag;
    append_u64_le(tag, g_funding_counter++);
    Bytes salt(8, 0);
    random_bytes(salt.data(), salt.size());
    tag.insert(tag.end(), salt.begin(), salt.end());
    Bytes coinbase_script;
    append_push_data(coinbase_script, tag.data(), tag.size());
    append_varint(raw, coinbase_script.size());
    raw.insert(raw.end(), coinbase_script.begin(), coinbase_script.end());
    append_u32_le(raw, 0xFFFFFFFFu);
    append_varint(raw, outputs.size());
    for (const auto& out : outputs) {
        append_u64_le(raw, out.second);
        append_varint(raw, out.first.size());
        raw.insert(raw.end(), out.first.begin(), out.first.end());
    }
    append_u32_le(raw, 0);

    Entry e;
    e.tx.txid = txid_of_raw(raw);
    e.tx.raw = raw;
    e.tx.height = confirmed ? ++tip_ : 0;
    e.tx.coinbase = true;
    e.tx.seq = next_seq_++;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        LedgerOutput o;
        o.txid = e.tx.txid;
        o.vout = static_cast<std::uint32_t>(i);
        o.sats = outputs[i].second;
        o.script = outputs[i].first;
        o.address = address_of_script(o.script);
        if (o.sats == 1 && script_has_inscription(o.script)) o.origin = o.txid + "_" + std::to_string(i);
        e.tx.outputs.push_back(std::move(o));
    }
    std::string txid = e.tx.txid;
    txs_[txid] = std::move(e);
    return txid;
}

bool Ledger::accept(const Bytes& raw, std::string& reason, std::string* txid_out) {
    std::lock_guard<std::mutex> lock(mutex_);
    reason.clear();
    if (txs_.count(txid_of_raw(raw))) {
        reason = "txn-already-known";
        return false;
    }

    bool missing = false;
    PrevOutputLookup lookup = [&](const std::string& txid, std::uint32_t vout, std::uint64_t& sats, Bytes& script) {
        auto it = txs_.find(lower(txid));
        if (it == txs_.end() || vout >= it->second.tx.outputs.size()) {
            missing = true;
            return false;
        }
        sats = it->second.tx.outputs[vout].sats;
        script = it->second.tx.outputs[vout].script;
        return true;
    };
    CheckedTx checked;
    std::string why;
    if (!check_transaction(raw, lookup, checked, why)) {
        reason = missing ? "Missing inputs" : (why.empty() ? "bad-txns" : why);
        return false;
    }
    if (checked.inputs.empty() || checked.outputs.empty()) {
        reason = checked.inputs.empty() ? "bad-txns-vin-empty" : "bad-txns-vout-empty";
        return false;
    }

    // A node relays a 0-sat output only as a data carrier (OP_FALSE OP_RETURN); a 1-sat output is
    // an ordinal and no dust on this chain.
    for (const CheckedOutput& out : checked.outputs) {
        if (out.sats == 0 && !(out.script.size() >= 2 && out.script[0] == 0x00 && out.script[1] == 0x6A)) {
            reason = "dust";
            return false;
        }
    }

    std::set<std::string> seen;
    std::vector<LedgerOutput*> spent;
    std::uint64_t in_sum = 0;
    for (const CheckedInput& in : checked.inputs) {
        std::string key = lower(in.prev_txid) + ":" + std::to_string(in.prev_vout);
        if (!seen.insert(key).second) {
            reason = "bad-txns-inputs-duplicate";
            return false;
        }
        auto it = txs_.find(lower(in.prev_txid));
        if (it == txs_.end() || in.prev_vout >= it->second.tx.outputs.size()) {
            reason = "Missing inputs";
            return false;
        }
        LedgerOutput& prev = it->second.tx.outputs[in.prev_vout];
        if (!prev.spent_by.empty()) {
            auto spender = txs_.find(prev.spent_by);
            bool in_mempool = spender != txs_.end() && spender->second.tx.height == 0;
            reason = in_mempool ? "txn-mempool-conflict" : "Missing inputs";
            return false;
        }
        in_sum += prev.sats;
        spent.push_back(&prev);
    }
    std::uint64_t out_sum = 0;
    for (const CheckedOutput& out : checked.outputs) {
        if (out.sats > 2100000000000000ULL || out_sum + out.sats > 2100000000000000ULL) {
            reason = "bad-txns-txouttotal-toolarge";
            return false;
        }
        out_sum += out.sats;
    }
    if (out_sum > in_sum) {
        reason = "bad-txns-in-belowout";
        return false;
    }
    if (in_sum - out_sum < min_fee_) {
        reason = "mempool min fee not met";
        return false;
    }

    Entry e;
    e.tx.txid = lower(checked.txid.empty() ? txid_of_raw(raw) : checked.txid);
    e.tx.raw = raw;
    e.tx.height = 0;
    e.tx.seq = next_seq_++;
    e.lag_left = lag_;
    for (std::size_t i = 0; i < checked.inputs.size(); ++i) {
        e.tx.inputs.push_back({lower(checked.inputs[i].prev_txid), checked.inputs[i].prev_vout});
        spent[i]->spent_by = e.tx.txid;
        spent[i]->spent_by_input = static_cast<std::uint32_t>(i);
    }
    const std::map<std::size_t, std::string> carried = carried_origins(spent, checked.outputs);
    for (std::size_t i = 0; i < checked.outputs.size(); ++i) {
        LedgerOutput o;
        o.txid = e.tx.txid;
        o.vout = static_cast<std::uint32_t>(i);
        o.sats = checked.outputs[i].sats;
        o.script = checked.outputs[i].script;
        o.address = address_of_script(o.script);
        if (o.sats == 1) {
            auto it = carried.find(i);
            if (script_has_inscription(o.script)) {
                o.origin = o.txid + "_" + std::to_string(i);
            } else if (it != carried.end()) {
                o.origin = it->second;
            }
        }
        e.tx.outputs.push_back(std::move(o));
    }
    if (txid_out) *txid_out = e.tx.txid;
    std::string id = e.tx.txid;
    txs_[id] = std::move(e);
    return true;
}

std::int32_t Ledger::mine() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++tip_;
    for (auto& kv : txs_) {
        if (kv.second.tx.height == 0) kv.second.tx.height = tip_;
    }
    return tip_;
}

bool Ledger::unmine(const std::string& txid) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = txs_.find(txid);
    if (it == txs_.end() || it->second.tx.height == 0) return false;
    it->second.tx.height = 0;
    return true;
}

std::int32_t Ledger::tip() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tip_;
}

void Ledger::set_lag(int lookups) {
    std::lock_guard<std::mutex> lock(mutex_);
    lag_ = std::max(0, lookups);
}

void Ledger::note_lookup() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& kv : txs_) {
        if (kv.second.lag_left > 0) --kv.second.lag_left;
    }
}

void Ledger::set_min_fee(std::uint64_t sats) {
    std::lock_guard<std::mutex> lock(mutex_);
    min_fee_ = sats;
}

bool Ledger::visible(const Entry& e, bool visible_only) const {
    return !visible_only || e.lag_left == 0;
}

LedgerOutput Ledger::view_output(const LedgerOutput& out, bool visible_only) const {
    LedgerOutput o = out;
    auto creator = txs_.find(o.txid);
    if (creator != txs_.end()) o.height = creator->second.tx.height;
    if (!o.spent_by.empty()) {
        auto spender = txs_.find(o.spent_by);
        if (spender == txs_.end() || !visible(spender->second, visible_only)) {
            o.spent_by.clear();
            o.spent_by_input = 0;
            o.spent_height = 0;
        } else {
            o.spent_height = spender->second.tx.height;
        }
    }
    return o;
}

bool Ledger::find_tx(const std::string& txid, LedgerTx& out, bool visible_only) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = txs_.find(lower(txid));
    if (it == txs_.end()) return find_payment(txid, out);
    if (!visible(it->second, visible_only)) return false;
    out = it->second.tx;
    for (LedgerOutput& o : out.outputs)
        o = view_output(o, visible_only);
    return true;
}

bool Ledger::find_output(const std::string& txid, std::uint32_t vout, LedgerOutput& out, bool visible_only) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = txs_.find(lower(txid));
    LedgerTx payment;
    if (it == txs_.end() && find_payment(txid, payment) && vout < payment.outputs.size()) {
        out = payment.outputs[vout];
        return true;
    }
    if (it == txs_.end() || !visible(it->second, visible_only) || vout >= it->second.tx.outputs.size()) return false;
    out = view_output(it->second.tx.outputs[vout], visible_only);
    return true;
}

std::string Ledger::spender_of(const std::string& txid, std::uint32_t vout, bool visible_only) const {
    LedgerOutput o;
    return find_output(txid, vout, o, visible_only) ? o.spent_by : std::string();
}

std::string Ledger::origin_of(const std::string& txid, std::uint32_t vout) const {
    LedgerOutput o;
    return find_output(txid, vout, o, false) ? o.origin : std::string();
}

std::vector<LedgerOutput> Ledger::outputs_of_script(const Bytes& script, bool include_spent, bool visible_only) const {
    return outputs_where([&script](const Bytes& s) { return s == script; }, include_spent, visible_only);
}

std::vector<LedgerOutput> Ledger::outputs_where(const std::function<bool(const Bytes& script)>& match,
                                                bool include_spent, bool visible_only) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::uint64_t, LedgerOutput>> found;
    for (const auto& kv : txs_) {
        if (!visible(kv.second, visible_only)) continue;
        for (const LedgerOutput& raw_out : kv.second.tx.outputs) {
            if (!match(raw_out.script)) continue;
            LedgerOutput o = view_output(raw_out, visible_only);
            if (!include_spent && !o.spent_by.empty()) continue;
            found.emplace_back(kv.second.tx.seq, std::move(o));
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LedgerOutput> result;
    for (auto& f : found)
        result.push_back(std::move(f.second));
    return result;
}

std::vector<LedgerOutput> Ledger::outputs_of_address(const std::string& address, bool include_spent,
                                                     bool visible_only) const {
    Hash160 h{};
    if (!address_to_hash160(address, h)) return {};
    return outputs_of_script(p2pkh_script(h), include_spent, visible_only);
}

bool Ledger::touches(const Entry& e, const Bytes& script) const {
    if (std::any_of(e.tx.outputs.begin(), e.tx.outputs.end(),
                    [&](const LedgerOutput& o) { return o.script == script; }))
        return true;
    for (const LedgerInput& in : e.tx.inputs) {
        auto prev = txs_.find(in.prev_txid);
        if (prev != txs_.end() && in.prev_vout < prev->second.tx.outputs.size() &&
            prev->second.tx.outputs[in.prev_vout].script == script)
            return true;
    }
    return false;
}

std::vector<LedgerTx> Ledger::history_of_address(const std::string& address, bool visible_only) const {
    Hash160 h{};
    if (!address_to_hash160(address, h)) return {};
    const Bytes script = p2pkh_script(h);
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<const Entry*> hits;
    for (const auto& kv : txs_) {
        if (visible(kv.second, visible_only) && touches(kv.second, script)) hits.push_back(&kv.second);
    }
    std::sort(hits.begin(), hits.end(), [](const Entry* a, const Entry* b) { return a->tx.seq < b->tx.seq; });
    std::vector<LedgerTx> result;
    for (const Entry* e : hits) {
        LedgerTx t = e->tx;
        for (LedgerOutput& o : t.outputs)
            o = view_output(o, visible_only);
        result.push_back(std::move(t));
    }
    return result;
}

std::vector<std::string> Ledger::mempool_txids() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::uint64_t, std::string>> ids;
    for (const auto& kv : txs_) {
        if (kv.second.tx.height == 0) ids.emplace_back(kv.second.tx.seq, kv.first);
    }
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> result;
    for (auto& id : ids)
        result.push_back(std::move(id.second));
    return result;
}

namespace {

bool key_less(const LedgerHistoryKey& a, const LedgerHistoryKey& b) {
    return a.height != b.height ? a.height < b.height : a.seq < b.seq;
}

// The first eight bytes of an id in display order, as one number.
std::uint64_t id_prefix(const std::uint8_t* display) {
    std::uint64_t prefix = 0;
    for (int i = 0; i < 8; ++i)
        prefix = prefix << 8 | display[i];
    return prefix;
}

} // namespace

LedgerHistoryKey Ledger::Payments::key(std::uint64_t i) const {
    return {first_height + static_cast<std::int32_t>(i / per_block), first_seq + i};
}

// Spends an output the ledger never saw, with a push the program never checks: nobody spends these.
Bytes Ledger::Payments::raw(std::uint64_t i) const {
    Bytes raw;
    append_u32_le(raw, 1);
    append_varint(raw, 1);
    append_u64_le(raw, tag);
    append_u64_le(raw, i);
    raw.insert(raw.end(), 16, 0x5a);
    append_u32_le(raw, 0);
    Bytes unlock;
    append_push_data(unlock, raw.data() + 5, 16);
    append_varint(raw, unlock.size());
    raw.insert(raw.end(), unlock.begin(), unlock.end());
    append_u32_le(raw, 0xFFFFFFFFu);
    Hash160 stranger{};
    stranger.fill(0x5a);
    const Bytes change = p2pkh_script(stranger);
    append_varint(raw, 2);
    for (const Bytes* out : {&script, &change}) {
        append_u64_le(raw, out == &script ? 1 : 1000);
        append_varint(raw, out->size());
        raw.insert(raw.end(), out->begin(), out->end());
    }
    append_u32_le(raw, 0);
    return raw;
}

LedgerTx Ledger::Payments::tx(std::uint64_t i) const {
    LedgerTx tx;
    tx.raw = raw(i);
    tx.txid = txid_of_raw(tx.raw);
    tx.height = key(i).height;
    tx.seq = key(i).seq;
    Bytes spent(tx.raw.begin() + 5, tx.raw.begin() + 37);
    std::reverse(spent.begin(), spent.end());
    tx.inputs.push_back({to_hex(spent), 0});
    Hash160 stranger{};
    stranger.fill(0x5a);
    for (std::uint32_t n = 0; n < 2; ++n) {
        LedgerOutput o;
        o.txid = tx.txid;
        o.vout = n;
        o.sats = n == 0 ? 1 : 1000;
        o.script = n == 0 ? script : p2pkh_script(stranger);
        o.address = address_of_script(o.script);
        o.height = tx.height;
        tx.outputs.push_back(std::move(o));
    }
    return tx;
}

bool Ledger::find_payment(const std::string& txid, LedgerTx& out) const {
    const Bytes id = txid.size() == 64 ? from_hex(txid) : Bytes();
    if (id.size() != 32) return false;
    const std::pair<std::uint64_t, std::uint32_t> probe{id_prefix(id.data()), 0};
    for (const Payments& p : payments_) {
        auto it = std::lower_bound(p.by_id.begin(), p.by_id.end(), probe);
        for (; it != p.by_id.end() && it->first == probe.first; ++it) {
            LedgerTx tx = p.tx(it->second);
            if (tx.txid != lower(txid)) continue;
            out = std::move(tx);
            return true;
        }
    }
    return false;
}

std::int32_t Ledger::add_payments(const std::string& address, std::uint64_t count, std::int32_t first_height,
                                  std::uint64_t per_block) {
    Hash160 h{};
    if (!address_to_hash160(address, h) || count == 0) return tip();
    Payments p;
    p.script = p2pkh_script(h);
    random_bytes(reinterpret_cast<std::uint8_t*>(&p.tag), sizeof p.tag);
    p.count = count;
    p.per_block = std::max<std::uint64_t>(1, per_block);
    std::lock_guard<std::mutex> lock(mutex_);
    p.first_height = first_height > 0 ? first_height : tip_ + 1;
    p.first_seq = next_seq_;
    next_seq_ += count;
    p.by_id.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        Hash256 id = sha256d(p.raw(i));
        std::reverse(id.begin(), id.end());
        p.by_id.emplace_back(id_prefix(id.data()), static_cast<std::uint32_t>(i));
    }
    std::sort(p.by_id.begin(), p.by_id.end());
    tip_ = std::max(tip_, p.key(count - 1).height);
    payments_.push_back(std::move(p));
    return tip_;
}

std::vector<LedgerHistoryRow> Ledger::history_page(const std::string& address, const LedgerHistoryQuery& query,
                                                   bool& more, LedgerHistoryKey& last) const {
    more = false;
    last = {};
    Hash160 h{};
    if (!address_to_hash160(address, h)) return {};
    const Bytes script = p2pkh_script(h);
    const bool desc = query.newest_first;
    auto before = [desc](const LedgerHistoryKey& a, const LedgerHistoryKey& b) {
        return desc ? key_less(b, a) : key_less(a, b);
    };
    auto wanted = [&](const LedgerHistoryKey& k) {
        if (query.height > 0 && (desc ? k.height > query.height : k.height < query.height)) return false;
        return !query.after_set || before(query.after, k);
    };

    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<LedgerHistoryKey, const std::string*>> listed;
    for (const auto& kv : txs_) {
        const Entry& e = kv.second;
        const LedgerHistoryKey k{e.tx.height, e.tx.seq};
        if (visible(e, true) && (e.tx.height == 0) == query.mempool && wanted(k) && touches(e, script))
            listed.emplace_back(k, &e.tx.txid);
    }
    std::sort(listed.begin(), listed.end(), [&](const auto& a, const auto& b) { return before(a.first, b.first); });
    // Each run of payments is in block order already: where its wanted rows start is bisected.
    struct Run {
        const Payments* p;
        std::uint64_t next, end; // indices in the page's direction; next == end when done
    };
    std::vector<Run> runs;
    for (const Payments& p : payments_) {
        if (query.mempool || p.script != script) continue;
        std::uint64_t lo = 0, hi = p.count;
        while (lo < hi) {
            const std::uint64_t mid = lo + (hi - lo) / 2;
            if (wanted(p.key(mid)) != desc)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (desc)
            runs.push_back({&p, lo, 0});
        else
            runs.push_back({&p, lo, p.count});
    }
    std::vector<LedgerHistoryRow> rows;
    std::vector<LedgerHistoryKey> keys;
    std::size_t next_listed = 0;
    while (rows.size() <= query.limit) {
        Run* pick = nullptr; // null: the next listed transaction, if any
        LedgerHistoryKey key;
        const bool listed_left = next_listed < listed.size();
        if (listed_left) key = listed[next_listed].first;
        for (Run& r : runs) {
            if (r.next == r.end) continue;
            const LedgerHistoryKey k = r.p->key(desc ? r.next - 1 : r.next);
            if ((!pick && !listed_left) || before(k, key)) {
                pick = &r;
                key = k;
            }
        }
        if (pick) {
            const std::uint64_t i = desc ? --pick->next : pick->next++;
            rows.push_back({txid_of_raw(pick->p->raw(i)), key.height});
        } else if (listed_left) {
            rows.push_back({*listed[next_listed++].second, key.height});
        } else {
            break;
        }
        keys.push_back(key);
    }
    if (rows.size() > query.limit) {
        more = true;
        rows.pop_back();
        keys.pop_back();
    }
    if (!keys.empty()) last = keys.back();
    return rows;
}

std::vector<std::string> Ledger::block_txids(std::int32_t height) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::uint64_t, std::string>> ids;
    for (const auto& kv : txs_) {
        if (kv.second.tx.height == height && height > 0 && visible(kv.second, true))
            ids.emplace_back(kv.second.tx.seq, kv.first);
    }
    for (const Payments& p : payments_) {
        if (height < p.first_height) continue;
        const std::uint64_t first = static_cast<std::uint64_t>(height - p.first_height) * p.per_block;
        for (std::uint64_t i = first; i < p.count && i < first + p.per_block; ++i)
            ids.emplace_back(p.key(i).seq, txid_of_raw(p.raw(i)));
    }
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> result;
    for (auto& id : ids)
        result.push_back(std::move(id.second));
    return result;
}
