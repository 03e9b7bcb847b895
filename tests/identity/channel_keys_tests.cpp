#include "identity/channel_keys.h"

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
