#include "tools/common/Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "tools/common/Files.h"
#include "tools/common/Signals.h"

namespace qx {
namespace tools {

namespace {

using qx::upgrader::utils::Descriptor;
using qx::upgrader::utils::ErrnoText;

constexpr int kMostLinks = 40;  // as the kernel's ELOOP limit

// A link /proc shows for an open file ("pipe:[42]", "/dev/pts/0"): the
// kernel follows it to the file itself, whatever its text says.
bool IsProcLink(const std::string& path) { return path.rfind("/proc/", 0) == 0; }

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find('/', begin);
        end = end == std::string::npos ? path.size() : end;
        if (end > begin) {
            parts.push_back(path.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return parts;
}

// The caller may write through a link it or root owns; nobody else's.
bool TrustedLink(const struct stat& info) { return info.st_uid == ::geteuid() || info.st_uid == 0; }

std::string LinkRefusal(const std::string& what, const struct stat& info) {
    return what + "a link owned by another user (uid " + std::to_string(info.st_uid) +
           "); nothing is written through it";
}

mode_t LessUmask(mode_t mode) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode & ~mask;
}

}  // namespace

bool ResolveOwnLinks(const std::string& path, std::string& resolved, std::string& error) {
    std::vector<std::string> pending = Components(path);
    std::reverse(pending.begin(), pending.end());
    std::string done = !path.empty() && path[0] == '/' ? "" : ".";
    int links = 0;
    while (!pending.empty()) {
        const std::string part = pending.back();
        pending.pop_back();
        const std::string next = (done.empty() ? "" : done) + "/" + part;
        struct stat info {};
        if (part == "." || IsProcLink(done + "/") || ::lstat(next.c_str(), &info) != 0 ||
            !S_ISLNK(info.st_mode)) {
            done = part == "." ? done : next;  // ".." of a resolved path is its parent
            continue;
        }
        if (!TrustedLink(info)) {
            error =
                LinkRefusal(pending.empty() && links == 0 ? path + ": is "
                                                          : path + ": leads through " + next + ", ",
                            info);
            return false;
        }
        char target[4096];
        const ssize_t length = ::readlink(next.c_str(), target, sizeof target - 1);
        if (length < 0 || ++links > kMostLinks) {
            error = path + ": " + ErrnoText(length < 0 ? errno : ELOOP);
            return false;
        }
        std::vector<std::string> more = Components(std::string(target, length));
        pending.insert(pending.end(), more.rbegin(), more.rend());
        if (target[0] == '/') {
            done = "";
        }
    }
    resolved = done.empty() ? "/" : done;
    return true;
}

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() {
    if (!committed && !scratch.empty()) {
        ::unlink(scratch.c_str());
    }
}

bool OutputFile::Open(const std::string& outPath, mode_t mode, bool flush,
                      const std::vector<std::string>& inputs, std::string& error) {
    path = outPath;
    durable = flush;
    if (path == kStandardStream) {
        stream = true;
        fd = Descriptor(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
        error = fd.Valid() ? "" : "standard output: " + ErrnoText(errno);
        return fd.Valid();
    }
    if (!ResolveOwnLinks(path, target, error)) {
        return false;
    }
    if (::stat(target.c_str(), &standing) != 0) {
        if (errno != ENOENT || ::lstat(target.c_str(), &standing) == 0) {
            error = path + ": " + ErrnoText(errno == ENOENT ? ENOENT : errno);
            return false;
        }
        return OpenFile(mode, error);
    }
    stream = S_ISCHR(standing.st_mode) || S_ISBLK(standing.st_mode) || S_ISFIFO(standing.st_mode) ||
             (IsProcLink(target) && S_ISREG(standing.st_mode));
    if (stream) {
        // Written in place, as a shell's redirection would (a FIFO waits for its reader).
        const int follow = IsProcLink(target) ? 0 : O_NOFOLLOW;
        fd = Descriptor(qx::upgrader::utils::OpenFile(target.c_str(), O_WRONLY | follow));
        error = fd.Valid() ? "" : path + ": " + ErrnoText(errno);
        return fd.Valid();
    }
    if (!S_ISREG(standing.st_mode)) {
        error = path + ": " + NotRegularReason(standing);
        return false;
    }
    for (const std::string& input : inputs) {
        if (input != kStandardStream && SameFile(target, input)) {
            error = path + ": is the same file as the input " + input + "; it is left as it is";
            return false;
        }
    }
    // Replaced only by whoever may write to it, as writing in place would.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        error = path + ": " + ErrnoText(errno);
        return false;
    }
    replacing = true;
    return OpenFile(standing.st_mode & 07777, error);
}

// The file's bytes go to an unnamed file in the target's folder (O_TMPFILE:
// SIGKILL leaves nothing). Where the file system or kernel has none, or
// /proc is missing to name it later, to a hidden named file beside the
// target that a catchable signal removes.
bool OutputFile::OpenFile(mode_t mode, std::string& error) {
    const mode_t complete = replacing ? mode : LessUmask(mode);
    const std::string folder = DirectoryOf(target);
    if (::access("/proc/self/fd", X_OK) == 0) {
        fd = Descriptor(qx::upgrader::utils::OpenFile(folder.c_str(), O_TMPFILE | O_RDWR, 0600));
        unnamed = fd.Valid();
    }
    if (!unnamed) {
        SignalBlock block;  // created and registered as one step
        for (int attempt = 0; !fd.Valid() && attempt < 100; ++attempt) {
            scratch = qx::upgrader::utils::FreshNameBeside(target, ".out");
            fd = Descriptor(qx::upgrader::utils::OpenFile(
                scratch.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
            if (!fd.Valid() && errno != EEXIST) {
                break;
            }
        }
        if (fd.Valid()) {
            debris = std::make_unique<Debris>(Debris::Kind::File, scratch);
        }
    }
    if (!fd.Valid() || ::fchmod(fd.Get(), complete) != 0) {
        error = path + ": " + ErrnoText(errno);
        return false;
    }
    if (replacing && ::geteuid() == 0) {
        (void)!::fchown(fd.Get(), standing.st_uid, standing.st_gid);
    }
    return true;
}

bool OutputFile::Link(const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd.Get());
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// A new file is linked in under its name (never replacing what appeared
// there meanwhile); a replacement is linked under a fresh name and renamed
// over the target in one step.
bool OutputFile::Name() {
    if (unnamed && !replacing) {
        return Link(target);
    }
    std::string staged = scratch;
    for (int attempt = 0; unnamed && attempt < 100; ++attempt) {
        staged = qx::upgrader::utils::FreshNameBeside(target, ".out");
        if (Link(staged)) {
            break;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    if (std::rename(staged.c_str(), target.c_str()) == 0) {
        return true;
    }
    const int failure = errno;
    if (unnamed) {
        ::unlink(staged.c_str());
    }
    errno = failure;
    return false;
}

bool OutputFile::Commit(std::string& error) {
    if (!stream && ((durable && ::fsync(fd.Get()) != 0) || !Name())) {
        error = path + ": " + ErrnoText(errno);
        return false;
    }
    committed = true;
    // Some file systems only report a failed write when the file is closed.
    if (!fd.Close()) {
        error = (stream ? std::string("standard output") : path) + ": " + ErrnoText(errno);
        Withdraw();
        return false;
    }
    return true;
}

void OutputFile::Withdraw() {
    if (committed && !stream && !replacing) {
        ::unlink(target.c_str());
    }
}

bool CopyToOutput(int fd, OutputFile& output, std::string& error) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kToolBufferSize]);
    for (;;) {
        const long got = qx::upgrader::utils::ReadFully(fd, buffer.get(), kToolBufferSize);
        if (got < 0) {
            error = "cannot read back the output: " + ErrnoText(errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (!qx::upgrader::utils::WriteAll(output.Get(), buffer.get(),
                                           static_cast<std::size_t>(got))) {
            error = "cannot write " + std::string(output.Stream() ? "the output" : "it") + ": " +
                    ErrnoText(errno);
            return false;
        }
    }
}

}  // namespace tools
}  // namespace qx
