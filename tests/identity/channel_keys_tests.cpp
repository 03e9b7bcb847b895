#include "identity/channel_keys.h"

#include "wallet/crypto.h"
#include "wallet/keys.h"

#include <gtest/gtest.h>

namespace {

struct SourceReset {
    ~SourceReset() { set_channel_key_source(nullptr); }
};

ChannelKeys full_keys() {
    ChannelKeys keys;
    keys.own_pub = "02aa";
    keys.own_priv = "11";
    keys.peer_pub = "03bb";
    return keys;
}

} // namespace

TEST(ChannelKeys, LoadsOnlyCompleteKeysAndEmptiesTheSlotsOnFailure) {
    SourceReset reset;
    struct Row {
        const char* name;
        bool install;
        bool source_ok;
        ChannelKeys given;
        const char* source_error;
        bool loaded;
        const char* error;
    } rows[] = {
        {"no source", false, false, {}, "", false, "Connect Cofferly"},
        {"source with its own text", true, false, {}, "keys are sealed", false, "keys are sealed"},
        {"silent failure", true, false, {}, "", false, "could not load Cofferly encryption keys"},
        {"success missing a key",
         true,
         true,
         {"02aa", "", "03bb"},
         "",
         false,
         "could not load Cofferly encryption keys"},
        {"success", true, true, full_keys(), "stale words", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Keys of an earlier load must not survive a failed one.
        set_channel_key_source([](ChannelKeys& keys, std::string&) {
            keys = full_keys();
            return true;
        });
        std::string error;
        ASSERT_TRUE(load_channel_keys("report", error));
        if (row.install) {
            set_channel_key_source([&row](ChannelKeys& keys, std::string& err) {
                keys = row.given;
                err = row.source_error;
                return row.source_ok;
            });
        } else {
            set_channel_key_source(nullptr);
        }
        error = "left over";
        EXPECT_EQ(load_channel_keys("report", error), row.loaded);
        EXPECT_EQ(error, row.error);
        const ChannelKeys now = loaded_channel_keys();
        EXPECT_EQ(now.own_priv, row.loaded ? "11" : "");
        EXPECT_EQ(now.peer_pub, row.loaded ? "03bb" : "");
    }
}

// The reader holds the peer private key and derives the same shared X from the sender's public key
// (with a peer key of 1, the generator, it is the sender's own X; the others are known values); the
// text must open with it, only unaltered and only in the report whose signed text it was sealed to.
TEST(ChannelKeys, ReportEncryptionOpensOnThePeerSideAndNeedsUsableKeys) {
    const std::string generator = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798";
    const std::string priv = std::string(62, '0') + "2a";
    std::string sender_pub;
    ASSERT_TRUE(priv_hex_to_pub_hex(priv, sender_pub));
    const std::string peer = "02cca6649424131300f1ff26543e27b7f1e20f7268d707e11210ea53a00171d198";
    const std::string kSigned = "KV1|report|art|ada|ada|1700000000|02ab";
    struct Row {
        const char* name;
        std::string priv;
        std::string peer;
        bool ok;
        std::string x = ""; // the shared X the reader derives
    };
    const std::vector<Row> rows = {
        {"usable", priv, generator, true, sender_pub.substr(2)},
        {"a key of 1", std::string(63, '0') + "1", peer, true, peer.substr(2)},
        {"a key below 2^64", std::string(50, '0') + "c3a5f0e1d2b497", peer, true,
         "e5d8509fa4563836af45d0df518cb2a2b494caa947e7896762510d04305da4fa"},
        {"a random key, the peer uncompressed", "f55396199026d5ce4254e139f9eb4165f52f24eb634372fac7bdff8c075bba12",
         "04cca6649424131300f1ff26543e27b7f1e20f7268d707e11210ea53a00171d198695e5b35f332d455ec8f989d9261c80ab62c882859a"
         "f3c"
         "590de14f9e3c3b1e1a",
         true, "3dafbd778055f9e91e51b3d664911fbc225b51ad12483064931c24a7a417a993"},
        {"private key truncated", priv.substr(0, 40), generator, false},
        {"private key zero", std::string(64, '0'), generator, false},
        {"private key the group order", "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141", generator,
         false},
        {"private key not hex", std::string(64, 'z'), generator, false},
        {"peer truncated", priv, generator.substr(0, 40), false},
        {"peer not on the curve", priv, "02" + std::string(64, '0'), false},
        {"peer the point at infinity", priv, "00", false},
        {"peer empty", priv, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ChannelKeys keys;
        keys.own_pub = sender_pub;
        keys.own_priv = row.priv;
        keys.peer_pub = row.peer;
        std::string encrypted;
        std::string error;
        EXPECT_EQ(encrypt_report_text(keys, "hello", kSigned, encrypted, error), row.ok);
        EXPECT_EQ(encrypted.empty(), !row.ok);
        EXPECT_EQ(error, row.ok ? "" : "the channel keys are not usable");
        if (!row.ok) continue;
        const Hash256 reader_key = sha256(from_hex(row.x));
        Bytes sealed;
        ASSERT_TRUE(base64_decode(encrypted, sealed));
        ASSERT_EQ(sealed.size(), 12u + 5u + 16u); // nonce, text, tag
        std::uint8_t plain[5] = {};
        ASSERT_TRUE(
            aes_256_gcm_open(reader_key, sealed.data(), kSigned, sealed.data() + 12, 5, sealed.data() + 17, plain));
        EXPECT_EQ(std::string(plain, plain + 5), "hello");
        for (const char* other :
             {"", "KV1|report|art|ada|ada|1700000001|02ab", "KV1|report|art|bob|bob|1700000000|02ab"})
            EXPECT_FALSE(
                aes_256_gcm_open(reader_key, sealed.data(), other, sealed.data() + 12, 5, sealed.data() + 17, plain));
        sealed[14] ^= 1;
        EXPECT_FALSE(
            aes_256_gcm_open(reader_key, sealed.data(), kSigned, sealed.data() + 12, 5, sealed.data() + 17, plain));
        EXPECT_EQ(std::string(plain, plain + 5), std::string(5, '\0')); // nothing of a forged text is kept
        std::string again;
        ASSERT_TRUE(encrypt_report_text(keys, "hello", kSigned, again, error));
        EXPECT_NE(again, encrypted); // a fresh nonce every time
    }
}
