#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolRunner.h"
#include "support/TempDir.h"

namespace qx {
namespace testing {

// Each test gets its own temporary directory and helpers to run the tools
// in it.
class ToolTest : public ::testing::Test {
  protected:
    ToolResult Mkupgrade(const std::vector<std::string>& args) {
        return RunTool(QX_MKUPGRADE_PATH, args, dir.path());
    }
    ToolResult Inspect(const std::vector<std::string>& args) {
        return RunTool(QX_INSPECT_PATH, args, dir.path());
    }

    // The required outer fields followed by extra arguments.
    static std::vector<std::string> WithFields(const std::vector<std::string>& rest) {
        std::vector<std::string> args = {
            "--version", "258",         "--upgrade-name", "qx router",    "--release-name",
            "R5.1",      "--file-date", "20261206",       "--upgrade-id", "4294967295"};
        args.insert(args.end(), rest.begin(), rest.end());
        return args;
    }

    // Writes the given inner files into the directory (in0, in1, ...) and
    // builds a package from them; returns the package path.
    std::string BuildPackage(const std::vector<std::string>& contents,
                             const std::string& name = "pkg.bin") {
        std::vector<std::string> args = {"-o", dir / name};
        for (size_t i = 0; i < contents.size(); ++i) {
            std::string input = dir / ("in" + std::to_string(i));
            WriteWholeFile(input, contents[i]);
            args.push_back(input);
        }
        ToolResult built = Mkupgrade(WithFields(args));
        EXPECT_EQ(built.exitStatus, 0) << built.err;
        return dir / name;
    }

    ::TempDir dir;
};

}  // namespace testing
}  // namespace qx
