#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "PackageFixture.h"
#include "upgradeFile/UpgradeFile.h"

using namespace qx::testing;
using qx::package::InnerSource;
using qx::package::OuterFields;

namespace {

std::vector<std::string> Entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* directory = ::opendir(path.c_str());
    while (dirent* entry = ::readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(directory);
    return names;
}

}  // namespace

class WriterTest : public PackageTest {};

TEST_F(WriterTest, StreamedPackageMatchesInMemoryPackage) {
    const std::vector<std::string> datas = {Pattern(70000, 1), "", Pattern(1025, 2)};
    std::vector<InnerSource> sources;
    std::vector<qx::package::InnerData> inners;
    for (std::size_t i = 0; i < datas.size(); ++i) {
        std::string input = dir / ("input" + std::to_string(i));
        WriteBytes(input, datas[i]);
        InnerSource source;
        source.path = input;
        source.fields.label = "label " + std::to_string(i);
        source.fields.spareWord2 = static_cast<unsigned int>(i);
        sources.push_back(source);
        qx::package::InnerData inner;
        inner.data = datas[i];
        inner.fields = source.fields;
        inners.push_back(inner);
    }
    OuterFields outer = SampleOuter();
    outer.upgradeName = std::string(32, 'n');  // full width, no terminator
    outer.spareWord = 77;

    std::string output = dir / "udpackage";
    std::string error;
    ASSERT_TRUE(qx::package::WritePackage(output, outer, sources, error)) << error;
    std::string expected;
    ASSERT_TRUE(qx::package::BuildPackage(outer, inners, expected, error)) << error;
    EXPECT_EQ(ReadBytes(output), expected);

    qx::upgradeFile::UpgradeFile reader(output);
    ASSERT_TRUE(reader.ParseFile()) << reader.ErrorMessage();
    EXPECT_EQ(reader.Information().UpgradeName(), std::string(32, 'n'));
    EXPECT_EQ(reader.Information().FileSize(), 70000u + 1025u);
    EXPECT_EQ(reader.InnerFiles()[2].Label().substr(0, 8), std::string("label 2\0", 8));

    // Only the package is left in the directory (no temporary file).
    EXPECT_EQ(Entries(dir.path()).size(), datas.size() + 1);
}

TEST_F(WriterTest, RefusesBadInputWithClearText) {
    std::string input = dir / "input";
    WriteBytes(input, "data");
    std::string output = dir / "out";
    WriteBytes(output, "previous");
    std::string error;

    auto write = [&](const OuterFields& outer, const std::vector<InnerSource>& sources) {
        error.clear();
        return qx::package::WritePackage(output, outer, sources, error);
    };
    InnerSource source;
    source.path = input;

    EXPECT_FALSE(write(SampleOuter(), {}));
    EXPECT_EQ(error, "a package needs at least one inner file");

    OuterFields longName = SampleOuter();
    longName.upgradeName = std::string(33, 'x');
    EXPECT_FALSE(write(longName, {source}));
    EXPECT_EQ(error, "upgrade name is 33 bytes long; its field holds at most 32");
    OuterFields longDate = SampleOuter();
    longDate.fileDate = "202612050";
    EXPECT_FALSE(write(longDate, {source}));
    EXPECT_EQ(error, "file date is 9 bytes long; its field holds at most 8");

    InnerSource longLabel = source;
    longLabel.fields.label = std::string(33, 'l');
    EXPECT_FALSE(write(SampleOuter(), {source, longLabel}));
    EXPECT_EQ(error, "label is 33 bytes long; its field holds at most 32");

    InnerSource missing;
    missing.path = dir / "missing";
    EXPECT_FALSE(write(SampleOuter(), {source, missing}));
    EXPECT_EQ(error, "cannot read input " + missing.path + ": No such file or directory");

    InnerSource directory;
    directory.path = dir.path();
    EXPECT_FALSE(write(SampleOuter(), {directory}));
    EXPECT_EQ(error, "input " + dir.path() + " is not a regular file");

    // 2 GiB of input (sparse) with the headers passes the 32-bit format.
    std::string huge = dir / "huge";
    WriteBytes(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), 0x7FFFFF00LL), 0);
    InnerSource big;
    big.path = huge;
    EXPECT_FALSE(write(SampleOuter(), {big}));
    EXPECT_EQ(error, "package would be 2147483648 bytes; packages must stay below 2 GiB");

    // Every refusal left the old output alone and no temporary file behind.
    EXPECT_EQ(ReadBytes(output), "previous");
    EXPECT_EQ(Entries(dir.path()).size(), 3u);

    std::string package;
    EXPECT_FALSE(qx::package::BuildPackage(SampleOuter(), {}, package, error));
    EXPECT_EQ(error, "a package needs at least one inner file");

    // An empty inner file behind the last non-empty one would never be read.
    qx::package::InnerData data, empty;
    data.data = "x";
    EXPECT_FALSE(qx::package::BuildPackage(SampleOuter(), {data, empty}, package, error));
    EXPECT_EQ(error,
              "inner file 1 is empty and follows the last non-empty inner file; the package "
              "would end before it");
    EXPECT_TRUE(qx::package::BuildPackage(SampleOuter(), {empty, data}, package, error));
    EXPECT_TRUE(qx::package::BuildPackage(SampleOuter(), {empty}, package, error));
}
