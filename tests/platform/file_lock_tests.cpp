#include "platform/file_lock.h"

#include "platform/fs.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

TEST(PlatformFileLock, CreatesLocksAndReleases) {
    TempDataDir tmp;
    const std::string path = tmp.data_dir + "/wallets.lock";
    FileLock lock;
    ASSERT_TRUE(file_lock_acquire(path, lock));
    EXPECT_NE(lock.handle, -1);
    EXPECT_TRUE(platform_file_exists(path));
    file_lock_release(lock);
    EXPECT_EQ(lock.handle, -1);
    file_lock_release(lock); // nothing held: no effect

    // The byte is free again and the file is never written.
    ASSERT_TRUE(file_lock_acquire(path, lock));
    file_lock_release(lock);
    EXPECT_EQ(test_read_file(path), "");
}

// A shared file's lock is taken beside it, its folder made first, and says when it could not be.
TEST(PlatformFileLock, SharedFileLockSaysWhetherItWasTaken) {
    TempDataDir tmp;
    const std::string path = tmp.data_dir + "/new folder/list.json";
    {
        const SharedFileLock locked(path);
        EXPECT_TRUE(locked.taken());
        EXPECT_TRUE(platform_file_exists(path + ".lock"));
    }
    ASSERT_TRUE(platform_make_dirs(tmp.data_dir + "/blocked.json.lock"));
    const SharedFileLock blocked(tmp.data_dir + "/blocked.json");
    EXPECT_FALSE(blocked.taken());
}
