#include "chain/compact_sig.h"

#include "chain/outpoints.h"
#include "wallet/http_client.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/ossl_types.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>

#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

std::mutex& p2p_mutex() {
    static std::mutex m;
    return m;
}

std::unordered_map<std::string, P2pDestination>& p2p_registry() {
    static std::unordered_map<std::string, P2pDestination> registry;
    return registry;
}

std::string point_hex(const EC_GROUP* group, const EC_POINT* point, BN_CTX* ctx) {
    unsigned char buf[33];
    size_t n = EC_POINT_point2oct(group, point, POINT_CONVERSION_COMPRESSED, buf, sizeof buf, ctx);
    return n == sizeof buf ? to_hex(buf, n) : std::string();
}

} // namespace

bool ecdsa_recover_pubkey(const EC_GROUP* group, const std::uint8_t* digest32, const BIGNUM* r, const BIGNUM* s,
                          int recid, EC_POINT* out) {
    if (!group || !digest32 || !r || !s || !out || recid < 0 || recid > 3) return false;
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr order(BN_new()), p(BN_new()), a(BN_new()), b(BN_new()), x(BN_new()), e(BN_new()), zero(BN_new()),
        u1(BN_new()), u2(BN_new());
    if (!ctx || !order || !p || !a || !b || !x || !e || !zero || !u1 || !u2) return false;
    if (!EC_GROUP_get_order(group, order.get(), ctx.get()) ||
        !EC_GROUP_get_curve(group, p.get(), a.get(), b.get(), ctx.get()))
        return false;
    // r and s outside [1, n-1] belong to no signature; r^-1 would not exist for r = 0.
    if (BN_is_zero(r) || BN_is_negative(r) || BN_cmp(r, order.get()) >= 0 || BN_is_zero(s) || BN_is_negative(s) ||
        BN_cmp(s, order.get()) >= 0)
        return false;
    if (!BN_copy(x.get(), r)) return false;
    if ((recid & 2) && !BN_add(x.get(), x.get(), order.get())) return false;
    if (BN_cmp(x.get(), p.get()) >= 0) return false;
    PointPtr big_r(EC_POINT_new(group));
    if (!big_r || !EC_POINT_set_compressed_coordinates(group, big_r.get(), x.get(), recid & 1, ctx.get())) return false;
    BnPtr rinv(BN_mod_inverse(nullptr, r, order.get(), ctx.get()));
    if (!rinv || !BN_bin2bn(digest32, 32, e.get())) return false;
    BN_zero(zero.get());
    // Q = (-e r^-1) G + (s r^-1) R
    if (!BN_mod_sub(u1.get(), zero.get(), e.get(), order.get(), ctx.get()) ||
        !BN_mod_mul(u1.get(), u1.get(), rinv.get(), order.get(), ctx.get()) ||
        !BN_mod_mul(u2.get(), s, rinv.get(), order.get(), ctx.get()))
        return false;
    if (!EC_POINT_mul(group, out, u1.get(), big_r.get(), u2.get(), ctx.get())) return false;
    return !EC_POINT_is_at_infinity(group, out);
}

bool sign_bitcoin_message(const std::string& priv_hex, const std::string& message, std::string& signature_b64) {
    signature_b64.clear();
    const Hash256 digest = bitcoin_message_digest(message);
    Bytes key = from_hex(priv_hex);
    const bool key_ok = key.size() == 32;
    wipe(key);
    if (!key_ok) return false;
    std::string pub_hex;
    if (!priv_hex_to_pub_hex(priv_hex, pub_hex)) return false;
    Bytes der;
    if (!ecdsa_sign_der(priv_hex, digest.data(), der) || der.empty()) return false;

    const unsigned char* cursor = der.data();
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
    if (!sig) return false;
    const BIGNUM* r = nullptr;
    const BIGNUM* s_signed = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s_signed);

    GroupPtr group(EC_GROUP_new_by_curve_name(NID_secp256k1));
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr order(BN_new()), half(BN_new()), s(BN_dup(s_signed));
    if (!group || !ctx || !order || !half || !s || !r) return false;
    if (!EC_GROUP_get_order(group.get(), order.get(), ctx.get()) || !BN_rshift1(half.get(), order.get())) return false;
    if (BN_cmp(s.get(), half.get()) > 0 && !BN_sub(s.get(), order.get(), s.get())) return false;

    PointPtr q(EC_POINT_new(group.get()));
    if (!q) return false;
    int recid = -1;
    for (int id = 0; id < 4 && recid < 0; ++id) {
        if (ecdsa_recover_pubkey(group.get(), digest.data(), r, s.get(), id, q.get()) &&
            point_hex(group.get(), q.get(), ctx.get()) == pub_hex)
            recid = id;
    }
    if (recid < 0) return false;

    std::uint8_t compact[65];
    compact[0] = static_cast<std::uint8_t>(31 + recid);
    if (BN_bn2binpad(r, compact + 1, 32) != 32 || BN_bn2binpad(s.get(), compact + 33, 32) != 32) return false;
    signature_b64 = base64_encode(compact, sizeof compact);
    return !signature_b64.empty();
}

void add_p2p_destination(const std::string& address, const P2pDestination& destination) {
    std::lock_guard<std::mutex> lock(p2p_mutex());
    p2p_registry()[address] = destination;
}

bool find_p2p_destination(const std::string& address, P2pDestination& destination) {
    std::lock_guard<std::mutex> lock(p2p_mutex());
    auto it = p2p_registry().find(address);
    if (it == p2p_registry().end()) return false;
    destination = it->second;
    return true;
}

std::string p2p_notice_body(const P2pPaymentNote& note, const P2pReceiver& receiver) {
    nlohmann::json body;
    body["hex"] = note.hex;
    body["metadata"] = {
        {"sender", receiver.sender}, {"pubkey", note.pubkey}, {"signature", note.signature}, {"note", "payment"}};
    body["reference"] = receiver.reference;
    try {
        return body.dump();
    } catch (const nlohmann::json::exception&) {
        return {}; // a sender or reference that is not UTF-8
    }
}

void post_p2p_transaction(const P2pPaymentNote& note) {
    for (const P2pReceiver& receiver : note.receivers) {
        std::string body = p2p_notice_body(note, receiver);
        if (body.empty()) continue;
        std::string response, error;
        http_post_json(receiver.endpoint, body, response, error, 12, 1);
    }
}

void notify_p2p_payment(const std::string& raw_hex, const std::string& txid, const std::vector<TxOutput>& outputs) {
    if (!is_txid_hex(txid) || raw_hex.empty()) return;
    {
        std::lock_guard<std::mutex> lock(p2p_mutex());
        if (p2p_registry().empty()) return;
    }

    P2pPaymentNote note;
    {
        auto wallet_lock = lock_wallet();
        if (!load_wallet() || kv_wallet().mnemonic.empty()) return;
        std::string priv, pub, address;
        const bool derived = derive_path(kIdentityPath, priv, pub, address);
        bool signed_ok = false;
        if (derived && priv.size() == 64) signed_ok = sign_bitcoin_message(priv, txid, note.signature);
        wipe(priv);
        if (!signed_ok || note.signature.empty()) return;
        note.pubkey = pub;
    }

    {
        std::lock_guard<std::mutex> lock(p2p_mutex());
        auto& registry = p2p_registry();
        for (const TxOutput& out : outputs) {
            Hash160 h{};
            if (!p2pkh_script_hash160(out.script, h)) continue;
            auto it = registry.find(base58check_encode(h));
            if (it == registry.end() || it->second.sats < 0 || static_cast<std::uint64_t>(it->second.sats) != out.sats)
                continue;
            note.receivers.push_back({it->second.endpoint, it->second.reference, it->second.sender});
            registry.erase(it);
        }
    }
    if (note.receivers.empty()) return;
    note.hex = to_lower_copy(raw_hex);
    try {
        std::thread([job = std::move(note)]() {
            // A notice that throws is dropped like a failed post; leaving the thread would end the
            // program.
            try {
                post_p2p_transaction(job);
            } catch (...) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to post on: the notice is dropped like a failed post.
    }
}
