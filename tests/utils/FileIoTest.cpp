// Long logs read backwards and scratch-name links: see HostileDeviceTest.cpp.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "support/Files.h"
#include "support/TempDir.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/SystemCalls.h"

using namespace qx::upgrader::utils;
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
    const std::string log = dir / "log", scratch = dir / "log.tmp", target = dir / "target";
    WriteBytes(target, "target bytes\n");
    // A log that is a link is not read through (the device cases hold the rest).
    ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0);
    EXPECT_FALSE(KeepLastLines(log.c_str(), scratch.c_str(), 1));
    EXPECT_NE(::access(scratch.c_str(), F_OK), 0);
}

TEST(FreshFiles, WhatStandsAtTheNameIsReplacedNeverFollowed) {
    TempDir dir;
    const std::string path = dir / "out", target = dir / "target";
    WriteBytes(target, "target bytes\n");
    const struct {
        const char* what;
        int (*plant)(const std::string& path, const std::string& target);
    } cases[] = {
        {"nothing", [](const std::string&, const std::string&) { return 0; }},
        {"a link", [](const std::string& p,
                      const std::string& t) { return ::symlink(t.c_str(), p.c_str()); }},
        {"a dangling link",
         [](const std::string& p, const std::string& t) {
             return ::symlink((t + ".missing").c_str(), p.c_str());
         }},
        {"a second name",
         [](const std::string& p, const std::string& t) { return ::link(t.c_str(), p.c_str()); }},
        {"a FIFO",
         [](const std::string& p, const std::string&) { return ::mkfifo(p.c_str(), 0666); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path.c_str());
        ASSERT_EQ(c.plant(path, target), 0);
        const int fd = OpenOwnFileForAppend(path.c_str(), 0600);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_TRUE(WriteAll(fd, "entry\n", 6));
        ::close(fd);
        struct stat info;
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_nlink, 1u);
        EXPECT_EQ(ReadBytes(path), "entry\n");
        EXPECT_EQ(ReadBytes(target), "target bytes\n");
        EXPECT_NE(::access((target + ".missing").c_str(), F_OK), 0);
    }

    // The program's own file is appended to; a directory cannot be freed.
    const int fd = OpenOwnFileForAppend(path.c_str(), 0600);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(WriteAll(fd, "more\n", 5));
    ::close(fd);
    EXPECT_EQ(ReadBytes(path), "entry\nmore\n");
    EXPECT_EQ(CreateFreshFile(dir.path().c_str(), 0, 0600), -1);
    EXPECT_EQ(errno, EISDIR);
}

TEST(FreshFiles, AFailureThatSaysNothingAboutTheFileKeepsIt) {
    TempDir dir;
    const std::string log = dir / "log";
    WriteBytes(log, "earlier entries\n");
    // No descriptor left to open it with (EMFILE): the file stays as it is.
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int next = ::dup(0);
    ASSERT_GE(next, 0);
    ::close(next);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(next);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int fd = OpenOwnFileForAppend(log.c_str(), 0600);
    const int error = errno;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(error, EMFILE);
    EXPECT_EQ(ReadBytes(log), "earlier entries\n");
}
