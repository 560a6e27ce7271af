// Long logs read backwards and scratch-name links: see HostileDeviceTest.cpp.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/Files.h"
#include "support/TempDir.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/SystemCalls.h"

using namespace qx::upgrader::utils;
using qx::testing::Names;
using qx::testing::ReadBytes;
using qx::testing::WriteBytes;

// A file-size limit cuts a write short; what follows fails with EFBIG.
TEST(WriteAll, AShortWriteIsContinuedAndItsFailureReported) {
    const struct {
        const char* what;
        bool (*write)(int fd, const std::string& data);
    } writers[] = {
        {"WriteAll", [](int fd, const std::string& d) { return WriteAll(fd, d.data(), d.size()); }},
        {"PwriteAll",
         [](int fd, const std::string& d) { return PwriteAll(fd, d.data(), d.size(), 0); }},
    };
    TempDir dir;
    const std::string path = dir / "out";
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& w : writers) {
        for (const std::size_t size : {1000u, 4000u}) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(fd, 0);
            const struct rlimit limit = {1000, old.rlim_max};
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
            errno = 0;
            const bool written = w.write(fd, std::string(size, 'w'));
            const int error = errno;
            ::setrlimit(RLIMIT_FSIZE, &old);
            ::close(fd);
            EXPECT_EQ(written, size <= 1000) << w.what << " " << size;
            EXPECT_EQ(error, size <= 1000 ? 0 : EFBIG) << w.what << " " << size;
            EXPECT_EQ(ReadBytes(path), std::string(1000, 'w')) << w.what;
        }
    }
    std::signal(SIGXFSZ, oldHandler);
}

TEST(KeepLastLines, NeverReadsThroughALink) {
    TempDir dir;
    const std::string log = dir / "log", target = dir / "target";
    WriteBytes(target, "target bytes\n");
    // A log that is a link is not read through (the device cases hold the rest).
    ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0);
    EXPECT_FALSE(KeepLastLines(log.c_str(), 1));
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"log", "target"}));
}

TEST(FreshFiles, WhatStandsAtTheNameIsReplacedNeverFollowed) {
    TempDir dir;
    const std::string path = dir / "out", target = dir / "target";
    WriteBytes(target, "target bytes\n");
    // What the fresh file starts with: only a second name of the caller's
    // own file gives its bytes; a link's target or another user's file never.
    const struct {
        const char* what;
        int (*plant)(const std::string& path, const std::string& target);
        const char* kept;
    } cases[] = {
        {"nothing", [](const std::string&, const std::string&) { return 0; }, ""},
        {"a dangling link",
         [](const std::string& p, const std::string& t) {
             return ::symlink((t + ".missing").c_str(), p.c_str());
         },
         ""},
        {"a second name",
         [](const std::string& p, const std::string& t) { return ::link(t.c_str(), p.c_str()); },
         "target bytes\n"},
        {"another user's file",
         [](const std::string& p, const std::string&) {
             WriteBytes(p, "planted line\n");
             return ::chown(p.c_str(), 1000, 1000);
         },
         ""},
        {"a FIFO",
         [](const std::string& p, const std::string&) { return ::mkfifo(p.c_str(), 0666); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path.c_str());
        ASSERT_EQ(c.plant(path, target), 0);
        // Appended to, the name is then a regular file of one name.
        const int fd = OpenOwnFileForAppend(path.c_str(), 0600);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_TRUE(WriteAll(fd, "entry\n", 6));
        ::close(fd);
        struct stat info;
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_nlink, 1u);
        EXPECT_EQ(ReadBytes(path), std::string(c.kept) + "entry\n");
        EXPECT_EQ(ReadBytes(target), "target bytes\n");
        EXPECT_NE(::access((target + ".missing").c_str(), F_OK), 0);
    }

    // The program's own file is appended to; nothing else is left behind.
    const int fd = OpenOwnFileForAppend(path.c_str(), 0600);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(WriteAll(fd, "more\n", 5));
    ::close(fd);
    EXPECT_EQ(ReadBytes(path), "entry\nmore\n");
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"out", "target"}));
    EXPECT_EQ(CreateFreshFile(dir.path().c_str(), 0, 0600), -1);
    EXPECT_EQ(errno, EISDIR);
}

// Within one file system (rename) and across two (/dev/shm: a copy).
TEST(Moves, WhatStandsAtTheTargetIsReplacedAndTheSourceStaysUntilTheMoveIsDone) {
    TempDir here;
    std::string shm = "/dev/shm/qx-test-XXXXXX";
    ASSERT_NE(::mkdtemp(shm.data()), nullptr);
    enum Stand { Nothing, Link, Fifo, Directory, EarlierLog };
    const struct {
        const char* what;
        bool across;
        Stand stand;
        bool log;  // MoveUpgradeLog onto the flash, else MoveFile
        bool moved;
        const char* bytes;  // of the target afterwards
    } cases[] = {
        {"rename over a link", false, Link, false, true, "moved\n"},
        {"copy over a link", true, Link, false, true, "moved\n"},
        {"copy over a FIFO", true, Fifo, false, true, "moved\n"},
        {"a file never moves into a directory", true, Directory, false, false, ""},
        {"the log takes its name from a directory", true, Directory, true, true, "moved\n"},
        {"an earlier log keeps its lines, copied", true, EarlierLog, true, true,
         "earlier\nmoved\n"},
    };
    const std::string precious = here / "precious";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string from = here / "from", to = (c.across ? shm : here.path()) + "/to";
        std::filesystem::remove_all(to);
        WriteBytes(precious, "precious\n");
        WriteBytes(from, "moved\n");
        ASSERT_EQ(::chmod(from.c_str(), 0750), 0);
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), old, 0), 0);
        if (c.stand == Link) {
            ASSERT_EQ(::symlink(precious.c_str(), to.c_str()), 0);
        } else if (c.stand == Fifo) {
            ASSERT_EQ(::mkfifo(to.c_str(), 0666), 0);
        } else if (c.stand == Directory) {
            ASSERT_EQ(::mkdir(to.c_str(), 0777) | ::mkfifo((to + "/x").c_str(), 0666), 0);
        } else if (c.stand == EarlierLog) {
            WriteBytes(to, "earlier\n");
        }
        EXPECT_EQ(c.log ? MoveUpgradeLog(from, to, true) : MoveFile(from, to), c.moved);
        EXPECT_EQ(ReadBytes(precious), "precious\n");
        EXPECT_EQ(::access(from.c_str(), F_OK) == 0, !c.moved);
        struct stat info {};
        EXPECT_EQ(::lstat(to.c_str(), &info), 0);
        if (c.moved) {
            EXPECT_EQ(ReadBytes(to), c.bytes);
            EXPECT_EQ(info.st_mode & 07777, 0750u);
            EXPECT_EQ(info.st_mtime, 1000000000);
        }
        EXPECT_EQ(Names(c.across ? shm : here.path()).size(), c.across ? 1u : 2u);  // no scratch
    }
    std::filesystem::remove_all(shm);
}

TEST(Moves, OnlyTheRunsOwnFileMoves) {
    TempDir dir;
    const std::string from = dir / "from", to = dir / "to", precious = dir / "precious";
    WriteBytes(precious, "precious\n");
    ASSERT_EQ(::symlink(precious.c_str(), from.c_str()), 0);
    EXPECT_FALSE(MoveFile(from, to));
    ASSERT_EQ(::unlink(from.c_str()), 0);
    WriteBytes(from, "moved\n");
    ASSERT_EQ(::chmod(from.c_str(), 0646), 0);
    EXPECT_FALSE(MoveUpgradeLog(from, to, true));
    EXPECT_EQ(ReadBytes(from), "moved\n");
    EXPECT_NE(::access(to.c_str(), F_OK), 0);
}
