#pragma once

// What the host tools share on their command lines: help that begins with
// their own usage lines, one-line errors, and the exit codes.
#include <CLI/CLI.hpp>
#include <string>

namespace qx {
namespace tools {

// Exit codes: 0 success, 1 the operation failed, 2 bad command line.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Help text: the tool's usage lines and description first (as man pages made
// from it expect), then CLI11's option lists and the footer.
class HelpFormatter : public CLI::Formatter {
  public:
    explicit HelpFormatter(std::string usageLines) : usage(std::move(usageLines)) {}
    std::string make_usage(const CLI::App* app, std::string name) const override;
    std::string make_description(const CLI::App* app) const override;

  private:
    std::string usage;
};

// Parses the command line. Returns -1 when the tool should go on; otherwise
// the exit code, after printing help or the version (0) or a one-line error
// (kExitUsage).
int ParseCommandLine(CLI::App& app, int argc, const char* const* argv);

// Prints "TOOL: text" on stderr and returns kExitFailed.
int Fail(const std::string& tool, const std::string& text);

// Prints "TOOL: text (try --help)" on stderr and returns kExitUsage.
int UsageError(const std::string& tool, const std::string& text);

// A tool's whole run: signals remove what a job has half made (Signals.h),
// and an exception that escapes run becomes one error line and kExitFailed.
int RunGuarded(const std::string& tool, int (*run)(int, char**), int argc, char** argv);

}  // namespace tools
}  // namespace qx
