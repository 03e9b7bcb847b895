#include "support/spawn.h"

#include "platform/fs.h"
#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

// Runs only as a child of the tests below: reports what it was started with.
TEST(SpawnChild, DISABLED_Report) {
    const std::string report = platform_env("CORVANE_SPAWN_REPORT");
    if (report.empty()) return;
    nlohmann::json args = nlohmann::json::array();
    const std::vector<std::string> argv = testing::internal::GetArgvs();
    for (std::size_t i = 1; i < argv.size(); ++i)
        if (argv[i].rfind("--gtest_", 0) != 0) args.push_back(argv[i]);
    nlohmann::json doc = {
        {"args", args}, {"value", platform_env("CORVANE_SPAWN_VALUE")}, {"cwd", fs::current_path().u8string()}};
    ASSERT_TRUE(platform_write_file(report, doc.dump(), false));
    const std::string code = platform_env("CORVANE_SPAWN_EXIT");
    if (!code.empty()) std::exit(std::atoi(code.c_str()));
}

namespace {

SpawnRequest report_request(const TempDataDir& tmp) {
    SpawnRequest request;
    request.exe = spawn_self_path();
    request.args = {"--gtest_filter=SpawnChild.DISABLED_Report", "--gtest_also_run_disabled_tests"};
    request.env = {{"CORVANE_SPAWN_REPORT", tmp.root + "/report.json"}};
    request.output_path = tmp.root + "/child.log";
    return request;
}

} // namespace

TEST(Spawn, PassesArgumentsEnvironmentAndFolder) {
    TempDataDir tmp;
    // Arguments that the Windows command line must quote and escape to arrive unchanged.
    const std::vector<std::string> odd = {"plain", "with space", "quote\"in", "trail\\", "a\\\\\"b", "", "tab\there"};
    test_set_env("CORVANE_SPAWN_VALUE", "parent's");
    SpawnRequest request = report_request(tmp);
    request.args.insert(request.args.end(), odd.begin(), odd.end());
    request.env.emplace_back("CORVANE_SPAWN_VALUE", "child's = \xC3\xBC");
    request.work_dir = tmp.data_dir;
    const int code = spawn_run(request);
    test_unset_env("CORVANE_SPAWN_VALUE");
    ASSERT_EQ(code, 0) << test_read_file(request.output_path);

    const nlohmann::json doc = nlohmann::json::parse(test_read_file(tmp.root + "/report.json"), nullptr, false);
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc["args"], nlohmann::json(odd));
    EXPECT_EQ(doc["value"], "child's = \xC3\xBC") << "an addition replaces the parent's value";
    EXPECT_TRUE(fs::equivalent(fs::u8path(doc["cwd"].get<std::string>()), fs::u8path(tmp.data_dir)));
}

TEST(Spawn, ReportsExitCodesAndFailures) {
    TempDataDir tmp;
    SpawnRequest request = report_request(tmp);
    request.env.emplace_back("CORVANE_SPAWN_EXIT", "3");
    EXPECT_EQ(spawn_run(request), 3);

    SpawnRequest missing;
    missing.exe = tmp.root + "/no-such-program.exe";
    SpawnedProcess proc;
    EXPECT_FALSE(spawn_start(missing, proc));
    EXPECT_EQ(proc.handle, -1);
    EXPECT_EQ(spawn_wait(proc), -1);
    EXPECT_EQ(spawn_run(missing), -1);
}
