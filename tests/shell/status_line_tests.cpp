#include "fakes/fake_clock.h"
#include "shell/shell.h"
#include "shell/status_line.h"
#include "wallet/host_pace.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct PageCase {
    const char* name;
    std::string body;
    std::int32_t version;
};

TEST(UpdatePage, FindsTheVersionMark) {
    const std::string padding(30000, 'x');
    const PageCase cases[] = {
        {"after current build", "<h2>Current build</h2><p>Version: 0.002</p>", 2},
        {"current build wins over a later mark", "current build version 0.004 ... old version 0.009", 4},
        {"earlier mark skipped for current build", "version 0.009 <p>CURRENT BUILD</p> version=0.004", 4},
        {"last mark without current build", "version 0.001 then Version 0.007", 7},
        {"this build's own", "Version 1", 1},
        {"letters after the mark", "version abc", -1},
        {"no mark", "<html>nothing here</html>", -1},
        {"empty", "", -1},
        {"non-breaking spaces", "version&nbsp;=&NBSP;&#160;0.005", 5},
        {"mark inside markup only", "<meta name=\"version\" content=\"0.5\">", -1},
        {"unclosed tag hides the rest", "version <b 0.500", -1},
        {"mark before the searched tail", "version 0.003" + padding, -1},
        {"too large", "version 99999999999", -1},
        {"integer version", "version: 12", 12},
    };
    for (const PageCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_update_page(c.body), c.version);
    }
}

TEST(UpdatePage, VersionNumbers) {
    const struct {
        const char* text;
        std::int32_t version;
    } cases[] = {
        {"0.010", 10},
        {"10", 10},
        {" 0.002 \n", 2},
        {"", -1},
        {" \t ", -1},
        {"-1", -1},
        {"-0.5", -1},
        {"abc", -1},
        {".", -1},
        {"1.2345", 1235},
        {"0.0004", 0},
        {"0.0005", 1},
        {".5", 500},
        {"2.", 2000},
        {"7abc", 7},
        {"2147483647", -1},
        {"2147483646", 2147483646},
        {"3000000.0", -1},
        {"1.2.3", 1200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_version_number(c.text), c.version);
    }
}

TEST(VersionLine, Texts) {
    EXPECT_EQ(version_text(-1), "0.001");
    EXPECT_EQ(version_text(1), "0.001");
    EXPECT_EQ(version_text(2), "0.002");
    EXPECT_EQ(version_text(1000), "1.000");
    update_available = 0;
    EXPECT_EQ(update_line_text(), "Version 0.001");
    update_available = 1;
    EXPECT_EQ(update_line_text().rfind("Update available, https://", 0), 0u);
    update_available = 0;
}

TEST(ConnectionLine, BalanceAndLabel) {
    EXPECT_EQ(format_bsv_amount(123456789), "1.23456789");
    EXPECT_EQ(format_bsv_amount(5), "0.00000005");
    EXPECT_EQ(format_bsv_amount(-5), "-0.00000005");
    EXPECT_EQ(format_bsv_amount(0), "0.00000000");
    EXPECT_EQ(format_bsv_amount(INT64_MIN), "-92233720368.54775808");
    EXPECT_EQ(connection_line_text("alice", 123456789), "alice    1.23456789 BSV");
    EXPECT_EQ(connection_line_text("alice", -1), "alice    \xE2\x80\xA6");
    EXPECT_EQ(connection_line_text("alice", 5, true, "09:05"),
              "alice    0.00000005 BSV (last read 09:05; WhatsOnChain did not answer)");
    EXPECT_EQ(connection_line_text("alice", 5, true), "alice    0.00000005 BSV (WhatsOnChain did not answer)");
    EXPECT_EQ(connection_line_text("alice", -1, true, "09:05"), "alice    \xE2\x80\xA6");
    // Coins held for a damaged spent file are the wallet's still: never a balance of 0.
    EXPECT_EQ(connection_line_text("alice", 0, false, "", 12000), "alice    0.00012000 BSV (0.00012000 held)");
    EXPECT_EQ(connection_line_text("alice", 5, true, "09:05", 12000),
              "alice    0.00012005 BSV (0.00012000 held; last read 09:05; WhatsOnChain did not answer)");
    FakeClock clock; // while WhatsOnChain keeps every request away, the line says until when
    host_pause(service_settings().woc_base, 85000);
    const std::string until = local_clock_text(clock.system_ms + 85000, true);
    EXPECT_EQ(connection_line_text("alice", 5, true, "09:05"),
              "alice    0.00000005 BSV (last read 09:05; WhatsOnChain asks to wait until " + until + ")");
    clock.advance(60000); // the line read a minute later still names the same end
    EXPECT_EQ(connection_line_text("alice", 5, true),
              "alice    0.00000005 BSV (WhatsOnChain asks to wait until " + until + ")");
    host_pace_forget(service_settings().woc_base);
    EXPECT_EQ(local_clock_text(0), "");
    EXPECT_EQ(local_clock_text(1700000000000).size(), 5u);
    EXPECT_EQ(local_clock_text(1700000000000, true).size(), 8u);
    EXPECT_EQ(local_clock_text(1700000000001, true), local_clock_text(1700000001000, true));

    EXPECT_EQ(connection_label("alice@kestrava.net", "Main", "1Addr"), "alice");
    EXPECT_EQ(connection_label("", "Main", "1Addr"), "Main");
    EXPECT_EQ(connection_label("", "", ""), "Connected");
}

TEST(StatusText, Flags) {
    const struct {
        const wchar_t* text;
        std::uint8_t error;
        std::uint8_t animating;
        const wchar_t* base;
    } cases[] = {
        {L"  Error: could not read", 1, 0, L""},
        {L"\tERRORS everywhere", 1, 0, L""},
        {L"erro", 0, 0, L""},
        {L"", 0, 0, L""},
        {L"Reading inscriptions...", 0, 1, L"Reading inscriptions"},
        {L"Passing artwork to bob . . ", 0, 1, L"Passing artwork to bob"},
        {L"Artwork inscriptions refreshed.", 0, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(wcslen(c.text)));
        set_status_text(std::wstring(c.text));
        EXPECT_EQ(status_is_error, c.error);
        EXPECT_EQ(status_animating, c.animating);
        EXPECT_EQ(status_base_text, c.base);
    }
}

std::wstring window_text(HWND window) {
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return buffer;
}

TEST(StatusText, DotsCycleInTheStatusLine) {
    HWND line = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 20, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(line, nullptr);
    status_line = line;
    set_status_text(std::string("Reading inscriptions..."));
    EXPECT_EQ(window_text(line), L"Reading inscriptions.");
    advance_reading_dots();
    EXPECT_EQ(window_text(line), L"Reading inscriptions..");
    advance_reading_dots();
    EXPECT_EQ(window_text(line), L"Reading inscriptions...");
    advance_reading_dots();
    EXPECT_EQ(window_text(line), L"Reading inscriptions.");

    set_status_text(std::string("Done."));
    EXPECT_EQ(status_animating, 0);
    advance_reading_dots();
    EXPECT_EQ(window_text(line), L"Done.");

    FakeClock clock; // the line stands long after a count of seconds would be true
    set_status_text(std::string("error: WhatsOnChain asks to wait 85 s. Try again then."));
    EXPECT_EQ(status_text_shown(), "error: WhatsOnChain asks to wait until " +
                                       local_clock_text(clock.system_ms + 85000, true) + ". Try again then.");
    status_line = nullptr;
    DestroyWindow(line);
}

} // namespace
