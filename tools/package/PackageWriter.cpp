#include "tools/package/PackageWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "upgradeFile/Md5.h"
#include "upgradeFile/PackageLayout.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace package {

namespace {

namespace layout = qx::upgradeFile::layout;
using qx::upgradeFile::md5_append;
using qx::upgradeFile::md5_context;
using qx::upgradeFile::md5_finish;
using qx::upgradeFile::md5_init;
using qx::upgrader::utils::Descriptor;
using qx::upgrader::utils::WriteAll;

constexpr std::size_t kCopyBufferSize = 64 * 1024;

std::string SystemText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + qx::upgrader::utils::ErrnoText(errno);
}

bool PutText(Header& header, unsigned int offset, unsigned int size, const std::string& text,
             const char* field, std::string& error) {
    if (text.size() > size) {
        error = std::string(field) + " is " + std::to_string(text.size()) +
                " bytes long; its field holds at most " + std::to_string(size);
        return false;
    }
    std::memcpy(header.data() + offset, text.data(), text.size());
    return true;
}

// Appends data in pieces md5_append accepts (its length is an int).
void DigestAppend(md5_context& context, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        std::size_t piece = size < (1u << 30) ? size : (1u << 30);
        md5_append(&context, data, static_cast<int>(piece));
        data += piece;
        size -= piece;
    }
}

// Inner header fields without digest.
bool PrepareInnerHeader(const InnerFields& fields, unsigned int fileSize, Header& header,
                        std::string& error) {
    header.fill(0);
    std::memcpy(header.data() + layout::kInnerIdentityOffset, layout::kInnerIdentity,
                sizeof layout::kInnerIdentity);
    layout::WriteBigEndian32(header.data() + layout::kSpareWord1Offset, fields.spareWord1);
    layout::WriteBigEndian32(header.data() + layout::kSpareWord2Offset, fields.spareWord2);
    layout::WriteBigEndian32(header.data() + layout::kInnerFileSizeOffset, fileSize);
    return PutText(header, layout::kLabelOffset, layout::kLabelSize, fields.label, "label", error);
}

// Checks that 128 * (count + 1) + total stays below 2 GiB.
bool CheckTotal(std::size_t count, unsigned long long total, std::string& error) {
    unsigned long long size =
        layout::kHeaderSize * (static_cast<unsigned long long>(count) + 1) + total;
    if (size > layout::kMaxPackageSize) {
        error =
            "package would be " + std::to_string(size) + " bytes; packages must stay below 2 GiB";
        return false;
    }
    return true;
}

// The reader ends a package after the first inner file at which the data
// sizes add up to the payload total, so an empty inner file behind the last
// non-empty one would never be reached: the package would verify, yet hold
// fewer inner files than were given (an empty database, inner file 4, would
// leave the device unable to extract it). Such a list is refused.
bool CheckAllReachable(const std::vector<unsigned long long>& sizes, std::string& error) {
    std::size_t lastReached = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i] > 0) {
            lastReached = i;
        }
    }
    if (lastReached + 1 < sizes.size()) {
        error = "inner file " + std::to_string(lastReached + 1) +
                " is empty and no non-empty inner file follows it; the package would end "
                "before it";
        return false;
    }
    return true;
}

// Streams one input into out while digesting it after `header` (bytes
// 0..111). Fails when the input does not hold exactly `size` bytes.
bool CopyInput(const std::string& path, unsigned int size, int out, md5_context& context,
               std::vector<unsigned char>& buffer, std::string& error) {
    Descriptor in(qx::upgrader::utils::OpenFile(path.c_str(), O_RDONLY | O_NONBLOCK));
    if (in.Get() < 0) {
        error = SystemText("cannot open input", path);
        return false;
    }
    unsigned long long left = size;
    for (;;) {
        const long got = qx::upgrader::utils::ReadFully(in.Get(), buffer.data(), buffer.size());
        if (got < 0) {
            error = SystemText("cannot read input", path);
            return false;
        }
        if (got == 0) {
            break;
        }
        if (static_cast<unsigned long long>(got) > left) {
            error = "input " + path + " grew while the package was written";
            return false;
        }
        DigestAppend(context, buffer.data(), static_cast<std::size_t>(got));
        if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(got))) {
            error = SystemText("cannot write", "package");
            return false;
        }
        left -= static_cast<unsigned long long>(got);
    }
    if (left != 0) {
        error = "input " + path + " shrank while the package was written";
        return false;
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

}  // namespace

bool EncodeOuterHeader(const OuterFields& outer, unsigned int fileSize, Header& header,
                       std::string& error) {
    header.fill(0);
    std::memcpy(header.data() + layout::kOuterIdentityOffset, layout::kOuterIdentity,
                sizeof layout::kOuterIdentity);
    layout::WriteBigEndian16(header.data() + layout::kVersionOffset, outer.version);
    if (!PutText(header, layout::kUpgradeNameOffset, layout::kUpgradeNameSize, outer.upgradeName,
                 "upgrade name", error) ||
        !PutText(header, layout::kReleaseNameOffset, layout::kReleaseNameSize, outer.releaseName,
                 "release name", error) ||
        !PutText(header, layout::kFileDateOffset, layout::kFileDateSize, outer.fileDate,
                 "file date", error) ||
        !PutText(header, layout::kSpareText1Offset, layout::kSpareText1Size, outer.spareText1,
                 "spare text 1", error) ||
        !PutText(header, layout::kSpareText2Offset, layout::kSpareText2Size, outer.spareText2,
                 "spare text 2", error)) {
        return false;
    }
    layout::WriteBigEndian32(header.data() + layout::kUpgradeIdOffset, outer.upgradeId);
    layout::WriteBigEndian32(header.data() + layout::kSpareWordOffset, outer.spareWord);
    layout::WriteBigEndian32(header.data() + layout::kOuterFileSizeOffset, fileSize);

    md5_context context;
    md5_init(&context);
    md5_append(&context, header.data(), static_cast<int>(layout::kHashOffset));
    md5_finish(&context, header.data() + layout::kHashOffset);
    return true;
}

bool EncodeInnerHeader(const InnerFields& fields, const std::string& data, Header& header,
                       std::string& error) {
    if (data.size() > layout::kMaxPackageSize) {
        error = "inner file of " + std::to_string(data.size()) + " bytes is too large";
        return false;
    }
    if (!PrepareInnerHeader(fields, static_cast<unsigned int>(data.size()), header, error)) {
        return false;
    }
    md5_context context;
    md5_init(&context);
    md5_append(&context, header.data(), static_cast<int>(layout::kHashOffset));
    DigestAppend(context, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    md5_finish(&context, header.data() + layout::kHashOffset);
    return true;
}

bool BuildPackage(const OuterFields& outer, const std::vector<InnerData>& inners,
                  std::string& package, std::string& error) {
    if (inners.empty()) {
        error = "a package needs at least one inner file";
        return false;
    }
    unsigned long long total = 0;
    std::vector<unsigned long long> dataSizes;
    for (const InnerData& inner : inners) {
        total += inner.data.size();
        dataSizes.push_back(inner.data.size());
    }
    if (!CheckTotal(inners.size(), total, error) || !CheckAllReachable(dataSizes, error)) {
        return false;
    }
    Header header;
    if (!EncodeOuterHeader(outer, static_cast<unsigned int>(total), header, error)) {
        return false;
    }
    std::string result(reinterpret_cast<const char*>(header.data()), header.size());
    for (const InnerData& inner : inners) {
        if (!EncodeInnerHeader(inner.fields, inner.data, header, error)) {
            return false;
        }
        result.append(reinterpret_cast<const char*>(header.data()), header.size());
        result += inner.data;
    }
    package.swap(result);
    return true;
}

bool WritePackage(const std::string& outputPath, const OuterFields& outer,
                  const std::vector<InnerSource>& inners, std::string& error) {
    if (inners.empty()) {
        error = "a package needs at least one inner file";
        return false;
    }
    // Sizes first: the outer header carries their total, and every header is
    // checked before anything is written.
    std::vector<unsigned int> sizes;
    unsigned long long total = 0;
    Header header;
    for (const InnerSource& inner : inners) {
        struct stat info;
        if (::stat(inner.path.c_str(), &info) != 0) {
            error = SystemText("cannot read input", inner.path);
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            error = "input " + inner.path + " is not a regular file";
            return false;
        }
        if (::access(inner.path.c_str(), R_OK) != 0) {
            error = SystemText("cannot read input", inner.path);
            return false;
        }
        total += static_cast<unsigned long long>(info.st_size);
        if (!CheckTotal(inners.size(), total, error)) {
            return false;
        }
        sizes.push_back(static_cast<unsigned int>(info.st_size));
        if (!PrepareInnerHeader(inner.fields, sizes.back(), header, error)) {
            return false;
        }
    }
    if (!CheckAllReachable(std::vector<unsigned long long>(sizes.begin(), sizes.end()), error) ||
        !EncodeOuterHeader(outer, static_cast<unsigned int>(total), header, error)) {
        return false;
    }

    std::string temporary = DirectoryOf(outputPath) + "/.mkupgrade.XXXXXX";
    Descriptor out(::mkstemp(&temporary[0]));
    if (out.Get() < 0) {
        error = SystemText("cannot create a temporary file in", DirectoryOf(outputPath));
        return false;
    }
    bool done = false;
    struct Cleanup {
        const std::string& path;
        const bool& keep;
        ~Cleanup() {
            if (!keep) {
                ::unlink(path.c_str());
            }
        }
    } cleanup{temporary, done};

    if (!WriteAll(out.Get(), header.data(), header.size())) {
        error = SystemText("cannot write", temporary);
        return false;
    }
    std::vector<unsigned char> buffer(kCopyBufferSize);
    off_t position = static_cast<off_t>(layout::kHeaderSize);
    for (std::size_t i = 0; i < inners.size(); ++i) {
        if (!PrepareInnerHeader(inners[i].fields, sizes[i], header, error)) {
            return false;
        }
        // The data is streamed once: its header goes in after it, with the
        // digest of header and data.
        if (::lseek(out.Get(), position + static_cast<off_t>(layout::kHeaderSize), SEEK_SET) < 0) {
            error = SystemText("cannot seek in", temporary);
            return false;
        }
        md5_context context;
        md5_init(&context);
        md5_append(&context, header.data(), static_cast<int>(layout::kHashOffset));
        if (!CopyInput(inners[i].path, sizes[i], out.Get(), context, buffer, error)) {
            return false;
        }
        md5_finish(&context, header.data() + layout::kHashOffset);
        if (!qx::upgrader::utils::PwriteAll(out.Get(), header.data(), header.size(), position)) {
            error = SystemText("cannot write", temporary);
            return false;
        }
        position += static_cast<off_t>(layout::kHeaderSize) + static_cast<off_t>(sizes[i]);
    }

    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(out.Get(), 0666 & ~mask) != 0 || ::fsync(out.Get()) != 0 || !out.Close()) {
        error = SystemText("cannot write", temporary);
        return false;
    }
    if (::rename(temporary.c_str(), outputPath.c_str()) != 0) {
        error = SystemText("cannot rename the package to", outputPath);
        return false;
    }
    done = true;
    return true;
}

}  // namespace package
}  // namespace qx
