#include "tools/common/PackageFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace tools {

namespace {

using qx::upgrader::utils::OpenFile;

// Opens path without ever waiting in open itself: a FIFO without a reader
// or writer fails or opens at once. The reader puts a package's descriptor
// back into blocking mode; an output gets it here.
int OpenNow(const char* path, int flags, mode_t mode) {
    const int fd = OpenFile(path, flags | O_NONBLOCK, mode);
    if (fd < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        return fd;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

bool ParsePackage(upgradeFile::UpgradeFile& reader, const std::string& path) {
    const int fd = OpenNow(path.c_str(), O_RDONLY, 0);
    return reader.ParseFile(fd, errno, path);
}

bool ExtractToOutput(upgradeFile::UpgradeFile& reader, unsigned int index,
                     const std::string& path) {
    int fd = OpenNow(path.c_str(), O_WRONLY | O_TRUNC, 0);
    const bool created = fd < 0 && errno == ENOENT;
    if (created) {
        fd = OpenNow(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0755);
    }
    const int openError = errno;
    struct stat written;
    const bool known = fd >= 0 && ::fstat(fd, &written) == 0;
    if (reader.ExtractFile(index, fd, openError, path)) {
        return true;
    }
    // No half inner file stays under the name.
    const bool writeFailed = reader.Error() == upgradeFile::ReaderError::OutputWriteFailed;
    if (known && (created || writeFailed)) {
        qx::upgrader::utils::RemoveWrittenFile(path.c_str(), written);
    }
    return false;
}

bool ExtractToNewFile(upgradeFile::UpgradeFile& reader, unsigned int index,
                      const std::string& path) {
    const int fd = OpenFile(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0755);
    return reader.ExtractFile(index, fd, errno, path);
}

}  // namespace tools
}  // namespace qx
