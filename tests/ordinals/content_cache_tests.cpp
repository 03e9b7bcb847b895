#include "ordinals/content_cache.h"

#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

const std::string kKey = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978_1";

struct ContentCacheTest : ::testing::Test {
    TempDataDir dir;
    std::string cache = dir.data_dir + "/ord_cache/";

    void TearDown() override {
        auto lock = lock_wallet();
        kv_wallet().wallet_id.clear();
    }
};

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::size_t files_under(const std::string& root) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        n += e.is_regular_file() ? 1 : 0;
    return n;
}

} // namespace

TEST_F(ContentCacheTest, ContentSizesOutsideTheBoundAreNeitherWrittenNorRead) {
    struct Row {
        const char* what;
        std::size_t size;
        bool cached;
    } rows[] = {{"empty", 0, false},
                {"one byte", 1, true},
                {"at the bound", kOrdCacheMaxContent, true},
                {"over the bound", kOrdCacheMaxContent + 1, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string key = "k" + std::to_string(row.size);
        const Bytes content(row.size, 0x5A);
        ord_cache_write_content(key, "image/png", content);
        std::string type;
        Bytes back;
        ASSERT_EQ(ord_cache_read_content(key, type, back), row.cached);
        EXPECT_EQ(back, row.cached ? content : Bytes());
        EXPECT_EQ(type, row.cached ? "image/png" : "");
    }

    // Files that did not come through the writer: an empty one, and one too large to be read.
    test_write_file(cache + "empty.bin", "");
    test_write_file(cache + "huge.bin", std::string(kOrdCacheMaxContent + 1, 'x'));
    for (const char* key : {"empty", "huge"}) {
        std::string type = "stale";
        Bytes back = {1};
        EXPECT_FALSE(ord_cache_read_content(key, type, back)) << key;
        EXPECT_TRUE(type.empty() && back.empty()) << key;
    }
}

TEST_F(ContentCacheTest, TypeFileIsKeptByAnUntypedWriteAndOptionalOnRead) {
    ord_cache_write_content(kKey, "text/plain", bytes_of("one"));
    ord_cache_write_content(kKey, "", bytes_of("two"));
    std::string type;
    Bytes back;
    ASSERT_TRUE(ord_cache_read_content(kKey, type, back));
    EXPECT_EQ(back, bytes_of("two"));
    EXPECT_EQ(type, "text/plain");

    test_write_file(cache + "lines.typ", "image/gif\r\nrest");
    test_write_file(cache + "lines.bin", "GIF");
    ASSERT_TRUE(ord_cache_read_content("lines", type, back));
    EXPECT_EQ(type, "image/gif");

    std::filesystem::remove(cache + "lines.typ");
    ASSERT_TRUE(ord_cache_read_content("lines", type, back));
    EXPECT_EQ(type, "");
    EXPECT_EQ(back, bytes_of("GIF"));
}

TEST_F(ContentCacheTest, FailedWriteLeavesNoEntryAndNoTemporaryFile) {
    // A folder standing under the final name: the write succeeds aside but cannot be moved there.
    std::filesystem::create_directories(cache + "blocked.bin");
    ord_cache_write_content("blocked", "text/plain", bytes_of("data"));
    std::string type;
    Bytes back;
    EXPECT_FALSE(ord_cache_read_content("blocked", type, back));
    EXPECT_FALSE(platform_file_exists(cache + "blocked.typ"));
#ifndef _WIN32
    // A write cut short, as on a full disk: the file size limit stops it after 100 bytes.
    struct sigaction ignore = {}, old_action = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old_action);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &small);
    ord_cache_write_content("short", "text/plain", Bytes(1000, 0x41));
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &old_action, nullptr);
    EXPECT_FALSE(ord_cache_read_content("short", type, back));
    EXPECT_TRUE(back.empty());
#endif
    EXPECT_EQ(files_under(cache), 0u);
}

// A listing caches its contents side by side: every one is kept when the folder is made by
// whichever write comes first, not only that write's own.
TEST_F(ContentCacheTest, ContentsWrittenSideBySideIntoANewFolderAreAllKept) {
    constexpr int kThreads = 16;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove_all(cache);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] { ord_cache_write_content("side" + std::to_string(t), "", bytes_of("c")); });
        for (std::thread& writer : writers)
            writer.join();
        int kept = 0;
        for (int t = 0; t < kThreads; ++t) {
            std::string type;
            Bytes back;
            kept += ord_cache_read_content("side" + std::to_string(t), type, back) ? 1 : 0;
        }
        ASSERT_EQ(kept, kThreads);
    }
}

TEST_F(ContentCacheTest, NamesAreClippedOnWriteAndReadAsTheirFirstLine) {
    struct Row {
        const char* what;
        std::string written, read;
    } rows[] = {
        {"blanks around", "  Rose\t", "Rose"},
        {"too long", std::string(60, 'n'), std::string(48, 'n')},
        {"empty", "", ""},
        {"blanks only", "   ", ""},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string key = "name" + std::to_string(n++);
        ord_cache_write_name(key, row.written);
        EXPECT_EQ(ord_cache_read_name(key), row.read);
        EXPECT_EQ(platform_file_exists(cache + key + ".nam"), !row.read.empty());
    }
    test_write_file(cache + "two.nam", " First \nSecond");
    EXPECT_EQ(ord_cache_read_name("two"), "First");
    EXPECT_EQ(ord_cache_read_name("missing"), "");
}

TEST_F(ContentCacheTest, KeysThatAreNotFileStemsNeverReachTheFileSystem) {
    // Files a hostile key would reach if it were taken as a path.
    test_write_file(dir.data_dir + "/outside.bin", "secret");
    test_write_file(dir.data_dir + "/outside.nam", "secret");
    test_write_file(cache + "k.bin", "x");
    const std::size_t before = files_under(dir.root);
    for (const std::string& key :
         {std::string(), std::string("../outside"), std::string("a/b"), std::string("a\\b"), std::string("c:x"),
          std::string("a\nb"), std::string(".."), std::string("sub/../k")}) {
        SCOPED_TRACE(key);
        ord_cache_write_content(key, "text/plain", bytes_of("data"));
        ord_cache_write_name(key, "Name");
        std::string type;
        Bytes back;
        EXPECT_FALSE(ord_cache_read_content(key, type, back));
        EXPECT_EQ(ord_cache_read_name(key), "");
    }
    EXPECT_EQ(files_under(dir.root), before);
    EXPECT_EQ(test_read_file(dir.data_dir + "/outside.bin"), "secret");
}

TEST_F(ContentCacheTest, HarvestFillsMissingNamesFromEveryOtherWalletFile) {
    using nlohmann::json;
    auto owned = [](const json& entries) { return json{{"ord_owned", entries}}.dump(); };
    test_write_file(dir.data_dir + "/wallets.json", R"({"wallets":[{"id":"me"},{"id":"other"},{"id":"../x"}]})");
    {
        auto lock = lock_wallet();
        kv_wallet().wallet_id = "me";
    }
    ord_cache_write_name("kept", "Cached");
    test_write_file(dir.data_dir + "/wallets/me/wallet.json", owned({{{"origin", "own"}, {"name", "Mine"}}}));
    test_write_file(dir.data_dir + "/wallets/other/wallet.json", owned({{{"origin", "o1"}, {"name", " One "}},
                                                                        {{"origin", "kept"}, {"name", "Replaced"}},
                                                                        {{"name", "No origin"}},
                                                                        {{"origin", "no_name"}},
                                                                        "not an object",
                                                                        {{"origin", "o2"}, {"name", "Two"}},
                                                                        {{"origin", 7}, {"name", "Number"}},
                                                                        {{"origin", "after_bad"}, {"name", "Never"}}}));
    test_write_file(dir.data_dir + "/kestrava_cofferly.detached.bak", owned({{{"origin", "det"}, {"name", "Det"}}}));
    test_write_file(dir.data_dir + "/parked/p.json", owned({{{"origin", "park"}, {"name", "Park"}}}));
    test_write_file(dir.data_dir + "/parked/p.txt", owned({{{"origin", "txt"}, {"name", "Txt"}}}));
    test_write_file(dir.data_dir + "/parked/a_bad.json", "{\"ord_owned\":");
    test_write_file(dir.data_dir + "/parked/b_shape.json", R"({"ord_owned":{"origin":"shape","name":"S"}})");

    harvest_wallet_ord_names();

    struct Row {
        const char* origin;
        const char* name;
    } rows[] = {{"o1", "One"}, {"kept", "Cached"}, {"no_name", ""},  {"o2", "Two"}, {"after_bad", ""},
                {"own", ""},   {"det", "Det"},     {"park", "Park"}, {"txt", ""},   {"shape", ""}};
    for (const Row& row : rows)
        EXPECT_EQ(ord_cache_read_name(row.origin), row.name) << row.origin;
}
