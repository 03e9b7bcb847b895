#include "wallet/connect.h"

#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "platform/wallet_program.h"
#include "support/eventually.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char* kLegacyPriv = "0c28fca386c7a227600b2fe50b7cae11ec86d3bf1fbe471be89827e19d72aa1d";

const char* kDenied = "error: connect denied in Cofferly.";
const char* kLocked = "error: This wallet is locked. Open it in Cofferly.";
const char* kNoLoad = "error: approved, but the wallet would not load.";
const char* kLegacy = "error: approved, but this older single-key wallet cannot be used here.";

std::string event(const std::string& kind, const std::string& field = "") {
    return build_status_event(kCofferlyTag, kind, field);
}

const std::string kPending = event("connect-pending", "Approve the connect in Cofferly.");
const std::string kWaiting = "Waiting for Cofferly to approve this app...\n";

// The names of the files in the data folder's "connect" folder, sorted.
std::vector<std::string> connect_files(const TempDataDir& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(fs::u8path(dir.data_dir + "/connect"), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}

// One program instance in app mode over a fresh data folder, with the stand-in for the wallet
// program, a fake clock, and the status events and log lines it sent.
struct Session : SinkCapture {
    TempDataDir dir;
    FakeClock clock;
    // Runs when the connect announces that it waits, i.e. right after the request was written.
    std::function<void()> on_pending;
    SpawnedProcess standin;
    int standin_exit = -2;

    Session() {
        reset_wallet_state_for_tests();
        WalletBinding binding;
        binding.app_name = "Corvane";
        binding.instance_key = dir.root + "/Corvane";
        binding.app_mode = true;
        set_wallet_binding(binding);
        on_event = [this](const std::string& e) {
            if (e == kPending && on_pending) on_pending();
        };
    }
    ~Session() {
        end_standin_answer(dir.root, standin);
        reset_wallet_state_for_tests();
        set_wallet_binding(WalletBinding{});
    }

    SpawnRequest standin_request(const std::vector<std::string>& args) const {
        return ::standin_request(dir.root, args);
    }
    void run_standin(const std::vector<std::string>& args) {
        ASSERT_EQ(spawn_run(standin_request(args)), 0) << args[0] << ": " << test_read_file(dir.root + "/standin.log");
    }
    // Starts the stand-in waiting for the request, with its window up, and has the connect wait
    // for its answer once the request is written.
    void answer_with(const std::vector<std::string>& reply) {
        ASSERT_TRUE(start_standin_answer(dir.root, reply, standin));
        on_pending = [this] { standin_exit = spawn_wait(standin); };
    }
    // Answers in-process, without the stand-in: the request id is the fake clock's time.
    void reply_in_process(const std::string& reply) {
        on_pending = [this, reply] {
            test_write_file(dir.data_dir + "/connect/w" + std::to_string(clock_system_ms()) + ".rep.json", reply);
        };
    }
    void bind_and_load(const std::string& id) {
        write_bind(id);
        WalletLock lock = lock_wallet();
        ASSERT_TRUE(load_wallet());
    }
};

} // namespace

TEST(Connect, ApprovalBindsLoadsAndAnnounces) {
    Session s;
    s.run_standin({"create", "w1", "Main", "hd", kTestMnemonic, "Alice"});
    s.answer_with({"approve", "w1"});
    // Only Windows has the wallet program's window to raise; elsewhere nothing is found or started.
#ifdef _WIN32
    EXPECT_TRUE(launch_or_focus_cofferly());
#else
    EXPECT_FALSE(launch_or_focus_cofferly());
#endif

    EXPECT_EQ(connect_cofferly(), "success");
    EXPECT_EQ(s.standin_exit, 0) << "the stand-in found the request malformed or never saw it";
    EXPECT_TRUE(connect_files(s.dir).empty()) << "a finished connect leaves its request and reply behind";
    EXPECT_EQ(s.clock.recorded_sleeps(), std::vector<std::int64_t>{500});
    EXPECT_EQ(bound_wallet_id(), "w1");
    EXPECT_TRUE(is_cofferly_connected());
    const std::string paymail = "alice@" + service_settings().paymail_domain;
    EXPECT_EQ(s.events, (std::vector<std::string>{kPending, event("paymail", paymail)}));
    // The announcement named the wallet after its alias before the name was read.
    EXPECT_EQ(s.lines, (std::vector<std::string>{kWaiting, "Connected to Cofferly wallet alice\n"}));

    // Connected now: a second connect answers at once, without a request or a connect event.
    s.events.clear();
    s.lines.clear();
    EXPECT_EQ(connect_cofferly(), "success");
    EXPECT_EQ(s.clock.recorded_sleeps().size(), 1u);
    EXPECT_EQ(s.events, std::vector<std::string>{event("paymail", paymail)});
    EXPECT_TRUE(s.lines.empty());
}

TEST(Connect, AnswersThatDoNotConnect) {
    const std::vector<std::string> hd_w1 = {"create", "w1", "Main", "hd", kTestMnemonic};
    struct Row {
        const char* name;
        std::vector<std::vector<std::string>> setup;
        std::vector<std::string> reply;
        std::string want;
        std::string bound;
    } rows[] = {
        {"denied", {}, {"deny"}, kDenied, ""},
        {"sealed by a side file", {hd_w1, {"seal", "w1", "side"}}, {"approve", "w1"}, kLocked, "w1"},
        {"approved wallet missing", {}, {"approve", "w9"}, kNoLoad, "w9"},
        {"approval without a wallet id", {}, {"approve-no-id"}, kNoLoad, ""},
        {"older single-key wallet", {{"create", "w1", "Old", "legacy", kLegacyPriv}}, {"approve", "w1"}, kLegacy, "w1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Session s;
        for (const auto& args : row.setup)
            s.run_standin(args);
        s.answer_with(row.reply);
        EXPECT_EQ(connect_cofferly(), row.want);
        EXPECT_EQ(s.standin_exit, 0);
        EXPECT_TRUE(connect_files(s.dir).empty());
        EXPECT_EQ(bound_wallet_id(), row.bound);
        std::vector<std::string> want_events = {kPending};
        if (row.want == kDenied) want_events.push_back(event("connect-denied", "denied"));
        want_events.push_back(event("error", row.want));
        EXPECT_EQ(s.events, want_events);
        EXPECT_EQ(s.lines, std::vector<std::string>{kWaiting});
        WalletLock lock = lock_wallet();
        EXPECT_FALSE(kv_wallet().is_hd);
    }
}

// A bound older single-key wallet loads, yet is not "already connected": the connect asks, and
// the silent wallet program lets it run out of polls.
TEST(Connect, OlderSingleKeyWalletWaitsForAnAnswerUntilTimeout) {
    const std::string timeout = "error: Cofferly did not approve in time. Open Cofferly.exe and try Connect again.";
    Session s;
    s.run_standin({"create", "w1", "Old", "legacy", kLegacyPriv});
    s.bind_and_load("w1");
    s.answer_with({"silent"});
    EXPECT_EQ(connect_cofferly(), timeout);
    EXPECT_EQ(s.standin_exit, 0);
    EXPECT_TRUE(connect_files(s.dir).empty()) << "an abandoned request stays for the wallet program to list";
    EXPECT_EQ(s.clock.recorded_sleeps(), std::vector<std::int64_t>(120, 500));
    EXPECT_EQ(s.events,
              (std::vector<std::string>{kPending, event("connect-denied", "timeout"), event("error", timeout)}));
}

// A request this instance left behind (a crash mid-connect) is gone before the next one is written,
// so the wallet program answers the request that is waited for; another program's request stays.
TEST(Connect, LeftoverRequestOfThisInstanceIsRemoved) {
    Session s;
    s.run_standin({"create", "w1", "Main", "hd", kTestMnemonic});
    const std::string folder = s.dir.data_dir + "/connect/";
    const std::string instance = wallet_binding().instance_key;
    test_write_file(folder + "old1.req.json",
                    json{{"id", "old1"}, {"app", "Corvane"}, {"instance", instance}, {"ts", 1}}.dump());
    test_write_file(folder + "old1.rep.json", R"({"ok": false})");
    test_write_file(folder + "other.req.json",
                    json{{"id", "other"}, {"app", "Else"}, {"instance", "elsewhere"}, {"ts", 1}}.dump());
    s.reply_in_process(R"({"ok": true, "wallet_id": "w1"})");
    EXPECT_EQ(connect_cofferly(), "success");
    EXPECT_EQ(bound_wallet_id(), "w1");
    EXPECT_EQ(connect_files(s.dir), std::vector<std::string>{"other.req.json"});
}

TEST(Connect, RequestThatCannotBeWrittenIsReported) {
    Session s;
    test_write_file(s.dir.data_dir + "/connect", "a file where the folder belongs");
    EXPECT_EQ(connect_cofferly(), "error: could not write connect request.");
    EXPECT_EQ(s.events, std::vector<std::string>{event("error", "error: could not write connect request.")});
    EXPECT_TRUE(s.clock.recorded_sleeps().empty());
}

TEST(Connect, PollReadsRepliesStrictly) {
    Session s;
    write_bind("w0");
    const struct {
        const char* reply; // nullptr: no reply file
        const char* want;
        const char* bound;
    } rows[] = {
        {nullptr, "pending", "w0"},
        {R"({"ok": tru)", "denied", "w0"},
        {R"({"ok": "true", "wallet_id": "w7"})", "denied", "w0"},
        {R"({"ok": 1, "wallet_id": "w7"})", "denied", "w0"},
        {R"({"ok": true, "wallet_id": 7})", "denied", "w0"},
        {R"({"ok": true, "wallet_id": "..\\w7"})", "denied", "w0"},
        {R"({"ok": true, "wallet_id": "w7", "note": [1]})", "ok", "w7"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reply ? row.reply : "(no file)");
        const std::string id = "r" + std::to_string(n++);
        if (row.reply) test_write_file(s.dir.data_dir + "/connect/" + id + ".rep.json", row.reply);
        EXPECT_EQ(poll_connect_reply(id), row.want);
        EXPECT_EQ(bound_wallet_id(), row.bound);
    }
    // The request id is part of a path too.
    test_write_file(s.dir.data_dir + "/x.rep.json", R"({"ok": true, "wallet_id": "w8"})");
    EXPECT_EQ(poll_connect_reply("../x"), "denied");
    EXPECT_EQ(bound_wallet_id(), "w7");
}

// Another thread must never see the approved wallet's id beside the previous wallet's keys, as it
// would between a bind and a later clearing; the rounds give the observer its chances.
TEST(Connect, SwitchingWalletsNeverShowsOldKeysUnderTheNewId) {
    Session s;
    s.run_standin({"create", "w1", "Old", "legacy", kLegacyPriv});
    s.run_standin({"create", "w2", "New", "hd", kTestMnemonic});
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        reset_wallet_state_for_tests();
        s.bind_and_load("w1");
        const std::string old_address = kv_wallet().address;
        s.reply_in_process("{\"ok\": true, \"wallet_id\": \"w2\"}");

        std::atomic<bool> done{false};
        std::atomic<int> looks{0};
        std::atomic<int> mixed{0};
        std::thread observer([&] {
            while (!done) {
                {
                    WalletLock lock = lock_wallet();
                    if (kv_wallet().wallet_id == "w2" && kv_wallet().address == old_address) ++mixed;
                }
                ++looks;
                std::this_thread::yield();
            }
        });
        while (looks == 0)
            std::this_thread::yield();
        EXPECT_EQ(connect_cofferly(), "success");
        done = true;
        observer.join();
        EXPECT_EQ(mixed, 0);
    }
}

TEST(WalletProgram, StartsNextToTheProgramOrInTheFolderAbove) {
    struct Row {
        const char* name;
        const char* folder; // where the wallet program lies, relative to the temp root; nullptr: nowhere
    } rows[] = {{"program folder", "Corvane"}, {"folder above", ""}, {"nowhere", nullptr}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDataDir dir;
        const fs::path app = fs::u8path(dir.root) / "Corvane";
        fs::create_directories(app);
        if (row.folder) {
            const fs::path exe = fs::u8path(dir.root) / row.folder / wallet_program_file_name();
            fs::copy_file(fs::u8path(CORVANE_STANDIN_EXE), exe);
            fs::permissions(exe, fs::perms::owner_exec, fs::perm_options::add);
        }
        const std::string started = dir.data_dir + "/standin-started.json";
        ASSERT_EQ(launch_or_focus_cofferly_from(app.u8string()), row.folder != nullptr);
        if (!row.folder) continue;
        ASSERT_TRUE(eventually([&] { return platform_file_exists(started); }));
        const auto doc = nlohmann::json::parse(test_read_file(started), nullptr, false);
        ASSERT_TRUE(doc.is_object() && doc["cwd"].is_string());
        EXPECT_TRUE(fs::equivalent(fs::u8path(doc["cwd"].get<std::string>()), app));
    }
}
