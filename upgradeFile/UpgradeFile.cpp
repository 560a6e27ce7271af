#include "upgradeFile/UpgradeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
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

// Readies the package open at fd for a pass: blocking mode, and whether it
// is a regular file. Like the device's 32-bit open, a package of 2 GiB or
// more is refused with EOVERFLOW, so positions counted in 32 bits can never
// wrap. False with errno set.
bool ReadyPackage(int fd, bool& regular) {
    struct stat info;
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0 || ::fstat(fd, &info) != 0) {
        return false;
    }
    regular = S_ISREG(info.st_mode);
    if (regular && static_cast<unsigned long long>(info.st_size) > kMaxPackageSize) {
        errno = EOVERFLOW;
        return false;
    }
    return true;
}

// The one buffer an operation reads through: on the stack at the device's
// size, from the heap when a host tool asks for larger blocks.
struct PassBuffer {
    explicit PassBuffer(unsigned int bytes)
        : large(bytes > UpgradeFile::kBufferSize ? new unsigned char[bytes] : nullptr),
          data(large ? large.get() : local),
          size(large ? bytes : UpgradeFile::kBufferSize) {}
    PassBuffer(const PassBuffer&) = delete;
    PassBuffer& operator=(const PassBuffer&) = delete;

    unsigned char local[UpgradeFile::kBufferSize];
    std::unique_ptr<unsigned char[]> large;
    unsigned char* data;
    unsigned int size;
};

// The sequential reader of one pass. Reads never go past kMaxPackageSize, so
// position (the count of bytes read) stays a sound 32-bit value even if the
// file grows while it is read.
struct PackageStream {
    int file;
    unsigned int position = 0;
    // Set when the pass checks a signature: every byte read goes to it.
    PackageHash* hash = nullptr;

    // True when exactly count bytes were read into buffer.
    bool Read(unsigned char* buffer, unsigned int count, unsigned int& got) {
        got = 0;
        unsigned int allowed = kMaxPackageSize - position;
        unsigned int ask = count < allowed ? count : allowed;
        long result = qx::upgrader::utils::ReadFully(file, buffer, ask);
        if (result < 0) {
            return false;
        }
        got = static_cast<unsigned int>(result);
        position += got;
        if (hash != nullptr) {
            hash->Append(buffer, got);
        }
        return got == count;
    }
};

// Reads and decodes the outer header. Only a regular file can be a package:
// a directory, FIFO or device node is treated as a package whose header
// cannot be read.
ReaderError ReadOuterHeader(PackageStream& package, bool regular, unsigned char* buffer,
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

// Where a pass writes the inner file it copies (PassCopy): the first one
// the copy selects. A failed write is kept (its errno) and the pass reads on,
// so the package's own verdict still comes first.
struct PassSink {
    const PassCopy* copy = nullptr;
    int taken = -1;
    int error = 0;

    // True when inner file index, just decoded, is the one copied.
    bool Takes(unsigned int index, const InnerFile& entry) {
        if (copy == nullptr || taken >= 0 || !copy->select(index, entry)) {
            return false;
        }
        taken = static_cast<int>(index);
        return true;
    }
    void Write(const unsigned char* data, unsigned int count) {
        if (error == 0 && !qx::upgrader::utils::WriteAll(copy->out, data, count)) {
            error = errno != 0 ? errno : EIO;
        }
    }
};

// Reads inner file index, header and data, from the package's position and
// checks its digest; the data goes to sink too when it takes the file.
// None on success; otherwise what failed, with entry holding the decoded
// header when it got that far.
template <typename Check>
ReaderError ReadInnerFile(PackageStream& package, PassBuffer& pass, InnerFile& entry, Check& check,
                          PassSink& sink, unsigned int index) {
    unsigned char* const buffer = pass.data;
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
    // Where an extraction of this file starts its own hashing.
    check.md5 = context;
    if (package.hash != nullptr) {
        check.before = *package.hash;
    }
    const bool copying = sink.Takes(index, entry);
    // A size claim is only ever met by bytes actually read: nothing is
    // allocated for it, and a claim beyond the file ends in a short read.
    unsigned int remaining = entry.FileSize();
    while (remaining != 0) {
        unsigned int ask = remaining < pass.size ? remaining : pass.size;
        if (!package.Read(buffer, ask, got)) {
            return ReaderError::InnerDataTruncated;
        }
        remaining -= got;
        md5_append(&context, buffer, static_cast<int>(got));
        if (copying) {
            sink.Write(buffer, got);
        }
    }
    if (package.hash != nullptr) {
        PackageHash upToHere = *package.hash;
        check.after = upToHere.Finish();
    }
    unsigned char digest[kMd5DigestSize];
    md5_finish(&context, digest);
    return entry.ValidateMD5Hash(digest, kMd5DigestSize) ? ReaderError::None
                                                         : ReaderError::InnerDigestMismatch;
}

// Judges what follows the last inner file against keys; the hash holds
// every byte before it. None when a key's signature ends the package.
ReaderError CheckPackageSignature(int fd, PackageHash& hash, const std::vector<PublicKey>& keys,
                                  const char*& text) {
    const PackageDigest digest = hash.Finish();
    // One byte more than a block tells a block with bytes after it. A
    // signature that cannot be read is not valid.
    unsigned char tail[kSignatureBlockSize + 1];
    const long got = qx::upgrader::utils::ReadFully(fd, tail, sizeof tail);
    const SignatureVerdict verdict =
        got < 0 ? SignatureVerdict::Invalid
                : CheckSignature(digest, tail, static_cast<std::size_t>(got), keys);
    text = VerdictText(verdict);
    switch (verdict) {
        case SignatureVerdict::Valid:
            return ReaderError::None;
        case SignatureVerdict::NotSigned:
            return ReaderError::NotSigned;
        case SignatureVerdict::UnknownKey:
            return ReaderError::UnknownSigner;
        default:
            return ReaderError::SignatureInvalid;
    }
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

// Copies size bytes from in to out, each read handed to hash first; false
// with the failure's kind and text.
template <typename Hash>
bool CopyBytes(int in, int out, unsigned int size, const std::string& path, PassBuffer& pass,
               Hash const& hash, ReaderError& kind, std::string& text) {
    unsigned char* const buffer = pass.data;
    unsigned int remaining = size;
    while (remaining != 0) {
        unsigned int ask = remaining < pass.size ? remaining : pass.size;
        const long got = qx::upgrader::utils::ReadFully(in, buffer, ask);
        if (got <= 0) {
            kind = ReaderError::InnerReadFailed;
            text = "Error reading internal file to extract";
            return false;
        }
        hash(buffer, static_cast<unsigned int>(got));
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

// False when path is a directory of the user the program runs as; another
// user's directory there is moved aside (MoveDirectoryAside), so no one
// else can keep an extraction from its name.
bool ClearDirectoryAt(const std::string& path) {
    struct stat standing;
    if (::lstat(path.c_str(), &standing) != 0 || !S_ISDIR(standing.st_mode)) {
        return true;
    }
    return standing.st_uid != ::geteuid() && qx::upgrader::utils::MoveDirectoryAside(path);
}

// Renames the complete scratch file over path. A directory planted at path
// again since the check is moved aside too, a few times; errno is set when
// the name could not be taken.
bool RenameOver(const std::string& scratch, const std::string& path) {
    constexpr int kAttempts = 8;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (std::rename(scratch.c_str(), path.c_str()) == 0) {
            return true;
        }
        const int error = errno;
        if ((error != EISDIR && error != ENOTEMPTY && error != EEXIST) || !ClearDirectoryAt(path)) {
            errno = error;
            return false;
        }
    }
    errno = EISDIR;
    return false;
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
    if (path.empty() && filePath.empty()) {
        package = Descriptor();
        return Parse(-1, 0);
    }
    if (!path.empty() && path != filePath) {
        filePath = path;
    }
    const int fd = qx::upgrader::utils::OpenOwnFileForReading(filePath.c_str(), false);
    return Parse(fd, errno);
}

bool UpgradeFile::ParseFile(int fd, int openError, const std::string& path) {
    filePath = path;
    return Parse(fd, openError);
}

void UpgradeFile::Restart(int fd) {
    // Every pass starts afresh, so the sequences always describe the package
    // open now and Valid() never outlives a failed pass.
    package = Descriptor(fd);
    offsets.clear();
    innerFiles.clear();
    checks.clear();
    information = UpgradeFileInformation();
    rejected = InnerFileInformation();
    valid = false;
    errorKind = ReaderError::None;
    errorMessage.clear();
    errorPosition = 0;
    copiedIndex = -1;
}

bool UpgradeFile::Parse(int fd, int openError) {
    // A copy asked for serves this pass only.
    const PassCopy copy = std::move(pendingCopy);
    pendingCopy = PassCopy();
    PassSink sink{copy.select ? &copy : nullptr};
    Restart(fd);
    if (filePath.empty()) {
        return Fail(ReaderError::NoFile, "No file specified");
    }
    bool regular = false;
    if (!package.Valid() || !ReadyPackage(package.Get(), regular)) {
        const int error = package.Valid() ? errno : openError;
        package = Descriptor();
        return Fail(ReaderError::OpenFailed, SystemError("Couldn't open file ", filePath, error));
    }
    PackageStream stream{package.Get()};
    std::optional<PackageHash> hash;
    stream.hash = signatureRequired ? &hash.emplace() : nullptr;
    PassBuffer buffer(bufferSize);
    const ReaderError outer = ReadOuterHeader(stream, regular, buffer.data, information);
    if (outer != ReaderError::None) {
        return Fail(outer, ParseErrorText(outer));
    }
    std::ostringstream sizeLine;
    sizeLine << "Upgrade file size " << information.FileSize();
    qx::upgrader::utils::LogToUpgradeLog(sizeLine.str());

    unsigned int expectedEnd = kHeaderSize;
    for (;;) {
        InnerFile entry;
        DataCheck check;
        errorPosition = stream.position;
        const ReaderError failure = ReadInnerFile(stream, buffer, entry, check, sink,
                                                  static_cast<unsigned int>(offsets.size()));
        copiedIndex = sink.taken;
        if (failure != ReaderError::None) {
            if (failure == ReaderError::InnerDataTruncated ||
                failure == ReaderError::InnerDigestMismatch) {
                rejected = entry;
            }
            return Fail(failure, ParseErrorText(failure));
        }
        offsets.push_back(errorPosition + kHeaderSize);
        innerFiles.push_back(std::move(entry));
        checks.push_back(check);

        // The package ends when the data bytes accepted so far (position
        // less expectedEnd, never wrapping: 2 GiB or more is refused at
        // open and reads stop there) equal the payload total.
        expectedEnd += kHeaderSize;
        if (stream.position - expectedEnd == information.FileSize()) {
            return Accept(stream.file, stream.position, hash, sink.error, copy.path);
        }
    }
}

bool UpgradeFile::Accept(int fd, unsigned int end, std::optional<PackageHash>& hash, int writeError,
                         const std::string& copyPath) {
    if (hash) {
        const char* text = nullptr;
        const ReaderError failure = CheckPackageSignature(fd, *hash, trustedKeys, text);
        if (failure != ReaderError::None) {
            errorPosition = end;
            return Fail(failure, text);
        }
    }
    if (writeError != 0) {
        return Fail(ReaderError::OutputWriteFailed,
                    SystemError("Error writing extraction file ", copyPath, writeError));
    }
    valid = true;
    return true;
}

long UpgradeFile::ReadAfterInnerFiles(unsigned char* buffer, std::size_t size) const {
    if (!package.Valid() || offsets.empty()) {
        return -1;
    }
    const off_t end = static_cast<off_t>(offsets.back()) + innerFiles.back().FileSize();
    return qx::upgrader::utils::Retrying(
        [&] { return static_cast<long>(::pread(package.Get(), buffer, size, end)); });
}

bool UpgradeFile::Seek(unsigned int index) {
    if (index >= offsets.size()) {
        return Fail(ReaderError::InvalidIndex, "Invalid offset");
    }
    if (!package.Valid()) {
        return Fail(ReaderError::PackageOpenFailed,
                    SystemError("Couldn't open upgrade file ", filePath, EBADF));
    }
    if (::lseek(package.Get(), static_cast<off_t>(offsets[index]), SEEK_SET) < 0) {
        return Fail(ReaderError::SeekFailed,
                    SystemError("Unable to find internal file in ", filePath, errno));
    }
    return true;
}

bool UpgradeFile::ExtractFile(unsigned int index, int out, int openError, const std::string& path) {
    Descriptor output(out);
    if (!Seek(index)) {
        return false;
    }
    if (!output.Valid()) {
        return Fail(ReaderError::OutputOpenFailed,
                    SystemError("Couldn't open extraction file ", path, openError));
    }
    return CopyInto(index, output, path, 0);
}

bool UpgradeFile::CopyChecked(unsigned int index, int out, const std::string& path,
                              ReaderError& kind, std::string& text) const {
    DataCheck check = checks[index];
    const unsigned int size = innerFiles[index].FileSize();
    PassBuffer buffer(bufferSize);
    bool same = false;
    if (check.before) {
        PackageHash& hash = *check.before;
        if (!CopyBytes(
                package.Get(), out, size, path, buffer,
                [&hash](const unsigned char* data, unsigned int got) { hash.Append(data, got); },
                kind, text)) {
            return false;
        }
        same = hash.Finish() == check.after;
    } else {
        md5_context& md5 = check.md5;
        if (!CopyBytes(
                package.Get(), out, size, path, buffer,
                [&md5](const unsigned char* data, unsigned int got) {
                    md5_append(&md5, data, static_cast<int>(got));
                },
                kind, text)) {
            return false;
        }
        unsigned char digest[kMd5DigestSize];
        md5_finish(&md5, digest);
        same = innerFiles[index].ValidateMD5Hash(digest, kMd5DigestSize);
    }
    if (!same) {
        kind = ReaderError::ExtractedBytesChanged;
        text = "Extracted bytes of " + path + " differ from the verified package";
    }
    return same;
}

bool UpgradeFile::CopyInto(unsigned int index, Descriptor& out, const std::string& path,
                           mode_t complete) {
    ReaderError kind = ReaderError::None;
    std::string text;
    bool copied = CopyChecked(index, out.Get(), path, kind, text);
    // Only a complete file gets its final mode (runnable, for the validator).
    if (copied && complete != 0 && ::fchmod(out.Get(), complete) != 0) {
        copied = false;
        kind = ReaderError::OutputWriteFailed;
        text = SystemError("Error writing extraction file ", path, errno);
    }
    // Some file systems only report a failed write when the file is closed.
    if (!out.Close() && copied) {
        copied = false;
        kind = ReaderError::OutputWriteFailed;
        text = SystemError("Error writing extraction file ", path, errno);
    }
    return copied || Fail(kind, text);
}

bool UpgradeFile::ExtractFile(unsigned int index, const std::string& path) {
    if (!Seek(index)) {
        return false;
    }
    // The caller's own directory at path is reported before anything is
    // written; anyone else's is moved out of the way.
    if (!ClearDirectoryAt(path)) {
        return Fail(ReaderError::OutputOpenFailed,
                    SystemError("Couldn't open extraction file ", path, EISDIR));
    }
    std::string scratch;
    Descriptor out(qx::upgrader::utils::CreateScratchBeside(path, 0, 0700, scratch));
    struct stat created;
    if (!out.Valid() || ::fstat(out.Get(), &created) != 0) {
        const int error = errno;
        if (out.Valid()) {
            // Just created under a fresh name in a sticky directory: only
            // its owner can have moved it since.
            ::unlink(scratch.c_str());
        }
        return Fail(ReaderError::OutputOpenFailed,
                    SystemError("Couldn't open extraction file ", path, error));
    }
    // Only a complete file becomes runnable and takes the name.
    if (CopyInto(index, out, path, 0755)) {
        if (RenameOver(scratch, path)) {
            return true;
        }
        Fail(ReaderError::OutputOpenFailed,
             SystemError("Couldn't open extraction file ", path, errno));
    }
    qx::upgrader::utils::RemoveWrittenFile(scratch.c_str(), created);
    return false;
}

}  // namespace upgradeFile
}  // namespace qx
