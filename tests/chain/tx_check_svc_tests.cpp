// The fake ledger's transaction check, judged on its own: its digest against the published vectors,
// and hand-built transactions signed here with libsecp256k1 (no product code involved).
#include "fakes/tx_check.h"

#include "fakes/script_check.h"
#include "fakes/secp_check.h"
#include "support/wallet_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>

namespace {

struct Key {
    std::array<std::uint8_t, 32> secret{};
    Bytes pub; // compressed
};

struct Signer {
    SecpContext ctx = secp_context();

    Key key(std::uint8_t seed) {
        Key k;
        k.secret.fill(seed);
        secp256k1_pubkey pk;
        EXPECT_EQ(secp256k1_ec_pubkey_create(ctx.get(), &pk, k.secret.data()), 1);
        k.pub.resize(33);
        std::size_t len = 33;
        secp256k1_ec_pubkey_serialize(ctx.get(), k.pub.data(), &len, &pk, SECP256K1_EC_COMPRESSED);
        return k;
    }
    Bytes der(const Key& k, const Hash256& digest) {
        secp256k1_ecdsa_signature sig;
        EXPECT_EQ(secp256k1_ecdsa_sign(ctx.get(), &sig, digest.data(), k.secret.data(), nullptr, nullptr), 1);
        Bytes out(72);
        std::size_t len = out.size();
        secp256k1_ecdsa_signature_serialize_der(ctx.get(), out.data(), &len, &sig);
        out.resize(len);
        return out;
    }
};

struct In {
    std::uint8_t prev = 0; // the previous txid is 32 copies of this byte
    std::uint32_t vout = 0;
    Bytes script;
};

std::string prev_txid(std::uint8_t b) {
    return to_hex(Bytes(32, b));
}

void put_le(Bytes& out, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes build(const std::vector<In>& ins, const std::vector<CheckedOutput>& outs) {
    Bytes raw;
    put_le(raw, 1, 4);
    raw.push_back(static_cast<std::uint8_t>(ins.size()));
    for (const In& in : ins) {
        raw.insert(raw.end(), 32, in.prev);
        put_le(raw, in.vout, 4);
        raw.push_back(static_cast<std::uint8_t>(in.script.size()));
        raw.insert(raw.end(), in.script.begin(), in.script.end());
        put_le(raw, 0xFFFFFFFF, 4);
    }
    raw.push_back(static_cast<std::uint8_t>(outs.size()));
    for (const CheckedOutput& o : outs) {
        put_le(raw, o.sats, 8);
        raw.push_back(static_cast<std::uint8_t>(o.script.size()));
        raw.insert(raw.end(), o.script.begin(), o.script.end());
    }
    put_le(raw, 0, 4);
    return raw;
}

Bytes p2pkh_of(const Bytes& pub) {
    const Hash160 h = hash160_of(pub);
    Bytes s{0x76, 0xA9, 0x14};
    s.insert(s.end(), h.begin(), h.end());
    s.push_back(0x88);
    s.push_back(0xAC);
    return s;
}

Bytes pushes(const Bytes& a, const Bytes& b) {
    Bytes s{static_cast<std::uint8_t>(a.size())};
    s.insert(s.end(), a.begin(), a.end());
    s.push_back(static_cast<std::uint8_t>(b.size()));
    s.insert(s.end(), b.begin(), b.end());
    return s;
}

// s' = n - s for a 32-byte big-endian s.
Bytes high_s_of(const Bytes& der) {
    static const std::uint8_t n[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xBA, 0xAE, 0xDC, 0xE6, 0xAF, 0x48,
                                       0xA0, 0x3B, 0xBF, 0xD2, 0x5E, 0x8C, 0xD0, 0x36, 0x41, 0x41};
    const std::size_t len_r = der[3];
    const std::size_t len_s = der[5 + len_r];
    std::uint8_t s[32] = {};
    std::copy(der.begin() + 6 + len_r, der.end(), s + 32 - len_s);
    std::uint8_t out[32];
    int borrow = 0;
    for (int i = 31; i >= 0; --i) {
        int d = n[i] - s[i] - borrow;
        borrow = d < 0;
        out[i] = static_cast<std::uint8_t>(d + (borrow ? 256 : 0));
    }
    Bytes r(der.begin() + 4, der.begin() + 4 + len_r);
    Bytes s_der{0x00};
    s_der.insert(s_der.end(), out, out + 32); // top bit is set, so one leading zero
    Bytes sig{0x30, static_cast<std::uint8_t>(4 + r.size() + s_der.size()), 0x02, static_cast<std::uint8_t>(r.size())};
    sig.insert(sig.end(), r.begin(), r.end());
    sig.push_back(0x02);
    sig.push_back(static_cast<std::uint8_t>(s_der.size()));
    sig.insert(sig.end(), s_der.begin(), s_der.end());
    return sig;
}

// A two-input spend of coins of `key`, signed input by input over the checker's own digest.
struct Scenario {
    Signer signer;
    Key key = signer.key(0x11);
    Key other = signer.key(0x22);
    PrevOutputMap ledger;
    std::vector<In> ins{{0xA1, 0, {}}, {0xB2, 3, {}}};
    std::vector<CheckedOutput> outs{{7000, p2pkh_of(other.pub)}, {2500, {0x00, 0x6A, 0x01, 0x2A}}};

    Scenario() {
        ledger.coins[{prev_txid(0xA1), 0}] = {6000, p2pkh_of(key.pub)};
        ledger.coins[{prev_txid(0xB2), 3}] = {4000, p2pkh_of(key.pub)};
    }
    Hash256 digest(std::size_t i) {
        const CheckedOutput& prev = ledger.coins[{prev_txid(ins[i].prev), ins[i].vout}];
        Hash256 d{};
        EXPECT_TRUE(check_forkid_digest(build(ins, outs), i, prev.script, prev.sats, 0x41, d));
        return d;
    }
    Bytes signed_raw() {
        std::vector<Bytes> sigs;
        for (std::size_t i = 0; i < ins.size(); ++i)
            sigs.push_back(signer.der(key, digest(i)));
        for (std::size_t i = 0; i < ins.size(); ++i) {
            sigs[i].push_back(0x41);
            ins[i].script = pushes(sigs[i], key.pub);
        }
        return build(ins, outs);
    }
};

std::string reason_of(const Bytes& raw, const PrevOutputMap& ledger) {
    CheckedTx tx;
    std::string reason;
    const bool ok = check_transaction(raw, ledger.lookup(), tx, reason);
    EXPECT_EQ(ok, reason.empty());
    return ok ? "ok" : reason;
}

const std::string kFlag = "mandatory-script-verify-flag-failed (";

} // namespace

TEST(TxCheck, DigestMatchesPublishedVectors) {
    const nlohmann::json doc = test_data_json("sighash-bsv-subset.json");
    ASSERT_TRUE(doc.is_object() && doc["vectors"].is_array());
    int checked = 0;
    for (const auto& row : doc["vectors"]) {
        const auto hash_type = static_cast<std::uint32_t>(row[3].get<std::int64_t>());
        if (!(hash_type & 0x40)) continue;
        SCOPED_TRACE(row[4].get<std::string>());
        Hash256 d{};
        ASSERT_TRUE(check_forkid_digest(from_hex(row[0].get<std::string>()), row[2].get<std::size_t>(),
                                        from_hex(row[1].get<std::string>()), 0, hash_type, d));
        std::reverse(d.begin(), d.end());
        EXPECT_EQ(to_hex(d.data(), d.size()), row[4].get<std::string>());
        ++checked;
    }
    EXPECT_EQ(checked, 45);
}

TEST(TxCheck, AcceptsAProperSpendAndReportsIt) {
    Scenario sc;
    const Bytes raw = sc.signed_raw();
    CheckedTx tx;
    std::string reason;
    ASSERT_TRUE(check_transaction(raw, sc.ledger.lookup(), tx, reason)) << reason;
    Hash256 id = sha256d(raw);
    std::reverse(id.begin(), id.end());
    EXPECT_EQ(tx.txid, to_hex(id.data(), id.size()));
    ASSERT_EQ(tx.inputs.size(), 2u);
    EXPECT_EQ(tx.inputs[1].prev_txid, prev_txid(0xB2));
    EXPECT_EQ(tx.inputs[1].prev_vout, 3u);
    ASSERT_EQ(tx.outputs.size(), 2u);
    EXPECT_EQ(tx.outputs[0].sats, 7000u);
    EXPECT_EQ(tx.outputs[1].script, (Bytes{0x00, 0x6A, 0x01, 0x2A}));
    EXPECT_EQ(tx.raw, raw);
}

// The locking scripts of 1Sat inscriptions, with the P2PKH before or after the "ord" envelope and a
// MAP part after OP_RETURN, are run whole: the key must match, and the whole script is the script code.
TEST(TxCheck, RunsInscriptionLocks) {
    const Bytes envelope = {0x00, 0x63, 0x03, 'o', 'r', 'd',  0x51, 0x09, 'i', 'm', 'a', 'g',
                            'e',  '/',  'p',  'n', 'g', 0x00, 0x03, 'p',  'n', 'g', 0x68};
    const Bytes map = {0x6A, 0x03, 'a', 'p', 'p', 0x03, 'S', 'E', 'T', 0x03, 't', 'a', 'g', 0x02, 'x', 'y'};
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct Row {
        const char* what;
        std::function<Bytes(const Bytes& lock)> script;
    } rows[] = {
        {"lock before the envelope",
         [&](const Bytes& lock) {
             return cat({lock, envelope});
         }},
        {"lock after the envelope",
         [&](const Bytes& lock) {
             return cat({envelope, lock});
         }},
        {"lock, envelope and MAP tag",
         [&](const Bytes& lock) {
             return cat({lock, envelope, map});
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Scenario own;
        own.ledger.coins[{prev_txid(0xA1), 0}] = {1, row.script(p2pkh_of(own.key.pub))};
        own.outs[0].sats = 1000;
        EXPECT_EQ(reason_of(own.signed_raw(), own.ledger), "ok");

        Scenario wrong;
        wrong.ledger.coins[{prev_txid(0xA1), 0}] = {1, row.script(p2pkh_of(wrong.other.pub))};
        wrong.outs[0].sats = 1000;
        EXPECT_EQ(reason_of(wrong.signed_raw(), wrong.ledger), kFlag + "Script failed an OP_EQUALVERIFY operation)");
    }
}

// The interpreter on scripts without signatures: unlocking script, locking script, outcome.
TEST(TxCheck, ScriptRules) {
    const Hash160 empty_hash = hash160_of(Bytes{});
    const std::string hash_of_empty = to_hex(empty_hash.data(), empty_hash.size());
    const std::string pub = "02" + std::string(64, '1');
    struct Row {
        const char* what;
        std::string unlocking, locking, reason;
    } rows[] = {
        {"true", "", "51", "ok"},
        {"drop and 2drop", "5152", "6d51", "ok"},
        {"drop", "51", "7551", "ok"},
        {"dup and equal", "57", "7687", "ok"},
        {"equal", "57", "5787", "ok"},
        {"not equal", "57", "5887", "Script evaluated without error but finished with a false/empty top stack element"},
        {"equalverify", "57", "588851", "Script failed an OP_EQUALVERIFY operation"},
        {"hash160", "00", "a914" + hash_of_empty + "87", "ok"},
        {"verify", "00", "6951", "Script failed an OP_VERIFY operation"},
        {"if taken", "51", "635168", "ok"},
        {"else taken", "00", "6300675168", "ok"},
        {"notif", "00", "645168", "ok"},
        {"unknown opcode in a skipped branch", "", "0063ff4c01076851", "ok"},
        {"unknown opcode run", "", "ff51", "Opcode missing or not understood"},
        {"truncated push", "", "4c0501", "Opcode missing or not understood"},
        {"if left open", "51", "6351", "Invalid OP_IF construction"},
        {"endif without if", "", "6851", "Invalid OP_IF construction"},
        {"if on an empty stack", "", "635168", "Invalid OP_IF construction"},
        {"drop on an empty stack", "", "7551", "Operation not valid with the current stack size"},
        {"OP_RETURN ends the locking script", "51", "6aff0401", "ok"},
        {"OP_FALSE OP_RETURN cannot be spent", "51", "006a",
         "Script evaluated without error but finished with a false/empty top stack element"},
        {"OP_RETURN in a branch stops the rest", "", "51636a6851",
         "Script evaluated without error but finished with a false/empty top stack element"},
        {"extra items", "5151", "", "Extra items left on stack after execution"},
        {"negative zero is false", "0180", "",
         "Script evaluated without error but finished with a false/empty top stack element"},
        {"unlocking script not push-only", "5176", "51", "Only push operators allowed in signatures"},
        {"unlocking push not minimal", "4c0107", "75", "Data push larger than necessary"},
        {"small number pushed as data", "0105", "75", "Data push larger than necessary"},
        {"empty signature fails without error", "0021" + pub, "ac0087", "ok"},
        {"bad key encoding", "0021" + std::string("05") + std::string(64, '1'), "ac",
         "Public key is neither compressed or uncompressed"},
    };
    const SighashOf zero = [](const Bytes&, std::uint32_t) { return Hash256{}; };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string reason;
        const bool ok = verify_script(from_hex(row.unlocking), from_hex(row.locking), zero, reason);
        EXPECT_EQ(ok, reason.empty());
        EXPECT_EQ(ok ? "ok" : reason, row.reason == "ok" ? "ok" : kFlag + row.reason + ")");
    }
}

TEST(TxCheck, RejectsMalformedTransactions) {
    Scenario sc;
    const Bytes raw = sc.signed_raw();
    for (std::size_t len = 0; len < raw.size(); len += 7) {
        SCOPED_TRACE(len);
        EXPECT_EQ(reason_of(Bytes(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(len)), sc.ledger), "bad-txns");
    }
    Bytes trailing = raw;
    trailing.push_back(0);
    EXPECT_EQ(reason_of(trailing, sc.ledger), "bad-txns");
    EXPECT_EQ(reason_of(build({}, sc.outs), sc.ledger), "bad-txns");
    EXPECT_EQ(reason_of(build(sc.ins, {}), sc.ledger), "bad-txns");
    Bytes huge_count = from_hex("01000000ffffffffffffffffff");
    EXPECT_EQ(reason_of(huge_count, sc.ledger), "bad-txns");
    CheckedTx tx;
    std::string reason;
    EXPECT_FALSE(check_transaction(raw, nullptr, tx, reason));
    EXPECT_EQ(reason, "Missing inputs");
}

TEST(TxCheck, RejectsBadSpends) {
    struct Row {
        const char* what;
        std::function<Bytes(Scenario&)> make;
        std::string reason;
    } rows[] = {
        {"unknown previous output",
         [](Scenario& s) {
             const Bytes raw = s.signed_raw();
             s.ledger.coins.erase({prev_txid(0xB2), 3});
             return raw;
         },
         "Missing inputs"},
        {"same outpoint twice",
         [](Scenario& s) {
             s.ins[1] = s.ins[0];
             return s.signed_raw();
         },
         "bad-txns-inputs-duplicate"},
        {"outputs above inputs",
         [](Scenario& s) {
             s.outs[0].sats = 7501;
             return s.signed_raw();
         },
         "bad-txns-in-belowout"},
        {"spent value differs from the signed one",
         [](Scenario& s) {
             const Bytes raw = s.signed_raw();
             s.ledger.coins[{prev_txid(0xA1), 0}].sats = 6001;
             return raw;
         },
         kFlag + "Signature must be zero for failed CHECK(MULTI)SIG operation)"},
        {"key of another hash",
         [](Scenario& s) {
             s.ledger.coins[{prev_txid(0xA1), 0}].script = p2pkh_of(s.other.pub);
             return s.signed_raw();
         },
         kFlag + "Script failed an OP_EQUALVERIFY operation)"},
        {"hash type without FORKID",
         [](Scenario& s) {
             s.signed_raw();
             Bytes sig = s.signer.der(s.key, s.digest(0));
             sig.push_back(0x01);
             s.ins[0].script = pushes(sig, s.key.pub);
             return build(s.ins, s.outs);
         },
         kFlag + "Signature must use SIGHASH_FORKID)"},
        {"undefined hash type",
         [](Scenario& s) {
             s.signed_raw();
             Bytes sig = s.signer.der(s.key, s.digest(0));
             sig.push_back(0x44);
             s.ins[0].script = pushes(sig, s.key.pub);
             return build(s.ins, s.outs);
         },
         kFlag + "Signature hash type missing or not understood)"},
        {"high S",
         [](Scenario& s) {
             s.signed_raw();
             Bytes sig = high_s_of(s.signer.der(s.key, s.digest(0)));
             sig.push_back(0x41);
             s.ins[0].script = pushes(sig, s.key.pub);
             return build(s.ins, s.outs);
         },
         kFlag + "Non-canonical signature: S value is unnecessarily high)"},
        {"padded DER integer",
         [](Scenario& s) {
             s.signed_raw();
             Bytes sig = s.signer.der(s.key, s.digest(0));
             sig.insert(sig.begin() + 4, 0x00);
             sig[3] += 1;
             sig[1] += 1;
             sig.push_back(0x41);
             s.ins[0].script = pushes(sig, s.key.pub);
             return build(s.ins, s.outs);
         },
         kFlag + "Non-canonical DER signature)"},
        {"an opcode instead of a push",
         [](Scenario& s) {
             s.signed_raw();
             s.ins[1].script[0] = 0x76;
             return build(s.ins, s.outs);
         },
         kFlag + "Only push operators allowed in signatures)"},
        {"public key not on the curve",
         [](Scenario& s) {
             Bytes pub(33, 0xFF);
             pub[0] = 0x02;
             s.ledger.coins[{prev_txid(0xB2), 3}].script = p2pkh_of(pub);
             s.signed_raw();
             Bytes sig = s.signer.der(s.key, s.digest(1));
             sig.push_back(0x41);
             s.ins[1].script = pushes(sig, pub);
             return build(s.ins, s.outs);
         },
         kFlag + "Signature must be zero for failed CHECK(MULTI)SIG operation)"},
        {"signed with another key of the right hash",
         [](Scenario& s) {
             s.signed_raw();
             Bytes sig = s.signer.der(s.other, s.digest(1));
             sig.push_back(0x41);
             s.ins[1].script = pushes(sig, s.key.pub);
             return build(s.ins, s.outs);
         },
         kFlag + "Signature must be zero for failed CHECK(MULTI)SIG operation)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Scenario sc;
        const Bytes raw = row.make(sc);
        EXPECT_EQ(reason_of(raw, sc.ledger), row.reason);
    }
}
