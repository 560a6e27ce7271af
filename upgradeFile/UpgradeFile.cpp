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
using qx::upgrader::utils::Descriptor;

std::string SystemError(const char* phrase, const std::string& path, int error) {
    return std::string(phrase) + path + ": error: " + qx::upgrader::utils::ErrnoText(error);
}

// Opens path with the given flags without ever blocking in open itself:
// opening a FIFO (read side without a writer, write side without a reader)
// would otherwise wait forever. Once open, descriptors go back to blocking
// mode so that reads and writes behave as for any file. Returns -1 with
// errno set on failure.
int OpenNonBlocking(const char* path, int flags, mode_t mode) {
    Descriptor file(qx::upgrader::utils::OpenFile(path, flags | O_NONBLOCK, mode));
    if (!file.Valid()) {
        return -1;
    }
    int status = ::fcntl(file.Get(), F_GETFL);
    if (status < 0 || ::fcntl(file.Get(), F_SETFL, status & ~O_NONBLOCK) < 0) {
        return -1;
    }
    return file.Release();
}

// A command-line tool's output: an existing file, through a link too, is
// truncated and keeps its mode; a name that leads nowhere gets a new file
// created exclusively (a dangling link is refused, not followed).
int OpenToolOutput(const char* path) {
    const int fd = OpenNonBlocking(path, O_WRONLY | O_TRUNC, 0);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    return OpenNonBlocking(path, O_WRONLY | O_CREAT | O_EXCL, 0755);
}

// Opens the package for reading and reports whether it is a regular file.
// Like the device's 32-bit open, a package of 2 GiB or more is refused with
// EOVERFLOW, so positions counted in 32 bits can never wrap.
int OpenPackage(const std::string& path, bool& regular) {
    Descriptor file(OpenNonBlocking(path.c_str(), O_RDONLY, 0));
    struct stat info;
    if (!file.Valid() || ::fstat(file.Get(), &info) != 0) {
        return -1;
    }
    regular = S_ISREG(info.st_mode);
    if (regular && static_cast<unsigned long long>(info.st_size) > kMaxPackageSize) {
        errno = EOVERFLOW;
        return -1;
    }
    return file.Release();
}

// The sequential reader of one pass. Reads never go past kMaxPackageSize, so
// position (the count of bytes read) stays a sound 32-bit value even if the
// file grows while it is read.
struct PackageStream {
    Descriptor file;
    unsigned int position = 0;

    // True when exactly count bytes were read into buffer.
    bool Read(unsigned char* buffer, unsigned int count, unsigned int& got) {
        got = 0;
        unsigned int allowed = kMaxPackageSize - position;
        unsigned int ask = count < allowed ? count : allowed;
        long result = qx::upgrader::utils::ReadFully(file.Get(), buffer, ask);
        if (result < 0) {
            return false;
        }
        got = static_cast<unsigned int>(result);
        position += got;
        return got == count;
    }
};

// Reads and decodes the outer header. Only a regular file can be a package:
// a directory, FIFO or device node is treated as a package whose header
// cannot be read.
ReaderError ReadOuterHeader(PackageStream& package, bool regular,
                            unsigned char (&buffer)[UpgradeFile::kBufferSize],
                            UpgradeFileInformation& information) {
    unsigned int got = 0;
    if (!regular || !package.Read(buffer, kHeaderSize, got)) {
        return ReaderError::HeaderUnreadable;
    }
    if (information.ParseHeader(buffer, got)) {
        return ReaderError::None;
    }
    // With the identity bytes right only the digest can have failed, and
    // the record then keeps its decoded fields.
    const bool identityOk =
        std::equal(std::begin(layout::kOuterIdentity), std::end(layout::kOuterIdentity),
                   buffer + layout::kOuterIdentityOffset);
    return identityOk ? ReaderError::HeaderBadDigest : ReaderError::HeaderBadIdentity;
}

// Reads one inner file, header and data, from the package's position and
// checks its digest. None on success; otherwise what failed, with entry
// holding the decoded header when it got that far.
ReaderError ReadInnerFile(PackageStream& package, unsigned char (&buffer)[UpgradeFile::kBufferSize],
                          InnerFile& entry) {
    md5_context context;
    md5_init(&context);
    unsigned int got = 0;
    if (!package.Read(buffer, kHeaderSize, got)) {
        return ReaderError::InnerHeaderUnreadable;
    }
    // The digest covers the header before its identity is judged.
    md5_append(&context, buffer, static_cast<int>(layout::kHashOffset));
    if (!entry.ParseHeader(buffer, got)) {
        return ReaderError::InnerHeaderBadIdentity;
    }
    // A size claim is only ever met by bytes actually read: nothing is
    // allocated for it, and a claim beyond the file ends in a short read.
    unsigned int remaining = entry.FileSize();
    while (remaining != 0) {
        unsigned int ask =
            remaining < UpgradeFile::kBufferSize ? remaining : UpgradeFile::kBufferSize;
        if (!package.Read(buffer, ask, got)) {
            return ReaderError::InnerDataTruncated;
        }
        remaining -= got;
        md5_append(&context, buffer, static_cast<int>(got));
    }
    unsigned char digest[kMd5DigestSize];
    md5_finish(&context, digest);
    return entry.ValidateMD5Hash(digest, kMd5DigestSize) ? ReaderError::None
                                                         : ReaderError::InnerDigestMismatch;
}

// The message of a failed parse step.
const char* ParseErrorText(ReaderError kind) {
    switch (kind) {
        case ReaderError::HeaderUnreadable:
            return "Unable to read header bytes";
        case ReaderError::HeaderBadIdentity:
        case ReaderError::HeaderBadDigest:
            return "Unable to parse header";
        case ReaderError::InnerHeaderUnreadable:
            return "Unable to read inner file header";
        case ReaderError::InnerHeaderBadIdentity:
            return "Unable to parse inner header";
        case ReaderError::InnerDataTruncated:
            return "Unable to read bytes";
        default:
            return "Header MD5 check failed";
    }
}

// Opens the package and positions it at offset; false with the failure's
// kind and text.
bool OpenPackageAt(const std::string& path, unsigned int offset, Descriptor& in, ReaderError& kind,
                   std::string& text) {
    bool regular = false;
    in = Descriptor(OpenPackage(path, regular));
    if (!in.Valid()) {
        kind = ReaderError::PackageOpenFailed;
        text = SystemError("Couldn't open upgrade file ", path, errno);
        return false;
    }
    kind = ReaderError::SeekFailed;
    // A package replaced by something that is not a regular file since the
    // parse cannot be positioned in: report it as a failed seek, with the
    // error a seek on it would give (directories report themselves).
    if (!regular) {
        struct stat info;
        int error = (::fstat(in.Get(), &info) == 0 && S_ISDIR(info.st_mode)) ? EISDIR : ESPIPE;
        text = SystemError("Unable to find internal file in ", path, error);
        return false;
    }
    if (::lseek(in.Get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
        text = SystemError("Unable to find internal file in ", path, errno);
        return false;
    }
    return true;
}

// Copies size bytes from in to out; false with the failure's kind and text.
bool CopyBytes(int in, int out, unsigned int size, const std::string& path, ReaderError& kind,
               std::string& text) {
    unsigned char buffer[UpgradeFile::kBufferSize];
    unsigned int remaining = size;
    while (remaining != 0) {
        unsigned int ask =
            remaining < UpgradeFile::kBufferSize ? remaining : UpgradeFile::kBufferSize;
        const long got = qx::upgrader::utils::ReadFully(in, buffer, ask);
        if (got <= 0) {
            kind = ReaderError::InnerReadFailed;
            text = "Error reading internal file to extract";
            return false;
        }
        // Write everything read; a failed write (a full file system) ends the
        // extraction with false instead of claiming the bytes were copied.
        if (!qx::upgrader::utils::WriteAll(out, buffer, static_cast<std::size_t>(got))) {
            kind = ReaderError::OutputWriteFailed;
            text = SystemError("Error writing extraction file ", path, errno);
            return false;
        }
        remaining -= static_cast<unsigned int>(got);
    }
    return true;
}

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
    // Every pass starts afresh, so the sequences always describe the package
    // named by filePath and Valid() never outlives a failed pass.
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
    PackageStream package{Descriptor(OpenPackage(filePath, regular))};
    if (!package.file.Valid()) {
        return Fail(ReaderError::OpenFailed, SystemError("Couldn't open file ", filePath, errno));
    }

    unsigned char buffer[kBufferSize];
    const ReaderError outer = ReadOuterHeader(package, regular, buffer, information);
    if (outer != ReaderError::None) {
        return Fail(outer, ParseErrorText(outer));
    }
    std::ostringstream sizeLine;
    sizeLine << "Upgrade file size " << information.FileSize();
    qx::upgrader::utils::LogToUpgradeLog(sizeLine.str());

    unsigned int expectedEnd = kHeaderSize;
    for (;;) {
        InnerFile entry;
        errorPosition = package.position;
        const ReaderError failure = ReadInnerFile(package, buffer, entry);
        if (failure != ReaderError::None) {
            if (failure == ReaderError::InnerDataTruncated ||
                failure == ReaderError::InnerDigestMismatch) {
                rejected = entry;
            }
            return Fail(failure, ParseErrorText(failure));
        }
        offsets.push_back(errorPosition + kHeaderSize);
        innerFiles.push_back(std::move(entry));

        // The package ends when the data bytes accepted so far (position
        // less expectedEnd) equal the payload total; written without a sum
        // that could wrap. Exact, as position cannot wrap: packages of 2 GiB
        // or more are refused at open and reads stop there.
        expectedEnd += kHeaderSize;
        if (package.position - expectedEnd == information.FileSize()) {
            valid = true;
            return true;
        }
    }
}

bool UpgradeFile::ExtractFile(unsigned int index, const std::string& path, Output output) {
    if (index >= offsets.size()) {
        return Fail(ReaderError::InvalidIndex, "Invalid offset");
    }
    ReaderError kind = ReaderError::None;
    std::string text;
    Descriptor in;
    if (!OpenPackageAt(filePath, offsets[index], in, kind, text)) {
        return Fail(kind, text);
    }
    Descriptor out(output == Output::Fresh
                       ? qx::upgrader::utils::CreateFreshFile(path.c_str(), 0, 0755)
                       : OpenToolOutput(path.c_str()));
    if (!out.Valid()) {
        return Fail(ReaderError::OutputOpenFailed,
                    SystemError("Couldn't open extraction file ", path, errno));
    }
    // A failed read or write leaves no partial output behind: it could pass
    // for the whole file, and on a full flash it would keep the room that
    // the upgrade log needs on its way back.
    struct stat written;
    const bool removable = ::fstat(out.Get(), &written) == 0;
    bool copied = CopyBytes(in.Get(), out.Get(), innerFiles[index].FileSize(), path, kind, text);
    // Some file systems only report a failed write when the file is closed.
    if (!out.Close() && copied) {
        copied = false;
        kind = ReaderError::OutputWriteFailed;
        text = SystemError("Error writing extraction file ", path, errno);
    }
    if (copied) {
        return true;
    }
    if (removable) {
        qx::upgrader::utils::RemoveWrittenFile(path.c_str(), written);
    }
    return Fail(kind, text);
}

}  // namespace upgradeFile
}  // namespace qx
