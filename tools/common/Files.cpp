#include "tools/common/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "tools/common/Signals.h"
#include "upgradeFile/PackageLayout.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace tools {

namespace {

using qx::upgradeFile::layout::kMaxPackageSize;
using qx::upgrader::utils::Descriptor;
using qx::upgrader::utils::ErrnoText;

std::string SystemError(const std::string& path) { return path + ": " + ErrnoText(errno); }

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int UnnamedTemporaryFile(const std::string& name, std::string& error) {
    const char* folder = std::getenv("TMPDIR");
    const std::string where(folder != nullptr && *folder != '\0' ? folder : "/tmp");
    // O_TMPFILE never has a name; where the file system has none, a name
    // that lives between two calls no catchable signal separates.
    int fd = qx::upgrader::utils::OpenFile(where.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) {
        std::string pattern = where + "/.qx-stdin.XXXXXX";
        SignalBlock block;
        fd = ::mkostemp(&pattern[0], O_CLOEXEC);
        if (fd >= 0) {
            ::unlink(pattern.c_str());
        }
    }
    if (fd < 0) {
        error = "cannot create a temporary file for " + name + ": " + ErrnoText(errno);
    }
    return fd;
}

std::string NotRegularReason(const struct stat& info) {
    if (S_ISREG(info.st_mode)) {
        return "";
    }
    if (S_ISDIR(info.st_mode)) {
        return "is a directory";
    }
    if (S_ISFIFO(info.st_mode)) {
        return "is a FIFO";
    }
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
        return "is a device";
    }
    if (S_ISSOCK(info.st_mode)) {
        return "is a socket";
    }
    return "is not a regular file";
}

int OpenInputFile(const std::string& path, std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = SystemError(path);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": " + NotRegularReason(info);
        return -1;
    }
    // O_NONBLOCK: should a FIFO be put there in between, the open does not wait.
    Descriptor fd(qx::upgrader::utils::OpenFile(path.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0) {
        error = SystemError(path);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": " + NotRegularReason(info);
        return -1;
    }
    ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    return fd.Release();
}

bool CheckInputFile(const std::string& path, std::string& error) {
    return Descriptor(OpenInputFile(path, error)).Valid();
}

bool SameFile(const std::string& first, const std::string& second) {
    struct stat a {
    }, b{};
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool CheckOutputFile(const std::string& out, const std::vector<std::string>& inputs,
                     std::string& error) {
    struct stat info {};
    if (::stat(out.c_str(), &info) != 0) {
        return true;  // missing (a dangling link is the writer's to refuse)
    }
    if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
        return true;  // a stream, written in place
    }
    if (!S_ISREG(info.st_mode)) {
        error = out + ": " + NotRegularReason(info);
        return false;
    }
    for (const std::string& input : inputs) {
        if (input != kStandardStream && SameFile(out, input)) {
            error = out + ": is the same file as the input " + input + "; it is left as it is";
            return false;
        }
    }
    return true;
}

int SeekableStandardInput(std::string& error) {
    struct stat info {};
    if (::fstat(STDIN_FILENO, &info) != 0) {
        error = "standard input: " + ErrnoText(errno);
        return -1;
    }
    if (S_ISREG(info.st_mode)) {
        Descriptor fd(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
        if (!fd.Valid() || ::lseek(fd.Get(), 0, SEEK_SET) != 0) {
            error = "standard input: " + ErrnoText(errno);
            return -1;
        }
        return fd.Release();
    }
    return SeekableCopy(STDIN_FILENO, "standard input", error);
}

int SeekableCopy(int fd, const std::string& name, std::string& error) {
    Descriptor copy(UnnamedTemporaryFile(name, error));
    if (!copy.Valid()) {
        return -1;
    }
    std::vector<char> buffer(64 * 1024);
    // A stream longer than any package (/dev/zero) ends the copy.
    for (unsigned long long total = 0;;) {
        const long got = qx::upgrader::utils::ReadFully(fd, buffer.data(), buffer.size());
        if (got < 0 || (total += static_cast<unsigned long long>(got)) > kMaxPackageSize) {
            error = name + ": " + (got < 0 ? ErrnoText(errno) : "longer than a package can be");
            return -1;
        }
        if (got == 0) {
            break;
        }
        if (!qx::upgrader::utils::WriteAll(copy.Get(), buffer.data(),
                                           static_cast<std::size_t>(got))) {
            error = "cannot copy " + name + " to a temporary file: " + ErrnoText(errno);
            return -1;
        }
    }
    if (::lseek(copy.Get(), 0, SEEK_SET) != 0) {
        error = name + ": " + ErrnoText(errno);
        return -1;
    }
    return copy.Release();
}

int OpenStreamableInput(const std::string& path, std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode))) {
        Descriptor stream(qx::upgrader::utils::OpenFile(path.c_str(), O_RDONLY));
        if (!stream.Valid()) {
            error = SystemError(path);
            return -1;
        }
        return SeekableCopy(stream.Get(), path, error);
    }
    return OpenInputFile(path, error);
}

}  // namespace tools
}  // namespace qx
