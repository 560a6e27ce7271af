// unpack: every inner file and a manifest from which mkupgrade rebuilds the
// package byte for byte.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

mode_t LessUmask(mode_t mode) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode & ~mask;
}

// The unpacked files, written unnamed (O_TMPFILE) in the target's folder and
// linked into a hidden folder that is renamed to the target as soon as all
// are complete: SIGKILL leaves nothing while they are written, and at worst
// (killed in the instant of naming) that hidden folder, never a partial
// target. Where unnamed files cannot be made (no O_TMPFILE on the file
// system, no /proc, or more files than descriptors), they are written into
// the hidden folder from the start, which catchable signals remove.
class UnpackFolder {
  public:
    explicit UnpackFolder(const std::string& targetPath)
        : target(targetPath), parent(qx::package::DirectoryOf(targetPath)) {}
    ~UnpackFolder() { Remove(); }
    UnpackFolder(const UnpackFolder&) = delete;
    UnpackFolder& operator=(const UnpackFolder&) = delete;

    // Chooses how the given number of files are written.
    bool Create(std::size_t count, std::string& error) {
        unnamed = ::access("/proc/self/fd", X_OK) == 0 && EnoughDescriptors(count);
        if (unnamed) {
            Descriptor probe(
                qx::upgrader::utils::OpenFile(parent.c_str(), O_TMPFILE | O_RDWR, 0600));
            unnamed = probe.Valid();
        }
        return unnamed || MakeFolder(error);
    }

    // A new file of the folder, open for writing (the folder keeps the
    // descriptor); -1 with error set.
    int File(const std::string& name, mode_t mode, std::string& error) {
        Entry entry{name, Descriptor(), nullptr};
        if (unnamed) {
            entry.fd =
                Descriptor(qx::upgrader::utils::OpenFile(parent.c_str(), O_TMPFILE | O_RDWR, 0600));
        } else {
            qx::tools::SignalBlock block;  // created and registered as one step
            const std::string file = path + "/" + name;
            entry.fd = Descriptor(qx::upgrader::utils::CreateFreshFile(file.c_str(), O_RDWR, 0600));
            entry.debris = std::make_unique<Debris>(Debris::Kind::File, file);
        }
        if (!entry.fd.Valid() || ::fchmod(entry.fd.Get(), LessUmask(mode)) != 0) {
            error = SystemText("cannot write " + Shown(name));
            return -1;
        }
        entries.push_back(std::move(entry));
        return entries.back().fd.Get();
    }

    // What a file is called once unpacked (for messages).
    std::string Shown(const std::string& name) const { return target + "/" + name; }

    // Names the unnamed files in the hidden folder, gives it the usual mode
    // of a new folder and renames it over the (missing or empty) target.
    bool Commit(std::string& error) {
        qx::tools::SignalBlock block;
        if (unnamed && (!MakeFolder(error) || !LinkFiles(error))) {
            Remove();
            return false;
        }
        if (::chmod(path.c_str(), LessUmask(0777)) != 0 ||
            std::rename(path.c_str(), target.c_str()) != 0) {
            error = SystemText("cannot rename the unpacked package to " + target);
            Remove();
            return false;
        }
        entries.clear();
        folder.reset();
        path.clear();
        return true;
    }

  private:
    struct Entry {
        std::string name;
        Descriptor fd;
        std::unique_ptr<Debris> debris;
    };

    // Unnamed files stay open until named: they must fit below the limit.
    static bool EnoughDescriptors(std::size_t count) {
        struct rlimit limit {};
        const rlim_t needed = static_cast<rlim_t>(count) + 64;
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return false;
        }
        if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
            limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed
                                 ? needed
                                 : limit.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < needed) {
                return false;
            }
        }
        return true;
    }

    bool MakeFolder(std::string& error) {
        std::string pattern = parent + "/.unpack.XXXXXX";
        qx::tools::SignalBlock block;
        if (::mkdtemp(&pattern[0]) == nullptr) {
            error = SystemText("cannot create a temporary folder in " + parent);
            return false;
        }
        path = pattern;
        folder = std::make_unique<Debris>(Debris::Kind::Folder, path);
        return true;
    }

    bool LinkFiles(std::string& error) {
        for (Entry& entry : entries) {
            const std::string self = "/proc/self/fd/" + std::to_string(entry.fd.Get());
            const std::string name = path + "/" + entry.name;
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                error = SystemText("cannot write " + Shown(entry.name));
                return false;
            }
        }
        return true;
    }

    // Takes back the hidden folder and what it holds.
    void Remove() {
        entries.clear();
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
            path.clear();
        }
        folder.reset();
    }

    std::string target, parent, path;
    bool unnamed = false;
    std::unique_ptr<Debris> folder;
    std::vector<Entry> entries;
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

bool WriteText(UnpackFolder& folder, const std::string& name, const std::string& text,
               std::string& error) {
    const int fd = folder.File(name, 0666, error);
    if (fd >= 0 && !qx::upgrader::utils::WriteAll(fd, text.data(), text.size())) {
        error = SystemText("cannot write " + folder.Shown(name));
        return false;
    }
    return fd >= 0;
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
bool WriteTrailer(const PackageInput& in, const UpgradeFile& reader, UnpackFolder& folder,
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
    const int out = folder.File(kTrailerName, 0644, error);
    std::vector<char> buffer(qx::tools::kToolBufferSize);
    while (out >= 0 && position < static_cast<unsigned long long>(info.st_size)) {
        const ssize_t got = qx::upgrader::utils::Retrying([&] {
            return ::pread(in.fd.Get(), buffer.data(), buffer.size(), static_cast<off_t>(position));
        });
        if (got <= 0 ||
            !qx::upgrader::utils::WriteAll(out, buffer.data(), static_cast<std::size_t>(got))) {
            break;
        }
        position += static_cast<unsigned long long>(got);
    }
    if (out < 0 || position != static_cast<unsigned long long>(info.st_size)) {
        error = "cannot copy the bytes after the last inner file of " + in.name;
        return false;
    }
    sources.trailerPath = kTrailerName;
    return true;
}

bool UnpackInto(const PackageInput& in, UpgradeFile& reader, UnpackFolder& folder,
                std::string& error) {
    PackageSources sources;
    if (!DescribePackage(in, reader, sources, error)) {
        return false;
    }
    for (std::size_t i = 0; i < sources.inners.size(); ++i) {
        const int fd = folder.File(sources.inners[i].path, 0755, error);
        if (fd < 0) {
            return false;
        }
        if (!ExtractPackageFile(reader, static_cast<unsigned int>(i), fd,
                                folder.Shown(sources.inners[i].path))) {
            error = reader.ErrorMessage();
            return false;
        }
    }
    return WriteTrailer(in, reader, folder, sources, error) &&
           WriteText(folder, kManifestName, qx::package::ManifestText(sources), error);
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
    UnpackFolder temporary(folder);
    if (!CheckTarget(folder, error) || !temporary.Create(reader.InnerFiles().size() + 2, error) ||
        !UnpackInto(in, reader, temporary, error) || !CheckTarget(folder, error) ||
        !temporary.Commit(error)) {
        return qx::tools::Fail(kToolName, error);
    }
    return 0;
}

}  // namespace inspect
}  // namespace qx
