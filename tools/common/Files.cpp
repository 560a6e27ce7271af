#include "tools/common/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "tools/common/Signals.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace tools {

namespace {

using qx::upgrader::utils::Descriptor;
using qx::upgrader::utils::ErrnoText;

std::string SystemError(const std::string& path) { return path + ": " + ErrnoText(errno); }

// An unnamed file in the temporary folder ($TMPDIR, else /tmp).
int UnnamedTemporaryFile(std::string& error) {
    const char* folder = std::getenv("TMPDIR");
    std::string pattern =
        std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/.qx-stdin.XXXXXX";
    SignalBlock block;  // a signal between the two calls would leave the name
    const int fd = ::mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a temporary file for standard input: " + ErrnoText(errno);
        return -1;
    }
    ::unlink(pattern.c_str());
    return fd;
}

}  // namespace

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
    Descriptor copy(UnnamedTemporaryFile(error));
    if (!copy.Valid()) {
        return -1;
    }
    char buffer[64 * 1024];
    for (;;) {
        const long got = qx::upgrader::utils::ReadFully(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0) {
            error = "standard input: " + ErrnoText(errno);
            return -1;
        }
        if (got == 0) {
            break;
        }
        if (!qx::upgrader::utils::WriteAll(copy.Get(), buffer, static_cast<std::size_t>(got))) {
            error = "cannot copy standard input to a temporary file: " + ErrnoText(errno);
            return -1;
        }
    }
    if (::lseek(copy.Get(), 0, SEEK_SET) != 0) {
        error = "standard input: " + ErrnoText(errno);
        return -1;
    }
    return copy.Release();
}

}  // namespace tools
}  // namespace qx
