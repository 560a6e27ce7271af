#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "upgradeFile/InnerFileInformation.h"
#include "upgradeFile/Md5.h"
#include "upgradeFile/Signature.h"
#include "upgradeFile/UpgradeFileInformation.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace upgradeFile {

// What the latest ParseFile or ExtractFile of a reader failed on, beside the
// text of ErrorMessage(). Tools and tests tell failures apart by this kind;
// the text is what the upgrade log shows.
enum class ReaderError {
    None,
    NoFile,                  // "No file specified"
    OpenFailed,              // "Couldn't open file ..."
    HeaderUnreadable,        // "Unable to read header bytes"
    HeaderBadIdentity,       // "Unable to parse header": identity bytes differ
    HeaderBadDigest,         // "Unable to parse header": digest differs (fields decoded)
    InnerHeaderUnreadable,   // "Unable to read inner file header"
    InnerHeaderBadIdentity,  // "Unable to parse inner header"
    InnerDataTruncated,      // "Unable to read bytes"
    InnerDigestMismatch,     // "Header MD5 check failed"
    InvalidIndex,            // "Invalid offset"
    PackageOpenFailed,       // "Couldn't open upgrade file ..."
    SeekFailed,              // "Unable to find internal file in ..."
    OutputOpenFailed,        // "Couldn't open extraction file ..."
    InnerReadFailed,         // "Error reading internal file to extract"
    OutputWriteFailed,       // "Error writing extraction file ..."
    NotSigned,               // "Package is not signed"
    SignatureInvalid,        // "Package signature is not valid"
    UnknownSigner,           // "Package signed by an unknown key"
    ExtractedBytesChanged,   // "Extracted bytes of ... differ from the verified package"
};

// A copy of one inner file made during a verifying pass (host tools):
// select picks the inner file by its number and decoded header (the first
// it accepts is copied), out receives its data as the pass reads it, and
// path names out in messages.
struct PassCopy {
    std::function<bool(unsigned int, const InnerFile&)> select;
    int out = -1;
    std::string path;
};

// Reader of one upgrade package file.
//
// ParseFile opens the package once, reads it front to back, checks the
// outer header and every inner header and inner-file digest, and remembers
// where each inner file's data begins. The same descriptor stays open and
// serves every later ExtractFile, which copies the data of one inner file
// (numbered from 0) into a file of its own: a rename of the package's name
// after the parse cannot steer the reader to other bytes. Nor can a write
// through a descriptor someone else still holds on the package: each
// extraction hashes the bytes it copies and compares the result with what
// the parse recorded for that inner file (the SHA-256 of the package up to
// the file's end when a signature is required, its MD5 digest otherwise);
// on a difference the extraction fails and leaves nothing. Both return
// false on failure and leave the reason in ErrorMessage() and its kind in
// Error().
class UpgradeFile {
  public:
    // Size of the one buffer each operation reads through: the device's.
    static constexpr unsigned int kBufferSize = 1024;

    UpgradeFile() = default;
    explicit UpgradeFile(const std::string& path);
    ~UpgradeFile();
    UpgradeFile(UpgradeFile&&) = default;
    UpgradeFile& operator=(UpgradeFile&&) = default;

    // Verifies the package at path. A non-empty path replaces the stored
    // one first; an empty one keeps it. The package must be the run's own
    // (OpenOwnFileForReading: never a link, a file of the user the program
    // runs as, writable by no one else); anything else fails the
    // open. A second name is allowed: the package is only read, and what
    // is extracted from it is checked against what this pass verified.
    // Every pass starts afresh: the inner files and the descriptor of
    // an earlier pass are dropped and Valid() is false until this pass
    // succeeds.
    bool ParseFile(const std::string& path);
    bool ParseFile();

    // The same over a package the caller opened itself, as the host tools
    // do for any file a user names; path names it in messages. The reader
    // takes fd over. A negative fd fails the open with openError as reason.
    bool ParseFile(int fd, int openError, const std::string& path);

    // From now on ParseFile also hashes every byte it reads (SHA-256, in
    // the same pass as the digests) and accepts the package only when a
    // signature block by one of keys (possibly none) ends it exactly; the
    // failure's position is then the end of the last inner file. Until
    // this is called, nothing after the last inner file is read.
    void RequireSignature(std::vector<PublicKey> keys) {
        trustedKeys = std::move(keys);
        signatureRequired = true;
    }

    // Writes the data of inner file index to a new file at path. The bytes
    // go to a file created exclusively (mode 0700) under a fresh name in
    // path's directory, which gets mode 0755 once complete and is then
    // renamed over path: whatever stood there (a file, a link, a FIFO) is
    // replaced, never written through; a directory of the user the program
    // runs as fails the open, anyone else's is moved aside first (also when
    // planted again before the rename, a few times).
    // On any failure nothing is left and path is untouched. Accepts the
    // numbers of the inner files accepted by the latest ParseFile, even a
    // failed one.
    bool ExtractFile(unsigned int index, const std::string& path);

    // The same into a descriptor the caller opened (host tools decide how
    // their outputs are opened); path names it in messages. The reader
    // takes out over and closes it. A negative out fails the open with
    // openError as reason.
    bool ExtractFile(unsigned int index, int out, int openError, const std::string& path);

    // The next pass (only that one) also writes the data of the inner file
    // copy selects to copy.out as it reads and hashes it: the bytes written
    // are the very bytes the pass verifies, read once. The copy is whole
    // and verified only when that pass succeeds and CopiedIndex() is the
    // file wanted; otherwise the caller discards it. A failed write fails
    // the pass with OutputWriteFailed, but only once the package itself
    // verified (its own failure comes first). The caller keeps copy.out.
    void CopyDuringParse(PassCopy copy) { pendingCopy = std::move(copy); }
    // The number of the inner file the latest pass copied, or -1.
    int CopiedIndex() const { return copiedIndex; }

    // Reads and copies through a buffer of bytes (at least kBufferSize)
    // from now on: host tools read in large blocks, the device keeps 1 KiB.
    void SetBufferSize(unsigned int bytes) {
        bufferSize = bytes > kBufferSize ? bytes : kBufferSize;
    }

    // Closes the package (the file system holding it can then be
    // unmounted); later extractions fail as the package cannot be read.
    void ClosePackage() { package = qx::upgrader::utils::Descriptor(); }

    bool Valid() const { return valid; }
    const std::string& ErrorMessage() const { return errorMessage; }
    ReaderError Error() const { return errorKind; }
    // Position in the package of the header the latest ParseFile rejected
    // (0 for the outer header); meaningful for the Header* and Inner* kinds.
    unsigned int ErrorPosition() const { return errorPosition; }
    // The inner header the latest ParseFile rejected after decoding it
    // (InnerDataTruncated, InnerDigestMismatch); empty otherwise.
    const InnerFileInformation& RejectedInnerFile() const { return rejected; }

    // Reads up to size of the bytes that follow the last inner file of a
    // pass that reached it (where a signature block stands), through the
    // descriptor the pass read. The count read, or -1.
    long ReadAfterInnerFiles(unsigned char* buffer, std::size_t size) const;

    // Read-only views for tools and tests.
    const std::string& FilePath() const { return filePath; }
    const UpgradeFileInformation& Information() const { return information; }
    // Position of the first data byte of each accepted inner file.
    const std::vector<unsigned int>& Offsets() const { return offsets; }
    // Decoded header of each accepted inner file; same length as Offsets().
    const std::vector<InnerFile>& InnerFiles() const { return innerFiles; }

  private:
    // What an extraction checks the bytes it copies against, recorded as
    // the parse read the inner file: the MD5 context after the header's
    // digested part (the header holds the digest to reach) and, when a
    // signature is required, the package's SHA-256 state before the data
    // and the digest of the package up to the data's end.
    struct DataCheck {
        md5_context md5{};
        std::optional<PackageHash> before;
        PackageDigest after{};
    };

    bool Fail(ReaderError kind, const std::string& text);
    // Drops what an earlier pass found and takes fd as the package.
    void Restart(int fd);
    bool Parse(int fd, int openError);
    bool Seek(unsigned int index);
    // Copies the data of inner file index to out and checks it against
    // what the parse recorded.
    bool CopyChecked(unsigned int index, int out, const std::string& path, ReaderError& kind,
                     std::string& text) const;
    bool CopyInto(unsigned int index, qx::upgrader::utils::Descriptor& out, const std::string& path,
                  mode_t complete);
    // Ends a pass that reached the last inner file (fd read up to end):
    // checks the signature when one is required.
    bool Accept(int fd, unsigned int end, std::optional<PackageHash>& hash, int writeError,
                const std::string& copyPath);

    std::string filePath;
    qx::upgrader::utils::Descriptor package;
    UpgradeFileInformation information;
    std::vector<unsigned int> offsets;
    std::vector<InnerFile> innerFiles;
    std::vector<DataCheck> checks;
    bool valid = false;
    std::string errorMessage;
    ReaderError errorKind = ReaderError::None;
    unsigned int errorPosition = 0;
    InnerFileInformation rejected;
    std::vector<PublicKey> trustedKeys;
    bool signatureRequired = false;
    unsigned int bufferSize = kBufferSize;
    PassCopy pendingCopy;
    int copiedIndex = -1;
};

}  // namespace upgradeFile
}  // namespace qx
