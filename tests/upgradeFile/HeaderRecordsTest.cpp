#include <gtest/gtest.h>

#include <string>
#include <vector>

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
