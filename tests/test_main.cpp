#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// Names the test that runs now in "<report>.started" beside the program's XML report, and removes
// the note when the program ends whole. A run stopped at its time limit, or by a crash, leaves no
// report but the note, so scripts/test.sh can name the test it stopped in.
struct StartedTestNote : testing::EmptyTestEventListener {
    std::string path;
    explicit StartedTestNote(std::string note_path) : path(std::move(note_path)) {}
    void OnTestStart(const testing::TestInfo& test) override {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << test.test_suite_name() << "." << test.name() << "\n";
    }
    void OnTestProgramEnd(const testing::UnitTest&) override { std::remove(path.c_str()); }
};

// The report's path when the run writes one to a named file ("xml:<file>.xml"), else "".
std::string report_file() {
    const std::string output = testing::GTEST_FLAG(output);
    const std::string kind = "xml:";
    if (output.compare(0, kind.size(), kind) != 0 || output.size() <= kind.size()) return std::string();
    const char last = output.back();
    return last == '/' || last == '\\' ? std::string() : output.substr(kind.size());
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const std::string report = report_file();
    if (!report.empty()) testing::UnitTest::GetInstance()->listeners().Append(new StartedTestNote(report + ".started"));
    return RUN_ALL_TESTS();
}
