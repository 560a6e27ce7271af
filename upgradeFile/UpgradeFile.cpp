#include "upgradeFile/UpgradeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <sstream>
#include <utility>

#include "upgradeFile/Md5.h"
#include "upgradeFile/PackageLayout.h"
#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgradeFile {

namespace {

using layout::kHeaderSize;
using layout::kMaxPackageSize;

std::string SystemError(const char* phrase, const std::string& path, int error) {
    return std::string(phrase) + path + ": error: " + std::strerror(error);
}

// Closes fd keeping errno of the failure being reported.
void CloseQuietly(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

// Opens path with the given flags without ever blocking in open itself:
// opening a FIFO (read side without a writer, write side without a reader)
// would otherwise wait forever. Once open, descriptors go back to blocking
// mode so that reads and writes behave as for any file. Returns -1 with
// errno set on failure.
int OpenNonBlocking(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        CloseQuietly(fd);
        return -1;
    }
    return fd;
}

// Opens the package for reading and reports whether it is a regular file.
// Like the device's 32-bit open, a package of 2 GiB or more is refused with
// EOVERFLOW, so positions counted in 32 bits can never wrap.
int OpenPackage(const std::string& path, bool& regular) {
    int fd = OpenNonBlocking(path.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        CloseQuietly(fd);
        return -1;
    }
    regular = S_ISREG(info.st_mode);
    if (regular && static_cast<unsigned long long>(info.st_size) > kMaxPackageSize) {
        ::close(fd);
        errno = EOVERFLOW;
        return -1;
    }
    return fd;
}

// Reads count bytes at the current position, retrying interrupted reads and
// going on after partial ones. Returns the number of bytes read, which is
// below count only at the end of the file, or -1 when a read fails.
long ReadFully(int fd, unsigned char* buffer, unsigned int count) {
    unsigned int done = 0;
    while (done < count) {
        ssize_t got = ::read(fd, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<unsigned int>(got);
    }
    return static_cast<long>(done);
}

// The sequential reader of one pass. Reads never go past kMaxPackageSize, so
// position (the count of bytes read) stays a sound 32-bit value even if the
// file grows while it is read.
class PackageStream {
  public:
    explicit PackageStream(int descriptor) : fd(descriptor) {}
    ~PackageStream() { ::close(fd); }
    PackageStream(const PackageStream&) = delete;
    PackageStream& operator=(const PackageStream&) = delete;

    // True when exactly count bytes were read into buffer.
    bool Read(unsigned char* buffer, unsigned int count, unsigned int& got) {
        got = 0;
        unsigned int allowed = kMaxPackageSize - position;
        unsigned int ask = count < allowed ? count : allowed;
        long result = ReadFully(fd, buffer, ask);
        if (result < 0) {
            return false;
        }
        got = static_cast<unsigned int>(result);
        position += got;
        return got == count;
    }
    unsigned int Position() const { return position; }

  private:
    int fd;
    unsigned int position = 0;
};

}  // namespace

UpgradeFile::UpgradeFile(const std::string& path) : filePath(path) {}

UpgradeFile::~UpgradeFile() = default;

bool UpgradeFile::Fail(ReaderError kind, const std::string& text) {
    errorKind = kind;
    errorMessage = text;
    return false;
}

bool UpgradeFile::ParseFile() { return ParseFile(std::string()); }

bool UpgradeFile::ParseFile(const std::string& path) {
    using qx::upgrader::utils::LogToUpgradeLog;

    // Every pass starts afresh: the inner files, outer header and validity of
    // an earlier pass are dropped, so the sequences always describe the
    // package named by filePath and Valid() never outlives a failed pass.
    offsets.clear();
    innerFiles.clear();
    information = UpgradeFileInformation();
    rejected = InnerFileInformation();
    valid = false;
    errorKind = ReaderError::None;
    errorPosition = 0;

    if (path.empty() && filePath.empty()) {
        return Fail(ReaderError::NoFile, "No file specified");
    }
    if (!path.empty() && path != filePath) {
        filePath = path;
    }

    bool regular = false;
    int fd = OpenPackage(filePath, regular);
    if (fd < 0) {
        return Fail(ReaderError::OpenFailed, SystemError("Couldn't open file ", filePath, errno));
    }
    PackageStream package(fd);  // closes the package on every return

    unsigned char buffer[kBufferSize];
    unsigned int got = 0;
    // Only a regular file can be a package: a directory, FIFO or device node
    // is treated as a package whose header cannot be read.
    if (!regular || !package.Read(buffer, kHeaderSize, got)) {
        return Fail(ReaderError::HeaderUnreadable, "Unable to read header bytes");
    }
    if (!information.ParseHeader(buffer, got)) {
        // With the identity bytes right only the digest can have failed, and
        // the record then keeps its decoded fields.
        bool identityOk =
            std::equal(std::begin(layout::kOuterIdentity), std::end(layout::kOuterIdentity),
                       buffer + layout::kOuterIdentityOffset);
        return Fail(identityOk ? ReaderError::HeaderBadDigest : ReaderError::HeaderBadIdentity,
                    "Unable to parse header");
    }
    {
        std::ostringstream line;
        line << "Upgrade file size " << information.FileSize();
        LogToUpgradeLog(line.str());
    }

    unsigned int expectedEnd = kHeaderSize;
    for (;;) {
        InnerFile entry;
        md5_context context;
        md5_init(&context);

        unsigned int headerPosition = package.Position();
        errorPosition = headerPosition;
        if (!package.Read(buffer, kHeaderSize, got)) {
            return Fail(ReaderError::InnerHeaderUnreadable, "Unable to read inner file header");
        }
        // The digest covers the header before its identity is judged.
        md5_append(&context, buffer, static_cast<int>(layout::kHashOffset));
        if (!entry.ParseHeader(buffer, got)) {
            return Fail(ReaderError::InnerHeaderBadIdentity, "Unable to parse inner header");
        }

        // A size claim is only ever met by bytes actually read: nothing is
        // allocated for it, and a claim beyond the file ends in a short read.
        unsigned int remaining = entry.FileSize();
        while (remaining != 0) {
            unsigned int ask = remaining < kBufferSize ? remaining : kBufferSize;
            if (!package.Read(buffer, ask, got)) {
                rejected = entry;
                return Fail(ReaderError::InnerDataTruncated, "Unable to read bytes");
            }
            remaining -= got;
            md5_append(&context, buffer, static_cast<int>(got));
        }

        unsigned char digest[kMd5DigestSize];
        md5_finish(&context, digest);
        if (!entry.ValidateMD5Hash(digest, kMd5DigestSize)) {
            rejected = entry;
            return Fail(ReaderError::InnerDigestMismatch, "Header MD5 check failed");
        }
        offsets.push_back(headerPosition + kHeaderSize);
        innerFiles.push_back(std::move(entry));

        // The package ends when the data bytes accepted so far equal the
        // payload total. position is expectedEnd plus those data bytes, so
        // this is "position == expectedEnd + total" written without a sum
        // that could wrap. It is exact because position itself cannot wrap:
        // packages of 2 GiB or more are refused at open and reads stop there.
        expectedEnd += kHeaderSize;
        if (package.Position() - expectedEnd == information.FileSize()) {
            valid = true;
            return true;
        }
    }
}

bool UpgradeFile::ExtractFile(unsigned int index, const std::string& path) {
    if (index >= offsets.size()) {
        return Fail(ReaderError::InvalidIndex, "Invalid offset");
    }

    bool regular = false;
    int in = OpenPackage(filePath, regular);
    if (in < 0) {
        return Fail(ReaderError::PackageOpenFailed,
                    SystemError("Couldn't open upgrade file ", filePath, errno));
    }
    // A package replaced by something that is not a regular file since the
    // parse cannot be positioned in: report it as a failed seek, with the
    // error a seek on it would give (directories report themselves).
    if (!regular) {
        struct stat info;
        int error = (::fstat(in, &info) == 0 && S_ISDIR(info.st_mode)) ? EISDIR : ESPIPE;
        ::close(in);
        return Fail(ReaderError::SeekFailed,
                    SystemError("Unable to find internal file in ", filePath, error));
    }
    if (::lseek(in, static_cast<off_t>(offsets[index]), SEEK_SET) < 0) {
        Fail(ReaderError::SeekFailed,
             SystemError("Unable to find internal file in ", filePath, errno));
        CloseQuietly(in);
        return false;
    }

    int out = OpenNonBlocking(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (out < 0) {
        Fail(ReaderError::OutputOpenFailed,
             SystemError("Couldn't open extraction file ", path, errno));
        CloseQuietly(in);
        return false;
    }

    unsigned char buffer[kBufferSize];
    unsigned int remaining = innerFiles[index].FileSize();
    while (remaining != 0) {
        unsigned int ask = remaining < kBufferSize ? remaining : kBufferSize;
        ssize_t got;
        do {
            got = ::read(in, buffer, ask);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            Fail(ReaderError::InnerReadFailed, "Error reading internal file to extract");
            ::close(in);
            ::close(out);
            return false;
        }
        // Write everything read; a failed write (a full file system) ends the
        // extraction with false instead of claiming the bytes were copied.
        if (!qx::upgrader::utils::WriteAll(out, buffer, static_cast<std::size_t>(got))) {
            Fail(ReaderError::OutputWriteFailed,
                 SystemError("Error writing extraction file ", path, errno));
            CloseQuietly(in);
            CloseQuietly(out);
            return false;
        }
        remaining -= static_cast<unsigned int>(got);
    }

    ::close(in);
    // Some file systems only report a failed write when the file is closed.
    if (::close(out) != 0) {
        return Fail(ReaderError::OutputWriteFailed,
                    SystemError("Error writing extraction file ", path, errno));
    }
    return true;
}

}  // namespace upgradeFile
}  // namespace qx
