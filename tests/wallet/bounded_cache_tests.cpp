#include "wallet/bounded_cache.h"

#include <gtest/gtest.h>

#include <vector>

TEST(BoundedCache, AFullCacheDropsTheEntryPutLongestAgo) {
    const struct Row {
        const char* name;
        std::size_t bound;
        std::vector<std::string> puts;
        std::string kept; // the keys found afterwards, of "abcd"
    } rows[] = {
        {"under the bound", 3, {"a", "b", "c"}, "abc"},
        {"one past the bound", 3, {"a", "b", "c", "d"}, "bcd"},
        {"a key put again keeps its place", 3, {"a", "b", "a", "c", "d"}, "bcd"},
        {"a bound of none keeps one", 0, {"a", "b"}, "b"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BoundedCache<int> cache(row.bound);
        for (std::size_t i = 0; i < row.puts.size(); ++i)
            cache.put(row.puts[i], static_cast<int>(i));
        std::string kept;
        for (const char* key : {"a", "b", "c", "d"})
            if (cache.find(key)) kept += key;
        EXPECT_EQ(kept, row.kept);
        EXPECT_EQ(cache.size(), row.kept.size());
    }
}
