// Signatures of the product judged by code that did not make them: libsecp256k1 and the fake
// ledger's own transaction check.
#include "chain/sign.h"
#include "fakes/tx_check.h"
#include "support/wallet_fixture.h"

#include <gtest/gtest.h>
#include <secp256k1.h>

namespace {

struct Key {
    std::string priv, pub;
};
Key path_key(const std::string& path) {
    return {wallet_path_vector(path, "privateKey"), wallet_path_vector(path, "publicKey")};
}
const Key kA = path_key("m/44'/236'/1'/0/0");
const Key kB = path_key("m/44'/236'/1'/0/1");
const Key kC = path_key("m/44'/236'/5'/0/0");

Hash160 hash_of(const Key& k) {
    return hash160_of(from_hex(k.pub));
}

TxInput coin(std::uint8_t id, std::uint32_t vout, std::uint64_t sats) {
    TxInput in;
    in.txid = to_hex(Bytes(32, id));
    in.vout = vout;
    in.sats = sats;
    return in;
}

void add_prevout(PrevOutputMap& prev, const TxInput& in, const Bytes& script) {
    prev.coins[{in.txid, in.vout}] = {in.sats, script};
}

// The DER signature (without its type byte) and the key of a signed input.
bool split(const Bytes& script_sig, Bytes& der, Bytes& pub) {
    if (script_sig.size() < 2 || script_sig[0] >= 76) return false;
    const std::size_t sig_len = script_sig[0];
    if (script_sig.size() < 2 + sig_len || script_sig[sig_len] != 0x41) return false;
    der.assign(script_sig.begin() + 1, script_sig.begin() + static_cast<std::ptrdiff_t>(sig_len));
    const std::size_t at = 1 + sig_len;
    if (script_sig[at] != 33 || script_sig.size() != at + 34) return false;
    pub.assign(script_sig.begin() + static_cast<std::ptrdiff_t>(at) + 1, script_sig.end());
    return true;
}

} // namespace

TEST(SignVerify, EverySignatureIsLowSAndVerifies) {
    // Many signatures so that a missing low-S step could not pass by luck.
    std::vector<TxInput> inputs;
    for (std::uint8_t i = 0; i < 48; ++i)
        inputs.push_back(coin(i, i, 1000 + i));
    const std::vector<TxOutput> outputs{{40000, p2pkh_script(hash_of(kC))}, {0, op_return_script({1, 2, 3})}};
    const ForkidHashes hashes = forkid_hashes(inputs, outputs);
    for (TxInput& in : inputs)
        ASSERT_TRUE(sign_tx_input(in, hashes, hash_of(kA), kA.priv, kA.pub));

    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        Bytes der, pub;
        ASSERT_TRUE(split(inputs[i].script_sig, der, pub));
        secp256k1_ecdsa_signature sig, normal;
        secp256k1_pubkey key;
        ASSERT_EQ(secp256k1_ecdsa_signature_parse_der(secp256k1_context_static, &sig, der.data(), der.size()), 1);
        EXPECT_EQ(secp256k1_ecdsa_signature_normalize(secp256k1_context_static, &normal, &sig), 0);
        ASSERT_EQ(secp256k1_ec_pubkey_parse(secp256k1_context_static, &key, pub.data(), pub.size()), 1);
        const Hash256 digest = forkid_sighash(inputs[i], hashes, hash_of(kA));
        EXPECT_EQ(secp256k1_ecdsa_verify(secp256k1_context_static, &sig, digest.data(), &key), 1);

        // Two separate digest implementations agree on the product's own transaction.
        Hash256 theirs{};
        ASSERT_TRUE(check_forkid_digest(serialize_tx(inputs, outputs, false), i, p2pkh_script(hash_of(kA)),
                                        inputs[i].sats, 0x41, theirs));
        EXPECT_EQ(theirs, digest);
    }
}

TEST(SignVerify, LedgerAcceptsASignedPayment) {
    // Input 0 carries its own key, input 1 is a change coin without keys (receive key, change
    // hash160), input 2 spends a known non-P2PKH script with its own key.
    std::vector<TxInput> inputs{coin(0xA0, 1, 5000), coin(0xB0, 0, 3000), coin(0xC0, 2, 700)};
    inputs[0].priv_hex = kB.priv;
    inputs[0].pub_hex = kB.pub;
    inputs[0].hash160 = hash_of(kB);
    inputs[2].priv_hex = kC.priv;
    inputs[2].pub_hex = kC.pub;
    inputs[2].hash160 = hash_of(kC);
    inputs[2].prev_script = {0x51, 0x75};
    const Bytes lock_c = p2pkh_script(hash_of(kC));
    inputs[2].prev_script.insert(inputs[2].prev_script.end(), lock_c.begin(), lock_c.end());
    const std::vector<TxOutput> outputs{{6000, p2pkh_script(hash_of(kC))}, {2500, p2pkh_script(hash_of(kA))}};

    PrevOutputMap prev;
    add_prevout(prev, inputs[0], p2pkh_script(hash_of(kB)));
    add_prevout(prev, inputs[1], p2pkh_script(hash_of(kA)));
    add_prevout(prev, inputs[2], inputs[2].prev_script);

    std::size_t failed = 0;
    ASSERT_TRUE(sign_tx_inputs(inputs, outputs, hash_of(kA), kA.priv, kA.pub, &failed));
    const Bytes raw = serialize_tx(inputs, outputs, false);
    CheckedTx checked;
    std::string reason;
    ASSERT_TRUE(check_transaction(raw, prev.lookup(), checked, reason)) << reason;
    EXPECT_EQ(checked.txid, compute_txid(raw));

    // A change hash160 that is not the receive key's makes an input the ledger refuses.
    for (TxInput& in : inputs)
        in.script_sig.clear();
    ASSERT_TRUE(sign_tx_inputs(inputs, outputs, hash_of(kB), kA.priv, kA.pub, &failed));
    EXPECT_FALSE(check_transaction(serialize_tx(inputs, outputs, false), prev.lookup(), checked, reason));
}
