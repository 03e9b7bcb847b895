#include "chain/tx.h"

#include "wallet/crypto.h"

#include <algorithm>

namespace {

// Every input's estimated unlocking script: a 107-byte signature-and-key push pair.
constexpr std::size_t kEstimateScriptSig = 107;
constexpr std::uint64_t kMaxParsedCount = 500;

bool txid_to_wire(const std::string& txid, Bytes& out) {
    Bytes id = from_hex(txid);
    if (id.size() != 32) return false;
    out.insert(out.end(), id.rbegin(), id.rend());
    return true;
}

std::uint64_t read_le(const Bytes& bytes, std::size_t offset, int width) {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | bytes[offset + static_cast<std::size_t>(i)];
    return v;
}

// True when `len` more bytes are present at `offset`; written so that a huge length cannot wrap.
bool fits(const Bytes& bytes, std::size_t offset, std::uint64_t len) {
    return offset <= bytes.size() && len <= bytes.size() - offset;
}

// Skips or reads one input; `input` may be null when the caller only walks past it.
bool read_input(const Bytes& raw, std::size_t& offset, TxInput* input) {
    if (!fits(raw, offset, 36)) return false;
    if (input) {
        Bytes id(raw.begin() + static_cast<std::ptrdiff_t>(offset),
                 raw.begin() + static_cast<std::ptrdiff_t>(offset + 32));
        std::reverse(id.begin(), id.end());
        input->txid = to_hex(id);
        input->vout = static_cast<std::uint32_t>(read_le(raw, offset + 32, 4));
    }
    offset += 36;
    std::uint64_t script_len = 0;
    if (!read_compact_size(raw, offset, script_len)) return false;
    if (!fits(raw, offset, script_len) || !fits(raw, offset + script_len, 4)) return false;
    if (input) {
        input->script_sig.assign(raw.begin() + static_cast<std::ptrdiff_t>(offset),
                                 raw.begin() + static_cast<std::ptrdiff_t>(offset + script_len));
    }
    offset += script_len + 4;
    return true;
}

bool read_output(const Bytes& raw, std::size_t& offset, std::uint64_t& sats, Bytes* script) {
    if (!fits(raw, offset, 8)) return false;
    sats = read_le(raw, offset, 8);
    offset += 8;
    std::uint64_t script_len = 0;
    if (!read_compact_size(raw, offset, script_len)) return false;
    if (!fits(raw, offset, script_len)) return false;
    if (script) {
        script->assign(raw.begin() + static_cast<std::ptrdiff_t>(offset),
                       raw.begin() + static_cast<std::ptrdiff_t>(offset + script_len));
    }
    offset += script_len;
    return true;
}

} // namespace

Bytes serialize_tx(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs, bool estimate) {
    Bytes out;
    append_u32_le(out, 1);
    append_varint(out, inputs.size());
    for (const TxInput& in : inputs) {
        if (!txid_to_wire(in.txid, out)) return {};
        append_u32_le(out, in.vout);
        if (estimate) {
            out.push_back(static_cast<std::uint8_t>(kEstimateScriptSig));
            out.insert(out.end(), kEstimateScriptSig, 0);
        } else {
            append_varint(out, in.script_sig.size());
            out.insert(out.end(), in.script_sig.begin(), in.script_sig.end());
        }
        append_u32_le(out, 0xFFFFFFFFu);
    }
    append_varint(out, outputs.size());
    for (const TxOutput& o : outputs) {
        append_u64_le(out, o.sats);
        append_varint(out, o.script.size());
        out.insert(out.end(), o.script.begin(), o.script.end());
    }
    append_u32_le(out, 0);
    return out;
}

std::string compute_txid(const Bytes& raw) {
    Hash256 h = sha256d(raw);
    std::reverse(h.begin(), h.end());
    return to_hex(h.data(), h.size());
}

Bytes op_return_script(const Bytes& data) {
    Bytes script{0x00, 0x6A};
    if (!data.empty()) append_push_data(script, data.data(), data.size());
    return script;
}

bool read_compact_size(const Bytes& bytes, std::size_t& offset, std::uint64_t& value) {
    if (offset >= bytes.size()) return false;
    const std::uint8_t first = bytes[offset];
    if (first < 253) {
        value = first;
        offset += 1;
        return true;
    }
    const int width = first == 0xFD ? 2 : first == 0xFE ? 4 : 8;
    if (!fits(bytes, offset + 1, static_cast<std::uint64_t>(width))) return false;
    value = read_le(bytes, offset + 1, width);
    offset += 1 + static_cast<std::size_t>(width);
    return true;
}

bool raw_tx_output_at(const Bytes& raw, std::int32_t index, std::uint64_t& value, Bytes& script) {
    script.clear();
    value = 0;
    if (raw.size() < 10 || index < 0) return false;
    std::size_t offset = 4;
    std::uint64_t input_count = 0;
    if (!read_compact_size(raw, offset, input_count)) return false;
    // Every input takes at least 41 bytes, so a forged count ends at the first shortfall.
    for (std::uint64_t i = 0; i < input_count; ++i) {
        if (!read_input(raw, offset, nullptr)) return false;
    }
    std::uint64_t output_count = 0;
    if (!read_compact_size(raw, offset, output_count)) return false;
    if (static_cast<std::uint64_t>(index) >= output_count) return false;
    for (std::int32_t i = 0; i <= index; ++i) {
        std::uint64_t sats = 0;
        if (!read_output(raw, offset, sats, i == index ? &script : nullptr)) {
            script.clear();
            return false;
        }
        if (i == index) value = sats;
    }
    return !script.empty();
}

bool parse_raw_tx(const Bytes& raw, std::vector<TxInput>& inputs, std::vector<TxOutput>& outputs) {
    inputs.clear();
    outputs.clear();
    if (raw.size() < 10) return false;
    std::size_t offset = 4;
    std::uint64_t input_count = 0;
    if (!read_compact_size(raw, offset, input_count)) return false;
    if (input_count < 1 || input_count > kMaxParsedCount) return false;
    for (std::uint64_t i = 0; i < input_count; ++i) {
        TxInput in;
        in.height = -1;
        if (!read_input(raw, offset, &in)) return false;
        inputs.push_back(std::move(in));
    }
    std::uint64_t output_count = 0;
    if (!read_compact_size(raw, offset, output_count)) return false;
    if (output_count < 1 || output_count > kMaxParsedCount) return false;
    for (std::uint64_t i = 0; i < output_count; ++i) {
        TxOutput out;
        if (!read_output(raw, offset, out.sats, &out.script)) return false;
        outputs.push_back(std::move(out));
    }
    return !inputs.empty() && !outputs.empty();
}
