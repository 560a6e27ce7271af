#include "tools/inspect/Package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "tools/common/Files.h"
#include "tools/common/Output.h"
#include "upgradeFile/Md5.h"

namespace qx {
namespace inspect {

namespace {

// The reader takes over the descriptors it is given; the tool keeps its own.
int Copy(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

}  // namespace

bool OpenPackage(const std::string& argument, PackageInput& input, std::string& error) {
    input.name = argument;
    const int fd = argument == qx::tools::kStandardStream
                       ? qx::tools::SeekableStandardInput(error)
                       : qx::tools::OpenStreamableInput(argument, error);
    input.fd = qx::upgrader::utils::Descriptor(fd);
    return input.fd.Valid();
}

unsigned long long PackageSize(const PackageInput& input) {
    struct stat info {};
    return ::fstat(input.fd.Get(), &info) == 0 ? static_cast<unsigned long long>(info.st_size) : 0;
}

bool ParsePackage(qx::upgradeFile::UpgradeFile& reader, const PackageInput& input) {
    const int fd = Copy(input.fd.Get());
    reader.SetBufferSize(qx::tools::kToolBufferSize);
    return reader.ParseFile(fd, errno, input.name);
}

bool ExtractPackageFile(qx::upgradeFile::UpgradeFile& reader, unsigned int index,
                        qx::tools::OutputFile& output, const std::string& name) {
    return reader.ExtractFile(index, Copy(output.Get()), errno, name);
}

bool ExtractPackageFile(qx::upgradeFile::UpgradeFile& reader, unsigned int index, int fd,
                        const std::string& name) {
    return reader.ExtractFile(index, Copy(fd), errno, name);
}

bool DataDigest(const PackageInput& input, unsigned long long begin, unsigned int count,
                std::string& hex) {
    using namespace qx::upgradeFile;
    md5_context context;
    md5_init(&context);
    std::vector<unsigned char> buffer(qx::tools::kToolBufferSize);
    while (count > 0) {
        const std::size_t piece = count < buffer.size() ? count : buffer.size();
        const ssize_t got = qx::upgrader::utils::Retrying([&] {
            return ::pread(input.fd.Get(), buffer.data(), piece, static_cast<off_t>(begin));
        });
        if (got <= 0) {
            return false;
        }
        md5_append(&context, buffer.data(), static_cast<int>(got));
        begin += static_cast<unsigned long long>(got);
        count -= static_cast<unsigned int>(got);
    }
    unsigned char digest[16];
    md5_finish(&context, digest);
    hex = HexDigest(digest);
    return true;
}

std::string HexDigest(const unsigned char* digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0F];
    }
    return text;
}

}  // namespace inspect
}  // namespace qx
