#pragma once

#include <string>
#include <vector>

#include "upgradeFile/InnerFileInformation.h"
#include "upgradeFile/UpgradeFileInformation.h"

namespace qx {
namespace upgradeFile {

// Reader of one upgrade package file.
//
// ParseFile reads the package once, front to back, checks the outer header
// and every inner header and inner-file digest, and remembers where each
// inner file's data begins. ExtractFile later copies the data of one inner
// file (numbered from 0) into a file of its own, reopening the package each
// time. Both return false on failure and leave the reason in ErrorMessage().
// The package is never held open between calls.
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

    // How ExtractFile treats what already stands at its output path.
    enum class Output {
        // The device's way, for outputs in directories everyone can write:
        // whatever stands there (a file, a link, a FIFO) is removed by its
        // name and a new file is created exclusively, never through a link,
        // with mode 0755 less the umask. A directory there, or anything
        // placed there again in between, fails the open.
        Fresh,
        // A command-line tool's way: a link is followed, an existing file is
        // truncated and keeps its mode, a missing one is created with mode
        // 0755 less the umask.
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

    // Read-only views for tools and tests.
    const std::string& FilePath() const { return filePath; }
    const UpgradeFileInformation& Information() const { return information; }
    // Position of the first data byte of each accepted inner file.
    const std::vector<unsigned int>& Offsets() const { return offsets; }
    // Decoded header of each accepted inner file; same length as Offsets().
    const std::vector<InnerFile>& InnerFiles() const { return innerFiles; }

  private:
    std::string filePath;
    UpgradeFileInformation information;
    std::vector<unsigned int> offsets;
    std::vector<InnerFile> innerFiles;
    bool valid = false;
    std::string errorMessage;
};

}  // namespace upgradeFile
}  // namespace qx
