// Whole-package verification for the instruction-count and memory figures.
//
//   bench_parse make PACKAGE DATA_BYTES   writes a package of one inner file
//                                          of DATA_BYTES zero bytes, sparse
//   bench_parse parse PACKAGE             runs one ParseFile and prints the
//                                          result and the peak resident size
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/package/PackageWriter.h"
#include "upgradeFile/Md5.h"
#include "upgradeFile/PackageLayout.h"
#include "upgradeFile/UpgradeFile.h"

namespace {

namespace layout = qx::upgradeFile::layout;

int Make(const char* path, unsigned long long dataBytes) {
    if (dataBytes + 256 > layout::kMaxPackageSize) {
        std::fprintf(stderr, "bench_parse: package would reach 2 GiB\n");
        return 1;
    }
    const unsigned int size = static_cast<unsigned int>(dataBytes);
    qx::package::OuterFields outer;
    outer.upgradeName = "bench";
    qx::package::Header outerHeader, innerHeader;
    std::string error;
    if (!qx::package::EncodeOuterHeader(outer, size, outerHeader, error) ||
        !qx::package::EncodeInnerHeader(qx::package::InnerFields(), "", innerHeader, error)) {
        std::fprintf(stderr, "bench_parse: %s\n", error.c_str());
        return 1;
    }
    // The inner header for DATA_BYTES zero bytes: its size, and the digest of
    // its first 112 bytes followed by the zeros.
    layout::WriteBigEndian32(innerHeader.data() + layout::kInnerFileSizeOffset, size);
    qx::upgradeFile::md5_context context;
    qx::upgradeFile::md5_init(&context);
    qx::upgradeFile::md5_append(&context, innerHeader.data(), 112);
    std::vector<unsigned char> zeros(1 << 20, 0);
    for (unsigned long long left = dataBytes; left > 0;) {
        unsigned int piece = left < zeros.size() ? static_cast<unsigned int>(left)
                                                 : static_cast<unsigned int>(zeros.size());
        qx::upgradeFile::md5_append(&context, zeros.data(), static_cast<int>(piece));
        left -= piece;
    }
    qx::upgradeFile::md5_finish(&context, innerHeader.data() + 112);

    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::pwrite(fd, outerHeader.data(), 128, 0) != 128 ||
        ::pwrite(fd, innerHeader.data(), 128, 128) != 128 ||
        ::ftruncate(fd, static_cast<off_t>(256 + dataBytes)) != 0 || ::close(fd) != 0) {
        std::fprintf(stderr, "bench_parse: cannot write %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    return 0;
}

int Parse(const char* path) {
    qx::upgradeFile::UpgradeFile reader(path);
    bool ok = reader.ParseFile();
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("parse %s: %s, peak resident %ld KiB\n", path,
                ok ? "valid" : reader.ErrorMessage().c_str(), usage.ru_maxrss);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "make") == 0) {
        return Make(argv[2], std::strtoull(argv[3], nullptr, 10));
    }
    if (argc == 3 && std::strcmp(argv[1], "parse") == 0) {
        return Parse(argv[2]);
    }
    std::fprintf(stderr, "usage: bench_parse make PACKAGE DATA_BYTES | parse PACKAGE\n");
    return 2;
}
