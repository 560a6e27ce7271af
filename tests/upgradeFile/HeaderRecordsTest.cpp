#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upgradeFile/InnerFileInformation.h"
#include "upgradeFile/PackageFixture.h"
#include "upgradeFile/UpgradeFileInformation.h"

using namespace qx::upgradeFile;
using namespace qx::testing;

namespace {

std::string Text(const qx::package::Header& header) {
    return std::string(reinterpret_cast<const char*>(header.data()), header.size());
}

std::string OuterHeader(const qx::package::OuterFields& outer, unsigned int fileSize = 0) {
    qx::package::Header header;
    std::string error;
    EXPECT_TRUE(qx::package::EncodeOuterHeader(outer, fileSize, header, error)) << error;
    return Text(header);
}

bool ParseOuter(UpgradeFileInformation& record, std::string header) {
    ClearCapturedLog();
    return record.ParseHeader(Bytes(header, 0), static_cast<unsigned int>(header.size()));
}

}  // namespace

TEST(OuterHeader, LogsFieldsAndDecodesTexts) {
    const qx::package::OuterFields outer = {
        0x0102, std::string(32, 'N'), "R2026.12", "20261205", 0xFFFFFFFFu,
        "s1",   "12345678",           0x01020304};
    UpgradeFileInformation record;
    ASSERT_TRUE(ParseOuter(record, OuterHeader(outer, 3000)));
    EXPECT_TRUE(record.Valid());
    EXPECT_EQ(record.FileSize(), 3000u);
    EXPECT_EQ(record.SpareText1(), "s1");
    EXPECT_EQ(record.SpareText2(), "12345678");  // full width, no terminator
    EXPECT_EQ(record.SpareWord(), 0x01020304u);
    EXPECT_EQ(CapturedLog().at(1), "Upgrade Name: " + std::string(32, 'N'));  // full width

    // A text ends at its first zero byte even when non-zero bytes follow.
    std::string header = OuterHeader(outer);
    header[8 + 5] = '\0';
    header[40 + 1] = '\0';
    Reseal(header, 0);
    ASSERT_TRUE(ParseOuter(record, header));
    EXPECT_EQ(record.UpgradeName(), "NNNNN");
    EXPECT_EQ(record.ReleaseName(), "R");
}

TEST(OuterHeader, Failures) {
    std::string header = OuterHeader(SampleOuter(), 7);
    UpgradeFileInformation shortRecord;
    EXPECT_FALSE(shortRecord.ParseHeader(Bytes(header, 0), 127));
    EXPECT_EQ(shortRecord.ErrorMessage(), "Buffer is smaller than header size");

    for (int at = 0; at < 6; ++at) {
        std::string bad = header;
        bad[at] ^= 0x01;
        UpgradeFileInformation record;
        EXPECT_FALSE(ParseOuter(record, bad));
        EXPECT_EQ(record.ErrorMessage(), "Header identity failed");
        EXPECT_TRUE(CapturedLog().empty());
        EXPECT_EQ(record.FileSize(), 0u);
        EXPECT_EQ(record.UpgradeName(), "");
    }

    // Wrong digest (a reserved byte changed): fields logged and kept, not valid.
    std::string bad = header;
    bad[100] = 1;
    UpgradeFileInformation record;
    EXPECT_FALSE(ParseOuter(record, bad));
    EXPECT_EQ(record.ErrorMessage(), "Header MD5 check failed");
    EXPECT_EQ(CapturedLog().size(), 5u);
    EXPECT_FALSE(record.Valid());
    EXPECT_EQ(record.FileSize(), 7u);
    EXPECT_EQ(record.UpgradeName(), "QX-7 firmware");

    // A later success keeps the old reason.
    EXPECT_TRUE(ParseOuter(record, header));
    EXPECT_TRUE(record.Valid());
    EXPECT_EQ(record.ErrorMessage(), "Header MD5 check failed");
}

TEST(InnerHeader, DecodesFieldsAndChecksIdentityOnly) {
    qx::package::Header encoded;
    std::string error;
    ASSERT_TRUE(qx::package::EncodeInnerHeader({std::string("lab\0el", 6), 0xA0B0C0D0u, 3}, "data",
                                               encoded, error))
        << error;
    std::string header = Text(encoded);

    InnerFile entry;
    EXPECT_FALSE(entry.ParseHeader(Bytes(header, 0), 100));
    EXPECT_EQ(entry.ErrorMessage(), "Buffer is smaller than header size");
    ClearCapturedLog();
    ASSERT_TRUE(entry.ParseHeader(Bytes(header, 0), kHeader));
    EXPECT_TRUE(CapturedLog().empty());
    EXPECT_EQ(entry.FileSize(), 4u);
    EXPECT_EQ(entry.SpareWord1(), 0xA0B0C0D0u);
    EXPECT_EQ(entry.SpareWord2(), 3u);
    EXPECT_EQ(entry.Label(), std::string("lab\0el", 6) + std::string(26, '\0'));

    unsigned char digest[16];
    std::copy(header.begin() + kDigestAt, header.end(), digest);
    EXPECT_TRUE(entry.ValidateMD5Hash(digest, 16));
    EXPECT_FALSE(entry.ValidateMD5Hash(digest, 15));
    digest[15] ^= 0x80;
    EXPECT_FALSE(entry.ValidateMD5Hash(digest, 16));

    // A wrong digest does not matter to ParseHeader; a wrong identity does.
    header[120] ^= 0x01;
    EXPECT_TRUE(entry.ParseHeader(Bytes(header, 0), kHeader));
    for (int at = 0; at < 4; ++at) {
        std::string bad = header;
        bad[at] ^= 0x10;
        InnerFile other;
        EXPECT_FALSE(other.ParseHeader(Bytes(bad, 0), kHeader));
        EXPECT_EQ(other.ErrorMessage(), "Internal file header identity failed");
        EXPECT_EQ(other.FileSize(), 0u);
    }
}
