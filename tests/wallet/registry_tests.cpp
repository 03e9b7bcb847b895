#include "wallet/registry.h"

#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "wallet/kv_cofferly_wallet.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

// What a text-mode write leaves on disk.
std::string native_text(const std::string& text) {
#ifdef _WIN32
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
#else
    return text;
#endif
}

bool parses(const std::string& text) {
    return !nlohmann::json::parse(text, nullptr, false).is_discarded();
}

struct Registry : ::testing::Test {
    TempDataDir tmp;
    FakeClock clock; // new ids read w1767225600000
    std::string registry;
    std::string legacy;

    void SetUp() override {
        reset_state();
        registry = tmp.data_dir + "/wallets.json";
        legacy = tmp.data_dir + "/kestrava_cofferly.json";
    }
    void TearDown() override { reset_state(); }
    static void reset_state() {
        set_wallet_binding(WalletBinding{});
        WalletLock wallet = lock_wallet();
        kv_wallet().wallet_id.clear();
        kv_wallet().paymail.clear();
    }
    static std::string current_id() {
        WalletLock wallet = lock_wallet();
        return kv_wallet().wallet_id;
    }
};

const char kMigratedId[] = "w1767225600000";

} // namespace

TEST(WalletState, WipeSecretsClearsKeysAndFlags) {
    KvCofferlyWalletSecrets secrets;
    secrets.seed.fill(0xA5);
    secrets.master_key.fill(0x5A);
    secrets.master_chain.fill(0x33);
    secrets.seed_cached = true;
    secrets.master_cached = true;
    wipe_wallet_secrets(secrets);
    const KvCofferlyWalletSecrets empty;
    EXPECT_EQ(secrets.seed, empty.seed);
    EXPECT_EQ(secrets.master_key, empty.master_key);
    EXPECT_EQ(secrets.master_chain, empty.master_chain);
    EXPECT_FALSE(secrets.seed_cached);
    EXPECT_FALSE(secrets.master_cached);
}

TEST(RegistryIds, SanitizeWalletId) {
    struct Row {
        std::string in;
        std::string out;
    } rows[] = {
        {"C:\\Apps\\Corvane", "c__apps_corvane"},
        {"", "default"},
        {"AbZ09-az", "abz09_az"},
        {"\xC3\xA9t\xC3\xA9", "__t__"}, // each byte of a multi-byte character
        {std::string(4, 'x') + std::string(96, '7'), std::string(96, '7')},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(sanitize_wallet_id(row.in), row.out);
    }
}

TEST(RegistryIds, SafeWalletIds) {
    struct Row {
        std::string id;
        bool safe;
    } rows[] = {
        {"w1767225600000", true}, {"Wallet one.v2", true}, {"", false},       {"a/b", false},
        {"a\\b", false},          {"..", false},           {"C:evil", false}, {std::string("a\0b", 3), false},
        {"a\x7f", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(is_safe_wallet_id(row.id), row.safe);
        EXPECT_EQ(wallet_file_path_for_id(row.id).empty(), !row.safe);
    }
}

TEST_F(Registry, NewIdAndPaths) {
    EXPECT_EQ(new_wallet_id(), kMigratedId);
    EXPECT_EQ(wallet_file_path_for_id("w5"), tmp.data_dir + "/wallets/w5/wallet.json");
    EXPECT_FALSE(platform_file_exists(tmp.data_dir + "/wallets/w5")) << "no folder is created";
}

TEST_F(Registry, LoadReadsAnyFileAsAnObjectWithWallets) {
    struct Row {
        const char* what;
        bool exists;
        std::string text;
        bool clean;
        nlohmann::json expected;
    } rows[] = {
        {"missing", false, "", true, {{"wallets", nlohmann::json::array()}}},
        {"array", true, "[1,2]", true, {{"wallets", nlohmann::json::array()}}},
        {"torn", true, "{\"wallets\":[{\"id\":\"a\"", false, {{"wallets", nlohmann::json::array()}}},
        {"bad utf-8", true, "{\"wallets\":[{\"id\":\"\xff\"}]}", false, {{"wallets", nlohmann::json::array()}}},
        {"nested past the bound",
         true,
         "{\"wallets\":[],\"x\":" + std::string(75000, '[') + std::string(75000, ']') + "}",
         false,
         {{"wallets", nlohmann::json::array()}}},
        {"wallets object",
         true,
         "{\"wallets\":{\"a\":1},\"active\":\"x\"}",
         true,
         {{"wallets", nlohmann::json::array()}, {"active", "x"}}},
        {"good, other keys kept",
         true,
         "{\"wallets\":[{\"id\":\"a\",\"k\":1}],\"extra\":[5]}",
         true,
         {{"wallets", {{{"id", "a"}, {"k", 1}}}}, {"extra", {5}}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        platform_remove_file(registry);
        if (row.exists) test_write_file(registry, row.text);
        nlohmann::json doc;
        EXPECT_EQ(read_wallets_json(doc), row.clean);
        EXPECT_EQ(doc, row.expected);
        EXPECT_EQ(load_wallets_json(), row.expected);
    }
}

TEST_F(Registry, SaveReplacesWholeFile) {
    test_write_file(registry, "{\"wallets\":{\"a\":1},\"active\":\"x\"}");
    nlohmann::json doc = load_wallets_json();
    doc["wallets"].push_back({{"id", "w1"}, {"name", "N\xC3\xA4me"}});
    ASSERT_TRUE(save_wallets_json(doc));
    EXPECT_EQ(test_read_file(registry), native_text(doc.dump(2) + "\n"));
    EXPECT_FALSE(platform_file_exists(registry + ".tmp"));
    EXPECT_EQ(load_wallets_json(), doc);

    const std::string before = test_read_file(registry);
    nlohmann::json bad = doc;
    bad["wallets"].push_back({{"id", "\xff"}}); // not UTF-8: the writer refuses it
    EXPECT_FALSE(save_wallets_json(bad));
    ASSERT_TRUE(platform_make_dirs(registry + ".tmp")); // the temporary file cannot be written
    EXPECT_FALSE(save_wallets_json(doc));
    EXPECT_EQ(test_read_file(registry), before);
}

// Sibling programs and this program's threads rewrite shared files without a common lock: every
// writer goes through a temporary file of its own, so whichever move lands last leaves one whole
// text, never two mixed.
TEST_F(Registry, WritersOfOneFileNeverMixTheirTexts) {
    const std::string path = kestrava_data_dir() + "/reserves_w.json";
    std::vector<std::string> texts;
    for (char c = 'a'; c < 'a' + 6; ++c)
        texts.push_back(std::string(256 * 1024, c));
    std::atomic<int> failed{0};
    std::vector<std::thread> writers;
    for (const std::string& text : texts) {
        writers.emplace_back([&] {
            for (int i = 0; i < 10; ++i)
                if (!write_data_file(path, text, false)) ++failed;
        });
    }
    for (std::thread& t : writers)
        t.join();
    EXPECT_EQ(failed, 0);
    const std::string now = test_read_file(path);
    EXPECT_NE(std::find(texts.begin(), texts.end(), now), texts.end()) << "a mixed or cut text";
    EXPECT_EQ(temporary_files_beside(path), 0);
}

TEST_F(Registry, SaveWaitsForAReaderToLetGo) {
    test_write_file(registry, "{\"wallets\":[]}");
    // On Windows an open stream (no delete sharing) blocks the replace until it closes: the first
    // pause of the save closes it here.
    auto reader = std::make_unique<std::ifstream>(std::filesystem::u8path(registry), std::ios::binary);
    ASSERT_TRUE(reader->is_open());
    int pauses = 0;
    ClockSeam seam;
    seam.sleep_ms = [&](std::int64_t) {
        ++pauses;
        reader.reset();
    };
    set_clock_seam(seam);
    const nlohmann::json doc = {{"wallets", {{{"id", "w1"}}}}};
    const bool saved = save_wallets_json(doc);
    reset_clock_seam();
    EXPECT_TRUE(saved);
    EXPECT_EQ(load_wallets_json(), doc);
#ifdef _WIN32
    EXPECT_EQ(pauses, 1);
#else
    EXPECT_EQ(pauses, 0);
#endif
}

TEST_F(Registry, ListSkipsUnusableEntriesAndNames) {
    test_write_file(registry, R"({"wallets":[1,"w0",{"name":"no id"},{"id":""},{"id":7,"name":"num"},
        {"id":"a"},{"id":"b","name":"Bee"},{"id":"c","name":3},{"id":"b","name":"second b"}]})");
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& row : list_wallets())
        got.emplace_back(row.id, row.name);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"a", "a"}, {"b", "Bee"}, {"c", "c"}, {"b", "second b"}};
    EXPECT_EQ(got, expected);

    struct Row {
        std::string id;
        std::string name;
    } rows[] = {{"b", "Bee"}, {"a", "a"}, {"unknown", "unknown"}, {"", ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(wallet_name_for_id(row.id), row.name);
    }
}

TEST_F(Registry, MigrationMovesTheLegacyWallet) {
    test_write_file(legacy, "{\"priv\":\"legacy\"}");
    migrate_legacy_wallet();
    const nlohmann::json expected = {{"wallets", {{{"id", kMigratedId}, {"name", "Wallet 1"}}}},
                                     {"active", kMigratedId}};
    EXPECT_EQ(load_wallets_json(), expected);
    EXPECT_EQ(test_read_file(wallet_file_path_for_id(kMigratedId)), "{\"priv\":\"legacy\"}");
    EXPECT_FALSE(platform_file_exists(legacy));
    EXPECT_FALSE(platform_file_exists(registry + ".tmp"));
}

TEST_F(Registry, MigrationRunsOnlyWhenDue) {
    struct Row {
        const char* what;
        bool legacy;
        bool registry;
        std::string text;
    } rows[] = {
        {"no legacy file", false, false, ""},
        {"registry lists a wallet", true, true, "{\"wallets\":[{\"id\":\"w1\"}]}"},
        {"registry does not parse", true, true, "{\"wallets\":["},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        platform_remove_file(registry);
        platform_remove_file(legacy);
        if (row.legacy) test_write_file(legacy, "{}");
        if (row.registry) test_write_file(registry, row.text);
        migrate_legacy_wallet();
        EXPECT_EQ(platform_file_exists(registry), row.registry);
        if (row.registry) {
            EXPECT_EQ(test_read_file(registry), row.text);
        }
        EXPECT_EQ(platform_file_exists(legacy), row.legacy);
        EXPECT_FALSE(platform_file_exists(wallet_file_path_for_id(kMigratedId)));
    }
}

TEST_F(Registry, FailedMigrationLeavesEverythingForTheNextStart) {
    test_write_file(legacy, "{\"priv\":\"legacy\"}");
    const std::string target = wallet_file_path_for_id(kMigratedId);

    // The move cannot land: a folder sits where the wallet file should go.
    ASSERT_TRUE(platform_make_dirs(target));
    migrate_legacy_wallet();
    EXPECT_FALSE(platform_file_exists(registry));
    EXPECT_EQ(test_read_file(legacy), "{\"priv\":\"legacy\"}");
    std::filesystem::remove(std::filesystem::u8path(target));

    // The move lands but the registry cannot be saved: the file goes back.
    ASSERT_TRUE(platform_make_dirs(registry + ".tmp"));
    migrate_legacy_wallet();
    EXPECT_FALSE(platform_file_exists(registry));
    EXPECT_FALSE(platform_file_exists(target));
    EXPECT_EQ(test_read_file(legacy), "{\"priv\":\"legacy\"}");
    std::filesystem::remove(std::filesystem::u8path(registry + ".tmp"));

    migrate_legacy_wallet();
    EXPECT_EQ(list_wallets().size(), 1u);
    EXPECT_EQ(test_read_file(target), "{\"priv\":\"legacy\"}");
}

TEST_F(Registry, InitSelectsTheBoundOrOnlyWallet) {
    const std::string one = R"({"wallets":[{"id":"w1","name":"One"}]})";
    const std::string two = R"({"wallets":[{"id":"w1"},{"id":"w2"}]})";
    struct Row {
        const char* what;
        std::string registry;
        const char* bind; // bind file content, or null for none
        std::string id;
    } rows[] = {
        {"one wallet, no bind", one, nullptr, "w1"},
        {"two wallets, no bind", two, nullptr, ""},
        {"bind names an unknown wallet", two, R"({"wallet_id":"gone"})", "gone"},
        {"bind id unsafe, one wallet", one, R"({"wallet_id":"../../x"})", "w1"},
        {"bind does not parse, one wallet", one, "{", "w1"},
        {"bind id not a text", two, R"({"wallet_id":5})", ""},
        {"bind not an object", two, R"(["w1"])", ""},
        {"only wallet has an unsafe id", R"({"wallets":[{"id":"..\\evil"}]})", nullptr, ""},
        {"only entry not an object", R"({"wallets":["w1"]})", nullptr, ""},
        {"only entry's id not a text", R"({"wallets":[{"id":1}]})", nullptr, ""},
    };
    const std::string bind_path = tmp.data_dir + "/binds/c__apps_corvane.json";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        reset_state();
        {
            WalletLock wallet = lock_wallet();
            kv_wallet().wallet_id = "stale";
        }
        test_write_file(registry, row.registry);
        platform_remove_file(bind_path);
        if (row.bind != nullptr) test_write_file(bind_path, row.bind);

        init_wallet_binding("C:\\Apps\\Corvane", "Corvane");
        EXPECT_EQ(current_id(), row.id);
        if (row.id.empty()) {
            EXPECT_EQ(platform_file_exists(bind_path), row.bind != nullptr);
        } else {
            EXPECT_EQ(test_read_file(bind_path),
                      native_text("{\n  \"app\": \"Corvane\",\n  \"instance\": \"C:\\\\Apps\\\\Corvane\",\n"
                                  "  \"wallet_id\": \"" +
                                  row.id + "\"\n}"));
        }
        EXPECT_EQ(test_read_file(registry), row.registry) << "the registry is only read";
    }
}

TEST_F(Registry, InitDefaultsAndMigrates) {
    test_write_file(legacy, "{}");
    init_wallet_binding("", "");
    const WalletBinding binding = wallet_binding();
    EXPECT_TRUE(binding.app_mode);
    EXPECT_EQ(binding.app_name, "App");
    EXPECT_EQ(binding.instance_key, ".");
    EXPECT_EQ(current_id(), kMigratedId) << "the migrated wallet is the only one";
    EXPECT_EQ(bind_file_path(), tmp.data_dir + "/binds/_.json");
    EXPECT_EQ(bound_wallet_id(), kMigratedId);
}

TEST_F(Registry, WriteBindAndBoundId) {
    {
        WalletLock wallet = lock_wallet();
        kv_wallet().wallet_id = "w0";
    }
    // Outside app mode the bind file is never touched and the current id stands for it.
    write_bind("w2");
    EXPECT_EQ(current_id(), "w0");
    EXPECT_FALSE(platform_file_exists(bind_file_path()));
    EXPECT_EQ(bound_wallet_id(), "w0");

    WalletBinding binding;
    binding.app_mode = true;
    binding.app_name = "Corvane";
    binding.instance_key = "/opt/corvane";
    set_wallet_binding(binding);
    EXPECT_EQ(bound_wallet_id(), "");
    write_bind("w2");
    EXPECT_EQ(current_id(), "w2");
    EXPECT_EQ(bound_wallet_id(), "w2");
    for (const char* unsafe : {"", "../w3"}) {
        SCOPED_TRACE(unsafe);
        write_bind(unsafe);
        EXPECT_EQ(current_id(), "w2");
        EXPECT_EQ(bound_wallet_id(), "w2");
    }
    for (const char* bad : {"{", "[]", "{\"wallet_id\":null}", "{\"wallet_id\":\"a/b\"}"}) {
        SCOPED_TRACE(bad);
        test_write_file(bind_file_path(), bad);
        EXPECT_EQ(bound_wallet_id(), "");
    }
}

TEST_F(Registry, NameByPaymailWritesOnlyChanges) {
    const std::string base = R"({"wallets":[{"id":"w1","name":"Wallet 1"},{"id":"w2","name":"x"},{"id":"w1"}]})";
    struct Row {
        const char* what;
        std::string text;
        std::string paymail;
        std::string id;
        bool rewritten;
    } rows[] = {
        {"renames every entry of the id", base, "alice", "w1", true},
        {"no entry matches", base, "alice", "w9", false},
        {"already named", R"({"wallets":[{"id":"w1","name":"alice"}]})", "alice", "w1", false},
        {"no alias", base, "", "w1", false},
        {"no id", base, "alice", "", false},
        {"registry does not parse", "{\"wallets\":[{\"id\":\"w1\"", "alice", "w1", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test_write_file(registry, row.text);
        {
            WalletLock wallet = lock_wallet();
            kv_wallet().paymail = row.paymail;
        }
        name_wallet_by_paymail(row.id);
        if (!row.rewritten) {
            EXPECT_EQ(test_read_file(registry), row.text);
            continue;
        }
        const nlohmann::json expected = {
            {"wallets",
             {{{"id", "w1"}, {"name", "alice"}}, {{"id", "w2"}, {"name", "x"}}, {{"id", "w1"}, {"name", "alice"}}}}};
        EXPECT_EQ(load_wallets_json(), expected);
    }
}

TEST_F(Registry, LockNestsAndAlwaysReleases) {
    EXPECT_EQ(wallet_registry_lock_handle(), -1);
    wallet_registry_lock();
    const std::intptr_t outer = wallet_registry_lock_handle();
    EXPECT_NE(outer, -1);
    wallet_registry_lock();
    EXPECT_EQ(wallet_registry_lock_handle(), outer) << "the nested taking opens nothing";
    wallet_registry_unlock();
    EXPECT_EQ(wallet_registry_lock_handle(), outer) << "only the outer release lets go";
    wallet_registry_unlock();
    EXPECT_EQ(wallet_registry_lock_handle(), -1);

    try {
        WalletRegistryLock lock;
        throw std::runtime_error("inside");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(wallet_registry_lock_handle(), -1) << "the exception released the lock";

    // No lock file can be made: the lock still works within the process.
    test_write_file(tmp.root + "/file", "x");
    test_set_env("LOCALAPPDATA", tmp.root + "/file");
    {
        WalletRegistryLock lock;
        EXPECT_EQ(wallet_registry_lock_handle(), -1);
    }
}

// Runs only as a child of the test below: adds entries one read-change-write at a time.
TEST(RegistryChild, DISABLED_AddEntries) {
    const std::string who = platform_env("CORVANE_REGISTRY_CHILD");
    if (who.empty()) return;
    const int count = std::atoi(platform_env("CORVANE_REGISTRY_COUNT").c_str());
    for (int k = 0; k < count; ++k) {
        WalletRegistryLock lock;
        nlohmann::json doc;
        ASSERT_TRUE(read_wallets_json(doc)) << "a torn registry at entry " << k;
        doc["wallets"].push_back({{"id", who + "-" + std::to_string(k)}, {"name", who}});
        ASSERT_TRUE(save_wallets_json(doc));
    }
}

TEST(RegistryProcesses, ConcurrentAddsLoseNothing) {
    TempDataDir tmp;
    const std::string self = spawn_self_path();
    ASSERT_FALSE(self.empty());
    const int kChildren = 4;
    const int kEach = 25;
    const std::string path = tmp.data_dir + "/wallets.json";

    // A reader that takes no lock, as the wallet program may, must never see a partial file.
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            std::string text;
            if (platform_read_file(path, text) && !parses(text)) ++torn;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::vector<SpawnedProcess> children(kChildren);
    for (int i = 0; i < kChildren; ++i) {
        SpawnRequest request;
        request.exe = self;
        request.args = {"--gtest_filter=RegistryChild.DISABLED_AddEntries", "--gtest_also_run_disabled_tests",
                        "--gtest_brief=1"};
        request.env = {{"LOCALAPPDATA", tmp.root},
                       {"CORVANE_REGISTRY_CHILD", "c" + std::to_string(i)},
                       {"CORVANE_REGISTRY_COUNT", std::to_string(kEach)}};
        request.output_path = tmp.root + "/child" + std::to_string(i) + ".log";
        EXPECT_TRUE(spawn_start(request, children[i]));
    }
    for (int i = 0; i < kChildren; ++i)
        EXPECT_EQ(spawn_wait(children[i]), 0) << test_read_file(tmp.root + "/child" + std::to_string(i) + ".log");
    stop = true;
    reader.join();

    EXPECT_EQ(torn.load(), 0);
    nlohmann::json doc;
    ASSERT_TRUE(read_wallets_json(doc));
    std::set<std::string> ids;
    for (const auto& entry : doc["wallets"])
        ids.insert(entry.value("id", ""));
    EXPECT_EQ(doc["wallets"].size(), static_cast<std::size_t>(kChildren * kEach));
    for (int i = 0; i < kChildren; ++i)
        for (int k = 0; k < kEach; ++k)
            EXPECT_EQ(ids.count("c" + std::to_string(i) + "-" + std::to_string(k)), 1u);
}
