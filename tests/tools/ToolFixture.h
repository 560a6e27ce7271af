#pragma once

// Runs the built host tools as child processes in a per-test temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ToolEmulator.h"
#include "upgradeFile/PackageFixture.h"

namespace qx::testing {

using Json = nlohmann::json;

struct ToolResult {
    int exitStatus = -1;  // exit code, or -1 when the child did not exit normally
    std::string out, err;
};

// What a tool reads on standard input (nothing, a regular file or a pipe),
// and the user it runs as (-1: the test's own).
struct ToolInput {
    enum class Kind { None, File, Pipe } kind = Kind::None;
    std::string bytes;
    int uid = -1;
};

// The words that start program (under the cross build's emulator, if any).
inline std::vector<std::string> ToolWords(const std::string& program,
                                          const std::vector<std::string>& args = {}) {
    std::vector<std::string> words = QX_TOOL_EMULATOR_WORDS;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

// Runs program with args, output through workDir.
inline ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                          const std::string& workDir, const ToolInput& input = {}) {
    const std::string outPath = workDir + "/.tool-stdout", errPath = workDir + "/.tool-stderr";
    std::vector<std::string> words = ToolWords(program, args);
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const std::string inPath = workDir + "/.tool-stdin";
    int pipeFds[2] = {-1, -1};
    if (input.kind == ToolInput::Kind::File) {
        WriteBytes(inPath, input.bytes);
    } else if (input.kind == ToolInput::Kind::Pipe && ::pipe(pipeFds) != 0) {
        return {};
    }
    ToolResult result;
    const pid_t child = ::fork();
    if (child == 0) {
        if (input.kind == ToolInput::Kind::File) {
            ::dup2(::open(inPath.c_str(), O_RDONLY), STDIN_FILENO);
        } else if (input.kind == ToolInput::Kind::Pipe) {
            ::dup2(pipeFds[0], STDIN_FILENO);
            ::close(pipeFds[1]);
        }
        const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (outFd >= 0 && errFd >= 0 && ::dup2(outFd, STDOUT_FILENO) >= 0 &&
            ::dup2(errFd, STDERR_FILENO) >= 0 &&
            (input.uid < 0 || (::setgid(input.uid) == 0 && ::setuid(input.uid) == 0))) {
            ::execv(argv[0], argv.data());
        }
        ::_exit(127);
    }
    if (input.kind == ToolInput::Kind::Pipe) {
        ::close(pipeFds[0]);
        // The tool reads all of it before it writes anything (small inputs).
        (void)!::write(pipeFds[1], input.bytes.data(), input.bytes.size());
        ::close(pipeFds[1]);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return result;
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadBytes(outPath);
    result.err = ReadBytes(errPath);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    ::unlink(inPath.c_str());
    return result;
}

class ToolTest : public ::testing::Test {
  protected:
    ToolResult Mkupgrade(const std::vector<std::string>& args, const ToolInput& input = {}) {
        return RunTool(QX_MKUPGRADE_PATH, args, dir.path(), input);
    }
    ToolResult Inspect(const std::vector<std::string>& args, const ToolInput& input = {}) {
        return RunTool(QX_INSPECT_PATH, args, dir.path(), input);
    }

    static std::vector<std::string> WithFields(const std::vector<std::string>& rest) {
        std::vector<std::string> args = {
            "--package-version", "258",       "--upgrade-name", "qx router",
            "--release-name",    "R5.1",      "--file-date",    "20261206",
            "--upgrade-id",      "4294967295"};
        args.insert(args.end(), rest.begin(), rest.end());
        return args;
    }

    ::TempDir dir;
};

}  // namespace qx::testing
