#include "ToolRunner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ToolEmulator.h"

namespace qx {
namespace testing {

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& workDir) {
    const std::string outPath = workDir + "/.tool-stdout";
    const std::string errPath = workDir + "/.tool-stderr";
    ToolResult result;

    pid_t child = ::fork();
    if (child < 0) {
        return result;
    }
    if (child == 0) {
        int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (outFd < 0 || errFd < 0 || ::dup2(outFd, STDOUT_FILENO) < 0 ||
            ::dup2(errFd, STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::setenv("QX_LOG_QUIET", "1", 1);
        // The emulator's command line, if any, comes first.
        std::vector<std::string> words = QX_TOOL_EMULATOR_WORDS;
        words.push_back(program);
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return result;
        }
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadWholeFile(outPath);
    result.err = ReadWholeFile(errPath);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return result;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string PatternBytes(size_t size, unsigned int seed) {
    std::string bytes(size, '\0');
    unsigned int state = seed * 2654435761u + 1u;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::vector<std::string> DirectoryEntries(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace testing
}  // namespace qx
