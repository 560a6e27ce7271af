#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/CaptureLog.h"
#include "support/Files.h"
#include "support/TempDir.h"
#include "tools/package/PackageWriter.h"
#include "upgradeFile/Md5.h"
#include "upgradeFile/PackageLayout.h"

namespace qx::testing {

constexpr std::size_t kHeader = upgradeFile::layout::kHeaderSize;
constexpr std::size_t kDigestAt = upgradeFile::layout::kHashOffset;

inline std::string Pattern(std::size_t n, unsigned seed = 1) {
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        data[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
    }
    return data;
}

inline package::OuterFields SampleOuter() {
    return {5, "QX-7 firmware", "R2026.12", "20261205", 42, "", "", 0};
}

inline std::string Build(const std::vector<std::string>& datas,
                         const package::OuterFields& outer = SampleOuter()) {
    std::vector<package::InnerData> inners;
    for (const std::string& data : datas) {
        inners.push_back({data, {}});
    }
    std::string package, error;
    EXPECT_TRUE(package::BuildPackage(outer, inners, package, error)) << error;
    return package;
}

inline unsigned char* Bytes(std::string& package, std::size_t at) {
    return reinterpret_cast<unsigned char*>(&package[at]);
}

inline void PutWord(std::string& package, std::size_t at, unsigned int value) {
    upgradeFile::layout::WriteBigEndian32(Bytes(package, at), value);
}

// Recomputes the digest of the header at `at` over `dataSize` data bytes.
inline void Reseal(std::string& package, std::size_t at, std::size_t dataSize = 0) {
    upgradeFile::md5_context context;
    upgradeFile::md5_init(&context);
    upgradeFile::md5_append(&context, Bytes(package, at), static_cast<int>(kDigestAt));
    std::size_t n = std::min(dataSize, package.size() - (at + kHeader));
    upgradeFile::md5_append(&context, Bytes(package, at + kHeader), static_cast<int>(n));
    upgradeFile::md5_finish(&context, Bytes(package, at + kDigestAt));
}

class PackageTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearCapturedLog(); }

    std::string Save(const std::string& bytes, const std::string& name = "udpackage") {
        WriteBytes(dir / name, bytes);
        return dir / name;
    }

    TempDir dir;
};

}  // namespace qx::testing
