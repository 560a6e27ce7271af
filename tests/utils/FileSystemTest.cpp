#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Files.h"
#include "support/TempDir.h"
#include "upgrader/utils/FileSystem.h"

using namespace qx::upgrader::utils;
using qx::testing::WriteBytes;

TEST(FileQueries, OnlyRegularFilesExistAndHaveSizes) {
    TempDir dir;
    WriteBytes(dir / "file", "12345");
    WriteBytes(dir / "empty", "");
    ASSERT_EQ(::mkdir((dir / "dir").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("dir", (dir / "dirlink").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);

    EXPECT_TRUE(FileExists(dir / "file"));
    EXPECT_TRUE(FileExists(dir / "link"));
    EXPECT_FALSE(FileExists(dir / "dir"));
    EXPECT_FALSE(FileExists(dir / "fifo"));
    EXPECT_FALSE(FileExists(dir / "dangling"));
    EXPECT_FALSE(FileExists(dir / "missing"));
    EXPECT_FALSE(FileExists("/dev/null"));

    EXPECT_TRUE(DirectoryExists(dir / "dir"));
    EXPECT_TRUE(DirectoryExists(dir / "dirlink"));
    EXPECT_FALSE(DirectoryExists(dir / "file"));

    unsigned int size = 77;
    EXPECT_TRUE(FileSize(dir / "empty", size));
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(FileSize(dir / "link", size));
    EXPECT_EQ(size, 5u);
    size = 77;
    EXPECT_FALSE(FileSize(dir / "dir", size));
    EXPECT_FALSE(FileSize(dir / "missing", size));
    EXPECT_EQ(size, 77u);
}

TEST(FileQueries, HugeFileSizeSaturates) {
    TempDir dir;
    const std::string path = dir / "sparse";
    WriteBytes(path, "");
    ASSERT_EQ(::truncate64(path.c_str(), 5LL * 1024 * 1024 * 1024), 0);
    unsigned int size = 0;
    if (sizeof(off_t) < 8) {
        // The device's 32-bit stat fails (EOVERFLOW) instead.
        EXPECT_FALSE(FileSize(path, size));
        return;
    }
    EXPECT_TRUE(FileSize(path, size));
    EXPECT_EQ(size, kSaturatedSize);
}

TEST(FileQueries, ModificationTimesAndPermissions) {
    TempDir dir;
    WriteBytes(dir / "file", "x");
    struct timespec times[2] = {{1000, 0}, {123456789, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "file").c_str(), times, 0), 0);
    EXPECT_EQ(FileModificationTime(dir / "file"), 123456789L);
    EXPECT_EQ(FileModificationTime(dir / "missing"), 0L);
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.path().c_str(), times, 0), 0);
    EXPECT_EQ(FileModificationTime(dir.path()), 123456789L);

    EXPECT_TRUE(SetPermissions(dir / "file", 04750));
    struct stat info;
    ASSERT_EQ(::stat((dir / "file").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 04750u);
    EXPECT_FALSE(SetPermissions(dir / "missing", 0644));

    unsigned int freeBytes = 42;
    EXPECT_FALSE(MountFreeSpace(dir / "missing", freeBytes));
    EXPECT_EQ(freeBytes, 42u);
    EXPECT_TRUE(MountFreeSpace(dir.path(), freeBytes));
    EXPECT_GT(freeBytes, 0u);
}
