// unpack: every inner file and a manifest from which mkupgrade rebuilds the
// package byte for byte.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/Progress.h"
#include "tools/common/Signals.h"
#include "tools/inspect/Inspect.h"
#include "tools/inspect/Package.h"
#include "tools/package/Manifest.h"
#include "upgradeFile/PackageLayout.h"
#include "upgradeFile/UpgradeFile.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace inspect {

namespace {

using qx::package::PackageSources;
using qx::tools::Debris;
using qx::upgradeFile::UpgradeFile;
using qx::upgrader::utils::Descriptor;
namespace layout = qx::upgradeFile::layout;

constexpr const char* kManifestName = "manifest.json";
constexpr const char* kTrailerName = "trailer";

std::string SystemText(const std::string& what) {
    return what + ": " + qx::upgrader::utils::ErrnoText(errno);
}

// Reads count bytes of the package from position begin.
bool ReadRange(const PackageInput& in, unsigned long long begin, std::size_t count,
               std::string& bytes) {
    bytes.assign(count, '\0');
    const ssize_t got = qx::upgrader::utils::Retrying(
        [&] { return ::pread(in.fd.Get(), &bytes[0], count, static_cast<off_t>(begin)); });
    return got == static_cast<ssize_t>(count);
}

// The file an inner file is unpacked to: its number, then its label where
// the label is made of harmless name characters.
std::string InnerFileName(std::size_t index, const std::string& label) {
    std::string name = std::to_string(index);
    std::string safe;
    for (char c : qx::package::WithoutPadding(label)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        safe += plain ? c : '_';
    }
    return safe.empty() ? name : name + "-" + safe;
}

// The header fields as they stand in the package. The reader keeps the
// numbers, but not reserved bytes or bytes behind a text's terminator, so
// the byte fields are taken from the header bytes themselves; each header
// is matched with the one the reader accepted through its digest.
template <class Fields, std::size_t Count>
void TakeByteFields(const std::array<qx::package::ByteField<Fields>, Count>& table,
                    const std::string& header, Fields& fields) {
    for (const auto& field : table) {
        fields.*field.member = qx::package::WithoutPadding(header.substr(field.offset, field.size));
    }
}

bool SameDigest(const std::string& header, const std::array<unsigned char, 16>& digest) {
    return std::memcmp(header.data() + layout::kHashOffset, digest.data(), digest.size()) == 0;
}

bool DescribePackage(const PackageInput& in, const UpgradeFile& reader, PackageSources& sources,
                     std::string& error) {
    std::string header;
    const auto& info = reader.Information();
    bool same = ReadRange(in, 0, layout::kHeaderSize, header) && SameDigest(header, info.Md5Hash());
    sources.outer = {info.Version(), "", "", "", info.UpgradeId(), "", "", info.SpareWord()};
    TakeByteFields(qx::package::kOuterByteFields, header, sources.outer);
    for (std::size_t i = 0; same && i < reader.InnerFiles().size(); ++i) {
        const auto& inner = reader.InnerFiles()[i];
        same =
            ReadRange(in, reader.Offsets()[i] - layout::kHeaderSize, layout::kHeaderSize, header) &&
            SameDigest(header, inner.Md5Hash());
        sources.inners.push_back(
            {InnerFileName(i, inner.Label()), {"", inner.SpareWord1(), inner.SpareWord2()}});
        TakeByteFields(qx::package::kInnerByteFields, header, sources.inners.back().fields);
    }
    if (!same) {
        error = in.name + " changed while it was unpacked";
    }
    return same;
}

// A folder next to the target that becomes the target by one rename, and is
// removed with what it holds unless it did.
class TemporaryFolder {
  public:
    explicit TemporaryFolder(const std::string& targetPath) : target(targetPath) {}
    ~TemporaryFolder() {
        files.clear();
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    bool Create(std::string& error) {
        std::string pattern = qx::package::DirectoryOf(target) + "/.unpack.XXXXXX";
        qx::tools::SignalBlock block;
        if (::mkdtemp(&pattern[0]) == nullptr) {
            error = SystemText("cannot create a temporary folder in " +
                               qx::package::DirectoryOf(target));
            return false;
        }
        path = pattern;
        folder = std::make_unique<Debris>(Debris::Kind::Folder, path);
        return true;
    }
    // The path of a file in the folder, which a signal then removes with it.
    std::string File(const std::string& name) {
        files.push_back(std::make_unique<Debris>(Debris::Kind::File, path + "/" + name));
        return path + "/" + name;
    }

    // Gives the folder the usual mode of a new folder and renames it over the
    // (missing or empty) target.
    bool Commit(std::string& error) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        if (::chmod(path.c_str(), 0777 & ~mask) != 0 ||
            std::rename(path.c_str(), target.c_str()) != 0) {
            error = SystemText("cannot rename the unpacked package to " + target);
            return false;
        }
        path.clear();
        files.clear();
        folder.reset();
        return true;
    }

  private:
    std::string target;
    std::string path;
    std::unique_ptr<Debris> folder;
    std::vector<std::unique_ptr<Debris>> files;
};

// The target must be missing or an empty folder.
bool CheckTarget(const std::string& folder, std::string& error) {
    std::error_code failure;
    const auto status = std::filesystem::symlink_status(folder, failure);
    if (status.type() == std::filesystem::file_type::not_found) {
        return true;
    }
    if (status.type() != std::filesystem::file_type::directory) {
        error = folder + " is not a folder";
        return false;
    }
    if (!std::filesystem::is_empty(folder, failure) || failure) {
        error = folder + " is not empty";
        return false;
    }
    return true;
}

bool WriteText(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path;
    }
    return static_cast<bool>(out);
}

// A signature block that ends the package goes into the manifest with the
// digest of the bytes it signed, so that a rebuild keeps it exactly while
// those bytes stay the same. True when the bytes after the last inner file
// are such a block.
bool KeepSignature(const PackageInput& in, unsigned long long end, PackageSources& sources) {
    unsigned char tail[qx::upgradeFile::kSignatureBlockSize + 1];
    const ssize_t got = qx::upgrader::utils::Retrying(
        [&] { return ::pread(in.fd.Get(), tail, sizeof tail, static_cast<off_t>(end)); });
    qx::package::KeptSignature kept;
    if (got <= 0 ||
        qx::upgradeFile::ReadSignatureBlock(tail, static_cast<std::size_t>(got), kept.block) !=
            qx::upgradeFile::Tail::Block ||
        !qx::package::DigestOfFile(in.fd.Get(), end, kept.digest)) {
        return false;
    }
    sources.signing.kept = kept;
    return true;
}

// Bytes after the last inner file, which the reader never reads.
bool WriteTrailer(const PackageInput& in, const UpgradeFile& reader, TemporaryFolder& folder,
                  PackageSources& sources, std::string& error) {
    unsigned long long position =
        layout::kHeaderSize * (reader.InnerFiles().size() + 1ull) + reader.Information().FileSize();
    struct stat info;
    if (::fstat(in.fd.Get(), &info) != 0) {
        error = SystemText("cannot read " + in.name);
        return false;
    }
    if (static_cast<unsigned long long>(info.st_size) <= position ||
        KeepSignature(in, position, sources)) {
        return true;
    }
    // Streamed: a trailer may be large.
    const std::string path = folder.File(kTrailerName);
    Descriptor out(qx::upgrader::utils::CreateFreshFile(path.c_str(), O_WRONLY, 0644));
    std::vector<char> buffer(64 * 1024);
    while (out.Valid() && position < static_cast<unsigned long long>(info.st_size)) {
        const ssize_t got = qx::upgrader::utils::Retrying([&] {
            return ::pread(in.fd.Get(), buffer.data(), buffer.size(), static_cast<off_t>(position));
        });
        if (got <= 0 || !qx::upgrader::utils::WriteAll(out.Get(), buffer.data(),
                                                       static_cast<std::size_t>(got))) {
            break;
        }
        position += static_cast<unsigned long long>(got);
    }
    if (!out.Valid() || position != static_cast<unsigned long long>(info.st_size) || !out.Close()) {
        error = "cannot copy the bytes after the last inner file of " + in.name;
        return false;
    }
    sources.trailerPath = kTrailerName;
    return true;
}

bool UnpackInto(const PackageInput& in, UpgradeFile& reader, TemporaryFolder& folder,
                std::string& error) {
    PackageSources sources;
    if (!DescribePackage(in, reader, sources, error)) {
        return false;
    }
    for (std::size_t i = 0; i < sources.inners.size(); ++i) {
        if (!ExtractPackageFile(reader, static_cast<unsigned int>(i),
                                folder.File(sources.inners[i].path))) {
            error = reader.ErrorMessage();
            return false;
        }
    }
    return WriteTrailer(in, reader, folder, sources, error) &&
           WriteText(folder.File(kManifestName), qx::package::ManifestText(sources), error);
}

}  // namespace

int Unpack(const std::string& package, const std::string& folderPath) {
    std::string folder = folderPath;
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    std::string error;
    PackageInput in;
    if (!OpenPackage(package, in, error)) {
        return qx::tools::Fail(kToolName, error);
    }
    UpgradeFile reader;
    qx::tools::Progress progress(package, in.fd.Get(), PackageSize(in));
    if (!ParsePackage(reader, in)) {
        return qx::tools::Fail(kToolName, package + ": " + reader.ErrorMessage());
    }
    TemporaryFolder temporary(folder);
    if (!CheckTarget(folder, error) || !temporary.Create(error) ||
        !UnpackInto(in, reader, temporary, error) || !CheckTarget(folder, error) ||
        !temporary.Commit(error)) {
        return qx::tools::Fail(kToolName, error);
    }
    return 0;
}

}  // namespace inspect
}  // namespace qx
