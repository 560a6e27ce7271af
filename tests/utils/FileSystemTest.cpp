#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/Files.h"
#include "support/Spawn.h"
#include "support/TempDir.h"
#include "upgrader/utils/FileSystem.h"

using namespace qx::upgrader::utils;
using qx::testing::ReadBytes;
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

    const struct {
        const char* name;
        bool file, directory;
        int size;  // -1: no size
    } cases[] = {
        {"file", true, false, 5},       {"empty", true, false, 0},     {"link", true, false, 5},
        {"dir", false, true, -1},       {"dirlink", false, true, -1},  {"fifo", false, false, -1},
        {"dangling", false, false, -1}, {"missing", false, false, -1},
    };
    for (const auto& c : cases) {
        unsigned int size = 77;
        EXPECT_EQ(FileExists(dir / c.name), c.file) << c.name;
        EXPECT_EQ(DirectoryExists(dir / c.name), c.directory) << c.name;
        EXPECT_EQ(FileSize(dir / c.name, size), c.size >= 0) << c.name;
        EXPECT_EQ(size, c.size >= 0 ? static_cast<unsigned int>(c.size) : 77u) << c.name;
    }
    EXPECT_FALSE(FileExists("/dev/null"));
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
}

namespace {

// Runs a host program (no shell) and returns its exit status, -1 when it could not run.
int RunProgram(std::vector<std::string> words) {
    return qx::testing::ExitStatusOf(qx::testing::StartQuietly(std::move(words)));
}

}  // namespace

// An ext2 file system whose reserved blocks equal the blocks others may use:
// the figure is the latter, not the free blocks. A child process mounts it
// in a mount namespace of its own (nothing is mounted in the host's) and
// measures; skipped where loop devices are unavailable.
TEST(FreeSpace, IsWhatUnprivilegedUsersMayUse) {
    unsigned int figure = 42;
    EXPECT_FALSE(MountFreeSpace("/nonexistent/dir", figure));
    EXPECT_EQ(figure, 42u);
    TempDir dir;
    const std::string image = dir / "ext2.img", mountPoint = dir / "mnt";
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    if (::geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0 ||
        RunProgram({"mkfs.ext2", "-q", "-F", "-m", "0", "-b", "1024", image, "2048"}) != 0) {
        GTEST_SKIP() << "a loop-mounted ext2 needs root, /dev/loop-control and mkfs.ext2";
    }
    // The superblock (at 1024): reserved blocks at 8, free blocks at 12 (little-endian).
    std::string bytes = ReadBytes(image);
    std::uint32_t freeBlocks = 0;
    for (int i = 3; i >= 0; --i) {
        freeBlocks = freeBlocks << 8 | static_cast<unsigned char>(bytes[1024 + 12 + i]);
    }
    const std::uint32_t reserved = freeBlocks / 2;
    for (int i = 0; i < 4; ++i) {
        bytes[1024 + 8 + i] = static_cast<char>(reserved >> (8 * i));
    }
    WriteBytes(image, bytes);

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            RunProgram({"mount", "-o", "loop,ro", image, mountPoint}) != 0) {
            ::_exit(3);
        }
        const bool sent = MountFreeSpace(mountPoint, figure) &&
                          ::write(pipeFds[1], &figure, sizeof figure) == sizeof figure;
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    const bool measured = ::read(pipeFds[0], &figure, sizeof figure) == sizeof figure;
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        GTEST_SKIP() << "the ext2 image could not be loop-mounted here";
    }
    ASSERT_TRUE(measured);
    EXPECT_EQ(figure, (freeBlocks - reserved) * 1024u) << freeBlocks << " free blocks";
}
