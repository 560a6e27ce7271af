#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "upgradeFile/PackageFixture.h"
#include "upgradeFile/UpgradeFile.h"

using namespace qx::testing;
using qx::upgradeFile::ReaderError;
using qx::upgradeFile::UpgradeFile;

namespace {

void Put(std::string& bytes, std::size_t at, const std::string& hex) {
    for (std::size_t i = 0; i + 1 < hex.size(); i += hex[i] == ' ' ? 1 : 2) {
        if (hex[i] != ' ') {
            bytes[at++] = static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
    }
}

// Written out by hand (digests from an independent MD5), not by the writer.
std::string TwoInnerPackage() {
    std::string bytes(389, '\0');
    Put(bytes, 0, "55deadbeef55 0102 5158");      // identity, version 0x0102, name "QX"
    Put(bytes, 40, "5231");                       // release "R1"
    Put(bytes, 56, "3230323631323035 ffffffff");  // date "20261205", id 0xFFFFFFFF
    Put(bytes, 88, "00000005");                   // payload total 5
    Put(bytes, kDigestAt, "07d69b6a84392c2631a9fa75dac60efb");  // outer digest
    // Inner file 0: spare words 7 and 9, size 3, label "L"; digest, data "abc".
    Put(bytes, kHeader, "f1e2d3c4 00000007 00000009 00000003 4c");
    Put(bytes, 240, "c2e2eb80dca252e7a46eb6e9cd43d7ad 616263");
    // Inner file 1: size 2; digest, data 00 FF.
    Put(bytes, 259, "f1e2d3c4 00000000 00000000 00000002");
    Put(bytes, 371, "295950171fb6130defc4da365e6c6426 00ff");
    return bytes;
}

}  // namespace

class ReaderTest : public PackageTest {};

TEST_F(ReaderTest, HandWrittenPackagesParseLogAndExtract) {
    UpgradeFile reader(Save(TwoInnerPackage() + "trailing garbage, not a header"));
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

    const qx::package::OuterFields outer = {0x0102, "QX", "R1", "20261205", 0xFFFFFFFFu, "", "", 0};
    std::string built, error;
    ASSERT_TRUE(qx::package::BuildPackage(
        outer, {{"abc", {"L", 7, 9}}, {std::string("\0\xff", 2), {}}}, built, error))
        << error;
    EXPECT_EQ(built, TwoInnerPackage());
}

namespace {

const std::size_t kAt[] = {128, 261, 1889, 2017, 2150};

std::string GoodPackage() { return Build({"alpha", Pattern(1500), "", "gamma", "delta"}); }

std::string Changed(std::size_t where, char value) {
    std::string bytes = GoodPackage();
    bytes[where] = value;
    return bytes;
}

std::string WithTotal(const std::vector<std::string>& datas, unsigned int total) {
    std::string bytes = Build(datas);
    PutWord(bytes, 88, total);
    Reseal(bytes, 0);
    return bytes;
}

struct ParseFailure {
    const char* what;
    std::string bytes;
    ReaderError kind;
    const char* message;
    std::size_t accepted;   // inner files accepted before the failure
    unsigned int position;  // of the rejected header
};

std::vector<ParseFailure> ParseFailures() {
    const std::string good = GoodPackage();
    std::string hugeInner = Build({"abc"});
    PutWord(hugeInner, kHeader + 12, 0xFFFFFFF0u);
    Reseal(hugeInner, kHeader, 3);
    using E = ReaderError;
    return {
        {"empty file", "", E::HeaderUnreadable, "Unable to read header bytes", 0, 0},
        {"127 bytes", good.substr(0, 127), E::HeaderUnreadable, "Unable to read header bytes", 0,
         0},
        {"outer identity", Changed(3, 0), E::HeaderBadIdentity, "Unable to parse header", 0, 0},
        {"outer reserved byte", Changed(95, 1), E::HeaderBadDigest, "Unable to parse header", 0, 0},
        {"ends after outer header", good.substr(0, kHeader), E::InnerHeaderUnreadable,
         "Unable to read inner file header", 0, kHeader},
        {"inner identity", Changed(kAt[1] + 2, 0), E::InnerHeaderBadIdentity,
         "Unable to parse inner header", 1, 261},
        {"ends inside data", good.substr(0, kAt[1] + kHeader + 1000), E::InnerDataTruncated,
         "Unable to read bytes", 1, 261},
        {"ends short of the total", good.substr(0, kAt[4]), E::InnerHeaderUnreadable,
         "Unable to read inner file header", 4, 2150},
        {"data byte of inner file 3", Changed(kAt[3] + kHeader + 2, 'M'), E::InnerDigestMismatch,
         "Header MD5 check failed", 3, 2017},
        {"inner reserved byte", Changed(kAt[2] + 60, 7), E::InnerDigestMismatch,
         "Header MD5 check failed", 2, 1889},
        {"total 0, inner of 5", WithTotal({"12345"}, 0), E::InnerHeaderUnreadable,
         "Unable to read inner file header", 1, 261},
        // Hostile sizes: the running sum neither wraps nor stops the pass early.
        {"inner size near 4 GiB", hugeInner, E::InnerDataTruncated, "Unable to read bytes", 0,
         kHeader},
        {"total near 4 GiB", WithTotal({"abc", "de"}, 0xFFFFFF80u), E::InnerHeaderUnreadable,
         "Unable to read inner file header", 2, 389},
        {"sizes pass the total", WithTotal({"123456", "123456", "123456"}, 10),
         E::InnerHeaderUnreadable, "Unable to read inner file header", 3, 530},
    };
}

}  // namespace

TEST_F(ReaderTest, ParseFailureTable) {
    for (const ParseFailure& c : ParseFailures()) {
        UpgradeFile reader(Save(c.bytes));
        EXPECT_FALSE(reader.ParseFile()) << c.what;
        EXPECT_FALSE(reader.Valid()) << c.what;
        EXPECT_EQ(reader.Error(), c.kind) << c.what;
        EXPECT_EQ(reader.ErrorPosition(), c.position) << c.what;
        EXPECT_EQ(reader.ErrorMessage(), c.message) << c.what;
        EXPECT_EQ(reader.InnerFiles().size(), c.accepted) << c.what;
        EXPECT_EQ(reader.Offsets().size(), c.accepted) << c.what;
        // The rejected inner header is kept exactly when it was decoded.
        bool decoded =
            c.kind == ReaderError::InnerDataTruncated || c.kind == ReaderError::InnerDigestMismatch;
        EXPECT_EQ(reader.RejectedInnerFile().Label().empty(), !decoded) << c.what;
    }

    // Inner files accepted before a failure can still be extracted.
    UpgradeFile reader(Save(Changed(kAt[3] + kHeader, 'G')));
    ASSERT_FALSE(reader.ParseFile());
    ASSERT_TRUE(reader.ExtractFile(1, dir / "one"));
    EXPECT_EQ(ReadBytes(dir / "one"), Pattern(1500));
}

// The device takes only the run's own package; a tool reads what it is given.
TEST_F(ReaderTest, WhichFilesThePackageOpenTakes) {
    const std::string good = Save(Build({"abc"}), "good"), fifo = dir / "fifo";
    const std::string link = dir / "link", second = dir / "second", open = dir / "open";
    const std::string missing = dir / "missing", dirPath = dir.path();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
    ASSERT_EQ(::chmod(Save(Build({"abc"}), "open").c_str(), 0646), 0);
    ASSERT_EQ(::link(Save(Build({"abc"}), "first").c_str(), second.c_str()), 0);
    auto refused = [](const std::string& path, int error) {
        return "Couldn't open file " + path + ": error: " + std::strerror(error);
    };
    const std::string unreadable = "Unable to read header bytes";
    const struct {
        std::string path;
        std::string device;  // the device's ParseFile; "" when it parses
    } cases[] = {
        {good, ""},
        {missing, refused(missing, ENOENT)},
        {dirPath, unreadable},
        {fifo, unreadable},
        {link, refused(link, ELOOP)},
        {second, ""},  // only read, and checked again as it is extracted
        {open, refused(open, EPERM)},
        {"/dev/zero", refused("/dev/zero", EPERM)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        UpgradeFile reader(c.path);
        EXPECT_EQ(reader.ParseFile(), c.device.empty());
        EXPECT_EQ(reader.ErrorMessage(), c.device);
    }
}

TEST_F(ReaderTest, ExtractFailureTable) {
    std::string package = Save(Build({"zero", "one", "two", "three", Pattern(3000)}));
    UpgradeFile reader(package);
    ASSERT_TRUE(reader.ParseFile());

    auto fails = [&reader](unsigned int index, const std::string& out, const std::string& text) {
        EXPECT_FALSE(reader.ExtractFile(index, out)) << text;
        EXPECT_EQ(reader.ErrorMessage(), text);
    };
    fails(5, dir / "five", "Invalid offset");
    EXPECT_NE(::access((dir / "five").c_str(), F_OK), 0);
    const std::string noDir = dir / "no/such/dir";
    fails(0, noDir, "Couldn't open extraction file " + noDir + ": error: " + std::strerror(ENOENT));
    fails(0, dir.path(),
          "Couldn't open extraction file " + dir.path() + ": error: " + std::strerror(EISDIR));
    // The package parsed is the one extracted from: replacing its name
    // changes nothing, as the descriptor of the parse serves every copy.
    ASSERT_EQ(::rename(package.c_str(), (dir / "moved").c_str()), 0);
    WriteBytes(package, Build({"ZERO", "ONE", "TWO", "THREE", Pattern(3000, 9)}));
    ASSERT_TRUE(reader.ExtractFile(3, dir / "three")) << reader.ErrorMessage();
    EXPECT_EQ(ReadBytes(dir / "three"), "three");

    // The package shrinks after the parse: the read runs dry, and no half
    // file takes the name (what stood there stays).
    WriteBytes(dir / "four", "before");
    const off_t shrunk = static_cast<off_t>(ReadBytes(dir / "moved").size() - 100);
    ASSERT_EQ(::truncate((dir / "moved").c_str(), shrunk), 0);
    fails(4, dir / "four", "Error reading internal file to extract");
    EXPECT_EQ(ReadBytes(dir / "four"), "before");
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"four", "moved", "three", "udpackage"}));
}

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

// 2 GiB or more is refused at open, like the device's 32-bit open (sparse file).
TEST_F(ReaderTest, PackagesOf2GiBAreRefusedAtOpen) {
    std::string path = Save(Build({"abc"}), "huge");
    ASSERT_EQ(::truncate64(path.c_str(), 0x80000000LL), 0);
    UpgradeFile reader(path);
    EXPECT_FALSE(reader.ParseFile());
    EXPECT_EQ(reader.ErrorMessage(),
              "Couldn't open file " + path + ": error: " + std::strerror(EOVERFLOW));
    ASSERT_EQ(::truncate64(path.c_str(), 0x7FFFFFFFLL), 0);
    EXPECT_TRUE(reader.ParseFile()) << reader.ErrorMessage();  // the largest allowed size
}
