#include "chain/sign.h"

#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kSighashNone = 2;
constexpr std::uint32_t kSighashSingle = 3;
constexpr std::uint32_t kSighashAnyoneCanPay = 0x80;
// With FORKID, this flag asks for the original (pre-BIP143) digest instead.
constexpr std::uint32_t kSighashOriginal = 0x20;
constexpr std::uint8_t kOpCodeSeparator = 0xAB;
constexpr std::uint32_t kFinalSequence = 0xFFFFFFFFu;

// An outpoint's wire form. A txid that is not 64 hex digits adds nothing; the serialisation
// refuses such an input later, so no transaction carrying it is ever sent.
void append_outpoint(Bytes& out, const TxInput& in) {
    Bytes id = from_hex(in.txid);
    if (id.size() == 32) out.insert(out.end(), id.rbegin(), id.rend());
    append_u32_le(out, in.vout);
}

void append_output(Bytes& out, const TxOutput& o) {
    append_u64_le(out, o.sats);
    append_varint(out, o.script.size());
    out.insert(out.end(), o.script.begin(), o.script.end());
}

Hash256 hash_prevouts(const std::vector<TxInput>& inputs) {
    Bytes buf;
    buf.reserve(inputs.size() * 36);
    for (const TxInput& in : inputs)
        append_outpoint(buf, in);
    return sha256d(buf);
}

Hash256 hash_sequences(const std::vector<std::uint32_t>& sequences, std::size_t count) {
    Bytes buf;
    buf.reserve(count * 4);
    for (std::size_t i = 0; i < count; ++i)
        append_u32_le(buf, sequences.empty() ? kFinalSequence : sequences[i]);
    return sha256d(buf);
}

Hash256 hash_outputs(const std::vector<TxOutput>& outputs) {
    Bytes buf;
    for (const TxOutput& o : outputs)
        append_output(buf, o);
    return sha256d(buf);
}

Hash256 preimage_digest(std::uint32_t version, const ForkidHashes& hashes, const TxInput& input,
                        const Bytes& script_code, std::uint32_t sequence, std::uint32_t lock_time,
                        std::uint32_t hash_type) {
    Bytes pre;
    pre.reserve(4 + 32 + 32 + 36 + 9 + script_code.size() + 8 + 4 + 32 + 4 + 4);
    append_u32_le(pre, version);
    pre.insert(pre.end(), hashes.prevouts.begin(), hashes.prevouts.end());
    pre.insert(pre.end(), hashes.sequence.begin(), hashes.sequence.end());
    append_outpoint(pre, input);
    append_varint(pre, script_code.size());
    pre.insert(pre.end(), script_code.begin(), script_code.end());
    append_u64_le(pre, input.sats);
    append_u32_le(pre, sequence);
    pre.insert(pre.end(), hashes.outputs.begin(), hashes.outputs.end());
    append_u32_le(pre, lock_time);
    append_u32_le(pre, hash_type);
    return sha256d(pre);
}

// Length of the script operation at `at`; 0 when it runs past the end.
std::size_t script_op_size(const Bytes& script, std::size_t at) {
    const std::size_t left = script.size() - at;
    const std::uint8_t op = script[at];
    std::size_t head = 1;
    std::uint64_t len = 0;
    if (op < 0x4C) {
        len = op;
    } else if (op <= 0x4E) {
        head += op == 0x4C ? 1 : op == 0x4D ? 2 : 4;
        if (head > left) return 0;
        for (std::size_t i = head - 1; i >= 1; --i)
            len = (len << 8) | script[at + i];
    }
    if (len > left - head) return 0;
    return head + static_cast<std::size_t>(len);
}

// The script code of the original digest leaves out every OP_CODESEPARATOR operation; bytes
// after an operation that runs past the end are kept as they stand.
Bytes without_code_separators(const Bytes& script) {
    Bytes out;
    out.reserve(script.size());
    std::size_t at = 0;
    while (at < script.size()) {
        const std::size_t n = script_op_size(script, at);
        if (n == 0) {
            out.insert(out.end(), script.begin() + static_cast<std::ptrdiff_t>(at), script.end());
            break;
        }
        if (!(n == 1 && script[at] == kOpCodeSeparator)) {
            out.insert(out.end(), script.begin() + static_cast<std::ptrdiff_t>(at),
                       script.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
        at += n;
    }
    return out;
}

// The original digest: a copy of the transaction with the other inputs' scripts emptied, trimmed
// by the hash type, followed by the type. SINGLE without a matching output signs the number one.
Hash256 original_digest(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs, std::size_t index,
                        const Bytes& script_code, const ForkidParams& params) {
    const std::uint32_t base = params.hash_type & 0x1F;
    const bool anyone_can_pay = (params.hash_type & kSighashAnyoneCanPay) != 0;
    if (base == kSighashSingle && index >= outputs.size()) {
        Hash256 one{};
        one[0] = 1;
        return one;
    }
    auto sequence_of = [&](std::size_t i) { return params.sequences.empty() ? kFinalSequence : params.sequences[i]; };
    Bytes pre;
    append_u32_le(pre, params.version);
    append_varint(pre, anyone_can_pay ? 1 : inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (anyone_can_pay && i != index) continue;
        append_outpoint(pre, inputs[i]);
        if (i == index) {
            const Bytes code = without_code_separators(script_code);
            append_varint(pre, code.size());
            pre.insert(pre.end(), code.begin(), code.end());
            append_u32_le(pre, sequence_of(i));
        } else {
            pre.push_back(0);
            append_u32_le(pre, base == kSighashNone || base == kSighashSingle ? 0 : sequence_of(i));
        }
    }
    const std::size_t output_count = base == kSighashNone ? 0 : base == kSighashSingle ? index + 1 : outputs.size();
    append_varint(pre, output_count);
    for (std::size_t i = 0; i < output_count; ++i) {
        if (base == kSighashSingle && i != index) {
            append_u64_le(pre, ~std::uint64_t{0}); // an emptied output: value -1, no script
            pre.push_back(0);
        } else {
            append_output(pre, outputs[i]);
        }
    }
    append_u32_le(pre, params.lock_time);
    append_u32_le(pre, params.hash_type);
    return sha256d(pre);
}

// A public key the network could accept: compressed 02/03 or uncompressed 04.
bool decode_pub_key(const std::string& pub_hex, Bytes& pub) {
    pub = from_hex(pub_hex);
    if (pub.size() == 33 && (pub[0] == 0x02 || pub[0] == 0x03)) return true;
    return pub.size() == 65 && pub[0] == 0x04;
}

// Derives one receive-chain or identity key and keeps it only when its address matches.
bool derived_key_matches(std::uint32_t account, std::uint32_t index, const std::string& address, std::string& priv_hex,
                         std::string& pub_hex) {
    const KeyPath path{kPurpose, kCoinType, account | kHardened, 0, index};
    std::string priv, pub, derived_address;
    // The cached address decides; an identity-grade private key is derived afresh only on a match.
    if (!derive_address(path, derived_address) || derived_address != address) return false;
    if (!derive_path(path, priv, pub, derived_address) || derived_address != address) {
        wipe(priv);
        return false;
    }
    priv_hex.swap(priv);
    pub_hex = pub;
    wipe(priv);
    return true;
}

} // namespace

bool is_my_address(const std::string& address, std::string& priv_hex, std::string& pub_hex, Hash160& hash160) {
    Hash160 decoded{};
    if (!address_to_hash160(address, decoded)) return false;
    hash160 = decoded;

    const KvCofferlyWallet& w = kv_wallet();
    if (!w.is_hd) {
        if (w.address.empty() || address != w.address) return false;
        priv_hex = w.priv;
        pub_hex = w.pub;
        return true;
    }
    if (w.mnemonic.empty()) return false;
    // The main address's key is loaded with the wallet, and most change lands there.
    if (address == w.address && !w.priv.empty() && !w.pub.empty()) {
        priv_hex = w.priv;
        pub_hex = w.pub;
        return true;
    }
    // The addresses derived already are searched first: deriving a large wallet's addresses under
    // the caller's wallet mutex would keep every other thread waiting for a second.
    for (std::uint32_t account = 0; account < w.recv.size(); ++account) {
        const AccountAddresses addresses = derived_account_addresses(account);
        for (std::size_t i = 0; i < addresses.count; ++i) {
            if (addresses[i] == address)
                return derived_key_matches(account, static_cast<std::uint32_t>(i), address, priv_hex, pub_hex);
        }
    }
    for (std::uint32_t account = 0; account < w.recv.size(); ++account) {
        const AccountAddresses addresses = account_addresses(account);
        for (std::size_t i = 0; i < addresses.count; ++i) {
            if (addresses[i] == address &&
                derived_key_matches(account, static_cast<std::uint32_t>(i), address, priv_hex, pub_hex))
                return true;
        }
    }
    return derived_key_matches(kIdentityAccount, 0, address, priv_hex, pub_hex);
}

ForkidHashes forkid_hashes(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs) {
    ForkidHashes h;
    h.prevouts = hash_prevouts(inputs);
    h.sequence = hash_sequences({}, inputs.size());
    h.outputs = hash_outputs(outputs);
    return h;
}

Hash256 forkid_sighash(const TxInput& input, const ForkidHashes& hashes, const Hash160& hash160) {
    const Bytes script_code = input.prev_script.empty() ? p2pkh_script(hash160) : input.prev_script;
    return preimage_digest(1, hashes, input, script_code, kFinalSequence, 0, kSighashAllForkid);
}

Hash256 forkid_sighash_general(const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                               std::size_t index, const Bytes& script_code, const ForkidParams& params) {
    if (index >= inputs.size()) return {};
    if (!params.sequences.empty() && params.sequences.size() != inputs.size()) return {};
    if (params.hash_type & kSighashOriginal) return original_digest(inputs, outputs, index, script_code, params);

    const std::uint32_t base = params.hash_type & 0x1F;
    const bool anyone_can_pay = (params.hash_type & kSighashAnyoneCanPay) != 0;
    const bool none_or_single = base == kSighashNone || base == kSighashSingle;

    ForkidHashes h; // members not committed to stay all zero
    if (!anyone_can_pay) h.prevouts = hash_prevouts(inputs);
    if (!anyone_can_pay && !none_or_single) h.sequence = hash_sequences(params.sequences, inputs.size());
    if (!none_or_single) {
        h.outputs = hash_outputs(outputs);
    } else if (base == kSighashSingle && index < outputs.size()) {
        Bytes one;
        append_output(one, outputs[index]);
        h.outputs = sha256d(one);
    }
    const std::uint32_t sequence = params.sequences.empty() ? kFinalSequence : params.sequences[index];
    return preimage_digest(params.version, h, inputs[index], script_code, sequence, params.lock_time, params.hash_type);
}

bool sign_tx_input(TxInput& input, const ForkidHashes& hashes, const Hash160& hash160, const std::string& priv_hex,
                   const std::string& pub_hex) {
    Bytes pub;
    if (!decode_pub_key(pub_hex, pub)) return false;
    const Hash256 digest = forkid_sighash(input, hashes, hash160);
    Bytes sig;
    if (!ecdsa_sign_der(priv_hex, digest.data(), sig) || sig.empty()) return false;
    sig.push_back(static_cast<std::uint8_t>(kSighashAllForkid));

    Bytes script;
    script.reserve(2 + sig.size() + pub.size());
    append_push_data(script, sig.data(), sig.size());
    append_push_data(script, pub.data(), pub.size());
    input.script_sig = std::move(script);
    return true;
}

bool sign_tx_input(TxInput& input, const std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs,
                   const Hash160& hash160, const std::string& priv_hex, const std::string& pub_hex) {
    return sign_tx_input(input, forkid_hashes(inputs, outputs), hash160, priv_hex, pub_hex);
}

bool sign_tx_inputs(std::vector<TxInput>& inputs, const std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                    const std::string& receive_priv, const std::string& receive_pub, std::size_t* failed_index) {
    const ForkidHashes hashes = forkid_hashes(inputs, outputs);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        TxInput& in = inputs[i];
        const bool own_key = !in.priv_hex.empty();
        const std::string& priv = own_key ? in.priv_hex : receive_priv;
        const std::string& pub = in.pub_hex.empty() ? receive_pub : in.pub_hex;
        const Hash160& hash160 = own_key ? in.hash160 : change_hash160;
        if (!sign_tx_input(in, hashes, hash160, priv, pub)) {
            if (failed_index) *failed_index = i;
            return false;
        }
    }
    return true;
}
