#include "fakes/tx_check.h"

#include "fakes/script_check.h"

#include <algorithm>
#include <set>
#include <utility>

// Deliberately written apart from chain/tx.cpp and chain/sign.cpp: a shared mistake there would
// otherwise pass its own check.
namespace {

constexpr uint64_t kMaxMoney = 21000000ULL * 100000000ULL;

struct RawIn {
    Hash256 prev_hash{}; // wire order
    uint32_t prev_vout = 0;
    Bytes script;
    uint32_t sequence = 0;
};
struct RawTx {
    uint32_t version = 0;
    std::vector<RawIn> ins;
    std::vector<CheckedOutput> outs;
    uint32_t lock_time = 0;
};

struct Reader {
    const Bytes& b;
    size_t pos = 0;

    bool take(size_t n, const uint8_t*& p) {
        if (pos > b.size() || n > b.size() - pos) return false;
        p = b.data() + pos;
        pos += n;
        return true;
    }
    bool uint_le(size_t n, uint64_t& v) {
        const uint8_t* p = nullptr;
        if (!take(n, p)) return false;
        v = 0;
        for (size_t i = n; i-- > 0;)
            v = (v << 8) | p[i];
        return true;
    }
    bool u32(uint32_t& v) {
        uint64_t x = 0;
        if (!uint_le(4, x)) return false;
        v = static_cast<uint32_t>(x);
        return true;
    }
    bool count(uint64_t& v) {
        uint64_t first = 0;
        if (!uint_le(1, first)) return false;
        if (first < 0xFD) {
            v = first;
            return true;
        }
        return uint_le(first == 0xFD ? 2 : first == 0xFE ? 4 : 8, v);
    }
    bool bytes(Bytes& out) {
        uint64_t n = 0;
        const uint8_t* p = nullptr;
        if (!count(n) || n > b.size() || !take(static_cast<size_t>(n), p)) return false;
        out.assign(p, p + n);
        return true;
    }
};

// Strict: version, at least one input and one output, lock time, nothing after it.
bool parse(const Bytes& raw, RawTx& tx) {
    Reader r{raw};
    uint64_t n_in = 0, n_out = 0;
    if (!r.u32(tx.version) || !r.count(n_in) || n_in == 0 || n_in > raw.size() / 41) return false;
    for (uint64_t i = 0; i < n_in; ++i) {
        RawIn in;
        const uint8_t* p = nullptr;
        if (!r.take(32, p)) return false;
        std::copy(p, p + 32, in.prev_hash.begin());
        if (!r.u32(in.prev_vout) || !r.bytes(in.script) || !r.u32(in.sequence)) return false;
        tx.ins.push_back(std::move(in));
    }
    if (!r.count(n_out) || n_out == 0 || n_out > raw.size() / 9) return false;
    for (uint64_t i = 0; i < n_out; ++i) {
        CheckedOutput o;
        if (!r.uint_le(8, o.sats) || !r.bytes(o.script)) return false;
        tx.outs.push_back(std::move(o));
    }
    return r.u32(tx.lock_time) && r.pos == raw.size();
}

void put_le(Bytes& out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_count(Bytes& out, uint64_t n) {
    if (n < 0xFD) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n <= 0xFFFF) {
        out.push_back(0xFD);
        put_le(out, n, 2);
    } else if (n <= 0xFFFFFFFFu) {
        out.push_back(0xFE);
        put_le(out, n, 4);
    } else {
        out.push_back(0xFF);
        put_le(out, n, 8);
    }
}
void put_bytes(Bytes& out, const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
}
void put_output(Bytes& out, const CheckedOutput& o) {
    put_le(out, o.sats, 8);
    put_count(out, o.script.size());
    put_bytes(out, o.script.data(), o.script.size());
}

// Script code of the original layout: whole OP_CODESEPARATOR operations dropped.
Bytes drop_separators(const Bytes& script) {
    Bytes out;
    Reader r{script};
    while (r.pos < script.size()) {
        const size_t start = r.pos;
        uint64_t op = 0, len = 0;
        r.uint_le(1, op);
        bool ok = true;
        if (op <= 0x4E) {
            ok = op < 0x4C ? (len = op, true) : r.uint_le(op == 0x4C ? 1 : op == 0x4D ? 2 : 4, len);
            const uint8_t* p = nullptr;
            ok = ok && len <= script.size() && r.take(static_cast<size_t>(len), p);
        }
        if (!ok) {
            out.insert(out.end(), script.begin() + static_cast<std::ptrdiff_t>(start), script.end());
            break;
        }
        if (op != 0xAB)
            out.insert(out.end(), script.begin() + static_cast<std::ptrdiff_t>(start),
                       script.begin() + static_cast<std::ptrdiff_t>(r.pos));
    }
    return out;
}

// The pre-FORKID layout, which FORKID types with the 0x20 flag still select.
Hash256 original_layout_digest(const RawTx& tx, size_t index, const Bytes& script_code, uint32_t hash_type) {
    const uint32_t base = hash_type & 0x1F;
    const bool acp = (hash_type & 0x80) != 0;
    const bool single = base == 3, none = base == 2;
    Hash256 one{};
    one[0] = 1;
    if (single && index >= tx.outs.size()) return one;
    Bytes pre;
    put_le(pre, tx.version, 4);
    put_count(pre, acp ? 1 : tx.ins.size());
    for (size_t i = 0; i < tx.ins.size(); ++i) {
        if (acp && i != index) continue;
        const RawIn& in = tx.ins[i];
        put_bytes(pre, in.prev_hash.data(), 32);
        put_le(pre, in.prev_vout, 4);
        const Bytes code = i == index ? drop_separators(script_code) : Bytes{};
        put_count(pre, code.size());
        put_bytes(pre, code.data(), code.size());
        put_le(pre, i != index && (single || none) ? 0 : in.sequence, 4);
    }
    const size_t n_out = none ? 0 : single ? index + 1 : tx.outs.size();
    put_count(pre, n_out);
    for (size_t i = 0; i < n_out; ++i) {
        if (single && i != index) {
            put_le(pre, ~uint64_t{0}, 8);
            put_count(pre, 0);
        } else {
            put_output(pre, tx.outs[i]);
        }
    }
    put_le(pre, tx.lock_time, 4);
    put_le(pre, hash_type, 4);
    return sha256d(pre);
}

Hash256 digest(const RawTx& tx, size_t index, const Bytes& script_code, uint64_t amount, uint32_t hash_type) {
    if (hash_type & 0x20) return original_layout_digest(tx, index, script_code, hash_type);
    const uint32_t base = hash_type & 0x1F;
    const bool acp = (hash_type & 0x80) != 0;
    const bool single = base == 3, none = base == 2;
    Hash256 prevouts{}, sequences{}, outputs{};
    Bytes buf;
    if (!acp) {
        for (const RawIn& in : tx.ins) {
            put_bytes(buf, in.prev_hash.data(), 32);
            put_le(buf, in.prev_vout, 4);
        }
        prevouts = sha256d(buf);
    }
    if (!acp && !single && !none) {
        buf.clear();
        for (const RawIn& in : tx.ins)
            put_le(buf, in.sequence, 4);
        sequences = sha256d(buf);
    }
    if (!single && !none) {
        buf.clear();
        for (const CheckedOutput& o : tx.outs)
            put_output(buf, o);
        outputs = sha256d(buf);
    } else if (single && index < tx.outs.size()) {
        buf.clear();
        put_output(buf, tx.outs[index]);
        outputs = sha256d(buf);
    }
    const RawIn& in = tx.ins[index];
    Bytes pre;
    put_le(pre, tx.version, 4);
    put_bytes(pre, prevouts.data(), 32);
    put_bytes(pre, sequences.data(), 32);
    put_bytes(pre, in.prev_hash.data(), 32);
    put_le(pre, in.prev_vout, 4);
    put_count(pre, script_code.size());
    put_bytes(pre, script_code.data(), script_code.size());
    put_le(pre, amount, 8);
    put_le(pre, in.sequence, 4);
    put_bytes(pre, outputs.data(), 32);
    put_le(pre, tx.lock_time, 4);
    put_le(pre, hash_type, 4);
    return sha256d(pre);
}

std::string hex_reversed(const uint8_t* p) {
    Bytes r(p, p + 32);
    std::reverse(r.begin(), r.end());
    return to_hex(r);
}

// Runs input `index`'s unlocking script against the locking script of the output it spends.
bool verify_input(const RawTx& tx, size_t index, uint64_t amount, const Bytes& prev_script, std::string& reason) {
    const SighashOf sighash = [&tx, index, amount](const Bytes& script_code, uint32_t hash_type) {
        return digest(tx, index, script_code, amount, hash_type);
    };
    return verify_script(tx.ins[index].script, prev_script, sighash, reason);
}

} // namespace

bool check_transaction(const Bytes& raw, const PrevOutputLookup& lookup, CheckedTx& out, std::string& reason) {
    out = CheckedTx{};
    reason.clear();
    RawTx tx;
    if (!parse(raw, tx)) {
        reason = "bad-txns";
        return false;
    }
    std::set<std::pair<Hash256, uint32_t>> seen;
    for (const RawIn& in : tx.ins) {
        if (!seen.insert({in.prev_hash, in.prev_vout}).second) {
            reason = "bad-txns-inputs-duplicate";
            return false;
        }
    }
    uint64_t out_total = 0;
    for (const CheckedOutput& o : tx.outs) {
        if (o.sats > kMaxMoney - out_total) {
            reason = "bad-txns-vout-toolarge";
            return false;
        }
        out_total += o.sats;
    }

    uint64_t in_total = 0;
    for (size_t i = 0; i < tx.ins.size(); ++i) {
        const std::string prev_txid = hex_reversed(tx.ins[i].prev_hash.data());
        uint64_t sats = 0;
        Bytes prev_script;
        if (!lookup || !lookup(prev_txid, tx.ins[i].prev_vout, sats, prev_script)) {
            reason = "Missing inputs";
            return false;
        }
        if (sats > kMaxMoney - in_total) {
            reason = "bad-txns-inputvalues-outofrange";
            return false;
        }
        if (!verify_input(tx, i, sats, prev_script, reason)) return false;
        in_total += sats;
    }
    if (in_total < out_total) {
        reason = "bad-txns-in-belowout";
        return false;
    }

    const Hash256 id = sha256d(raw);
    out.txid = hex_reversed(id.data());
    for (const RawIn& in : tx.ins)
        out.inputs.push_back(CheckedInput{hex_reversed(in.prev_hash.data()), in.prev_vout});
    out.outputs = std::move(tx.outs);
    out.raw = raw;
    return true;
}

bool check_forkid_digest(const Bytes& raw, std::size_t index, const Bytes& script_code, uint64_t amount,
                         uint32_t hash_type, Hash256& result) {
    RawTx tx;
    if (!parse(raw, tx) || index >= tx.ins.size()) return false;
    result = digest(tx, index, script_code, amount, hash_type);
    return true;
}

PrevOutputLookup PrevOutputMap::lookup() const {
    return [this](const std::string& txid, uint32_t vout, uint64_t& sats, Bytes& script) {
        auto it = coins.find({txid, vout});
        if (it == coins.end()) return false;
        sats = it->second.sats;
        script = it->second.script;
        return true;
    };
}
