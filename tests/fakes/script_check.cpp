#include "fakes/script_check.h"

#include <secp256k1.h>

#include <algorithm>
#include <vector>

// Written apart from the product's script builders and readers: a shared mistake would otherwise
// pass its own check.
namespace {

using Stack = std::vector<Bytes>;

constexpr std::uint8_t kOp0 = 0x00;
constexpr std::uint8_t kOpPushData1 = 0x4C;
constexpr std::uint8_t kOpPushData2 = 0x4D;
constexpr std::uint8_t kOpPushData4 = 0x4E;
constexpr std::uint8_t kOp1Negate = 0x4F;
constexpr std::uint8_t kOp1 = 0x51;
constexpr std::uint8_t kOp16 = 0x60;
constexpr std::uint8_t kOpNop = 0x61;
constexpr std::uint8_t kOpIf = 0x63;
constexpr std::uint8_t kOpNotIf = 0x64;
constexpr std::uint8_t kOpElse = 0x67;
constexpr std::uint8_t kOpEndIf = 0x68;
constexpr std::uint8_t kOpVerify = 0x69;
constexpr std::uint8_t kOpReturn = 0x6A;
constexpr std::uint8_t kOp2Drop = 0x6D;
constexpr std::uint8_t kOpDrop = 0x75;
constexpr std::uint8_t kOpDup = 0x76;
constexpr std::uint8_t kOpEqual = 0x87;
constexpr std::uint8_t kOpEqualVerify = 0x88;
constexpr std::uint8_t kOpHash160 = 0xA9;
constexpr std::uint8_t kOpCheckSig = 0xAC;
constexpr std::uint8_t kOpCheckSigVerify = 0xAD;

constexpr std::uint8_t kSighashForkid = 0x40;
constexpr std::uint8_t kSighashAnyoneCanPay = 0x80;

const char* const kBadOpcode = "Opcode missing or not understood";
const char* const kStackSize = "Operation not valid with the current stack size";
const char* const kUnbalanced = "Invalid OP_IF construction";
const char* const kNullFail = "Signature must be zero for failed CHECK(MULTI)SIG operation";

bool fail(std::string& reason, const char* what) {
    reason = std::string("mandatory-script-verify-flag-failed (") + what + ")";
    return false;
}

// One operation at `pos`: its opcode and, for a push, its data. False when a push runs past the end.
bool next_op(const Bytes& s, std::size_t& pos, std::uint8_t& op, Bytes& data) {
    data.clear();
    if (pos >= s.size()) return false;
    op = s[pos++];
    if (op > kOpPushData4) return true;
    std::size_t len = op;
    if (op >= kOpPushData1) {
        const std::size_t width = op == kOpPushData1 ? 1 : op == kOpPushData2 ? 2 : 4;
        if (s.size() - pos < width) return false;
        len = 0;
        for (std::size_t i = 0; i < width; ++i)
            len |= static_cast<std::size_t>(s[pos + i]) << (8 * i);
        pos += width;
    }
    if (s.size() - pos < len) return false;
    data.assign(s.begin() + static_cast<std::ptrdiff_t>(pos), s.begin() + static_cast<std::ptrdiff_t>(pos + len));
    pos += len;
    return true;
}

// The shortest way to push `data`, as the network's policy requires of every executed push.
bool minimal_push(std::uint8_t op, const Bytes& data) {
    if (data.empty()) return op == kOp0;
    if (data.size() == 1 && (data[0] >= 1 && data[0] <= 16)) return false; // OP_1..OP_16
    if (data.size() == 1 && data[0] == 0x81) return false;                 // OP_1NEGATE
    if (data.size() <= 75) return op == data.size();
    if (data.size() <= 255) return op == kOpPushData1;
    if (data.size() <= 0xFFFF) return op == kOpPushData2;
    return true;
}

// Any non-zero byte is true, except a lone sign bit at the end (negative zero).
bool truthy(const Bytes& v) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != 0) return !(i + 1 == v.size() && v[i] == 0x80);
    }
    return false;
}

// Strict DER as the network enforces it: minimal lengths, positive minimal integers.
bool strict_der(const Bytes& sig) {
    const std::size_t n = sig.size();
    if (n < 8 || n > 72 || sig[0] != 0x30 || sig[1] != n - 2) return false;
    const std::size_t len_r = sig[3];
    if (sig[2] != 0x02 || len_r == 0 || 5 + len_r >= n) return false;
    const std::size_t len_s = sig[5 + len_r];
    if (len_r + len_s + 6 != n || sig[4 + len_r] != 0x02 || len_s == 0) return false;
    if ((sig[4] & 0x80) || (len_r > 1 && sig[4] == 0 && !(sig[5] & 0x80))) return false;
    const std::size_t s = 6 + len_r;
    return !(sig[s] & 0x80) && !(len_s > 1 && sig[s] == 0 && !(sig[s + 1] & 0x80));
}

// OP_CHECKSIG on one signature (DER + hash type byte) and key. False with a reason when an encoding
// is refused or a non-empty signature fails; `valid` tells whether it verified (an empty signature
// fails without error).
bool check_sig(const Bytes& sig, const Bytes& pub, const Bytes& script_code, const SighashOf& sighash, bool& valid,
               std::string& reason) {
    valid = false;
    secp256k1_ecdsa_signature parsed;
    if (!sig.empty()) {
        const Bytes der(sig.begin(), sig.end() - 1);
        const std::uint8_t hash_type = sig.back();
        secp256k1_ecdsa_signature normal;
        if (!strict_der(der) ||
            !secp256k1_ecdsa_signature_parse_der(secp256k1_context_static, &parsed, der.data(), der.size()))
            return fail(reason, "Non-canonical DER signature");
        if (secp256k1_ecdsa_signature_normalize(secp256k1_context_static, &normal, &parsed) != 0)
            return fail(reason, "Non-canonical signature: S value is unnecessarily high");
        const std::uint8_t base = hash_type & static_cast<std::uint8_t>(~(kSighashAnyoneCanPay | kSighashForkid));
        if (base < 1 || base > 3) return fail(reason, "Signature hash type missing or not understood");
        if (!(hash_type & kSighashForkid)) return fail(reason, "Signature must use SIGHASH_FORKID");
    }
    const bool compressed = pub.size() == 33 && (pub[0] == 0x02 || pub[0] == 0x03);
    const bool uncompressed = pub.size() == 65 && pub[0] == 0x04;
    if (!compressed && !uncompressed) return fail(reason, "Public key is neither compressed or uncompressed");
    if (sig.empty()) return true;

    secp256k1_pubkey key;
    if (secp256k1_ec_pubkey_parse(secp256k1_context_static, &key, pub.data(), pub.size()) && sighash) {
        const Hash256 digest = sighash(script_code, sig.back());
        valid = secp256k1_ecdsa_verify(secp256k1_context_static, &parsed, digest.data(), &key) == 1;
    }
    if (!valid) return fail(reason, kNullFail);
    return true;
}

// Runs one script on `stack`. The whole locking script is the script code of its signatures
// (OP_CODESEPARATOR is not among the known operations).
bool run(const Bytes& script, Stack& stack, const SighashOf& sighash, std::string& reason) {
    std::vector<bool> branches; // one entry per open OP_IF: whether its current branch runs
    bool returned = false;      // OP_RETURN inside a branch: nothing after it runs
    std::size_t pos = 0;
    std::uint8_t op = 0;
    Bytes data;
    auto need = [&stack](std::size_t n) { return stack.size() >= n; };
    while (pos < script.size()) {
        if (!next_op(script, pos, op, data)) return fail(reason, kBadOpcode);
        const bool executing = !returned && std::find(branches.begin(), branches.end(), false) == branches.end();
        if (op <= kOpPushData4) {
            if (!executing) continue;
            if (!minimal_push(op, data)) return fail(reason, "Data push larger than necessary");
            stack.push_back(data);
            continue;
        }
        const bool conditional = op == kOpIf || op == kOpNotIf || op == kOpElse || op == kOpEndIf;
        if (!executing && !conditional) continue;
        switch (op) {
        case kOp1Negate:
            stack.push_back(Bytes{0x81});
            break;
        case kOpNop:
            break;
        case kOpIf:
        case kOpNotIf: {
            bool value = false;
            if (executing) {
                if (!need(1)) return fail(reason, kUnbalanced);
                value = truthy(stack.back()) == (op == kOpIf);
                stack.pop_back();
            }
            branches.push_back(value);
            break;
        }
        case kOpElse:
            if (branches.empty()) return fail(reason, kUnbalanced);
            branches.back() = !branches.back();
            break;
        case kOpEndIf:
            if (branches.empty()) return fail(reason, kUnbalanced);
            branches.pop_back();
            break;
        case kOpVerify:
            if (!need(1)) return fail(reason, kStackSize);
            if (!truthy(stack.back())) return fail(reason, "Script failed an OP_VERIFY operation");
            stack.pop_back();
            break;
        case kOpReturn:
            // Since Genesis an OP_RETURN outside any branch ends the script; what follows is data.
            if (branches.empty()) return true;
            returned = true;
            break;
        case kOp2Drop:
            if (!need(2)) return fail(reason, kStackSize);
            stack.resize(stack.size() - 2);
            break;
        case kOpDrop:
            if (!need(1)) return fail(reason, kStackSize);
            stack.pop_back();
            break;
        case kOpDup:
            if (!need(1)) return fail(reason, kStackSize);
            stack.push_back(stack.back());
            break;
        case kOpEqual:
        case kOpEqualVerify: {
            if (!need(2)) return fail(reason, kStackSize);
            const bool equal = stack[stack.size() - 2] == stack.back();
            stack.resize(stack.size() - 2);
            if (op == kOpEqualVerify) {
                if (!equal) return fail(reason, "Script failed an OP_EQUALVERIFY operation");
            } else {
                stack.push_back(equal ? Bytes{1} : Bytes{});
            }
            break;
        }
        case kOpHash160: {
            if (!need(1)) return fail(reason, kStackSize);
            const Hash160 h = hash160_of(stack.back());
            stack.back().assign(h.begin(), h.end());
            break;
        }
        case kOpCheckSig:
        case kOpCheckSigVerify: {
            if (!need(2)) return fail(reason, kStackSize);
            bool valid = false;
            if (!check_sig(stack[stack.size() - 2], stack.back(), script, sighash, valid, reason)) return false;
            stack.resize(stack.size() - 2);
            if (op == kOpCheckSigVerify) {
                if (!valid) return fail(reason, "Script failed an OP_CHECKSIGVERIFY operation");
            } else {
                stack.push_back(valid ? Bytes{1} : Bytes{});
            }
            break;
        }
        default:
            if (op >= kOp1 && op <= kOp16) {
                stack.push_back(Bytes{static_cast<std::uint8_t>(op - kOp1 + 1)});
                break;
            }
            return fail(reason, kBadOpcode);
        }
    }
    if (!branches.empty()) return fail(reason, kUnbalanced);
    return true;
}

bool push_only(const Bytes& script) {
    std::size_t pos = 0;
    std::uint8_t op = 0;
    Bytes data;
    while (pos < script.size()) {
        if (!next_op(script, pos, op, data) || op > kOp16) return false;
    }
    return true;
}

} // namespace

bool verify_script(const Bytes& unlocking, const Bytes& locking, const SighashOf& sighash, std::string& reason) {
    reason.clear();
    if (!push_only(unlocking)) return fail(reason, "Only push operators allowed in signatures");
    Stack stack;
    if (!run(unlocking, stack, sighash, reason) || !run(locking, stack, sighash, reason)) return false;
    if (stack.empty() || !truthy(stack.back()))
        return fail(reason, "Script evaluated without error but finished with a false/empty top stack element");
    if (stack.size() != 1) return fail(reason, "Extra items left on stack after execution");
    return true;
}
