#include "tools/package/PackageWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/common/Files.h"
#include "tools/common/Output.h"
#include "tools/common/Progress.h"
#include "tools/common/Signals.h"
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

constexpr std::size_t kCopyBufferSize = qx::tools::kToolBufferSize;

// Reserved bytes: behind the payload total in the outer header, behind the
// label in an inner one, up to the digest.
constexpr unsigned int kOuterReservedOffset = layout::kOuterFileSizeOffset + 4;
constexpr unsigned int kInnerReservedOffset = layout::kLabelOffset + layout::kLabelSize;

std::string SystemText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + qx::upgrader::utils::ErrnoText(errno);
}

// Writes the byte fields of fields into header; a value longer than its
// field is refused, a shorter one is padded with the header's zero bytes.
template <class Fields, std::size_t Count>
bool PutBytes(const std::array<ByteField<Fields>, Count>& table, const Fields& fields,
              Header& header, std::string& error) {
    for (const ByteField<Fields>& field : table) {
        const std::string& value = fields.*field.member;
        if (value.size() > field.size) {
            error = std::string(field.title) + " is " + std::to_string(value.size()) +
                    " bytes long; its field holds at most " + std::to_string(field.size);
            return false;
        }
        std::memcpy(header.data() + field.offset, value.data(), value.size());
    }
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
    return PutBytes(kInnerByteFields, fields, header, error);
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

// Streams one input into out, feeding it to context when one is given.
// Fails when the input does not hold exactly `size` bytes.
bool CopyInput(const std::string& path, unsigned int size, int out, md5_context* context,
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
        if (context != nullptr) {
            DigestAppend(*context, buffer.data(), static_cast<std::size_t>(got));
        }
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

// Size of an input, which must be a readable regular file.
bool InputSize(const std::string& path, unsigned int& size, std::string& error) {
    Descriptor in(qx::tools::OpenInputFile(path, error));
    struct stat info {};
    if (!in.Valid()) {
        return false;
    }
    if (::fstat(in.Get(), &info) != 0) {
        error = SystemText("cannot read input", path);
        return false;
    }
    if (static_cast<unsigned long long>(info.st_size) > layout::kMaxPackageSize) {
        error = "input " + path + " is " + std::to_string(info.st_size) +
                " bytes; packages must stay below 2 GiB";
        return false;
    }
    size = static_cast<unsigned int>(info.st_size);
    return true;
}

// Checks every input and every header field before anything is written:
// gives the data size of each inner file, the trailer's size and the
// finished outer header.
bool PlanPackage(const PackageSources& sources, std::vector<unsigned int>& sizes,
                 unsigned int& trailerSize, Header& outerHeader, std::string& error) {
    if (sources.inners.empty()) {
        error = "a package needs at least one inner file";
        return false;
    }
    unsigned long long total = 0;
    Header header;
    for (const InnerSource& inner : sources.inners) {
        sizes.push_back(0);
        if (!InputSize(inner.path, sizes.back(), error)) {
            return false;
        }
        total += sizes.back();
        if (!CheckTotal(sources.inners.size(), total, error) ||
            !PrepareInnerHeader(inner.fields, sizes.back(), header, error)) {
            return false;
        }
    }
    trailerSize = 0;
    if (!sources.trailerPath.empty() &&
        (!InputSize(sources.trailerPath, trailerSize, error) ||
         !CheckTotal(sources.inners.size(), total + trailerSize, error))) {
        return false;
    }
    return CheckAllReachable(std::vector<unsigned long long>(sizes.begin(), sizes.end()), error) &&
           EncodeOuterHeader(sources.outer, static_cast<unsigned int>(total), outerHeader, error);
}

// The package under construction: the output (tools/common/Output.h: an
// unnamed file that takes OUT's name when complete). A stream (standard
// output, a FIFO, a device) gets an unnamed temporary file first, as each
// inner header is written after its data, and a copy of it when complete.
class TemporaryOutput {
  public:
    explicit TemporaryOutput(const std::string& targetPath) : target(targetPath) {}

    bool Create(const std::vector<std::string>& inputs, std::string& error) {
        if (!output.Open(target, 0666, true, inputs, error)) {
            return false;
        }
        if (output.Stream()) {
            staged = Descriptor(qx::tools::UnnamedTemporaryFile("the package", error));
            return staged.Valid();
        }
        return true;
    }
    int Get() const { return staged.Valid() ? staged.Get() : output.Get(); }
    const std::string& Path() const { return target; }

    bool Commit(std::string& error) {
        if (staged.Valid() && ::lseek(staged.Get(), 0, SEEK_SET) != 0) {
            error = SystemText("cannot read back", "the package");
            return false;
        }
        if (staged.Valid() && !qx::tools::CopyToOutput(staged.Get(), output, error)) {
            error = target + ": " + error;
            return false;
        }
        return output.Commit(error);
    }

  private:
    std::string target;
    qx::tools::OutputFile output;
    Descriptor staged;
};

// Writes one inner header and its data at the end of out. The data is
// streamed once: the header goes in after it, with the digest of header and
// data.
bool WriteInnerFile(const TemporaryOutput& out, const InnerSource& inner, unsigned int size,
                    std::vector<unsigned char>& buffer, std::string& error) {
    Header header;
    if (!PrepareInnerHeader(inner.fields, size, header, error)) {
        return false;
    }
    const off_t position = ::lseek(out.Get(), 0, SEEK_CUR);
    if (position < 0 ||
        ::lseek(out.Get(), position + static_cast<off_t>(layout::kHeaderSize), SEEK_SET) < 0) {
        error = SystemText("cannot seek in", out.Path());
        return false;
    }
    md5_context context;
    md5_init(&context);
    md5_append(&context, header.data(), static_cast<int>(layout::kHashOffset));
    if (!CopyInput(inner.path, size, out.Get(), &context, buffer, error)) {
        return false;
    }
    md5_finish(&context, header.data() + layout::kHashOffset);
    if (!qx::upgrader::utils::PwriteAll(out.Get(), header.data(), header.size(), position)) {
        error = SystemText("cannot write", out.Path());
        return false;
    }
    return true;
}

}  // namespace

const std::array<ByteField<OuterFields>, 6> kOuterByteFields = {{
    {&OuterFields::upgradeName, layout::kUpgradeNameOffset, layout::kUpgradeNameSize,
     "upgrade name", "upgradeName"},
    {&OuterFields::releaseName, layout::kReleaseNameOffset, layout::kReleaseNameSize,
     "release name", "releaseName"},
    {&OuterFields::fileDate, layout::kFileDateOffset, layout::kFileDateSize, "file date",
     "fileDate"},
    {&OuterFields::spareText1, layout::kSpareText1Offset, layout::kSpareText1Size, "spare text 1",
     "spareText1"},
    {&OuterFields::spareText2, layout::kSpareText2Offset, layout::kSpareText2Size, "spare text 2",
     "spareText2"},
    {&OuterFields::reserved, kOuterReservedOffset, layout::kHashOffset - kOuterReservedOffset,
     "outer reserved", "reserved"},
}};

const std::array<ByteField<InnerFields>, 2> kInnerByteFields = {{
    {&InnerFields::label, layout::kLabelOffset, layout::kLabelSize, "label", "label"},
    {&InnerFields::reserved, kInnerReservedOffset, layout::kHashOffset - kInnerReservedOffset,
     "inner reserved", "reserved"},
}};

bool EncodeOuterHeader(const OuterFields& outer, unsigned int fileSize, Header& header,
                       std::string& error) {
    header.fill(0);
    std::memcpy(header.data() + layout::kOuterIdentityOffset, layout::kOuterIdentity,
                sizeof layout::kOuterIdentity);
    layout::WriteBigEndian16(header.data() + layout::kVersionOffset, outer.version);
    if (!PutBytes(kOuterByteFields, outer, header, error)) {
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

bool WritePackage(const std::string& outputPath, const PackageSources& sources,
                  std::string& error) {
    if (!sources.trailerPath.empty() && (sources.signing.signer || sources.signing.kept)) {
        error = "a signed package ends with its signature; it cannot carry a trailer";
        return false;
    }
    std::vector<unsigned int> sizes;
    unsigned int trailerSize = 0;
    Header header;
    if (!PlanPackage(sources, sizes, trailerSize, header, error)) {
        return false;
    }
    std::vector<std::string> inputs;
    for (const InnerSource& inner : sources.inners) {
        inputs.push_back(inner.path);
    }
    if (!sources.trailerPath.empty()) {
        inputs.push_back(sources.trailerPath);
    }
    TemporaryOutput out(outputPath);
    if (!out.Create(inputs, error)) {
        return false;
    }
    if (!WriteAll(out.Get(), header.data(), header.size())) {
        error = SystemText("cannot write", out.Path());
        return false;
    }
    unsigned long long total = layout::kHeaderSize + trailerSize;
    for (unsigned int size : sizes) {
        total += layout::kHeaderSize + size;
    }
    qx::tools::Progress progress(outputPath, out.Get(), total);
    std::vector<unsigned char> buffer(kCopyBufferSize);
    unsigned long long written = header.size();
    for (std::size_t i = 0; i < sources.inners.size(); ++i) {
        if (!WriteInnerFile(out, sources.inners[i], sizes[i], buffer, error)) {
            return false;
        }
        written += layout::kHeaderSize + sizes[i];
    }
    if (!sources.trailerPath.empty() &&
        !CopyInput(sources.trailerPath, trailerSize, out.Get(), nullptr, buffer, error)) {
        return false;
    }
    if (!AppendSignature(out.Get(), written, sources.signing, error)) {
        error = outputPath + ": " + error;
        return false;
    }
    return out.Commit(error);
}

}  // namespace package
}  // namespace qx
