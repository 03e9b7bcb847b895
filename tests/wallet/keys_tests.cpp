#include "wallet/keys.h"

#include "identity/paymail_registry.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/bip39_english.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <map>

namespace {

using json = nlohmann::json;

// A fresh HD wallet state, as a load leaves it.
void set_hd_wallet(const std::string& mnemonic) {
    reset_wallet_state_for_tests();
    KvCofferlyWallet& w = kv_wallet();
    w.is_hd = true;
    w.mnemonic = mnemonic;
}

// Decodes a base58check extended key to its 78-byte payload; empty on a bad checksum.
Bytes decode_xkey(const std::string& text) {
    static const std::string alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
    Bytes num;
    for (char c : text) {
        std::size_t v = alphabet.find(c);
        if (v == std::string::npos) return {};
        unsigned carry = static_cast<unsigned>(v);
        for (auto it = num.rbegin(); it != num.rend(); ++it) {
            carry += 58u * *it;
            *it = static_cast<std::uint8_t>(carry);
            carry >>= 8;
        }
        while (carry) {
            num.insert(num.begin(), static_cast<std::uint8_t>(carry));
            carry >>= 8;
        }
    }
    if (num.size() != 82) return {};
    Hash256 check = sha256d(num.data(), 78);
    if (std::memcmp(check.data(), num.data() + 78, 4) != 0) return {};
    num.resize(78);
    return num;
}

// Key then chain code, as bip32_ckd_priv takes them, from an xprv payload.
std::array<std::uint8_t, 64> ext_of_xprv(const Bytes& x) {
    std::array<std::uint8_t, 64> ext{};
    std::memcpy(ext.data(), x.data() + 46, 32);
    std::memcpy(ext.data() + 32, x.data() + 13, 32);
    return ext;
}

std::array<std::uint8_t, 64> master_of_seed(const std::uint8_t* seed, std::size_t len) {
    std::array<std::uint8_t, 64> i{};
    EXPECT_TRUE(hmac_sha512(reinterpret_cast<const std::uint8_t*>("Bitcoin seed"), 12, seed, len, i));
    std::array<std::uint8_t, 64> ext = i; // IL is the key, IR the chain code: the same layout
    return ext;
}

std::vector<std::uint32_t> parse_path(const std::string& path) {
    std::vector<std::uint32_t> out;
    std::size_t pos = 1; // after "m"
    while (pos < path.size()) {
        std::size_t next = path.find('/', pos + 1);
        std::string part = path.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
        bool hard = !part.empty() && part.back() == '\'';
        if (hard) part.pop_back();
        out.push_back(static_cast<std::uint32_t>(std::stoul(part)) | (hard ? kHardened : 0));
        pos = next == std::string::npos ? path.size() : next;
    }
    return out;
}

Hash160 hash_of(const std::string& hex) {
    Hash160 h{};
    Bytes b = from_hex(hex);
    std::memcpy(h.data(), b.data(), h.size());
    return h;
}

} // namespace

TEST(Keys, WordListIsSortedAndEveryWordIndexed) {
    for (int i = 0; i < 2048; ++i) {
        if (i > 0) {
            ASSERT_LT(std::strcmp(kBip39English[i - 1], kBip39English[i]), 0) << i;
        }
        ASSERT_EQ(bip39_word_index(kBip39English[i]), i);
    }
    EXPECT_EQ(bip39_word_index("abando"), -1);
    EXPECT_EQ(bip39_word_index("Zoo"), -1);
    EXPECT_EQ(bip39_word_index(std::string("zoo\0x", 5)), -1);
    EXPECT_EQ(bip39_word_index(""), -1);
}

TEST(Keys, Bip39Vectors) {
    json doc = test_data_json("bip39-trezor-english.json");
    ASSERT_TRUE(doc["vectors"].is_array());
    int twelve = 0;
    for (const auto& row : doc["vectors"]) {
        const std::string mnemonic = row[1].get<std::string>();
        SCOPED_TRACE(mnemonic);
        set_hd_wallet(mnemonic);
        std::size_t words = std::count(mnemonic.begin(), mnemonic.end(), ' ') + 1;
        // Only twelve-word mnemonics are the wallet's; longer valid ones are refused by design.
        EXPECT_EQ(mnemonic_is_valid(), words == 12);
        twelve += words == 12;

        std::array<std::uint8_t, 64> seed{};
        ASSERT_TRUE(bip39_seed(mnemonic, "TREZOR", seed));
        EXPECT_EQ(to_hex(seed.data(), seed.size()), row[2].get<std::string>());
        Bytes root = decode_xkey(row[3].get<std::string>());
        ASSERT_EQ(root.size(), 78u);
        EXPECT_EQ(master_of_seed(seed.data(), seed.size()), ext_of_xprv(root));
    }
    EXPECT_EQ(twelve, 8);
}

TEST(Keys, Bip32Vectors) {
    json doc = test_data_json("bip32.json");
    for (const auto& vec : doc["vectors"]) {
        Bytes seed = from_hex(vec["seed"].get<std::string>());
        std::array<std::uint8_t, 64> ext = master_of_seed(seed.data(), seed.size());
        std::vector<std::uint32_t> done;
        for (const auto& chain : vec["chains"]) {
            const std::string path = chain["path"].get<std::string>();
            SCOPED_TRACE(vec["seed"].get<std::string>() + " " + path);
            std::vector<std::uint32_t> want = parse_path(path);
            if (!want.empty()) {
                // Each chain of a vector extends the one before it by one index.
                ASSERT_EQ(std::vector<std::uint32_t>(want.begin(), want.end() - 1), done);
                std::array<std::uint8_t, 64> child{};
                ASSERT_TRUE(bip32_ckd_priv(ext, want.back(), child));
                ext = child;
                done = want;
            }
            Bytes xprv = decode_xkey(chain["xprv"].get<std::string>());
            Bytes xpub = decode_xkey(chain["xpub"].get<std::string>());
            ASSERT_EQ(xprv.size(), 78u);
            ASSERT_EQ(xpub.size(), 78u);
            EXPECT_EQ(ext, ext_of_xprv(xprv));
            std::string pub;
            ASSERT_TRUE(priv_hex_to_pub_hex(to_hex(ext.data(), 32), pub));
            EXPECT_EQ(pub, to_hex(xpub.data() + 45, 33));
        }
    }
}

TEST(Keys, MnemonicValidity) {
    const std::string last_swapped =
        "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon";
    struct Row {
        std::string text;
        bool valid;
    } rows[] = {
        {kTestMnemonic, true},
        {"  abandon abandon  abandon\tabandon abandon abandon abandon abandon abandon abandon abandon about\t", true},
        {"ABANDON abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon About", true},
        {"legal winner thank year wave sausage worth useful legal winner thank yellow", true},
        {last_swapped, false},
        {"abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about", false},
        {"abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abou", false},
        {"abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon\nabout", false},
        {"", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        set_hd_wallet(row.text);
        EXPECT_EQ(mnemonic_is_valid(), row.valid);
    }
}

TEST(Keys, WalletPathsMatchVectors) {
    json doc = test_data_json("wallet-paths.json");
    set_hd_wallet(doc["mnemonic"].get<std::string>());
    // Twice: the second round is served from the derived-key cache.
    for (int round = 0; round < 2; ++round) {
        for (const auto& row : doc["paths"]) {
            const std::string path_text = row["path"].get<std::string>();
            SCOPED_TRACE(path_text + (round ? " cached" : ""));
            std::vector<std::uint32_t> p = parse_path(path_text);
            ASSERT_EQ(p.size(), 5u);
            std::string priv, pub, address;
            ASSERT_TRUE(derive_path({p[0], p[1], p[2], p[3], p[4]}, priv, pub, address));
            EXPECT_EQ(priv, row["privateKey"].get<std::string>());
            EXPECT_EQ(pub, row["publicKey"].get<std::string>());
            EXPECT_EQ(address, row["address"].get<std::string>());
        }
    }
    // The identity key is never kept by the cache, though derive_path hands it out.
    const auto& derived = kv_wallet().secrets.derived;
    auto identity = derived.find({44 | kHardened, 236 | kHardened, 100 | kHardened, 0, 0});
    ASSERT_NE(identity, derived.end());
    EXPECT_TRUE(identity->second.priv_hex.empty());
    auto receive = derived.find({44 | kHardened, 236 | kHardened, 1 | kHardened, 0, 0});
    ASSERT_NE(receive, derived.end());
    EXPECT_FALSE(receive->second.priv_hex.empty());
}

TEST(Keys, AccountAndChangeKeys) {
    set_hd_wallet(kTestMnemonic);
    std::string priv, pub, address;
    ASSERT_TRUE(derive_account_key(0, 3, priv, pub, address));
    EXPECT_EQ(address, "1MgmeSFC4F5L8idUUW7fSL7QFfwbxJaW8B");
    ASSERT_TRUE(derive_change_key(3, 2, priv, pub, address));
    EXPECT_EQ(address, "1D6UZDupWnf4xEPu5Ftn4bBtaLdqEAWaQx");

    struct Row {
        std::uint32_t account, index;
    } refused[] = {{6, 0}, {1, 0x80000000u}};
    for (const auto& row : refused) {
        SCOPED_TRACE(std::to_string(row.account) + "/" + std::to_string(row.index));
        EXPECT_FALSE(derive_account_key(row.account, row.index, priv, pub, address));
        EXPECT_TRUE(priv.empty() && pub.empty() && address.empty());
        EXPECT_FALSE(derive_change_key(row.account, row.index, priv, pub, address));
    }
    kv_wallet().mnemonic.clear();
    EXPECT_FALSE(derive_account_key(1, 0, priv, pub, address));
    EXPECT_TRUE(priv.empty() && address.empty());
}

// The keys derived side by side, with the mutex released, are the keys derived one by one: every
// spending account up to its counter, and the identity key without its private half. A wallet
// without words gets none.
TEST(Keys, WarmedWalletKeysMatchTheKeysDerivedInLine) {
    set_hd_wallet(kTestMnemonic);
    kv_wallet().recv = {2, 40, 0, 0, 0, 3};
    std::map<KeyPath, DerivedKey> expected;
    for (std::uint32_t account = 0; account < 6; ++account) {
        for (std::uint32_t i = 0; i <= kv_wallet().recv[account]; ++i) {
            DerivedKey& key = expected[{44 | kHardened, 236 | kHardened, account | kHardened, 0, i}];
            ASSERT_TRUE(derive_account_key(account, i, key.priv_hex, key.pub_hex, key.address));
        }
    }
    DerivedKey& identity = expected[kIdentityPath];
    std::string identity_priv;
    ASSERT_TRUE(derive_path(kIdentityPath, identity_priv, identity.pub_hex, identity.address));
    wipe(identity_priv);
    wipe_derived_key_caches(kv_wallet().secrets);

    {
        WalletLock lock = lock_wallet();
        lock.unlock();
        warm_wallet_keys(lock);
        EXPECT_TRUE(lock.owns_lock());
    }
    const auto& derived = kv_wallet().secrets.derived;
    EXPECT_EQ(derived.size(), expected.size());
    for (const auto& [path, key] : expected) {
        SCOPED_TRACE(std::to_string(path[2] & ~kHardened) + "/" + std::to_string(path[4]));
        const auto it = derived.find(path);
        ASSERT_NE(it, derived.end());
        EXPECT_EQ(it->second.priv_hex, key.priv_hex);
        EXPECT_EQ(it->second.pub_hex, key.pub_hex);
        EXPECT_EQ(it->second.address, key.address);
        EXPECT_EQ(it->second.hash160, test_hash_of(key.address));
        if (path != kIdentityPath) {
            EXPECT_EQ(account_addresses(path[2] & ~kHardened)[path[4]], key.address);
        }
    }

    set_hd_wallet("");
    WalletLock lock = lock_wallet();
    warm_wallet_keys(lock);
    EXPECT_TRUE(kv_wallet().secrets.derived.empty());
    for (auto& entry : expected)
        wipe(entry.second.priv_hex);
}

TEST(Keys, SeedIsOverTheTextAsStoredAndCachesFollowTheWallet) {
    set_hd_wallet(kTestMnemonic);
    std::string priv_a, pub, address_a, priv_b, address_b;
    const KeyPath path{44 | kHardened, 236 | kHardened, 1 | kHardened, 0, 0};
    ASSERT_TRUE(derive_path(path, priv_a, pub, address_a));

    // The same words with two spaces are valid, yet give another seed and so other keys.
    std::string spaced = kTestMnemonic;
    spaced.insert(7, " ");
    set_hd_wallet(spaced);
    ASSERT_TRUE(mnemonic_is_valid());
    ASSERT_TRUE(derive_path(path, priv_b, pub, address_b));
    EXPECT_NE(address_a, address_b);
    EXPECT_NE(priv_a, priv_b);

    // Wiping drops every cached key, so the next wallet never sees the last one's keys.
    wipe_wallet_secrets(kv_wallet().secrets);
    EXPECT_TRUE(kv_wallet().secrets.derived.empty());
    EXPECT_TRUE(kv_wallet().secrets.prefixes.empty());
    kv_wallet().mnemonic = kTestMnemonic;
    ASSERT_TRUE(derive_path(path, priv_b, pub, address_b));
    EXPECT_EQ(address_b, address_a);

    // Clearing the master flags alone also retires every key cached under that master key.
    kv_wallet().secrets.master_cached = false;
    kv_wallet().secrets.seed_cached = false;
    kv_wallet().mnemonic = spaced;
    ASSERT_TRUE(derive_path(path, priv_b, pub, address_b));
    EXPECT_NE(address_b, address_a);

    set_hd_wallet("");
    EXPECT_FALSE(derive_path(path, priv_b, pub, address_b));
    EXPECT_TRUE(priv_b.empty() && pub.empty() && address_b.empty());
}

TEST(Keys, DeriveWalletKeys) {
    TempDataDir dir;
    set_hd_wallet(kTestMnemonic);
    KvCofferlyWallet& w = kv_wallet();
    w.recv = {0, 1, 0, 0, 0, 7};
    w.show = 5;
    const std::string identity_pub = "02ded4e1e697bc768d79dd3f5c95cd56f332fdcf483c2a36933ba6c81d29bcf8b4";
    test_write_file(paymail_registry_path(),
                    R"({"names":{"me":{"pubkey":")" + to_lower_copy(identity_pub) + R"("},"you":{"pubkey":"03ab"}}})");

    ASSERT_TRUE(derive_wallet_keys());
    EXPECT_EQ(w.show, 1u);
    EXPECT_EQ(w.address, "15QVfsvs8n6eoZgjH4e48A9BxLS7EMeWq6");
    EXPECT_EQ(w.priv, "3f11b6a38e3f0e21d7d35e099bf295d33a8b073c90d88b6abd30167793213608");
    EXPECT_EQ(w.identity_pub, identity_pub);
    EXPECT_EQ(w.identity_address, "1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g6");
    // The ordinals address of index recv[5] reaches the registry entry of this identity only.
    json reg = json::parse(test_read_file(paymail_registry_path()));
    EXPECT_EQ(reg["names"]["me"]["ordAddress"], "1LG9vh7n6uwTPJvanyYovUZqgmLyeHbKyh");
    EXPECT_FALSE(reg["names"]["you"].contains("ordAddress"));

    // A failed derivation leaves the receive fields as they were.
    w.mnemonic.clear();
    wipe_wallet_secrets(w.secrets);
    EXPECT_FALSE(derive_wallet_keys());
    EXPECT_EQ(w.address, "15QVfsvs8n6eoZgjH4e48A9BxLS7EMeWq6");

    // A single-key wallet derives nothing and answers whether it has an address.
    w.is_hd = false;
    EXPECT_TRUE(derive_wallet_keys());
    w.address.clear();
    EXPECT_FALSE(derive_wallet_keys());
}

TEST(Keys, FindKeyForHash160) {
    set_hd_wallet(kTestMnemonic);
    KvCofferlyWallet& w = kv_wallet();
    const Hash160 ord7 = hash_of("d34814839b371c21c4f35f0d1097f397e77d817c");
    const Hash160 ord0 = hash_of("ba40825ee85dde52ccc3736933361de4aaad0824");
    const Hash160 identity = hash_of("b6e77fcc75d9dc700276f33e3bc407f35f55b9e6");
    const Hash160 recv1 = hash_of("305200c664fa92c1d33a33eddc8e6dc75e8fc786");
    struct Row {
        const char* name;
        std::uint32_t recv1, recv5;
        Hash160 hash;
        const char* priv; // nullptr: not found
    } rows[] = {
        {"ordinals 7 in range", 0, 7, ord7, "a0cfb7be456e6cc7b090b8022c210b4d00efcaee02356409c6ec0c624ef015fa"},
        {"ordinals 7 past recv[5]", 0, 6, ord7, nullptr},
        {"ordinals 0 with recv[5] 0", 0, 0, ord0, "80e683ef9d4a5363cc9514ccc7abc846447a3aafd62e0b93a146e818cf1776d4"},
        {"identity", 0, 0, identity, "d9845ee2e9e92ddf65f4b9ff067a27f420d6f51664e4143ff6e5961919dbc6a6"},
        {"receive 1 in range", 3, 0, recv1, "3f11b6a38e3f0e21d7d35e099bf295d33a8b073c90d88b6abd30167793213608"},
        {"receive 1 past recv[1]", 0, 0, recv1, nullptr},
        {"a damaged counter names no key", 0xFFFFFFFFu, 0, recv1, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        w.recv = {0, row.recv1, 0, 0, 0, row.recv5};
        std::string priv = "untouched", pub = "untouched";
        bool found = find_key_for_hash160(row.hash, priv, pub);
        EXPECT_EQ(found, row.priv != nullptr);
        if (row.priv) {
            EXPECT_EQ(priv, row.priv);
            std::string expect_pub;
            ASSERT_TRUE(priv_hex_to_pub_hex(priv, expect_pub));
            EXPECT_EQ(pub, expect_pub);
        } else {
            EXPECT_EQ(priv, "untouched");
            EXPECT_EQ(pub, "untouched");
        }
    }

    // Without a mnemonic only the wallet's own address is tried.
    w.mnemonic.clear();
    wipe_wallet_secrets(w.secrets);
    w.recv = {0, 3, 0, 0, 0, 7};
    w.address = "15QVfsvs8n6eoZgjH4e48A9BxLS7EMeWq6";
    w.priv = "11";
    w.pub = "22";
    std::string priv, pub;
    EXPECT_FALSE(find_key_for_hash160(ord7, priv, pub));
    ASSERT_TRUE(find_key_for_hash160(recv1, priv, pub));
    EXPECT_EQ(priv, "11");
    EXPECT_EQ(pub, "22");
}

TEST(Keys, PublicKeyAndAddressRejects) {
    const std::string one = std::string(63, '0') + "1";
    const char* bad_priv[] = {"", "000000000000000000000000000000000000000000000000000000000000001",
                              "000000000000000000000000000000000000000000000000000000000000000g",
                              "0000000000000000000000000000000000000000000000000000000000000000",
                              // the group order n itself
                              "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141"};
    for (const char* hex : bad_priv) {
        SCOPED_TRACE(hex);
        std::string pub = "stale";
        EXPECT_FALSE(priv_hex_to_pub_hex(hex, pub));
        EXPECT_TRUE(pub.empty());
        Bytes sig{1, 2, 3};
        Hash256 digest{};
        EXPECT_FALSE(ecdsa_sign_der(hex, digest.data(), sig));
        EXPECT_TRUE(sig.empty());
    }
    std::string pub;
    ASSERT_TRUE(priv_hex_to_pub_hex(one, pub));
    EXPECT_EQ(pub, "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798");
    EXPECT_EQ(pub_hex_to_address(pub), "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_EQ(pub_hex_to_address(pub.substr(2)), "");
    EXPECT_EQ(pub_hex_to_address("04" + std::string(128, '1')), "");
}
