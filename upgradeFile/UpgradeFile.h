#pragma once

#include <optional>
#include <string>
#include <vector>

#include "upgradeFile/InnerFileInformation.h"
#include "upgradeFile/Signature.h"
#include "upgradeFile/UpgradeFileInformation.h"

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
};

// Reader of one upgrade package file.
//
// ParseFile reads the package once, front to back, checks the outer header
// and every inner header and inner-file digest, and remembers where each
// inner file's data begins. ExtractFile later copies the data of one inner
// file (numbered from 0) into a file of its own, reopening the package each
// time. Both return false on failure and leave the reason in ErrorMessage()
// and its kind in Error(). The package is never held open between calls.
class UpgradeFile {
  public:
    // Size of the one buffer each operation reads through.
    static constexpr unsigned int kBufferSize = 1024;

    UpgradeFile() = default;
    explicit UpgradeFile(const std::string& path);
    ~UpgradeFile();

    // Verifies the package. A non-empty path replaces the stored one first;
    // an empty one keeps it. Every pass starts afresh: the inner files of an
    // earlier pass are forgotten and Valid() is false until this pass
    // succeeds.
    bool ParseFile(const std::string& path);
    bool ParseFile();

    // From now on ParseFile also hashes every byte it reads (SHA-256, in
    // the same pass as the digests) and accepts the package only when a
    // signature block by one of keys (possibly none) ends it exactly; the
    // failure's position is then the end of the last inner file. Until
    // this is called, nothing after the last inner file is read.
    void RequireSignature(std::vector<PublicKey> keys) {
        trustedKeys = std::move(keys);
        signatureRequired = true;
    }

    // How ExtractFile treats what already stands at its output path.
    enum class Output {
        // The device's way, for outputs in directories everyone can write:
        // whatever stands there (a file, a link, a FIFO) is removed by its
        // name and a new file is created exclusively, never through a link,
        // with mode 0755 less the umask. A directory there, or anything
        // placed there again in between, fails the open.
        Fresh,
        // A command-line tool's way: a link is followed, an existing file is
        // truncated and keeps its mode, a missing one is created exclusively
        // with mode 0755 less the umask (a dangling link is refused).
        Existing,
    };

    // Writes the data of inner file index to path. True means the file now
    // holds exactly the inner file's bytes. When a write fails, the partial
    // output is removed if path names it directly (not through a link).
    // Accepts the numbers of the inner files accepted by the latest
    // ParseFile, even a failed one.
    bool ExtractFile(unsigned int index, const std::string& path, Output output = Output::Fresh);

    bool Valid() const { return valid; }
    const std::string& ErrorMessage() const { return errorMessage; }
    ReaderError Error() const { return errorKind; }
    // Position in the package of the header the latest ParseFile rejected
    // (0 for the outer header); meaningful for the Header* and Inner* kinds.
    unsigned int ErrorPosition() const { return errorPosition; }
    // The inner header the latest ParseFile rejected after decoding it
    // (InnerDataTruncated, InnerDigestMismatch); empty otherwise.
    const InnerFileInformation& RejectedInnerFile() const { return rejected; }

    // Read-only views for tools and tests.
    const std::string& FilePath() const { return filePath; }
    const UpgradeFileInformation& Information() const { return information; }
    // Position of the first data byte of each accepted inner file.
    const std::vector<unsigned int>& Offsets() const { return offsets; }
    // Decoded header of each accepted inner file; same length as Offsets().
    const std::vector<InnerFile>& InnerFiles() const { return innerFiles; }

  private:
    bool Fail(ReaderError kind, const std::string& text);
    // Ends a pass that reached the last inner file: checks the signature
    // when keys are required.
    // fd is the package, read up to end.
    bool Accept(int fd, unsigned int end, std::optional<PackageHash>& hash);

    std::string filePath;
    UpgradeFileInformation information;
    std::vector<unsigned int> offsets;
    std::vector<InnerFile> innerFiles;
    bool valid = false;
    std::string errorMessage;
    ReaderError errorKind = ReaderError::None;
    unsigned int errorPosition = 0;
    InnerFileInformation rejected;
    std::vector<PublicKey> trustedKeys;
    bool signatureRequired = false;
};

}  // namespace upgradeFile
}  // namespace qx
