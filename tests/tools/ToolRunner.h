#pragma once

#include <string>
#include <vector>

// Runs the built host tools as child processes inside a temporary directory
// that each test owns.
namespace qx {
namespace testing {

struct ToolResult {
    int exitStatus = -1;  // exit code, or -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Runs program with args; stdout and stderr are collected through files in
// workDir. The child gets QX_LOG_QUIET so only the tool's own output shows.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& workDir);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
// Deterministic pseudo-random bytes, so a failing case can be replayed.
std::string PatternBytes(size_t size, unsigned int seed);
// Names of the entries of a directory, sorted.
std::vector<std::string> DirectoryEntries(const std::string& path);

}  // namespace testing
}  // namespace qx
