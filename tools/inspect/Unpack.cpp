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
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/PackageFiles.h"
#include "tools/inspect/Inspect.h"
#include "tools/package/Manifest.h"
#include "upgradeFile/PackageLayout.h"
#include "upgradeFile/UpgradeFile.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace inspect {

namespace {

using qx::package::PackageSources;
using qx::upgradeFile::UpgradeFile;
namespace layout = qx::upgradeFile::layout;

constexpr const char* kManifestName = "manifest.json";
constexpr const char* kTrailerName = "trailer";

std::string SystemText(const std::string& what) {
    return what + ": " + qx::upgrader::utils::ErrnoText(errno);
}

// Reads count bytes of the package from position begin.
bool ReadRange(std::ifstream& in, unsigned long long begin, std::size_t count, std::string& bytes) {
    bytes.assign(count, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(begin));
    return static_cast<bool>(in.read(&bytes[0], static_cast<std::streamsize>(count)));
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

bool DescribePackage(const std::string& path, const UpgradeFile& reader, PackageSources& sources,
                     std::string& error) {
    std::ifstream in(path, std::ios::binary);
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
        error = path + " changed while it was unpacked";
    }
    return same;
}

// A folder next to the target that becomes the target by one rename, and is
// removed with what it holds unless it did.
class TemporaryFolder {
  public:
    explicit TemporaryFolder(const std::string& targetPath) : target(targetPath) {}
    ~TemporaryFolder() {
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    bool Create(std::string& error) {
        std::string pattern = qx::package::DirectoryOf(target) + "/.unpack.XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr) {
            error = SystemText("cannot create a temporary folder in " +
                               qx::package::DirectoryOf(target));
            return false;
        }
        path = pattern;
        return true;
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }

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
        return true;
    }

  private:
    std::string target;
    std::string path;
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
bool KeepSignature(const std::string& package, unsigned long long end, PackageSources& sources) {
    qx::upgrader::utils::Descriptor file(qx::upgrader::utils::OpenFile(package.c_str(), O_RDONLY));
    unsigned char tail[qx::upgradeFile::kSignatureBlockSize + 1];
    const ssize_t got =
        file.Valid() ? ::pread(file.Get(), tail, sizeof tail, static_cast<off_t>(end)) : -1;
    qx::package::KeptSignature kept;
    if (got <= 0 ||
        qx::upgradeFile::ReadSignatureBlock(tail, static_cast<std::size_t>(got), kept.block) !=
            qx::upgradeFile::Tail::Block ||
        !qx::package::DigestOfFile(file.Get(), end, kept.digest)) {
        return false;
    }
    sources.signing.kept = kept;
    return true;
}

// Bytes after the last inner file, which the reader never reads.
bool WriteTrailer(const std::string& package, const UpgradeFile& reader,
                  const TemporaryFolder& folder, PackageSources& sources, std::string& error) {
    const unsigned long long end =
        layout::kHeaderSize * (reader.InnerFiles().size() + 1ull) + reader.Information().FileSize();
    struct stat info;
    if (::stat(package.c_str(), &info) != 0) {
        error = SystemText("cannot read " + package);
        return false;
    }
    if (static_cast<unsigned long long>(info.st_size) <= end ||
        KeepSignature(package, end, sources)) {
        return true;
    }
    // Streamed: a trailer may be large.
    std::ifstream in(package, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(end));
    std::ofstream out(folder / kTrailerName, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    const bool whole = out.tellp() == static_cast<std::streamoff>(info.st_size - end);
    out.close();
    if (!in || !out || !whole) {
        error = "cannot copy the bytes after the last inner file of " + package;
        return false;
    }
    sources.trailerPath = kTrailerName;
    return true;
}

bool UnpackInto(const std::string& package, UpgradeFile& reader, TemporaryFolder& folder,
                std::string& error) {
    PackageSources sources;
    if (!DescribePackage(package, reader, sources, error)) {
        return false;
    }
    for (std::size_t i = 0; i < sources.inners.size(); ++i) {
        if (!qx::tools::ExtractToNewFile(reader, static_cast<unsigned int>(i),
                                         folder / sources.inners[i].path)) {
            error = reader.ErrorMessage();
            return false;
        }
    }
    return WriteTrailer(package, reader, folder, sources, error) &&
           WriteText(folder / kManifestName, qx::package::ManifestText(sources), error);
}

}  // namespace

int Unpack(const std::string& package, const std::string& folderPath) {
    std::string folder = folderPath;
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    UpgradeFile reader;
    if (!qx::tools::ParsePackage(reader, package)) {
        return qx::tools::Fail(kToolName, package + ": " + reader.ErrorMessage());
    }
    std::string error;
    TemporaryFolder temporary(folder);
    if (!CheckTarget(folder, error) || !temporary.Create(error) ||
        !UnpackInto(package, reader, temporary, error) || !CheckTarget(folder, error) ||
        !temporary.Commit(error)) {
        return qx::tools::Fail(kToolName, error);
    }
    return 0;
}

}  // namespace inspect
}  // namespace qx
