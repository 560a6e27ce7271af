#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "PackageFixture.h"
#include "upgradeFile/UpgradeFile.h"

using namespace qx::testing;
using qx::upgradeFile::UpgradeFile;

namespace {

// Written out byte by byte (digests from an independent MD5), so that the
// writer and the reader cannot share a misreading of the format. Version
// 0x0102, name "QX", release "R1", date "20261205", id 0xFFFFFFFF, payload
// total 5; inner file 0 "abc" (label "L", spare words 7 and 9), inner file
// 1 the two bytes 00 FF.
const unsigned char kTwoInnerPackage[389] = {
    0x55, 0xde, 0xad, 0xbe, 0xef, 0x55, 0x01, 0x02, 0x51, 0x58, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0x30, 0x32, 0x36, 0x31, 0x32, 0x30, 0x35,
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x07, 0xd6, 0x9b, 0x6a, 0x84, 0x39, 0x2c, 0x26, 0x31, 0xa9, 0xfa, 0x75, 0xda, 0xc6, 0x0e, 0xfb,
    0xf1, 0xe2, 0xd3, 0xc4, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x03,
    0x4c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xc2, 0xe2, 0xeb, 0x80, 0xdc, 0xa2, 0x52, 0xe7, 0xa4, 0x6e, 0xb6, 0xe9, 0xcd, 0x43, 0xd7, 0xad,
    0x61, 0x62, 0x63, 0xf1, 0xe2, 0xd3, 0xc4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x29, 0x59, 0x50, 0x17, 0x1f, 0xb6, 0x13, 0x0d, 0xef, 0xc4, 0xda, 0x36, 0x5e,
    0x6c, 0x64, 0x26, 0x00, 0xff,
};

// The smallest package: payload total 0, one inner file of size 0. Only the
// identities and the two digests are not zero.
std::string EmptyPayloadPackage() {
    std::string bytes(256, '\0');
    const unsigned char outer[] = {0x55, 0xde, 0xad, 0xbe, 0xef, 0x55};
    const unsigned char outerDigest[] = {0x92, 0xb4, 0xfa, 0x46, 0x2a, 0x3d, 0x33, 0x3a,
                                         0x5d, 0xf1, 0x36, 0x78, 0xf1, 0x9c, 0xfb, 0x2a};
    const unsigned char inner[] = {0xf1, 0xe2, 0xd3, 0xc4};
    const unsigned char innerDigest[] = {0xf7, 0xfc, 0x2c, 0x9e, 0x66, 0xde, 0x30, 0xed,
                                         0x26, 0x64, 0x2f, 0x9c, 0x83, 0xf5, 0x01, 0x78};
    bytes.replace(0, 6, reinterpret_cast<const char*>(outer), 6);
    bytes.replace(112, 16, reinterpret_cast<const char*>(outerDigest), 16);
    bytes.replace(128, 4, reinterpret_cast<const char*>(inner), 4);
    bytes.replace(240, 16, reinterpret_cast<const char*>(innerDigest), 16);
    return bytes;
}

std::string TwoInnerPackage() {
    return std::string(reinterpret_cast<const char*>(kTwoInnerPackage), sizeof kTwoInnerPackage);
}

// Positions of the inner headers of a package built from these data sizes.
std::vector<std::size_t> HeaderPositions(const std::vector<std::size_t>& sizes) {
    std::vector<std::size_t> positions;
    std::size_t at = 128;
    for (std::size_t size : sizes) {
        positions.push_back(at);
        at += 128 + size;
    }
    return positions;
}

mode_t ModeOf(const std::string& path) {
    struct stat info;
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : saved(::umask(mask)) {}
    ~UmaskScope() { ::umask(saved); }

  private:
    mode_t saved;
};

}  // namespace

class ReaderTest : public PackageTest {};

TEST_F(ReaderTest, HandWrittenPackageParsesLogsAndExtracts) {
    std::string path = Save(TwoInnerPackage());
    UpgradeFile reader(path);
    ASSERT_TRUE(reader.ParseFile()) << reader.ErrorMessage();
    EXPECT_TRUE(reader.Valid());
    EXPECT_EQ(reader.ErrorMessage(), "");
    EXPECT_EQ(CapturedLog(),
              (std::vector<std::string>{"Version 258", "Upgrade Name: QX", "Release Name: R1",
                                        "File Date: 20261205", "Upgrade ID: 4294967295",
                                        "Upgrade file size 5"}));
    EXPECT_EQ(reader.Offsets(), (std::vector<unsigned int>{256, 387}));
    ASSERT_EQ(reader.InnerFiles().size(), 2u);
    EXPECT_EQ(reader.InnerFiles()[0].SpareWord1(), 7u);
    EXPECT_EQ(reader.InnerFiles()[0].SpareWord2(), 9u);
    EXPECT_EQ(reader.InnerFiles()[0].Label(), "L" + std::string(31, '\0'));

    ASSERT_TRUE(reader.ExtractFile(1, dir / "one"));
    ASSERT_TRUE(reader.ExtractFile(0, dir / "zero"));
    EXPECT_EQ(ReadBytes(dir / "zero"), "abc");
    EXPECT_EQ(ReadBytes(dir / "one"), std::string("\0\xff", 2));

    // The writer produces the same bytes for the same content.
    qx::package::OuterFields outer;
    outer.version = 0x0102;
    outer.upgradeName = "QX";
    outer.releaseName = "R1";
    outer.fileDate = "20261205";
    outer.upgradeId = 0xFFFFFFFFu;
    std::vector<qx::package::InnerData> inners(2);
    inners[0].data = "abc";
    inners[0].fields.label = "L";
    inners[0].fields.spareWord1 = 7;
    inners[0].fields.spareWord2 = 9;
    inners[1].data = std::string("\0\xff", 2);
    std::string built, error;
    ASSERT_TRUE(qx::package::BuildPackage(outer, inners, built, error)) << error;
    EXPECT_EQ(built, TwoInnerPackage());
}

TEST_F(ReaderTest, EmptyPayloadPackageOf256Bytes) {
    std::string package = EmptyPayloadPackage();
    EXPECT_EQ(Build({""}, qx::package::OuterFields()), package);
    UpgradeFile reader(Save(package));
    ASSERT_TRUE(reader.ParseFile()) << reader.ErrorMessage();
    ASSERT_EQ(reader.Offsets(), (std::vector<unsigned int>{256}));
    EXPECT_EQ(CapturedLog().back(), "Upgrade file size 0");

    // An existing longer file is cut to the (empty) inner file.
    WriteBytes(dir / "out", "leftover");
    ASSERT_TRUE(reader.ExtractFile(0, dir / "out")) << reader.ErrorMessage();
    EXPECT_EQ(ReadBytes(dir / "out"), "");
}

TEST_F(ReaderTest, TrailingBytesAreIgnored) {
    UpgradeFile reader(Save(TwoInnerPackage() + "trailing garbage, not a header"));
    ASSERT_TRUE(reader.ParseFile()) << reader.ErrorMessage();
    EXPECT_EQ(reader.InnerFiles().size(), 2u);
}

TEST_F(ReaderTest, ExtractsExactBytesOfEverySize) {
    const std::vector<std::size_t> sizes = {0, 1024, 1025, 3000, 1};
    std::vector<std::string> datas;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        datas.push_back(Pattern(sizes[i], static_cast<unsigned>(i)));
    }
    UpgradeFile reader(Save(Build(datas)));
    ASSERT_TRUE(reader.ParseFile()) << reader.ErrorMessage();
    ASSERT_EQ(reader.InnerFiles().size(), sizes.size());
    // Out of order and twice: every call reopens the package.
    for (unsigned int index : {3u, 0u, 2u, 1u, 4u, 3u}) {
        std::string out = dir / ("inner" + std::to_string(index));
        ASSERT_TRUE(reader.ExtractFile(index, out)) << reader.ErrorMessage();
        EXPECT_EQ(ReadBytes(out), datas[index]) << index;
    }
}

TEST_F(ReaderTest, ExtractionModes) {
    UpgradeFile reader(Save(Build({"#!/bin/sh\n", Pattern(2000)})));
    ASSERT_TRUE(reader.ParseFile());

    {
        UmaskScope mask(022);
        ASSERT_TRUE(reader.ExtractFile(0, dir / "new022"));
        EXPECT_EQ(ModeOf(dir / "new022"), 0755u);
    }
    {
        UmaskScope mask(027);
        ASSERT_TRUE(reader.ExtractFile(0, dir / "new027"));
        EXPECT_EQ(ModeOf(dir / "new027"), 0750u);
    }
    // An existing longer file is truncated and keeps its own mode.
    std::string existing = dir / "existing";
    WriteBytes(existing, Pattern(5000, 9));
    ASSERT_EQ(::chmod(existing.c_str(), 0600), 0);
    ASSERT_TRUE(reader.ExtractFile(1, existing));
    EXPECT_EQ(ReadBytes(existing), Pattern(2000));
    EXPECT_EQ(ModeOf(existing), 0600u);
}

TEST_F(ReaderTest, ParsePathRules) {
    std::string first = Save(Build({"first"}), "first");
    std::string second = Save(Build({"second", "2"}), "second");

    UpgradeFile unnamed;
    EXPECT_FALSE(unnamed.ParseFile());
    EXPECT_EQ(unnamed.ErrorMessage(), "No file specified");
    EXPECT_FALSE(unnamed.ParseFile(""));
    EXPECT_EQ(unnamed.ErrorMessage(), "No file specified");

    UpgradeFile reader(first);
    ASSERT_TRUE(reader.ParseFile(""));
    EXPECT_EQ(reader.InnerFiles().size(), 1u);

    // Another path is parsed and kept for extraction; the inner files of the
    // first pass are forgotten, not appended to.
    ASSERT_TRUE(reader.ParseFile(second));
    EXPECT_EQ(reader.FilePath(), second);
    EXPECT_EQ(reader.InnerFiles().size(), 2u);
    EXPECT_EQ(reader.Offsets(), (std::vector<unsigned int>{256, 390}));
    ASSERT_TRUE(reader.ExtractFile(0, dir / "out"));
    EXPECT_EQ(ReadBytes(dir / "out"), "second");

    // A failed later pass does not leave the reader claiming validity.
    std::string damaged = Build({"damaged"});
    damaged.back() ^= 1;
    ASSERT_FALSE(reader.ParseFile(Save(damaged, "damaged")));
    EXPECT_FALSE(reader.Valid());
    EXPECT_TRUE(reader.InnerFiles().empty());
    EXPECT_FALSE(reader.ExtractFile(0, dir / "out"));
    EXPECT_EQ(reader.ErrorMessage(), "Invalid offset");
}

TEST_F(ReaderTest, ParseFailureTable) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* message;
        std::size_t accepted;  // inner files accepted before the failure
    };
    const std::string good = Build({"alpha", Pattern(1500), "", "gamma", "delta"});
    const std::vector<std::size_t> at = HeaderPositions({5, 1500, 0, 5, 5});

    std::vector<Case> cases;
    cases.push_back({"empty file", "", "Unable to read header bytes", 0});
    cases.push_back({"127 bytes", good.substr(0, 127), "Unable to read header bytes", 0});
    {
        std::string bytes = good;
        bytes[3] = 0;
        cases.push_back({"outer identity", bytes, "Unable to parse header", 0});
    }
    {
        std::string bytes = good;
        bytes[95] = 1;  // reserved, covered by the digest
        cases.push_back({"outer reserved byte", bytes, "Unable to parse header", 0});
    }
    cases.push_back(
        {"ends after outer header", good.substr(0, 128), "Unable to read inner file header", 0});
    cases.push_back(
        {"ends inside inner header", good.substr(0, 200), "Unable to read inner file header", 0});
    {
        std::string bytes = good;
        bytes[at[1] + 2] = 0;
        cases.push_back({"inner identity", bytes, "Unable to parse inner header", 1});
    }
    cases.push_back(
        {"ends inside data", good.substr(0, at[1] + 128 + 1000), "Unable to read bytes", 1});
    cases.push_back({"ends after an inner file short of the total", good.substr(0, at[4]),
                     "Unable to read inner file header", 4});
    {
        std::string bytes = good;
        bytes[at[3] + 128 + 2] ^= 0x20;  // a data byte of inner file 3
        cases.push_back({"data byte of inner file 3", bytes, "Header MD5 check failed", 3});
    }
    {
        std::string bytes = good;
        bytes[at[2] + 60] = 7;  // reserved byte of inner header 2
        cases.push_back({"inner reserved byte", bytes, "Header MD5 check failed", 2});
    }
    {
        // Payload total 0 but a first inner file of 5 bytes and nothing after.
        std::string bytes = Build({"12345"});
        PutWord(bytes, 88, 0);
        ResealOuter(bytes);
        cases.push_back({"total 0, inner of 5", bytes, "Unable to read inner file header", 1});
    }

    for (const Case& c : cases) {
        ClearCapturedLog();
        UpgradeFile reader(Save(c.bytes));
        EXPECT_FALSE(reader.ParseFile()) << c.what;
        EXPECT_FALSE(reader.Valid()) << c.what;
        EXPECT_EQ(reader.ErrorMessage(), c.message) << c.what;
        EXPECT_EQ(reader.InnerFiles().size(), c.accepted) << c.what;
        EXPECT_EQ(reader.Offsets().size(), c.accepted) << c.what;
    }

    // Inner files accepted before a failure can still be extracted.
    std::string bytes = good;
    bytes[at[3] + 128] ^= 0x01;
    UpgradeFile reader(Save(bytes));
    ASSERT_FALSE(reader.ParseFile());
    ASSERT_TRUE(reader.ExtractFile(1, dir / "one"));
    EXPECT_EQ(ReadBytes(dir / "one"), Pattern(1500));
}

TEST_F(ReaderTest, OpenFailureNamesThePath) {
    std::string missing = dir / "missing";
    UpgradeFile reader(missing);
    EXPECT_FALSE(reader.ParseFile());
    EXPECT_EQ(reader.ErrorMessage(),
              "Couldn't open file " + missing + ": error: " + std::strerror(ENOENT));
}

// A package must be a regular file: anything else fails as an unreadable
// header, without blocking (a FIFO with no writer) and without reading
// (a device that would deliver bytes forever).
TEST_F(ReaderTest, NonRegularPackagesFailWithoutHanging) {
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), fifo, std::string("/dev/zero")}) {
        UpgradeFile reader(path);
        EXPECT_FALSE(reader.ParseFile()) << path;
        EXPECT_EQ(reader.ErrorMessage(), "Unable to read header bytes") << path;
    }
}

TEST_F(ReaderTest, ExtractFailureTable) {
    std::string package = Save(Build({"zero", "one", "two", "three", Pattern(3000)}));
    UpgradeFile reader(package);
    ASSERT_TRUE(reader.ParseFile());

    // Index past the end: nothing is opened or created.
    EXPECT_FALSE(reader.ExtractFile(5, dir / "five"));
    EXPECT_EQ(reader.ErrorMessage(), "Invalid offset");
    EXPECT_FALSE(::access((dir / "five").c_str(), F_OK) == 0);

    std::string noDir = dir / "no/such/dir";
    EXPECT_FALSE(reader.ExtractFile(0, noDir));
    EXPECT_EQ(reader.ErrorMessage(),
              "Couldn't open extraction file " + noDir + ": error: " + std::strerror(ENOENT));

    // An output FIFO without a reader is refused rather than waited on.
    std::string fifo = dir / "out-fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(reader.ExtractFile(0, fifo));
    EXPECT_EQ(reader.ErrorMessage(),
              "Couldn't open extraction file " + fifo + ": error: " + std::strerror(ENXIO));

    // The output's write failing (no space) is a failure with its own text.
    EXPECT_FALSE(reader.ExtractFile(4, "/dev/full"));
    EXPECT_EQ(reader.ErrorMessage(), "Error writing extraction file /dev/full: error: " +
                                         std::string(std::strerror(ENOSPC)));

    // The package shrinks after the parse: the read runs dry.
    std::string full = ReadBytes(package);
    ASSERT_EQ(::truncate(package.c_str(), static_cast<off_t>(full.size() - 100)), 0);
    EXPECT_FALSE(reader.ExtractFile(4, dir / "four"));
    EXPECT_EQ(reader.ErrorMessage(), "Error reading internal file to extract");
    EXPECT_EQ(ReadBytes(dir / "four"), Pattern(3000).substr(0, 2900));  // left as written

    // The package is replaced by a FIFO: it cannot be positioned in, and the
    // extraction does not wait for a writer.
    ASSERT_EQ(::unlink(package.c_str()), 0);
    ASSERT_EQ(::mkfifo(package.c_str(), 0600), 0);
    EXPECT_FALSE(reader.ExtractFile(0, dir / "zero"));
    EXPECT_EQ(reader.ErrorMessage(),
              "Unable to find internal file in " + package + ": error: " + std::strerror(ESPIPE));

    // The package is gone.
    ASSERT_EQ(::unlink(package.c_str()), 0);
    EXPECT_FALSE(reader.ExtractFile(0, dir / "zero"));
    EXPECT_EQ(reader.ErrorMessage(),
              "Couldn't open upgrade file " + package + ": error: " + std::strerror(ENOENT));
}

// Every header and data bit matters: each single-bit change is rejected.
TEST_F(ReaderTest, EverySingleBitFlipIsRejected) {
    const std::string good = TwoInnerPackage();
    const std::string path = dir / "flipped";
    for (std::size_t byte = 0; byte < good.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string bytes = good;
            bytes[byte] = static_cast<char>(bytes[byte] ^ (1 << bit));
            WriteBytes(path, bytes);
            UpgradeFile reader(path);
            ASSERT_FALSE(reader.ParseFile()) << "byte " << byte << " bit " << bit;
        }
    }
}

TEST_F(ReaderTest, HostileSizes) {
    // An inner size near 4 GiB: the claim is met only by bytes actually read.
    {
        std::string bytes = Build({"abc"});
        PutWord(bytes, 128 + 12, 0xFFFFFFF0u);
        ResealInner(bytes, 128, 3);
        UpgradeFile reader(Save(bytes));
        EXPECT_FALSE(reader.ParseFile());
        EXPECT_EQ(reader.ErrorMessage(), "Unable to read bytes");
    }
    // A payload total near 4 GiB next to small inner files: the pass does not
    // end early by wrap-around, it runs out of headers.
    {
        std::string bytes = Build({"abc", "de"});
        PutWord(bytes, 88, 0xFFFFFF80u);
        ResealOuter(bytes);
        UpgradeFile reader(Save(bytes));
        EXPECT_FALSE(reader.ParseFile());
        EXPECT_EQ(reader.ErrorMessage(), "Unable to read inner file header");
        EXPECT_EQ(reader.InnerFiles().size(), 2u);
    }
    // Inner sizes that pass the total without meeting it.
    {
        std::string bytes = Build({"123456", "123456", "123456"});
        PutWord(bytes, 88, 10);
        ResealOuter(bytes);
        UpgradeFile reader(Save(bytes));
        EXPECT_FALSE(reader.ParseFile());
        EXPECT_EQ(reader.ErrorMessage(), "Unable to read inner file header");
        EXPECT_EQ(reader.InnerFiles().size(), 3u);
    }
    // A package of 2 GiB or more is outside the format: it is refused at open
    // like the device's 32-bit open refuses it (a sparse file, no disk use).
    {
        std::string path = Save(Build({"abc"}), "huge");
        ASSERT_EQ(::truncate64(path.c_str(), 0x80000000LL), 0);
        UpgradeFile reader(path);
        EXPECT_FALSE(reader.ParseFile());
        EXPECT_EQ(reader.ErrorMessage(),
                  "Couldn't open file " + path + ": error: " + std::strerror(EOVERFLOW));
        ASSERT_EQ(::truncate64(path.c_str(), 0x7FFFFFFFLL), 0);
        EXPECT_TRUE(reader.ParseFile());  // largest allowed size, trailing bytes ignored
    }
}
