#include "chain/sign.h"

#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace {

// Keys of the test mnemonic, from tests/data/wallet-paths.json.
struct PathKey {
    std::string priv, pub, address;
};
PathKey path_key(const std::string& path) {
    return {wallet_path_vector(path, "privateKey"), wallet_path_vector(path, "publicKey"),
            wallet_path_vector(path, "address")};
}
const PathKey kAcct1Idx0 = path_key("m/44'/236'/1'/0/0");
const PathKey kAcct1Idx1 = path_key("m/44'/236'/1'/0/1");
const PathKey kAcct1Chain1 = path_key("m/44'/236'/1'/1/0");
const PathKey kAcct5Idx0 = path_key("m/44'/236'/5'/0/0");
const PathKey kAcct5Idx7 = path_key("m/44'/236'/5'/0/7");
const PathKey kIdentity = path_key("m/44'/236'/100'/0/0");
const PathKey kAcct0Idx3 = path_key("m/44'/236'/0'/0/3");

TxInput coin(char digit, std::uint32_t vout, std::uint64_t sats) {
    TxInput in;
    in.txid = std::string(64, digit);
    in.vout = vout;
    in.sats = sats;
    return in;
}

std::vector<TxOutput> two_outputs() {
    return {{5000, p2pkh_script(test_hash_of(kAcct5Idx0.address))}, {1234, {0x00, 0x6A}}};
}

// Splits an unlocking script made of two direct pushes.
bool two_pushes(const Bytes& s, Bytes& first, Bytes& second) {
    if (s.empty() || s[0] >= 76 || s.size() < 2u + s[0]) return false;
    first.assign(s.begin() + 1, s.begin() + 1 + s[0]);
    const std::size_t at = 1u + s[0];
    if (s[at] >= 76 || s.size() != at + 1 + s[at]) return false;
    second.assign(s.begin() + static_cast<std::ptrdiff_t>(at) + 1, s.end());
    return true;
}

// Version, sequences and lock time that parse_raw_tx leaves out.
bool vector_params(const Bytes& raw, std::size_t inputs, ForkidParams& params) {
    if (raw.size() < 8) return false;
    params.version = static_cast<std::uint32_t>(raw[0] | raw[1] << 8 | raw[2] << 16 | std::uint32_t(raw[3]) << 24);
    std::size_t offset = 4;
    std::uint64_t n = 0, len = 0;
    if (!read_compact_size(raw, offset, n) || n != inputs) return false;
    for (std::size_t i = 0; i < inputs; ++i) {
        offset += 36;
        if (!read_compact_size(raw, offset, len) || offset + len + 4 > raw.size()) return false;
        offset += len;
        params.sequences.push_back(static_cast<std::uint32_t>(
            raw[offset] | raw[offset + 1] << 8 | raw[offset + 2] << 16 | std::uint32_t(raw[offset + 3]) << 24));
        offset += 4;
    }
    const std::size_t lt = raw.size() - 4;
    params.lock_time =
        static_cast<std::uint32_t>(raw[lt] | raw[lt + 1] << 8 | raw[lt + 2] << 16 | std::uint32_t(raw[lt + 3]) << 24);
    return true;
}

struct WalletReset {
    TempDataDir dir;
    WalletLock lock = lock_wallet();
    WalletReset() { reset(); }
    ~WalletReset() { reset(); }
    static void reset() { reset_wallet_state_for_tests(); }
};

} // namespace

TEST(Sign, ForkidDigestMatchesPublishedVectors) {
    const nlohmann::json doc = test_data_json("sighash-bsv-subset.json");
    ASSERT_TRUE(doc.is_object() && doc["vectors"].is_array());

    int checked = 0;
    for (const auto& row : doc["vectors"]) {
        ASSERT_TRUE(row.is_array() && row.size() >= 5);
        const std::uint32_t hash_type = static_cast<std::uint32_t>(row[3].get<std::int64_t>());
        if (!(hash_type & 0x40)) continue;
        SCOPED_TRACE(row[4].get<std::string>());
        const Bytes raw = from_hex(row[0].get<std::string>());
        std::vector<TxInput> inputs;
        std::vector<TxOutput> outputs;
        ForkidParams params;
        ASSERT_TRUE(parse_raw_tx(raw, inputs, outputs));
        ASSERT_TRUE(vector_params(raw, inputs.size(), params));
        params.hash_type = hash_type;

        Hash256 d = forkid_sighash_general(inputs, outputs, row[2].get<std::size_t>(),
                                           from_hex(row[1].get<std::string>()), params);
        std::reverse(d.begin(), d.end());
        EXPECT_EQ(to_hex(d.data(), d.size()), row[4].get<std::string>());
        ++checked;
    }
    EXPECT_EQ(checked, 45);
}

TEST(Sign, DigestCommitments) {
    const Hash160 h = test_hash_of(kAcct1Idx0.address);
    std::vector<TxInput> inputs{coin('a', 0, 10000), coin('b', 3, 20000), coin('c', 1, 30000)};
    std::vector<TxOutput> outputs = two_outputs();
    auto digests = [&](const std::vector<TxInput>& ins, const std::vector<TxOutput>& outs) {
        const ForkidHashes hashes = forkid_hashes(ins, outs);
        std::vector<Hash256> d;
        for (const TxInput& in : ins)
            d.push_back(forkid_sighash(in, hashes, h));
        return d;
    };
    const std::vector<Hash256> base = digests(inputs, outputs);

    // The fixed-field form is the general form with version 1, final sequences, lock time 0, type 0x41.
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(base[i], forkid_sighash_general(inputs, outputs, i, p2pkh_script(h), ForkidParams{}));
    }
    EXPECT_EQ(forkid_sighash_general(inputs, outputs, 3, p2pkh_script(h), ForkidParams{}), Hash256{});

    std::vector<TxOutput> changed_outputs = outputs;
    changed_outputs[1].sats += 1;
    const std::vector<Hash256> after_output = digests(inputs, changed_outputs);
    for (std::size_t i = 0; i < inputs.size(); ++i)
        EXPECT_NE(after_output[i], base[i]);

    std::vector<TxInput> changed_inputs = inputs;
    changed_inputs[1].sats = 10000;
    const std::vector<Hash256> after_sats = digests(changed_inputs, outputs);
    EXPECT_EQ(after_sats[0], base[0]);
    EXPECT_NE(after_sats[1], base[1]);
    EXPECT_EQ(after_sats[2], base[2]);

    // A known locking script is the script code, not the P2PKH script of the hash160 argument.
    changed_inputs = inputs;
    changed_inputs[2].prev_script = {0x51};
    const ForkidHashes hashes = forkid_hashes(changed_inputs, outputs);
    EXPECT_NE(forkid_sighash(changed_inputs[2], hashes, h), base[2]);
    EXPECT_EQ(forkid_sighash(changed_inputs[2], hashes, h),
              forkid_sighash_general(changed_inputs, outputs, 2, Bytes{0x51}, ForkidParams{}));
}

TEST(Sign, SignedInputsPushTheSignatureAndKey) {
    std::vector<TxInput> inputs{coin('a', 0, 10000), coin('b', 1, 20000)};
    const std::vector<TxOutput> outputs = two_outputs();
    const Hash160 h = test_hash_of(kAcct1Idx0.address);
    for (TxInput& in : inputs)
        ASSERT_TRUE(sign_tx_input(in, inputs, outputs, h, kAcct1Idx0.priv, kAcct1Idx0.pub));

    for (const TxInput& in : inputs) {
        Bytes sig, pub;
        ASSERT_TRUE(two_pushes(in.script_sig, sig, pub));
        EXPECT_EQ(to_hex(pub), kAcct1Idx0.pub);
        ASSERT_GE(sig.size(), 9u);
        EXPECT_EQ(sig.front(), 0x30);
        EXPECT_EQ(sig.back(), 0x41);
    }
}

TEST(Sign, FailuresLeaveTheInputUnsigned) {
    const std::vector<TxOutput> outputs = two_outputs();
    const Hash160 h = test_hash_of(kAcct1Idx0.address);
    const std::string priv(kAcct1Idx0.priv), pub(kAcct1Idx0.pub);
    struct Row {
        const char* what;
        std::string priv, pub;
    } rows[] = {
        {"63-digit private key", priv.substr(1), pub},
        {"zero private key", std::string(64, '0'), pub},
        {"empty public key", priv, ""},
        {"public key with a bad prefix", priv, "05" + pub.substr(2)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<TxInput> inputs{coin('a', 0, 10000)};
        inputs[0].script_sig = {0xAA};
        EXPECT_FALSE(sign_tx_input(inputs[0], inputs, outputs, h, row.priv, row.pub));
        EXPECT_EQ(inputs[0].script_sig, Bytes{0xAA});
    }
}

TEST(Sign, KeyChoiceAtSigning) {
    std::vector<TxInput> inputs{coin('a', 0, 10000), coin('b', 1, 20000), coin('c', 2, 500)};
    inputs[0].priv_hex = kAcct5Idx0.priv;
    inputs[0].pub_hex = kAcct5Idx0.pub;
    inputs[0].hash160 = test_hash_of(kAcct5Idx0.address);
    inputs[2].pub_hex = kAcct1Idx1.pub; // a change coin that kept only its public key
    std::size_t failed = 99;
    ASSERT_TRUE(sign_tx_inputs(inputs, two_outputs(), test_hash_of(kAcct1Idx0.address), kAcct1Idx0.priv, kAcct1Idx0.pub,
                               &failed));
    EXPECT_EQ(failed, 99u);
    const std::string expect_pub[] = {kAcct5Idx0.pub, kAcct1Idx0.pub, kAcct1Idx1.pub};
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        Bytes sig, pub;
        ASSERT_TRUE(two_pushes(inputs[i].script_sig, sig, pub));
        EXPECT_EQ(to_hex(pub), expect_pub[i]);
    }

    // The first failure stops the run; later inputs stay unsigned.
    std::vector<TxInput> bad{coin('a', 0, 1), coin('b', 0, 1), coin('c', 0, 1)};
    bad[1].priv_hex = std::string(63, '1');
    EXPECT_FALSE(sign_tx_inputs(bad, two_outputs(), Hash160{}, kAcct1Idx0.priv, kAcct1Idx0.pub, &failed));
    EXPECT_EQ(failed, 1u);
    EXPECT_FALSE(bad[0].script_sig.empty());
    EXPECT_TRUE(bad[1].script_sig.empty());
    EXPECT_TRUE(bad[2].script_sig.empty());
    EXPECT_FALSE(sign_tx_inputs(bad, two_outputs(), Hash160{}, kAcct1Idx0.priv, kAcct1Idx0.pub, nullptr));
}

TEST(InputKeys, AddressesOfAnHdWallet) {
    WalletReset reset;
    KvCofferlyWallet& w = kv_wallet();
    w.is_hd = true;
    w.mnemonic = kTestMnemonic;
    w.recv = {3, 1, 0, 0, 0, 0};

    struct Row {
        const PathKey* key;
        bool mine;
    } rows[] = {{&kAcct0Idx3, true}, {&kAcct1Idx1, true},  {&kAcct5Idx0, true},
                {&kIdentity, true},  {&kAcct5Idx7, false}, {&kAcct1Chain1, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key->address);
        std::string priv = "keep", pub = "keep";
        Hash160 h{};
        EXPECT_EQ(is_my_address(row.key->address, priv, pub, h), row.mine);
        EXPECT_EQ(h, test_hash_of(row.key->address));
        EXPECT_EQ(priv, row.mine ? row.key->priv : "keep");
        EXPECT_EQ(pub, row.mine ? row.key->pub : "keep");
    }

    // The counters bound the search: index 3 of account 0' is out of reach at a counter of 2, and
    // index 7 of account 5' comes into reach at a counter of 7.
    std::string priv, pub;
    Hash160 h{};
    w.recv[0] = 2;
    EXPECT_FALSE(is_my_address(kAcct0Idx3.address, priv, pub, h));
    w.recv[5] = 7;
    EXPECT_TRUE(is_my_address(kAcct5Idx7.address, priv, pub, h));
    EXPECT_EQ(priv, kAcct5Idx7.priv);

    // Without a mnemonic an HD wallet owns nothing, though the hash160 is still written.
    w.mnemonic.clear();
    h = Hash160{};
    EXPECT_FALSE(is_my_address(kIdentity.address, priv, pub, h));
    EXPECT_EQ(h, test_hash_of(kIdentity.address));
}

TEST(InputKeys, SingleKeyWalletAndBadAddresses) {
    WalletReset reset;
    KvCofferlyWallet& w = kv_wallet();
    w.is_hd = false;
    w.mnemonic = kTestMnemonic; // ignored without HD keys
    w.priv = kAcct1Idx1.priv;
    w.pub = kAcct1Idx1.pub;
    w.address = kAcct1Idx1.address;
    w.identity_address = kIdentity.address;

    std::string priv, pub;
    Hash160 h{};
    EXPECT_TRUE(is_my_address(kAcct1Idx1.address, priv, pub, h));
    EXPECT_EQ(priv, kAcct1Idx1.priv);
    EXPECT_EQ(pub, kAcct1Idx1.pub);
    EXPECT_FALSE(is_my_address(kIdentity.address, priv, pub, h));
    EXPECT_FALSE(is_my_address(kAcct1Idx0.address, priv, pub, h));

    Hash160 untouched;
    untouched.fill(7);
    for (const char* bad : {"", "not an address", "3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy"}) {
        SCOPED_TRACE(bad);
        h = untouched;
        EXPECT_FALSE(is_my_address(bad, priv, pub, h));
        EXPECT_EQ(h, untouched);
    }
}
