#include "art/ownership.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

TEST(OwnershipTest, UtcDates) {
    struct Row {
        std::int64_t time;
        const char* date;
    } rows[] = {
        {0, ""},
        {-1, ""},
        {std::numeric_limits<std::int64_t>::min(), ""},
        {1, "1970-01-01"},
        {86399, "1970-01-01"},
        {86400, "1970-01-02"},
        {951782400, "2000-02-29"},
        {1700000000, "2023-11-14"},
        {4102444800, "2100-01-01"}, // past the 32-bit time range
        // Too large to break down or to print in four digits: no date rather than a wrong one.
        {std::numeric_limits<std::int64_t>::max(), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.time);
        EXPECT_EQ(format_utc_date(row.time), row.date);
    }
}
